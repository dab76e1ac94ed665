#!/usr/bin/env bash
# Redraws the pictures of the Win32 window in docs/ (win32-*.png): the main window on each page,
# the About box and the language question, in English and in Simplified Chinese, under wine on
# an X server of its own:
#   scripts/windows-screenshots.sh [BUILD_DIR]           (BUILD_DIR: build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/windows-xvfb.sh
dir=${1:-build-windows}
bash scripts/windows-build.sh "$dir" >/dev/null
wine_display "$dir"

mkdir -p docs
coproc shots { /usr/lib/wine/wine64 "$dir/bin/win32ui_screenshots.exe"; }
pid=$shots_PID # bash forgets it when the program ends
while read -r word name x y width height <&"${shots[0]}"; do
    [[ $word == shot ]] || continue
    # The X server shows what wine drew once wine has flushed it.
    sleep 0.3
    import -window root -crop "${width}x${height}+$x+$y" +repage "docs/win32-$name.png"
    echo "docs/win32-$name.png"
    echo next >&"${shots[1]}"
done
wait "$pid"
