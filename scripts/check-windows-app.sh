#!/usr/bin/env bash
# Links the application and the headless runner for 64-bit Windows: the
# MinGW-w64 cross compiler, Qt 5 for MinGW-w64 built from Debian's source
# (scripts/build-qt-mingw.sh, cached outside the tree) and CanLib's Windows
# build against the real windows.h. Then checks what was linked: PE programs
# for x86-64 that import Qt's DLLs, with nothing of the Win32 subset or of
# the emulated board in them (the board is the driver's): neither their
# settings' names among the programs' strings nor any of the emulator's code
# among their symbols (its namespace, boardemu::), checked on a symbol table
# that holds the product's own code, so that the check cannot pass on a
# stripped program.
#
# Usage: scripts/check-windows-app.sh [BUILD_FOLDER] [CMAKE_BUILD_TYPE]
# (defaults: build-windows, Debug); the tests' Windows programs are built
# too unless the build type is Release (the package's build).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh cross
build=${1:-build-windows}
type=${2:-Debug}
qt=$(scripts/build-qt-mingw.sh | tail -n 1)
tests=ON
[ "$type" = Release ] && tests=OFF
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DKORVANE_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DKORVANE_BUILD_APP=ON -DKORVANE_BUILD_TESTS=$tests \
    -DKORVANE_QT_MINGW="$qt" >/dev/null
cmake --build "$build"

failed=0
for program in "$build/bin/KorvaneSoft.exe" "$build/bin/korvane-check.exe"; do
    header=$(x86_64-w64-mingw32-objdump -f "$program" | grep -o 'file format .*')
    imports=$(x86_64-w64-mingw32-objdump -p "$program" | sed -n 's/^\tDLL Name: //p' | tr '\n' ' ')
    if [ "$header" != "file format pei-x86-64" ]; then
        echo "  $program: $header, not a 64-bit Windows program" >&2; failed=1
    elif ! grep -q 'Qt5Core.dll' <<<"$imports"; then
        echo "  $program: does not import Qt5Core.dll ($imports)" >&2; failed=1
    elif strings "$program" | grep -q -e 'KORVANE_EMU_' -e 'win32subset'; then
        echo "  $program: holds parts of the emulated board or of the Win32 subset" >&2; failed=1
    elif ! symbols=$(x86_64-w64-mingw32-nm -C "$program") || ! grep -q 'CCANDeviceEx::' <<<"$symbols"; then
        echo "  $program: no symbol table with the product's code to check" >&2; failed=1
    elif grep -E 'boardemu::|Win32Subset|devicetable' <<<"$symbols" | head -n 5 | grep .; then
        echo "  $program: links code of the emulated board or of the Win32 subset (symbols above)" >&2; failed=1
    else
        echo "  windows link ok: $program (imports $imports)"
    fi
done
exit $failed
