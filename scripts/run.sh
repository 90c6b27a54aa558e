#!/usr/bin/env bash
# Installs what is missing, builds, and starts the application on the
# emulated board. Without a display it runs the scripted demonstration under
# Xvfb instead and says where its screenshots are.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${DISPLAY:-}" ]; then
    scripts/setup-debian.sh build demo
else
    scripts/setup-debian.sh build
fi
cmake -S . -B build-app -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build build-app --target KorvaneSoft korvane-check
if [ -n "${DISPLAY:-}" ]; then
    exec build-app/Main/KorvaneSoft
fi
echo "No display: running the demonstration under Xvfb."
exec scripts/demo.sh build-app/Main/KorvaneSoft
