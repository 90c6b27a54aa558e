// Test groups per second that the two transmit sequences carry on the
// emulated board, for each direction and bit rate, beside the bus limit
// computed from the group's exact bit count:
// - window: the window's own workers (CTransmitTh, CReceiveTh), as it sends;
// - full:   korvane-check --load full (CFullLoadTh), with the same receiver.
// Each is run twice. In real time, with the receiver, for what this host
// achieves. And on the emulator's virtual clock with the transmitter alone,
// where a request costs exactly its modelled latency and nothing else: the
// ceiling that the sequence's own requests allow, and its requests per
// frame, measured. The gap between the two is the host's share.
#include "ReceiveTh.h"
#include "TransmitTh.h"
#include "fullload.h"
#include "emulateddriver.h"
#include "emulatorbench.h"

#include <QCoreApplication>
#include <QThread>

#include <win32subset/devicetable.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

using namespace boardemu;

namespace {

enum class Sequence { Window, Full };

struct Result {
    double groupsPerSecond = 0;
    int clean = 0;
    int dirty = 0;
    double requestsPerFrame = 0;
    double hostMicrosPerRequest = 0; // on the virtual clock: the emulator's and the worker's own cost
};

// The transmitter of either sequence in its own thread, counting groups.
class Transmitter
{
public:
    Transmitter(Sequence sequence, unsigned from) : m_sequence(sequence)
    {
        QObject *worker = sequence == Sequence::Window ? static_cast<QObject *>(&m_window) : &m_full;
        worker->moveToThread(&m_thread);
        auto count = [this] {
            const int groups = ++sent;
            if (onGroup)
                onGroup(groups);
        };
        if (sequence == Sequence::Window) {
            QObject::connect(&m_thread, &QThread::started, &m_window, &CTransmitTh::work);
            QObject::connect(&m_window, from == 1 ? &CTransmitTh::SetLabelSendedCh1 : &CTransmitTh::SetLabelSendedCh2,
                             &m_window, count, Qt::DirectConnection);
            (from == 1) ? m_window.SetCh1State(true) : m_window.SetCh2State(true);
        } else {
            QObject::connect(&m_thread, &QThread::started, &m_full, &CFullLoadTh::work);
            QObject::connect(&m_full, &CFullLoadTh::GroupSent, &m_full, count, Qt::DirectConnection);
            m_full.SetChannel(from);
        }
    }
    ~Transmitter() { stop(); }
    void start() { m_thread.start(); }
    void stop()
    {
        if (!m_thread.isRunning())
            return;
        m_sequence == Sequence::Window ? m_window.StopWork() : m_full.StopWork();
        m_thread.quit();
        m_thread.wait();
    }
    std::atomic<int> sent{0};
    // Called in the transmitter's thread as it reports each group.
    std::function<void(int)> onGroup;

private:
    Sequence m_sequence;
    CTransmitTh m_window;
    CFullLoadTh m_full;
    QThread m_thread;
};

// What a socketcand client saw of a run: the frames on the bus from its
// start, those that reached the client, those that did not, and how often
// the bridge said it lost some.
struct ClientFigures {
    uint64_t busFrames = 0;
    uint64_t received = 0;
    uint64_t lost = 0;
    uint64_t lostNotices = 0;
};

// With a client, the board serves its bus on a socketcand bridge and one
// client reads every frame of the run.
Result realTime(Sequence sequence, unsigned from, unsigned kbps, double seconds, ClientFigures *client = nullptr)
{
    EmulatorSettings settings;
    if (client)
        settings.socketcandPort = freeLoopbackPort();
    EmulatedBoard board(settings);
    std::unique_ptr<BridgeReader> reader;
    uint64_t framesBefore = 0;
    if (client) {
        if (!board.bridge()) {
            std::fprintf(stderr, "no bridge: %s\n", board.bridgeError().c_str());
            std::exit(1);
        }
        reader = std::make_unique<BridgeReader>(settings.socketcandPort);
        reader->waitForRawMode();
        framesBefore = board.inspect([](Board &b) { return b.framesCompleted(); });
    }
    CCANDeviceEx control;
    control.Open(0);
    configureBoard(control, kbps);
    CReceiveTh rx;
    QThread rxThread;
    rx.moveToThread(&rxThread);
    QObject::connect(&rxThread, &QThread::started, &rx, &CReceiveTh::work);
    std::atomic<int> clean{0}, dirty{0};
    QObject::connect(&rx, from == 1 ? &CReceiveTh::SetLabelNoErrorCh2 : &CReceiveTh::SetLabelNoErrorCh1, &rx,
                     [&] { ++clean; }, Qt::DirectConnection);
    QObject::connect(&rx, from == 1 ? &CReceiveTh::SetLabelWithErrorCh2 : &CReceiveTh::SetLabelWithErrorCh1, &rx,
                     [&] { ++dirty; }, Qt::DirectConnection);
    (from == 1) ? rx.SetCh2State(true) : rx.SetCh1State(true);
    rxThread.start();
    QThread::msleep(50);
    Transmitter tx(sequence, from);
    const auto start = std::chrono::steady_clock::now();
    tx.start();
    QThread::msleep(static_cast<unsigned long>(seconds * 1000));
    tx.stop();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    QThread::msleep(200);
    rx.StopWork();
    rxThread.quit();
    rxThread.wait();
    if (client) {
        client->busFrames = board.inspect([](Board &b) { return b.framesCompleted(); }) - framesBefore;
        reader->drain();
        client->received = reader->frames();
        client->lost = client->busFrames > client->received ? client->busFrames - client->received : 0;
        client->lostNotices = reader->lost();
    }
    Result result;
    result.groupsPerSecond = tx.sent / elapsed;
    result.clean = clean;
    result.dirty = dirty;
    return result;
}

// The transmitter alone on the virtual clock, for a given number of groups
// after the first; the bus log gives the idle time on the bus before each
// frame of a group (before the first: between groups).
Result ceiling(Sequence sequence, unsigned from, unsigned kbps, int groups, double gapsMicros[5])
{
    auto clock = std::make_shared<VirtualClock>();
    win32subset::setSleepHandler([clock](DWORD ms) { clock->advance(Time(ms) * kMillisecond); });
    char logPath[] = "/tmp/bench_workers_busXXXXXX";
    const int logFile = mkstemp(logPath);
    if (logFile >= 0)
        close(logFile);
    EmulatorSettings settings;
    settings.busLogPath = logPath;
    Result result;
    Time start = 0, end = 0;
    uint64_t requestsAtStart = 0, requestsAtEnd = 0;
    std::chrono::steady_clock::time_point hostStart, hostEnd;
    {
        EmulatedBoard board(settings, clock);
        CCANDeviceEx control;
        control.Open(0);
        configureBoard(control, kbps);
        Transmitter tx(sequence, from);
        std::atomic<bool> done{false};
        tx.onGroup = [&](int group) {
            if (group == 1) {
                start = clock->now();
                requestsAtStart = board.driver().requestCount();
                hostStart = std::chrono::steady_clock::now();
            } else if (group == groups + 1) {
                end = clock->now();
                requestsAtEnd = board.driver().requestCount();
                hostEnd = std::chrono::steady_clock::now();
                done = true;
            }
        };
        tx.start();
        while (!done)
            QThread::yieldCurrentThread();
        tx.stop();
    }
    win32subset::setSleepHandler({});
    // Frame ends on the bus between the two reports, microseconds.
    std::vector<double> ends;
    std::vector<uint32_t> numbers;
    if (std::FILE *log = std::fopen(logPath, "r")) {
        long long seconds = 0, micros = 0;
        char bus[16], frame[64];
        while (std::fscanf(log, " (%lld.%lld) %15s %63s", &seconds, &micros, bus, frame) == 4) {
            const char *data = std::strchr(frame, '#');
            uint32_t number = 0;
            for (int i = 3; data && i >= 0; --i) {
                unsigned byte = 0;
                std::sscanf(data + 1 + 2 * i, "%2x", &byte);
                number = (number << 8) | byte;
            }
            ends.push_back(double(seconds) * 1e6 + double(micros));
            numbers.push_back(number);
        }
        std::fclose(log);
    }
    std::remove(logPath);
    const double bitMicros = 1000.0 / kbps;
    double gapSum[5] = {0, 0, 0, 0, 0};
    int gapCount[5] = {0, 0, 0, 0, 0};
    const double first = ends.empty() ? 0 : ends.front();
    for (size_t i = 1; i < ends.size(); ++i) {
        if (ends[i] - first < start / 1000.0 || ends[i] - first > end / 1000.0)
            continue;
        const uint32_t *place = std::find(std::begin(testgroup::kNumbers), std::end(testgroup::kNumbers), numbers[i]);
        const int index = int(place - std::begin(testgroup::kNumbers));
        if (index >= 5)
            continue;
        const double duration = frameBitCount(testgroup::frame(numbers[i])) * bitMicros;
        gapSum[index] += ends[i] - ends[i - 1] - duration;
        ++gapCount[index];
    }
    for (int i = 0; i < 5; ++i)
        gapsMicros[i] = gapCount[i] ? gapSum[i] / gapCount[i] : 0;
    result.groupsPerSecond = groups * 1e9 / double(end - start);
    result.requestsPerFrame = double(requestsAtEnd - requestsAtStart) / (5.0 * groups);
    result.hostMicrosPerRequest = std::chrono::duration<double, std::micro>(hostEnd - hostStart).count() /
                                  double(requestsAtEnd - requestsAtStart);
    return result;
}

// What the socketcand bridge costs: the emulator's host time per request
// while frames flow, and full load's share of the bus, each without a
// bridge and with one client reading everything.
// Runs with and without a client alternate, as many rounds as asked: two
// runs of one kind differ here about as much as the client costs, and a run
// the host disturbed differs far more, so the medians are what tell.
int bridgeCosts(double seconds, int rounds)
{
    std::printf("the socketcand bridge at 1 Mbit/s, full load in real time %.1f s per run, %d rounds\n\n", seconds,
                rounds);
    double plain = 0, bridged = 0;
    uint64_t got = 0, lost = 0;
    framesPerSecond(1000, &plain);
    EmulatorSettings settings;
    settings.socketcandPort = freeLoopbackPort();
    {
        // The client reads on the host while the virtual clock runs ahead
        // of real time: it gets the frames faster than the bus makes them.
        std::unique_ptr<BridgeReader> reader;
        framesPerSecond(1000, &bridged, settings, [&] {
            reader = std::make_unique<BridgeReader>(settings.socketcandPort);
            reader->waitForRawMode();
        }, [&] {
            reader->drain();
            got = reader->frames();
            lost = reader->lost();
        });
    }
    std::printf("host ns per request while frames flow (virtual clock, one emulated second): %.0f without the\n"
                "bridge, %.0f with a reading client (which got %llu frames; lost-frames notices: %llu)\n\n",
                plain, bridged, (unsigned long long)got, (unsigned long long)lost);
    const double limit = 1000 * 1000.0 / testgroup::bits();
    std::printf("%-9s %-22s %9s %7s %11s %11s %9s\n", "direction", "bridge", "groups/s", "of bus", "bus frames",
                "client got", "lost");
    std::vector<double> shareAlone[2], shareRead[2];
    for (int round = 0; round < rounds; ++round) {
        for (unsigned from : {1u, 2u}) {
            const Result alone = realTime(Sequence::Full, from, 1000, seconds);
            std::printf("ch%u->ch%u  %-22s %9.0f %6.1f%%\n", from, 3 - from, "none", alone.groupsPerSecond,
                        100 * alone.groupsPerSecond / limit);
            ClientFigures client;
            const Result read = realTime(Sequence::Full, from, 1000, seconds, &client);
            std::printf("ch%u->ch%u  %-22s %9.0f %6.1f%% %11llu %11llu %9llu%s\n", from, 3 - from,
                        "one reading client", read.groupsPerSecond, 100 * read.groupsPerSecond / limit,
                        (unsigned long long)client.busFrames, (unsigned long long)client.received,
                        (unsigned long long)client.lost, alone.dirty || read.dirty ? "  (groups with errors!)" : "");
            shareAlone[from - 1].push_back(100 * alone.groupsPerSecond / limit);
            shareRead[from - 1].push_back(100 * read.groupsPerSecond / limit);
        }
    }
    const auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        const size_t n = values.size();
        return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    };
    std::printf("\nmedians of %d rounds:\n", rounds);
    for (unsigned from : {1u, 2u}) {
        const double alone = median(shareAlone[from - 1]), read = median(shareRead[from - 1]);
        std::printf("ch%u->ch%u  none %.2f%%, one reading client %.2f%%: the client costs %.2f points\n", from,
                    3 - from, alone, read, alone - read);
    }
    return 0;
}

} // namespace

// Usage: bench_workers [seconds]          both sequences, every direction and bit rate
//        bench_workers bridge [seconds [rounds]]   what the socketcand bridge costs
int main(int argc, char *argv[])
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    QCoreApplication application(argc, argv);
    if (argc > 1 && std::string(argv[1]) == "bridge")
        return bridgeCosts(argc > 2 ? std::atof(argv[2]) : 5.0, argc > 3 ? std::max(1, std::atoi(argv[3])) : 3);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const unsigned bits = testgroup::bits();
    std::printf("test group: %u bits on the bus; real time %.1f s per run; ceiling: the transmitter alone on the\n"
                "virtual clock, each request costing its modelled 5 us and nothing else\n\n",
                bits, seconds);
    std::printf("%-8s %-9s %-11s %9s %7s %10s %7s %9s %8s  %s\n", "sequence", "direction", "bit rate", "groups/s",
                "of bus", "ceiling/s", "of bus", "requests", "host us", "idle us before frame 1..5 (ceiling run)");
    for (Sequence sequence : {Sequence::Window, Sequence::Full}) {
        for (unsigned from : {1u, 2u}) {
            for (unsigned kbps : {125u, 250u, 500u, 1000u}) {
                const double limit = kbps * 1000.0 / bits;
                const Result measured = realTime(sequence, from, kbps, seconds);
                double gaps[5];
                const Result top = ceiling(sequence, from, kbps, 200, gaps);
                std::printf("%-8s ch%u->ch%u  %4u kbit/s %9.0f %6.1f%% %10.0f %6.1f%% %9.1f %8.2f  %5.0f %5.0f %5.0f %5.0f %5.0f%s\n",
                            sequence == Sequence::Window ? "window" : "full", from, 3 - from, kbps,
                            measured.groupsPerSecond, 100 * measured.groupsPerSecond / limit, top.groupsPerSecond,
                            100 * top.groupsPerSecond / limit, top.requestsPerFrame, top.hostMicrosPerRequest,
                            gaps[0], gaps[1], gaps[2],
                            gaps[3], gaps[4], measured.dirty ? "  (groups with errors!)" : "");
            }
        }
    }
    std::printf("\nrequests: driver requests per frame of the transmitter alone, its polls included; the\n"
                "ceiling is what they allow at 5 us each with the bus's own time; groups/s is this host's;\n"
                "host us: what a request costs the host beyond its modelled latency (emulator and worker).\n");
    return 0;
}
