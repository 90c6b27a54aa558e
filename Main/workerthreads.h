// Starting and stopping the workers' threads, as the window and the headless
// runner both do it.
#ifndef WORKERTHREADS_H
#define WORKERTHREADS_H

#include "ReceiveTh.h"

#include <QThread>

// Ends a running worker's loop and its thread; tells whether it ran.
template <typename Worker> bool stopWorker(QThread &thread, Worker &worker)
{
    if (!thread.isRunning())
        return false;
    worker.StopWork();
    thread.quit();
    thread.wait();
    return true;
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
