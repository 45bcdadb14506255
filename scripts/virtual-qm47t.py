#!/usr/bin/env python3
"""A virtual QM47T module: try qm47t-converter with no module and no serial port.

  scripts/virtual-qm47t.py [--program PATH]
  scripts/virtual-qm47t.py --demo [--program PATH] [--screenshot PATH]
  scripts/virtual-qm47t.py --windows [--program PATH.exe] [--screenshot PATH]

Starts the program with a pseudo-terminal standing in for COM1 and prints every frame the module
receives: the time, the bytes in hex, the text they decode to as UTF-16BE, and the line settings the
program set on the port. The pseudo-terminal is bound over /dev/ttyS0 in a private mount namespace
that only the program lives in (with its own /run/lock for the port's lock file), so a real serial
port is never opened. Ends when the program ends, with its exit status.

--demo with a display does the same. Without one (DISPLAY unset) it runs the program on a private
Xvfb instead, types 汉字 with the keyboard, clicks the convert button, saves a screenshot of the
window and clicks Exit; it exits 0 only if the module received 6C 49 5B 57.

--windows does the same with the Windows program under Wine (default build-windows/
qm47t-converter.exe, screenshot build/demo-windows.png). Wine runs only inside the namespace, with a
wineserver of its own on a prefix beside the program (made on first use, about 10 s), in which COM1
is a path that exists only there; the server is ended before the namespace goes. It refuses to start
while anything else uses that prefix.

Needs root, or unprivileged user namespaces when run as a normal user. The module also imports as a
library: the end-to-end tests drive the program through it.
"""

import argparse
import ctypes
import ctypes.util
import datetime
import os
import select
import shlex
import shutil
import subprocess
import sys
import tempfile
import termios
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
DEFAULT_PROGRAM = REPO / "build" / "qm47t-converter"
DEFAULT_SCREENSHOT = REPO / "build" / "demo.png"
DEFAULT_WINDOWS_PROGRAM = REPO / "build-windows" / "qm47t-converter.exe"
DEFAULT_WINDOWS_SCREENSHOT = REPO / "build" / "demo-windows.png"
COM1 = "/dev/ttyS0"
WINDOW_TITLE = "汉字ASCII码 -> Unicode码转化器      （QM47T短信数传模块专用软件）"

# Where the controls sit in the window's client area, in pixels: the centres are what a user clicks.
TEXT1_CENTRE = (141 + 357 // 2, 24 + 66 // 2)
TEXT2_CENTRE = (141 + 356 // 2, 120 + 129 // 2)
COMMAND1_CENTRE = (123 + 202 // 2, 270 + 52 // 2)
COMMAND2_CENTRE = (441 + 81 // 2, 270 + 51 // 2)

# A point on the first line of a message box's text, right of its icon.
MESSAGE_LABEL = (120, 20)

# The program writes a frame in one go; bytes that arrive this close together belong to one frame.
FRAME_GAP = 0.05

# The namespace refuses to start the program unless /dev/ttyS0 is then a Unix98 pty slave (majors
# 136 to 143, as `stat %t` prints them), so a failed bind can never leave a real UART in its place.
PTY_MAJORS_HEX = ("88", "89", "8a", "8b", "8c", "8d", "8e", "8f")
REFUSED_STATUS = 125


class Unavailable(RuntimeError):
    """Something this machine lacks before the program can be run against the virtual module."""


def wait_until(condition, timeout, interval=0.02):
    """Polls `condition` until it returns something true or `timeout` seconds pass; returns its value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


# --- the private namespace --------------------------------------------------------------------------


def namespace_command():
    if os.geteuid() == 0:
        return ["unshare", "--mount", "--propagation", "private"]
    # As a normal user: a user namespace in which we are root, owning the new mount namespace.
    return ["unshare", "--map-root-user", "--mount"]


NAMESPACE_ADVICE = """\
The program has to run in a private mount namespace, where a pseudo-terminal is bound over
/dev/ttyS0 for it alone. This machine did not allow that: {reason}
Fix it in one of these ways:
  - run it as root: sudo make demo, sudo make test
  - allow unprivileged user namespaces:
      sudo sysctl -w kernel.unprivileged_userns_clone=1          (Debian)
      sudo sysctl -w kernel.apparmor_restrict_unprivileged_userns=0   (Ubuntu 23.10 and later)
  - in a container: start it with CAP_SYS_ADMIN (docker run --privileged)"""


def check_namespace():
    """Raises Unavailable, saying how to fix it, unless the program's namespace can be set up here."""
    if shutil.which("unshare") is None:
        raise Unavailable(NAMESPACE_ADVICE.format(reason="unshare (util-linux) is not installed"))
    if not os.path.exists(COM1):
        raise Unavailable(f"{COM1} does not exist on this machine, so there is nothing to bind the virtual "
                          "module's pseudo-terminal over.")
    probe = subprocess.run([*namespace_command(), "mount", "-t", "tmpfs", "tmpfs", "/run/lock"],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if probe.returncode != 0:
        reason = probe.stderr.strip() or f"unshare exited with status {probe.returncode}"
        raise Unavailable(NAMESPACE_ADVICE.format(reason=reason))


# What a program needs of /dev, bound in from the real one when the namespace gets a /dev of its own.
PRIVATE_DEV_NODES = ("null", "zero", "full", "random", "urandom", "tty", "ptmx")


def private_dev_steps(links):
    """Gives the namespace a /dev of its own: a tmpfs with the few nodes a program needs bound in from
    the real one, the real /dev/pts (where the pty lives), the namespace's ttyS0 (the pty) and no other
    serial port, and `links` (name: target) as symlinks. Built aside on the private /run/lock, then
    moved over /dev: nothing is ever created in the real one."""
    new = "/run/lock/qm47t-dev"
    steps = [f"mkdir {new}", f"mount -t tmpfs -o mode=755 tmpfs {new}"]
    for node in (*PRIVATE_DEV_NODES, "ttyS0"):
        steps.append(f"if [ -L /dev/{node} ]; then cp -P /dev/{node} {new}/; "
                     f"else touch {new}/{node}; mount --bind /dev/{node} {new}/{node}; fi")
    steps += [f"mkdir {new}/pts {new}/shm", f"mount --rbind /dev/pts {new}/pts",
              f"mount -t tmpfs -o mode=1777 tmpfs {new}/shm", f"ln -s /proc/self/fd {new}/fd"]
    steps += [f"ln -s {shlex.quote(target)} {new}/{shlex.quote(name)}" for name, target in links.items()]
    return steps + [f"mount --move {new} /dev", f"rmdir {new}"]


def namespace_script(port_source, require_pty, gated, wine=False, dev_links=None):
    port = shlex.quote(port_source)
    steps = [
        "set -e",
        # The program takes the port's lock file there; a private one leaves the machine's locks alone.
        "mount -t tmpfs tmpfs /run/lock",
        f"mount --bind {port} {COM1}",
        f'for port in /dev/ttyS*; do [ "$port" = {COM1} ] || mount --bind /dev/null "$port"; done',
    ]
    ports = [COM1]
    if wine:
        # The prefix maps COM1 to this file, which exists only here, on the private /run/lock.
        steps += [f": > {WINE_COM1}", f"mount --bind {port} {WINE_COM1}"]
        ports.append(WINE_COM1)
    if dev_links is not None:
        steps += private_dev_steps(dev_links)
    if require_pty:
        steps += [f'case "$(stat -L -c %t {path})" in {"|".join(PTY_MAJORS_HEX)}) ;; '
                  f'*) echo "virtual-qm47t: {path} is not the pseudo-terminal, refusing to start" >&2; '
                  f"exit {REFUSED_STATUS};; esac" for path in ports]
    if gated:
        # Tells the caller on stdout that the mounts are in place, hands the program stderr as its
        # stdout, and waits for the go-ahead on stdin.
        steps.append("echo; exec 1>&2; read -r _")
    if not wine:
        steps.append('exec "$@"')
        return "\n".join(steps)
    # The wineserver this run starts opens the devices, so it must end before the namespace does:
    # a stop request (SIGTERM) ends the wait, not the shell.
    steps += ["set +e", "trap : TERM INT HUP", '"$@" & wait $!', "status=$?",
              "wineserver -k 2>/dev/null", "wineserver -w", "exit $status"]
    return "\n".join(steps)


def spawn_in_namespace(argv, port_source, *, require_pty=True, env=None, gated=False, wine=None,
                       dev_links=None, **popen_args):
    """Starts argv in a private mount namespace with port_source bound over /dev/ttyS0 and /dev/null
    over the other /dev/ttyS*. Gated: the mounts are made first, then the process waits; call the
    returned `go()` to let it exec argv (`go` is None otherwise). With `wine` (a Wine) argv runs
    under that prefix's own wineserver, which is ended before the namespace goes. With dev_links (a
    dict, maybe empty) the namespace gets a /dev of its own holding those symlinks (private_dev_steps)."""
    script = namespace_script(port_source, require_pty, gated, wine is not None, dev_links)
    if wine is not None:
        env = wine.env(env)
    command = [*namespace_command(), "sh", "-c", script, "qm47t-namespace", *argv]
    if not gated:
        return subprocess.Popen(command, env=env, **popen_args), None
    process = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, **popen_args)
    mounted = process.stdout.read(1) == b"\n"
    process.stdout.close()
    if not mounted:
        process.wait()
        raise RuntimeError(f"the namespace set-up failed (status {process.returncode})")

    def go():
        process.stdin.write(b"\n")
        process.stdin.close()

    return process, go


def stop(process, timeout=20.0):
    """Asks a program started in a namespace to end (under Wine the namespace then ends its
    wineserver), and kills it only if it does not."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


# --- Windows programs under Wine ----------------------------------------------------------------------

# Where the prefix's registry (HKLM\Software\Wine\Ports) puts COM1: a file on the namespace's private
# /run/lock with the pseudo-terminal bound over it, so that outside a namespace COM1 leads nowhere.
WINE_COM1 = "/run/lock/qm47t-com1"
WINE_PORTS_KEY = r"HKLM\Software\Wine\Ports"


def wine_processes(prefix):
    """The processes (wineservers and their clients) that run with this WINEPREFIX."""
    prefix = os.path.realpath(prefix)
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as environ:
                values = environ.read().split(b"\0")
        except OSError:
            continue
        if any(value.startswith(b"WINEPREFIX=") and os.path.realpath(value[11:]) == os.fsencode(prefix)
               for value in values):
            found.append(int(entry))
    return found


class Wine:
    """Runs a Windows program under Wine: each run in its own namespace, with a wineserver of its own
    on a prefix of its own, so that it sees the virtual module as COM1 and nothing else.

    Holds a lock on the prefix while open and refuses to start while any process uses the prefix:
    other runs and other people's Wine sessions are never touched. The prefix is made on first use
    (wineboot, about 10 s) with COM1 mapped to WINE_COM1; Chinese comes from a zh_CN.UTF-8 locale
    compiled next to it, /etc left alone."""

    def __init__(self, prefix, lang="zh_CN.UTF-8"):
        self.prefix = Path(prefix).resolve()
        self.locales = self.prefix.parent / "locale"
        self.lang = lang
        self._lock = None

    def open(self):
        for tool, package in (("wine", "wine"), ("wineserver", "wine"), ("localedef", "locales"),
                              ("nsenter", "util-linux")):
            if shutil.which(tool) is None:
                raise Unavailable(f"{tool} is not installed (Debian package {package})")
        import fcntl
        self.prefix.parent.mkdir(parents=True, exist_ok=True)
        self._lock = open(self.prefix.parent / f".{self.prefix.name}.lock", "w")
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            self._release()
            raise RuntimeError(f"another run is using the Wine prefix {self.prefix}") from None
        try:
            self.refuse_if_busy()
            self._make_locale()
            if not self._com1_mapped():
                self._make_prefix()
        except BaseException:
            self._release()
            raise
        return self

    def close(self):
        """Lets go of the prefix; raises if a process of ours still uses it: every run's namespace
        must have ended its wineserver."""
        if not self._lock:
            return
        wait_until(lambda: not wine_processes(self.prefix), 10.0)
        left = wine_processes(self.prefix)
        self._release()
        if left:
            raise RuntimeError(f"processes {left} still use the Wine prefix {self.prefix} after the last run")

    def _release(self):
        if self._lock:
            self._lock.close()
            self._lock = None

    def __enter__(self):
        return self.open()

    def __exit__(self, *_):
        self.close()

    def refuse_if_busy(self):
        busy = wine_processes(self.prefix)
        if busy:
            raise RuntimeError(f"processes {busy} already use the Wine prefix {self.prefix} (a wineserver "
                               "left running?); refusing to start a second server on it")

    def env(self, base=None):
        env = dict(os.environ if base is None else base)
        env.update(WINEPREFIX=str(self.prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                   LANG=self.lang, LOCPATH=str(self.locales))
        env.pop("LC_ALL", None)
        return env

    def inside(self, process, argv, **run_args):
        """Runs argv in the namespace of a running `process` (so under its wineserver) and waits."""
        enter = ["nsenter", "--target", str(process.pid), "--mount"]
        if os.geteuid() != 0:
            enter += ["--user", "--preserve-credentials"]
        return subprocess.run([*enter, "--", *argv], env=self.env(run_args.pop("env", None)), **run_args)

    def _make_locale(self):
        if (self.locales / "zh_CN.UTF-8" / "LC_CTYPE").exists():
            return
        self.locales.mkdir(parents=True, exist_ok=True)
        # localedef warns about the locale's own data and says so in its status; the files count.
        subprocess.run(["localedef", "-i", "zh_CN", "-f", "UTF-8", str(self.locales / "zh_CN.UTF-8")],
                       stdin=subprocess.DEVNULL, capture_output=True)
        if not (self.locales / "zh_CN.UTF-8" / "LC_CTYPE").exists():
            raise Unavailable("localedef could not compile zh_CN.UTF-8 (Debian package locales)")

    def _com1_mapped(self):
        registry = self.prefix / "system.reg"
        return registry.exists() and f'"COM1"="{WINE_COM1}"' in registry.read_text(errors="replace")

    def _make_prefix(self):
        print(f"virtual-qm47t: making the Wine prefix {self.prefix} (once, about 10 s)", file=sys.stderr, flush=True)
        shutil.rmtree(self.prefix, ignore_errors=True)
        master, slave = os.openpty()
        try:
            # The registry is written when the server ends, which `wineserver -w` waits for.
            script = ("wineboot -i && wine reg add '" + WINE_PORTS_KEY + "' /v COM1 /t REG_SZ /d " + WINE_COM1 +
                      " /f >/dev/null && wineserver -w")
            process, _ = spawn_in_namespace(["sh", "-c", script], os.ttyname(slave), wine=self,
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
            process.wait(300)
        finally:
            os.close(slave)
            os.close(master)
        if not self._com1_mapped():
            raise RuntimeError(f"could not make the Wine prefix {self.prefix} with COM1 mapped to {WINE_COM1}")


# --- the module's end of the line -------------------------------------------------------------------

SPEEDS = {getattr(termios, name): int(name[1:]) for name in dir(termios)
          if name.startswith("B") and name[1:].isdigit()}
DATA_BITS = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}


class LineSettings:
    def __init__(self, attributes):
        _, _, cflag, _, _, ospeed, _ = attributes
        self.speed = SPEEDS.get(ospeed, ospeed)
        self.data_bits = DATA_BITS[cflag & termios.CSIZE]
        self.parity = "N" if not cflag & termios.PARENB else ("O" if cflag & termios.PARODD else "E")
        self.stop_bits = 2 if cflag & termios.CSTOPB else 1
        self.rts_cts = bool(cflag & termios.CRTSCTS)
        self.xon_xoff = bool(attributes[0] & (termios.IXON | termios.IXOFF))
        # Output processing (LF to CR LF and the like) would alter the frames on their way out.
        self.post_processing = bool(attributes[1] & termios.OPOST)

    def __str__(self):
        flow = ", ".join(name for name, on in (("RTS/CTS", self.rts_cts), ("XON/XOFF", self.xon_xoff)) if on)
        return (f"{self.speed} bit/s {self.data_bits}{self.parity}{self.stop_bits}, "
                f"{flow + ' flow control' if flow else 'no flow control'}"
                f"{', output processing ON (not raw)' if self.post_processing else ''}")


class Frame:
    def __init__(self, when, data, settings):
        self.when = when
        self.data = bytes(data)
        self.settings = settings

    def hex(self):
        return " ".join(f"{byte:02X}" for byte in self.data)

    def text(self):
        if len(self.data) % 2:
            return None
        return self.data.decode("utf-16-be", errors="replace")

    def __str__(self):
        text = self.text()
        return (f"{self.when:%H:%M:%S.%f}"[:-3] + f"  COM1 received {len(self.data)} bytes  ({self.settings})\n"
                f"  hex:  {self.hex()}\n"
                f"  text: {'(odd number of bytes, not UTF-16)' if text is None else repr(text)}")


class VirtualModule:
    """The QM47T's end of the line: the master side of a pseudo-terminal whose slave the program opens
    as /dev/ttyS0. A thread reads everything that arrives; `on_frame` is called for every frame."""

    def __init__(self, on_frame=None):
        self._master, slave = os.openpty()
        self.slave_path = os.ttyname(slave)
        # The line stays as a fresh pty is (cooked, newlines translated): making it raw is the
        # program's job, and the frames' settings show whether it did.
        # Only the program may hold the slave once it runs: then a hang-up tells us it let go.
        os.close(slave)
        self._on_frame = on_frame
        self._lock = threading.Condition()
        self._received = bytearray()
        self._frames = []
        self._opened = False
        self._released = False
        self._stop = False
        self._thread = threading.Thread(target=self._listen, name="virtual-qm47t", daemon=True)
        self._thread.start()

    def start(self, argv, env=None, wine=None, **popen_args):
        """Starts argv (the program, or a wrapper around it) with this module on its COM1; with
        `wine` (a Wine), under that prefix's own wineserver: argv then runs `wine PROGRAM.exe`."""
        process, _ = spawn_in_namespace(argv, self.slave_path, env=env, wine=wine, **popen_args)
        return process

    def close(self):
        self._stop = True
        self._thread.join()
        os.close(self._master)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def _line_settings(self):
        # On Linux a pty master answers with its slave's termios: what the program set.
        return LineSettings(termios.tcgetattr(self._master))

    def _listen(self):
        pending, started, settings, last = bytearray(), None, None, 0.0
        poller = select.poll()
        poller.register(self._master, select.POLLIN)
        while not self._stop:
            events = poller.poll(10)
            readable = any(event & select.POLLIN for _, event in events)
            hung_up = any(event & select.POLLHUP for _, event in events)
            if readable:
                try:
                    chunk = os.read(self._master, 4096)
                except OSError:
                    chunk = b""
                if chunk:
                    if not pending:
                        started, settings = datetime.datetime.now(), self._line_settings()
                    pending += chunk
                    last = time.monotonic()
                    with self._lock:
                        self._opened = True
                        self._received += chunk
                        self._lock.notify_all()
                    continue
            if pending and time.monotonic() - last >= FRAME_GAP:
                self._finish_frame(Frame(started, pending, settings))
                pending = bytearray()
            with self._lock:
                if not hung_up and not self._opened:
                    self._opened = True
                    self._lock.notify_all()
                elif hung_up and self._opened and not self._released and not readable:
                    self._released = True
                    self._lock.notify_all()
            if hung_up:
                # Nobody holds the slave, so poll would return at once: do not spin.
                time.sleep(0.01)
        if pending:
            self._finish_frame(Frame(started, pending, settings))

    def _finish_frame(self, frame):
        with self._lock:
            self._frames.append(frame)
            self._lock.notify_all()
        if self._on_frame:
            self._on_frame(frame)

    def wait_bytes(self, count, timeout=5.0):
        """Waits until at least `count` bytes have arrived in all, or until the timeout; returns all
        that has arrived."""
        with self._lock:
            self._lock.wait_for(lambda: len(self._received) >= count, timeout)
            return bytes(self._received)

    def frames(self):
        with self._lock:
            return list(self._frames)

    def wait_opened(self, timeout=10.0):
        """True once the program has opened the port (at once if it already has)."""
        with self._lock:
            return self._lock.wait_for(lambda: self._opened, timeout)

    def wait_released(self, timeout=10.0):
        """True once the program, having opened the port, has closed it again."""
        with self._lock:
            return self._lock.wait_for(lambda: self._released, timeout)


# --- a private X display and the user's hands on it --------------------------------------------------


class Xvfb:
    """A private X server; `env` is the environment for programs that should use it."""

    def __init__(self, screen="1024x768x24", timeout=10.0):
        if shutil.which("Xvfb") is None:
            raise Unavailable("Xvfb is not installed (Debian package xvfb)")
        ready_read, ready_write = os.pipe()
        try:
            self._process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(ready_write), "-screen", "0", screen, "-nolisten", "tcp",
                 "-noreset"],
                pass_fds=(ready_write,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
        finally:
            os.close(ready_write)
        with os.fdopen(ready_read, "rb") as ready:
            if not select.select([ready], [], [], timeout)[0]:
                self.close()
                raise RuntimeError("Xvfb did not start")
            number = ready.readline().strip().decode()
        if not number:
            self.close()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number
        self.env = dict(os.environ, DISPLAY=self.display, QT_QPA_PLATFORM="xcb")
        self.env.pop("WAYLAND_DISPLAY", None)
        # Qt wants a runtime directory and warns without one, as it is under plain root shells.
        self._runtime = None
        if not self.env.get("XDG_RUNTIME_DIR"):
            self._runtime = tempfile.TemporaryDirectory(prefix="qm47t-runtime-")
            self.env["XDG_RUNTIME_DIR"] = self._runtime.name

    def close(self):
        self._process.terminate()
        self._process.wait()
        if self._runtime:
            self._runtime.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


class Desktop:
    """What a user does on a display: find windows, click, type, use the clipboard."""

    def __init__(self, env):
        self.env = env

    def _run(self, *argv, check=True):
        result = subprocess.run(argv, env=self.env, capture_output=True, text=True, check=False)
        if check and result.returncode != 0:
            raise RuntimeError(f"{shlex.join(argv)} failed ({result.returncode}): {result.stderr.strip()}")
        return result

    def xdotool(self, *args):
        return self._run("xdotool", *args).stdout

    def windows(self, title=WINDOW_TITLE):
        """The visible top-level windows with exactly this title."""
        # `search --name` reads only WM_NAME, which a program in a non-Unicode locale (Wine under
        # LANG=C) fills with question marks; getwindowname reads the UTF-8 _NET_WM_NAME first.
        result = self._run("xdotool", "search", "--onlyvisible", "--name", ".", check=False)
        named = [window for window in result.stdout.split() if window]
        return [window for window in named
                if self._run("xdotool", "getwindowname", window, check=False).stdout.rstrip("\n") == title]

    def geometry(self, window):
        fields = dict(line.split("=", 1) for line in self.xdotool("getwindowgeometry", "--shell", window).split())
        return int(fields["X"]), int(fields["Y"]), int(fields["WIDTH"]), int(fields["HEIGHT"])

    def wait_window(self, title=WINDOW_TITLE, count=1, timeout=20.0):
        """Waits until `count` windows with the title are visible; returns them, or [] on timeout."""
        found = wait_until(lambda: (lambda w: w if len(w) == count else None)(self.windows(title)), timeout)
        return found or []

    def click(self, window, position):
        x, y = position
        self.xdotool("mousemove", "--window", window, str(x), str(y), "click", "1")

    def focus(self, window):
        self.xdotool("windowfocus", "--sync", window)

    def key(self, *keys):
        self.xdotool("key", "--clearmodifiers", *keys)

    def type(self, text):
        bind_keysyms(self.env["DISPLAY"], text)
        self.xdotool("type", text)

    def clipboard(self):
        result = self._run("xclip", "-selection", "clipboard", "-o", check=False)
        return result.stdout if result.returncode == 0 else None

    def set_clipboard(self, text, timeout=5.0):
        # xclip stays behind to serve the selection until someone else takes it over.
        subprocess.run(["xclip", "-selection", "clipboard", "-i"], env=self.env, input=text, text=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        if wait_until(lambda: self.clipboard() == text, timeout) is False:
            raise RuntimeError("the clipboard did not take the text")

    def copy(self, keys=("ctrl+a", "ctrl+c"), timeout=5.0):
        """Presses the keys that copy something and returns what then lands on the clipboard."""
        marker = f"virtual-qm47t-{time.monotonic_ns()}"
        self.set_clipboard(marker)
        self.key(*keys)
        copied = wait_until(lambda: (lambda c: c if c not in (None, marker) else None)(self.clipboard()),
                            timeout)
        if copied is None:
            raise RuntimeError("nothing was copied")
        return copied

    def message_text(self, box):
        """The text of a message box: its label takes a triple click and copies its selection."""
        self.xdotool("mousemove", "--window", box, *map(str, MESSAGE_LABEL), "click", "--repeat", "3", "1")
        return self.copy(keys=("ctrl+c",))

    def request_close(self, window):
        """Asks the window to close as a window manager's close button does (WM_DELETE_WINDOW)."""
        send_delete_window(self.env["DISPLAY"], int(window))

    def window_name(self, window):
        return self.xdotool("getwindowname", window).rstrip("\n")

    def screenshot(self, window, path):
        """Saves the window's contents. Xvfb has no window manager to draw a title bar, so one is
        drawn above them, carrying the title the window has."""
        self._run("import", "-display", self.env["DISPLAY"], "-window", window, str(path))
        width = self.geometry(window)[2]
        self._run("convert", str(path), "(", "-size", f"{width}x26", "-background", "#d8d8d8", "-fill", "black",
                  "-font", "Noto-Sans-CJK-SC", "-pointsize", "13", "-gravity", "center",
                  "label:" + self.window_name(window), ")", "+swap", "-append", str(path))


class _ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _ClientMessage), ("pad", ctypes.c_long * 24)]


_xlib = None


def xlib():
    global _xlib
    if _xlib is None:
        name = ctypes.util.find_library("X11")
        if name is None:
            raise Unavailable("libX11 is not installed (Debian package libx11-6)")
        lib = ctypes.cdll.LoadLibrary(name)
        lib.XOpenDisplay.restype = ctypes.c_void_p
        lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        lib.XCloseDisplay.argtypes = [ctypes.c_void_p]
        lib.XFlush.argtypes = [ctypes.c_void_p]
        lib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.XFree.argtypes = [ctypes.c_void_p]
        lib.XInternAtom.restype = ctypes.c_ulong
        lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        lib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                   ctypes.POINTER(_XEvent)]
        lib.XDisplayKeycodes.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int),
                                         ctypes.POINTER(ctypes.c_int)]
        lib.XGetKeyboardMapping.restype = ctypes.POINTER(ctypes.c_ulong)
        lib.XGetKeyboardMapping.argtypes = [ctypes.c_void_p, ctypes.c_ubyte, ctypes.c_int,
                                            ctypes.POINTER(ctypes.c_int)]
        lib.XChangeKeyboardMapping.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                               ctypes.POINTER(ctypes.c_ulong), ctypes.c_int]
        lib.XStringToKeysym.restype = ctypes.c_ulong
        lib.XStringToKeysym.argtypes = [ctypes.c_char_p]
        _xlib = lib
    return _xlib


class _Connection:
    def __init__(self, display_name):
        self.lib = xlib()
        self.display = self.lib.XOpenDisplay(display_name.encode())
        if not self.display:
            raise RuntimeError(f"cannot open display {display_name}")

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.lib.XCloseDisplay(self.display)


def send_delete_window(display_name, window):
    # No window manager runs on a private Xvfb, so send the close request it would send.
    with _Connection(display_name) as x:
        event = _XEvent()
        client_message = 33
        event.xclient.type = client_message
        event.xclient.window = window
        event.xclient.message_type = x.lib.XInternAtom(x.display, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.data[0] = x.lib.XInternAtom(x.display, b"WM_DELETE_WINDOW", 0)
        event.xclient.data[1] = 0  # CurrentTime
        if not x.lib.XSendEvent(x.display, window, 0, 0, ctypes.byref(event)):
            raise RuntimeError("XSendEvent failed")
        x.lib.XFlush(x.display)


def keysym(character):
    code = ord(character)
    return code if 0x20 <= code <= 0x7E or 0xA0 <= code <= 0xFF else 0x01000000 | code


# The keys past the main block that a Windows program under Wine may be sent (xdotool key names).
WINE_KEPT_KEYS = ("Home", "End", "Left", "Right", "Up", "Down", "Prior", "Next", "Insert", "Delete",
                  "Control_R", "Alt_R", "KP_Enter")
MAIN_BLOCK_LAST_KEYCODE = 91


def keyboard_mapping(x):
    """The display's keymap: the first keycode, the keysyms per keycode, and a row of them for each
    keycode from the first on."""
    low, high = ctypes.c_int(), ctypes.c_int()
    x.lib.XDisplayKeycodes(x.display, ctypes.byref(low), ctypes.byref(high))
    per_keycode = ctypes.c_int()
    count = high.value - low.value + 1
    mapping = x.lib.XGetKeyboardMapping(x.display, low.value, count, ctypes.byref(per_keycode))
    width = per_keycode.value
    rows = [tuple(mapping[i * width + j] for j in range(width)) for i in range(count)]
    x.lib.XFree(mapping)
    return low.value, width, rows


def prepare_keyboard_for_wine(display_name, characters):
    """Makes `characters` typeable in a Windows program that starts after this call.

    Wine reads the keymap once, when the program starts, and hands each key that has no Windows
    virtual-key code one of some thirty spare codes, in keycode order; a key left without one types
    nothing, and a key bound later is never seen. On the stock Xvfb keymap the multimedia, vendor
    and Sun keys take all the spare codes before the keycodes the characters would get. So the keys
    past the main block are cleared (except the cursor and editing keys), and then the characters
    bound, before the program starts."""
    with _Connection(display_name) as x:
        kept = {x.lib.XStringToKeysym(name.encode()) for name in WINE_KEPT_KEYS}
        low, width, rows = keyboard_mapping(x)
        bound = {keysym(c) for c in characters}
        for offset, row in enumerate(rows):
            code = low + offset
            if code > MAIN_BLOCK_LAST_KEYCODE and any(row) and not set(row) & (kept | bound):
                x.lib.XChangeKeyboardMapping(x.display, code, width, (ctypes.c_ulong * width)(), 1)
        x.lib.XSync(x.display, 0)
    bind_keysyms(display_name, characters)


def bind_keysyms(display_name, characters):
    """Gives every character that no key types a spare keycode of its own, and leaves it there.

    xdotool would otherwise bind each such character to a scratch keycode just for its keystroke and
    unbind it straight after; Qt may look the key up after the unbinding and then drops the character
    (a six-character Chinese text lost two of them that way). With the keymap left as it is while
    typing there is no such race."""
    with _Connection(display_name) as x:
        low, _, rows = keyboard_mapping(x)
        present = {sym for row in rows for sym in row}
        missing = sorted({keysym(c) for c in characters} - present)
        spare = [low + i for i, row in enumerate(rows) if not any(row)]
        # One spare keycode stays free for xdotool's own use.
        if len(missing) > len(spare) - 1:
            raise RuntimeError(f"the keymap has {len(spare)} spare keycodes, {len(missing) + 1} needed")
        for code, sym in zip(spare, missing):
            x.lib.XChangeKeyboardMapping(x.display, code, 1, (ctypes.c_ulong * 1)(sym), 1)
        x.lib.XSync(x.display, 0)


# --- the command --------------------------------------------------------------------------------------


def print_frame(frame):
    print(frame, flush=True)


def exit_status(returncode):
    return 128 - returncode if returncode < 0 else returncode


def run_on_display(program, wine=None):
    """The program on the user's own display, the virtual module printing what it receives."""
    with VirtualModule(on_frame=print_frame) as module:
        print(f"virtual-qm47t: the program's COM1 is the virtual module ({module.slave_path}).\n"
              "Type in the input box and click the convert button: each frame the module receives is "
              "shown here. Click 退出 or close the window to end.", flush=True)
        process = module.start(program_argv(program, wine), wine=wine)
        try:
            status = process.wait()
        except KeyboardInterrupt:
            # Under Wine the namespace still ends the wineserver; wait for that.
            status = process.wait()
        module.wait_released(timeout=1.0)
    return exit_status(status)


def program_argv(program, wine):
    return ["wine", str(program)] if wine else [str(program)]


def run_headless_demo(program, screenshot, wine=None):
    """The tour on a private Xvfb: types 汉字, converts, takes a screenshot, exits."""
    expected = "汉字".encode("utf-16-be")
    with Xvfb() as xvfb, VirtualModule(on_frame=print_frame) as module:
        desktop = Desktop(xvfb.env)
        print(f"virtual-qm47t: no DISPLAY, so the program runs on a private Xvfb ({xvfb.display}) with "
              f"the virtual module ({module.slave_path}) on its COM1.", flush=True)
        if wine:
            prepare_keyboard_for_wine(xvfb.display, "汉字")
        process = module.start(program_argv(program, wine), env=xvfb.env, wine=wine)
        try:
            windows = desktop.wait_window()
            if not windows:
                print("virtual-qm47t: the program's window did not appear", file=sys.stderr)
                return 1
            window = windows[0]
            print("virtual-qm47t: typing 汉字 into the input box and clicking the convert button", flush=True)
            desktop.click(window, TEXT1_CENTRE)
            desktop.type("汉字")
            desktop.click(window, COMMAND1_CENTRE)
            received = module.wait_bytes(len(expected))
            # Let the frame be printed before the closing words.
            wait_until(lambda: module.frames(), FRAME_GAP * 10)
            desktop.screenshot(window, screenshot)
            print(f"virtual-qm47t: screenshot of the window saved to {screenshot}", flush=True)
            print("virtual-qm47t: clicking 退出", flush=True)
            desktop.click(window, COMMAND2_CENTRE)
            status = exit_status(process.wait(timeout=20))
        finally:
            stop(process)
    if received != expected:
        got = " ".join(f"{byte:02X}" for byte in received) or "nothing"
        print(f"virtual-qm47t: demo FAILED: the module expected 6C 49 5B 57 and got {got}", file=sys.stderr)
        return 1
    if status != 0:
        print(f"virtual-qm47t: demo FAILED: the program exited with status {status}", file=sys.stderr)
        return 1
    print("virtual-qm47t: demo passed: the module received 6C 49 5B 57 (汉字) and the program exited "
          "with status 0.", flush=True)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split("\n\n", 1)[1])
    parser.add_argument("--program", type=Path,
                        help=f"default: {DEFAULT_PROGRAM}, with --windows {DEFAULT_WINDOWS_PROGRAM}")
    parser.add_argument("--demo", action="store_true",
                        help="without a display: the scripted tour on a private Xvfb")
    parser.add_argument("--windows", action="store_true",
                        help="the Windows program under Wine; without a display the scripted tour")
    parser.add_argument("--screenshot", type=Path,
                        help=f"where the tour saves the window (default: {DEFAULT_SCREENSHOT}, with --windows "
                             f"{DEFAULT_WINDOWS_SCREENSHOT})")
    options = parser.parse_args()
    program = (options.program or (DEFAULT_WINDOWS_PROGRAM if options.windows else DEFAULT_PROGRAM)).resolve()
    screenshot = options.screenshot or (DEFAULT_WINDOWS_SCREENSHOT if options.windows else DEFAULT_SCREENSHOT)

    if not os.access(program, os.R_OK if options.windows else os.X_OK):
        sys.exit(f"virtual-qm47t: {program} is not built yet: run make {'windows' if options.windows else 'build'} "
                 "first")
    wine = Wine(program.parent / "wine-e2e") if options.windows else None
    try:
        check_namespace()
        if wine:
            wine.open()
        if (options.demo or options.windows) and not os.environ.get("DISPLAY"):
            for tool, package in (("xdotool", "xdotool"), ("import", "imagemagick"), ("xclip", "xclip")):
                if shutil.which(tool) is None:
                    raise Unavailable(f"{tool} is not installed (Debian package {package})")
            return run_headless_demo(program, screenshot, wine)
        return run_on_display(program, wine)
    except Unavailable as reason:
        print(f"virtual-qm47t: cannot run here.\n{reason}", file=sys.stderr)
        return 2
    except RuntimeError as problem:
        print(f"virtual-qm47t: {problem}", file=sys.stderr)
        return 1
    finally:
        if wine:
            wine.close()


if __name__ == "__main__":
    sys.exit(main())
