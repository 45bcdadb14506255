#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Start-up time and memory of qm47t-converter, held against a floor program and serial terminals.

  bench/startup.py [--rounds N] [--build-dir DIR] [--converter PATH] [--floor PATH] [--also NAME=PATH]
  bench/startup.py --windows [--build-dir build-windows] [--linux-program PATH] ...

Targets: the converter's median start-up time is at most 1.05 times the floor's, and its median
resident set at most 1.10 times; the floor is build-bench/bench/bench_floor (a minimal Qt Widgets
window with a Chinese caption and label, a text box, a button and COM1 open). cutecom and gtkterm,
when installed, are measured alongside as peers; --also adds another build (an older one, say).

--windows: qm47t-converter.exe under Wine against bench_floor.exe (a minimal Win32 window with the
converter's manifest, like controls and COM1 open), start-up at most 1.10 times; memory is reported
without a target. Wine runs only through scripts/virtual-qm47t.py's harness: a prefix of its own (BUILD_DIR/wine-bench),
refused while anything else uses it, with COM1 mapped to a path that exists only in the namespace,
and one namespace for the whole run (the pty over /dev/ttyS0 and that path, /dev/null over the other
ports) holding a persistent wineserver, which is ended (wineserver -k, -w) before the namespace goes.
Each start is `wine PROGRAM.exe` entered into that namespace with nsenter, so the server's and Wine's
services' own start (paid in the warm-up round) is not counted. The .exe sizes are printed next to
the Qt libraries and plug-ins the Linux program (--linux-program) has mapped, as what a Qt
deployment of the same window would weigh, as near as can be measured without Qt for Windows.

Method. Every program runs under a private Xvfb (a free display number, no TCP) with no window
manager, so a top-level window is mapped the moment the program asks for it. Each program runs in
its own private mount namespace where a fresh pseudo-terminal is bound over /dev/ttyS0, /dev/null
over every other /dev/ttyS*, and a tmpfs over /run/lock; the shell that sets this up checks that
/dev/ttyS0 is a pty, says so on a pipe, waits for the go and execs the program, which keeps the PID.
  start-up: from the go (the exec) to the MapNotify of a top-level window whose _NET_WM_PID is that
            PID, read from the X server by this script's own client (selecting on the root window's
            SubstructureNotify), so nothing polls. The namespace set-up before the go is the same for
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
import pty
import select
import shlex
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty
import types
from pathlib import Path

STARTUP_TARGET = 1.05
MEMORY_TARGET = 1.10
# Under Wine, against a minimal Win32 window.
WINDOWS_STARTUP_TARGET = 1.10
REPO = Path(__file__).resolve().parent.parent
RSS_DELAY_S = 1.0
MAP_TIMEOUT_S = 30.0
PEERS = ("cutecom", "gtkterm")
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

X_CREATE_NOTIFY = 16
X_MAP_NOTIFY = 19
X_QUERY_EXTENSION = 98
DAMAGE_QUERY_VERSION = 0
DAMAGE_CREATE = 1
DAMAGE_REPORT_RAW_RECTANGLES = 0
X_CHANGE_WINDOW_ATTRIBUTES = 2
X_INTERN_ATOM = 16
X_GET_PROPERTY = 20
X_CW_EVENT_MASK = 0x800
X_SUBSTRUCTURE_NOTIFY_MASK = 0x80000
X_ATOM_CARDINAL = 6


class MeasureError(Exception):
    pass


# One start of a program. setup_ms: spawn to exec (the namespace); startup_ms: exec to the window
# mapped; painted_ms: exec to the window fully drawn; cpu_ms: CPU time of all its threads at the map;
# rss_kib: VmRSS a second later; holds_com1: it had the pty open when its window was mapped.
# files: the files it had mapped then.
Run = collections.namedtuple("Run", "setup_ms startup_ms painted_ms cpu_ms rss_kib holds_com1 files")


def pad4(n):
    return (n + 3) & ~3


class XClient:
    """Just enough of the X11 protocol to hear top-level windows being mapped and read their PID."""

    def __init__(self, display):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(f"/tmp/.X11-unix/X{display}")
        self.sock.sendall(struct.pack("<BxHHHHxx", 0x6C, 11, 0, 0, 0))  # little-endian, no auth
        status, _, _, _, extra = struct.unpack("<BBHHH", self._read_exactly(8))
        setup = self._read_exactly(extra * 4)
        if status != 1:
            raise MeasureError(f"X server refused the connection: {setup!r}")
        self.id_base, self.id_mask = struct.unpack_from("<II", setup, 4)
        self.next_id = 1
        vendor_length, = struct.unpack_from("<H", setup, 16)
        format_count = setup[21]
        self.root, = struct.unpack_from("<I", setup, 32 + pad4(vendor_length) + 8 * format_count)
        self.sequence = 0
        self.buffer = bytearray()
        self.events = collections.deque()  # (time received, 32-byte event)
        self.damage_event = None  # known once the extension is asked, below
        self.damage = collections.defaultdict(list)  # window -> [(time received, x, y, w, h, width, height)]
        self.replies = {}  # sequence number -> reply, or None for an error
        # Without a window manager every top-level window is a child of the root window.
        self._send(struct.pack("<BxHIII", X_CHANGE_WINDOW_ATTRIBUTES, 4, self.root, X_CW_EVENT_MASK,
                               X_SUBSTRUCTURE_NOTIFY_MASK))
        self.pid_atom = self._intern_atom(b"_NET_WM_PID")
        self.damage_opcode, self.damage_event = self._damage_extension()

    def _damage_extension(self):
        name = b"DAMAGE"
        request = struct.pack("<BxHHxx", X_QUERY_EXTENSION, 2 + pad4(len(name)) // 4, len(name))
        reply = self._reply(self._send(request + name.ljust(pad4(len(name)), b"\0")))
        if reply is None or not reply[8]:
            raise MeasureError("the X server has no DAMAGE extension")
        opcode, first_event = reply[9], reply[10]
        # The extension must be told the client's version before anything else.
        if self._reply(self._send(struct.pack("<BBHII", opcode, DAMAGE_QUERY_VERSION, 3, 1, 1))) is None:
            raise MeasureError("the X server refused DAMAGE 1.1")
        return opcode, first_event

    def watch_drawing(self, window):
        """Reports every drawing on the window from now on (see painted_at)."""
        damage = self.id_base | (self.next_id & self.id_mask)
        self.next_id += 1
        self._send(struct.pack("<BBHIIBxxx", self.damage_opcode, DAMAGE_CREATE, 4, damage, window,
                               DAMAGE_REPORT_RAW_RECTANGLES))

    def painted_at(self, window):
        """When the drawing on the window first covered all of it, or None (not yet)."""
        covered = None
        for received, x, y, w, h, width, height in self.damage[window]:
            box = (x, y, x + w, y + h) if covered is None else (
                min(covered[0], x), min(covered[1], y), max(covered[2], x + w), max(covered[3], y + h))
            covered = box
            if box[0] <= 0 and box[1] <= 0 and box[2] >= width and box[3] >= height:
                return received
        return None

    def fileno(self):
        return self.sock.fileno()

    def _read_exactly(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise MeasureError("X server closed the connection")
            data += chunk
        return data

    def _send(self, request):
        self.sock.sendall(request)
        self.sequence = (self.sequence + 1) & 0xFFFF
        return self.sequence

    def receive(self):
        """Reads what the server has sent; call when the socket is readable."""
        chunk = self.sock.recv(65536)
        received = time.monotonic()
        if not chunk:
            raise MeasureError("X server closed the connection")
        self.buffer += chunk
        while len(self.buffer) >= 32:
            kind = self.buffer[0]
            size = 32 + (struct.unpack_from("<I", self.buffer, 4)[0] * 4 if kind == 1 else 0)
            if len(self.buffer) < size:
                break
            packet, self.buffer = bytes(self.buffer[:size]), self.buffer[size:]
            sequence, = struct.unpack_from("<H", packet, 2)
            if kind == 0:
                self.replies[sequence] = None
            elif kind == 1:
                self.replies[sequence] = packet
            elif self.damage_event is not None and kind & 0x7F == self.damage_event:
                drawable, = struct.unpack_from("<I", packet, 4)
                self.damage[drawable].append((received, *struct.unpack_from("<hhHHxxxxHH", packet, 16)))
            else:
                if kind & 0x7F == X_CREATE_NOTIFY and not packet[22]:
                    # Watched from its creation, before the program can draw on it.
                    self.watch_drawing(struct.unpack_from("<I", packet, 8)[0])
                self.events.append((received, packet))

    def _reply(self, sequence):
        while sequence not in self.replies:
            self.receive()
        return self.replies.pop(sequence)

    def _intern_atom(self, name):
        request = struct.pack("<BBHHxx", X_INTERN_ATOM, 0, 2 + pad4(len(name)) // 4, len(name))
        reply = self._reply(self._send(request + name.ljust(pad4(len(name)), b"\0")))
        if reply is None:
            raise MeasureError(f"X server refused to intern {name!r}")
        return struct.unpack_from("<I", reply, 8)[0]

    def window_pid(self, window):
        """_NET_WM_PID of the window, or None (no such property, or the window is gone)."""
        request = struct.pack("<BBHIIIII", X_GET_PROPERTY, 0, 6, window, self.pid_atom, X_ATOM_CARDINAL, 0, 1)
        reply = self._reply(self._send(request))
        if reply is None or reply[1] != 32 or struct.unpack_from("<I", reply, 16)[0] < 1:
            return None
        return struct.unpack_from("<I", reply, 32)[0]

    def next_top_level_map(self):
        """The next window mapped, as (time received, window), or None; override-redirect ones left out."""
        while self.events:
            received, event = self.events.popleft()
            if event[0] & 0x7F == X_MAP_NOTIFY and not event[12]:
                return received, struct.unpack_from("<I", event, 8)[0]
        return None


def start_xvfb():
    ready, announce = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(announce), "-nolisten", "tcp", "-screen", "0",
                               "1024x768x24"], pass_fds=(announce,), stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(announce)
    number = b""
    deadline = time.monotonic() + 20
    while not number.endswith(b"\n"):
        if not select.select([ready], [], [], max(0.0, deadline - time.monotonic()))[0]:
            server.kill()
            raise MeasureError("Xvfb did not start")
        chunk = os.read(ready, 16)
        if not chunk:
            raise MeasureError("Xvfb exited at start")
        number += chunk
    os.close(ready)
    return server, int(number)


def namespace_command(slave_path, argv):
    """Runs argv in a private mount namespace where /dev/ttyS0 is the pty and no real port exists."""
    others = [f"mount --bind /dev/null {path}"
              for path in sorted(glob.glob("/dev/ttyS*")) if path != "/dev/ttyS0"]
    script = " && ".join([
        "mount -t tmpfs tmpfs /run/lock",
        f"mount --bind {shlex.quote(slave_path)} /dev/ttyS0",
        *others,
        '[ "$(stat -c %t /dev/ttyS0)" = 88 ]',  # major 0x88 = 136: a pty, never a UART
        # Waits at the gate so that the clock starts at the exec, with the set-up already paid for.
        "printf . && read gate",
        "exec " + shlex.join(argv) + " </dev/null >&2",
    ])
    unshare = ["unshare", "-m", "--propagation", "private"] if os.geteuid() == 0 else ["unshare", "-r", "-m"]
    return [*unshare, "sh", "-c", script]


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


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


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


def measure_once(name, argv, x, env, log_path, wine=None):
    """One start of the program, as a Run; with `wine` (a WineHolder), a Windows program in its
    namespace, under its wineserver."""
    x.events.clear()  # the previous program's windows
    x.damage.clear()
    if wine is not None:
        return wine.measure_once(name, argv, x, env, log_path)
    master, slave = pty.openpty()
    tty.setraw(master)
    rdev = os.fstat(slave).st_rdev
    with open(log_path, "a") as log:
        log.write(f"--- {name}\n")
        log.flush()
        spawned = time.monotonic()
        proc = subprocess.Popen(namespace_command(os.ttyname(slave), argv), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=log, env=env, cwd=env["HOME"])
    executed = mapped = window = cpu_at_exec = cpu = None
    holds_com1 = False
    try:
        watched = [x, proc.stdout, master]
        while mapped is None or time.monotonic() < mapped + RSS_DELAY_S:
            wait = time_left(name, proc, log_path, spawned, mapped)
            for ready in select.select(watched, [], [], wait)[0]:
                if ready is x:
                    x.receive()
                elif ready is master:
                    try:
                        os.read(master, 4096)  # keeps the pty from filling up; the bytes do not matter
                    except OSError:
                        watched.remove(master)
                elif os.read(proc.stdout.fileno(), 16):
                    cpu_at_exec = cpu_ms(proc.pid)
                    executed = time.monotonic()
                    proc.stdin.write(b"\n")
                    proc.stdin.close()
                else:
                    watched.remove(proc.stdout)
            # Asking a window's PID may bring in further events, hence the loop rather than one look.
            while mapped is None and executed is not None:
                found = x.next_top_level_map()
                if found is None:
                    break
                if x.window_pid(found[1]) == proc.pid:
                    mapped, window = found
                    cpu = cpu_ms(proc.pid) - cpu_at_exec
                    holds_com1 = holds_device(proc.pid, rdev)
        if not os.path.samefile(f"/proc/{proc.pid}/exe", argv[0]):
            raise MeasureError(f"PID {proc.pid} is not {argv[0]}")
        rss = vm_rss_kib(proc.pid)
        files = mapped_files(proc.pid)
        painted = x.painted_at(window)
    finally:
        stop(proc)
        if not proc.stdin.closed:
            proc.stdin.close()
        proc.stdout.close()
        os.close(master)
        os.close(slave)
    painted_ms = math.nan if painted is None else (painted - executed) * 1000
    return Run((executed - spawned) * 1000, (mapped - executed) * 1000, painted_ms, cpu, rss, holds_com1, files)


# --- Windows programs under Wine --------------------------------------------------------------------


def load_harness():
    """scripts/virtual-qm47t.py, whose Wine class and namespaces keep Wine away from the real ports.
    Its file name is a command's, not a module's: it is loaded by path."""
    tool = REPO / "scripts" / "virtual-qm47t.py"
    harness = types.ModuleType("virtual_qm47t")
    harness.__file__ = str(tool)
    exec(compile(tool.read_text(encoding="utf-8"), tool, "exec"), harness.__dict__)
    return harness


class WineHolder:
    """One namespace for the whole run, set up by the harness (a pty over /dev/ttyS0 and over the
    path the prefix maps COM1 to, /dev/null over the other ports, a private /run/lock), holding a
    wineserver of the harness's own prefix in the foreground, persistent. Each program starts in that
    namespace through nsenter, so that a start is the program's own, not the server's nor Wine's
    services' (the warm-up round starts those). Leaving stops the namespace's script, which ends the
    server (wineserver -k, then -w) before the namespace goes; the prefix must then be unused."""

    def __init__(self, harness, prefix):
        self.harness = harness
        self.wine = harness.Wine(prefix)
        self.process = None
        self.pty = None
        self.stopping = threading.Event()
        self.drain = threading.Thread(target=self._drain, daemon=True)

    def __enter__(self):
        self.wine.open()  # refuses while anything uses the prefix; makes the prefix on first use
        try:
            self.pty = os.openpty()
            self.rdev = os.fstat(self.pty[1]).st_rdev
            self.drain.start()
            self.process, _ = self.harness.spawn_in_namespace(
                ["wineserver", "--foreground", "--persistent"], os.ttyname(self.pty[1]), wine=self.wine,
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True)  # a Ctrl-C must not reach the server before __exit__ ends it
            self._wait_for_server()
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *_):
        if self.process is not None:
            self.harness.stop(self.process)
        self.stopping.set()
        if self.drain.is_alive():
            self.drain.join()
        if self.pty is not None:
            for fd in self.pty:
                os.close(fd)
            self.pty = None
        self.wine.close()  # raises if a process still uses the prefix

    def _drain(self):
        while not self.stopping.is_set():
            if select.select([self.pty[0]], [], [], 0.2)[0]:
                os.read(self.pty[0], 4096)  # keeps the pty from filling up; the bytes do not matter

    def _wait_for_server(self):
        # A client that found no server would start one of its own: wait until ours listens, in the
        # server directory it works in (named after the prefix's device and inode).
        prefix = os.stat(self.wine.prefix)
        directory = f"server-{prefix.st_dev:x}-{prefix.st_ino:x}"
        deadline = time.monotonic() + 20
        while not self._server_listening(directory):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise MeasureError("the wineserver did not start")
            time.sleep(0.05)

    def _server_listening(self, directory):
        for pid in self.harness.wine_processes(self.wine.prefix):
            try:
                cwd = os.readlink(f"/proc/{pid}/cwd")
            except OSError:
                continue
            if os.path.basename(cwd) == directory and os.path.exists(os.path.join(cwd, "socket")):
                return True
        return False

    def measure_once(self, name, argv, x, env, log_path):
        enter = ["nsenter", "--target", str(self.process.pid), "--mount"]
        if os.geteuid() != 0:
            enter += ["--user", "--preserve-credentials"]
        with open(log_path, "a") as log:
            log.write(f"--- {name}\n")
            log.flush()
            executed = time.monotonic()
            # nsenter execs wine, which execs its loader: the program keeps this PID.
            proc = subprocess.Popen([*enter, "--", "wine", *argv], env=self.wine.env(env), stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=log, cwd=env["HOME"])
        mapped = window = cpu = None
        try:
            while mapped is None or time.monotonic() < mapped + RSS_DELAY_S:
                wait = time_left(name, proc, log_path, executed, mapped)
                if select.select([x], [], [], wait)[0]:
                    x.receive()
                while mapped is None:
                    found = x.next_top_level_map()
                    if found is None:
                        break
                    if x.window_pid(found[1]) == proc.pid:
                        mapped, window = found
                        cpu = cpu_ms(proc.pid)
            # Wine's server opens the device for the program and keeps it while the program's handle lives.
            holders = [proc.pid, *self.harness.wine_processes(self.wine.prefix)]
            holds_com1 = any(holds_device(pid, self.rdev) for pid in holders)
            rss = vm_rss_kib(proc.pid)
            files = mapped_files(proc.pid)
            painted = x.painted_at(window)
        finally:
            self.harness.stop(proc, timeout=10)
        painted_ms = math.nan if painted is None else (painted - executed) * 1000
        return Run(0.0, (mapped - executed) * 1000, painted_ms, cpu, rss, holds_com1, files)


def mib(size):
    return f"{size / 2**20:.1f} MiB"


def report_sizes(programs, qt_files):
    """The .exe files, next to the Qt libraries and plug-ins the Linux program maps."""
    print("\nSize on disk:")
    for name, argv in programs.items():
        print(f"  {name:<16} {os.path.getsize(argv[0]):>10,} bytes  ({os.path.basename(argv[0])}, self-contained)")
    if qt_files is None:
        return
    qt = sorted(f for f in qt_files if "/libQt6" in f or "/qt6/plugins/" in f)
    icu = sorted(f for f in qt_files if os.path.basename(f).startswith("libicu"))
    print(f"  What a Qt deployment of the window would carry, as far as it can be measured here (no Qt for\n"
          f"  Windows is installed): the Qt 6 libraries and plug-ins the Linux program has mapped once its\n"
          f"  window is up, {len(qt)} files, {mib(sum(map(os.path.getsize, qt)))} (Linux x86-64 builds):")
    for path in qt:
        print(f"    {os.path.getsize(path):>12,}  {path}")
    if icu:
        print(f"  and the ICU libraries Qt Core loads with them, {mib(sum(map(os.path.getsize, icu)))}; a Windows\n"
              "  deployment would add its compiler's run-time DLLs and Qt's translations.")



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


def print_table(title, results, figure, columns, extra=None):
    """One figure of every program: median, min, max, and the median's ratio to each column's.
    Returns the medians and the minima; a program without the figure (NaN) has neither."""
    values = {name: [v for v in (figure(run) for run in runs) if not math.isnan(v)]
              for name, runs in results.items()}
    medians = {name: statistics.median(v) for name, v in values.items() if v}
    minima = {name: min(v) for name, v in values.items() if v}
    print(f"\n{title}")
    print(f"{'program':<16} {'median':>8} {'min':>8} {'max':>8}  "
          + " ".join(f"{'x' + c:>9}" for c in columns)
          + (f"  {extra[0]}" if extra else ""))
    for name, v in values.items():
        if not v:
            print(f"{name:<16} {'-':>8}")
            continue
        ratios = " ".join(f"{medians[name] / medians[c]:8.2f}x" if c in medians else f"{'-':>9}"
                          for c in columns)
        print(f"{name:<16} {medians[name]:8.1f} {min(v):8.1f} {max(v):8.1f}  {ratios}"
              + (f"  {extra[1](results[name])}" if extra else ""))
    return medians, minima


def verdict(label, figures, unit, target=None):
    (medians, minima) = figures
    ratio = medians["qm47t-converter"] / medians["floor"]
    low = minima["qm47t-converter"] / minima["floor"]
    outcome = "    " if target is None else ("PASS" if ratio <= target else "MISS")  # no target: figures only
    print(f"{outcome}  {label}: median {medians['qm47t-converter']:.1f} {unit} = {ratio:.2f}x the floor's "
          f"{medians['floor']:.1f} {unit}; minimum {minima['qm47t-converter']:.1f} {unit} = {low:.2f}x "
          f"the floor's {minima['floor']:.1f} {unit}"
          + (" (not a target)" if target is None else f" (target <= {target:.2f}x)"))


def report(results, rounds, startup_target=STARTUP_TARGET, memory_target=MEMORY_TARGET):
    columns = ["floor", *(peer for peer in PEERS if peer in results)]
    com1 = ("COM1 open when mapped", lambda runs: "yes" if all(run.holds_com1 for run in runs) else "no")
    startup = print_table(f"Start-up, ms from exec to the window mapped ({rounds} runs each, interleaved):",
                          results, lambda run: run.startup_ms, columns, com1)
    painted = print_table("Painted, ms from exec to the window fully drawn for the first time:",
                          results, lambda run: run.painted_ms, columns)
    print_table("CPU time spent by the map, ms (threads still running then; less swayed by other load):",
                results, lambda run: run.cpu_ms, columns)
    rss = print_table(f"Resident set {RSS_DELAY_S:g} s after the window was mapped, MiB:", results,
                      lambda run: run.rss_kib / 1024, columns)
    setup = statistics.median(run.setup_ms for runs in results.values() for run in runs)
    print(f"\n(namespace set-up before each exec, not counted above: median {setup:.1f} ms, "
          "the same for all)\n")
    verdict("start-up", startup, "ms", startup_target)
    verdict("painted ", painted, "ms")
    verdict("memory  ", rss, "MiB", memory_target)


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
        server, display = start_xvfb()
    except MeasureError as error:
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
                   "XDG_RUNTIME_DIR": runtime, "LANG": "C.UTF-8", "DISPLAY": f":{display}"}
            log_path = os.path.join(scratch, "programs.log")
            x = XClient(display)
            qt_files = None
            if args.windows:
                linux = os.path.abspath(args.linux_program)
                if os.access(linux, os.X_OK):
                    qt_files = measure_once("linux", [linux], x, env, log_path).files
                else:
                    print(f"({linux} is not built: the Qt libraries it loads are not weighed)")
                holder = WineHolder(load_harness(), os.path.join(os.path.abspath(args.build_dir), "wine-bench"))
                wine = holder.__enter__()
            names = list(programs)
            results = {name: [] for name in names}
            print(f"Xvfb :{display}; {args.rounds} rounds + 1 warm-up of: " + ", ".join(
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
    except MeasureError as error:
        sys.exit(f"startup.py: {error}")
    finally:
        if wine is not None:
            wine.__exit__()
        server.terminate()
        server.wait()


if __name__ == "__main__":
    main()
