#!/usr/bin/env bash
# The Win32 window's UI-stall benchmark under wine, on an X server of its own: for each action,
# with a working engine, a silent one and one pulled out mid-command, the longest time the UI
# thread was kept from its message loop:
#   scripts/windows-bench.sh [BUILD_DIR]           (BUILD_DIR: build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/windows-xvfb.sh
dir=${1:-build-windows}
bash scripts/windows-build.sh "$dir" >/dev/null
wine_display "$dir"
/usr/lib/wine/wine64 "$dir/bin/win32ui_bench.exe"
