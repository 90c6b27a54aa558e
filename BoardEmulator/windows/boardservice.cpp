#include "boardservice.h"

#include "driverrequests.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

using namespace boardemu;

namespace {

// A request with output reads its input first: only the reads carry output,
// and none has more than this much input. A larger input with output is
// refused by the handler before either buffer is touched, so it is never
// copied.
const uint32_t kLargestInputWithOutput = 64;

void copyError(const std::string &reason, char *error, unsigned errorSize)
{
    if (!errorSize)
        return;
    std::strncpy(error, reason.c_str(), errorSize - 1);
    error[errorSize - 1] = '\0';
}

} // namespace

struct KvBoard {
    EmulatorSettings settings;
    std::shared_ptr<Clock> clock = std::make_shared<RealClock>();
    std::shared_ptr<Board> board;
    std::unique_ptr<RequestHandler> handler;
    unsigned boards = 1;

    RequestHandler::Outcome serve(uint32_t code, uint8_t *buffer, uint32_t inSize, uint32_t outSize)
    {
        // Input and output share the buffer: a small input is copied out
        // before the output is written.
        if (outSize == 0 || inSize == 0 || inSize > kLargestInputWithOutput)
            return handler->handle(code, buffer, inSize, buffer, outSize);
        uint8_t in[kLargestInputWithOutput];
        std::memcpy(in, buffer, inSize);
        return handler->handle(code, in, inSize, buffer, outSize);
    }
};

extern "C" {

KvBoard *kvBoardCreate(const char *const *names, const char *const *values, unsigned count, unsigned index,
                       char *error, unsigned errorSize)
{
    try {
        std::vector<std::pair<std::string, std::string>> pairs;
        for (unsigned i = 0; i < count; ++i)
            pairs.emplace_back(names[i], values[i]);
        std::string reason;
        const auto all = EmulatorSettings::fromNamedValues(pairs, &reason);
        if (!all) {
            copyError(reason, error, errorSize);
            return nullptr;
        }
        if (index >= all->boards) {
            copyError("there is no board " + std::to_string(index), error, errorSize);
            return nullptr;
        }
        // One queue of pended requests and one clock for it: requests pend
        // on one board only.
        if (all->boards > 1 && (all->pendRequests || all->noAnswer)) {
            copyError(std::string(all->pendRequests ? "KORVANE_EMU_PENDING" : "KORVANE_EMU_NO_ANSWER") +
                          "=1 is not accepted here with several boards: the Windows test driver pends the "
                          "requests of one board only",
                      error, errorSize);
            return nullptr;
        }
        const std::optional<EmulatorSettings> settings = all->forBoard(index);
        if (settings->failHandle) {
            copyError("KORVANE_EMU_FAIL_HANDLE is not accepted here: the Windows test driver counts the requests of "
                      "every handle together (the Linux build's emulated board counts one handle's)",
                      error, errorSize);
            return nullptr;
        }
        if (settings->socketcandPort || settings->socketcandBeacon) {
            copyError(settings->socketcandPort
                          ? "KORVANE_EMU_SOCKETCAND is not accepted here: the Windows test driver serves no "
                            "socketcand bridge (the Linux build's emulated board does)"
                          : "KORVANE_EMU_SOCKETCAND_BEACON is not accepted here: the Windows test driver serves no "
                            "socketcand bridge (the Linux build's emulated board does)",
                      error, errorSize);
            return nullptr;
        }
        auto *board = new KvBoard;
        board->settings = *settings;
        board->boards = all->boards;
        board->board = std::make_shared<Board>(*settings);
        // As on Linux: a bus log that cannot be opened is refused.
        if (!settings->busLogPath.empty() && !board->board->busLogOpen()) {
            copyError("KORVANE_EMU_BUSLOG=" + all->busLogPath + " is not accepted: the file " +
                          (all->boards > 1 ? settings->busLogPath + " " : std::string()) +
                          "cannot be opened for appending",
                      error, errorSize);
            delete board;
            return nullptr;
        }
        board->handler = std::make_unique<RequestHandler>(board->board, board->clock, *settings);
        return board;
    } catch (...) {
        copyError("the board could not be built (out of memory?)", error, errorSize);
        return nullptr;
    }
}

void kvBoardDestroy(KvBoard *board)
{
    try {
        delete board;
    } catch (...) {
    }
}

unsigned kvBoardCount(const KvBoard *board)
{
    return board->boards;
}

int kvBoardAbsent(const KvBoard *board)
{
    return board->settings.noBoard ? 1 : 0;
}

int kvBoardPends(const KvBoard *board)
{
    return board->settings.pendRequests || board->settings.noAnswer ? 1 : 0;
}

int kvBoardNeverAnswers(const KvBoard *board)
{
    return board->settings.noAnswer ? 1 : 0;
}

int64_t kvBoardLatency100ns(const KvBoard *board)
{
    return int64_t(board->settings.requestLatency / 100);
}

int64_t kvBoardNow100ns(const KvBoard *board)
{
    return int64_t(board->clock->now() / 100);
}

uint32_t kvBoardServe(KvBoard *board, uint32_t code, uint8_t *buffer, uint32_t inSize, uint32_t outSize,
                      uint32_t *returned)
{
    try {
        const RequestHandler::Outcome outcome = board->serve(code, buffer, inSize, outSize);
        *returned = outcome.returned;
        return outcome.error;
    } catch (...) {
        *returned = 0;
        return requesterror::kGenFailure;
    }
}

uint32_t kvBoardRequest(KvBoard *board, uint32_t code, uint8_t *buffer, uint32_t inSize, uint32_t outSize,
                        uint32_t *returned)
{
    try {
        const RequestHandler::Outcome outcome = board->serve(code, buffer, inSize, outSize);
        board->clock->waitUntil(outcome.doneAt);
        *returned = outcome.returned;
        return outcome.error;
    } catch (...) {
        *returned = 0;
        return requesterror::kGenFailure;
    }
}

} // extern "C"

int kvAccessAllows(uint32_t code, uint32_t access)
{
    // FILE_READ_DATA or FILE_WRITE_DATA, GENERIC_READ or GENERIC_WRITE,
    // GENERIC_ALL, MAXIMUM_ALLOWED (everything the caller may have).
    constexpr uint32_t kAny = 0x10000000u | 0x02000000u;
    constexpr uint32_t kRead = 0x0001u | 0x80000000u | kAny;
    constexpr uint32_t kWrite = 0x0002u | 0x40000000u | kAny;
    const bool onlyReads = code == ioctl::READ_REG || code == ioctl::READ_MEM;
    return (access & (onlyReads ? kRead : kWrite)) != 0;
}
