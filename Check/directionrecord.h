// One direction of a run, as the runner records it: the window's counts,
// the frame-by-frame account, the identifiers of frames nobody sent, the
// test frames' times on the board's clock, the intervals and the
// controllers' readings, and why the workers' loops ended. Plain calls
// without threads: the runner feeds it what the workers tell, in the order
// its thread takes them, and every output reads it.
#ifndef CHECK_DIRECTIONRECORD_H
#define CHECK_DIRECTIONRECORD_H

#include "candeviceex.h"
#include "groupaccount.h"
#include "records.h"
#include "trafficcounts.h"
#include "verdict.h"
#include "workerreport.h"

#include <QPair>
#include <QString>
#include <QVector>

#include <vector>

// A share of the bus: groups per second against the bus's limit.
inline double busLoad(double groupsPerSecond, double limitGroupsPerSecond)
{
    return limitGroupsPerSecond > 0 ? groupsPerSecond / limitGroupsPerSecond : 0;
}

class DirectionRecord
{
public:
    DirectionRecord() = default;
    // startsAt: the seconds of the directions before it, for its intervals.
    DirectionRecord(unsigned int fromChannel, unsigned int bitRate, int roundNumber, double startsAt = 0);

    // What the workers tell, as the runner's thread takes it.
    void groupSent();
    void groupReceived(bool clean);
    void frameLeft(uint32_t number, bool surely);
    // A DMA block read on the receiving channel, at its time on the board's
    // clock; inRun false: the frame had arrived before the run began.
    // steppedBack: its stamp lay behind the one before (the board's clock).
    void blockRead(const CanRxRecord &record, uint64_t micros, bool inRun, bool steppedBack = false);
    // Trouble the transmitter went on after; true when it is the board's
    // (the direction then ends: its traffic is wrong already).
    bool trouble(const WorkerReport &report);
    void loopEnded(bool transmitter, const WorkerReport &report);
    // Both controllers as the transmitter read them between its frames, and
    // as read after the direction.
    void controllersSampled(const ControllerHealth readings[2]);
    void controllersRead(const ControllerHealth readings[2]);

    // Whatever arrived from the workers: it moves while they are busy.
    uint64_t activity() const;
    // Frames surely sent that have not been read yet.
    uint64_t outstanding() const { return account.framesOutstanding(); }
    // The counts so far (before finish(), groups known to be whole).
    TrafficCounts counts() const;
    // The next interval: from the last one's end to atSeconds of the
    // direction's clock; the last one runs to the direction's end.
    IntervalPoint interval(double atSeconds, bool last);
    uint64_t intervals() const { return m_intervals; }
    // Once both workers are done and the direction's time is known.
    void finish(double runSeconds, bool receiverEnded, bool interruptedBySignal);

    // Its figures by the names the summary gives them (JSON and JUnit).
    QVector<QPair<QString, double>> figures() const;
    // The verdict's facts of the direction.
    verdict::Direction facts(const QString &caseName, bool minLoadGiven) const;

    QString name() const;  // "1->2"
    quint64 lost() const;
    double groupsPerSecond() const { return seconds > 0 ? groupsReported / seconds : 0; }
    double load() const { return busLoad(groupsPerSecond(), limitGroupsPerSecond); }
    // The share of the bus the test frames took while they were sent, from
    // the board's own reception times: from the end of the first frame to
    // the end of the last, the bits of the frames after the first.
    double loadOnBus() const;

    unsigned int from = 0;
    unsigned int to = 0;
    unsigned int kbps = 0;
    int round = 1;
    double seconds = 0;
    double limitGroupsPerSecond = 0;
    // The window's counts: groups the transmitter reported, groups the
    // receiver found clean or with errors.
    quint64 groupsReported = 0;
    quint64 groupsClean = 0;
    quint64 groupsWithErrors = 0;
    GroupAccount account;
    // The first few identifiers of frames nobody sent, each once.
    std::vector<verdict::Identifier> foreignIds;
    static constexpr size_t kForeignIdsKept = 8;
    // Frames read that had arrived before the run began (before the transmit
    // worker cleared the DMA queues): shown, not judged.
    quint64 framesBeforeRun = 0;
    // DMA blocks marked as having waited for room in a full queue; whether
    // the first block after the receiver emptied the queues was so marked
    // (it cannot have waited: the board's flag is wrong); stamps that
    // stepped back.
    quint64 overrunBlocks = 0;
    bool waitedAfterClear = false;
    quint64 stampsBack = 0;
    quint64 blocks = 0;
    bool stalled = false;
    QString stallReason;
    bool transmitterEndedEarly = false; // its loop ended before it was asked to
    bool receiverEndedEarly = false;
    WorkerReport transmitEnd;
    WorkerReport receiveEnd;
    QVector<WorkerReport> troubles;
    // A signal came while the direction ran; every frame surely sent had
    // been read by its end nevertheless.
    bool interrupted = false;
    bool drained = false;
    bool cutShort = false; // the run ended at once inside the direction
    double minLoad = -1;
    // The test frames read inside the run, and the reception times of the
    // first and last (microseconds, the board's clock).
    quint64 testFramesOnBus = 0;
    quint64 firstMicros = 0;
    quint64 lastMicros = 0;
    unsigned int bitsPerGroup = 0;
    // The least time from one frame's end to the next test frame's, as a
    // share of that frame's bits at the bit rate (below 0: none timed yet).
    double quickestFrame = -1;

private:
    // The reception time of the frame read last in the run, when it can be
    // timed against (its stamp did not step back).
    bool m_previousTimed = false;
    quint64 m_previousMicros = 0;
    double m_startsAt = 0;
    double m_intervalStart = 0;
    TrafficCounts m_atInterval;
    uint64_t m_intervals = 0;
    ControllerHealth m_sampled[2];
    ControllerHealth m_read[2];
};

#endif
