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
# One wine server for each of the two runs below (a server left by an earlier run of this prefix
# goes first); only this prefix's server is ended, before the X server its programs use.
/usr/lib/wine/wineserver -k 2>/dev/null || true
/usr/lib/wine/wineserver -w
# The prefix's services start with the first program, its desktop with the first console or
# window, and each keeps the output of the program that started it open (wine hands its own
# stderr on) for as long as it runs: started here, they hold no test's output, which ctest reads
# to its end. The desktop is started for the display each run has.
start_session() {
    /usr/lib/wine/wineserver -p
    /usr/lib/wine/wine64 wineboot.exe --init </dev/null >/dev/null 2>&1
    /usr/lib/wine/wine64 explorer.exe /desktop </dev/null >/dev/null 2>&1 &
}
end_session() {
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    /usr/lib/wine/wineserver -w
}
XVFB_PID=
trap 'end_session; [[ -z $XVFB_PID ]] || kill "$XVFB_PID"' EXIT
# Windows only where a test asks for them (label display): a console given a display behaves
# otherwise (the Ctrl-C tests' own console).
failed=0
start_session
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" -LE display || failed=1
# The second run's log would replace this one's.
log=$dir/Testing/Temporary/LastTest.log
[[ ! -f $log ]] || cp "$log" "${log%.log}-console.log"
end_session
start_xvfb
start_session
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" -L display || failed=1
exit $failed
