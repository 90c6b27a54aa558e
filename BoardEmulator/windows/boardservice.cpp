#include "boardservice.h"

#include "driverrequests.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace boardemu;

namespace {

const uint32_t kErrorOperationAborted = 995;

struct Kept {
    void *request;
    void *file;
    Time doneAt; // kNever: the board does not answer
    uint32_t error;
    uint32_t returned;
    bool cancelling; // its cancel routine has begun and will complete it
};

} // namespace

struct KvBoard {
    EmulatorSettings settings;
    std::shared_ptr<Clock> clock = std::make_shared<RealClock>();
    std::shared_ptr<Board> board;
    std::unique_ptr<RequestHandler> handler;
    KvCallbacks callbacks{};

    std::mutex mutex;
    std::condition_variable changed;
    std::list<Kept> kept;
    bool stopping = false;
    std::thread worker;

    // Completes, in the order they are due, the requests that have cost
    // their latency.
    void completeDue()
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping) {
            const Time now = clock->now();
            Time next = kNever;
            auto due = kept.end();
            for (auto it = kept.begin(); it != kept.end(); ++it) {
                if (it->cancelling)
                    continue;
                if (it->doneAt <= now && (due == kept.end() || it->doneAt < due->doneAt))
                    due = it;
                else if (it->doneAt > now)
                    next = std::min(next, it->doneAt);
            }
            if (due != kept.end()) {
                if (!callbacks.claim(due->request)) {
                    due->cancelling = true;
                    continue;
                }
                const Kept done = *due;
                kept.erase(due);
                lock.unlock();
                callbacks.complete(done.request, done.error, done.returned);
                lock.lock();
                continue;
            }
            if (next == kNever) {
                changed.wait(lock);
            } else if (next - now > kMillisecond) {
                changed.wait_for(lock, std::chrono::nanoseconds(next - now - kMillisecond));
            } else {
                // Timers are coarse: the last stretch is waited out on the clock.
                lock.unlock();
                clock->waitUntil(next);
                lock.lock();
            }
        }
    }
};

extern "C" {

KvBoard *kvBoardCreate(const char *const *names, const char *const *values, unsigned count,
                       const KvCallbacks *callbacks, char *error, unsigned errorSize)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    for (unsigned i = 0; i < count; ++i)
        pairs.emplace_back(names[i], values[i]);
    std::string reason;
    const auto settings = EmulatorSettings::fromNamedValues(pairs, &reason);
    if (!settings) {
        if (errorSize) {
            std::strncpy(error, reason.c_str(), errorSize - 1);
            error[errorSize - 1] = '\0';
        }
        return nullptr;
    }
    auto *board = new KvBoard;
    board->settings = *settings;
    board->board = std::make_shared<Board>(*settings);
    board->handler = std::make_unique<RequestHandler>(board->board, board->clock, *settings);
    board->callbacks = *callbacks;
    board->worker = std::thread([board] { board->completeDue(); });
    return board;
}

void kvBoardDestroy(KvBoard *board)
{
    {
        std::lock_guard<std::mutex> lock(board->mutex);
        board->stopping = true;
    }
    board->changed.notify_all();
    board->worker.join();
    std::vector<void *> left;
    {
        std::unique_lock<std::mutex> lock(board->mutex);
        for (auto it = board->kept.begin(); it != board->kept.end();) {
            if (!it->cancelling && board->callbacks.claim(it->request)) {
                left.push_back(it->request);
                it = board->kept.erase(it);
            } else {
                it->cancelling = true; // its cancel routine completes it
                ++it;
            }
        }
        // Those cancel routines still come for their requests: the board
        // stays until they have, or for at most a few seconds.
        board->changed.wait_for(lock, std::chrono::seconds(5), [board] { return board->kept.empty(); });
    }
    for (void *request : left)
        board->callbacks.complete(request, kErrorOperationAborted, 0);
    delete board;
}

int kvBoardAbsent(const KvBoard *board)
{
    return board->settings.noBoard ? 1 : 0;
}

int kvBoardPends(const KvBoard *board)
{
    return board->settings.pendRequests || board->settings.noAnswer ? 1 : 0;
}

namespace {

// A buffered request's input and output share one buffer: the input is
// copied out first.
RequestHandler::Outcome serve(KvBoard *board, uint32_t code, uint8_t *buffer, uint32_t inSize, uint32_t outSize)
{
    const std::vector<uint8_t> in(buffer, buffer + inSize);
    return board->handler->handle(code, in.data(), inSize, buffer, outSize);
}

} // namespace

uint32_t kvBoardRequest(KvBoard *board, uint32_t code, uint8_t *buffer, uint32_t inSize, uint32_t outSize,
                        uint32_t *returned)
{
    const RequestHandler::Outcome outcome = serve(board, code, buffer, inSize, outSize);
    board->clock->waitUntil(outcome.doneAt);
    *returned = outcome.returned;
    return outcome.error;
}

void kvBoardQueue(KvBoard *board, void *request, void *file, uint32_t code, uint8_t *buffer, uint32_t inSize,
                  uint32_t outSize)
{
    Kept kept{request, file, kNever, 0, 0, false};
    if (!board->settings.noAnswer) {
        const RequestHandler::Outcome outcome = serve(board, code, buffer, inSize, outSize);
        kept.doneAt = outcome.doneAt;
        kept.error = outcome.error;
        kept.returned = outcome.returned;
    }
    bool cancelled = false;
    {
        std::lock_guard<std::mutex> lock(board->mutex);
        board->kept.push_back(kept);
        if (!board->callbacks.arm(request)) {
            board->kept.pop_back();
            cancelled = true;
        }
    }
    if (cancelled)
        board->callbacks.complete(request, kErrorOperationAborted, 0);
    else
        board->changed.notify_all();
}

int kvBoardCancel(KvBoard *board, void *request)
{
    std::lock_guard<std::mutex> lock(board->mutex);
    const auto it = std::find_if(board->kept.begin(), board->kept.end(),
                                 [request](const Kept &kept) { return kept.request == request; });
    if (it == board->kept.end())
        return 0;
    board->kept.erase(it);
    board->changed.notify_all();
    return 1;
}

void kvBoardCancelFile(KvBoard *board, void *file)
{
    std::vector<void *> cancelled;
    {
        std::lock_guard<std::mutex> lock(board->mutex);
        for (auto it = board->kept.begin(); it != board->kept.end();) {
            if (it->file == file && !it->cancelling && board->callbacks.claim(it->request)) {
                cancelled.push_back(it->request);
                it = board->kept.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (void *request : cancelled)
        board->callbacks.complete(request, kErrorOperationAborted, 0);
}

} // extern "C"
