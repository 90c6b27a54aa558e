#include "emulateddriver.h"

#include <algorithm>
#include <cstring>

namespace boardemu {

namespace {
uint32_t wordAt(const BYTE *bytes, size_t index)
{
    const BYTE *p = bytes + 4 * index;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
} // namespace

EmulatedDriver::EmulatedDriver(std::shared_ptr<Board> board, std::shared_ptr<Clock> clock,
                               const EmulatorSettings &settings)
    : m_board(std::move(board)), m_clock(std::move(clock))
{
    m_noBoard = settings.noBoard;
    m_failCode = settings.failCode;
    m_failAt = settings.failNth;
    m_latency = settings.requestLatency;
}

DWORD EmulatedDriver::open(void **context)
{
    if (m_noBoard)
        return ERROR_FILE_NOT_FOUND;
    *context = nullptr;
    ++m_openHandles;
    return ERROR_SUCCESS;
}

void EmulatedDriver::close(void *)
{
    --m_openHandles;
}

void EmulatedDriver::failNthRequest(uint64_t n)
{
    m_failAt = n == 0 ? 0 : m_requests + n;
}

DWORD EmulatedDriver::control(void *, const win32subset::IoRequest &request, DWORD *returned)
{
    *returned = 0;
    const uint64_t number = ++m_requests;
    // One reading of the clock serves the whole request: the board acts at
    // the request's time, or later if another thread's request got there
    // first, so that its time never runs backwards.
    const Time start = m_clock->now();
    DWORD status = ERROR_GEN_FAILURE;
    if (number != m_failAt && (m_failCode == 0 || request.code != m_failCode)) {
        std::lock_guard<std::mutex> lock(m_board->mutex());
        const Time t = std::max(start, m_board->processedUntil());
        m_board->advanceTo(t);
        status = execute(request, returned, t);
    }
    const Time latency = m_latency;
    if (latency > 0)
        m_clock->waitUntil(start + latency);
    return status;
}

DWORD EmulatedDriver::execute(const win32subset::IoRequest &request, DWORD *returned, Time t)
{
    Board &board = *m_board;
    switch (request.code) {
    case ioctl::READ_REG: {
        if (request.inSize != 4 || request.outSize != 4)
            return ERROR_INVALID_PARAMETER;
        uint32_t value = 0;
        if (!board.readRegister(wordAt(request.in, 0), &value, t))
            return ERROR_INVALID_PARAMETER;
        for (int i = 0; i < 4; ++i)
            request.out[i] = BYTE(value >> (8 * i));
        *returned = 4;
        return ERROR_SUCCESS;
    }
    case ioctl::WRITE_REG:
        if (request.inSize != 8 || request.outSize != 0)
            return ERROR_INVALID_PARAMETER;
        return board.writeRegister(wordAt(request.in, 0), wordAt(request.in, 1), t)
                   ? ERROR_SUCCESS
                   : ERROR_INVALID_PARAMETER;
    case ioctl::READ_MEM: {
        if (request.inSize != 12 || wordAt(request.in, 2) != request.outSize)
            return ERROR_INVALID_PARAMETER;
        if (!board.readMemory(wordAt(request.in, 1), request.out, request.outSize))
            return ERROR_INVALID_PARAMETER;
        *returned = request.outSize;
        return ERROR_SUCCESS;
    }
    case ioctl::WRITE_MEM: {
        if (request.inSize < 12 || request.outSize != 0 ||
            wordAt(request.in, 2) != request.inSize - 12)
            return ERROR_INVALID_PARAMETER;
        return board.writeMemory(wordAt(request.in, 1), request.in + 12, request.inSize - 12)
                   ? ERROR_SUCCESS
                   : ERROR_INVALID_PARAMETER;
    }
    case ioctl::CLEAR_DMA:
        if (request.inSize != 0 || request.outSize != 0)
            return ERROR_INVALID_PARAMETER;
        board.clearDma(t);
        return ERROR_SUCCESS;
    case ioctl::SET_CANONICAL_DMA:
        if (request.inSize != 0 || request.outSize != 0)
            return ERROR_INVALID_PARAMETER;
        board.setCanonicalDma(t);
        return ERROR_SUCCESS;
    case ioctl::READ_DMA_BLOCKS: {
        if (request.inSize != 8)
            return ERROR_INVALID_PARAMETER;
        const uint32_t maxCount = wordAt(request.in, 0);
        const uint32_t channel = wordAt(request.in, 1);
        if (channel != 1 && channel != 2)
            return ERROR_INVALID_PARAMETER;
        if (uint64_t(maxCount) * board::DMA_BLOCK_SIZE > request.outSize)
            return ERROR_INSUFFICIENT_BUFFER;
        *returned = board.takeDmaBlocks(channel, maxCount, request.out, t) * board::DMA_BLOCK_SIZE;
        return ERROR_SUCCESS;
    }
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

EmulatedBoard::EmulatedBoard(const EmulatorSettings &settings, std::shared_ptr<Clock> clock,
                             const std::string &deviceName)
    : m_deviceName(deviceName), m_clock(std::move(clock)),
      m_board(std::make_shared<Board>(settings)),
      m_driver(std::make_shared<EmulatedDriver>(m_board, m_clock, settings))
{
    win32subset::installDevice(m_deviceName, m_driver);
}

EmulatedBoard::~EmulatedBoard()
{
    // Whatever the bus did up to now is logged before the board goes.
    inspect([](Board &) { return 0; });
    win32subset::removeDevice(m_deviceName);
}

} // namespace boardemu
