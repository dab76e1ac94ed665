#!/usr/bin/env bash
# Cross-builds (scripts/windows-build.sh) and runs every Windows test under wine through CTest:
#   scripts/windows-test.sh [BUILD_DIR [CMAKE_ARGS...]]       (BUILD_DIR: build-windows)
# Wine gets a prefix of its own in BUILD_DIR/wine-prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-windows}
bash scripts/windows-build.sh "$@"
export WINEPREFIX=$(realpath -m "$dir")/wine-prefix
export WINEDEBUG=-all
# One wine server for the whole run (a server left by an earlier run of this prefix goes
# first); only this prefix's server is ended afterwards.
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -k 2>/dev/null || true
/usr/lib/wine/wineserver -p
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
# The first start makes the prefix (some seconds): done once here, not by tests side by side.
/usr/lib/wine/wine64 wineboot.exe --init
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
