#!/usr/bin/env bash
# Cross-builds the Windows programs, their tests, the installer and the portable zip with
# mingw-w64, statically linked:
#   scripts/windows-build.sh [BUILD_DIR [CMAKE_ARGS...]]      (BUILD_DIR: build-windows)
# Installs what it needs first. The .exe files land in BUILD_DIR/bin, the .msi and the .zip in
# BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
bash scripts/deps.sh "${WINDOWS_PACKAGES[@]}"
dir=${1:-build-windows}
shift || true
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DCMAKE_BUILD_TYPE=Debug -DKQ_WERROR=ON -DKQ_BUILD_GUI=OFF "$@" >/dev/null
cmake --build "$dir" --target all msi portable-zip
