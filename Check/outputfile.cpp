#include "outputfile.h"

#include "runsignals.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace outputfile {

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error ? error : EIO));
}

#ifdef Q_OS_WIN

std::wstring wide(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

QByteArray identityOf(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return QByteArray();
    return QByteArray::number(qulonglong(info.dwVolumeSerialNumber)) + ':' +
           QByteArray::number((qulonglong(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
}

// The names that reach a device wherever they are used.
bool isDeviceName(const QString &path)
{
    const QString name = QFileInfo(path).completeBaseName().toUpper();
    static const char *const devices[] = {"NUL", "CON", "PRN", "AUX", "CONIN$", "CONOUT$"};
    for (const char *device : devices) {
        if (name == QLatin1String(device))
            return true;
    }
    const bool numbered = (name.startsWith(QLatin1String("COM")) || name.startsWith(QLatin1String("LPT"))) &&
                          name.size() == 4 && name[3].isDigit();
    return numbered || path.startsWith(QLatin1String("\\\\.\\")) || path.startsWith(QLatin1String("//./"));
}

// A named pipe: opening it is a connection its server takes for the
// report, so it is only opened to be written.
bool isPipeName(const QString &path)
{
    return QDir::toNativeSeparators(path).startsWith(QLatin1String("\\\\.\\pipe\\"), Qt::CaseInsensitive);
}

QString lastSystemError()
{
    return qt_error_string(int(GetLastError()));
}

// What the path leads to: a link's target, else the path itself.
QString fileBehind(const QString &path)
{
    const QFileInfo info(path);
    return info.isSymLink() ? info.symLinkTarget() : info.absoluteFilePath();
}

#else

// A path with its links followed, as far as they lead (a link to nowhere
// gives the path it names).
QByteArray followLinks(const QByteArray &path)
{
    QByteArray current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat entry;
        if (lstat(current.constData(), &entry) != 0 || !S_ISLNK(entry.st_mode))
            return current;
        char target[PATH_MAX];
        const ssize_t length = readlink(current.constData(), target, sizeof target - 1);
        if (length <= 0)
            return current;
        const QByteArray next(target, int(length));
        if (next.startsWith('/')) {
            current = next;
        } else {
            const int slash = current.lastIndexOf('/');
            current = (slash >= 0 ? current.left(slash + 1) : QByteArray()) + next;
        }
    }
    return current;
}

QByteArray folderOf(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
}

QByteArray nameOf(const QByteArray &path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

QByteArray key(const struct stat &info)
{
    return QByteArray::number(qulonglong(info.st_dev)) + ':' + QByteArray::number(qulonglong(info.st_ino));
}

// A reader that takes nothing for this long has stopped reading.
const int kStallMs = 10000;
const int kStalled = -1; // writeAll's answer for it

// Writes every byte, again after an interrupted call; on a descriptor that
// does not wait, waits for room until the reader stalls or the station
// insists on the end.
int writeAll(int descriptor, const QByteArray &bytes)
{
    qint64 done = 0;
    QElapsedTimer idle;
    idle.start();
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(descriptor, bytes.constData() + done, size_t(bytes.size() - done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (idle.elapsed() >= kStallMs || runsignals::insisted())
                return kStalled;
            pollfd room{descriptor, POLLOUT, 0};
            ::poll(&room, 1, 100);
            continue;
        }
        if (wrote <= 0)
            return wrote < 0 ? errno : EIO;
        done += wrote;
        idle.restart();
    }
    return 0;
}

QString writeError(int failure)
{
    return failure == kStalled ? QStringLiteral("its reader took nothing for %1 s").arg(kStallMs / 1000)
                               : systemError(failure);
}

// A device or a pipe: opened without waiting for a reader (a pipe that
// nobody reads is an error, not a hang), then written as it is.
QString writeInPlace(const QByteArray &path, const QByteArray &bytes, bool write)
{
    const int descriptor = ::open(path.constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return errno == ENXIO ? QStringLiteral("nothing reads the pipe") : systemError(errno);
    const int failure = write ? writeAll(descriptor, bytes) : 0;
    const int closed = ::close(descriptor) == 0 ? 0 : errno;
    return failure ? writeError(failure) : closed && closed != EINTR ? systemError(closed) : QString();
}

// A regular file: a new file beside it, written, synced and renamed into
// its place, with the mode the file had (or a new file's).
QString saveByRename(const QByteArray &target, const QByteArray &bytes)
{
    QByteArray temporary = folderOf(target) + "/." + nameOf(target) + ".XXXXXX";
    const int descriptor = mkstemp(temporary.data());
    if (descriptor < 0)
        return systemError(errno);
    struct stat existing;
    mode_t mode;
    if (::stat(target.constData(), &existing) == 0) {
        mode = existing.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    int failure = fchmod(descriptor, mode) == 0 ? 0 : errno;
    if (!failure)
        failure = writeAll(descriptor, bytes);
    if (failure == kStalled)
        failure = EIO; // a regular file always has room or says why not
    if (!failure && fsync(descriptor) != 0)
        failure = errno;
    if (::close(descriptor) != 0 && !failure && errno != EINTR)
        failure = errno;
    if (!failure && ::rename(temporary.constData(), target.constData()) != 0)
        failure = errno;
    if (failure) {
        ::unlink(temporary.constData());
        return systemError(failure);
    }
    return QString();
}

#endif

} // namespace

#ifdef Q_OS_WIN

Identity identify(const QString &path)
{
    Identity identity;
    // A device is known by its name (a pipe must not be opened here).
    if (!isDeviceName(path)) {
        const HANDLE handle = CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            identity.key = identityOf(handle);
            CloseHandle(handle);
        }
    }
    if (identity.key.isEmpty()) {
        QString name = QDir::toNativeSeparators(path);
        if (name.startsWith(QLatin1String("\\\\.\\")))
            name = name.mid(4); // "\\.\NUL" is NUL, "\\.\pipe\x" PIPE\X
        else if (isDeviceName(path))
            name = QFileInfo(path).completeBaseName();
        else
            name = QFileInfo(path).absoluteFilePath();
        identity.key = name.toUpper().toUtf8();
    }
    identity.known = true;
    return identity;
}

Identity standardOutput()
{
    Identity identity;
    identity.key = identityOf(GetStdHandle(STD_OUTPUT_HANDLE));
    identity.known = !identity.key.isEmpty();
    return identity;
}

bool isNullDevice(const Identity &identity)
{
    return identity.known && identity.key == "NUL";
}

Kind kindOf(const QString &path)
{
    if (isDeviceName(path))
        return Kind::Other;
    const QFileInfo info(path);
    return !info.exists() ? Kind::Missing : info.isFile() ? Kind::Regular : Kind::Other;
}

Kind kindOfEntry(const QString &path)
{
    return QFileInfo(path).isSymLink() ? Kind::Other : kindOf(path);
}

QString writeWhole(const QString &path, const QByteArray &bytes)
{
    if (isPipeName(path)) {
        const HANDLE pipe = CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE)
            return lastSystemError();
        QString why;
        for (qint64 done = 0; done < bytes.size() && why.isEmpty();) {
            DWORD wrote = 0;
            if (WriteFile(pipe, bytes.constData() + done, DWORD(bytes.size() - done), &wrote, nullptr))
                done += wrote;
            else
                why = lastSystemError();
        }
        CloseHandle(pipe);
        return why;
    }
    if (kindOf(path) == Kind::Other) {
        QFile device(path);
        if (!device.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return device.errorString();
        if (device.write(bytes) != bytes.size())
            return device.errorString();
        return QString();
    }
    // Through a link, the file it leads to is saved; the link stays.
    const QString target = fileBehind(path);
    const QString temporary = target + QStringLiteral(".%1.tmp").arg(GetCurrentProcessId());
    const int descriptor = _wopen(wide(temporary).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
                                  _S_IREAD | _S_IWRITE);
    if (descriptor < 0)
        return systemError(errno);
    int failure = 0;
    for (qint64 done = 0; done < bytes.size() && !failure;) {
        const int wrote = _write(descriptor, bytes.constData() + done, unsigned(bytes.size() - done));
        if (wrote <= 0)
            failure = wrote < 0 ? errno : ENOSPC;
        else
            done += wrote;
    }
    if (!failure && _commit(descriptor) != 0)
        failure = errno;
    if (_close(descriptor) != 0 && !failure)
        failure = errno;
    if (failure) {
        _wunlink(wide(temporary).c_str());
        return systemError(failure);
    }
    // The system's own reason when the file cannot be replaced (another
    // program has it open, say).
    if (!MoveFileExW(wide(temporary).c_str(), wide(target).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const QString why = lastSystemError();
        _wunlink(wide(temporary).c_str());
        return why;
    }
    return QString();
}

QString checkWritable(const QString &path)
{
    if (isPipeName(path)) {
        // Whether its server is there, without connecting to it: a server
        // busy with another client is still there.
        if (WaitNamedPipeW(wide(path).c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT)
            return QString();
        return lastSystemError();
    }
    if (kindOf(path) == Kind::Other) {
        QFile device(path);
        return device.open(QIODevice::WriteOnly) ? QString() : device.errorString();
    }
    const QFileInfo folder(QFileInfo(path).absolutePath());
    if (!folder.isDir())
        return systemError(ENOENT);
    return QString();
}

void removeIfRegular(const QString &path)
{
    if (kindOfEntry(path) == Kind::Regular)
        QFile::remove(path);
}

void removeFileBehind(const QString &path)
{
    if (isDeviceName(path))
        return;
    const QString target = fileBehind(path);
    if (kindOfEntry(target) == Kind::Regular)
        QFile::remove(target);
}

int openPipe(const QString &, QString *)
{
    return -2; // a log on a named pipe is written as a device is
}

bool encodesExactly(const char *)
{
    return true; // the arguments come as the system's own wide text
}

#else

Identity identify(const QString &path)
{
    Identity identity;
    const QByteArray native = QFile::encodeName(path);
    struct stat info;
    if (::stat(native.constData(), &info) == 0) {
        identity.key = key(info);
        identity.known = true;
        return identity;
    }
    // Not there yet: its folder (links followed) and its name.
    const QByteArray target = followLinks(native);
    char folder[PATH_MAX];
    if (!realpath(folderOf(target).constData(), folder))
        return identity;
    identity.key = QByteArray(folder) + '/' + nameOf(target);
    identity.known = true;
    return identity;
}

Identity standardOutput()
{
    Identity identity;
    struct stat info;
    if (fstat(1, &info) == 0) {
        identity.key = key(info);
        identity.known = true;
    }
    return identity;
}

bool isNullDevice(const Identity &identity)
{
    struct stat info;
    return identity.known && ::stat("/dev/null", &info) == 0 && identity.key == key(info);
}

Kind kindOf(const QString &path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return Kind::Missing;
    return S_ISREG(info.st_mode) ? Kind::Regular : Kind::Other;
}

Kind kindOfEntry(const QString &path)
{
    struct stat info;
    if (lstat(QFile::encodeName(path).constData(), &info) != 0)
        return Kind::Missing;
    return S_ISREG(info.st_mode) ? Kind::Regular : Kind::Other;
}

QString writeWhole(const QString &path, const QByteArray &bytes)
{
    const QByteArray native = QFile::encodeName(path);
    if (kindOf(path) == Kind::Other)
        return writeInPlace(native, bytes, true);
    return saveByRename(followLinks(native), bytes);
}

QString checkWritable(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info;
    // A pipe is not opened before its report: its reader would take the
    // close for the end.
    if (::stat(native.constData(), &info) == 0 && S_ISFIFO(info.st_mode))
        return access(native.constData(), W_OK) == 0 ? QString() : systemError(errno);
    if (kindOf(path) == Kind::Other)
        return writeInPlace(native, QByteArray(), false);
    const QByteArray folder = folderOf(followLinks(native));
    if (access(folder.constData(), W_OK | X_OK) != 0)
        return systemError(errno);
    return QString();
}

void removeIfRegular(const QString &path)
{
    if (kindOfEntry(path) == Kind::Regular)
        ::unlink(QFile::encodeName(path).constData());
}

void removeFileBehind(const QString &path)
{
    const QByteArray target = followLinks(QFile::encodeName(path));
    struct stat info;
    if (lstat(target.constData(), &info) == 0 && S_ISREG(info.st_mode))
        ::unlink(target.constData());
}

int openPipe(const QString &path, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info;
    if (::stat(native.constData(), &info) != 0 || !S_ISFIFO(info.st_mode))
        return -2;
    const int descriptor = ::open(native.constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        *error = errno == ENXIO ? QStringLiteral("nothing reads the pipe") : systemError(errno);
        return -1;
    }
    // Opened: from now on written as a pipe is, its reader's pace the log's.
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags != -1)
        fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
    return descriptor;
}

bool encodesExactly(const char *argument)
{
    const QByteArray raw(argument);
    return QFile::encodeName(QFile::decodeName(raw)) == raw;
}

#endif

} // namespace outputfile
