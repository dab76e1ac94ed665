#!/usr/bin/env bash
# Cross-builds (scripts/windows-build.sh: the programs, their tests, the MSI and the zip) and
# runs every Windows test under wine through CTest:
#   scripts/windows-test.sh [BUILD_DIR [CMAKE_ARGS...]]       (BUILD_DIR: build-windows)
# Wine gets a prefix of its own in BUILD_DIR/wine-prefix (scripts/windows-prefix.sh), the
# window tests an X server of their own (Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/windows-xvfb.sh
dir=${1:-build-windows}
bash scripts/windows-build.sh "$@"
bash scripts/windows-prefix.sh "$dir/wine-prefix"
export WINEPREFIX=$(realpath -m "$dir")/wine-prefix
export WINEDEBUG=-all
# One wine server for the whole run (a server left by an earlier run of this prefix goes
# first); only this prefix's server is ended afterwards, before the X server its programs use.
/usr/lib/wine/wineserver -k 2>/dev/null || true
/usr/lib/wine/wineserver -w
/usr/lib/wine/wineserver -p
# The prefix's services start with the first program and keep its output open: started here,
# they do not hold a test's output (which ctest reads to its end).
/usr/lib/wine/wine64 wineboot.exe --init </dev/null >/dev/null 2>&1
XVFB_PID=
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true; [[ -z $XVFB_PID ]] || kill "$XVFB_PID"' EXIT
# Windows only where a test asks for them (label display): a console given a display behaves
# otherwise (the Ctrl-C tests' own console).
failed=0
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" -LE display || failed=1
start_xvfb
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" -L display || failed=1
exit $failed
