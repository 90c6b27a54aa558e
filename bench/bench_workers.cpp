// Prints the test groups per second that the workers carry in real time on
// the emulated board, for each direction and bit rate, beside the bus limit
// computed from the group's exact bit count.
#include "ReceiveTh.h"
#include "TransmitTh.h"
#include "emulateddriver.h"
#include "benchsupport.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace boardemu;

namespace {

struct Result {
    double sentPerSecond;
    int clean;
    int dirty;
};

Result run(unsigned from, unsigned kbps, double seconds)
{
    EmulatedBoard board;
    CCANDeviceEx control;
    control.Open(0);
    configureBoard(control, kbps);

    CTransmitTh tx;
    CReceiveTh rx;
    QThread txThread, rxThread;
    tx.moveToThread(&txThread);
    rx.moveToThread(&rxThread);
    QObject::connect(&txThread, SIGNAL(started()), &tx, SLOT(work()));
    QObject::connect(&rxThread, SIGNAL(started()), &rx, SLOT(work()));
    std::atomic<int> sent{0}, clean{0}, dirty{0};
    auto count = [](std::atomic<int> &counter) { return [&counter] { ++counter; }; };
    QObject::connect(&tx, from == 1 ? &CTransmitTh::SetLabelSendedCh1 : &CTransmitTh::SetLabelSendedCh2,
                     count(sent));
    QObject::connect(&rx, from == 1 ? &CReceiveTh::SetLabelNoErrorCh2 : &CReceiveTh::SetLabelNoErrorCh1,
                     count(clean));
    QObject::connect(&rx, from == 1 ? &CReceiveTh::SetLabelWithErrorCh2 : &CReceiveTh::SetLabelWithErrorCh1,
                     count(dirty));
    (from == 1) ? tx.SetCh1State(true) : tx.SetCh2State(true);
    (from == 1) ? rx.SetCh2State(true) : rx.SetCh1State(true);
    rxThread.start();
    QThread::msleep(50);
    const auto start = std::chrono::steady_clock::now();
    txThread.start();
    QThread::msleep(static_cast<unsigned long>(seconds * 1000));
    tx.StopWork();
    txThread.quit();
    txThread.wait();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    QThread::msleep(100);
    rx.StopWork();
    rxThread.quit();
    rxThread.wait();
    return {sent / elapsed, clean, dirty};
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    QCoreApplication application(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const unsigned bits = testgroup::bits();
    std::printf("test group: %u bits on the bus; real time, %.1f s per run\n\n", bits, seconds);
    std::printf("%-10s %-10s %12s %12s %10s %10s\n", "direction", "bit rate", "groups/s",
                "bus limit", "clean", "errors");
    for (unsigned from : {1u, 2u}) {
        for (unsigned kbps : {125u, 250u, 500u, 1000u}) {
            const Result result = run(from, kbps, seconds);
            std::printf("ch%u->ch%u   %4u kbit/s %12.0f %12.0f %10d %10d\n", from, 3 - from, kbps,
                        result.sentPerSecond, kbps * 1000.0 / bits, result.clean, result.dirty);
        }
    }
    return 0;
}
