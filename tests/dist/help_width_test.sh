#!/usr/bin/env bash
# --help on terminals of several widths, and to a pipe: help_width_test.sh PROGRAM...
# Each program runs under script(1), which gives it a terminal of the width stty sets; no line
# of its help may be wider, and on a wide terminal the lines use the room.
set -uo pipefail
failed=0
widest() { tr -d '\r' | awk '{ if (length($0) > w) w = length($0) } END { print w + 0 }'; }
for program in "$@"; do
    name=${program##*/}
    for columns in 60 100 160; do
        # No display: --help needs none, and must not try one.
        width=$(script -qec "stty cols $columns; env -u DISPLAY -u WAYLAND_DISPLAY \
            QT_QPA_PLATFORM=xcb '$program' --help" /dev/null | widest)
        if [ "$width" -gt "$columns" ] || { [ "$columns" -gt 80 ] && [ "$width" -le 80 ]; }; then
            echo "FAIL: $name --help on $columns columns is $width wide"
            failed=$((failed + 1))
        fi
    done
    width=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$program" --help | widest)
    if [ "$width" -gt 80 ] || [ "$width" -lt 60 ]; then
        echo "FAIL: $name --help into a pipe is $width wide, not up to 80"
        failed=$((failed + 1))
    fi
done
[ "$failed" -eq 0 ] && echo "help widths passed"
[ "$failed" -eq 0 ]
