#!/usr/bin/env bash
# Runs a cross-built Windows program under wine: wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# CMake uses it as the emulator of the Windows build, so ctest runs every test through it.
# WINEPREFIX, when set, wins over PREFIX.
set -euo pipefail
export WINEPREFIX=${WINEPREFIX:-$1}
shift
export WINEDEBUG=${WINEDEBUG:--all}
exec /usr/lib/wine/wine64 "$@"
