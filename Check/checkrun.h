// One run of korvane-check: the board set up as the window sets it up at
// start-up, the window's own transmit and receive workers in their threads,
// and their reports counted per direction, as the window's counters count
// them. Beside those counts the runner keeps its own account of every frame
// received, aligned on the test group's content, and bases its verdict on it.
#ifndef CHECKRUN_H
#define CHECKRUN_H

#include "ReceiveTh.h"
#include "TransmitTh.h"
#include "candeviceex.h"
#include "fullload.h"
#include "groupaccount.h"
#include "testgroup.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>

struct CheckOptions {
    unsigned int kbps[2] = {125, 125};
    QVector<unsigned int> directions; // transmitting channels, in order
    double seconds = 5;               // per direction
    quint64 groups = 0;               // per direction; 0: no limit
    bool json = false;
    bool quiet = false;
    bool fullLoad = false;            // CFullLoadTh instead of the window's sequence
    QString logPath;
};

// The exit statuses, for test stations.
enum CheckStatus {
    kCheckPassed = 0,      // every group sent arrived whole, nothing else arrived
    kCheckFailed = 1,      // the board's traffic was wrong, or the run was interrupted
    kCheckUsage = 2,       // a usage error, or a board that cannot be opened or configured
    kCheckNotCarried = 3,  // the test could not be carried out or its result not written
};

struct DirectionResult {
    unsigned int from = 0;
    unsigned int to = 0;
    double seconds = 0;
    quint64 sent = 0;
    quint64 clean = 0;
    quint64 withErrors = 0;
    GroupAccount account;
    bool stalled = false;            // the transmitter sent nothing for a while and was stopped
    bool transmitterEnded = false;   // its loop ended before it was asked to
    bool receiverEnded = false;      // likewise
    bool aborted = false;            // the group under way was abandoned at the stop
    quint64 lost() const { return sent > clean + withErrors ? sent - clean - withErrors : 0; }
    bool passed() const
    {
        return sent > 0 && !stalled && !transmitterEnded && !receiverEnded &&
               account.groupsWhole() == sent && account.groupsSeen() == sent &&
               account.framesMissing() == 0 && account.framesDamaged() == 0 &&
               account.framesNobodySent() == 0;
    }
};

class CheckRun : public QObject, public CReceiveTh::FrameObserver
{
    Q_OBJECT

public:
    explicit CheckRun(const CheckOptions &options);
    ~CheckRun() override;

    // Runs every direction and prints the summary; returns a CheckStatus.
    int run();

    // SIGINT, SIGTERM and SIGHUP end the run as Ctrl+C does (the handlers
    // only set a flag), and a closed pipe on the output is a write error,
    // not a signal. Installed before anything else happens.
    // On Windows: a console's Ctrl+C, Ctrl+Break, closing, logoff and
    // shutdown likewise (SetConsoleCtrlHandler; signal handlers do not see a
    // closing console), and SIGTERM.
    static void catchSignals();
    static bool interrupted();
    // The summary is written: a closing console may end the process now.
    static void finished();

    // Installs the handler of debug lines: the workers' entry lines ("...
    // was called") are dropped, every other line is kept once, for the
    // summary, and echoed to stderr unless quiet.
    static void installMessageHandler(bool quiet);

    // The receive worker's thread: hands every block over to the runner's.
    void blockRead(unsigned int channel, const unsigned char *block) override;
    void nothingRead(unsigned int) override { m_bReadEmpty = true; }

signals:
    void blockArrived(unsigned int channel, QByteArray block);

private slots:
    void sentCh1() { countSent(1); }
    void sentCh2() { countSent(2); }
    void cleanCh1() { countReceived(1, true); }
    void cleanCh2() { countReceived(2, true); }
    void errorsCh1() { countReceived(1, false); }
    void errorsCh2() { countReceived(2, false); }
    void frameReceived(unsigned int channel, QByteArray block);
    void sentFullLoad() { countSent(m_current ? m_current->from : 0); }

private:
    QThread &transmitThread() { return m_options.fullLoad ? m_FullLoadThread : m_TransmitThread; }
    bool setUpBoard(QString *reason);
    void runDirection(unsigned int from);
    bool ending() const;
    void waitFor(const std::function<bool()> &condition, int quietMs, int totalMs);
    void countSent(unsigned int channel);
    void countReceived(unsigned int channel, bool clean);
    void logFrame(unsigned int channel, unsigned int stamp, int stdId, int extId, bool remote,
                  const unsigned char *data, int length);
    void printProgress(const DirectionResult &result, double elapsed, quint64 sentInSecond);
    int printSummary();
    double limitGroupsPerSecond(unsigned int kbps) const;
    void out(const QString &line);
    bool write(FILE *stream, const QByteArray &bytes);

    CheckOptions m_options;
    CCANDeviceEx m_Device;
    CTransmitTh m_TransmitTh;
    CFullLoadTh m_FullLoadTh;
    CReceiveTh m_ReceiveTh;
    QThread m_TransmitThread;
    QThread m_FullLoadThread;
    QThread m_ReceiveThread;
    QVector<DirectionResult> m_results;
    DirectionResult *m_current = nullptr;
    // Set in the workers' threads once their loop has returned, and when the
    // transmitter has sent the groups asked for and stops itself.
    std::atomic<bool> m_bTransmitEnded{false};
    std::atomic<bool> m_bReceiveEnded{false};
    std::atomic<bool> m_bGroupsReached{false};
    // Set by the receiver's thread when a read found its queue empty.
    std::atomic<bool> m_bReadEmpty{false};
    quint64 m_groupsInThread = 0; // counted in the transmitter's thread only
    QFile m_log;
    QString m_logError;
    QString m_outputError;
    // Unwrapping the 24-bit block time stamps: one board clock for both
    // channels, followed with the host's clock across long gaps.
    bool m_stampSeen = false;
    quint64 m_lastMicros = 0;
    QElapsedTimer m_sinceLastStamp;
    const unsigned int m_bitsPerGroup = testgroup::bits();
};

#endif
