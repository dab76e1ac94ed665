#!/usr/bin/env bash
# Renders the launcher icon sizes from res/icons/kq7300.svg into dist/icons/, and the Windows
# icon res/icons/kq7300.ico from them: scripts/icons.sh
# The PNGs and the .ico are committed, so a build needs no SVG renderer or icon tool; run this
# after changing the SVG. 256 px is res/icons/kq7300.png, which the window uses too; scalable is
# the SVG itself.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
bash scripts/deps.sh "${PACKAGE_CHECK_PACKAGES[@]}"
for size in 16 22 24 32 48 64 128; do
    dir=dist/icons/hicolor/${size}x${size}/apps
    mkdir -p "$dir"
    rsvg-convert --width "$size" --height "$size" res/icons/kq7300.svg --output "$dir/kq7300.png"
done
# 16 to 48 px as bitmaps, 256 px as the PNG itself (-r), as Windows keeps large icons.
icotool --create --output res/icons/kq7300.ico \
    dist/icons/hicolor/{16x16,32x32,48x48}/apps/kq7300.png --raw res/icons/kq7300.png
