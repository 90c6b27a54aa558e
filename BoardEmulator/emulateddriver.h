// The board's kernel driver as the Win32 subset sees it: device control
// requests decoded with their buffer checks, each costing the modelled
// latency of a round trip to the board, plus the fault switches.
#ifndef BOARDEMULATOR_EMULATEDDRIVER_H
#define BOARDEMULATOR_EMULATEDDRIVER_H

#include "board.h"
#include "driverrequests.h"
#include "socketcand.h"

#include <windows.h>
#include <win32subset/devicetable.h>

#include <atomic>
#include <functional>
#include <memory>

namespace boardemu {

class EmulatedDriver : public win32subset::DeviceDriver
{
public:
    EmulatedDriver(std::shared_ptr<Board> board, std::shared_ptr<Clock> clock,
                   const EmulatorSettings &settings);

    DWORD open(void **context) override;
    void close(void *context) override;
    DWORD control(void *context, const win32subset::IoRequest &request, DWORD *returned) override;

    void setNoBoard(bool absent) { m_noBoard = absent; }
    void setFailCode(DWORD code) { m_requestHandler.setFailCode(code); }
    // The Nth request from now on (1 is the next) fails; 0 turns it off.
    void failNthRequest(uint64_t n) { m_requestHandler.failNthRequest(n); }
    void setLatency(Time latency) { m_requestHandler.setLatency(latency); }
    uint64_t requestCount() const { return m_requestHandler.requestCount(); }
    int openHandles() const { return m_openHandles; }

private:
    RequestHandler m_requestHandler;
    std::atomic<bool> m_noBoard{false};
    std::atomic<int> m_openHandles{0};
    std::atomic<uint64_t> m_handlesOpened{0};
};

// A board installed in the device table under a name, with its clock.
class EmulatedBoard
{
public:
    explicit EmulatedBoard(const EmulatorSettings &settings = EmulatorSettings(),
                           std::shared_ptr<Clock> clock = std::make_shared<RealClock>(),
                           const std::string &deviceName = "CAN0");
    ~EmulatedBoard();
    EmulatedBoard(const EmulatedBoard &) = delete;
    EmulatedBoard &operator=(const EmulatedBoard &) = delete;

    EmulatedDriver &driver() { return *m_driver; }
    Clock &clock() { return *m_clock; }
    bool busLogOpen()
    {
        std::lock_guard<std::mutex> lock(m_board->mutex());
        return m_board->busLogOpen();
    }
    // The socketcand bridge, with KORVANE_EMU_SOCKETCAND set: nullptr without
    // it, or when it could not listen (bridgeError() says why).
    SocketcandBridge *bridge() { return m_bridge.get(); }
    const std::string &bridgeError() const { return m_bridgeError; }
    // Runs f on the board brought up to the present, under its lock.
    template <typename F> auto inspect(F f)
    {
        std::lock_guard<std::mutex> lock(m_board->mutex());
        m_board->advanceTo(m_clock->now());
        return f(*m_board);
    }

private:
    std::string m_deviceName;
    std::shared_ptr<Clock> m_clock;
    std::shared_ptr<Board> m_board;
    std::shared_ptr<EmulatedDriver> m_driver;
    std::unique_ptr<SocketcandBridge> m_bridge;
    std::string m_bridgeError;
};

} // namespace boardemu

#endif
