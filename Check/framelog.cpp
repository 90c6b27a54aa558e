#include "framelog.h"

#include "outputfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const uint64_t kStampRange = uint64_t(1) << 24;
// How far the host's and the board's clocks may disagree over a silence.
const uint64_t kClockMarginMicros = 1000000;
const int kFlushBytes = 64 * 1024;

} // namespace

bool FrameLog::open(const QString &path, QString *error, qint64 limitBytes)
{
    m_path = path;
    // Only a regular file is rotated: a device, a pipe or a link is written
    // in place, never renamed or replaced.
    const bool regular = outputfile::kindOfEntry(path) != outputfile::Kind::Other;
    m_limit = regular ? limitBytes : 0;
    // An earlier run's older half does not stay beside this run's log.
    if (regular)
        outputfile::removeIfRegular(path + QStringLiteral(".1"));
    // A pipe is opened without waiting for its reader: none is an error.
    QString why;
    const int pipe = outputfile::openPipe(path, &why);
    if (pipe == -1) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, why);
        return false;
    }
    m_file.setFileName(path);
    const bool opened = pipe >= 0 ? m_file.open(pipe, QIODevice::WriteOnly | QIODevice::Unbuffered,
                                                QFileDevice::AutoCloseHandle)
                                  : m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
    if (!opened) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, m_file.errorString());
        return false;
    }
    m_written = 0;
    return true;
}

uint64_t FrameLog::unwrap(unsigned int channel, unsigned int stamp, int64_t silentNs, int64_t sinceLastNs,
                          bool *steppedBack)
{
    const unsigned int i = channel == 2 ? 1 : 0;
    uint64_t micros = stamp & (kStampRange - 1);
    if (steppedBack)
        *steppedBack = false;
    if (m_seen[i]) {
        const uint64_t last = m_lastMicros[i];
        const uint64_t silent = silentNs > 0 ? uint64_t(silentNs / 1000) : 0;
        const uint64_t notBefore = last + (silent > kClockMarginMicros ? silent - kClockMarginMicros : 0);
        micros = notBefore + ((micros - notBefore) & (kStampRange - 1));
        const uint64_t advance = micros - last;
        const bool backward = sinceLastNs >= 0 && advance > kStampRange - kClockMarginMicros &&
                              advance > uint64_t(sinceLastNs / 1000) + kClockMarginMicros;
        if (backward) {
            if (steppedBack)
                *steppedBack = true;
            micros = last;
        }
    }
    m_seen[i] = true;
    m_lastMicros[i] = micros;
    return micros;
}

void FrameLog::frame(unsigned int channel, uint64_t micros, int stdId, int extId, bool remote,
                     const unsigned char *data, int length)
{
    if (!m_file.isOpen() || !m_error.isEmpty())
        return;
    const QString id = extId >= 0 ? QStringLiteral("%1").arg((quint32(stdId) << 18) | quint32(extId), 8, 16, QChar('0'))
                                  : QStringLiteral("%1").arg(stdId, 3, 16, QChar('0'));
    QString payload;
    if (remote) {
        payload = QStringLiteral("R");
    } else {
        for (int i = 0; i < length; ++i)
            payload += QStringLiteral("%1").arg(data[i], 2, 16, QChar('0'));
    }
    m_pending += QStringLiteral("(%1.%2) can%3 %4#%5\n")
                     .arg(micros / 1000000)
                     .arg(micros % 1000000, 6, 10, QChar('0'))
                     .arg(m_firstInterface + int(channel) - 1)
                     .arg(id.toUpper())
                     .arg(payload.toUpper())
                     .toLatin1();
    ++m_framesHere;
    if (m_pending.size() >= kFlushBytes)
        flush();
}

// Whole lines only: what a failed write left of a line is cut off again.
bool FrameLog::flush()
{
    if (m_pending.isEmpty() || !m_error.isEmpty())
        return m_error.isEmpty();
    qint64 done = 0;
    while (done < m_pending.size()) {
        errno = 0;
        const qint64 wrote = m_file.write(m_pending.constData() + done, m_pending.size() - done);
        if (wrote <= 0) {
            const int failure = errno ? errno : EIO;
            m_error = QString::fromLocal8Bit(std::strerror(failure));
            if (m_limit > 0 || outputfile::kindOfEntry(m_path) == outputfile::Kind::Regular)
                m_file.resize(m_written);
            // The whole batch is taken back: its frames are not kept.
            m_framesHere -= std::min<uint64_t>(m_framesHere, uint64_t(m_pending.count('\n')));
            m_pending.clear();
            return false;
        }
        done += wrote;
    }
    m_written += done;
    m_pending.clear();
    if (m_limit > 0 && m_written >= m_limit / 2)
        return rotate();
    return true;
}

// FILE becomes FILE.1, dropping the one before, and FILE begins empty.
bool FrameLog::rotate()
{
    const QString older = m_path + QStringLiteral(".1");
    m_file.close();
    if (outputfile::kindOfEntry(m_path) != outputfile::Kind::Regular ||
        outputfile::kindOfEntry(older) == outputfile::Kind::Other) {
        m_error = QStringLiteral("it is no longer a regular file, or %1 is not one").arg(older);
        return false;
    }
    if ((QFile::exists(older) && !QFile::remove(older)) || !QFile::rename(m_path, older)) {
        m_error = QStringLiteral("it could not be moved to %1").arg(older);
        return false;
    }
    m_file.setFileName(m_path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        m_error = m_file.errorString();
        return false;
    }
    m_framesDropped += m_framesBefore;
    m_framesBefore = m_framesHere;
    m_framesHere = 0;
    m_written = 0;
    return true;
}

bool FrameLog::close()
{
    if (!m_file.isOpen())
        return m_error.isEmpty();
    flush();
    m_file.close();
    return m_error.isEmpty();
}
