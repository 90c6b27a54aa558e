// The runner's log of every frame received, in candump's log format:
//   (seconds.micros) canN IDENTIFIER#DATA
// can0 for frames received on channel 1, can1 on channel 2 (on board N,
// can<2N> and can<2N+1>, as SocketCAN numbers the interfaces of several
// two-channel boards, so that logs of several boards never mix); the time is the
// frame's reception time from its DMA block's 24-bit microsecond stamp,
// unwrapped past its 16.8 s wrap.
//
// Unwrapping: each channel's blocks come in the order the board received
// them, so a stamp is taken as the first time at or after the channel's last
// frame that has its low 24 bits. Only a bus that was silent on the channel
// can hide whole wraps between two frames, and only if the receiver found
// the channel's queue empty meanwhile: the host's time from the read that
// brought the last frame to the last read that found nothing is a time the
// next frame cannot have come before (less a margin for the two clocks). The
// host times are taken in the receiver's thread, around its reads, so that
// neither a main thread that lagged nor a host that was paused shifts a
// stamp.
//
// The file is truncated when opened (before the board is set up, so that no
// earlier run's frames stay behind a failed one) and always ends with whole
// lines: a write that fails takes back the part of a line it wrote.
//
// Bounded: with a limit, once the file holds half of it, it becomes
// FILE.1 (the one before is dropped) and FILE begins again, so that the two
// together keep the latest frames within the limit; the frames dropped are
// counted. Only a regular file is rotated (and only a regular FILE.1
// dropped): a device, a pipe or a link is written in place, without a limit.
#ifndef CHECK_FRAMELOG_H
#define CHECK_FRAMELOG_H

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdint>

class FrameLog
{
public:
    // limitBytes: FILE and FILE.1 together at most about this much; 0: no
    // limit.
    bool open(const QString &path, QString *error, qint64 limitBytes = 0);
    bool isOpen() const { return m_file.isOpen(); }
    // The board whose frames are logged: its channels' interface names.
    void setBoard(int board) { m_firstInterface = 2 * board; }
    // A frame read on the channel (1 or 2), at its time from unwrap().
    void frame(unsigned int channel, uint64_t micros, int stdId, int extId, bool remote, const unsigned char *data,
               int length);
    // Writes what is buffered and closes; false when the log could not be
    // written whole.
    bool close();
    // Empty, or why the log could not be written (the system's reason).
    QString error() const { return m_error; }
    // The frames in FILE and FILE.1, and those dropped to keep the limit.
    uint64_t framesKept() const { return m_framesHere + m_framesBefore; }
    uint64_t framesDropped() const { return m_framesDropped; }

    // The stamp of a frame read on the channel, as a time in microseconds;
    // silentNs is how long (host time) the receiver had found the channel's
    // queue empty since the read that brought its last frame (0: it never
    // did). Called for every frame read, in the order read, whether or not a
    // log is written.
    // sinceLastNs: host time since the read that brought the channel's last
    // frame (-1: unknown). A stamp that lies behind the channel's last one
    // (its advance would be almost a whole wrap, far more than the host's
    // time between the two reads) is the board's clock stepping back:
    // *steppedBack says so, and the time stays at the last one's.
    uint64_t unwrap(unsigned int channel, unsigned int stamp, int64_t silentNs, int64_t sinceLastNs = -1,
                    bool *steppedBack = nullptr);

private:
    bool flush();
    bool rotate();

    QFile m_file;
    QByteArray m_pending;
    qint64 m_written = 0;
    qint64 m_limit = 0;
    int m_firstInterface = 0;
    QString m_path;
    uint64_t m_framesHere = 0;   // in FILE, written or pending
    uint64_t m_framesBefore = 0; // in FILE.1
    uint64_t m_framesDropped = 0;
    QString m_error;
    bool m_seen[2] = {false, false};
    uint64_t m_lastMicros[2] = {0, 0};
};

#endif
