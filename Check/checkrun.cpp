#include "checkrun.h"

#include "boardsetup.h"
#include "qualification.h"
#include "report.h"
#include "runsignals.h"
#include "workerlines.h"
#include "workerthreads.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace {

// A transmitter whose driver calls stop returning for this long (at least;
// longer behind a slow driver, see unitMs) has stalled.
const qint64 kStallMs = 5000;
// Host time counted towards a stall per tick of the runner's loop: a host
// that was paused (SIGSTOP, a suspended machine) does not make a stall.
const qint64 kTickCapMs = 100;
// After the transmitter has stopped: how long the receiver may go without a
// new frame, and how long the catching up may take in all (less once
// interrupted, so that a signal ends the run soon).
const int kDrainQuietMs = 2000;
const int kDrainMs = 10000;
const int kDrainInterruptedMs = 500;

// What the runner says of a set-up step that failed.
QString setUpFailure(const boardsetup::Failure &failure)
{
    // By boardsetup::Step.
    const char *const what[] = {
        "channel %1's controller would not enter configuration mode",
        "channel %1's bit rate could not be set",
        "channel %1's controller would not return to normal mode",
        "DMA reception could not be enabled",
        "channel %1's receive filters could not be turned off",
    };
    QString text = QString::fromLatin1(what[failure.step]);
    if (failure.channel)
        text = text.arg(failure.channel);
    return text + QStringLiteral(" (status %1)").arg(failure.status);
}

// What a failed set-up step met. A mode change that was written and read
// back but not reached is the controller's; a request that failed is the
// bridge's if it reads busy, else the host's.
verdict::Run::SetUpFault setUpFault(CCANDeviceEx &device, const boardsetup::Failure &failure)
{
    using Fault = verdict::Run::SetUpFault;
    Fault fault;
    fault.channel = failure.channel;
    const bool modeStep = failure.step == boardsetup::ConfigurationMode || failure.step == boardsetup::NormalMode;
    if (modeStep && failure.status == CAN_MODE_NOT_REACHED)
        fault.what = Fault::ModeNotReached;
    else if (failure.channel && causeOfFailure(device, failure.channel) == WorkerReport::BridgeStuck)
        fault.what = Fault::BridgeStuck;
    else
        fault.what = Fault::RequestFailed;
    return fault;
}

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

// The receive worker's observer: blocks and its loop's end, to the runner's
// thread. A block counts as inside the run if the run had begun (the
// transmit worker had cleared the DMA queues) when the read that brought it
// returned: a frame still queued at the clear would have been cleared. With
// each block goes how
// long the channel had been found silent since its last frame (see
// FrameLog::unwrap), measured here, around the reads.
class CheckRun::ReceiveWatch : public CReceiveTh::FrameObserver
{
public:
    explicit ReceiveWatch(CheckRun *run) : m_run(run) {}
    // Only while the receive worker's thread is stopped.
    void reset()
    {
        for (Channel &channel : m_channels)
            channel = Channel{0, 0, 0};
    }
    void blockRead(unsigned int channel, const unsigned char *block) override
    {
        Channel &c = m_channels[channel == 2 ? 1 : 0];
        const bool inRun = m_run->m_bInRun;
        const qint64 now = steadyNs();
        const qint64 silent = c.emptyFromNs > c.frameReadNs ? c.emptyFromNs - c.frameReadNs : 0;
        const qint64 sinceLast = c.frameReadNs ? now - c.frameReadNs : -1;
        c.frameReadNs = now;
        c.emptyFromNs = 0;
        c.callbackNs = now;
        emit m_run->blockReadInThread(channel, QByteArray(reinterpret_cast<const char *>(block), CAN_DMA_BLOCK_SIZE),
                                 silent, sinceLast, inRun);
    }
    // The queue was empty at some time after the previous call for the
    // channel (which came before this read began): a time the next frame
    // came after. Both times err early, never late.
    void nothingRead(unsigned int channel) override
    {
        Channel &c = m_channels[channel == 2 ? 1 : 0];
        if (c.frameReadNs && c.callbackNs >= c.frameReadNs)
            c.emptyFromNs = c.callbackNs;
        c.callbackNs = steadyNs();
        m_run->m_bReadEmpty = true;
    }
    void loopEnded(const WorkerReport &report) override
    {
        emit m_run->loopEndedInThread(false, int(report.cause), report.channel, report.code);
        m_run->m_bReceiveEnded = true;
    }

private:
    // The receive worker's thread only.
    struct Channel {
        qint64 callbackNs;  // the last call for the channel
        qint64 frameReadNs; // the read that brought the last frame had ended
        qint64 emptyFromNs; // the queue was found empty after this, since that frame
    };
    CheckRun *m_run;
    Channel m_channels[2] = {{0, 0, 0}, {0, 0, 0}};
};

class CheckRun::TransmitWatch : public TransmitObserver
{
public:
    explicit TransmitWatch(CheckRun *run) : m_run(run) {}
    void loading() override { m_run->m_bInRun = true; }
    void frameDone(unsigned int channel, quint32 number, bool surely) override
    {
        emit m_run->frameLeftInThread(channel, number, surely);
    }
    void trouble(const WorkerReport &report) override
    {
        emit m_run->troubleInThread(int(report.cause), report.channel, report.code);
    }
    void loopEnded(const WorkerReport &report) override
    {
        emit m_run->loopEndedInThread(true, int(report.cause), report.channel, report.code);
        m_run->m_bTransmitEnded = true;
    }
    void controllersRead(const ControllerHealth &first, const ControllerHealth &second) override
    {
        emit m_run->controllersReadInThread(QVector<int>{first.read, first.tec, first.rec, first.eflg, second.read,
                                                    second.tec, second.rec, second.eflg});
    }

private:
    CheckRun *m_run;
};

CheckRun::CheckRun(const CheckOptions &options)
    : QObject(nullptr), m_options(options), m_outputs(options), m_TransmitTh(options.board),
      m_FullLoadTh(options.board), m_ReceiveTh(options.board), m_receiveWatch(std::make_unique<ReceiveWatch>(this)),
      m_transmitWatch(std::make_unique<TransmitWatch>(this))
{
    m_TransmitTh.moveToThread(&m_TransmitThread);
    m_ReceiveTh.moveToThread(&m_ReceiveThread);
    connect(&m_TransmitThread, SIGNAL(started()), &m_TransmitTh, SLOT(work()));
    connect(&m_ReceiveThread, SIGNAL(started()), &m_ReceiveTh, SLOT(work()));
    connect(&m_TransmitTh, SIGNAL(SetLabelSendedCh1()), this, SLOT(transmitterSentGroupCh1()));
    connect(&m_TransmitTh, SIGNAL(SetLabelSendedCh2()), this, SLOT(transmitterSentGroupCh2()));
    connect(&m_ReceiveTh, SIGNAL(SetLabelNoErrorCh1()), this, SLOT(receiverFoundCleanCh1()));
    connect(&m_ReceiveTh, SIGNAL(SetLabelNoErrorCh2()), this, SLOT(receiverFoundCleanCh2()));
    connect(&m_ReceiveTh, SIGNAL(SetLabelWithErrorCh1()), this, SLOT(receiverFoundErrorsCh1()));
    connect(&m_ReceiveTh, SIGNAL(SetLabelWithErrorCh2()), this, SLOT(receiverFoundErrorsCh2()));
    // With a number of groups asked for, the transmitter is stopped from its
    // own thread as it reports the last one, before it can begin another.
    auto stopAtTheLastGroup = [this] {
        if (m_options.groups && ++m_groupsInThread >= m_options.groups)
            m_TransmitTh.StopWork();
    };
    connect(&m_TransmitTh, &CTransmitTh::SetLabelSendedCh1, &m_TransmitTh, stopAtTheLastGroup, Qt::DirectConnection);
    connect(&m_TransmitTh, &CTransmitTh::SetLabelSendedCh2, &m_TransmitTh, stopAtTheLastGroup, Qt::DirectConnection);
    // The full-load transmitter, wired the same way; it ends by itself after
    // the groups asked for.
    m_FullLoadTh.moveToThread(&m_FullLoadThread);
    connect(&m_FullLoadThread, &QThread::started, &m_FullLoadTh, &CFullLoadTh::work);
    connect(&m_FullLoadTh, &CFullLoadTh::GroupSent, this, &CheckRun::fullLoadSentGroup);
    m_FullLoadTh.SetGroupLimit(m_options.groups);
    connect(this, &CheckRun::blockReadInThread, this, &CheckRun::takeBlock, Qt::QueuedConnection);
    connect(this, &CheckRun::frameLeftInThread, this, &CheckRun::takeFrameLeft, Qt::QueuedConnection);
    connect(this, &CheckRun::troubleInThread, this, &CheckRun::takeTrouble, Qt::QueuedConnection);
    connect(this, &CheckRun::loopEndedInThread, this, &CheckRun::takeLoopEnd, Qt::QueuedConnection);
    qRegisterMetaType<QVector<int>>();
    connect(this, &CheckRun::controllersReadInThread, this, &CheckRun::takeControllers, Qt::QueuedConnection);
    m_ReceiveTh.SetFrameObserver(m_receiveWatch.get());
    m_TransmitTh.SetObserver(m_transmitWatch.get());
    m_FullLoadTh.SetObserver(m_transmitWatch.get());
}

CheckRun::~CheckRun()
{
    stopWorker(m_TransmitThread, m_TransmitTh, kWindowTransmitStop);
    stopWorker(m_FullLoadThread, m_FullLoadTh, kWindowTransmitStop);
    stopWorker(m_ReceiveThread, m_ReceiveTh, kWindowReceiveStop);
    m_ReceiveTh.SetFrameObserver(nullptr);
    m_TransmitTh.SetObserver(nullptr);
    m_FullLoadTh.SetObserver(nullptr);
    m_Device.Close();
}

// A time that scales with the driver's speed: so many of the set-up's
// slowest steps (each a handful of requests), and never less than a floor.
qint64 CheckRun::unitMs(int units, qint64 atLeastMs) const
{
    return qMax(atLeastMs, units * m_slowestStepNs / 1000000);
}

int CheckRun::run()
{
    // The board is held first: a second test on it touches none of the
    // first one's files.
    long long holder = 0;
    QString error;
    switch (m_lock.take(m_options.board, &holder, &error)) {
    case BoardLock::Held:
        break;
    case BoardLock::InUse:
        m_state.setUpFault.what = verdict::Run::SetUpFault::InUse;
        m_state.setUpFailure = QStringLiteral("%1 is in use by another test").arg(report::boardName(m_options.board));
        if (holder > 0)
            m_state.setUpFailure += QStringLiteral(" (process %1)").arg(holder);
        return finish(false);
    case BoardLock::Failed:
        m_state.setUpFailure =
            QStringLiteral("%1 could not be held for this test: %2").arg(report::boardName(m_options.board), error);
        return finish(false);
    }
    // The reports and the log next: an earlier run's report or frames never
    // stay behind a failed set-up.
    if (!m_outputs.begin(&error)) {
        m_state.setUpFailure = error;
        return finish(false);
    }
    m_runClock.start();
    m_state.started = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    if (!m_options.recordsPath.isEmpty() && !m_records.open(m_options.recordsPath, &error)) {
        m_state.setUpFailure = error;
        return finish(false);
    }
    m_log.setBoard(m_options.board);
    if (!m_options.logPath.isEmpty() && !m_log.open(m_options.logPath, &error, m_options.logLimitMb * 1024 * 1024)) {
        m_state.setUpFailure = error;
        return finish(false);
    }
    if (m_options.resultClosed) {
        m_outputs.resultClosed(QStringLiteral("standard output is closed"));
        return finish(false);
    }
    if (runsignals::interrupted())
        return finish(false);
    const int refused = setUpBoard();
    if (refused >= 0)
        return refused;
    if (m_options.qualify) {
        qualify();
        return finish(false);
    }
    for (int i = 0; i < m_options.directions.size(); ++i) {
        runDirection(i);
        if (ending())
            break;
    }
    return finish(!runsignals::interrupted());
}

// Opens the board and sets it up as the window does; the exit status when
// that fails or a signal came, else -1.
int CheckRun::setUpBoard()
{
    if (!m_Device.Open(m_options.board)) {
        m_state.setUpFault.what = verdict::Run::SetUpFault::NotOpened;
        m_state.setUpFailure = QStringLiteral("cannot open \\\\.\\CAN%1: no board or no driver (system error %2)")
                                   .arg(m_options.board)
                                   .arg(GetLastError());
        return finish(false);
    }
    boardsetup::Failure failure;
    const auto setSpeed = [this](unsigned int channel) {
        return m_Device.SetSpeed(channel, m_options.kbps[channel - 1]);
    };
    switch (boardsetup::setUp(m_Device, setSpeed, [] { return runsignals::interrupted(); }, &failure,
                              &m_slowestStepNs)) {
    case boardsetup::Failed:
        m_state.setUpFailure = setUpFailure(failure);
        m_state.setUpFault = setUpFault(m_Device, failure);
        return finish(false);
    case boardsetup::Stopped:
        return finish(false);
    case boardsetup::Ready:
        break;
    }
    return -1;
}

// The catalogue's cases asked for, one after the other, each on the board
// as set up at start-up and leaving it so; a signal ends it between cases
// or at a case's next wait.
void CheckRun::qualify()
{
    std::vector<const qualify::Case *> chosen;
    std::string unknown;
    qualify::select(m_options.casesList.toStdString(), &chosen, &unknown);
    for (const qualify::Case *c : chosen) {
        verdict::Qualified q;
        q.name = c->name;
        m_state.qualified.push_back(q);
    }
    qualify::Bench bench(m_Device, m_options.kbps[0], [this] { return ending(); });
    // The board as the cases begin on it is part of its set-up.
    using Fault = verdict::Run::SetUpFault;
    try {
        bench.restore();
    } catch (const qualify::HostFailure &failure) {
        m_state.setUpFailure = QString::fromStdString("the board could not be made ready for the cases: " + failure.what);
        m_state.setUpFault.what = Fault::RequestFailed;
        return;
    } catch (const qualify::BoardFailure &failure) {
        m_state.setUpFailure = QString::fromStdString("the board could not be made ready for the cases: " + failure.what);
        m_state.setUpFault.what = failure.kind == qualify::BoardFailure::BridgeStuck      ? Fault::BridgeStuck
                                  : failure.kind == qualify::BoardFailure::ModeNotReached ? Fault::ModeNotReached
                                                                                          : Fault::None;
        m_state.setUpFault.channel = failure.channel;
        return;
    }
    for (size_t i = 0; i < chosen.size() && !ending(); ++i) {
        const qualify::Outcome outcome = qualify::run(*chosen[i], bench);
        verdict::Qualified &q = m_state.qualified[i];
        static const verdict::Qualified::Result results[] = {verdict::Qualified::Passed, verdict::Qualified::Failed,
                                                             verdict::Qualified::NotCarried,
                                                             verdict::Qualified::Interrupted};
        q.result = results[outcome.result];
        q.findings = outcome.findings;
        q.check = outcome.check;
        q.seconds = outcome.seconds;
        if (!m_options.quiet)
            m_outputs.line(report::caseLine(q));
    }
}

// A signal, or an output that can no longer be written, ends the run.
bool CheckRun::ending() const
{
    return runsignals::interrupted() || m_outputs.resultFailed();
}

bool CheckRun::takeTransmitProgress()
{
    return m_options.fullLoad ? m_FullLoadTh.TakeProgress() : m_TransmitTh.TakeProgress();
}

// What the runner does while a worker stops: its reports are processed; a
// first signal aborts the stop, a second gives it up.
std::function<StopWait()> CheckRun::whileStopping()
{
    return [this, signalled = runsignals::interrupted()]() mutable {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (runsignals::insisted())
            return StopWait::GiveUp;
        if (!signalled && runsignals::interrupted()) {
            signalled = true;
            return StopWait::Abort;
        }
        return StopWait::Go;
    };
}

// A worker that did not stop within its deadline, or a second signal while
// it stopped, ends the run at once.
void CheckRun::stopped(StopOutcome outcome, const StopDeadline &deadline)
{
    if (outcome == StopOutcome::GaveUp)
        endNow(QString());
    if (outcome == StopOutcome::Overdue)
        endNow(QStringLiteral("%1 did not stop within %2 s (a driver request that does not return?)")
                   .arg(QLatin1String(deadline.worker))
                   .arg(deadline.totalMs() / 1000));
}

// The transmit loop finishes its group, or gives a failing frame up, and
// takes back whatever it had loaded; aborted (or at a signal), it loads and
// waits for nothing more. Either has a deadline.
void CheckRun::stopTransmitter(bool abort)
{
    const StopDeadline deadline{"the transmit worker", abort ? 0 : unitMs(60, 15000), unitMs(20, 5000)};
    const StopOutcome outcome =
        m_options.fullLoad ? stopWorkerWithin(m_FullLoadThread, m_FullLoadTh, deadline, abort, whileStopping())
                           : stopWorkerWithin(m_TransmitThread, m_TransmitTh, deadline, abort, whileStopping());
    stopped(outcome, deadline);
}

// Processes the workers' reports until the condition holds, nothing has been
// reported for quietMs, or totalMs have passed.
CheckRun::Wait CheckRun::waitFor(const std::function<bool()> &condition, int quietMs, int totalMs)
{
    QElapsedTimer quiet;
    quiet.start();
    QElapsedTimer total;
    total.start();
    quint64 seen = 0;
    const bool wasEnding = ending();
    while (!condition() && quiet.elapsed() < quietMs && total.elapsed() < totalMs && (wasEnding || !ending())) {
        if (runsignals::insisted())
            return Wait::Insisted;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
        const quint64 now = m_current->activity();
        if (now != seen) {
            seen = now;
            quiet.restart();
        }
    }
    return condition() ? Wait::Done : Wait::Deadline;
}

void CheckRun::runDirection(int index)
{
    beginDirection(index);
    // The HTML report draws the run's seconds when no other interval is asked.
    const qint64 everyMs = m_options.every ? qint64(m_options.every * 1000) : m_options.htmlPath.isEmpty() ? 0 : 1000;
    m_recording = everyMs != 0;
    m_lastRecorded = false;
    askControllers();
    if (!m_bReceiveEnded && !ending()) {
        takeTransmitProgress();
        transmitThread().start();
    }
    runTraffic(everyMs);
    endDirection(everyMs);
}

// The direction's record, the workers' channels, and the receiver started:
// it clears and sets up DMA before the transmitter begins.
void CheckRun::beginDirection(int index)
{
    const unsigned int from = m_options.directions[index];
    const unsigned int to = 3 - from;
    m_results.append(DirectionRecord(from, m_options.kbps[from - 1], m_options.roundOf(index), m_runSecondsBefore));
    m_current = &m_results.last();
    m_current->minLoad = m_options.fullLoad ? m_options.minLoad : -1;
    m_ReceiveTh.SetCh1State(to == 1);
    m_ReceiveTh.SetCh2State(to == 2);
    m_TransmitTh.SetCh1State(from == 1);
    m_TransmitTh.SetCh2State(from == 2);
    m_FullLoadTh.SetChannel(from);
    m_bTransmitEnded = false;
    m_bReceiveEnded = false;
    m_groupsInThread = 0;
    m_troubled = false;
    // Full load clears nothing: the run begins with the receiver's set-up.
    m_bInRun = m_options.fullLoad;
    m_receiveWatch->reset();

    m_ReceiveTh.ClearReady();
    m_ReceiveThread.start();
    QElapsedTimer setUp;
    setUp.start();
    while (!m_ReceiveTh.IsReady() && m_ReceiveThread.isRunning()) {
        QThread::msleep(1);
        if (runsignals::insisted())
            endNow(QString());
        if (setUp.elapsed() > unitMs(20, 5000))
            endNow(QStringLiteral("the receive worker did not set its DMA up within %1 s")
                       .arg(unitMs(20, 5000) / 1000));
    }
    m_directionClock.start();
}

// The traffic runs until its time, a worker's end, trouble, a stall or a
// signal; the intervals are recorded and a line a second shown on the way.
void CheckRun::runTraffic(qint64 everyMs)
{
    const QElapsedTimer &clock = m_directionClock;
    qint64 nextRecord = everyMs;
    const qint64 stallLimit = unitMs(20, kStallMs);
    qint64 nextReport = 1000;
    quint64 sentAtLastReport = 0;
    qint64 withoutProgress = 0;
    QElapsedTimer tick;
    tick.start();
    for (;;) {
        if (m_bReceiveEnded || m_bTransmitEnded || m_troubled || ending())
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
        const qint64 gap = qMin(tick.restart(), kTickCapMs);
        if (takeTransmitProgress())
            withoutProgress = 0;
        else
            withoutProgress += gap;
        if (withoutProgress >= stallLimit) {
            m_current->stalled = true;
            m_current->stallReason = QStringLiteral("the transmitter made no progress for %1 s: none of its "
                                                    "driver calls returned")
                                         .arg(stallLimit / 1000.0, 0, 'f', 1);
            break;
        }
        // Every interval that began before the direction's end has its
        // record, however late the host comes to it.
        while (everyMs && clock.elapsed() >= nextRecord && nextRecord < m_options.seconds * 1000) {
            record(nextRecord / 1000.0, false);
            nextRecord += everyMs;
            askControllers();
        }
        if (clock.elapsed() >= m_options.seconds * 1000)
            break;
        if (clock.elapsed() >= nextReport) {
            if (!m_options.quiet)
                m_outputs.line(report::progressLine(*m_current, clock.elapsed() / 1000.0,
                                                    m_current->groupsReported - sentAtLastReport));
            sentAtLastReport = m_current->groupsReported;
            nextReport += 1000;
        }
    }
}

// The transmitter stopped, every frame it sent read (and then a read that
// found the queue empty), the receiver stopped, the controllers read, and
// the direction's last record.
void CheckRun::endDirection(qint64 everyMs)
{
    // A stall means a call that does not return: nothing to finish.
    stopTransmitter(ending() || m_current->stalled);
    const double seconds = m_directionClock.elapsed() / 1000.0;
    m_current->seconds = seconds;
    QCoreApplication::processEvents(); // every group and frame the transmitter reported
    if (!m_bReceiveEnded) {
        const int drainMs = ending() ? kDrainInterruptedMs : kDrainMs;
        if (waitFor([this] { return m_bReceiveEnded || m_current->outstanding() == 0; }, kDrainQuietMs, drainMs) ==
            Wait::Insisted)
            endNow(QString());
        m_bReadEmpty = false;
        if (waitFor([this] { return m_bReceiveEnded || m_bReadEmpty; }, kDrainQuietMs, drainMs) == Wait::Insisted)
            endNow(QString());
    }
    const bool receiverEnded = m_bReceiveEnded;
    const StopDeadline receiveDeadline{"the receive worker", unitMs(10, 5000), 0};
    stopped(stopWorkerWithin(m_ReceiveThread, m_ReceiveTh, receiveDeadline, false, whileStopping()), receiveDeadline);
    QCoreApplication::processEvents(); // frames, reports and ends still queued
    m_current->finish(seconds, receiverEnded, runsignals::interrupted());
    if (!ending())
        readControllers();
    // The direction's last record, up to its end: the records add up to
    // the summary.
    if (everyMs)
        record(seconds, true);
    m_runSecondsBefore += seconds;
}

void CheckRun::askControllers()
{
    if (!m_options.every && m_options.htmlPath.isEmpty())
        return;
    if (m_options.fullLoad)
        m_FullLoadTh.AskControllers();
    else
        m_TransmitTh.AskControllers();
}

void CheckRun::takeControllers(QVector<int> values)
{
    if (!m_current || values.size() != 8)
        return;
    ControllerHealth readings[2];
    for (int i = 0; i < 2; ++i) {
        readings[i].read = values[4 * i] != 0;
        readings[i].tec = values[4 * i + 1];
        readings[i].rec = values[4 * i + 2];
        readings[i].eflg = values[4 * i + 3];
    }
    m_current->controllersSampled(readings);
}

// One interval of the current direction, up to atSeconds of its clock: what
// it added, the controllers as last read, and the run's totals.
void CheckRun::record(double atSeconds, bool last)
{
    QCoreApplication::processEvents(); // reports and readings still queued
    const IntervalPoint point = m_current->interval(atSeconds, last);
    m_history.add(point);
    m_runTotals += point.counts;
    report::Interval interval;
    interval.point = point;
    interval.number = m_current->intervals();
    interval.direction = m_current->name();
    interval.round = m_current->round;
    interval.last = last;
    interval.board = m_options.board;
    interval.runSeconds = m_runClock.elapsed() / 1000.0;
    interval.totals = m_runTotals;
    m_records.write(report::intervalRecord(interval));
    if (last)
        m_lastRecorded = true;
}

// The controllers' error state after a direction; the worse of every
// reading is kept, and one that could not be made is remembered.
void CheckRun::readControllers()
{
    ControllerHealth now[2];
    for (unsigned int channel = 1; channel <= 2; ++channel) {
        now[channel - 1] = boardsetup::health(m_Device, channel);
        if (!now[channel - 1].read)
            m_controllerUnread[channel - 1] = true;
        m_state.controllers[channel - 1] = worse(m_state.controllers[channel - 1], now[channel - 1]);
    }
    if (m_current)
        m_current->controllersRead(now);
}

// Ends the run at once: a second signal, or a worker that did not stop. The
// summary so far is printed; the threads are left as they are.
void CheckRun::endNow(const QString &stuck)
{
    m_state.stuck = stuck;
    if (m_current) {
        const double seconds = m_current->seconds == 0 && m_directionClock.isValid()
                                   ? m_directionClock.elapsed() / 1000.0
                                   : m_current->seconds;
        m_current->cutShort = true;
        m_current->finish(seconds, m_bReceiveEnded, runsignals::interrupted());
        // The direction's last record too: the records add up to the summary.
        if (m_recording && !m_lastRecorded)
            record(seconds, true);
    }
    const int status = finish(false);
    runsignals::finished();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

void CheckRun::groupSent(unsigned int channel)
{
    if (m_current && channel == m_current->from)
        m_current->groupSent();
}

void CheckRun::groupReceived(unsigned int channel, bool clean)
{
    if (m_current && channel == m_current->to)
        m_current->groupReceived(clean);
}

void CheckRun::takeFrameLeft(unsigned int channel, quint32 number, bool surely)
{
    if (m_current && channel == m_current->from)
        m_current->frameLeft(number, surely);
}

void CheckRun::takeTrouble(int cause, unsigned int channel, int code)
{
    // The traffic is wrong already: the direction ends, as it would end on
    // channel 1, rather than try again for the rest of its time.
    if (m_current && m_current->trouble(WorkerReport(WorkerReport::Cause(cause), channel, code)))
        m_troubled = true;
}

void CheckRun::takeLoopEnd(bool transmitter, int cause, unsigned int channel, int code)
{
    if (m_current)
        m_current->loopEnded(transmitter, WorkerReport(WorkerReport::Cause(cause), channel, code));
}

// One DMA block: into the log, and into the record of the direction that
// receives on its channel.
void CheckRun::takeBlock(unsigned int channel, QByteArray block, qint64 silentNs, qint64 sinceLastNs, bool inRun)
{
    if (block.size() < int(CAN_DMA_BLOCK_SIZE) || !m_current)
        return;
    const CanRxRecord record = CanDecodeRxRecord(block.constData());
    bool steppedBack = false;
    const uint64_t micros = m_log.unwrap(channel, record.nStamp, silentNs, sinceLastNs, &steppedBack);
    m_log.frame(channel, micros, record.nStdId, record.nExtId, record.bRemote, record.data, record.nLength);
    if (channel == m_current->to)
        m_current->blockRead(record, micros, inRun, steppedBack);
}

// The summary and the verdict; returns the exit status. Everything the run
// writes comes from the one verdict, decided before anything is printed.
int CheckRun::finish(bool withControllers)
{
    if (!withControllers) {
        for (verdict::Controller &controller : m_state.controllers)
            controller = verdict::Controller();
    } else {
        if (m_results.isEmpty())
            readControllers();
        for (int i = 0; i < 2; ++i) {
            if (m_controllerUnread[i])
                m_state.controllers[i].read = false;
        }
    }
    if (m_records.isOpen()) {
        m_records.close();
        if (!m_records.error().isEmpty())
            m_state.outputs.push_back(verdict::Output{
                QStringLiteral("the records %1").arg(m_options.recordsPath).toStdString(),
                m_records.error().toStdString()});
    }
    // A log that failed at any point, a rotation included, is said; its
    // counts are taken once its last frames are written.
    if (!m_options.logPath.isEmpty() && !m_log.close())
        m_state.outputs.push_back(verdict::Output{
            QStringLiteral("the log %1").arg(m_options.logPath).toStdString(), m_log.error().toStdString()});
    m_state.logFramesKept = m_log.framesKept();
    m_state.logFramesDropped = m_log.framesDropped();
    m_state.interrupted = runsignals::interrupted();
    m_state.workerLines = workerlines::lines();
    m_state.runSeconds = m_runClock.isValid() ? m_runClock.elapsed() / 1000.0 : 0;
    m_state.intervals = m_history.points();
    m_state.intervalsPerPoint = m_history.merged();
    return m_outputs.conclude(m_results, m_state, withControllers);
}
