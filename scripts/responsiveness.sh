#!/usr/bin/env bash
# Checks from outside the program that the window stays responsive: starts kq7300tool under an X
# server of its own against a virtual engine that never answers, clicks through the pages and
# prints the largest _NET_WM_PING round trip per action (scripts/ping_window.py).
#   scripts/responsiveness.sh [BUILD_DIR [ENGINE_SETTINGS]]    (defaults: build, mode=mute)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
bash scripts/deps.sh "${BUILD_PACKAGES[@]}" "${RUN_PACKAGES[@]}" "${PING_PACKAGES[@]}"
dir=${1:-build}
settings=${2:-mode=mute}
if [ ! -x "$dir/bin/kq7300tool" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKQ_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$dir" --target kq7300tool kq_language_files

scratch=$(mktemp -d)
displayfile="$scratch/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; rm -rf "$scratch"' EXIT
for _ in $(seq 100); do
    [ -s "$displayfile" ] && break
    sleep 0.05
done
export DISPLAY=":$(head -n1 "$displayfile")"
export QT_QPA_PLATFORM=xcb
# English, as the click positions expect, and no first-run language question: the user's copy of
# Config.ini is read first.
export XDG_CONFIG_HOME="$scratch"
mkdir -p "$scratch/kq7300"
printf '[themes]\nSolution=English\n' >"$scratch/kq7300/Config.ini"
/usr/bin/python3 scripts/ping_window.py "$dir/bin/kq7300tool" "--virtual-engine=$settings"
