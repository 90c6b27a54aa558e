#include "boardlock.h"

#include <cerrno>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32

BoardLock::Result BoardLock::take(int board, long long *holder, QString *error)
{
    *holder = 0;
    const std::wstring name = L"Global\\korvane-board-" + std::to_wstring(board);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (!mutex) {
        // Made by another user's test, which holds it as long as it is.
        if (GetLastError() == ERROR_ACCESS_DENIED)
            return InUse;
        *error = QStringLiteral("system error %1").arg(GetLastError());
        return Failed;
    }
    switch (WaitForSingleObject(mutex, 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED: // its last holder ended without letting it go
        m_mutex = mutex;
        return Held;
    case WAIT_TIMEOUT:
        CloseHandle(mutex);
        return InUse;
    default:
        *error = QStringLiteral("system error %1").arg(GetLastError());
        CloseHandle(mutex);
        return Failed;
    }
}

BoardLock::~BoardLock()
{
    if (m_mutex) {
        ReleaseMutex(m_mutex);
        CloseHandle(m_mutex);
    }
}

#else

namespace {

// Where the system keeps lock files that every user may take: one folder
// for every process on the machine, whoever runs it (a folder that this
// user cannot write is an error, never a reason to lock elsewhere).
QByteArray lockFolder()
{
    struct stat info;
    for (const char *folder : {"/run/lock", "/var/lock"}) {
        if (stat(folder, &info) == 0 && S_ISDIR(info.st_mode))
            return folder;
    }
    return "/tmp";
}

// The process that holds the flock on the file, as the kernel lists it
// (Linux); 0 when it cannot be told.
long long flockHolder(int descriptor)
{
    struct stat info;
    if (fstat(descriptor, &info) != 0)
        return 0;
    FILE *locks = std::fopen("/proc/locks", "re");
    if (!locks)
        return 0;
    long long holder = 0;
    char line[256];
    while (!holder && std::fgets(line, sizeof line, locks)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:567 0 EOF"
        char kind[16];
        long long pid = 0;
        unsigned devMajor = 0, devMinor = 0;
        unsigned long long inode = 0;
        if (std::strstr(line, "->"))
            continue; // a waiter, not a holder
        if (std::sscanf(line, "%*d: %15s %*s %*s %lld %x:%x:%llu", kind, &pid, &devMajor, &devMinor, &inode) == 5 &&
            std::strcmp(kind, "FLOCK") == 0 && inode == (unsigned long long)info.st_ino &&
            devMajor == unsigned(major(info.st_dev)) && devMinor == unsigned(minor(info.st_dev)))
            holder = pid;
    }
    std::fclose(locks);
    return holder;
}

} // namespace

BoardLock::Result BoardLock::take(int board, long long *holder, QString *error)
{
    *holder = 0;
    const QByteArray path = lockFolder() + "/korvane-board-" + QByteArray::number(board) + ".lock";
    // Any user may take the lock: the file is made readable for all, and
    // one made by another user is locked through a descriptor that only
    // reads (the lock does not need more).
    int descriptor = ::open(path.constData(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (descriptor >= 0)
        fchmod(descriptor, 0644); // whatever the umask (only its owner can)
    else if (errno == EACCES && (descriptor = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)) < 0 &&
             errno == ENOENT)
        errno = EACCES; // no file, and none could be made: the folder's permission
    if (descriptor < 0) {
        *error = QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(std::strerror(errno)));
        return Failed;
    }
    int locked;
    while ((locked = flock(descriptor, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
        const int failure = errno;
        if (failure == EWOULDBLOCK) {
            *holder = flockHolder(descriptor);
            ::close(descriptor);
            return InUse;
        }
        ::close(descriptor);
        *error = QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(std::strerror(failure)));
        return Failed;
    }
    m_descriptor = descriptor;
    return Held;
}

BoardLock::~BoardLock()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

#endif
