// One run of korvane-check: the board set up as the window sets it up at
// start-up, the window's own transmit and receive workers in their threads,
// and their reports counted per direction, as the window's counters count
// them. Individual frames are decoded only to log them and to find frames
// that the tool did not send.
#ifndef CHECKRUN_H
#define CHECKRUN_H

#include "ReceiveTh.h"
#include "TransmitTh.h"
#include "candeviceex.h"
#include "testgroup.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <cstdint>
#include <functional>

struct CheckOptions {
    unsigned int kbps[2] = {125, 125};
    QVector<unsigned int> directions; // transmitting channels, in order
    double seconds = 5;               // per direction
    quint64 groups = 0;               // per direction; 0: no limit
    bool json = false;
    bool quiet = false;
    QString logPath;
};

struct DirectionResult {
    unsigned int from = 0;
    unsigned int to = 0;
    double seconds = 0;
    quint64 sent = 0;
    quint64 clean = 0;
    quint64 withErrors = 0;
    quint64 testFrames = 0;    // frames of the test group received
    quint64 foreignFrames = 0; // frames received that the tool did not send
    quint64 lost() const { return sent > clean + withErrors ? sent - clean - withErrors : 0; }
    bool stalled = false;     // the transmitter sent nothing for a while and was stopped
    bool passed() const
    {
        return sent > 0 && !stalled && clean == sent && withErrors == 0 && foreignFrames == 0 &&
               testFrames == 5 * sent;
    }
};

class CheckRun : public QObject
{
    Q_OBJECT

public:
    explicit CheckRun(const CheckOptions &options);
    ~CheckRun() override;

    // Runs every direction and prints the summary; returns the exit code:
    // 0 every group arrived clean and nothing else arrived, 1 otherwise,
    // 2 the board could not be opened or configured, or the log not written.
    int run();
    // Ctrl+C ends the run: the handler only sets a flag.
    static void catchInterrupt();

    // Installs the handler of debug lines: the workers' entry lines ("...
    // was called") are dropped, every other line is kept once, for the
    // summary, and echoed to stderr unless quiet.
    static void installMessageHandler(bool quiet);

private slots:
    void sentCh1() { countSent(1); }
    void sentCh2() { countSent(2); }
    void cleanCh1() { countReceived(1, true); }
    void cleanCh2() { countReceived(2, true); }
    void errorsCh1() { countReceived(1, false); }
    void errorsCh2() { countReceived(2, false); }
    void frameReceived(unsigned int channel, QByteArray block);

private:
    bool setUpBoard(QString *reason);
    void runDirection(unsigned int from);
    void waitFor(const std::function<bool()> &condition, int quietMs, int totalMs);
    void countSent(unsigned int channel);
    void countReceived(unsigned int channel, bool clean);
    void printProgress(const DirectionResult &result, double elapsed, quint64 sentInSecond);
    void printSummary(int exitCode, bool interrupted);
    double limitGroupsPerSecond(unsigned int kbps) const;
    void out(const QString &line) const;

    CheckOptions m_options;
    CCANDeviceEx m_Device;
    CTransmitTh m_TransmitTh;
    CReceiveTh m_ReceiveTh;
    QThread m_TransmitThread;
    QThread m_ReceiveThread;
    QVector<DirectionResult> m_results;
    DirectionResult *m_current = nullptr;
    QFile m_log;
    bool m_logFailed = false;
    // Unwrapping the 24-bit block time stamps: one board clock for both
    // channels, followed with the host's clock across long gaps.
    bool m_stampSeen = false;
    quint64 m_lastMicros = 0;
    QElapsedTimer m_sinceLastStamp;
    const unsigned int m_bitsPerGroup = testgroup::bits();
};

#endif
