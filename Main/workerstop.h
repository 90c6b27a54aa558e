// How a worker is asked to stop, every worker alike.
#ifndef WORKERSTOP_H
#define WORKERSTOP_H

#include <QObject>
#include <QThread>

#include <atomic>

// A worker's stop request: the flag, and the worker's thread asked to stop
// too, since a stop that arrives after the thread was started but before
// work() cleared the flag would be lost; the thread's own request is not.
namespace workerstop {
inline void request(std::atomic<bool> &flag, const QObject &worker)
{
    flag = true;
    QThread *thread = worker.thread();
    if (thread && thread != QThread::currentThread())
        thread->requestInterruption();
}
inline bool requested(const std::atomic<bool> &flag)
{
    return flag || QThread::currentThread()->isInterruptionRequested();
}
} // namespace workerstop

#endif
