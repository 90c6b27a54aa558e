#include "boardlock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
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

// Where the system keeps lock files that every user may take.
QByteArray lockFolder()
{
    struct stat info;
    if (stat("/run/lock", &info) == 0 && S_ISDIR(info.st_mode) && access("/run/lock", W_OK | X_OK) == 0)
        return "/run/lock";
    return "/tmp";
}

} // namespace

BoardLock::Result BoardLock::take(int board, long long *holder, QString *error)
{
    *holder = 0;
    const QByteArray path = lockFolder() + "/korvane-board-" + QByteArray::number(board) + ".lock";
    // Any user may take the lock: the file is made writable for all, and
    // one that cannot be written can still be locked.
    bool writable = true;
    int descriptor = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (descriptor >= 0) {
        fchmod(descriptor, 0666);
    } else {
        writable = false;
        descriptor = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    }
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
            char text[32] = {};
            const ssize_t length = pread(descriptor, text, sizeof text - 1, 0);
            if (length > 0)
                *holder = std::atoll(text);
            ::close(descriptor);
            return InUse;
        }
        ::close(descriptor);
        *error = QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(std::strerror(failure)));
        return Failed;
    }
    // Held: the holder's process id, for the test that finds it held.
    if (writable) {
        const QByteArray pid = QByteArray::number(qlonglong(getpid())) + '\n';
        if (ftruncate(descriptor, 0) == 0 && pwrite(descriptor, pid.constData(), size_t(pid.size()), 0) < 0) {
            // The process id is only a courtesy to the next test.
        }
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
