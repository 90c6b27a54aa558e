// Linked into the application on systems without the real driver: installs
// the emulated boards as \\.\CAN0 ... before main() runs, configured from the
// KORVANE_EMU_* environment variables. A bad setting is never guessed at: the
// program says which and ends with status 2 before it starts.
#include "emulateddriver.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

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
        // Every board has its own clock: boards in one PC do not share one.
        for (unsigned index = 0; index < settings->boards; ++index) {
            const boardemu::EmulatorSettings own = settings->forBoard(index);
            if (own.noBoard)
                continue;
            const std::string name = "CAN" + std::to_string(index);
            boards.push_back(std::make_unique<boardemu::EmulatedBoard>(
                own, std::make_shared<boardemu::RealClock>(), name));
            boardemu::EmulatedBoard &board = *boards.back();
            if (own.socketcandPort && !board.bridge())
                refuse(board.bridgeError());
            if (!own.busLogPath.empty() && !board.busLogOpen())
                refuse("KORVANE_EMU_BUSLOG=" + settings->busLogPath + " is not accepted: the file " +
                       (settings->boards > 1 ? own.busLogPath + " " : std::string()) +
                       "cannot be opened for appending");
        }
    }
    std::vector<std::unique_ptr<boardemu::EmulatedBoard>> boards;
};

AutoInstall g_autoInstall;

} // namespace
