#include "emulateddriver.h"

#include <cstdint>

namespace boardemu {

EmulatedDriver::EmulatedDriver(std::shared_ptr<Board> board, std::shared_ptr<Clock> clock,
                               const EmulatorSettings &settings)
    : m_requestHandler(std::move(board), std::move(clock), settings)
{
    m_noBoard = settings.noBoard;
}

DWORD EmulatedDriver::open(void **context)
{
    if (m_noBoard)
        return ERROR_FILE_NOT_FOUND;
    // A handle's context is its number, in the order opened.
    *context = reinterpret_cast<void *>(uintptr_t(++m_handlesOpened));
    ++m_openHandles;
    return ERROR_SUCCESS;
}

void EmulatedDriver::close(void *)
{
    --m_openHandles;
}

// The request is done when it has cost its latency.
DWORD EmulatedDriver::control(void *context, const win32subset::IoRequest &request, DWORD *returned)
{
    const RequestHandler::Outcome outcome = m_requestHandler.handle(
        request.code, request.in, request.inSize, request.out, request.outSize, uint64_t(uintptr_t(context)));
    *returned = outcome.returned;
    m_requestHandler.clock().waitUntil(outcome.doneAt);
    return outcome.error;
}

EmulatedBoard::EmulatedBoard(const EmulatorSettings &settings, std::shared_ptr<Clock> clock,
                             const std::string &deviceName)
    : m_deviceName(deviceName), m_clock(std::move(clock)),
      m_board(std::make_shared<Board>(settings)),
      m_driver(std::make_shared<EmulatedDriver>(m_board, m_clock, settings))
{
    if (settings.socketcandPort)
        m_bridge = SocketcandBridge::start(m_board, m_clock, settings, &m_bridgeError);
    win32subset::installDevice(m_deviceName, m_driver);
}

EmulatedBoard::~EmulatedBoard()
{
    m_bridge.reset();
    // Whatever the bus did up to now is logged before the board goes.
    inspect([](Board &) { return 0; });
    win32subset::removeDevice(m_deviceName);
}

} // namespace boardemu
