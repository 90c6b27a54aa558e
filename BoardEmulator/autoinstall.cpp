// Linked into the application on systems without the real driver: installs
// the emulated board as \\.\CAN0 before main() runs, configured from the
// KORVANE_EMU_* environment variables. A bad setting is never guessed at: the
// program says which and ends with status 2 before it starts.
#include "emulateddriver.h"

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void refuse(const std::string &line)
{
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    std::exit(2);
}

struct AutoInstall {
    AutoInstall()
    {
        std::string error;
        const auto settings = boardemu::EmulatorSettings::fromEnvironment(&error);
        if (!settings)
            refuse(error);
        if (settings->pendRequests || settings->noAnswer)
            refuse(std::string(settings->pendRequests ? "KORVANE_EMU_PENDING" : "KORVANE_EMU_NO_ANSWER") +
                   "=1 is not accepted here: only the Windows test driver pends requests");
        if (settings->noBoard)
            return;
        board = std::make_unique<boardemu::EmulatedBoard>(*settings);
        if (settings->socketcandPort && !board->bridge())
            refuse(board->bridgeError());
        if (!settings->busLogPath.empty() && !board->busLogOpen())
            refuse("KORVANE_EMU_BUSLOG=" + settings->busLogPath +
                   " is not accepted: the file cannot be opened for appending");
    }
    std::unique_ptr<boardemu::EmulatedBoard> board;
};

AutoInstall g_autoInstall;

} // namespace
