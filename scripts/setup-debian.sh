#!/usr/bin/env bash
# Installs the Debian packages that a task needs, only those missing.
# Usage: scripts/setup-debian.sh build|qt6|demo|cross|fuzz|qtsource|package|winedesktop|socketcand|report ...
set -euo pipefail

packages=(cmake ninja-build g++ make pkg-config ccache qtbase5-dev qtbase5-dev-tools libgtest-dev)
for task in "$@"; do
    case "$task" in
        build) ;;
        qt6) packages+=(qt6-base-dev qt6-base-dev-tools libgl-dev) ;;
        demo) packages+=(xvfb xdotool x11-utils imagemagick) ;;
        cross) packages+=(g++-mingw-w64-x86-64-posix wine64 wine) ;;
        fuzz) packages+=(clang libclang-rt-14-dev llvm) ;;
        qtsource) packages+=(dpkg-dev xz-utils perl python3 make) ;;
        package) packages+=(nsis) ;;
        winedesktop) packages+=(xvfb xdotool x11-utils imagemagick fonts-wine) ;;
        socketcand) packages+=(python3-can tshark) ;;
        report) packages+=(chromium) ;;
        *) echo "unknown task: $task" >&2; exit 2 ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    sudo=()
elif command -v sudo >/dev/null; then
    sudo=(sudo)
else
    echo "Missing packages and no root rights: ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
