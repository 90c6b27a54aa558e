#include "checkrun.h"

#include "testgroup.h"
#include "workerthreads.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::atomic<bool> g_interrupted{false};

// A direction whose transmitter reports no group for this long has stopped
// sending (its loop ended on a failure, or a frame is retried for ever).
const qint64 kStallMs = 5000;
// After the transmitter has stopped: how long the receiver may go without a
// new frame, and how long the catching up may take in all (less once
// interrupted, so that Ctrl+C ends the run within a second).
const int kDrainQuietMs = 2000;
const int kDrainMs = 10000;
const int kDrainInterruptedMs = 500;
// The board's 24-bit microsecond clock.
const quint64 kStampRange = quint64(1) << 24;

extern "C" void onInterrupt(int)
{
    g_interrupted = true;
}

// Debug lines arrive from every thread; they are kept under a lock of their
// own, as copies.
std::mutex g_linesMutex;
std::vector<std::string> g_lines;
bool g_quiet = false;

void messageHandler(QtMsgType, const QMessageLogContext &, const QString &message)
{
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

} // namespace

void CheckRun::catchInterrupt()
{
    std::signal(SIGINT, onInterrupt);
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
    connect(&m_TransmitTh, SIGNAL(SetLabelSendedCh1()), this, SLOT(sentCh1()));
    connect(&m_TransmitTh, SIGNAL(SetLabelSendedCh2()), this, SLOT(sentCh2()));
    connect(&m_ReceiveTh, SIGNAL(SetLabelNoErrorCh1()), this, SLOT(cleanCh1()));
    connect(&m_ReceiveTh, SIGNAL(SetLabelNoErrorCh2()), this, SLOT(cleanCh2()));
    connect(&m_ReceiveTh, SIGNAL(SetLabelWithErrorCh1()), this, SLOT(errorsCh1()));
    connect(&m_ReceiveTh, SIGNAL(SetLabelWithErrorCh2()), this, SLOT(errorsCh2()));
    connect(&m_ReceiveTh, SIGNAL(FrameReceived(unsigned int, QByteArray)), this,
            SLOT(frameReceived(unsigned int, QByteArray)));
}

CheckRun::~CheckRun()
{
    stopWorker(m_TransmitThread, m_TransmitTh);
    stopWorker(m_ReceiveThread, m_ReceiveTh);
    m_Device.Close();
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
        return 2;
    }
    if (!m_options.logPath.isEmpty()) {
        m_log.setFileName(m_options.logPath);
        if (!m_log.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            std::fprintf(stderr, "korvane-check: cannot write %s: %s\n", qPrintable(m_options.logPath),
                         qPrintable(m_log.errorString()));
            return 2;
        }
    }
    for (unsigned int from : m_options.directions) {
        runDirection(from);
        if (g_interrupted)
            break;
    }
    if (m_log.isOpen() && !m_log.flush())
        m_logFailed = true;
    m_log.close();
    if (m_logFailed) {
        std::fprintf(stderr, "korvane-check: cannot write %s: %s\n", qPrintable(m_options.logPath),
                     qPrintable(m_log.errorString()));
        return 2;
    }
    bool passed = !g_interrupted && m_results.size() == m_options.directions.size();
    for (const DirectionResult &result : m_results)
        passed = passed && result.passed();
    const int exitCode = passed ? 0 : 1;
    printSummary(exitCode, g_interrupted);
    return exitCode;
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
    while (!condition() && quiet.elapsed() < quietMs && total.elapsed() < totalMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
        const quint64 now = m_current->sent + m_current->clean + m_current->withErrors +
                            m_current->testFrames + m_current->foreignFrames;
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

    startReceiverAndWait(m_ReceiveThread, m_ReceiveTh);
    QElapsedTimer clock;
    clock.start();
    m_TransmitThread.start();

    qint64 nextReport = 1000;
    quint64 sentAtLastReport = 0;
    quint64 sentBefore = 0;
    QElapsedTimer sinceLastGroup;
    sinceLastGroup.start();
    for (;;) {
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
        if (g_interrupted || elapsed >= m_options.seconds ||
            (m_options.groups && m_current->sent >= m_options.groups))
            break;
        if (clock.elapsed() >= nextReport) {
            printProgress(*m_current, elapsed, m_current->sent - sentAtLastReport);
            sentAtLastReport = m_current->sent;
            nextReport += 1000;
        }
    }
    // The transmit loop finishes its group, or gives a failing frame up, and
    // takes back whatever it had loaded; then the receiver catches up.
    stopWorker(m_TransmitThread, m_TransmitTh);
    m_current->seconds = clock.elapsed() / 1000.0;
    QCoreApplication::processEvents(); // every group the transmitter reported
    waitFor([this] { return m_current->testFrames + m_current->foreignFrames >= 5 * m_current->sent &&
                            m_current->clean + m_current->withErrors >= m_current->sent; },
            kDrainQuietMs, g_interrupted ? kDrainInterruptedMs : kDrainMs);
    stopWorker(m_ReceiveThread, m_ReceiveTh);
    QCoreApplication::processEvents(); // reports still queued
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

// One DMA block: counted as a test frame or as a frame that the tool did not
// send, and logged in candump format with the block's reception time.
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
    using namespace testgroup;
    const bool testFrame = !remote && stdId == int(kStdId) && extId == int(kExtId) && length == 4 &&
                           std::find(std::begin(kNumbers), std::end(kNumbers), number) != std::end(kNumbers);
    if (channel == m_current->to) {
        if (testFrame)
            ++m_current->testFrames;
        else
            ++m_current->foreignFrames;
    }
    if (!m_log.isOpen())
        return;
    // The stamp is the frame's reception time in microseconds, 24 bits,
    // wrapping every 16.8 s. Of the times it can stand for, the one nearest
    // to the last frame's time plus the host time since is this frame's.
    const unsigned int index = channel - 1;
    quint64 micros = header;
    if (m_stampSeen) {
        const quint64 expected = m_lastMicros + quint64(m_sinceLastStamp.nsecsElapsed() / 1000);
        const quint64 base = expected - expected % kStampRange;
        micros = base + header;
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
                             .arg(index)
                             .arg(id.toUpper())
                             .arg(payload.toUpper());
    const QByteArray bytes = line.toLatin1();
    if (m_log.write(bytes) != bytes.size())
        m_logFailed = true;
}

double CheckRun::limitGroupsPerSecond(unsigned int kbps) const
{
    return kbps * 1000.0 / m_bitsPerGroup;
}

void CheckRun::out(const QString &line) const
{
    std::fprintf(m_options.json ? stderr : stdout, "%s\n", qPrintable(line));
    std::fflush(m_options.json ? stderr : stdout);
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

void CheckRun::printSummary(int exitCode, bool interrupted)
{
    QJsonArray directions;
    QStringList failures;
    for (const DirectionResult &result : m_results) {
        const unsigned int kbps = m_options.kbps[result.from - 1];
        const double rate = result.seconds > 0 ? result.sent / result.seconds : 0;
        const double limit = limitGroupsPerSecond(kbps);
        const QString name = QStringLiteral("%1->%2").arg(result.from).arg(result.to);
        out(QStringLiteral("%1 at %2 kbit/s, %3 s: sent %4, received clean %5, with errors %6, lost %7, "
                           "frames nobody sent %8; %9 groups/s, bus load %10 % of the %11 groups/s limit")
                .arg(name)
                .arg(kbps)
                .arg(result.seconds, 0, 'f', 1)
                .arg(result.sent)
                .arg(result.clean)
                .arg(result.withErrors)
                .arg(result.lost())
                .arg(result.foreignFrames)
                .arg(rate, 0, 'f', 1)
                .arg(100.0 * rate / limit, 0, 'f', 1)
                .arg(limit, 0, 'f', 1));
        if (result.sent == 0)
            failures << name + QStringLiteral(": no group was sent");
        else if (result.stalled)
            failures << name + QStringLiteral(": no group was sent for %1 s").arg(kStallMs / 1000);
        if (result.lost())
            failures << name + QStringLiteral(": %1 groups lost").arg(result.lost());
        if (result.withErrors)
            failures << name + QStringLiteral(": %1 groups with errors").arg(result.withErrors);
        if (result.foreignFrames)
            failures << name + QStringLiteral(": %1 frames nobody sent").arg(result.foreignFrames);
        if (result.testFrames != 5 * result.sent && result.sent)
            failures << name + QStringLiteral(": %1 test frames for %2 groups")
                                   .arg(result.testFrames)
                                   .arg(result.sent);
        QJsonObject object;
        object[QStringLiteral("from")] = int(result.from);
        object[QStringLiteral("to")] = int(result.to);
        object[QStringLiteral("kbps")] = int(kbps);
        object[QStringLiteral("seconds")] = result.seconds;
        object[QStringLiteral("sent")] = double(result.sent);
        object[QStringLiteral("clean")] = double(result.clean);
        object[QStringLiteral("withErrors")] = double(result.withErrors);
        object[QStringLiteral("lost")] = double(result.lost());
        object[QStringLiteral("testFrames")] = double(result.testFrames);
        object[QStringLiteral("framesNobodySent")] = double(result.foreignFrames);
        object[QStringLiteral("groupsPerSecond")] = rate;
        object[QStringLiteral("limitGroupsPerSecond")] = limit;
        object[QStringLiteral("busLoad")] = rate / limit;
        object[QStringLiteral("stalled")] = result.stalled;
        object[QStringLiteral("passed")] = result.passed();
        directions.append(object);
    }
    if (m_options.kbps[0] != m_options.kbps[1])
        failures << QStringLiteral("the channels run at different bit rates (%1 and %2 kbit/s)")
                        .arg(m_options.kbps[0])
                        .arg(m_options.kbps[1]);
    if (interrupted)
        failures << QStringLiteral("interrupted");
    const QStringList lines = workerLines();
    if (exitCode == 0) {
        out(QStringLiteral("PASS"));
    } else {
        QString verdict = QStringLiteral("FAIL: ") + failures.join(QStringLiteral("; "));
        if (!lines.isEmpty())
            verdict += QStringLiteral("; the workers said: ") + lines.join(QStringLiteral(" | "));
        out(verdict);
    }
    if (m_options.json) {
        QJsonObject summary;
        summary[QStringLiteral("result")] = exitCode == 0 ? QStringLiteral("pass") : QStringLiteral("fail");
        summary[QStringLiteral("exitCode")] = exitCode;
        summary[QStringLiteral("interrupted")] = interrupted;
        summary[QStringLiteral("directions")] = directions;
        summary[QStringLiteral("failures")] = QJsonArray::fromStringList(failures);
        summary[QStringLiteral("workerMessages")] = QJsonArray::fromStringList(lines);
        std::fprintf(stdout, "%s", QJsonDocument(summary).toJson(QJsonDocument::Indented).constData());
        std::fflush(stdout);
    }
}
