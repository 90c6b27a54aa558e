// The runner's full-load transmitter on the emulated board, on its virtual
// clock: the frames leave in the order they were loaded, each group whole,
// nothing stays pending, and the bus is kept full whatever the host's speed.
#include "fullload.h"
#include "emulateddriver.h"
#include "testgroupframes.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <win32subset/devicetable.h>

#include <atomic>
#include <memory>

using namespace boardemu;

namespace {

void configure(CCANDeviceEx &device, unsigned kbps)
{
    for (unsigned channel = 1; channel <= 2; ++channel) {
        QCOMPARE(device.SetWorkMode(channel, CAN_MODE_CONFIGURATION), 1);
        QCOMPARE(device.SetSpeed(channel, kbps), 1);
        QCOMPARE(device.SetWorkMode(channel, CAN_MODE_NORMAL), 1);
    }
    QCOMPARE(device.EnableDMA(0), 1);
    const unsigned char receiveAny = 0x60;
    QCOMPARE(device.WriteCanReg(1, CAN_REG_RXB0CTRL, 1, &receiveAny), 1);
    QCOMPARE(device.WriteCanReg(2, CAN_REG_RXB0CTRL, 1, &receiveAny), 1);
}

} // namespace

class TestFullLoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {}); }
    void framesLeaveInLoadingOrderAndFillTheBus_data();
    void framesLeaveInLoadingOrderAndFillTheBus();
};

void TestFullLoad::framesLeaveInLoadingOrderAndFillTheBus_data()
{
    QTest::addColumn<unsigned>("from");
    QTest::addColumn<unsigned>("kbps");
    QTest::addColumn<bool>("abort");
    QTest::newRow("ch1->ch2 125 kbit/s") << 1u << 125u << false;
    QTest::newRow("ch2->ch1 1000 kbit/s") << 2u << 1000u << false;
    QTest::newRow("ch1->ch2 1000 kbit/s, aborted") << 1u << 1000u << true;
}

void TestFullLoad::framesLeaveInLoadingOrderAndFillTheBus()
{
    QFETCH(unsigned, from);
    QFETCH(unsigned, kbps);
    QFETCH(bool, abort);
    const unsigned to = 3 - from;
    const int groups = 600;
    EmulatorSettings settings;
    settings.dmaQueueBlocks = 5 * groups + 64; // read once the run is over
    auto clock = std::make_shared<VirtualClock>();
    win32subset::setSleepHandler([clock](DWORD ms) { clock->advance(Time(ms) * kMillisecond); });
    EmulatedBoard board(settings, clock);
    CCANDeviceEx control;
    QVERIFY(control.Open(0));
    configure(control, kbps);

    CFullLoadTh worker;
    QThread thread;
    worker.moveToThread(&thread);
    worker.SetChannel(from);
    QObject::connect(&thread, &QThread::started, &worker, &CFullLoadTh::work);
    // Counted and stopped in the worker's own thread, as the runner does.
    std::atomic<int> sent{0};
    std::atomic<Time> startedAt{-1};
    QObject::connect(&worker, &CFullLoadTh::GroupSent, &worker, [&] {
        if (sent++ == 0)
            startedAt = clock->now();
        if (sent == groups)
            abort ? worker.AbortWork() : worker.StopWork();
    }, Qt::DirectConnection);
    QObject::connect(&thread, &QThread::started, &worker, [&] { thread.quit(); }, Qt::DirectConnection);
    // The thread's last act, read after the wait: Qt's own hand-over of a
    // thread's end is invisible to the thread sanitizer, which would take the
    // next row's use of this stack for a race with the worker's writes.
    std::atomic<bool> gone{false};
    QObject::connect(&thread, &QThread::finished, [&] { gone = true; });
    thread.start();
    QVERIFY(thread.wait(120000));
    QVERIFY(gone.load());
    QCOMPARE(sent.load(), groups);
    const Time elapsed = clock->now() - startedAt;
    clock->advance(10 * kMillisecond); // a frame still on the wire after an abort ends

    // Every frame in the order loaded: the group's numbers, group after
    // group, and nothing more than the groups reported (after a stop) or
    // the frames already on their way (after an abort).
    std::vector<uint32_t> numbers;
    std::vector<unsigned char> block(CAN_DMA_BLOCK_SIZE);
    for (;;) {
        unsigned int count = 0;
        QCOMPARE(control.ReadDMABlocks(block.data(), to, 1, &count), 1);
        if (count == 0)
            break;
        int flag, channel, stdId, extId, length;
        unsigned int header;
        unsigned char data[8] = {};
        control.ParseRxRecord(block.data(), &flag, &channel, &header, &stdId, &extId, data, &length);
        QCOMPARE(stdId, int(testgroup::kStdId));
        QCOMPARE(extId, int(testgroup::kExtId));
        numbers.push_back(uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                          uint32_t(data[3]) << 24);
    }
    if (abort)
        QVERIFY2(numbers.size() >= size_t(5 * groups) && numbers.size() <= size_t(5 * groups + 2),
                 qPrintable(QString::number(numbers.size())));
    else
        QCOMPARE(numbers.size(), size_t(5 * groups));
    for (size_t i = 0; i < numbers.size(); ++i)
        QCOMPARE(numbers[i], testgroup::kNumbers[i % 5]);
    const int pending = board.inspect([from](Board &b) {
        int n = 0;
        for (uint8_t ctrl : {0x30, 0x40, 0x50})
            n += (b.controller(from).read(ctrl) & CAN_TXB_TXREQ) != 0;
        return n;
    });
    QCOMPARE(pending, 0);

    // The bus time of the groups after the first, against the emulated time
    // they took: what the sequence's requests allow at 5 µs each.
    const double busTime = double(groups - 1) * testgroup::bits() * 1e9 / (kbps * 1000.0);
    const double load = busTime / double(elapsed);
    QVERIFY2(load >= 0.95 && load <= 1.0, qPrintable(QString::number(load)));
    control.Close();
    win32subset::setSleepHandler({});
}

QTEST_GUILESS_MAIN(TestFullLoad)
#include "tst_fullload.moc"
