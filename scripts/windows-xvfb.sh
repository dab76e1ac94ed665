# Sourced by the Windows scripts: start_xvfb starts an X server of their own on a free display
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
