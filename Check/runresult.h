// What a run of korvane-check found, direction by direction, as the runner
// keeps it and the report prints it.
#ifndef CHECK_RUNRESULT_H
#define CHECK_RUNRESULT_H

#include "groupaccount.h"
#include "verdict.h"
#include "workerreport.h"

#include <QString>
#include <QStringList>
#include <QVector>

struct CheckOptions {
    int board = 0;                    // \\.\CAN<board>
    unsigned int kbps[2] = {125, 125};
    QVector<unsigned int> directions; // transmitting channels, in order (every round's)
    int rounds = 1;                   // the directions asked for, run this many times in turn
    double every = 0;                 // seconds between interval records; 0: none
    QString recordsPath;              // where they go; "-": standard output
    double seconds = 5;               // per direction
    quint64 groups = 0;               // per direction; 0: no limit
    bool json = false;
    bool quiet = false;
    bool fullLoad = false;            // CFullLoadTh instead of the window's sequence
    double minLoad = -1;              // least share of the bus asked of full load; below 0: none
    bool minLoadGiven = false;        // asked for on the command line (else the default)
    QString logPath;
    qint64 logLimitMb = 1024;         // the log and its older half together; 0: no limit
    QString junitPath;
    QString htmlPath;
    QString commandLine;              // as given, for the reports
    bool resultClosed = false;        // standard output was closed at the start
};

struct DirectionResult {
    unsigned int from = 0;
    unsigned int to = 0;
    unsigned int kbps = 0;
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
    // DMA blocks marked as having waited for room in a full queue.
    quint64 overrunBlocks = 0;
    bool stalled = false;
    QString stallReason;
    bool transmitterEndedEarly = false; // its loop ended before it was asked to
    bool receiverEndedEarly = false;
    WorkerReport transmitEnd;
    WorkerReport receiveEnd;
    QVector<WorkerReport> troubles;
    bool aborted = false; // the group under way was abandoned at the stop
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

    quint64 lost() const
    {
        return groupsReported > groupsClean + groupsWithErrors ? groupsReported - groupsClean - groupsWithErrors : 0;
    }
    double groupsPerSecond() const { return seconds > 0 ? groupsReported / seconds : 0; }
    double load() const { return limitGroupsPerSecond > 0 ? groupsPerSecond() / limitGroupsPerSecond : 0; }
    // The share of the bus the test frames took while they were sent, from
    // the board's own reception times: from the end of the first frame to
    // the end of the last, the bits of the frames after the first.
    double loadOnBus() const
    {
        if (testFramesOnBus < 2 || lastMicros <= firstMicros || !kbps)
            return 0;
        const double bits = (testFramesOnBus - 1) * double(bitsPerGroup) / 5;
        return bits / (kbps * 1000.0) / ((lastMicros - firstMicros) / 1e6);
    }
};

#endif
