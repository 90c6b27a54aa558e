// The plug-in board: its registers and memory, one SPI bridge and one
// MCP2515 per channel, the CAN bus between the channels, and the DMA engine
// that moves received frames into per-channel block queues.
#ifndef BOARDEMULATOR_BOARD_H
#define BOARDEMULATOR_BOARD_H

#include "canbus.h"
#include "clientnode.h"
#include "clock.h"
#include "foreignnode.h"
#include "mcp2515.h"
#include "settings.h"

#include <array>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace boardemu {

namespace board {
// Board registers.
constexpr uint32_t DMA_CONTROL = 0x1000;
constexpr uint32_t SPI_BRIDGE_CH1 = 0x1044;
constexpr uint32_t SPI_BRIDGE_CH2 = 0x1054;
constexpr uint32_t DMA_ENABLE = 0x01;
constexpr uint32_t SPI_BUSY = 0x01;
// Board memory; the SPI data buffers are its first 32 bytes.
constexpr uint32_t MEMORY_BASE = 0x2000;
constexpr uint32_t MEMORY_SIZE = 0x100;
constexpr uint32_t SPI_DATA_CH1 = 0x2000;
constexpr uint32_t SPI_DATA_CH2 = 0x2010;
constexpr uint32_t SPI_DATA_SIZE = 16;
constexpr uint32_t DMA_BLOCK_SIZE = 64;
} // namespace board

using DmaBlock = std::array<uint8_t, board::DMA_BLOCK_SIZE>;

class Board
{
public:
    explicit Board(const EmulatorSettings &settings);
    ~Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    // Every call below expects the caller to hold mutex() and to have
    // advanced the board to the request's time.
    std::mutex &mutex() { return m_mutex; }
    void advanceTo(Time t);
    Time processedUntil() const { return m_processedUntil; }
    // The board's time as the wall-clock microseconds its frames are stamped with.
    int64_t micros(Time t) const { return m_epochMicroseconds + t / kMicrosecond; }

    bool readRegister(uint32_t address, uint32_t *value, Time t);
    bool writeRegister(uint32_t address, uint32_t value, Time t);
    bool readMemory(uint32_t address, uint8_t *out, uint32_t length) const;
    bool writeMemory(uint32_t address, const uint8_t *in, uint32_t length);
    void clearDma(Time t);
    void setCanonicalDma(Time t);
    uint32_t takeDmaBlocks(unsigned channel, uint32_t maxCount, uint8_t *out, Time t);

    Mcp2515 &controller(unsigned channel) { return m_channels[channel - 1].controller; }
    size_t queuedBlocks(unsigned channel) const { return m_channels[channel - 1].queue.size(); }
    unsigned ringPosition(unsigned channel) const { return m_channels[channel - 1].ringPosition; }
    bool dmaEnabled() const { return m_dmaControl & board::DMA_ENABLE; }
    unsigned foreignFramesSent() const { return m_foreign ? m_foreign->sent() : 0; }
    uint64_t framesCompleted() const { return m_framesCompleted; }
    // Repeated cycles of the bus that were skipped in one step each.
    uint64_t cyclesSkipped() const { return m_cyclesSkipped; }
    const ForeignNode *foreignNode() const { return m_foreign.get(); }
    bool busLogOpen() const { return m_busLog != nullptr; }
    void setStuckBusy(unsigned channel, bool stuck) { m_channels[channel - 1].stuckBusy = stuck; }
    void setIgnoreModeRequests(unsigned channel, bool ignore)
    {
        controller(channel).setIgnoreModeRequests(ignore);
    }

    // The bus's segments: one, or two with the channels cut apart (segment
    // i then holds channel i + 1).
    unsigned segments() const { return unsigned(m_buses.size()); }
    // Told of every frame that completes on the bus, with its segment and
    // the time of its end as the bus log has it (microseconds since the
    // epoch). Called under the board's lock: it must not block.
    // fromBridge: the frame was the socketcand bridge's node's, sent for
    // owner (the client that gave it).
    using FrameTap = std::function<void(unsigned segment, const CanFrame &frame, int64_t micros, bool fromBridge,
                                        const void *owner)>;
    void setFrameTap(FrameTap tap) { m_tap = std::move(tap); }
    // Every error seen on a segment (a frame nobody acknowledged, error
    // flags) and every controller that went error-passive or bus-off, as
    // Linux's CAN error frames tell them, at the board's time in wall-clock
    // microseconds.
    using ErrorTap = std::function<void(unsigned segment, uint32_t errorClass, const std::array<uint8_t, 8> &data,
                                        int64_t micros)>;
    void setErrorTap(ErrorTap tap) { m_errorTap = std::move(tap); }
    // Puts a frame on a segment through the bridge's client node (with the
    // socketcand bridge on): false when its queue is full or it is bus-off.
    // owner: whose frame it is, for taking it back (a client of the bridge).
    bool sendFromClient(unsigned segment, const CanFrame &frame, Time t, const void *owner = nullptr);
    // Frames the bridge's node on the segment can still take.
    size_t clientRoom(unsigned segment) const;
    // The node's frames of an identifier due after t: taken back, or given
    // the frame's data.
    void withdrawFromClient(unsigned segment, const CanFrame &id, Time t, const void *owner);
    void updateFromClient(unsigned segment, const CanFrame &frame, Time t, const void *owner);
    size_t clientFramesQueued() const;

private:
    struct SpiTransaction {
        uint32_t command;
        Time end;
    };
    struct Channel {
        explicit Channel(const std::string &name) : controller(name) {}
        Mcp2515 controller;
        uint8_t *data = nullptr; // its SPI data buffer in board memory
        std::deque<SpiTransaction> transactions;
        Time spiFreeAt = 0;
        Time hostBusyUntil = 0;
        bool stuckBusy = false;
        std::deque<DmaBlock> queue;
        bool fetching = false;
        int fetchBuffer = 0;
        Time fetchEnd = 0;
        bool delayedByFullQueue = false;
        unsigned ringPosition = 0;
        uint64_t writes = 0; // SPI WRITEs executed
    };

    Time nextEvent() const;
    void skipRepeatedCycles(Time now, Time target, std::vector<CycleState> &history);
    Time spiDuration(uint32_t command) const;
    void executeSpi(Channel &channel, uint32_t command, Time t);
    void serviceDma(Time t);
    void finishFetch(unsigned index, Time t);
    void logCompletedFrames();
    void logErrors(Time now);
    void logError(unsigned segment, const std::string &busName, uint32_t errorClass,
                  const std::array<uint8_t, 8> &data, Time end);

    std::mutex m_mutex;
    EmulatorSettings m_settings;
    FaultSet m_faults = 0; // the board's own, beside its controllers'
    uint32_t m_dmaControl = 0;
    uint8_t m_memory[board::MEMORY_SIZE] = {};
    std::array<Channel, 2> m_channels;
    std::vector<std::unique_ptr<CanBus>> m_buses;
    std::unique_ptr<ForeignNode> m_foreign;
    std::vector<std::unique_ptr<ClientNode>> m_clients; // one per segment, with the bridge on
    FrameTap m_tap;
    ErrorTap m_errorTap;
    int m_controllerState[2] = {0, 0}; // 0 error-active, 1 error-passive, 2 bus-off
    std::FILE *m_busLog = nullptr;
    int64_t m_epochMicroseconds = 0;
    uint64_t m_framesCompleted = 0;
    Time m_processedUntil = 0;
    std::vector<BusNode *> m_nodes; // the controllers, the foreign node, the clients' nodes
    uint64_t m_cyclesSkipped = 0;
};

} // namespace boardemu

#endif
