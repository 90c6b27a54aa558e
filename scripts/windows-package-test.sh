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
# viewer come from build-windows (scripts/test-windows.sh builds them). The
# prefix is RESULT_FOLDER/prefix, made anew (or WINEPREFIX, which should name
# a prefix without the package); the Wine servers started for it are
# stopped, any other is left running (scripts/lib/wine.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/lib/wine.sh
. scripts/lib/xvfb.sh
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

# A prefix of a previous run, made here, goes with the results.
[ -n "${WINEPREFIX:-}" ] || wine_prefix_remove "$results/prefix"
rm -rf "$results"
mkdir -p "$results"
results=$(cd "$results" && pwd)
# One display for the whole life of the prefix: Wine's desktop process
# belongs to the first program of a server session, and one started without
# a display (by the installer, say) leaves the window nowhere to be made.
need_display
wine_use_prefix "$results/prefix"
wine_make_prefix "$results/wineboot.log"
# The installer's and the checks' session; it ends before the installed
# programs run, each in sessions of its own, and a new one uninstalls.
wine_server_start
target="C:\\Program Files\\KorvaneSoft"
installed=$WINEPREFIX/drive_c/Program\ Files/KorvaneSoft
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KorvaneSoft'
vendor_key='HKLM\Software\Korvane\KorvaneSoft'
status=0
run_child timeout 300 wine "$installer" /S </dev/null >"$results/install.log" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "the installer failed (status $status)"
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
wine_server_stop
run_child scripts/windows-scenario.sh "$installed" "$results/screenshots" || fail "the installed window's scenario"
run_child env KORVANE_WINE_TIMEOUT=300 scripts/wine-board.sh "$installed/korvane-check.exe" --rate 500 \
    --seconds 2 </dev/null >"$results/runner.out" 2>&1 || { tail -n 5 "$results/runner.out" >&2; fail "the installed runner"; }
grep -q '^PASS' "$results/runner.out" || fail "the installed runner did not pass"
say "the installed runner passed: $(grep '^1->2 at' "$results/runner.out" | cut -c1-80)..."

# The uninstaller copies itself away and returns at once: what it leaves
# behind is waited for to go, and what is left after a minute is the failure.
wine_server_start
status=0
run_child timeout 300 wine "$installed/Uninstall.exe" /S </dev/null >"$results/uninstall.log" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "the uninstaller failed (status $status)"
# The board's driver was the test's own, not the package's.
left_in_c() {
    (cd "$WINEPREFIX/drive_c" && find . -ipath '*korvane*' ! -path './windows/system32/drivers/korvane-board.sys')
}
left_in_registry() {
    local key
    for key in "$uninstall_key" "$vendor_key"; do
        timeout 60 wine reg query "$key" >/dev/null 2>&1 && echo "$key"
    done
    return 0
}
nothing_left() { [ -z "$(left_in_c)" ] && [ -z "$(left_in_registry)" ]; }
wait_for 60 nothing_left || true
left=$(left_in_c)
[ -z "$left" ] || fail "left behind in C:: $left"
left=$(left_in_registry)
[ -z "$left" ] || fail "still in the registry: $left"
wine_server_stop
say "uninstalled: nothing of it left in C: or in the registry"
say "passed"
