#!/usr/bin/env bash
# Compiles every source of the Qt application and of the headless runner, and
# the code that moc and uic generate for them, with the MinGW-w64 cross compiler against the real
# windows.h and the Qt headers: syntax only, since Debian has no Qt for
# Windows to link with. Catches windows.h macros clashing with Qt or with our
# names, and code that only GCC on Linux accepts. Warnings are errors, except
# the attribute warnings that Qt's export macros raise there.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh build cross

# moc and uic output, from a Linux configuration of the same sources.
build=build-wincheck
cmake -S . -B "$build" -G Ninja -DKORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target KorvaneWorkers_autogen KorvaneApp_autogen korvane-check_autogen >/dev/null

qt=$(pkg-config --variable=includedir Qt5Core)
flags=(-std=c++17 -fsyntax-only -Wall -Wextra -Werror -Wno-attributes
       -DQT_MESSAGELOGCONTEXT -DQT_CORE_LIB -DQT_GUI_LIB -DQT_WIDGETS_LIB -DQT_DEPRECATED_WARNINGS
       -IMain -ICheck -ICanLib -IBoardEmulator
       -I"$build/Main/KorvaneApp_autogen/include" -I"$build/Main/KorvaneApp_autogen"
       -I"$qt" -I"$qt/QtCore" -I"$qt/QtGui" -I"$qt/QtWidgets")
sources=(Main/*.cpp Check/*.cpp BoardEmulator/canframe.cpp
         "$build/Main/KorvaneWorkers_autogen/mocs_compilation.cpp"
         "$build/Main/KorvaneApp_autogen/mocs_compilation.cpp"
         "$build/Check/korvane-check_autogen/mocs_compilation.cpp")
failed=0
for source in "${sources[@]}"; do
    if x86_64-w64-mingw32-g++-posix "${flags[@]}" "$source"; then
        echo "  windows syntax ok: $source"
    else
        failed=1
    fi
done
exit $failed
