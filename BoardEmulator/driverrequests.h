// The board's driver requests without any operating system around them:
// decoded with their buffer checks, the fault switches applied, and the time
// at which the request is done (the modelled latency of a round trip to the
// board). The Win32 subset's device and the Windows test driver both serve
// requests through it.
#ifndef BOARDEMULATOR_DRIVERREQUESTS_H
#define BOARDEMULATOR_DRIVERREQUESTS_H

#include "board.h"
#include "boardinterface.h"
#include "clock.h"
#include "settings.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace boardemu {

// The driver's control codes, as the host's library defines them.
namespace ioctl {
constexpr uint32_t READ_REG = IOCTL_CAN_READ_REG;
constexpr uint32_t WRITE_REG = IOCTL_CAN_WRITE_REG;
constexpr uint32_t READ_MEM = IOCTL_CAN_READ_MEM;
constexpr uint32_t WRITE_MEM = IOCTL_CAN_WRITE_MEM;
constexpr uint32_t CLEAR_DMA = IOCTL_CAN_CLEAR_DMA;
constexpr uint32_t SET_CANONICAL_DMA = IOCTL_CAN_SET_CANONICAL_DMA;
constexpr uint32_t READ_DMA_BLOCKS = IOCTL_CAN_READ_DMA_BLOCKS;
} // namespace ioctl

// The Win32 error codes a request ends with.
namespace requesterror {
constexpr uint32_t kSuccess = 0;           // ERROR_SUCCESS
constexpr uint32_t kInvalidFunction = 1;   // ERROR_INVALID_FUNCTION
constexpr uint32_t kGenFailure = 31;       // ERROR_GEN_FAILURE
constexpr uint32_t kInvalidParameter = 87; // ERROR_INVALID_PARAMETER
constexpr uint32_t kInsufficientBuffer = 122;
} // namespace requesterror

class RequestHandler
{
public:
    RequestHandler(std::shared_ptr<Board> board, std::shared_ptr<Clock> clock, const EmulatorSettings &settings);

    struct Outcome {
        uint32_t error = requesterror::kGenFailure;
        uint32_t returned = 0; // bytes written into the output buffer
        Time doneAt = 0;       // when the request has cost its latency
    };
    // Acts on the board at the request's arrival; the caller completes the
    // request once the clock has reached doneAt.
    // handle: the number of the handle it came on (from 1, in the order
    // they were opened; 0: not known).
    Outcome handle(uint32_t code, const uint8_t *in, uint32_t inSize, uint8_t *out, uint32_t outSize,
                   uint64_t handle = 0);

    void setFailCode(uint32_t code) { m_failCode = code; }
    // The Nth request from now on (1 is the next) fails; 0 turns it off.
    void failNthRequest(uint64_t n);
    void setLatency(Time latency) { m_latency = latency; }
    uint64_t requestCount() const { return m_requests; }
    Clock &clock() { return *m_clock; }

private:
    uint32_t execute(uint32_t code, const uint8_t *in, uint32_t inSize, uint8_t *out, uint32_t outSize,
                     uint32_t *returned, Time t);

    std::shared_ptr<Board> m_board;
    std::shared_ptr<Clock> m_clock;
    std::atomic<uint32_t> m_failCode{0};
    std::atomic<uint64_t> m_failAt{0};
    uint64_t m_failHandle = 0;
    std::atomic<uint64_t> m_handleRequests{0}; // of the handle m_failHandle
    std::atomic<Time> m_latency{0};
    std::atomic<uint64_t> m_requests{0};
};

} // namespace boardemu

#endif
