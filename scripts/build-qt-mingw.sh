#!/usr/bin/env bash
# Builds Qt 5 for 64-bit Windows with MinGW-w64 from Debian's own source
# package (qtbase-opensource-src) and installs it into a cache outside the
# work tree, keyed by Qt's version and this configuration:
#   ${KORVANE_QT_MINGW_CACHE:-$XDG_CACHE_HOME/korvane or ~/.cache/korvane}/qt5-mingw-<version>-<key>
# A cache that is complete is reused at once. The build happens in a scratch
# folder, staged into "<cache>.partial", which becomes the cache only after
# the last step succeeded: an interrupted or failed build leaves nothing
# that looks complete (and the next run starts it again).
#
# Prints the install folder on its last line of stdout; everything else goes
# to stderr. Only what the tool needs is built: Core, Gui, Widgets, Test, the
# Windows platform plugin and the styles; no OpenGL, network, SQL, D-Bus,
# printing, ICU.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup-debian.sh" cross qtsource >&2

say() { echo "build-qt-mingw: $*" >&2; }
started=$(date +%s)

# The configuration. Debian's tarball lacks the tablet library (not free),
# so tablet events are left out; nothing of the tool uses them.
options=(-xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
         -opensource -confirm-license -release -shared
         -nomake examples -nomake tests -no-opengl -no-dbus -no-openssl -no-icu -no-fontconfig
         -qt-zlib -qt-pcre -qt-libpng -no-libjpeg -no-freetype -qt-harfbuzz
         -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql
         -no-feature-network -no-feature-sql -no-feature-printer -no-feature-concurrent
         -no-feature-xml -no-feature-tabletevent -platform linux-g++)

compiler=$(readlink -f "$(command -v x86_64-w64-mingw32-g++-posix)")
version=$(dpkg-query -W -f='${Version}' qtbase5-dev 2>/dev/null || true)
if [ -z "$version" ]; then
    version=$(apt-cache show qtbase5-dev | sed -n 's/^Version: //p' | head -n 1)
fi
upstream=${version#*:}
upstream=${upstream%%+*}
upstream=${upstream%%-*}
key=$( { printf '%s\n' "${options[@]}"; echo "$version"; "$compiler" --version | head -n 1; } |
       sha256sum | cut -c1-12)
cache_root=${KORVANE_QT_MINGW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/korvane}
prefix=$cache_root/qt5-mingw-$upstream-$key
stamp=$prefix/korvane-qt-complete

if [ -f "$stamp" ]; then
    say "reusing $prefix (built $(cat "$stamp"))"
    echo "$prefix"
    exit 0
fi

say "no complete build at $prefix: building Qt $version for MinGW-w64 (about 20-45 minutes on 2 cores)"
mkdir -p "$cache_root"
# One build at a time; what an earlier, interrupted one left is removed.
exec 9>"$cache_root/.build-lock"
flock 9
if [ -f "$stamp" ]; then
    say "another run built it meanwhile: reusing $prefix"
    echo "$prefix"
    exit 0
fi
partial=$prefix.partial
rm -rf "$partial" "$cache_root"/qt5-mingw-build.*
work=$(mktemp -d "$cache_root/qt5-mingw-build.XXXXXX")
chmod 755 "$work"   # apt-get source hands the download to its own user
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# apt-get source needs a deb-src entry: one beside each deb822 source of the
# configured mirror, when none exists. apt checks the source package against
# the signed index as it does binaries.
if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    for list in /etc/apt/sources.list.d/*.sources; do
        [ -f "$list" ] || continue
        say "adding deb-src beside $list"
        sed 's/^Types: deb$/Types: deb-src/' "$list" |
            "${sudo[@]}" tee "${list%.sources}-src.sources" >/dev/null
    done
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
            "${sudo[@]}" tee /etc/apt/sources.list.d/korvane-deb-src.list >/dev/null
    fi
    "${sudo[@]}" apt-get update -qq >&2
fi

step() {
    local what=$1; shift
    local t0; t0=$(date +%s)
    say "$what"
    "$@"
    say "$what: $(( $(date +%s) - t0 )) s"
}

# Qt's make files call x86_64-w64-mingw32-gcc and -g++: make them the posix
# thread model's (the win32 model lacks std::thread), whatever the
# alternatives say.
mkdir "$work/bin"
for tool in gcc g++; do
    ln -s "$(command -v x86_64-w64-mingw32-$tool-posix)" "$work/bin/x86_64-w64-mingw32-$tool"
done
export PATH=$work/bin:$PATH

cd "$work"
step "fetching qtbase-opensource-src=$version" \
    apt-get source --download-only -qq "qtbase-opensource-src=$version" >&2
# Unpacked with Debian's patches applied (its security fixes among them).
step "unpacking with Debian's patches" dpkg-source --no-check -x qtbase-opensource-src_*.dsc src >&2
src=$work/src
mkdir build
cd build
jobs=$(nproc)
step "configuring" "$src/configure" -prefix "$prefix" "${options[@]}" >"$work/configure.log" 2>&1 ||
    { tail -n 40 "$work/configure.log" >&2; exit 1; }
step "building with make -j$jobs" make -j"$jobs" >"$work/make.log" 2>&1 ||
    { grep -B5 -A5 -m 20 'error' "$work/make.log" | tail -n 60 >&2; exit 1; }
step "installing" make install INSTALL_ROOT="$work/root" >"$work/install.log" 2>&1 ||
    { tail -n 40 "$work/install.log" >&2; exit 1; }
mv "$work/root$prefix" "$partial"
# Qt's licences travel with its DLLs.
mkdir -p "$partial/licenses"
cp "$src"/LICENSE.LGPL3 "$src"/LICENSE.GPL2 "$src"/LICENSE.GPL3 "$partial/licenses/"
cp "$src"/debian/copyright "$partial/licenses/qtbase-copyright"

# The tool links through CMake and runs with the Windows plugins.
for needed in licenses lib/cmake/Qt5Widgets/Qt5WidgetsConfig.cmake lib/cmake/Qt5Test/Qt5TestConfig.cmake \
              bin/Qt5Core.dll bin/Qt5Gui.dll bin/Qt5Widgets.dll bin/Qt5Test.dll \
              plugins/platforms/qwindows.dll plugins/styles/qwindowsvistastyle.dll; do
    [ -e "$partial/$needed" ] || { say "the build did not install $needed"; exit 1; }
done
# Qt was configured for the final folder and staged aside (INSTALL_ROOT):
# the rename below is the last step.
date -u +%Y-%m-%dT%H:%M:%SZ >"$partial/korvane-qt-complete"
rm -rf "$prefix"
mv "$partial" "$prefix"
say "Qt $upstream for MinGW-w64 installed in $prefix in $(( ($(date +%s) - started) / 60 )) min"
echo "$prefix"
