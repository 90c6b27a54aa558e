// One run of korvane-check: the board held and set up as the window sets it
// up at start-up, the window's own transmit and receive workers (or the
// full-load transmitter) in their threads, and what they tell handed, in
// this thread, to each direction's record. CheckRun keeps the threads, the
// waits and the signals; the record counts and the outputs write.
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
#include "boardlock.h"
#include "candeviceex.h"
#include "checkoptions.h"
#include "directionrecord.h"
#include "framelog.h"
#include "fullload.h"
#include "outputs.h"
#include "records.h"
#include "runfacts.h"
#include "workerthreads.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QThread>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>

class CheckRun : public QObject
{
    Q_OBJECT

public:
    explicit CheckRun(const CheckOptions &options);
    ~CheckRun() override;

    // Runs every direction and prints the summary; returns the verdict's
    // exit status.
    int run();

signals:
    // From the workers' threads to the runner's.
    void blockReadInThread(unsigned int channel, QByteArray block, qint64 silentNs, qint64 sinceLastNs, bool inRun);
    void frameLeftInThread(unsigned int channel, quint32 number, bool surely);
    void troubleInThread(int cause, unsigned int channel, int code);
    void loopEndedInThread(bool transmitter, int cause, unsigned int channel, int code);
    // TEC, REC and EFLG of both controllers, read and flag first: 8 values.
    void controllersReadInThread(QVector<int> values);

private slots:
    // The workers' own signals: the window's counters.
    void transmitterSentGroupCh1() { groupSent(1); }
    void transmitterSentGroupCh2() { groupSent(2); }
    void receiverFoundCleanCh1() { groupReceived(1, true); }
    void receiverFoundCleanCh2() { groupReceived(2, true); }
    void receiverFoundErrorsCh1() { groupReceived(1, false); }
    void receiverFoundErrorsCh2() { groupReceived(2, false); }
    void fullLoadSentGroup() { groupSent(m_current ? m_current->from : 0); }
    // What the observers told, taken in this thread.
    void takeBlock(unsigned int channel, QByteArray block, qint64 silentNs, qint64 sinceLastNs, bool inRun);
    void takeFrameLeft(unsigned int channel, quint32 number, bool surely);
    void takeTrouble(int cause, unsigned int channel, int code);
    void takeLoopEnd(bool transmitter, int cause, unsigned int channel, int code);
    void takeControllers(QVector<int> values);

private:
    class ReceiveWatch;
    class TransmitWatch;
    enum class Wait { Done, Insisted, Deadline };

    int setUpBoard();
    void qualify();
    QThread &transmitThread() { return m_options.fullLoad ? m_FullLoadThread : m_TransmitThread; }
    bool takeTransmitProgress();
    void stopTransmitter(bool abort);
    std::function<StopWait()> whileStopping();
    void stopped(StopOutcome outcome, const StopDeadline &deadline);
    void runDirection(int index);
    void beginDirection(int index);
    void runTraffic(qint64 everyMs);
    void endDirection(qint64 everyMs);
    bool ending() const;
    Wait waitFor(const std::function<bool()> &condition, int quietMs, int totalMs);
    [[noreturn]] void endNow(const QString &stuck);
    int finish(bool readControllers);
    void readControllers();
    void askControllers();
    void record(double atSeconds, bool last);
    void groupSent(unsigned int channel);
    void groupReceived(unsigned int channel, bool clean);
    qint64 unitMs(int units, qint64 atLeastMs) const;

    CheckOptions m_options;
    report::Outputs m_outputs;
    BoardLock m_lock;
    CCANDeviceEx m_Device;
    CTransmitTh m_TransmitTh;
    CFullLoadTh m_FullLoadTh;
    CReceiveTh m_ReceiveTh;
    QThread m_TransmitThread;
    QThread m_FullLoadThread;
    QThread m_ReceiveThread;
    std::unique_ptr<ReceiveWatch> m_receiveWatch;
    std::unique_ptr<TransmitWatch> m_transmitWatch;
    QVector<DirectionRecord> m_results;
    DirectionRecord *m_current = nullptr;
    report::RunState m_state;
    FrameLog m_log;
    // How slow the driver is: the longest step of the board's set-up.
    qint64 m_slowestStepNs = 0;
    // Set in the workers' threads.
    std::atomic<bool> m_bTransmitEnded{false};
    std::atomic<bool> m_bReceiveEnded{false};
    std::atomic<bool> m_bReadEmpty{false};
    // The run's window is open: the transmitter has cleared the DMA queues.
    std::atomic<bool> m_bInRun{false};
    bool m_troubled = false;          // a board failure the transmitter went on after
    quint64 m_groupsInThread = 0;     // counted in the transmitter's thread only
    QElapsedTimer m_directionClock;
    // The interval records: the file, the history for the report, the run's
    // totals.
    RecordLog m_records;
    IntervalHistory m_history;
    QElapsedTimer m_runClock;
    TrafficCounts m_runTotals;
    double m_runSecondsBefore = 0; // the directions' seconds before this one
    bool m_recording = false;      // records or the HTML report's intervals
    bool m_lastRecorded = false;   // the direction's last record is written
    // A controller that could not be read after some direction.
    bool m_controllerUnread[2] = {false, false};
};

#endif
