#!/usr/bin/env bash
# The package a Windows test station installs, made and proven: a Release
# build of both programs, CPack's NSIS installer and ZIP
# (KorvaneSoft-<version>-win64.exe and .zip), then under Wine in a fresh
# prefix: a silent install, the installed window's scenario and the installed
# runner against the emulated board as a driver (so the package carries all
# they need), a silent uninstall, and nothing of it left behind.
#
# Usage: scripts/windows-package-test.sh [RESULT_FOLDER]
# (default build-windows-package/package-test). The driver and the debug
# viewer come from build-windows (scripts/test-windows.sh builds them).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
scripts/setup-debian.sh cross package winedesktop
build=build-windows-package
results=${1:-$here/$build/package-test}
say() { echo "windows-package-test: $*"; }
fail() { echo "windows-package-test: FAILED: $*" >&2; exit 1; }

scripts/check-windows-app.sh "$build" Release
rm -f "$build"/KorvaneSoft-*-win64.exe "$build"/KorvaneSoft-*-win64.zip
(cd "$build" && cpack -G "NSIS;ZIP" >cpack.log 2>&1) || { tail -n 30 "$build/cpack.log" >&2; fail "cpack"; }
installer=$(ls "$build"/KorvaneSoft-*-win64.exe)
archive=$(ls "$build"/KorvaneSoft-*-win64.zip)
say "made $installer ($(du -h "$installer" | cut -f1)) and $archive ($(du -h "$archive" | cut -f1))"

rm -rf "$results"
mkdir -p "$results"
# One display for the whole life of the prefix: Wine's desktop process
# belongs to the first program of a server session, and one started without
# a display (by the installer, say) leaves the window nowhere to be made.
. scripts/lib/xvfb.sh
[ -n "${DISPLAY:-}" ] || { start_xvfb; trap stop_xvfb EXIT; }
export WINEPREFIX=$results/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
timeout 300 wineboot -i >"$results/wineboot.log" 2>&1
timeout 120 wineserver -w
target="C:\\Program Files\\KorvaneSoft"
installed=$WINEPREFIX/drive_c/Program\ Files/KorvaneSoft
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KorvaneSoft'
vendor_key='HKLM\Software\Korvane\KorvaneSoft'
timeout 300 wine "$installer" /S >"$results/install.log" 2>&1 || fail "the installer failed (status $?)"
timeout 120 wineserver -w
[ -f "$installed/KorvaneSoft.exe" ] || fail "nothing installed in $target"
for key in "$uninstall_key" "$vendor_key"; do
    timeout 60 wine reg query "$key" >/dev/null 2>&1 || fail "the installer made no $key"
done
say "installed in $target: $(cd "$installed" && find . -type f | wc -l) files"

# The ZIP holds what the installer installs (besides its uninstaller).
python3 -c 'import sys, zipfile; print("\n".join(n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/")))' \
    "$archive" | sort >"$results/zip.txt"
(cd "$installed" && find . -type f ! -name Uninstall.exe | sed 's|^\./||' | sort) >"$results/installed.txt"
diff -u "$results/zip.txt" "$results/installed.txt" || fail "the ZIP and the installation differ"

# The installed programs against the driver, in the same prefix.
scripts/windows-scenario.sh "$installed" "$results/screenshots" || fail "the installed window's scenario"
KORVANE_WINE_TIMEOUT=300 scripts/wine-board.sh "$installed/korvane-check.exe" --rate 500 --seconds 2 \
    >"$results/runner.out" 2>&1 || { tail -n 5 "$results/runner.out" >&2; fail "the installed runner"; }
grep -q '^PASS' "$results/runner.out" || fail "the installed runner did not pass"
say "the installed runner passed: $(grep '^1->2 at' "$results/runner.out" | cut -c1-80)..."

# The uninstaller copies itself away and returns at once: wait for its work.
export WINEDEBUG=-all
timeout 300 wine "$installed/Uninstall.exe" /S >"$results/uninstall.log" 2>&1 || fail "the uninstaller failed"
for _ in $(seq 300); do [ -e "$installed" ] || break; sleep 0.2; done
timeout 120 wineserver -w
# The board's driver was the test's own, not the package's.
left=$( (cd "$WINEPREFIX/drive_c" && find . -ipath '*korvane*' ! -path './windows/system32/drivers/korvane-board.sys') || true)
[ -z "$left" ] || fail "left behind in C:: $left"
for key in "$uninstall_key" "$vendor_key"; do
    if timeout 60 wine reg query "$key" >/dev/null 2>&1; then
        fail "$key is still in the registry"
    fi
done
timeout 60 wineserver -k || true
say "uninstalled: nothing of it left in C: or in the registry"
say "passed"
