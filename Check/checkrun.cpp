#include "checkrun.h"

#include "testgroup.h"
#include "workerthreads.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::atomic<bool> g_interrupted{false};

// A direction whose transmitter reports no group for this long has stopped
// sending (a frame is retried for ever).
const qint64 kStallMs = 5000;
// After the transmitter has stopped: how long the receiver may go without a
// new frame, and how long the catching up may take in all (less once
// interrupted, so that a signal ends the run soon).
const int kDrainQuietMs = 2000;
const int kDrainMs = 10000;
const int kDrainInterruptedMs = 500;
// The board's 24-bit microsecond clock.
const quint64 kStampRange = quint64(1) << 24;

extern "C" void onSignal(int)
{
    g_interrupted = true;
}

#ifdef Q_OS_WIN
// Set once the summary is written.
std::atomic<bool> g_finished{false};

// Ctrl+C and Ctrl+Break end the run as a signal does. A console that closes,
// a logoff or a shutdown ends the process as soon as this returns: the run is
// given the few seconds Windows allows to stop and write its summary.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    g_interrupted = true;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        for (int waited = 0; waited < 4500 && !g_finished; waited += 10)
            Sleep(10);
    }
    return TRUE;
}
#endif

// Debug lines arrive from every thread; they are kept under a lock of their
// own, as copies.
std::mutex g_linesMutex;
std::vector<std::string> g_lines;
bool g_quiet = false;

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    // Qt's own warnings are shown, but only the workers' debug lines tell of
    // the run.
    if (type != QtDebugMsg) {
        std::fprintf(stderr, "korvane-check: %s\n", qPrintable(message));
        return;
    }
    if (message.endsWith(QLatin1String(" was called")))
        return;
    const std::string line = message.toStdString();
    std::lock_guard<std::mutex> lock(g_linesMutex);
    if (std::find(g_lines.begin(), g_lines.end(), line) != g_lines.end())
        return;
    g_lines.push_back(line);
    if (!g_quiet)
        std::fprintf(stderr, "korvane-check: worker: %s\n", line.c_str());
}

QStringList workerLines()
{
    std::lock_guard<std::mutex> lock(g_linesMutex);
    QStringList lines;
    for (const std::string &line : g_lines)
        lines << QString::fromStdString(line);
    return lines;
}

// A worker line that says a driver request failed, or a set-up that the
// traffic needs: the test could not be carried out, whatever the board's
// traffic would have been. Every other line (a frame that did not go out)
// tells of the board's traffic.
bool requestFailed(const QString &line)
{
    static const char *const prefixes[] = {
        "SendData I/O error", "Can't end transmit", "Send error:", "\"Receive error:",
        "Receive error:", "CheckTransmit I/O error. Code =  4", "Can't open device",
        "Full load: request failed", "Full load: can't", "Full load: device is not open",
    };
    for (const char *prefix : prefixes) {
        if (line.startsWith(QLatin1String(prefix)))
            return true;
    }
    return false;
}

} // namespace

void CheckRun::catchSignals()
{
#ifdef Q_OS_WIN
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    std::signal(SIGTERM, onSignal);
#else
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = onSignal;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
#endif
}

bool CheckRun::interrupted()
{
    return g_interrupted;
}

void CheckRun::finished()
{
#ifdef Q_OS_WIN
    g_finished = true;
#endif
}

void CheckRun::installMessageHandler(bool quiet)
{
    g_quiet = quiet;
    qInstallMessageHandler(messageHandler);
}

CheckRun::CheckRun(const CheckOptions &options) : QObject(nullptr), m_options(options)
{
    m_TransmitTh.moveToThread(&m_TransmitThread);
    m_ReceiveTh.moveToThread(&m_ReceiveThread);
    connect(&m_TransmitThread, SIGNAL(started()), &m_TransmitTh, SLOT(work()));
    connect(&m_ReceiveThread, SIGNAL(started()), &m_ReceiveTh, SLOT(work()));
    // Connected after work(), in the workers' threads: run once work() has
    // returned.
    connect(&m_TransmitThread, &QThread::started, &m_TransmitTh, [this] { m_bTransmitEnded = true; },
            Qt::DirectConnection);
    connect(&m_ReceiveThread, &QThread::started, &m_ReceiveTh, [this] { m_bReceiveEnded = true; },
            Qt::DirectConnection);
    connect(&m_TransmitTh, SIGNAL(SetLabelSendedCh1()), this, SLOT(sentCh1()));
    connect(&m_TransmitTh, SIGNAL(SetLabelSendedCh2()), this, SLOT(sentCh2()));
    connect(&m_ReceiveTh, SIGNAL(SetLabelNoErrorCh1()), this, SLOT(cleanCh1()));
    connect(&m_ReceiveTh, SIGNAL(SetLabelNoErrorCh2()), this, SLOT(cleanCh2()));
    connect(&m_ReceiveTh, SIGNAL(SetLabelWithErrorCh1()), this, SLOT(errorsCh1()));
    connect(&m_ReceiveTh, SIGNAL(SetLabelWithErrorCh2()), this, SLOT(errorsCh2()));
    // With a number of groups asked for, the transmitter is stopped from its
    // own thread as it reports the last one, before it can begin another.
    auto countGroup = [this] {
        if (m_options.groups && ++m_groupsInThread >= m_options.groups) {
            m_bGroupsReached = true;
            m_TransmitTh.StopWork();
        }
    };
    connect(&m_TransmitTh, &CTransmitTh::SetLabelSendedCh1, &m_TransmitTh, countGroup, Qt::DirectConnection);
    connect(&m_TransmitTh, &CTransmitTh::SetLabelSendedCh2, &m_TransmitTh, countGroup, Qt::DirectConnection);
    // The full-load transmitter, wired the same way.
    m_FullLoadTh.moveToThread(&m_FullLoadThread);
    connect(&m_FullLoadThread, &QThread::started, &m_FullLoadTh, &CFullLoadTh::work);
    connect(&m_FullLoadThread, &QThread::started, &m_FullLoadTh, [this] { m_bTransmitEnded = true; },
            Qt::DirectConnection);
    connect(&m_FullLoadTh, &CFullLoadTh::GroupSent, this, &CheckRun::sentFullLoad);
    // It ends by itself after the groups asked for.
    m_FullLoadTh.SetGroupLimit(m_options.groups);
    auto countFullLoadGroup = [this] {
        if (m_options.groups && ++m_groupsInThread >= m_options.groups)
            m_bGroupsReached = true;
    };
    connect(&m_FullLoadTh, &CFullLoadTh::GroupSent, &m_FullLoadTh, countFullLoadGroup, Qt::DirectConnection);
    connect(this, &CheckRun::blockArrived, this, &CheckRun::frameReceived, Qt::QueuedConnection);
    m_ReceiveTh.SetFrameObserver(this);
}

CheckRun::~CheckRun()
{
    stopWorker(m_TransmitThread, m_TransmitTh);
    stopWorker(m_FullLoadThread, m_FullLoadTh);
    stopWorker(m_ReceiveThread, m_ReceiveTh);
    m_ReceiveTh.SetFrameObserver(nullptr);
    m_Device.Close();
}

void CheckRun::blockRead(unsigned int channel, const unsigned char *block)
{
    emit blockArrived(channel, QByteArray(reinterpret_cast<const char *>(block), CAN_DMA_BLOCK_SIZE));
}

// The window's start-up: both controllers to configuration mode, both bit
// rates, both back to normal mode, DMA on, filters off.
bool CheckRun::setUpBoard(QString *reason)
{
    if (!m_Device.Open(0)) {
        *reason = QStringLiteral("cannot open \\\\.\\CAN0: no board or no driver (system error %1)")
                      .arg(GetLastError());
        return false;
    }
    // Each step: what failed, by channel, and the step itself.
    struct Step {
        const char *failure;
        std::function<int(unsigned int)> run;
    };
    const unsigned char receiveAny = 0x60;
    const Step steps[] = {
        {"channel %1's controller would not enter configuration mode",
         [this](unsigned int channel) { return m_Device.SetWorkMode(channel, CAN_MODE_CONFIGURATION); }},
        {"channel %1's bit rate could not be set",
         [this](unsigned int channel) { return m_Device.SetSpeed(channel, m_options.kbps[channel - 1]); }},
        {"channel %1's controller would not return to normal mode",
         [this](unsigned int channel) { return m_Device.SetWorkMode(channel, CAN_MODE_NORMAL); }},
        {"DMA reception could not be enabled",
         [this](unsigned int channel) { return channel == 1 ? m_Device.EnableDMA(0) : 1; }},
        {"channel %1's receive filters could not be turned off",
         [this, &receiveAny](unsigned int channel) {
             return m_Device.WriteCanReg(channel, CAN_REG_RXB0CTRL, 1, &receiveAny);
         }},
    };
    for (const Step &step : steps) {
        for (unsigned int channel = 1; channel <= 2; ++channel) {
            const int status = step.run(channel);
            if (status != 1) {
                *reason = QString::fromLatin1(step.failure).arg(channel) +
                          QStringLiteral(" (status %1)").arg(status);
                return false;
            }
        }
    }
    return true;
}


int CheckRun::run()
{
    QString reason;
    if (!setUpBoard(&reason)) {
        std::fprintf(stderr, "korvane-check: %s\n", qPrintable(reason));
        return kCheckUsage;
    }
    if (!m_options.logPath.isEmpty()) {
        m_log.setFileName(m_options.logPath);
        if (!m_log.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            std::fprintf(stderr, "korvane-check: cannot write %s: %s\n", qPrintable(m_options.logPath),
                         qPrintable(m_log.errorString()));
            return kCheckUsage;
        }
    }
    for (unsigned int from : m_options.directions) {
        runDirection(from);
        if (ending())
            break;
    }
    if (m_log.isOpen() && m_logError.isEmpty() && !m_log.flush())
        m_logError = m_log.errorString();
    m_log.close();
    return printSummary();
}

// A signal, or an output that can no longer be written, ends the run.
bool CheckRun::ending() const
{
    return g_interrupted || !m_outputError.isEmpty();
}

// Processes the workers' reports until the condition holds, nothing has been
// reported for quietMs, or totalMs have passed.
void CheckRun::waitFor(const std::function<bool()> &condition, int quietMs, int totalMs)
{
    QElapsedTimer quiet;
    quiet.start();
    QElapsedTimer total;
    total.start();
    quint64 seen = 0;
    const bool wasEnding = ending();
    while (!condition() && quiet.elapsed() < quietMs && total.elapsed() < totalMs &&
           (wasEnding || !ending())) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
        const GroupAccount &account = m_current->account;
        const quint64 now = m_current->sent + m_current->clean + m_current->withErrors +
                            account.framesAccounted() + account.framesNobodySent() + account.framesDamaged();
        if (now != seen) {
            seen = now;
            quiet.restart();
        }
    }
}

void CheckRun::runDirection(unsigned int from)
{
    const unsigned int to = 3 - from;
    m_results.append(DirectionResult());
    m_current = &m_results.last();
    m_current->from = from;
    m_current->to = to;
    m_ReceiveTh.SetCh1State(to == 1);
    m_ReceiveTh.SetCh2State(to == 2);
    m_TransmitTh.SetCh1State(from == 1);
    m_TransmitTh.SetCh2State(from == 2);
    m_FullLoadTh.SetChannel(from);
    m_bTransmitEnded = false;
    m_bReceiveEnded = false;
    m_bGroupsReached = false;
    m_groupsInThread = 0;

    startReceiverAndWait(m_ReceiveThread, m_ReceiveTh);
    QElapsedTimer clock;
    clock.start();
    if (!m_bReceiveEnded)
        transmitThread().start();

    qint64 nextReport = 1000;
    quint64 sentAtLastReport = 0;
    quint64 sentBefore = 0;
    QElapsedTimer sinceLastGroup;
    sinceLastGroup.start();
    for (;;) {
        if (m_bReceiveEnded) {
            m_current->receiverEnded = true;
            break;
        }
        if (m_bTransmitEnded) {
            m_current->transmitterEnded = !m_bGroupsReached;
            break;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
        const double elapsed = clock.elapsed() / 1000.0;
        if (m_current->sent != sentBefore) {
            sentBefore = m_current->sent;
            sinceLastGroup.restart();
        }
        if (sinceLastGroup.elapsed() >= kStallMs) {
            m_current->stalled = true;
            break;
        }
        if (ending() || elapsed >= m_options.seconds)
            break;
        if (clock.elapsed() >= nextReport) {
            printProgress(*m_current, elapsed, m_current->sent - sentAtLastReport);
            sentAtLastReport = m_current->sent;
            nextReport += 1000;
        }
    }
    // The transmit loop finishes its group, or gives a failing frame up, and
    // takes back whatever it had loaded. Once the run is ending it loads and
    // waits for nothing more. Then the receiver catches up.
    if (ending() && transmitThread().isRunning()) {
        m_current->aborted = true;
        if (m_options.fullLoad)
            m_FullLoadTh.AbortWork();
        else
            m_TransmitTh.AbortWork();
        transmitThread().quit();
        transmitThread().wait();
    } else if (m_options.fullLoad) {
        stopWorker(m_FullLoadThread, m_FullLoadTh);
    } else {
        stopWorker(m_TransmitThread, m_TransmitTh);
    }
    m_current->seconds = clock.elapsed() / 1000.0;
    QCoreApplication::processEvents(); // every group the transmitter reported
    // Every frame of the groups sent is in, and then one read found the
    // queue empty: whatever came after them has been read too.
    if (!m_bReceiveEnded) {
        const int drainMs = ending() ? kDrainInterruptedMs : kDrainMs;
        waitFor([this] { return m_bReceiveEnded || m_current->account.framesAccounted() >= 5 * m_current->sent; },
                kDrainQuietMs, drainMs);
        m_bReadEmpty = false;
        waitFor([this] { return m_bReceiveEnded || m_bReadEmpty; }, kDrainQuietMs, drainMs);
    }
    m_current->receiverEnded = m_current->receiverEnded || m_bReceiveEnded;
    stopWorker(m_ReceiveThread, m_ReceiveTh);
    QCoreApplication::processEvents(); // frames and reports still queued
    m_current->account.finish(m_current->sent, m_current->aborted);
}

void CheckRun::countSent(unsigned int channel)
{
    if (m_current && channel == m_current->from)
        ++m_current->sent;
}

void CheckRun::countReceived(unsigned int channel, bool clean)
{
    if (!m_current || channel != m_current->to)
        return;
    if (clean)
        ++m_current->clean;
    else
        ++m_current->withErrors;
}

// One DMA block: into the account of the direction that receives on its
// channel, and into the log.
void CheckRun::frameReceived(unsigned int channel, QByteArray block)
{
    if (block.size() < int(CAN_DMA_BLOCK_SIZE) || !m_current)
        return;
    int flag = 0, recordChannel = 0, stdId = 0, extId = 0, length = 0;
    unsigned int header = 0;
    unsigned char data[8] = {};
    m_Device.ParseRxRecord(block.constData(), &flag, &recordChannel, &header, &stdId, &extId, data,
                           &length);
    const bool remote = (static_cast<unsigned char>(block[9]) & CAN_DLC_RTR) != 0;
    quint32 number = 0;
    for (int i = 3; i >= 0; --i)
        number = (number << 8) | data[i];
    if (channel == m_current->to) {
        const bool testIdentifier = stdId == int(testgroup::kStdId) && extId == int(testgroup::kExtId);
        m_current->account.frame(testIdentifier, remote, length, number);
    }
    logFrame(channel, header, stdId, extId, remote, data, length);
}

// candump's log format, with the block's reception time.
void CheckRun::logFrame(unsigned int channel, unsigned int stamp, int stdId, int extId, bool remote,
                        const unsigned char *data, int length)
{
    if (!m_log.isOpen() || !m_logError.isEmpty())
        return;
    // The stamp is the frame's reception time in microseconds, 24 bits,
    // wrapping every 16.8 s. Of the times it can stand for, the one nearest
    // to the last frame's time plus the host time since is this frame's.
    quint64 micros = stamp;
    if (m_stampSeen) {
        const quint64 expected = m_lastMicros + quint64(m_sinceLastStamp.nsecsElapsed() / 1000);
        const quint64 base = expected - expected % kStampRange;
        micros = base + stamp;
        if (micros + kStampRange / 2 < expected)
            micros += kStampRange;
        else if (micros > expected + kStampRange / 2 && micros >= kStampRange)
            micros -= kStampRange;
    }
    m_stampSeen = true;
    m_lastMicros = micros;
    m_sinceLastStamp.start();
    QString id = extId >= 0 ? QStringLiteral("%1").arg((quint32(stdId) << 18) | quint32(extId), 8, 16, QChar('0'))
                            : QStringLiteral("%1").arg(stdId, 3, 16, QChar('0'));
    QString payload;
    if (remote) {
        payload = QStringLiteral("R");
    } else {
        for (int i = 0; i < length; ++i)
            payload += QStringLiteral("%1").arg(data[i], 2, 16, QChar('0'));
    }
    const QString line = QStringLiteral("(%1.%2) can%3 %4#%5\n")
                             .arg(micros / 1000000)
                             .arg(micros % 1000000, 6, 10, QChar('0'))
                             .arg(channel - 1)
                             .arg(id.toUpper())
                             .arg(payload.toUpper());
    const QByteArray bytes = line.toLatin1();
    if (m_log.write(bytes) != bytes.size())
        m_logError = m_log.errorString();
}

double CheckRun::limitGroupsPerSecond(unsigned int kbps) const
{
    return kbps * 1000.0 / m_bitsPerGroup;
}

// Writes and flushes; a stream that takes no more ends the run.
bool CheckRun::write(FILE *stream, const QByteArray &bytes)
{
    errno = 0;
    const bool written = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size()) &&
                         std::fflush(stream) == 0;
    if (!written && m_outputError.isEmpty() && stream == stdout)
        m_outputError = QString::fromLocal8Bit(std::strerror(errno ? errno : EIO));
    return written;
}

void CheckRun::out(const QString &line)
{
    write(m_options.json ? stderr : stdout, line.toLocal8Bit() + '\n');
}

void CheckRun::printProgress(const DirectionResult &result, double elapsed, quint64 sentInSecond)
{
    if (m_options.quiet)
        return;
    const unsigned int kbps = m_options.kbps[result.from - 1];
    out(QStringLiteral("%1->%2 %3 s: sent %4, received clean %5, with errors %6; %7 groups/s, "
                       "bus load %8 %")
            .arg(result.from)
            .arg(result.to)
            .arg(elapsed, 0, 'f', 0)
            .arg(result.sent)
            .arg(result.clean)
            .arg(result.withErrors)
            .arg(double(sentInSecond), 0, 'f', 0)
            .arg(100.0 * sentInSecond / limitGroupsPerSecond(kbps), 0, 'f', 1));
}

// Prints the summary and the verdict; returns the exit status.
int CheckRun::printSummary()
{
    QJsonArray directions;
    QStringList failures;    // the board's traffic was wrong
    QStringList notCarried;  // the test could not be carried out
    for (const DirectionResult &result : m_results) {
        const unsigned int kbps = m_options.kbps[result.from - 1];
        const double rate = result.seconds > 0 ? result.sent / result.seconds : 0;
        const double limit = limitGroupsPerSecond(kbps);
        const GroupAccount &account = result.account;
        const QString name = QStringLiteral("%1->%2").arg(result.from).arg(result.to);
        out(QStringLiteral("%1 at %2 kbit/s, %3 s: sent %4, received clean %5, with errors %6, lost %7; "
                           "by content: %8 groups whole, %9 frames missing, %10 damaged, %11 nobody sent%12; "
                           "%13 groups/s, bus load %14 % of the %15 groups/s limit")
                .arg(name)
                .arg(kbps)
                .arg(result.seconds, 0, 'f', 1)
                .arg(result.sent)
                .arg(result.clean)
                .arg(result.withErrors)
                .arg(result.lost())
                .arg(account.groupsWhole())
                .arg(account.framesMissing())
                .arg(account.framesDamaged())
                .arg(account.framesNobodySent())
                .arg(account.framesAbandoned()
                         ? QStringLiteral(", %1 of the group abandoned at the stop").arg(account.framesAbandoned())
                         : QString())
                .arg(rate, 0, 'f', 1)
                .arg(100.0 * rate / limit, 0, 'f', 1)
                .arg(limit, 0, 'f', 1));
        if (result.sent == 0)
            failures << name + QStringLiteral(": no group was sent");
        if (result.stalled)
            failures << name + QStringLiteral(": no group was sent for %1 s").arg(kStallMs / 1000);
        if (result.transmitterEnded)
            failures << name + QStringLiteral(": the transmit loop ended before it was stopped");
        if (result.receiverEnded)
            failures << name + QStringLiteral(": the receive loop ended before it was stopped");
        if (account.groupsWhole() != result.sent)
            failures << name + QStringLiteral(": %1 groups whole of %2 sent").arg(account.groupsWhole()).arg(result.sent);
        if (account.framesMissing())
            failures << name + QStringLiteral(": %1 frames missing").arg(account.framesMissing());
        if (account.framesDamaged())
            failures << name + QStringLiteral(": %1 frames damaged").arg(account.framesDamaged());
        if (account.framesNobodySent())
            failures << name + QStringLiteral(": %1 frames nobody sent").arg(account.framesNobodySent());
        if (account.groupsSeen() > result.sent)
            failures << name + QStringLiteral(": test frames of %1 groups that were not reported sent")
                                   .arg(account.groupsSeen() - result.sent);
        QJsonObject object;
        object[QStringLiteral("from")] = int(result.from);
        object[QStringLiteral("to")] = int(result.to);
        object[QStringLiteral("kbps")] = int(kbps);
        object[QStringLiteral("seconds")] = result.seconds;
        object[QStringLiteral("sent")] = double(result.sent);
        object[QStringLiteral("clean")] = double(result.clean);
        object[QStringLiteral("withErrors")] = double(result.withErrors);
        object[QStringLiteral("lost")] = double(result.lost());
        object[QStringLiteral("groupsWhole")] = double(account.groupsWhole());
        object[QStringLiteral("framesMissing")] = double(account.framesMissing());
        object[QStringLiteral("framesDamaged")] = double(account.framesDamaged());
        object[QStringLiteral("framesNobodySent")] = double(account.framesNobodySent());
        object[QStringLiteral("testFrames")] = double(account.testFrames());
        object[QStringLiteral("framesAbandoned")] = double(account.framesAbandoned());
        object[QStringLiteral("groupsPerSecond")] = rate;
        object[QStringLiteral("limitGroupsPerSecond")] = limit;
        object[QStringLiteral("busLoad")] = rate / limit;
        object[QStringLiteral("stalled")] = result.stalled;
        object[QStringLiteral("transmitterEnded")] = result.transmitterEnded;
        object[QStringLiteral("receiverEnded")] = result.receiverEnded;
        object[QStringLiteral("passed")] = result.passed();
        directions.append(object);
    }
    if (m_options.kbps[0] != m_options.kbps[1])
        failures << QStringLiteral("the channels run at different bit rates (%1 and %2 kbit/s)")
                        .arg(m_options.kbps[0])
                        .arg(m_options.kbps[1]);
    if (m_results.size() < m_options.directions.size())
        failures << QStringLiteral("%1 of %2 directions run").arg(m_results.size()).arg(m_options.directions.size());
    const bool interrupted = g_interrupted;
    if (interrupted)
        failures << QStringLiteral("interrupted");
    const QStringList lines = workerLines();
    for (const QString &line : lines) {
        if (requestFailed(line))
            notCarried << QStringLiteral("the workers said: ") + line;
    }
    if (!m_logError.isEmpty())
        notCarried << QStringLiteral("the log %1 could not be written: %2").arg(m_options.logPath, m_logError);
    if (!m_outputError.isEmpty())
        notCarried << QStringLiteral("the output could not be written: %1").arg(m_outputError);

    // A board whose traffic went wrong while everything else worked has
    // failed; a driver request or a file that failed leaves the verdict open.
    int status = kCheckPassed;
    if (!notCarried.isEmpty() && !interrupted)
        status = kCheckNotCarried;
    else if (!failures.isEmpty() || !lines.isEmpty() || !notCarried.isEmpty())
        status = kCheckFailed;
    QString verdict;
    if (status == kCheckPassed) {
        verdict = QStringLiteral("PASS");
    } else if (status == kCheckNotCarried) {
        verdict = QStringLiteral("ERROR: the test could not be carried out: ") + notCarried.join(QStringLiteral("; "));
        if (!failures.isEmpty())
            verdict += QStringLiteral("; so far: ") + failures.join(QStringLiteral("; "));
    } else {
        verdict = QStringLiteral("FAIL: ") + failures.join(QStringLiteral("; "));
        if (!lines.isEmpty())
            verdict += QStringLiteral("; the workers said: ") + lines.join(QStringLiteral(" | "));
    }
    out(verdict);
    if (m_options.json) {
        QJsonObject summary;
        summary[QStringLiteral("result")] = status == kCheckPassed ? QStringLiteral("pass")
                                            : status == kCheckFailed ? QStringLiteral("fail")
                                                                     : QStringLiteral("error");
        summary[QStringLiteral("exitCode")] = status;
        summary[QStringLiteral("interrupted")] = interrupted;
        summary[QStringLiteral("directions")] = directions;
        summary[QStringLiteral("failures")] = QJsonArray::fromStringList(failures);
        summary[QStringLiteral("notCarriedOut")] = QJsonArray::fromStringList(notCarried);
        summary[QStringLiteral("workerMessages")] = QJsonArray::fromStringList(lines);
        write(stdout, QJsonDocument(summary).toJson(QJsonDocument::Indented));
    }
    if (!m_outputError.isEmpty()) {
        std::fprintf(stderr, "korvane-check: the result could not be written: %s\n", qPrintable(m_outputError));
        if (status == kCheckPassed)
            status = kCheckNotCarried;
    }
    // A signal that came while the summary was written still fails the run.
    if (status == kCheckPassed && g_interrupted) {
        std::fprintf(stderr, "korvane-check: interrupted\n");
        status = kCheckFailed;
    }
    return status;
}
