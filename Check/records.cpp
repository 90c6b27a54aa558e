#include "records.h"

#include <QFile>
#include <QJsonDocument>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#ifdef Q_OS_WIN
#include <io.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
int openTruncated(const QString &path)
{
    return _wopen(reinterpret_cast<const wchar_t *>(path.utf16()), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
                  _S_IREAD | _S_IWRITE);
}
long long writeSome(int descriptor, const char *bytes, size_t count)
{
    return _write(descriptor, bytes, unsigned(count));
}
// To the disk itself, not only the system's cache.
bool syncToDisk(int descriptor)
{
    return _commit(descriptor) == 0 || errno == EBADF; // a console
}
void cutTo(int descriptor, qint64 size)
{
    _chsize_s(descriptor, size);
}
#else
int openTruncated(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}
long long writeSome(int descriptor, const char *bytes, size_t count)
{
    return ::write(descriptor, bytes, count);
}
bool syncToDisk(int descriptor)
{
    return ::fsync(descriptor) == 0 || errno == EINVAL || errno == EROFS; // a pipe or a terminal
}
void cutTo(int descriptor, qint64 size)
{
    if (::ftruncate(descriptor, size) != 0)
        return; // the error already said stands
}
#endif

IntervalPoint join(const IntervalPoint &a, const IntervalPoint &b)
{
    IntervalPoint p = a;
    p.seconds = b.start + b.seconds - a.start;
    p.counts += b.counts;
    for (int i = 0; i < 2; ++i)
        p.controllers[i] = worse(a.controllers[i], b.controllers[i]);
    return p;
}

} // namespace

bool RecordLog::open(const QString &path, QString *error)
{
    m_stdout = path == QLatin1String("-");
    errno = 0;
    m_descriptor = m_stdout ? 1 : openTruncated(path);
    if (m_descriptor < 0) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_written = 0;
    return true;
}

bool RecordLog::write(const QJsonObject &record)
{
    if (m_descriptor < 0 || !m_error.isEmpty())
        return m_error.isEmpty();
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    qint64 done = 0;
    while (done < line.size()) {
        errno = 0;
        const long long wrote = writeSome(m_descriptor, line.constData() + done, size_t(line.size() - done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            m_error = QString::fromLocal8Bit(std::strerror(errno ? errno : EIO));
            // What a failed write left of the line is cut off again.
            if (!m_stdout)
                cutTo(m_descriptor, m_written);
            return false;
        }
        done += wrote;
    }
    m_written += done;
    // Standard output is a pipe or a terminal, or the caller's to keep.
    if (!m_stdout && !syncToDisk(m_descriptor)) {
        m_error = QString::fromLocal8Bit(std::strerror(errno ? errno : EIO));
        return false;
    }
    return true;
}

void RecordLog::close()
{
#ifdef Q_OS_WIN
    if (m_descriptor >= 0 && !m_stdout)
        _close(m_descriptor);
#else
    if (m_descriptor >= 0 && !m_stdout)
        ::close(m_descriptor);
#endif
    m_descriptor = -1;
}

void IntervalHistory::add(const IntervalPoint &point)
{
    if (m_perPoint > 1) {
        if (m_partialCount && m_partial.direction != point.direction) {
            m_points.append(m_partial);
            m_partialCount = 0;
        }
        m_partial = m_partialCount ? join(m_partial, point) : point;
        if (++m_partialCount < m_perPoint)
            return;
        m_partialCount = 0;
        m_points.append(m_partial);
    } else {
        m_points.append(point);
    }
    if (m_points.size() >= m_capacity)
        halve();
}

void IntervalHistory::takeRoom(QVector<IntervalPoint> &points, int capacity)
{
    // Shrinking keeps the room, now written.
    const int size = points.size();
    points.resize(std::max(capacity, size));
    points.resize(size);
}

void IntervalHistory::halve()
{
    // Points of different directions are not merged: a direction's first
    // point may stay alone.
    QVector<IntervalPoint> halved;
    takeRoom(halved, m_capacity);
    for (int i = 0; i < m_points.size(); ++i) {
        if (i + 1 < m_points.size() && m_points[i].direction == m_points[i + 1].direction) {
            halved.append(join(m_points[i], m_points[i + 1]));
            ++i;
        } else {
            halved.append(m_points[i]);
        }
    }
    if (halved.size() == m_points.size()) {
        // Every point a direction of its own: nothing to merge.
        m_capacity *= 2;
        takeRoom(m_points, m_capacity);
        return;
    }
    m_points = halved;
    m_perPoint *= 2;
}

QVector<IntervalPoint> IntervalHistory::points() const
{
    QVector<IntervalPoint> all = m_points;
    if (m_partialCount)
        all.append(m_partial);
    return all;
}
