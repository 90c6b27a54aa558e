#include "driverrequests.h"

#include <algorithm>

namespace boardemu {

namespace {
uint32_t wordAt(const uint8_t *bytes, size_t index)
{
    const uint8_t *p = bytes + 4 * index;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
} // namespace

using namespace requesterror;

RequestHandler::RequestHandler(std::shared_ptr<Board> board, std::shared_ptr<Clock> clock,
                               const EmulatorSettings &settings)
    : m_board(std::move(board)), m_clock(std::move(clock))
{
    m_failCode = settings.failCode;
    m_failAt = settings.failNth;
    m_failHandle = settings.failHandle;
    m_latency = settings.requestLatency;
}

void RequestHandler::failNthRequest(uint64_t n)
{
    m_failAt = n == 0 ? 0 : m_requests + n;
}

RequestHandler::Outcome RequestHandler::handle(uint32_t code, const uint8_t *in, uint32_t inSize, uint8_t *out,
                                               uint32_t outSize, uint64_t handle)
{
    Outcome outcome;
    uint64_t number = ++m_requests;
    // The requests of one handle, counted alone: those of one board object,
    // whatever its neighbours' threads do meanwhile.
    if (m_failHandle)
        number = handle == m_failHandle ? ++m_handleRequests : 0;
    // One reading of the clock serves the whole request: the board acts at
    // the request's time, or later if another thread's request got there
    // first, so that its time never runs backwards.
    const Time start = m_clock->now();
    if (number != m_failAt && (m_failCode == 0 || code != m_failCode)) {
        std::lock_guard<std::mutex> lock(m_board->mutex());
        const Time t = std::max(start, m_board->processedUntil());
        m_board->advanceTo(t);
        outcome.error = execute(code, in, inSize, out, outSize, &outcome.returned, t);
    }
    outcome.doneAt = start + std::max<Time>(m_latency, 0);
    return outcome;
}

uint32_t RequestHandler::execute(uint32_t code, const uint8_t *in, uint32_t inSize, uint8_t *out, uint32_t outSize,
                                 uint32_t *returned, Time t)
{
    Board &board = *m_board;
    switch (code) {
    case ioctl::READ_REG: {
        if (inSize != 4 || outSize != 4)
            return kInvalidParameter;
        uint32_t value = 0;
        if (!board.readRegister(wordAt(in, 0), &value, t))
            return kInvalidParameter;
        for (int i = 0; i < 4; ++i)
            out[i] = uint8_t(value >> (8 * i));
        *returned = 4;
        return kSuccess;
    }
    case ioctl::WRITE_REG:
        if (inSize != 8 || outSize != 0)
            return kInvalidParameter;
        return board.writeRegister(wordAt(in, 0), wordAt(in, 1), t) ? kSuccess : kInvalidParameter;
    case ioctl::READ_MEM: {
        if (inSize != 12 || wordAt(in, 2) != outSize)
            return kInvalidParameter;
        if (!board.readMemory(wordAt(in, 1), out, outSize))
            return kInvalidParameter;
        *returned = outSize;
        return kSuccess;
    }
    case ioctl::WRITE_MEM: {
        if (inSize < 12 || outSize != 0 || wordAt(in, 2) != inSize - 12)
            return kInvalidParameter;
        return board.writeMemory(wordAt(in, 1), in + 12, inSize - 12) ? kSuccess : kInvalidParameter;
    }
    case ioctl::CLEAR_DMA:
        if (inSize != 0 || outSize != 0)
            return kInvalidParameter;
        board.clearDma(t);
        return kSuccess;
    case ioctl::SET_CANONICAL_DMA:
        if (inSize != 0 || outSize != 0)
            return kInvalidParameter;
        board.setCanonicalDma(t);
        return kSuccess;
    case ioctl::READ_DMA_BLOCKS: {
        if (inSize != 8)
            return kInvalidParameter;
        const uint32_t maxCount = wordAt(in, 0);
        const uint32_t channel = wordAt(in, 1);
        if (channel != 1 && channel != 2)
            return kInvalidParameter;
        if (uint64_t(maxCount) * board::DMA_BLOCK_SIZE > outSize)
            return kInsufficientBuffer;
        *returned = uint32_t(board.takeDmaBlocks(channel, maxCount, out, t) * board::DMA_BLOCK_SIZE);
        return kSuccess;
    }
    default:
        return kInvalidFunction;
    }
}

} // namespace boardemu
