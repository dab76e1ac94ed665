#!/usr/bin/env bash
# Start-up against a bare Qt dialog: starts kq7300tool (against the virtual engine and against
# no engine) and a bare dialog of the same build (empty, and with one line of text) in turn on an
# X server of its own, several runs each, and prints the median time from the process start to
# the window mapped and to its first paint, and the ratios to the dialogs
# (scripts/startup_bench.py). Builds what it runs in BUILD_DIR, configuring it RelWithDebInfo
# when it has no build yet.
#   scripts/startup-bench.sh [BUILD_DIR [RUNS [LANGUAGE]]]    (defaults: build-bench, 15, English)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
bash scripts/deps.sh "${BUILD_PACKAGES[@]}" "${RUN_PACKAGES[@]}" "${PING_PACKAGES[@]}" libgtest-dev libgmock-dev
dir=${1:-build-bench}
runs=${2:-15}
language=${3:-English}
if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$dir" --target kq7300tool kq_language_files bench_bare_dialog
grep -E '^CMAKE_BUILD_TYPE:' "$dir/CMakeCache.txt" | sed 's/^.*=/build type: /'

source scripts/windows-xvfb.sh
start_xvfb
scratch=$(mktemp -d)
trap 'kill "$XVFB_PID" 2>/dev/null; rm -rf "$scratch"' EXIT
export QT_QPA_PLATFORM=xcb
# No first-run language question: the user's own Config.ini names the language.
export XDG_CONFIG_HOME="$scratch"
mkdir -p "$scratch/kq7300"
printf '[themes]\nSolution=%s\n' "$language" >"$scratch/kq7300/Config.ini"
bin=$(cd "$dir/bin" && pwd)
/usr/bin/python3 -B scripts/startup_bench.py --runs "$runs" --yardsticks 2 -- \
    "kq7300tool --virtual-engine=$bin/kq7300tool" --virtual-engine -- \
    "kq7300tool, no engine=$bin/kq7300tool" -- \
    "bare dialog=$bin/bench_bare_dialog" -- \
    "bare dialog + text=$bin/bench_bare_dialog" --text
