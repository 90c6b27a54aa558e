// Starting and stopping the workers' threads: one way for the window and the
// headless runner alike.
#ifndef WORKERTHREADS_H
#define WORKERTHREADS_H

#include "ReceiveTh.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QThread>

#include <functional>
#include <type_traits>

// How long a worker may take to stop, and its name for the line that says
// it did not. A plain stop lets the worker finish the group under way; a
// transmitter still running after finishMs is aborted (it gives up what is
// pending) and has abortMs more.
struct StopDeadline {
    const char *worker; // "the transmit worker"
    qint64 finishMs;
    qint64 abortMs;
    qint64 totalMs() const { return finishMs + abortMs; }
};

// The window's: a worker whose driver calls all return stops within these;
// one that does not is waited for all the same (a running thread cannot be
// left behind), with a line that says so.
constexpr StopDeadline kWindowTransmitStop{"the transmit worker", 15000, 5000};
constexpr StopDeadline kWindowReceiveStop{"the receive worker", 5000, 0};

// While a stop waits: carry on, abort now (skip the rest of finishMs), or
// give the wait up at once.
enum class StopWait { Go, Abort, GiveUp };
enum class StopOutcome { NotRunning, Stopped, StoppedAborted, GaveUp, Overdue };

namespace workerthreads {

template <typename Worker, typename = void> struct CanAbort : std::false_type {
};
template <typename Worker>
struct CanAbort<Worker, std::void_t<decltype(std::declval<Worker &>().AbortWork())>> : std::true_type {
};

// Waits up to ms for the thread; `waiting` is asked every few milliseconds.
inline StopWait waitForThread(QThread &thread, qint64 ms, const std::function<StopWait()> &waiting, bool *ended)
{
    QElapsedTimer timer;
    timer.start();
    while (!(*ended = thread.wait(waiting ? 5 : 50))) {
        if (waiting) {
            const StopWait asked = waiting();
            if (asked != StopWait::Go)
                return asked;
        }
        if (timer.elapsed() >= ms)
            break;
    }
    return StopWait::Go;
}

} // namespace workerthreads

// Stops a worker and waits for its thread within the deadline. abortAtOnce
// skips the finishing of the group under way.
template <typename Worker>
StopOutcome stopWorkerWithin(QThread &thread, Worker &worker, const StopDeadline &deadline, bool abortAtOnce = false,
                             const std::function<StopWait()> &waiting = {})
{
    if (!thread.isRunning())
        return StopOutcome::NotRunning;
    constexpr bool canAbort = workerthreads::CanAbort<Worker>::value;
    // Once there is nothing left to abort, only giving up counts.
    const std::function<StopWait()> onlyGiveUp =
        waiting ? std::function<StopWait()>(
                      [&waiting] { return waiting() == StopWait::GiveUp ? StopWait::GiveUp : StopWait::Go; })
                : std::function<StopWait()>();
    bool ended = false;
    if (!(canAbort && abortAtOnce)) {
        worker.StopWork();
        thread.quit();
        const StopWait asked =
            workerthreads::waitForThread(thread, deadline.finishMs, canAbort ? waiting : onlyGiveUp, &ended);
        if (ended)
            return StopOutcome::Stopped;
        if (asked == StopWait::GiveUp)
            return StopOutcome::GaveUp;
    }
    if constexpr (canAbort) {
        worker.AbortWork();
        thread.quit();
        const StopWait asked = workerthreads::waitForThread(thread, deadline.abortMs, onlyGiveUp, &ended);
        if (ended)
            return StopOutcome::StoppedAborted;
        if (asked == StopWait::GiveUp)
            return StopOutcome::GaveUp;
    }
    return StopOutcome::Overdue;
}

// The window's stop: within its deadline, or said and waited for.
template <typename Worker> bool stopWorker(QThread &thread, Worker &worker, const StopDeadline &deadline)
{
    const StopOutcome outcome = stopWorkerWithin(thread, worker, deadline);
    if (outcome == StopOutcome::Overdue) {
        qDebug() << deadline.worker << "did not stop within" << deadline.totalMs() / 1000
                 << "s (a driver request that does not return?); waiting for it";
        thread.wait();
    }
    return outcome != StopOutcome::NotRunning;
}

// Starts the receive worker and returns once it has cleared and set up DMA
// (or given up): a transmitter started only then cannot have its first
// frames cleared away.
inline void startReceiverAndWait(QThread &thread, CReceiveTh &receiver)
{
    receiver.ClearReady();
    thread.start(QThread::InheritPriority);
    while (!receiver.IsReady() && thread.isRunning())
        QThread::yieldCurrentThread();
}

#endif
