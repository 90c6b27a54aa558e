#include "runsignals.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <initializer_list>

#ifdef _WIN32
#include <windows.h>
#endif

namespace runsignals {

namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_insisted{false};

void count()
{
    if (g_interrupted.exchange(true))
        g_insisted = true;
}

extern "C" void onSignal(int)
{
    count();
}

#ifdef _WIN32
std::atomic<bool> g_finished{false};

// Ctrl+C and Ctrl+Break end the run as a signal does. A console that closes,
// a logoff or a shutdown ends the process as soon as this returns: the run is
// given the few seconds Windows allows to stop and write its summary.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    count();
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        g_insisted = true;
        for (int waited = 0; waited < 4500 && !g_finished; waited += 10)
            Sleep(10);
    }
    return TRUE;
}
#endif

} // namespace

void catchSignals()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    std::signal(SIGTERM, onSignal);
#else
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    // A closed pipe and a file grown past the process's limit are write
    // errors, said as such, not the end of the run.
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
    sigaction(SIGXFSZ, &action, nullptr);
#endif
}

bool interrupted()
{
    return g_interrupted;
}

bool insisted()
{
    return g_insisted;
}

void finished()
{
#ifdef _WIN32
    g_finished = true;
#endif
}

} // namespace runsignals
