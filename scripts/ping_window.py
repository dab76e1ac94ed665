#!/usr/bin/python3
"""Measures, from outside the program, how long kq7300tool's window leaves window-manager pings
unanswered while its pages are clicked through: starts the tool on $DISPLAY, pings its window
with _NET_WM_PING every 20 ms and prints the largest round trip per action.

    ping_window.py TOOL [TOOL ARGUMENTS...]

Clicks go to fixed places of the English layout at 96 dpi (the pictures in docs/), so run it
under an X server of its own (scripts/responsiveness.sh does) with no window manager.
"""
import select
import subprocess
import sys
import threading
import time

from Xlib import X, display
from Xlib.protocol import event

PING_INTERVAL = 0.020

# Window-relative places of the controls (client area; no window manager adds a frame).
TAB_LED, TAB_FLIP, TAB_SYSTEM = (24, 13), (68, 13), (122, 13)
LED_POWER, LED_SWITCH = (110, 69), (245, 69)
LED_WRITE, LED_READ = (367, 151), (453, 151)
FLIP_APPLY = (141, 57)


class Pinger(threading.Thread):
    """Pings one window on a connection of its own and keeps every round trip."""

    def __init__(self, window_id):
        super().__init__(daemon=True)
        self.display = display.Display()
        self.root = self.display.screen().root
        # Qt answers to the root window; StructureNotify is the mask that sees it.
        self.root.change_attributes(event_mask=X.StructureNotifyMask)
        self.protocols = self.display.intern_atom("WM_PROTOCOLS")
        self.ping = self.display.intern_atom("_NET_WM_PING")
        self.window = self.display.create_resource_object("window", window_id)
        self.lock = threading.Lock()
        self.sent = {}      # serial -> send time, not answered yet
        self.answers = []   # (send time, round trip)
        self.stopping = False

    def run(self):
        serial = 1
        next_ping = time.monotonic()
        fd = self.display.fileno()
        while not self.stopping:
            now = time.monotonic()
            if now >= next_ping:
                message = event.ClientMessage(
                    window=self.window, client_type=self.protocols,
                    data=(32, [self.ping, serial, self.window.id, 0, 0]))
                self.window.send_event(message, event_mask=0)
                self.display.flush()
                with self.lock:
                    self.sent[serial] = now
                serial += 1
                next_ping = now + PING_INTERVAL
            select.select([fd], [], [], max(0.0, next_ping - time.monotonic()))
            while self.display.pending_events():
                e = self.display.next_event()
                if e.type != X.ClientMessage or e.client_type != self.protocols:
                    continue
                data = e.data[1]
                if data[0] != self.ping:
                    continue
                with self.lock:
                    start = self.sent.pop(data[1], None)
                    if start is not None:
                        self.answers.append((start, time.monotonic() - start))

    def worst_ms(self, since):
        """The longest round trip of the pings sent since `since`, counting those still open."""
        now = time.monotonic()
        with self.lock:
            trips = [rtt for start, rtt in self.answers if start >= since]
            trips += [now - start for start in self.sent.values() if start >= since]
        return 1000.0 * max(trips, default=0.0)


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True).stdout.split()


def visible_windows(pid):
    return [int(w) for w in xdotool("search", "--onlyvisible", "--pid", str(pid))]


class Session:
    def __init__(self, command):
        self.start = time.monotonic()
        self.tool = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.main = None
        while self.main is None and time.monotonic() - self.start < 10:
            windows = visible_windows(self.tool.pid)
            if windows:
                self.main = windows[0]
            else:
                time.sleep(0.005)
        if self.main is None:
            sys.exit("the tool's window did not appear")
        self.mapped_ms = 1000.0 * (time.monotonic() - self.start)
        self.pinger = Pinger(self.main)
        self.pinger.start()
        self.results = []

    def click(self, place):
        xdotool("mousemove", "--window", str(self.main), str(place[0]), str(place[1]),
                "click", "1")

    def dismiss_messages(self, wait):
        """Closes the message boxes that come up within `wait` seconds; returns how many."""
        closed = 0
        end = time.monotonic() + wait
        while time.monotonic() < end:
            others = [w for w in visible_windows(self.tool.pid) if w != self.main]
            if others:
                # Through the keyboard, as a user would: a key sent to a window alone leaves the
                # toolkit thinking Return is still down.
                xdotool("windowfocus", "--sync", str(others[0]), "key", "Return")
                closed += 1
                end = time.monotonic() + 0.3  # the next request may have its own
            time.sleep(0.05)
        return closed

    def act(self, name, action, wait=1.6):
        since = time.monotonic()
        action()
        messages = self.dismiss_messages(wait)
        self.results.append((name, self.pinger.worst_ms(since), messages))

    def close(self):
        self.pinger.stopping = True
        self.tool.terminate()
        try:
            self.tool.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.tool.kill()


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    s = Session(sys.argv[1:])
    s.act("start (first pings)", lambda: None)
    s.act("tab Flip", lambda: s.click(TAB_FLIP))
    s.act("tab System", lambda: s.click(TAB_SYSTEM))
    s.act("tab LED", lambda: s.click(TAB_LED))
    s.act("LED Read", lambda: s.click(LED_READ))
    s.act("LED Write", lambda: s.click(LED_WRITE))
    s.act("LED switch", lambda: s.click(LED_SWITCH))
    s.act("LED switch", lambda: s.click(LED_SWITCH))
    s.act("Power", lambda: s.click(LED_POWER))
    s.act("move window mid-request",
          lambda: (s.click(LED_READ), time.sleep(0.2),
                   xdotool("windowmove", str(s.main), "40", "40")))
    s.act("About box (F1) mid-request",
          lambda: (s.click(LED_READ), time.sleep(0.2), xdotool("key", "F1")))
    s.click(TAB_FLIP)
    time.sleep(0.5)
    s.act("Flip Apply", lambda: s.click(FLIP_APPLY))
    s.act("tab LED", lambda: s.click(TAB_LED))
    s.close()

    print(f"window visible {s.mapped_ms:.0f} ms after start")
    print(f"{'action':30}{'longest ping round trip, ms':>30}{'messages':>10}")
    for name, worst, messages in s.results:
        print(f"{name:30}{worst:30.1f}{messages:10d}")


if __name__ == "__main__":
    main()
