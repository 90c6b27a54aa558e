// What the emulator's benchmarks share beyond the board's set-up: a board
// kept busy on a virtual clock, and a socketcand client. Linux only.
#ifndef BENCH_EMULATORBENCH_H
#define BENCH_EMULATORBENCH_H

#include "benchsupport.h"
#include "emulateddriver.h"

#include <win32subset/devicetable.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

// Keeps channel 1's three buffers loaded for one emulated second and counts
// the frames that channel 2 receives by DMA. Also gives the host time per
// request while the frames flow. beforeFlow and afterFlow run with the board
// set up, before the first frame and after the last.
inline double framesPerSecond(unsigned kbps, double *hostNsPerRequest,
                              const boardemu::EmulatorSettings &settings = boardemu::EmulatorSettings(),
                              const std::function<void()> &beforeFlow = {},
                              const std::function<void()> &afterFlow = {})
{
    using namespace boardemu;
    auto clock = std::make_shared<VirtualClock>();
    EmulatedBoard board(settings, clock);
    win32subset::setSleepHandler([clock](DWORD ms) { clock->advance(Time(ms) * kMillisecond); });
    CCANDeviceEx device;
    device.Open(0);
    configureBoard(device, kbps);
    device.ClearDMA();
    if (beforeFlow)
        beforeFlow();
    const unsigned char data[4] = {0x29, 0, 0, 0};
    const Time start = clock->now();
    const uint64_t requestsBefore = board.driver().requestCount();
    const auto hostStart = std::chrono::steady_clock::now();
    unsigned received = 0;
    unsigned char blocks[64 * 16];
    while (clock->now() - start < kMillisecond * 1000) {
        for (unsigned buffer = 0; buffer < 3; ++buffer) {
            if (device.CheckTransmit(1, buffer) == 1)
                device.SendData(1, buffer, 0, 171, 186, data, 4);
        }
        unsigned count = 0;
        device.ReadDMABlocks(blocks, 2, 16, &count);
        received += count;
    }
    const auto hostElapsed = std::chrono::steady_clock::now() - hostStart;
    *hostNsPerRequest = std::chrono::duration<double, std::nano>(hostElapsed).count() /
                        double(board.driver().requestCount() - requestsBefore);
    if (afterFlow)
        afterFlow();
    win32subset::setSleepHandler({});
    return received / (double(clock->now() - start) / 1e9);
}

// A port that was free a moment ago, for the socketcand bridge.
inline uint16_t freeLoopbackPort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::getsockname(s, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(s);
    return ntohs(address.sin_port);
}

// A socketcand client that opens can0 in raw mode and reads every message
// as fast as it comes, counting the frames and the frames the bridge says
// it lost.
class BridgeReader
{
public:
    explicit BridgeReader(uint16_t port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        for (int attempt = 0; attempt < 100 && m_socket < 0; ++attempt) {
            m_socket = ::socket(AF_INET, SOCK_STREAM, 0);
            if (::connect(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
                ::close(m_socket);
                m_socket = -1;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        if (m_socket < 0)
            return;
        const char open[] = "< open can0 >< rawmode >";
        if (::send(m_socket, open, sizeof open - 1, MSG_NOSIGNAL) != ssize_t(sizeof open - 1))
            return;
        m_thread = std::thread([this] { read(); });
    }
    ~BridgeReader()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_socket >= 0)
            ::close(m_socket);
    }
    bool connected() const { return m_thread.joinable(); }
    bool inRawMode() const { return m_oks >= 2; }
    // Until raw mode's frames flow (they begin a little after its reply).
    void waitForRawMode() const
    {
        while (connected() && !inRawMode())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    // Until nothing more comes.
    void drain() const
    {
        uint64_t seen = ~uint64_t(0);
        while (seen != m_frames + m_lost) {
            seen = m_frames + m_lost;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    }
    uint64_t frames() const { return m_frames; }
    // The server's notices of frames lost (one a second at most).
    uint64_t lost() const { return m_lost; }

private:
    void read()
    {
        timeval wait{0, 100000};
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char buffer[65536];
        std::string message;
        bool inside = false;
        while (!m_stop) {
            const ssize_t got = ::recv(m_socket, buffer, sizeof buffer, 0);
            if (got == 0)
                return;
            for (ssize_t i = 0; i < got; ++i) {
                const char c = buffer[i];
                if (c == '<') {
                    inside = true;
                    message.clear();
                } else if (c == '>' && inside) {
                    inside = false;
                    if (message.compare(0, 7, " frame ") == 0)
                        ++m_frames;
                    else if (message == " ok ")
                        ++m_oks;
                    else if (message.compare(0, 11, " error 004 ") == 0 &&
                             message.find(" 0001000000000000 ") != std::string::npos)
                        ++m_lost; // the server's notice that frames were lost

                } else if (inside) {
                    message += c;
                }
            }
        }
    }

    int m_socket = -1;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_frames{0}, m_lost{0};
    std::atomic<int> m_oks{0};
};

#endif
