// One run of korvane-check: the board set up as the window sets it up at
// start-up, the window's own transmit and receive workers (or the full-load
// transmitter) in their threads, and their reports counted per direction as
// the window's counters count them. Beside those counts the runner matches
// every frame the transmitter saw leave with the frames the receiver read,
// and decides its verdict on that account and on what the workers told it.
//
// The run's window, per direction: it opens when the transmit worker has
// cleared the DMA queues (its first step; for full load, when the receiver
// has set its DMA up) and closes when, after the transmitter stopped, every
// frame it sent has been read and a read found the receiving queue empty.
// Every frame that completes on the bus inside it is read, logged and
// judged; frames read that had arrived before it are logged and shown apart.
//
// Stops: a signal makes every stop the aborting one (no further frame is
// loaded or waited for); set-up looks for it between steps; every wait for
// a worker has a deadline, after which the runner prints what it knows and
// exits 3; a second signal ends the run at once with the summary so far.
#ifndef CHECKRUN_H
#define CHECKRUN_H

#include "ReceiveTh.h"
#include "TransmitTh.h"
#include "candeviceex.h"
#include "framelog.h"
#include "fullload.h"
#include "records.h"
#include "report.h"
#include "runresult.h"
#include "workerthreads.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QThread>
#include <QVector>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>

class CheckRun : public QObject
{
    Q_OBJECT

public:
    explicit CheckRun(const CheckOptions &options);
    ~CheckRun() override;

    // Runs every direction and prints the summary; returns a verdict::Status.
    int run();

signals:
    // From the workers' threads to the runner's.
    void blockArrived(unsigned int channel, QByteArray block, qint64 silentNs, bool inRun);
    void frameLeft(unsigned int channel, quint32 number, bool surely);
    void troubleArrived(int cause, unsigned int channel, int code);
    void loopEndedArrived(bool transmitter, int cause, unsigned int channel, int code);
    // TEC, REC and EFLG of both controllers, read and flag first: 8 values.
    void controllersArrived(QVector<int> values);

private slots:
    void sentCh1() { countSent(1); }
    void sentCh2() { countSent(2); }
    void cleanCh1() { countReceived(1, true); }
    void cleanCh2() { countReceived(2, true); }
    void errorsCh1() { countReceived(1, false); }
    void errorsCh2() { countReceived(2, false); }
    void sentFullLoad() { countSent(m_current ? m_current->from : 0); }
    void frameReceived(unsigned int channel, QByteArray block, qint64 silentNs, bool inRun);
    void frameSent(unsigned int channel, quint32 number, bool surely);
    void troubleReported(int cause, unsigned int channel, int code);
    void loopEndReported(bool transmitter, int cause, unsigned int channel, int code);
    void controllersReported(QVector<int> values);

private:
    class ReceiveWatch;
    class TransmitWatch;
    enum class Wait { Done, Insisted, Deadline };

    QThread &transmitThread() { return m_options.fullLoad ? m_FullLoadThread : m_TransmitThread; }
    bool takeTransmitProgress();
    void stopTransmitter(bool abort);
    std::function<StopWait()> whileStopping();
    void stopped(StopOutcome outcome, const StopDeadline &deadline);
    void runDirection(unsigned int from);
    bool ending() const;
    Wait waitFor(const std::function<bool()> &condition, int quietMs, int totalMs);
    [[noreturn]] void endNow(const QString &stuck);
    int finish(bool readControllers);
    void readControllers();
    // What the interval records count.
    struct Totals {
        quint64 sent = 0, whole = 0, missing = 0, damaged = 0, nobodySent = 0, overrunBlocks = 0;
    };
    static Totals totals(const DirectionResult &result);
    void askControllers();
    void record(double atSeconds, bool last);
    void countSent(unsigned int channel);
    void countReceived(unsigned int channel, bool clean);
    qint64 unitMs(int units, qint64 atLeastMs) const;

    CheckOptions m_options;
    report::Outputs m_outputs;
    CCANDeviceEx m_Device;
    CTransmitTh m_TransmitTh;
    CFullLoadTh m_FullLoadTh;
    CReceiveTh m_ReceiveTh;
    QThread m_TransmitThread;
    QThread m_FullLoadThread;
    QThread m_ReceiveThread;
    std::unique_ptr<ReceiveWatch> m_receiveWatch;
    std::unique_ptr<TransmitWatch> m_transmitWatch;
    QVector<DirectionResult> m_results;
    DirectionResult *m_current = nullptr;
    report::RunState m_state;
    FrameLog m_log;
    // How slow the driver is: the longest step of the board's set-up.
    qint64 m_slowestStepNs = 0;
    // Set in the workers' threads.
    std::atomic<bool> m_bTransmitEnded{false};
    std::atomic<bool> m_bReceiveEnded{false};
    std::atomic<bool> m_bGroupsReached{false};
    std::atomic<bool> m_bReadEmpty{false};
    // The run's window is open: the transmitter has cleared the DMA queues.
    std::atomic<bool> m_bInRun{false};
    bool m_troubled = false;          // a board failure the transmitter went on after
    quint64 m_groupsInThread = 0;     // counted in the transmitter's thread only
    QElapsedTimer m_directionClock;
    // The interval records: the file, the history for the report, the
    // current direction's last record, the run's totals.
    RecordLog m_records;
    IntervalHistory m_history;
    QElapsedTimer m_runClock;
    Totals m_intervalTotals;
    IntervalPoint m_runTotals;           // its counts only
    double m_intervalStart = 0;          // seconds of the direction's clock
    double m_directionStartSeconds = 0;  // the directions' seconds before this one
    quint64 m_interval = 0;
    bool m_recording = false;            // records or the HTML report's intervals
    bool m_lastRecorded = false;         // the direction's last record is written
    verdict::Controller m_sampled[2];    // as the transmitter last read them
    verdict::Controller m_lastRead[2];   // after the last direction
};

#endif
