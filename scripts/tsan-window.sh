#!/usr/bin/env bash
# Runs a ThreadSanitizer build of kq7300tool once on a real display: the window on an Xvfb of
# its own against the virtual engine, left until the engine has answered its first search, then
# closed as a user closes it (the window manager's WM_DELETE_WINDOW). Fails when the checker
# reports, when the program does not end by itself, or ends with an error.
#   scripts/tsan-window.sh BUILD_DIR    (a tree configured with -DKQ_TSAN=ON, kq7300tool built)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
bash scripts/deps.sh "${PING_PACKAGES[@]}"
tool=$1/bin/kq7300tool
[ -x "$tool" ] || { echo "tsan-window.sh: $tool not built" >&2; exit 1; }

source scripts/windows-xvfb.sh
start_xvfb
scratch=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; kill "$XVFB_PID" 2>/dev/null; rm -rf "$scratch"' EXIT
fail() {
    echo "tsan-window.sh: $*" >&2
    [ -s "$scratch/log" ] && cat "$scratch/log" >&2
    exit 1
}

# No first-run language question: the user's own Config.ini names the language.
export XDG_CONFIG_HOME="$scratch" QT_QPA_PLATFORM=xcb
mkdir -p "$scratch/kq7300"
printf '[themes]\nSolution=English\n' >"$scratch/kq7300/Config.ini"
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan-qt.supp" \
    "$tool" --virtual-engine --trace "$scratch/trace" >"$scratch/log" 2>&1 &
pid=$!

# The engine has answered once the trace holds a frame from it (lines "< ..."); a moment more
# lets the window show what it found.
for _ in $(seq 300); do
    grep -q '^<' "$scratch/trace" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || fail "kq7300tool ended before the engine answered"
    sleep 0.1
done
grep -q '^<' "$scratch/trace" 2>/dev/null || fail "no answer from the virtual engine in 30 s"
window=
for _ in $(seq 150); do
    window=$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | head -n 1) || true
    [ -n "$window" ] && break
    kill -0 "$pid" 2>/dev/null || fail "kq7300tool ended before its window was shown"
    sleep 0.1
done
[ -n "$window" ] || fail "no window of kq7300tool on $DISPLAY in 15 s"
sleep 1

/usr/bin/python3 -B - "$window" <<'EOF'
import sys
from Xlib import X, display
from Xlib.protocol import event

d = display.Display()
window = d.create_resource_object("window", int(sys.argv[1]))
protocols = d.intern_atom("WM_PROTOCOLS")
delete = d.intern_atom("WM_DELETE_WINDOW")
window.send_event(event.ClientMessage(window=window, client_type=protocols,
                                      data=(32, [delete, X.CurrentTime, 0, 0, 0])),
                  event_mask=0)
d.flush()
EOF

for _ in $(seq 200); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$pid" 2>/dev/null && fail "kq7300tool still running 20 s after its window was closed"
status=0
wait "$pid" || status=$?
pid=
grep -q 'WARNING: ThreadSanitizer' "$scratch/log" && fail "ThreadSanitizer reported (exit $status)"
[ "$status" -eq 0 ] || fail "kq7300tool ended with $status"
echo "tsan-window.sh: kq7300tool started, found the engine and closed on $DISPLAY, no reports"
