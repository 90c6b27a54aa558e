#include "board.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace boardemu {

using namespace mcp2515;

Board::Board(const EmulatorSettings &settings)
    : m_settings(settings), m_channels{Channel("can0"), Channel("can1")}
{
    if (m_settings.dmaQueueBlocks == 0)
        m_settings.dmaQueueBlocks = 1;
    m_channels[0].data = m_memory + (board::SPI_DATA_CH1 - board::MEMORY_BASE);
    m_channels[1].data = m_memory + (board::SPI_DATA_CH2 - board::MEMORY_BASE);
    for (unsigned i = 0; i < 2; ++i) {
        m_channels[i].stuckBusy = settings.stuckBusy[i];
        m_channels[i].controller.setIgnoreModeRequests(settings.ignoreModeRequests[i]);
        m_channels[i].controller.setFaults(faultsOf(settings.faults, i + 1));
    }
    m_faults = faultsOf(settings.faults, 0);
    m_buses.push_back(std::make_unique<CanBus>());
    if (settings.channelsCutApart)
        m_buses.push_back(std::make_unique<CanBus>());
    for (unsigned i = 0; i < 2; ++i) {
        CanBus *bus = m_buses[settings.channelsCutApart ? i : 0].get();
        bus->attach(&m_channels[i].controller);
        m_channels[i].controller.setBus(bus);
    }
    m_nodes = {&m_channels[0].controller, &m_channels[1].controller};
    if (settings.foreign.enabled) {
        m_foreign = std::make_unique<ForeignNode>(
            settings.foreign, &m_channels[settings.foreign.channel - 1].controller);
        m_buses[settings.channelsCutApart ? settings.foreign.channel - 1 : 0]->attach(
            m_foreign.get());
        m_nodes.push_back(m_foreign.get());
    }
    if (settings.socketcandPort) {
        for (unsigned segment = 0; segment < m_buses.size(); ++segment) {
            m_clients.push_back(std::make_unique<ClientNode>(&m_channels[segment].controller));
            m_buses[segment]->attach(m_clients.back().get());
            m_nodes.push_back(m_clients.back().get());
        }
    }
    if (!settings.busLogPath.empty())
        m_busLog = std::fopen(settings.busLogPath.c_str(), "a");
    m_epochMicroseconds = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
}

Board::~Board()
{
    if (m_busLog)
        std::fclose(m_busLog);
}

namespace {
// How many frames one catch-up plays out before it starts looking for a
// repeating cycle, and how many frame ends back it looks.
constexpr unsigned kFramesBeforeCycleSearch = 16;
constexpr size_t kCycleHistory = 4;
// Events at one instant beyond this mean a fault of the emulator itself.
constexpr unsigned kMaxEventsAtOneInstant = 100000;
} // namespace

Time Board::nextEvent() const
{
    Time next = kNever;
    for (const Channel &channel : m_channels) {
        if (!channel.transactions.empty())
            next = std::min(next, channel.transactions.front().end);
        if (channel.fetching)
            next = std::min(next, channel.fetchEnd);
    }
    for (const BusNode *node : m_nodes)
        next = std::min(next, node->nextEvent());
    for (const auto &bus : m_buses)
        next = std::min(next, bus->nextEvent());
    return next;
}

void Board::advanceTo(Time t)
{
    std::vector<CycleState> history;
    unsigned framesEnded = 0;
    unsigned atThisInstant = 0;
    for (;;) {
        Time next = nextEvent();
        if (next > t)
            break;
        // Whatever became due while nobody looked happens now, not in the past.
        next = std::max(next, m_processedUntil);
        atThisInstant = next == m_processedUntil ? atThisInstant + 1 : 0;
        if (atThisInstant > kMaxEventsAtOneInstant) {
            std::fprintf(stderr,
                         "board emulator: more than %u events at %lld ns without time moving on; "
                         "stopping rather than misplacing them\n",
                         kMaxEventsAtOneInstant, (long long)next);
            std::abort();
        }
        m_processedUntil = next;

        // Same-time events: SPI first (a TXREQ takes effect as chip select
        // rises), then DMA, then the nodes' timers, then the bus.
        bool done = false;
        bool frameEnded = false;
        for (Channel &channel : m_channels) {
            if (!done && !channel.transactions.empty() && channel.transactions.front().end <= next) {
                const uint32_t command = channel.transactions.front().command;
                channel.transactions.pop_front();
                executeSpi(channel, command, next);
                done = true;
            }
        }
        for (unsigned i = 0; i < 2 && !done; ++i) {
            if (m_channels[i].fetching && m_channels[i].fetchEnd <= next) {
                finishFetch(i, next);
                done = true;
            }
        }
        for (BusNode *node : m_nodes) {
            if (!done && node->nextEvent() <= next) {
                node->process(next);
                done = true;
            }
        }
        for (const auto &bus : m_buses) {
            if (!done && bus->nextEvent() <= next) {
                frameEnded = bus->process(next);
                done = true;
            }
        }
        serviceDma(next);
        logCompletedFrames();
        logErrors(next);
        // Errors are told one by one: a cycle of them is not skipped.
        if (frameEnded && ++framesEnded > kFramesBeforeCycleSearch && m_settings.skipRepeatedCycles && !m_errorTap &&
            !m_settings.busLogErrors)
            skipRepeatedCycles(next, t, history);
    }
    m_processedUntil = std::max(m_processedUntil, t);
    serviceDma(m_processedUntil);
}

// A long stretch with no request, with a frame that nobody can take retried
// for ever, would cost the next request one event per bit of it. Where the
// whole board is in the same state at two frame ends, the stretch between
// them repeats exactly until a deadline of its own or the request: all those
// repetitions are skipped at once. Nothing completes within such a cycle (a
// completed frame changes some state), so the bus log loses nothing; when
// the bus's errors are told (the bus log's error lines, the socketcand
// bridge), no cycle is skipped.
void Board::skipRepeatedCycles(Time now, Time target, std::vector<CycleState> &history)
{
    for (const Channel &channel : m_channels) {
        if (!channel.transactions.empty() || channel.fetching) {
            history.clear();
            return;
        }
    }
    CycleState state(now);
    for (const auto &bus : m_buses) {
        if (bus->busy()) {
            history.clear();
            return;
        }
        bus->saveCycleState(state);
    }
    for (const BusNode *node : m_nodes)
        node->saveCycleState(state);
    state.value(m_dmaControl);
    state.value(m_framesCompleted);
    for (const Channel &channel : m_channels) {
        state.value(channel.queue.size());
        state.value(channel.ringPosition);
        state.value(channel.stuckBusy);
        state.value(channel.delayedByFullQueue);
        state.deadline(channel.spiFreeAt);
        state.deadline(channel.hostBusyUntil);
    }
    for (const CycleState &earlier : history) {
        const Time period = now - earlier.now();
        if (period <= 0 || !state.sameAs(earlier))
            continue;
        const Time limit = std::min(target, state.earliestDeadline() - 1);
        const Time cycles = limit > now ? (limit - now) / period : 0;
        if (cycles < 1)
            break;
        const Time delta = cycles * period;
        for (const auto &bus : m_buses)
            bus->shiftCycleTimes(now, delta);
        for (BusNode *node : m_nodes)
            node->shiftCycleTimes(now, delta);
        m_processedUntil = now + delta;
        m_cyclesSkipped += uint64_t(cycles);
        history.clear();
        return;
    }
    history.push_back(std::move(state));
    if (history.size() > kCycleHistory)
        history.erase(history.begin());
}

void Board::logCompletedFrames()
{
    for (unsigned segment = 0; segment < m_buses.size(); ++segment) {
        for (const CompletedFrame &completed : m_buses[segment]->takeCompleted()) {
            ++m_framesCompleted;
            const int64_t micros = m_epochMicroseconds + completed.end / kMicrosecond;
            if (m_tap)
                m_tap(segment, completed.frame, micros, completed.busName == "can3", completed.owner);
            if (!m_busLog)
                continue;
            std::fprintf(m_busLog, "(%lld.%06lld) %s %s\n", (long long)(micros / 1000000),
                         (long long)(micros % 1000000), completed.busName.c_str(),
                         candumpText(completed.frame).c_str());
            std::fflush(m_busLog);
        }
    }
}

void Board::withdrawFromClient(unsigned segment, const CanFrame &id, Time t, const void *owner)
{
    if (segment < m_clients.size())
        m_clients[segment]->withdraw(id, t, owner);
}

void Board::updateFromClient(unsigned segment, const CanFrame &frame, Time t, const void *owner)
{
    if (segment < m_clients.size())
        m_clients[segment]->replaceData(frame, t, owner);
}

size_t Board::clientRoom(unsigned segment) const
{
    return segment < m_clients.size() ? ClientNode::kQueueLimit - m_clients[segment]->queued() : 0;
}

void Board::logError(unsigned segment, const std::string &busName, uint32_t errorClass,
                     const std::array<uint8_t, 8> &data, Time end)
{
    const int64_t micros = m_epochMicroseconds + end / kMicrosecond;
    if (m_errorTap)
        m_errorTap(segment, errorClass, data, micros);
    if (!m_busLog || !m_settings.busLogErrors)
        return;
    // As candump logs an error frame: the error flag in the identifier.
    std::fprintf(m_busLog, "(%lld.%06lld) %s %08X#", (long long)(micros / 1000000), (long long)(micros % 1000000),
                 busName.c_str(), 0x20000000u | errorClass);
    for (uint8_t byte : data)
        std::fprintf(m_busLog, "%02X", byte);
    std::fputc('\n', m_busLog);
    std::fflush(m_busLog);
}

// The errors the buses saw, then each controller that went error-passive or
// bus-off with them.
void Board::logErrors(Time now)
{
    for (unsigned segment = 0; segment < m_buses.size(); ++segment) {
        for (const BusErrorEvent &error : m_buses[segment]->takeErrors())
            logError(segment, error.busName, error.errorClass, error.data, error.end);
    }
    for (unsigned i = 0; i < 2; ++i) {
        const Mcp2515 &controller = m_channels[i].controller;
        const int state = controller.busOff() ? 2 : controller.errorPassive() ? 1 : 0;
        const int before = m_controllerState[i];
        m_controllerState[i] = state;
        if (state <= before)
            continue;
        std::array<uint8_t, 8> data{};
        data[6] = uint8_t(std::min(255, controller.transmitErrorCounter()));
        data[7] = uint8_t(std::min(255, controller.receiveErrorCounter()));
        uint32_t errorClass = canerror::kBusOff;
        if (state == 1) {
            errorClass = canerror::kController;
            data[1] = controller.transmitErrorCounter() >= 128 ? canerror::kTxPassive : canerror::kRxPassive;
        }
        logError(m_buses.size() > 1 ? i : 0, "can" + std::to_string(i), errorClass, data, now);
    }
}

bool Board::sendFromClient(unsigned segment, const CanFrame &frame, Time t, const void *owner)
{
    if (segment >= m_clients.size())
        return false;
    return m_clients[segment]->queue(frame, t, owner);
}

size_t Board::clientFramesQueued() const
{
    size_t queued = 0;
    for (const auto &client : m_clients)
        queued += client->queued();
    return queued;
}

bool Board::readRegister(uint32_t address, uint32_t *value, Time t)
{
    switch (address) {
    case board::DMA_CONTROL:
        *value = m_dmaControl;
        return true;
    case board::SPI_BRIDGE_CH1:
    case board::SPI_BRIDGE_CH2: {
        const Channel &channel = m_channels[address == board::SPI_BRIDGE_CH2];
        *value = (channel.stuckBusy || t < channel.hostBusyUntil) ? board::SPI_BUSY : 0;
        return true;
    }
    default:
        return false;
    }
}

bool Board::writeRegister(uint32_t address, uint32_t value, Time t)
{
    switch (address) {
    case board::DMA_CONTROL:
        m_dmaControl = value;
        serviceDma(t);
        return true;
    case board::SPI_BRIDGE_CH1:
    case board::SPI_BRIDGE_CH2: {
        Channel &channel = m_channels[address == board::SPI_BRIDGE_CH2];
        if (channel.stuckBusy)
            return true; // the bridge never gets round to it
        const Time start = std::max(t, channel.spiFreeAt);
        const Time end = start + spiDuration(value);
        channel.spiFreeAt = end;
        channel.hostBusyUntil = end;
        channel.transactions.push_back({value, end});
        return true;
    }
    default:
        return false;
    }
}

bool Board::readMemory(uint32_t address, uint8_t *out, uint32_t length) const
{
    if (address < board::MEMORY_BASE || length > board::MEMORY_SIZE ||
        address - board::MEMORY_BASE > board::MEMORY_SIZE - length)
        return false;
    if (length != 0) // a request may come without a buffer for no bytes
        std::memcpy(out, m_memory + (address - board::MEMORY_BASE), length);
    return true;
}

bool Board::writeMemory(uint32_t address, const uint8_t *in, uint32_t length)
{
    if (address < board::MEMORY_BASE || length > board::MEMORY_SIZE ||
        address - board::MEMORY_BASE > board::MEMORY_SIZE - length)
        return false;
    if (length != 0) // a request may come without a buffer for no bytes
        std::memcpy(m_memory + (address - board::MEMORY_BASE), in, length);
    return true;
}

// SPI command word: bits 31..24 register address, 23..16 byte count - 1,
// 7..0 the instruction. The bridge moves at most its 16 data bytes.
namespace {
unsigned commandCount(uint32_t command)
{
    return std::min<unsigned>(((command >> 16) & 0xFF) + 1, board::SPI_DATA_SIZE);
}
} // namespace

Time Board::spiDuration(uint32_t command) const
{
    const uint8_t instruction = command & 0xFF;
    const unsigned count = commandCount(command);
    unsigned bytes = 1;
    if (instruction == SPI_READ || instruction == SPI_WRITE)
        bytes = 2 + count;
    else if (instruction == SPI_BIT_MODIFY)
        bytes = 4;
    else if ((instruction & 0xF9) == SPI_READ_RX_BUFFER || (instruction & 0xF8) == SPI_LOAD_TX_BUFFER)
        bytes = 1 + count;
    else if (instruction == SPI_READ_STATUS || instruction == SPI_RX_STATUS)
        bytes = 2;
    return Time(bytes) * m_settings.spiByteTime;
}

void Board::executeSpi(Channel &channel, uint32_t command, Time t)
{
    Mcp2515 &controller = channel.controller;
    const uint8_t instruction = command & 0xFF;
    const uint8_t address = uint8_t(command >> 24);
    const unsigned count = commandCount(command);
    if (instruction == SPI_READ) {
        for (unsigned i = 0; i < count; ++i)
            channel.data[i] = controller.read(uint8_t((address + i) & 0x7F));
    } else if (instruction == SPI_WRITE) {
        // A bridge that loses one WRITE now and then (channel 1's).
        if (has(m_faults, Fault::SpiWriteLost) && &channel == &m_channels[0] && ++channel.writes % 5000 == 0)
            return;
        for (unsigned i = 0; i < count; ++i)
            controller.write(uint8_t((address + i) & 0x7F), channel.data[i], t);
    } else if (instruction == SPI_BIT_MODIFY) {
        controller.bitModify(address, channel.data[0], channel.data[1], t);
    } else if ((instruction & 0xF9) == SPI_READ_RX_BUFFER) {
        const int buffer = (instruction >> 2) & 1;
        const uint8_t start = uint8_t(RXB0CTRL + 0x10 * buffer + ((instruction & 0x02) ? D0 : SIDH));
        for (unsigned i = 0; i < count; ++i)
            channel.data[i] = controller.read(uint8_t((start + i) & 0x7F));
        controller.rxBufferReadEnded(buffer, t);
    } else if ((instruction & 0xF8) == SPI_LOAD_TX_BUFFER && (instruction & 0x07) <= 5) {
        const int buffer = (instruction >> 1) & 0x03;
        const uint8_t start = uint8_t(TXB0CTRL + 0x10 * buffer + ((instruction & 1) ? D0 : SIDH));
        for (unsigned i = 0; i < count; ++i)
            controller.write(uint8_t((start + i) & 0x7F), channel.data[i], t);
    } else if ((instruction & 0xF8) == SPI_RTS) {
        controller.requestToSend(instruction & 0x07, t);
    } else if (instruction == SPI_READ_STATUS) {
        channel.data[0] = controller.readStatus();
    } else if (instruction == SPI_RX_STATUS) {
        channel.data[0] = controller.rxStatus();
    } else if (instruction == SPI_RESET) {
        controller.reset(t);
    }
}

// DMA engine: with the DMA bit set, a channel whose RXnBF pin is active has
// the buffer read over its SPI bus (READ of RXBnCTRL, then READ RX BUFFER,
// which frees the buffer) into a block at the tail of the channel's queue.
// While the queue is full the frame waits in the controller.
void Board::serviceDma(Time t)
{
    if (!dmaEnabled())
        return;
    for (Channel &channel : m_channels) {
        if (channel.fetching)
            continue;
        // The frames go in the order they came off the bus: with rollover
        // the one in RXB1 can be older than the one in RXB0.
        const Mcp2515 &controller = channel.controller;
        int buffer = -1;
        for (int candidate = 0; candidate < (has(m_faults, Fault::Rxb1NoDma) ? 1 : 2); ++candidate) {
            if (controller.rxBufferFullPin(candidate) &&
                (buffer < 0 ||
                 controller.rxBufferArrival(candidate) < controller.rxBufferArrival(buffer)))
                buffer = candidate;
        }
        if (buffer < 0)
            continue;
        if (channel.queue.size() >= m_settings.dmaQueueBlocks) {
            channel.delayedByFullQueue = true;
            continue;
        }
        channel.fetching = true;
        channel.fetchBuffer = buffer;
        const Time start = std::max(t, channel.spiFreeAt);
        channel.fetchEnd = start + Time(3 + 14) * m_settings.spiByteTime;
        channel.spiFreeAt = channel.fetchEnd;
    }
}

// Block layout: byte 0 bit 1 the channel (0: channel 1), bit 0 set when the
// frame had to wait for room in a full queue; bytes 1-3 the frame's reception
// time (end of frame) in microseconds, 24 bits little-endian, wrapping every
// 16.8 s (choice); bytes 4-17 RXBnCTRL..RXBnD7.
void Board::finishFetch(unsigned index, Time t)
{
    Channel &channel = m_channels[index];
    DmaBlock block{};
    const bool waited = channel.delayedByFullQueue || has(m_faults, Fault::WaitedStuck);
    block[0] = uint8_t((index == 1 ? 0x02 : 0x00) | (waited ? 0x01 : 0x00));
    const Time received = channel.controller.rxBufferReceivedAt(channel.fetchBuffer);
    uint32_t stamp = uint32_t(received / kMicrosecond) & 0xFFFFFF;
    // A stamp whose upper byte is latched 2 ms late: for 2 ms after each
    // carry into it, the stamp lies 65 536 us behind.
    if (has(m_faults, Fault::StampsBack) && received >= 2000 * kMicrosecond)
        stamp = (stamp & 0xFFFF) | (uint32_t((received - 2000 * kMicrosecond) / kMicrosecond) & 0xFF0000);
    block[1] = uint8_t(stamp);
    block[2] = uint8_t(stamp >> 8);
    block[3] = uint8_t(stamp >> 16);
    const uint8_t base = uint8_t(RXB0CTRL + 0x10 * channel.fetchBuffer);
    for (int i = 0; i < 14; ++i)
        block[4 + i] = channel.controller.read(uint8_t(base + i));
    channel.controller.rxBufferReadEnded(channel.fetchBuffer, t);
    channel.fetching = false;
    channel.delayedByFullQueue = false;
    // A ring whose last slot never reaches the host.
    const bool lost = has(m_faults, Fault::RingSlotLost) && channel.ringPosition + 1 == m_settings.dmaQueueBlocks;
    if (!lost)
        channel.queue.push_back(block);
    channel.ringPosition = (channel.ringPosition + 1) % m_settings.dmaQueueBlocks;
}

void Board::clearDma(Time t)
{
    for (Channel &channel : m_channels)
        channel.queue.clear();
    serviceDma(t);
}

// The canonical arrangement: empty queues whose next block goes to the
// first slot of the ring.
void Board::setCanonicalDma(Time t)
{
    for (Channel &channel : m_channels) {
        channel.queue.clear();
        channel.ringPosition = 0;
        channel.delayedByFullQueue = false;
    }
    serviceDma(t);
}

uint32_t Board::takeDmaBlocks(unsigned channelNumber, uint32_t maxCount, uint8_t *out, Time t)
{
    Channel &channel = m_channels[channelNumber - 1];
    uint32_t taken = 0;
    while (taken < maxCount && !channel.queue.empty()) {
        std::memcpy(out + taken * board::DMA_BLOCK_SIZE, channel.queue.front().data(),
                    board::DMA_BLOCK_SIZE);
        channel.queue.pop_front();
        ++taken;
    }
    serviceDma(t);
    return taken;
}

} // namespace boardemu
