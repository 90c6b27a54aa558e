#include "outputfile.h"

#include <QDir>
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

// Writes every byte, again after an interrupted call.
int writeAll(int descriptor, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(descriptor, bytes.constData() + done, size_t(bytes.size() - done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return wrote < 0 ? errno : EIO;
        done += wrote;
    }
    return 0;
}

// A device or a pipe: opened without waiting for a reader (a pipe that
// nobody reads is an error, not a hang), then written as it is.
QString writeInPlace(const QByteArray &path, const QByteArray &bytes, bool write)
{
    const int descriptor = ::open(path.constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return errno == ENXIO ? QStringLiteral("nothing reads the pipe") : systemError(errno);
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags != -1)
        fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
    const int failure = write ? writeAll(descriptor, bytes) : 0;
    const int closed = ::close(descriptor) == 0 ? 0 : errno;
    return failure ? systemError(failure) : closed && closed != EINTR ? systemError(closed) : QString();
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
    const HANDLE handle = CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        identity.key = identityOf(handle);
        CloseHandle(handle);
    }
    if (identity.key.isEmpty())
        identity.key = (isDeviceName(path) ? QFileInfo(path).completeBaseName() : QFileInfo(path).absoluteFilePath())
                           .toUpper()
                           .toUtf8();
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
    if (kindOf(path) == Kind::Other) {
        QFile device(path);
        if (!device.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return device.errorString();
        if (device.write(bytes) != bytes.size())
            return device.errorString();
        return QString();
    }
    const QString target = QFileInfo(path).absoluteFilePath();
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
    if (!failure && !MoveFileExW(wide(temporary).c_str(), wide(target).c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        failure = EACCES;
    if (failure) {
        _wunlink(wide(temporary).c_str());
        return systemError(failure);
    }
    return QString();
}

QString checkWritable(const QString &path)
{
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

bool encodesExactly(const char *argument)
{
    const QByteArray raw(argument);
    return QFile::encodeName(QFile::decodeName(raw)) == raw;
}

#endif

} // namespace outputfile
