#!/usr/bin/env bash
# Runs a cross-built Windows program under wine: wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# CMake uses it as the emulator of the Windows build, so ctest runs every test through it.
# WINEPREFIX, when set, wins over PREFIX; either may be relative (wine takes absolute ones only).
# A prefix for windows on a bare X server is made by scripts/windows-prefix.sh.
set -euo pipefail
prefix=${WINEPREFIX:-${1:?usage: wine-run.sh PREFIX PROGRAM.exe [ARGS...]}}
shift
export WINEPREFIX=$(realpath -m "$prefix")
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs should wine make the prefix (nothing here needs them), no
# menu entries on this machine's desktop for shortcuts made in it.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
exec /usr/lib/wine/wine64 "$@"
