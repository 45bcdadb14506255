#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Start-up time and memory of qm47t-converter, held against a floor program and serial terminals.

  PYTHONPATH=scripts bench/startup.py [--rounds N] [--build-dir DIR] [--converter PATH] [--floor PATH]
                                      [--also NAME=PATH]
  PYTHONPATH=scripts bench/startup.py --windows [--build-dir build-windows] [--linux-program PATH] ...

Targets: the converter's median start-up time is at most 1.05 times the floor's, and its median
resident set at most 1.10 times; the floor is build-bench/bench/bench_floor (a minimal Qt Widgets
window with a Chinese caption and label, a text box, a button and COM1 open). cutecom and gtkterm,
when installed, are measured alongside as peers; --also adds another build (an older one, say).

--windows: qm47t-converter.exe under Wine against bench_floor.exe (a minimal Win32 window with the
converter's manifest, like controls and COM1 open), start-up at most 1.10 times; memory is reported
without a target. Wine runs only through the harness (scripts/qm47t_harness, WineServer): a prefix
of its own (BUILD_DIR/wine-bench), refused while anything else uses it, with COM1 mapped to a path
that exists only in the namespace, and one namespace for the whole run (the pty over /dev/ttyS0 and
that path, /dev/null over the other ports) holding a persistent wineserver, which is ended
(wineserver -k, -w) before the namespace goes, and then whatever else is left in the namespace.
Each start is `wine PROGRAM.exe` entered into that namespace with nsenter, so the server's and Wine's
services' own start (paid in the warm-up round) is not counted. The .exe sizes are printed next to
the Qt libraries and plug-ins the Linux program (--linux-program) has mapped, as what a Qt
deployment of the same window would weigh, as near as can be measured without Qt for Windows.

Method. Every program runs under a private Xvfb (a free display number, no TCP) with no window
manager, so a top-level window is mapped the moment the program asks for it. Each program runs in
the harness's private mount namespace, with a /dev of its own where a fresh pseudo-terminal (the
virtual module, which drains it) is /dev/ttyS0 and no other serial device exists, and a tmpfs over
/run/lock; the shell that sets this up checks that every name for COM1 is a pty or absent, says so
on a pipe, waits for the go and execs the program, which keeps the PID.
  start-up: from the go (the exec) to the MapNotify of a top-level window whose _NET_WM_PID is that
            PID, read from the X server by this script's own client (python3-xlib, selecting on the
            root window's SubstructureNotify: qm47t_harness.xwatch), so nothing polls. The namespace set-up before the go is the same for
            every program and is reported apart, not counted.
  painted:  from the go to the moment the drawing on that window first covers all of it: the X
            server's DAMAGE extension reports every drawing on each top-level window from its
            creation on. This is what the user waits for; work moved from before the map to the
            first paint shows here.
  CPU:      the CPU time of that PID's threads over the same span (/proc/PID/task/*/schedstat), which
            other load on the machine sways less than the wall-clock time. Only threads still running
            at the map are seen: the converter's fontconfig thread has ended by then and is left out.
  memory:   VmRSS of that PID 1 s after the window was mapped.
The programs run one after the other, in interleaved rounds whose order rotates, after one warm-up
round that is not counted; figures are medians. Each program gets the same environment: a fresh
HOME (holding only gtkterm's settings), C.UTF-8, a plain PATH and the private display, nothing else.

The load average is printed before and after: on a busy machine the times are skewed, the CPU times
less so.

Exit status: 0 once every figure was measured, PASS or MISS; 1 when a program could not be measured.
Needs root, or unprivileged user namespaces (then `unshare -r -m`).
"""
import argparse
import collections
import glob
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time

from qm47t_harness.display import Xvfb
from qm47t_harness.module import VirtualModule
from qm47t_harness.namespace import spawn_in_namespace, stop
from qm47t_harness.wine import WineServer
from qm47t_harness.xwatch import XWatch

from startup_report import PEERS, RSS_DELAY_S, report, report_sizes

# Under Wine, against a minimal Win32 window.
WINDOWS_STARTUP_TARGET = 1.10
MAP_TIMEOUT_S = 30.0
# Without a settings file gtkterm opens a modal notice instead of the port; this is the one it writes
# after that notice, at 9600 bit/s, so that it starts as it does for a user who has run it before.
GTKTERM_RC = "[default]\n" + "".join(f"{key}\t= {value}\n" for key, value in (
    ("port", "/dev/ttyS0"), ("speed", "9600"), ("bits", "8"), ("stopbits", "1"), ("parity", "none"),
    ("flow", "none"), ("wait_delay", "0"), ("wait_char", "-1"), ("rs485_rts_time_before_tx", "30"),
    ("rs485_rts_time_after_tx", "30"), ("echo", "False"), ("crlfauto", "False"), ("timestamp", "False"),
    ("font", '"Monospace 12"'), ("term_block_cursor", "True"), ("term_rows", "80"), ("term_columns", "25"),
    ("term_scrollback", "10000"), ("term_visual_bell", "True"), ("term_foreground_red", "0.660000"),
    ("term_foreground_blue", "0.660000"), ("term_foreground_green", "0.660000"),
    ("term_foreground_alpha", "1.000000"), ("term_background_red", "0.000000"),
    ("term_background_blue", "0.000000"), ("term_background_green", "0.000000"),
    ("term_background_alpha", "1.000000"),
))

class MeasureError(Exception):
    pass


# One start of a program. setup_ms: spawn to exec (the namespace); startup_ms: exec to the window
# mapped; painted_ms: exec to the window fully drawn; cpu_ms: CPU time of all its threads at the map;
# rss_kib: VmRSS a second later; holds_com1: it had the pty open when its window was mapped.
# files: the files it had mapped then.
Run = collections.namedtuple("Run", "setup_ms startup_ms painted_ms cpu_ms rss_kib holds_com1 files")


def busy_share(seconds=1.0):
    """How busy the CPUs are, over a short look at /proc/stat: 0 idle, 1 saturated."""
    def sample():
        with open("/proc/stat") as stat:
            ticks = [int(field) for field in stat.readline().split()[1:]]
        return ticks[3] + ticks[4], sum(ticks)  # idle and iowait, all

    idle_before, total_before = sample()
    time.sleep(seconds)
    idle_after, total_after = sample()
    return 1 - (idle_after - idle_before) / max(1, total_after - total_before)


def holds_device(pid, rdev):
    for link in glob.glob(f"/proc/{pid}/fd/*"):
        try:
            if os.stat(link).st_rdev == rdev:
                return True
        except OSError:
            pass
    return False


def cpu_ms(pid):
    """CPU time of the process's live threads, from the scheduler's nanosecond counters."""
    total = 0
    for path in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(path) as schedstat:
                total += int(schedstat.read().split()[0])
        except (OSError, IndexError, ValueError):
            pass  # a thread that ended in between
    return total / 1e6


def mapped_files(pid):
    with open(f"/proc/{pid}/maps") as maps:
        return frozenset(line.split(None, 5)[5].strip() for line in maps
                         if len(line.split(None, 5)) == 6 and line.split(None, 5)[5].startswith("/"))


def vm_rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise MeasureError(f"no VmRSS for PID {pid}")


def log_tail(path):
    with open(path, errors="replace") as log:
        return "".join(log.readlines()[-15:])


def time_left(name, proc, log_path, started, mapped):
    """Seconds the measurement may still wait: for the window until MAP_TIMEOUT_S after the start,
    then RSS_DELAY_S after the map. Raises MeasureError if the program has ended or never mapped."""
    if proc.poll() is not None:
        raise MeasureError(f"{name} exited with status {proc.returncode} before it was measured:\n"
                           + log_tail(log_path))
    wait = (started + MAP_TIMEOUT_S if mapped is None else mapped + RSS_DELAY_S) - time.monotonic()
    if wait <= 0:
        raise MeasureError(f"{name} showed no window within {MAP_TIMEOUT_S:.0f} s:\n" + log_tail(log_path))
    return wait


def wait_for_window(name, proc, x, log_path, started, cpu_before=0.0):
    """Waits for the first top-level window of `proc` and then RSS_DELAY_S more: (when it was mapped,
    the window, the CPU milliseconds the program had used by then, less `cpu_before`)."""
    mapped = window = cpu = None
    while mapped is None or time.monotonic() < mapped + RSS_DELAY_S:
        x.wait(time_left(name, proc, log_path, started, mapped))
        # Asking a window's PID may bring in further events, hence the loop rather than one look.
        while mapped is None:
            found = x.next_top_level_map()
            if found is None:
                break
            if x.window_pid(found[1]) == proc.pid:
                mapped, window = found
                cpu = cpu_ms(proc.pid) - cpu_before
    return mapped, window, cpu


def measure_once(name, argv, x, env, log_path, wine=None):
    """One start of the program, as a Run; with `wine` (a WineServer), a Windows program in its
    namespace, under its wineserver."""
    x.forget()  # the previous program's windows
    if wine is not None:
        return measure_under_wine(name, argv, x, env, log_path, wine)
    with VirtualModule() as module, open(log_path, "a") as log:
        rdev = os.stat(module.slave_path).st_rdev
        log.write(f"--- {name}\n")
        log.flush()
        spawned = time.monotonic()
        # The harness's namespace waits at its gate, so that the clock starts at the exec with the
        # set-up already paid for.
        proc, go = spawn_in_namespace(argv, module.slave_path, env=env, gated=True, stderr=log, cwd=env["HOME"])
        try:
            cpu_at_exec = cpu_ms(proc.pid)
            executed = time.monotonic()
            go()
            mapped, window, cpu = wait_for_window(name, proc, x, log_path, spawned, cpu_at_exec)
            holds_com1 = holds_device(proc.pid, rdev)
            if not os.path.samefile(f"/proc/{proc.pid}/exe", argv[0]):
                raise MeasureError(f"PID {proc.pid} is not {argv[0]}")
            seen = window_up(proc, window, x)
        finally:
            stop(proc, timeout=5)
    return Run((executed - spawned) * 1000, *since(executed, mapped, seen.painted), cpu, seen.rss, holds_com1,
               seen.files)


WindowUp = collections.namedtuple("WindowUp", "rss files painted")


def window_up(proc, window, x):
    """What is read of a program once its window is mapped: its resident set, the files it has mapped,
    and when the window was first fully drawn (None if not yet)."""
    return WindowUp(vm_rss_kib(proc.pid), mapped_files(proc.pid), x.painted_at(window))


def since(executed, mapped, painted):
    """The map and the first paint, in ms from the exec; NaN for a paint not seen."""
    return (mapped - executed) * 1000, math.nan if painted is None else (painted - executed) * 1000


def measure_under_wine(name, argv, x, env, log_path, server):
    """One start of `wine PROGRAM.exe` in the namespace of a running wineserver (a WineServer)."""
    with open(log_path, "a") as log:
        log.write(f"--- {name}\n")
        log.flush()
        executed = time.monotonic()
        proc = server.start(argv, env, stdin=subprocess.DEVNULL, stdout=log, stderr=log, cwd=env["HOME"])
    try:
        mapped, window, cpu = wait_for_window(name, proc, x, log_path, executed)
        # Wine's server opens the device for the program and keeps it while the program's handle lives.
        holds_com1 = any(holds_device(pid, server.device) for pid in [proc.pid, *server.processes()])
        seen = window_up(proc, window, x)
    finally:
        stop(proc, timeout=10)
    return Run(0.0, *since(executed, mapped, seen.painted), cpu, seen.rss, holds_com1, seen.files)


def find_programs(args):
    build = args.build_dir
    if args.windows:
        programs = {"floor": [os.path.abspath(args.floor or os.path.join(build, "bench", "bench_floor.exe"))],
                    "qm47t-converter": [os.path.abspath(args.converter or os.path.join(build, "qm47t-converter.exe"))]}
        for path in programs.values():
            if not os.path.isfile(path[0]):
                raise MeasureError(f"{path[0]} is not built (cmake --preset windows && cmake --build --preset windows)")
        return programs
    floor = args.floor or os.path.join(build, "bench", "bench_floor")
    converter = args.converter
    if converter is None:
        candidates = [os.path.join(build, "qm47t-converter"), os.path.join("build", "qm47t-converter")]
        converter = next((path for path in candidates if os.access(path, os.X_OK)), candidates[0])
    programs = {"floor": [os.path.abspath(floor)], "qm47t-converter": [os.path.abspath(converter)]}
    for path in programs.values():
        if not os.access(path[0], os.X_OK):
            raise MeasureError(f"{path[0]} is not built "
                               "(cmake --preset bench && cmake --build --preset bench)")
    for peer in PEERS:
        path = shutil.which(peer)
        if path:
            programs[peer] = [path]
        else:
            print(f"({peer} is not installed: left out)")
    return programs


def load_average():
    return " ".join(f"{value:.2f}" for value in os.getloadavg())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15, help="measured runs of each program (at least 7)")
    parser.add_argument("--windows", action="store_true",
                        help="the Windows programs under Wine (default BUILD_DIR build-windows)")
    parser.add_argument("--build-dir", help="where the bench (or windows) preset built the floor")
    parser.add_argument("--linux-program", default="build-bench/qm47t-converter",
                        help="with --windows: the Linux program whose Qt libraries are weighed")
    parser.add_argument("--converter",
                        help="the qm47t-converter to measure (default: BUILD_DIR's, else build/'s)")
    parser.add_argument("--floor", help="the floor program (default: BUILD_DIR/bench/bench_floor)")
    parser.add_argument("--also", action="append", default=[], metavar="NAME=PATH",
                        help="measure another program alongside, e.g. an older build (repeatable)")
    args = parser.parse_args()
    if args.build_dir is None:
        args.build_dir = "build-windows" if args.windows else "build-bench"
    if args.rounds < 7:
        parser.error("--rounds must be at least 7: a median of fewer runs is noise")

    try:
        programs = find_programs(args)
        for extra in args.also:
            name, sep, path = extra.partition("=")
            if not sep or not os.access(path, os.X_OK):
                parser.error(f"--also {extra}: expected NAME=PATH of a program")
            programs[name] = [os.path.abspath(path)]
        xvfb = Xvfb()
    except (MeasureError, RuntimeError) as error:
        sys.exit(f"startup.py: {error}")
    wine = None
    try:
        with tempfile.TemporaryDirectory(prefix="qm47t-startup-") as scratch:
            home = os.path.join(scratch, "home")
            runtime = os.path.join(scratch, "runtime")
            os.makedirs(os.path.join(home, ".config"))
            with open(os.path.join(home, ".config", ".gtktermrc"), "w") as rc:
                rc.write(GTKTERM_RC)
            os.mkdir(runtime, 0o700)
            env = {"PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "HOME": home,
                   "XDG_RUNTIME_DIR": runtime, "LANG": "C.UTF-8", "DISPLAY": xvfb.display}
            log_path = os.path.join(scratch, "programs.log")
            x = XWatch(xvfb.display)
            qt_files = None
            if args.windows:
                linux = os.path.abspath(args.linux_program)
                if os.access(linux, os.X_OK):
                    qt_files = measure_once("linux", [linux], x, env, log_path).files
                else:
                    print(f"({linux} is not built: the Qt libraries it loads are not weighed)")
                holder = WineServer(os.path.join(os.path.abspath(args.build_dir), "wine-bench"))
                wine = holder.__enter__()
            names = list(programs)
            results = {name: [] for name in names}
            print(f"Xvfb {xvfb.display}; {args.rounds} rounds + 1 warm-up of: " + ", ".join(
                f"{name} ({programs[name][0]})" for name in names), flush=True)
            print(f"load average before: {load_average()}", flush=True)
            busy = busy_share()
            if busy > 0.2:
                print(f"(the CPUs were {busy:.0%} busy with other work just before: the times are skewed)")
            for round_number in range(args.rounds + 1):
                shift = round_number % len(names)
                for name in names[shift:] + names[:shift]:
                    run = measure_once(name, programs[name], x, env, log_path, wine)
                    if round_number:
                        results[name].append(run)
                    time.sleep(0.2)  # lets the last program's exit settle before the next start
                print(f"  round {round_number}{' (warm-up)' if not round_number else ''} done", flush=True)
            print(f"load average after: {load_average()}")
            if args.windows:
                print("\nUnder Wine: from the exec of `wine PROGRAM.exe` in the namespace of a running wineserver.")
                report(results, args.rounds, WINDOWS_STARTUP_TARGET, None)
                report_sizes(programs, qt_files)
            else:
                report(results, args.rounds)
    except (MeasureError, RuntimeError) as error:
        sys.exit(f"startup.py: {error}")
    finally:
        if wine is not None:
            wine.__exit__()
        xvfb.close()


if __name__ == "__main__":
    main()
