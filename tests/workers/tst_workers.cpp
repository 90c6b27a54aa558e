// The transmit and receive workers in their threads on the emulated board.
#include "ReceiveTh.h"
#include "TransmitTh.h"
#include "candeviceex.h"
#include "debuglog.h"
#include "emulateddriver.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

#include <win32subset/devicetable.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <tuple>
#include <vector>

using namespace boardemu;

namespace {

// The board as the application leaves it after start-up, plus both workers
// in their own threads, with their signals counted where they are emitted.
class Rig
{
public:
    explicit Rig(const EmulatorSettings &settings = EmulatorSettings(),
                 std::shared_ptr<Clock> clock = std::make_shared<VirtualClock>())
        : m_clock(clock), board(settings, clock)
    {
        if (auto virtualClock = std::dynamic_pointer_cast<VirtualClock>(clock))
            win32subset::setSleepHandler(
                [virtualClock](DWORD ms) { virtualClock->advance(Time(ms) * kMillisecond); });
        control.Open(0);
        tx = std::make_unique<CTransmitTh>();
        rx = std::make_unique<CReceiveTh>();
        tx->moveToThread(&txThread);
        rx->moveToThread(&rxThread);
        QObject::connect(&txThread, SIGNAL(started()), tx.get(), SLOT(work()));
        QObject::connect(&rxThread, SIGNAL(started()), rx.get(), SLOT(work()));
        QObject::connect(tx.get(), &CTransmitTh::SetLabelSendedCh1, [this] { ++sent[0]; });
        QObject::connect(tx.get(), &CTransmitTh::SetLabelSendedCh2, [this] { ++sent[1]; });
        QObject::connect(rx.get(), &CReceiveTh::SetLabelNoErrorCh1, [this] { ++clean[0]; });
        QObject::connect(rx.get(), &CReceiveTh::SetLabelNoErrorCh2, [this] { ++clean[1]; });
        QObject::connect(rx.get(), &CReceiveTh::SetLabelWithErrorCh1, [this] { ++dirty[0]; });
        QObject::connect(rx.get(), &CReceiveTh::SetLabelWithErrorCh2, [this] { ++dirty[1]; });
        // Connected after work(): run in the worker's thread once it returned.
        QObject::connect(&txThread, &QThread::started, tx.get(), [this] { txEnded = true; }, Qt::DirectConnection);
        QObject::connect(&rxThread, &QThread::started, rx.get(), [this] { rxEnded = true; }, Qt::DirectConnection);
        // The last thing a worker's thread does; see stop().
        QObject::connect(&txThread, &QThread::finished, [this] { txGone = true; });
        QObject::connect(&rxThread, &QThread::finished, [this] { rxGone = true; });
    }

    ~Rig()
    {
        stopTransmitter();
        stopReceiver();
        tx.reset();
        rx.reset();
        control.Close();
        win32subset::setSleepHandler({});
    }

    bool configure(unsigned kbps1, unsigned kbps2)
    {
        const unsigned rates[2] = {kbps1, kbps2};
        for (unsigned channel = 1; channel <= 2; ++channel) {
            if (control.SetWorkMode(channel, CAN_MODE_CONFIGURATION) != 1 ||
                control.SetSpeed(channel, rates[channel - 1]) != 1 ||
                control.SetWorkMode(channel, CAN_MODE_NORMAL) != 1)
                return false;
        }
        const unsigned char receiveAny = 0x60;
        return control.EnableDMA(0) == 1 &&
               control.WriteCanReg(1, CAN_REG_RXB0CTRL, 1, &receiveAny) == 1 &&
               control.WriteCanReg(2, CAN_REG_RXB0CTRL, 1, &receiveAny) == 1;
    }

    void stopTransmitter() { stop(txThread, *tx, txGone); }
    void stopReceiver() { stop(rxThread, *rx, rxGone); }

    template <typename Worker>
    static void stop(QThread &thread, Worker &worker, const std::atomic<bool> &gone)
    {
        if (thread.isRunning()) {
            worker.StopWork();
            thread.quit();
            thread.wait();
        }
        // Qt hands a thread's end over through its own uninstrumented lock,
        // and not at all when the thread had already ended; reading the flag
        // it raised last makes everything it wrote visibly precede what this
        // thread does next, such as reusing the rig's memory.
        (void)gone.load();
    }

    void startReceiver()
    {
        const uint64_t before = board.driver().requestCount();
        rxThread.start();
        // Its DMA set-up is done once it polls.
        QElapsedTimer timer;
        timer.start();
        while (board.driver().requestCount() < before + 3 && timer.elapsed() < 5000)
            QThread::msleep(1);
    }

    // Sends frames on a channel from the test's own board object.
    bool sendFrame(unsigned channel, const QByteArray &data, unsigned stdId = 0xAB,
                   DWORD extId = 0xBA)
    {
        if (control.SendData(channel, 0, 0, stdId, extId,
                             reinterpret_cast<const unsigned char *>(data.constData()),
                             unsigned(data.size())) != 1)
            return false;
        for (int poll = 0; poll < 100000; ++poll) {
            if (control.CheckTransmit(channel, 0) == 1)
                return true;
        }
        return false;
    }

    // Transmit buffers of a channel whose request is still pending.
    int pendingBuffers(unsigned channel)
    {
        return board.inspect([channel](Board &b) {
            int pending = 0;
            for (uint8_t ctrl : {0x30, 0x40, 0x50})
                pending += (b.controller(channel).read(ctrl) & CAN_TXB_TXREQ) != 0;
            return pending;
        });
    }

    static QByteArray number(quint32 value)
    {
        QByteArray bytes(4, 0);
        for (int i = 0; i < 4; ++i)
            bytes[i] = char(value >> (8 * i));
        return bytes;
    }

    bool sendGroup(unsigned channel, quint32 sum = 26772)
    {
        for (quint32 value : {41u, 18467u, 6334u, 1930u, sum}) {
            if (!sendFrame(channel, number(value)))
                return false;
        }
        return true;
    }

    std::shared_ptr<Clock> m_clock;
    EmulatedBoard board;
    CCANDeviceEx control;
    std::unique_ptr<CTransmitTh> tx;
    std::unique_ptr<CReceiveTh> rx;
    QThread txThread;
    QThread rxThread;
    std::atomic<int> sent[2] = {{0}, {0}};
    std::atomic<int> clean[2] = {{0}, {0}};
    std::atomic<int> dirty[2] = {{0}, {0}};
    std::atomic<bool> txEnded{false};
    std::atomic<bool> rxEnded{false};
    std::atomic<bool> txGone{false};
    std::atomic<bool> rxGone{false};
};

// Sanitizer builds run a tenth of the traffic.
#ifdef KORVANE_QUICK_TESTS
const int kTrafficScale = 10;
#else
const int kTrafficScale = 1;
#endif

// What a transmit loop tells its observer, kept for the test.
class RecordingObserver : public TransmitObserver
{
public:
    void loading() override { m_loading = true; }
    void frameDone(unsigned int channel, quint32 number, bool surely) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames.push_back({channel, number, surely});
    }
    void trouble(const WorkerReport &report) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_troubles.push_back(report);
    }
    void loopEnded(const WorkerReport &report) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_end = report;
        m_ended = true;
    }
    struct Frame {
        unsigned int channel;
        quint32 number;
        bool surely;
    };
    std::vector<Frame> frames()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames;
    }
    WorkerReport end()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_end;
    }
    bool ended() const { return m_ended; }
    bool loadingSaid() const { return m_loading; }

private:
    std::mutex m_mutex;
    std::vector<Frame> m_frames;
    std::vector<WorkerReport> m_troubles;
    WorkerReport m_end;
    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_loading{false};
};

bool waitFor(const std::function<bool()> &condition, int milliseconds = 60000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > milliseconds)
            return false;
        QThread::msleep(1);
    }
    return true;
}

} // namespace

class TestWorkers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { DebugLog::silenceUncollected(); }
    void trafficArrivesWhole_data();
    void trafficArrivesWhole();
    void bothChannelsTransmitAlternately();
    void nothingEnabledSendsNothingAndStops();
    void stopMidGroupFinishesTheGroupAndRestartStartsAfresh();
    void clearDmaFailureEndsBothWorkers();
    void canonicalDmaFailureEndsTheReceiver();
    void sendFailureMidGroupReportsNothingForIt();
    void loopTellsWhyItEndedAndWhoseFailure_data();
    void loopTellsWhyItEndedAndWhoseFailure();
    void unacknowledgedChannel1FrameEndsTheLoop();
    void unacknowledgedChannel2FrameStillStops();
    void stopWhileAFrameFailsEndsAtOnce_data();
    void stopWhileAFrameFailsEndsAtOnce();
    void readFailureOnEitherChannel_data();
    void readFailureOnEitherChannel();
    void groupsAreCheckedByArrivalOrder();
    void longFrameSpoilsLaterGroups();
    void remoteFrameRepeatsThePreviousNumber();
    void foreignFrameShiftsTheGrouping();
    void workersWithoutBoardReturnAtOnce();
    void entryLinesNameEachOperation();
    void metaObjectsAreAsListed();
    void abortCostsAFewRequestsAndLeavesNothingPending();
    void withdrawnChannel2FrameEndsTheLoop();
    void stopRightAfterStartIsNotLost();
};

void TestWorkers::trafficArrivesWhole_data()
{
    QTest::addColumn<unsigned>("from");
    QTest::addColumn<unsigned>("kbps");
    QTest::addColumn<int>("latencyUs");
    QTest::addColumn<int>("groups");
    for (unsigned from : {1u, 2u}) {
        for (unsigned kbps : {125u, 250u, 500u, 1000u}) {
            QTest::addRow("ch%u->ch%u %u kbit/s", from, 3 - from, kbps) << from << kbps << 5 << 2000;
        }
    }
    QTest::addRow("slow driver ch1->ch2 1000 kbit/s") << 1u << 1000u << 40 << 1000;
    QTest::addRow("slow driver ch2->ch1 125 kbit/s") << 2u << 125u << 40 << 1000;
    QTest::addRow("fast driver ch1->ch2 125 kbit/s") << 1u << 125u << 1 << 1000;
    QTest::addRow("fast driver ch2->ch1 1000 kbit/s") << 2u << 1000u << 1 << 1000;
}

void TestWorkers::trafficArrivesWhole()
{
    QFETCH(unsigned, from);
    QFETCH(unsigned, kbps);
    QFETCH(int, latencyUs);
    QFETCH(int, groups);
    groups /= kTrafficScale;
    const unsigned to = 3 - from;
    EmulatorSettings settings;
    settings.requestLatency = latencyUs * kMicrosecond;
    // On the virtual clock only requests move time on: a receiver that the
    // host starves while the transmitter runs would see its queue overflow
    // in emulated time that it never had. The queue holds the whole run.
    settings.dmaQueueBlocks = unsigned(5 * groups + 64);
    if (qEnvironmentVariableIsSet("WORKERS_BUSLOG"))
        settings.busLogPath = qgetenv("WORKERS_BUSLOG").toStdString();
    Rig rig(settings);
    QVERIFY(rig.configure(kbps, kbps));
    ((*rig.tx).*(from == 1 ? &CTransmitTh::SetCh1State : &CTransmitTh::SetCh2State))(true);
    ((*rig.rx).*(to == 1 ? &CReceiveTh::SetCh1State : &CReceiveTh::SetCh2State))(true);
    rig.startReceiver();
    rig.txThread.start();
    QVERIFY(waitFor([&] { return rig.sent[from - 1] >= groups; }));
    rig.stopTransmitter();
    const int sent = rig.sent[from - 1];
    QVERIFY2(waitFor([&] { return rig.clean[to - 1] + rig.dirty[to - 1] >= sent; }, 20000),
             qPrintable(QString("sent %1, received %2").arg(sent).arg(rig.clean[to - 1] + rig.dirty[to - 1])));
    QCOMPARE(rig.dirty[to - 1].load(), 0);
    QCOMPARE(rig.clean[to - 1].load(), sent);
    QCOMPARE(rig.sent[to - 1].load(), 0);
    QCOMPARE(rig.clean[from - 1].load() + rig.dirty[from - 1].load(), 0);
}

void TestWorkers::bothChannelsTransmitAlternately()
{
    Rig rig;
    QVERIFY(rig.configure(500, 500));
    rig.tx->SetCh1State(true);
    rig.tx->SetCh2State(true);
    rig.txThread.start();
    QVERIFY(waitFor([&] { return rig.sent[1] >= 200; }));
    rig.stopTransmitter();
    QVERIFY(qAbs(rig.sent[0] - rig.sent[1]) <= 1);
    // Each channel's group goes while the other listens: no frame of one
    // overlaps a frame of the other, so no error is ever counted.
    const auto counters = rig.board.inspect([](Board &b) {
        return std::make_tuple(b.controller(1).transmitErrorCounter(), b.controller(2).transmitErrorCounter(),
                               b.controller(1).receiveErrorCounter(), b.controller(2).receiveErrorCounter());
    });
    QCOMPARE(counters, std::make_tuple(0, 0, 0, 0));
}

void TestWorkers::nothingEnabledSendsNothingAndStops()
{
    DebugLog log;
    Rig rig;
    QVERIFY(rig.configure(125, 125));
    const uint64_t before = rig.board.driver().requestCount();
    rig.txThread.start();
    rig.rxThread.start();
    // ClearDMA from each worker and SetCanonicalDMA from the receiver, then
    // nothing more, however long the loops run.
    QVERIFY(waitFor([&] { return rig.board.driver().requestCount() >= before + 3; }));
    QCOMPARE(rig.board.driver().requestCount(), before + 3);
    // The loops go on while the test makes requests of its own; once both are
    // stopped, those are the only ones besides the set-up.
    unsigned int value = 0;
    for (int i = 0; i < 500; ++i)
        QCOMPARE(rig.control.ReadReg(CAN_BOARD_DMA_CONTROL, &value), 1);
    rig.stopTransmitter();
    rig.stopReceiver();
    QCOMPARE(rig.board.driver().requestCount(), before + 3 + 500);
    QCOMPARE(rig.sent[0] + rig.sent[1] + rig.clean[0] + rig.clean[1], 0);
    QCOMPARE(rig.board.inspect([](Board &b) { return b.framesCompleted(); }), uint64_t(0));
}

void TestWorkers::stopMidGroupFinishesTheGroupAndRestartStartsAfresh()
{
    Rig rig;
    QVERIFY(rig.configure(250, 250));
    rig.tx->SetCh1State(true);
    rig.rx->SetCh2State(true);
    rig.startReceiver();
    for (int run = 0; run < 5; ++run) {
        const int before = rig.sent[0];
        rig.txThread.start();
        QVERIFY(waitFor([&] { return rig.sent[0] >= before + 3; }));
        rig.stopTransmitter();
        // Every group reported was whole on the bus, and the receiver reads
        // it before the next start clears the DMA queues: a receiver that the
        // host starves must not lose frames to that clearing.
        QCOMPARE(rig.board.inspect([](Board &b) { return b.framesCompleted(); }),
                 uint64_t(5 * rig.sent[0]));
        QVERIFY(waitFor([&] { return rig.clean[1] + rig.dirty[1] >= rig.sent[0]; }, 20000));
    }
    rig.stopReceiver();
    QCOMPARE(rig.board.inspect([](Board &b) { return b.queuedBlocks(2); }), size_t(0));
    QCOMPARE(rig.clean[1].load(), rig.sent[0].load());
    QCOMPARE(rig.dirty[1].load(), 0);
}

void TestWorkers::clearDmaFailureEndsBothWorkers()
{
    DebugLog log;
    Rig rig;
    QVERIFY(rig.configure(125, 125));
    rig.tx->SetCh1State(true);
    rig.rx->SetCh2State(true);
    rig.board.driver().setFailCode(IOCTL_CAN_CLEAR_DMA);
    const uint64_t before = rig.board.driver().requestCount();
    rig.txThread.start();
    rig.rxThread.start();
    // Both loops return by themselves, each after its one request.
    QVERIFY(waitFor([&] { return rig.txEnded && rig.rxEnded; }, 20000));
    QVERIFY(log.contains("Send error: Can't clear DMA"));
    QVERIFY(log.contains("Receive error: Can't clear DMA"));
    QCOMPARE(rig.board.driver().requestCount(), before + 2);
    QCOMPARE(rig.board.inspect([](Board &b) { return b.framesCompleted(); }), uint64_t(0));
}

void TestWorkers::canonicalDmaFailureEndsTheReceiver()
{
    DebugLog log;
    Rig rig;
    QVERIFY(rig.configure(125, 125));
    rig.rx->SetCh1State(true);
    rig.board.driver().setFailCode(IOCTL_CAN_SET_CANONICAL_DMA);
    const uint64_t before = rig.board.driver().requestCount();
    rig.rxThread.start();
    QVERIFY(waitFor([&] { return rig.rxEnded.load(); }, 20000));
    QVERIFY(log.contains("Receive error: Can't set canonical DMA"));
    // ClearDMA and SetCanonicalDMA, and no read after the failure.
    QCOMPARE(rig.board.driver().requestCount(), before + 2);
}

void TestWorkers::sendFailureMidGroupReportsNothingForIt()
{
    DebugLog log;
    Rig rig;
    QVERIFY(rig.configure(1000, 1000));
    rig.tx->SetCh1State(true);
    // Once three groups are out, every bridge command fails.
    QObject::connect(rig.tx.get(), &CTransmitTh::SetLabelSendedCh1, [&] {
        if (rig.sent[0] == 3)
            rig.board.driver().setFailCode(IOCTL_CAN_WRITE_REG);
    });
    rig.txThread.start();
    QVERIFY(waitFor([&] { return rig.txEnded.load(); }));
    QCOMPARE(rig.sent[0].load(), 3);
    QCOMPARE(log.count("SendData I/O error. Code =  8"), 1);
    // A restart begins with frame 1 and a sum of zero: the next groups check clean.
    rig.board.driver().setFailCode(0);
    rig.stopTransmitter();
    rig.rx->SetCh2State(true);
    rig.startReceiver();
    rig.txThread.start();
    QVERIFY(waitFor([&] { return rig.sent[0] >= 10; }));
    rig.stopTransmitter();
    const int second = rig.sent[0] - 3;
    QVERIFY(waitFor([&] { return rig.clean[1] >= second; }));
    QCOMPARE(rig.dirty[1].load(), 0);
}

void TestWorkers::loopTellsWhyItEndedAndWhoseFailure_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("cause");
    QTest::addColumn<bool>("board");
    QTest::newRow("stopped") << "" << int(WorkerReport::Stopped) << false;
    QTest::newRow("a request fails") << "request" << int(WorkerReport::RequestFailed) << false;
    QTest::newRow("the bridge sticks busy") << "bridge" << int(WorkerReport::BridgeStuck) << true;
}

// Beside its debug lines, the loop tells its observer every frame it saw
// leave and why it ended, with whose failure it was: a request that fails is
// the host's, a bridge that stays busy is the board's.
void TestWorkers::loopTellsWhyItEndedAndWhoseFailure()
{
    QFETCH(QString, fault);
    QFETCH(int, cause);
    QFETCH(bool, board);
    DebugLog log;
    Rig rig;
    QVERIFY(rig.configure(1000, 1000));
    RecordingObserver observer;
    rig.tx->SetObserver(&observer);
    rig.tx->SetCh1State(true);
    QObject::connect(rig.tx.get(), &CTransmitTh::SetLabelSendedCh1, [&] {
        if (rig.sent[0] != 3)
            return;
        if (fault == "request")
            rig.board.driver().setFailCode(IOCTL_CAN_WRITE_REG);
        else if (fault == "bridge")
            rig.board.inspect([](Board &b) {
                b.setStuckBusy(1, true);
                return 0;
            });
        else
            rig.tx->StopWork();
    });
    rig.txThread.start();
    QVERIFY(waitFor([&] { return observer.ended(); }));
    rig.stopTransmitter();
    QVERIFY(observer.loadingSaid());
    const WorkerReport end = observer.end();
    QCOMPARE(int(end.cause), cause);
    QCOMPARE(end.boardFault(), board);
    QCOMPARE(end.hostFault(), !board && cause != int(WorkerReport::Stopped));
    QCOMPARE(rig.sent[0].load(), 3);
    // The three groups reported, each frame surely sent and once; the frame
    // of the fourth group that failed to load is not among them.
    const auto frames = observer.frames();
    int surely = 0;
    for (const auto &frame : frames)
        surely += frame.surely ? 1 : 0;
    QCOMPARE(surely, 15);
    const quint32 expected[5] = {41, 18467, 6334, 1930, 26772};
    for (int i = 0; i < 15; ++i) {
        QCOMPARE(frames[i].number, expected[i % 5]);
        QCOMPARE(frames[i].channel, 1u);
    }
    rig.board.driver().setFailCode(0);
    rig.tx->SetObserver(nullptr);
}

void TestWorkers::unacknowledgedChannel1FrameEndsTheLoop()
{
    DebugLog log;
    Rig rig;
    QVERIFY(rig.configure(125, 250));
    rig.tx->SetCh1State(true);
    rig.txThread.start();
    QVERIFY(waitFor([&] { return log.contains("check transmit error 1 : 0"); }));
    const QStringList lines = log.lines();
    const int error = lines.indexOf(QRegularExpression("^CheckTransmit I/O error\\. Code =  \\d+$"));
    QVERIFY(error >= 0);
    QVERIFY(lines.at(error) == "CheckTransmit I/O error. Code =  6" ||
            lines.at(error) == "CheckTransmit I/O error. Code =  7");
    QCOMPARE(lines.indexOf("check transmit error 1 : 0"), error + 1);
    QCOMPARE(log.countContaining("Can't end transmit"), 0);
    QCOMPARE(rig.sent[0].load(), 0);
    // The loop has ended and has taken back every frame it loaded: none is
    // left to go out ahead of the next run, or to hold configuration mode off.
    rig.stopTransmitter();
    QCOMPARE(log.count("void CTransmitTh::work() was called"), 1);
    QCOMPARE(rig.pendingBuffers(1), 0);
    QCOMPARE(rig.control.SetConfWorkMode(1), 1);
}

void TestWorkers::unacknowledgedChannel2FrameStillStops()
{
    DebugLog log;
    Rig rig;
    QVERIFY(rig.configure(500, 1000));
    rig.tx->SetCh2State(true);
    rig.txThread.start();
    QVERIFY(waitFor([&] { return log.countContaining("CheckTransmit I/O error") >= 2; }));
    QVERIFY2(rig.txThread.isRunning(), "channel 2 keeps waiting");
    QElapsedTimer timer;
    timer.start();
    rig.stopTransmitter();
    QVERIFY2(timer.elapsed() < 10000, "a stop request ends the wait");
    QCOMPARE(rig.sent[1].load(), 0);
}

void TestWorkers::stopWhileAFrameFailsEndsAtOnce_data()
{
    readFailureOnEitherChannel_data();
}

// With a slow driver (10 ms a request) the 1500 polls of a failing frame take
// a minute: a stop must not wait for them, and must leave nothing pending.
void TestWorkers::stopWhileAFrameFailsEndsAtOnce()
{
    QFETCH(unsigned, channel);
    DebugLog log;
    EmulatorSettings settings;
    settings.requestLatency = 10 * kMillisecond;
    Rig rig(settings);
    QVERIFY(rig.configure(channel == 1 ? 125 : 250, channel == 1 ? 250 : 125));
    ((*rig.tx).*(channel == 1 ? &CTransmitTh::SetCh1State : &CTransmitTh::SetCh2State))(true);
    rig.txThread.start();
    QVERIFY(waitFor([&] {
        return rig.board.inspect([channel](Board &b) {
            return (b.controller(channel).read(0x30) & CAN_TXB_TXERR) != 0;
        });
    }));
    const uint64_t before = rig.board.driver().requestCount();
    rig.stopTransmitter();
    // One poll, then taking back three buffers: about a hundred requests,
    // where finishing the round of 1500 polls would take 6000.
    const uint64_t requests = rig.board.driver().requestCount() - before;
    QVERIFY2(requests <= 200, qPrintable(QString::number(requests)));
    QCOMPARE(rig.pendingBuffers(channel), 0);
    QCOMPARE(log.countContaining("check transmit error"), 0);
    QCOMPARE(rig.sent[channel - 1].load(), 0);
}

void TestWorkers::readFailureOnEitherChannel_data()
{
    QTest::addColumn<unsigned>("channel");
    QTest::newRow("channel 1") << 1u;
    QTest::newRow("channel 2") << 2u;
}

void TestWorkers::readFailureOnEitherChannel()
{
    QFETCH(unsigned, channel);
    DebugLog log;
    Rig rig;
    QVERIFY(rig.configure(125, 125));
    ((*rig.rx).*(channel == 1 ? &CReceiveTh::SetCh1State : &CReceiveTh::SetCh2State))(true);
    rig.board.driver().setFailCode(IOCTL_CAN_READ_DMA_BLOCKS);
    rig.rxThread.start();
    const QString line =
        QString("\"Receive error: Can't read DMA data block from ch %1, error = 2\"").arg(channel);
    QVERIFY(waitFor([&] { return rig.rxEnded.load(); }, 20000));
    QCOMPARE(log.count(line), 1);
}

void TestWorkers::groupsAreCheckedByArrivalOrder()
{
    Rig rig;
    QVERIFY(rig.configure(1000, 1000));
    rig.rx->SetCh2State(true);
    rig.startReceiver();
    QVERIFY(rig.sendGroup(1));
    QVERIFY(rig.sendGroup(1, 26773));
    QVERIFY(rig.sendGroup(1));
    QVERIFY(waitFor([&] { return rig.clean[1] + rig.dirty[1] >= 3; }));
    QCOMPARE(rig.clean[1].load(), 2);
    QCOMPARE(rig.dirty[1].load(), 1);
    // One frame lost: the boundary shifts for the rest of the run.
    for (quint32 value : {18467u, 6334u, 1930u, 26772u})
        QVERIFY(rig.sendFrame(1, Rig::number(value)));
    for (int i = 0; i < 3; ++i)
        QVERIFY(rig.sendGroup(1));
    QVERIFY(waitFor([&] { return rig.clean[1] + rig.dirty[1] >= 6; }));
    // Every frame read, the receiver stopped: nothing more can be counted.
    QVERIFY(waitFor([&] { return rig.board.inspect([](Board &b) { return b.queuedBlocks(2); }) == 0; }));
    rig.stopReceiver();
    QCOMPARE(rig.clean[1].load(), 2);
    QCOMPARE(rig.dirty[1].load(), 4);
    // A new start realigns it.
    rig.startReceiver();
    QVERIFY(rig.sendGroup(1));
    QVERIFY(waitFor([&] { return rig.clean[1] >= 3; }));
}

void TestWorkers::longFrameSpoilsLaterGroups()
{
    Rig rig;
    QVERIFY(rig.configure(1000, 1000));
    rig.rx->SetCh1State(true);
    rig.startReceiver();
    QVERIFY(rig.sendFrame(2, QByteArray::fromHex("2900000000000001")));
    for (quint32 value : {18467u, 6334u, 1930u, 26772u})
        QVERIFY(rig.sendFrame(2, Rig::number(value)));
    QVERIFY(rig.sendGroup(2));
    QVERIFY(waitFor([&] { return rig.dirty[0] >= 2; }));
    QCOMPARE(rig.clean[0].load(), 0);
}

void TestWorkers::remoteFrameRepeatsThePreviousNumber()
{
    Rig rig;
    QVERIFY(rig.configure(500, 500));
    rig.rx->SetCh2State(true);
    rig.startReceiver();
    // 41, remote (41 again), 6334, 1930, then 18467 + ... : the fifth frame
    // must carry 41 + 41 + 6334 + 1930 = 8346.
    QVERIFY(rig.sendFrame(1, Rig::number(41)));
    QVERIFY(rig.sendFrame(1, QByteArray()));
    QVERIFY(rig.sendFrame(1, Rig::number(6334)));
    QVERIFY(rig.sendFrame(1, Rig::number(1930)));
    QVERIFY(rig.sendFrame(1, Rig::number(8346)));
    QVERIFY(waitFor([&] { return rig.clean[1] >= 1; }));
    QCOMPARE(rig.dirty[1].load(), 0);
}

void TestWorkers::foreignFrameShiftsTheGrouping()
{
    EmulatorSettings settings;
    settings.foreign.enabled = true;
    settings.foreign.channel = 2;
    settings.foreign.frame.id = 0x100;
    settings.foreign.frame.dlc = 1;
    settings.foreign.frame.data[0] = 0x05;
    settings.foreign.kbps = 250;
    settings.foreign.period = 100 * kMillisecond;
    settings.foreign.count = 1;
    Rig rig(settings);
    QVERIFY(rig.configure(250, 250));
    rig.rx->SetCh2State(true);
    rig.startReceiver();
    QVERIFY(waitFor([&] { return rig.board.inspect([](Board &b) { return b.foreignFramesSent(); }) == 1; }));
    for (int i = 0; i < 4; ++i)
        QVERIFY(rig.sendGroup(1));
    QVERIFY2(waitFor([&] { return rig.dirty[1] >= 4; }, 10000),
             qPrintable(QString("clean %1 dirty %2").arg(rig.clean[1]).arg(rig.dirty[1])));
    QCOMPARE(rig.clean[1].load(), 0);
}

void TestWorkers::workersWithoutBoardReturnAtOnce()
{
    DebugLog log;
    CTransmitTh tx;
    CReceiveTh rx;
    QCOMPARE(log.count("Can't open device"), 2);
    tx.SetCh1State(true);
    rx.SetCh1State(true);
    tx.work();
    rx.work();
    QCOMPARE(log.count("Send error: device is not open"), 1);
    QCOMPARE(log.count("Receive error: device is not open"), 1);
}

void TestWorkers::entryLinesNameEachOperation()
{
    DebugLog log;
    {
        Rig rig;
        QVERIFY(rig.configure(1000, 1000));
        rig.tx->SetCh1State(true);
        rig.tx->SetCh2State(false);
        rig.rx->SetCh1State(false);
        rig.rx->SetCh2State(true);
        QObject::connect(rig.tx.get(), &CTransmitTh::SetLabelSendedCh1, [&] {
            if (rig.sent[0] == 2)
                rig.tx->StopWork();
        });
        rig.startReceiver();
        rig.txThread.start();
        QVERIFY(waitFor([&] { return rig.txEnded.load(); }));
        rig.stopTransmitter();
        rig.stopReceiver();
    }
    const QStringList lines = log.lines();
    for (const char *line : {"CTransmitTh::CTransmitTh() was called",
                             "CReceiveTh::CReceiveTh() was called",
                             "void CTransmitTh::SetCh1State(bool) was called",
                             "void CTransmitTh::SetCh2State(bool) was called",
                             "void CReceiveTh::SetCh1State(bool) was called",
                             "void CReceiveTh::SetCh2State(bool) was called",
                             "void CTransmitTh::work() was called",
                             "void CReceiveTh::work() was called",
                             "void CTransmitTh::StopWork() was called",
                             "void CReceiveTh::StopWork() was called",
                             "virtual CTransmitTh::~CTransmitTh() was called",
                             "virtual CReceiveTh::~CReceiveTh() was called"})
        QVERIFY2(lines.contains(line), line);
    QCOMPARE(lines.filter(QRegularExpression("^void CTransmitTh::SetCh.State\\(bool\\) was called$")).size(), 2);
    QCOMPARE(lines.filter(QRegularExpression("^void CReceiveTh::SetCh.State\\(bool\\) was called$")).size(), 2);
    // Five checks a channel-1 group.
    QCOMPARE(lines.count("bool CTransmitTh::checkTransmit(unsigned int, unsigned int) was called"), 10);
}

// The workers' meta-objects as the window and the runner rely on them: the
// signals first, then the slots, nothing else.
void TestWorkers::metaObjectsAreAsListed()
{
    const auto methods = [](const QMetaObject &meta) {
        QStringList list;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            const QMetaMethod method = meta.method(i);
            list << QString("%1 %2").arg(method.methodType() == QMetaMethod::Signal ? "signal" : "slot",
                                         QString::fromLatin1(method.methodSignature()));
        }
        return list;
    };
    QCOMPARE(methods(CTransmitTh::staticMetaObject),
             QStringList({"signal SetLabelSendedCh1()", "signal SetLabelSendedCh2()", "slot work()", "slot StopWork()"}));
    QCOMPARE(methods(CReceiveTh::staticMetaObject),
             QStringList({"signal SetLabelNoErrorCh1()", "signal SetLabelNoErrorCh2()", "signal SetLabelWithErrorCh1()",
                          "signal SetLabelWithErrorCh2()", "slot work()", "slot StopWork()", "slot SetCh1State(bool)",
                          "slot SetCh2State(bool)"}));
}

// A stop that abandons the group under way (the runner's, on a signal): with
// a slow driver (10 ms a request) it costs at most the frame being loaded and
// one withdrawal per buffer, where finishing the group costs up to 190, and
// it leaves nothing pending.
void TestWorkers::abortCostsAFewRequestsAndLeavesNothingPending()
{
    EmulatorSettings settings;
    settings.requestLatency = 10 * kMillisecond;
    auto clock = std::make_shared<VirtualClock>();
    Rig rig(settings, clock);
    QVERIFY(rig.configure(125, 125));
    rig.tx->SetCh1State(true);
    rig.txThread.start();
    QVERIFY(waitFor([&] { return rig.sent[0] >= 1; }));
    const uint64_t reported = rig.board.driver().requestCount();
    QVERIFY(waitFor([&] { return rig.board.driver().requestCount() >= reported + 60; }));
    const uint64_t before = rig.board.driver().requestCount();
    rig.tx->AbortWork();
    rig.txThread.quit();
    QVERIFY(rig.txThread.wait(60000));
    const uint64_t requests = rig.board.driver().requestCount() - before;
    QVERIFY2(requests <= 37 + 3 * 8 + 4, qPrintable(QString::number(requests)));
    // Only whole groups were reported.
    QVERIFY(rig.board.inspect([](Board &b) { return b.framesCompleted(); }) >= uint64_t(5 * rig.sent[0]));
    // A frame that was on the wire ends within its frame time.
    clock->advance(10 * kMillisecond);
    QCOMPARE(rig.pendingBuffers(1), 0);
}

// Channel 2's frame that its controller cannot send (listen-only mode) is
// withdrawn after its polls; showing neither a request nor an error then, it
// is taken for lost and the loop ends.
void TestWorkers::withdrawnChannel2FrameEndsTheLoop()
{
    DebugLog log;
    Rig rig;
    QVERIFY(rig.configure(500, 500));
    QCOMPARE(rig.control.SetWorkMode(2, CAN_MODE_LISTEN_ONLY), 1);
    rig.tx->SetCh2State(true);
    rig.txThread.start();
    QVERIFY(waitFor([&] { return rig.txEnded.load(); }));
    const QStringList lines = log.lines();
    const int error = lines.indexOf("check transmit error 2 : 0");
    QVERIFY(error > 0);
    QCOMPARE(lines.mid(error - 2, 2),
             QStringList({"CheckTransmit I/O error. Code =  7",
                          "bool CTransmitTh::checkTransmit(unsigned int, unsigned int) was called"}));
    QCOMPARE(rig.sent[1].load(), 0);
    QCOMPARE(rig.pendingBuffers(2), 0);
    QCOMPARE(rig.board.inspect([](Board &b) { return b.framesCompleted(); }), uint64_t(0));
}

void TestWorkers::stopRightAfterStartIsNotLost()
{
    Rig rig;
    QVERIFY(rig.configure(125, 125));
    // A stop that lands before work() has begun must still end it.
    for (int round = 0; round < 200; ++round) {
        rig.txGone = false;
        rig.rxGone = false;
        rig.txThread.start();
        rig.rxThread.start();
        rig.tx->StopWork();
        rig.txThread.quit();
        rig.rx->StopWork();
        rig.rxThread.quit();
        QVERIFY(rig.txThread.wait(10000));
        QVERIFY(rig.rxThread.wait(10000));
        // As in Rig::stop: the threads' last flags make their writes visibly
        // precede the next round's (Qt hands a thread's end over through a
        // lock the thread sanitizer does not see).
        QVERIFY(rig.txGone.load() && rig.rxGone.load());
    }
}

QTEST_GUILESS_MAIN(TestWorkers)
#include "tst_workers.moc"
