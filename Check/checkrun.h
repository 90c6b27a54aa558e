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
    bool passed() const
    {
        return sent > 0 && clean == sent && withErrors == 0 && foreignFrames == 0 &&
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
    // 2 the board could not be opened or configured.
    int run();

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
    void waitFor(const std::function<bool()> &condition, int quietMs);
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
    quint64 m_stampBase[2] = {0, 0}; // unwrapping the 24-bit block time stamps
    quint32 m_lastStamp[2] = {0, 0};
    bool m_stampSeen[2] = {false, false};
    unsigned int m_bitsPerGroup = 0;
};

#endif
