# Sourced by the Windows scripts. start_xvfb starts an X server of their own on a free display
# (Xvfb picks it), exports DISPLAY and sets XVFB_PID, for the script to end it by.
start_xvfb() {
    local number
    number=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -dpi 96 -nolisten tcp 3>"$number" >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do
        [[ -s $number ]] && break
        sleep 0.05
    done
    [[ -s $number ]] || { echo "Xvfb did not start" >&2; rm -f "$number"; return 1; }
    export DISPLAY=:$(cat "$number")
    rm -f "$number"
}

# wine_display DIR: the build's wine prefix, made or brought up to date (scripts/windows-prefix.sh),
# in WINEPREFIX, and an X server of its own; when the script ends, the prefix's programs end
# before the X server they draw on.
wine_display() {
    bash scripts/windows-prefix.sh "$1/wine-prefix"
    export WINEPREFIX WINEDEBUG=-all
    WINEPREFIX=$(realpath "$1/wine-prefix")
    start_xvfb
    trap '/usr/lib/wine/wineserver -k 2>/dev/null || true; kill "$XVFB_PID" 2>/dev/null || true' EXIT
}
