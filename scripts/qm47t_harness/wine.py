# SPDX-License-Identifier: MIT
"""Windows programs under Wine: a prefix of its own with COM1 mapped to a path that exists only in the
run's namespace, a wineserver of its own that ends before the namespace does, and nothing started
while anything else uses the prefix."""

import fcntl
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

from . import Closing, Unavailable, wait_until
from .module import VirtualModule
from .namespace import WINE_COM1, enter_command, spawn_in_namespace, stop

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


class Wine(Closing):
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
        # A Wine is made closed, so entering it opens the prefix as well.
        return self.open()

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

    def run(self, argv, timeout, **popen_args):
        """Runs argv to its end in a namespace of its own, under the prefix's own wineserver, and
        returns its exit status once that server has ended, and so has written the registry to disk."""
        with VirtualModule() as module:
            process = module.start(argv, wine=self, stdin=subprocess.DEVNULL, **popen_args)
            try:
                return process.wait(timeout)
            finally:
                stop(process)

    def inside(self, process, argv, **run_args):
        """Runs argv in the namespace of a running `process` (so under its wineserver) and waits."""
        return subprocess.run([*enter_command(process), *argv], env=self.env(run_args.pop("env", None)),
                              **run_args)

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
        # The registry is written when the server ends, which `wineserver -w` waits for.
        script = ("wineboot -i && wine reg add '" + WINE_PORTS_KEY + "' /v COM1 /t REG_SZ /d " + WINE_COM1 +
                  " /f >/dev/null && wineserver -w")
        self.run(["sh", "-c", script], 300, stdout=subprocess.DEVNULL)
        if not self._com1_mapped():
            raise RuntimeError(f"could not make the Wine prefix {self.prefix} with COM1 mapped to {WINE_COM1}")


class WineServer:
    """One namespace held for many starts (the bench's): the virtual module's pseudo-terminal over
    /dev/ttyS0 and over the path the prefix maps COM1 to, and a persistent wineserver of the prefix in
    the foreground. Each program starts in that namespace through start(), so that a start is the
    program's own, not the server's nor Wine's services' (the first start pays for those). Leaving
    stops the namespace's shell, which ends the server (wineserver -k, then -w) before the namespace
    goes, ends whatever is left in it, and lets go of the prefix, which must then be unused."""

    def __init__(self, prefix):
        self.wine = Wine(prefix)
        self.process = None
        self.module = None

    def __enter__(self):
        self.wine.open()  # refuses while anything uses the prefix; makes the prefix on first use
        try:
            self.module = VirtualModule()
            self.device = os.stat(self.module.slave_path).st_rdev
            self.process, _ = spawn_in_namespace(
                ["wineserver", "--foreground", "--persistent"], self.module.slave_path, wine=self.wine,
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True)  # a Ctrl-C must not reach the server before __exit__ ends it
            self._wait_for_server()
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *_):
        if self.process is not None:
            stop(self.process)
        if self.module is not None:
            self.module.close()
            self.module = None
        self.wine.close()  # raises if a process still uses the prefix

    def start(self, argv, env, **popen_args):
        """Starts `wine argv...` in the namespace; nsenter execs wine, which execs its loader, so the
        program keeps the returned process's PID."""
        return subprocess.Popen([*enter_command(self.process), "wine", *argv], env=self.wine.env(env),
                                **popen_args)

    def processes(self):
        return wine_processes(self.wine.prefix)

    def _wait_for_server(self):
        # A client that found no server would start one of its own: wait until ours listens, in the
        # server directory it works in (named after the prefix's device and inode).
        prefix = os.stat(self.wine.prefix)
        directory = f"server-{prefix.st_dev:x}-{prefix.st_ino:x}"
        deadline = time.monotonic() + 20
        while not self._server_listening(directory):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the wineserver did not start")
            time.sleep(0.05)

    def _server_listening(self, directory):
        for pid in self.processes():
            try:
                cwd = os.readlink(f"/proc/{pid}/cwd")
            except OSError:
                continue
            if os.path.basename(cwd) == directory and os.path.exists(os.path.join(cwd, "socket")):
                return True
        return False
