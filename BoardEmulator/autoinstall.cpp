// Linked into the application on systems without the real driver: installs
// the emulated board as \\.\CAN0 before main() runs, configured from the
// KORVANE_EMU_* environment variables.
#include "emulateddriver.h"

namespace {

struct AutoInstall {
    AutoInstall()
    {
        const boardemu::EmulatorSettings settings = boardemu::EmulatorSettings::fromEnvironment();
        if (!settings.noBoard)
            board = std::make_unique<boardemu::EmulatedBoard>(settings);
    }
    std::unique_ptr<boardemu::EmulatedBoard> board;
};

AutoInstall g_autoInstall;

} // namespace
