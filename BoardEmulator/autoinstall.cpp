// Linked into the application on systems without the real driver: installs
// the emulated boards as \\.\CAN0 ... before main() runs, configured from the
// KORVANE_EMU_* environment variables. A bad setting is never guessed at:
// as a Windows driver that refuses its settings does not start, the boards
// do not appear (opening \\.\CAN0 fails, and the program says so its own
// way), and one line names the setting and what is accepted.
#include "emulateddriver.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

struct AutoInstall {
    AutoInstall()
    {
        const std::string refusal = install();
        if (refusal.empty())
            return;
        boards.clear();
        std::fprintf(stderr, "%s\n", refusal.c_str());
        std::fflush(stderr);
    }

    // Every board, or why none.
    std::string install()
    {
        std::string error;
        const auto settings = boardemu::EmulatorSettings::fromEnvironment(&error);
        if (!settings)
            return error;
        if (settings->pendRequests || settings->noAnswer)
            return std::string(settings->pendRequests ? "KORVANE_EMU_PENDING" : "KORVANE_EMU_NO_ANSWER") +
                   "=1 is not accepted here: only the Windows test driver pends requests";
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
                return board.bridgeError();
            if (!own.busLogPath.empty() && !board.busLogOpen())
                return "KORVANE_EMU_BUSLOG=" + settings->busLogPath + " is not accepted: the file " +
                       (settings->boards > 1 ? own.busLogPath + " " : std::string()) + "cannot be opened for appending";
        }
        return std::string();
    }

    std::vector<std::unique_ptr<boardemu::EmulatedBoard>> boards;
};

AutoInstall g_autoInstall;

} // namespace
