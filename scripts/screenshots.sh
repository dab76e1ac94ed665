#!/usr/bin/env bash
# Regenerates the pictures in docs/: the main window on each page and the language dialog, in
# English and in Simplified Chinese, drawn under Xvfb against the virtual engine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
bash scripts/deps.sh "${BUILD_PACKAGES[@]}" "${RUN_PACKAGES[@]}" xvfb xauth
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKQ_BUILD_TESTS=OFF >/dev/null
cmake --build build --target kq7300tool kq_language_files
mkdir -p docs
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" \
    build/bin/kq7300tool --virtual-engine --screenshot docs
