#include "records.h"

#include <QJsonDocument>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// To the disk itself, not only the system's cache.
bool syncToDisk(int descriptor)
{
#ifdef Q_OS_WIN
    return _commit(descriptor) == 0;
#else
    return ::fsync(descriptor) == 0 || errno == EINVAL || errno == EROFS; // a pipe or a terminal
#endif
}

// The worse of two readings of a controller: the higher counters, every
// flag either had.
ControllerHealth worse(const ControllerHealth &a, const ControllerHealth &b)
{
    if (!a.read)
        return b;
    if (!b.read)
        return a;
    ControllerHealth c = a;
    c.tec = std::max(a.tec, b.tec);
    c.rec = std::max(a.rec, b.rec);
    c.eflg = a.eflg | b.eflg;
    return c;
}

IntervalPoint join(const IntervalPoint &a, const IntervalPoint &b)
{
    IntervalPoint p = a;
    p.seconds = b.start + b.seconds - a.start;
    p.sent += b.sent;
    p.whole += b.whole;
    p.missing += b.missing;
    p.damaged += b.damaged;
    p.nobodySent += b.nobodySent;
    p.overrunBlocks += b.overrunBlocks;
    for (int i = 0; i < 2; ++i)
        p.controllers[i] = worse(a.controllers[i], b.controllers[i]);
    return p;
}

} // namespace

bool RecordLog::open(const QString &path, QString *error)
{
    m_stdout = path == QLatin1String("-");
    const bool opened = m_stdout ? m_file.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered)
                                 : (m_file.setFileName(path),
                                    m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered));
    if (!opened) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, m_file.errorString());
        return false;
    }
    m_open = true;
    m_written = 0;
    return true;
}

bool RecordLog::write(const QJsonObject &record)
{
    if (!m_open || !m_error.isEmpty())
        return m_error.isEmpty();
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    qint64 done = 0;
    while (done < line.size()) {
        errno = 0;
        const qint64 wrote = m_file.write(line.constData() + done, line.size() - done);
        if (wrote <= 0) {
            m_error = QString::fromLocal8Bit(std::strerror(errno ? errno : EIO));
            // What a failed write left of the line is cut off again.
            if (!m_stdout)
                m_file.resize(m_written);
            return false;
        }
        done += wrote;
    }
    m_written += done;
    if (!syncToDisk(m_file.handle())) {
        m_error = QString::fromLocal8Bit(std::strerror(errno ? errno : EIO));
        return false;
    }
    return true;
}

void RecordLog::close()
{
    if (m_open)
        m_file.close();
    m_open = false;
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

void IntervalHistory::halve()
{
    // Points of different directions are not merged: a direction's first
    // point may stay alone.
    QVector<IntervalPoint> halved;
    halved.reserve(m_capacity);
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
        m_points.reserve(m_capacity);
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
