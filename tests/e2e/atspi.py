#!/usr/bin/python3
"""What a screen reader on Linux (Orca) is told about a program's controls, read over AT-SPI.

As a library: AccessibilityBus starts a private D-Bus session bus and the AT-SPI bus on it for a
display, so that a Qt program started with its `env` shows its widgets there, and `controls(pid)`
reads them. As a program (only the system's /usr/bin/python3 has Debian's pyatspi):

  /usr/bin/python3 tests/e2e/atspi.py PID

prints the accessible objects of the application with that process id, one JSON object a line:
  {"role": "text", "name": "..", "focused": true, "showing": true, "labelled_by": [".."]}

Orca runs Debian's Orca itself on such a bus, its speech written to its debug log: what a blind user
hears, as `spoken()`.
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

from qm47t_harness import Closing, wait_until

SYSTEM_PYTHON = "/usr/bin/python3"
BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"


class Started(Closing):
    """Something a case starts beside the program, with a folder of its own and everything it starts in
    one process group: on close that group is ended by its id, and the folder goes."""

    def __init__(self, tools, packages, name):
        missing = [tool for tool in tools if shutil.which(tool) is None]
        if missing:
            raise RuntimeError(f"{', '.join(missing)} missing (Debian packages {packages})")
        self._folder = tempfile.TemporaryDirectory(prefix=f"qm47t-{name}-")
        self._process = None

    def _start(self, argv, env, started, timeout, failure, **popen_args):
        """Starts argv and waits until `started()`; else ends it and raises with `failure()`."""
        self._process = subprocess.Popen(argv, env=env, start_new_session=True, stdin=subprocess.DEVNULL,
                                         **popen_args)
        wait_until(lambda: self._process.poll() is not None or started(), timeout, 0.05)
        if not started():
            message = failure()
            self.close()
            raise RuntimeError(message)

    def close(self):
        try:
            os.killpg(self._process.pid, signal.SIGTERM)
            self._process.wait(10)
        except ProcessLookupError:
            pass
        except subprocess.TimeoutExpired:
            os.killpg(self._process.pid, signal.SIGKILL)
        self._process.wait()
        self._folder.cleanup()


class AccessibilityBus(Started):
    """A D-Bus session bus of its own with an AT-SPI bus launched on it, for the display in `env`."""

    def __init__(self, env, timeout=10.0):
        super().__init__(("dbus-daemon", BUS_LAUNCHER, SYSTEM_PYTHON), "dbus-daemon, at-spi2-core", "atspi")
        address = f"unix:path={self._folder.name}/bus"
        # Qt then exports its widgets whatever the desktop's setting says.
        self.env = dict(env, DBUS_SESSION_BUS_ADDRESS=address, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                        NO_AT_BRIDGE="0")
        script = (f"dbus-daemon --session --nofork --nopidfile --address={address} & "
                  f"until [ -S {self._folder.name}/bus ]; do sleep 0.05; done; "
                  f"exec {BUS_LAUNCHER} --launch-immediately")
        self._start(["sh", "-c", script], self.env, self._launched, timeout, lambda: "the AT-SPI bus did not start",
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def _launched(self):
        result = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                                 "org.a11y.Bus.GetAddress"], env=self.env, capture_output=True, text=True)
        return result.returncode == 0

    def controls(self, pid):
        """The accessible objects of the application with process id `pid`, as the reader prints them."""
        result = subprocess.run([SYSTEM_PYTHON, __file__, str(pid)], env=self.env, capture_output=True, text=True,
                                timeout=30)
        if result.returncode != 0:
            raise RuntimeError(f"reading AT-SPI failed ({result.returncode}): {result.stderr[-500:]}")
        return [json.loads(line) for line in result.stdout.splitlines()]


class Orca(Started):
    """Debian's Orca screen reader on the display and bus of `env`, with settings and a home of its
    own and no speech synthesiser: what it would say is read from its debug log."""

    # The words in quotes, then the voice they were said in.
    UTTERANCE = re.compile(r" - SPEECH OUTPUT: '(.*?)'(?: ?\{.*\}| voice=.*)?$")

    def __init__(self, env, timeout=30.0):
        super().__init__(("orca",), "orca", "orca")
        folder = Path(self._folder.name)
        self._log = folder / "orca-debug.out"
        # Orca's own hook for user code, run at its start: the log is written line by line, not in
        # blocks of 8 KiB long after the words were said.
        (folder / "orca-customizations.py").write_text(
            "import orca.debug\norca.debug.debugFile.reconfigure(line_buffering=True)\n")
        # Speech Dispatcher is neither reached nor started: Orca then logs each utterance all the same.
        env = dict(env, HOME=str(folder), SPEECHD_CMD="/bin/false",
                   SPEECHD_ADDRESS=f"unix_socket:{folder}/speechd.sock")
        output = folder / "orca.out"
        with open(output, "wb") as file:
            self._start(["orca", "--user-prefs", str(folder), "--debug-file", str(self._log)], env,
                        lambda: "Screen reader on." in self.spoken(), timeout,
                        lambda: "Orca did not start: " + output.read_text(errors="replace")[-500:],
                        stdout=file, stderr=subprocess.STDOUT)

    def spoken(self):
        """Everything Orca has said so far, one string an utterance."""
        try:
            text = self._log.read_text(encoding="utf-8", errors="replace")
        except FileNotFoundError:
            return []
        return [match.group(1) for match in map(self.UTTERANCE.search, text.splitlines()) if match]


def read(pid):
    import pyatspi

    def labels(node):
        """The labels named by the node's "labelled by" relations, in order: Orca reads the first."""
        return [relation.getTarget(i).name for relation in node.getRelationSet()
                if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY for i in range(relation.getNTargets())]

    def walk(node):
        yield node
        for i in range(node.childCount):
            yield from walk(node.getChildAtIndex(i))

    desktop = pyatspi.Registry.getDesktop(0)
    for app in (desktop.getChildAtIndex(i) for i in range(desktop.childCount)):
        if app is None or app.get_process_id() != pid:
            continue
        for node in walk(app):
            state = node.getState()
            print(json.dumps({"role": node.getRoleName(), "name": node.name,
                              "focused": state.contains(pyatspi.STATE_FOCUSED),
                              "showing": state.contains(pyatspi.STATE_SHOWING), "labelled_by": labels(node)},
                             ensure_ascii=False))


if __name__ == "__main__":
    read(int(sys.argv[1]))
