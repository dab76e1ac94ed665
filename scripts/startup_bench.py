#!/usr/bin/python3
"""Times, from outside, how long programs take from their start to their first window on the
screen: starts each in turn on $DISPLAY (an X server with no window manager, such as the Xvfb of
scripts/startup-bench.sh), alternating, and takes for each run

  mapped   from just before the process starts to the MapNotify of its first top-level window,
  painted  to the first DamageNotify of that window: its contents drawn, what a user sees,
  CPU      the CPU time of all its threads until then (/proc/PID/task/*/schedstat).

Prints the median of each per program, the spread of "painted", and the ratio of each program's
median "painted" to that of each yardstick (the last programs given).

    startup_bench.py [--runs N] [--settle S] [--yardsticks K] -- NAME=COMMAND... [-- ...]...

Each program is NAME=first word of the command, followed by its arguments; programs are
separated by "--". The last K programs are the yardsticks (default 1).
"""
import argparse
import os
import select
import signal
import statistics
import subprocess
import sys
import time

from Xlib import X, display
from Xlib.ext import damage

TIMEOUT = 20.0


def parse_programs(words):
    programs, current = [], []
    for word in words + ["--"]:
        if word != "--":
            current.append(word)
            continue
        if not current:
            continue
        name, _, first = current[0].partition("=")
        if not first:
            sys.exit(f"startup_bench.py: {current[0]}: expected NAME=COMMAND")
        programs.append((name, [first] + current[1:]))
        current = []
    if len(programs) < 2:
        sys.exit("startup_bench.py: give at least two programs, the yardstick last")
    return programs


def cpu_seconds(pid):
    """The CPU time all threads of the process have run so far: unlike the wall-clock times, it
    hardly depends on what else the machine is doing."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that has just ended
    return total / 1e9


class Watcher:
    """Sees every top-level window created, mapped and drawn on the X server."""

    def __init__(self):
        self.display = display.Display()
        if not self.display.has_extension("DAMAGE"):
            sys.exit("startup_bench.py: the X server has no DAMAGE extension")
        self.display.damage_query_version()
        self.root = self.display.screen().root
        self.root.change_attributes(event_mask=X.SubstructureNotifyMask)
        self.display.sync()

    def drain(self):
        while self.display.pending_events():
            self.display.next_event()

    def time_start(self, command, env):
        """(mapped, painted, CPU time until painted) in seconds, the first two after the start,
        for the program's first window."""
        self.drain()
        mapped = {}
        start = time.monotonic()
        process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        fd = self.display.fileno()
        result = None
        try:
            while result is None:
                if time.monotonic() - start > TIMEOUT:
                    raise RuntimeError(f"{command[0]}: no window drawn within {TIMEOUT:.0f} s")
                if process.poll() is not None:
                    raise RuntimeError(f"{command[0]}: ended ({process.returncode}) before "
                                       "its window was drawn")
                if not self.display.pending_events():
                    select.select([fd], [], [], 0.05)
                    if not self.display.pending_events():
                        continue
                e = self.display.next_event()
                now = time.monotonic() - start
                if e.type == X.CreateNotify and e.parent == self.root:
                    # Qt draws no window background (it is None): the first damage is its paint.
                    e.window.damage_create(damage.DamageReportNonEmpty)
                    self.display.flush()
                elif e.type == X.MapNotify and not e.override:
                    mapped.setdefault(e.window.id, now)
                # python-xlib registers a copy of the extension's event class: match by name.
                elif type(e).__name__ == "DamageNotify" and e.drawable.id in mapped:
                    result = (mapped[e.drawable.id], now, cpu_seconds(process.pid))
        finally:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            # The server frees the damages with their windows.
            self.display.sync()
        return result


def main():
    parser = argparse.ArgumentParser(add_help=True)
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--settle", type=float, default=0.3,
                        help="seconds of quiet after each run")
    parser.add_argument("--yardsticks", type=int, default=1,
                        help="how many of the last programs the others are compared with")
    parser.add_argument("programs", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    programs = parse_programs(args.programs)
    watcher = Watcher()
    env = dict(os.environ)
    times = {name: [] for name, _ in programs}
    # One unmeasured start of each: the files the programs read are in the page cache from then
    # on for all of them alike.
    for _, command in programs:
        watcher.time_start(command, env)
        time.sleep(args.settle)
    for run in range(args.runs):
        order = programs if run % 2 == 0 else list(reversed(programs))
        for name, command in order:
            times[name].append(watcher.time_start(command, env))
            time.sleep(args.settle)
    yardsticks = programs[-args.yardsticks:]
    painted = {name: statistics.median(t[1] for t in times[name]) for name, _ in programs}
    print(f"{'program':<28}{'runs':>5}{'mapped ms':>11}{'painted ms':>12}{'min-max':>10}"
          f"{'CPU ms':>8}"
          + "".join(f"{'/' + name:>{max(12, len(name) + 3)}}" for name, _ in yardsticks))
    for name, _ in programs:
        mapped = statistics.median(t[0] for t in times[name])
        low = min(t[1] for t in times[name]) * 1e3
        high = max(t[1] for t in times[name]) * 1e3
        print(f"{name:<28}{len(times[name]):>5}{mapped * 1e3:>11.1f}{painted[name] * 1e3:>12.1f}"
              f"{f'{low:.0f}-{high:.0f}':>10}"
              f"{statistics.median(t[2] for t in times[name]) * 1e3:>8.1f}"
              + "".join(f"{painted[name] / painted[y]:>{max(12, len(y) + 3)}.3f}"
                        for y, _ in yardsticks))

if __name__ == "__main__":
    main()
