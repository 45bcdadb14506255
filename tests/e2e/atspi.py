#!/usr/bin/python3
"""What a screen reader on Linux (Orca) is told about a program's controls, read over AT-SPI.

As a library: AccessibilityBus starts a private D-Bus session bus and the AT-SPI bus on it for a
display, so that a Qt program started with its `env` shows its widgets there, and `controls(pid)`
reads them. As a program (only the system's /usr/bin/python3 has Debian's pyatspi):

  /usr/bin/python3 tests/e2e/atspi.py PID

prints the accessible objects of the application with that process id, one JSON object a line:
  {"role": "text", "name": "..", "focused": true, "showing": true, "labelled_by": [".."],
   "labelled_by_relations": 1, "label_for": [".."]}

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
import time
from pathlib import Path

SYSTEM_PYTHON = "/usr/bin/python3"
BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"


class AccessibilityBus:
    """A D-Bus session bus of its own with an AT-SPI bus launched on it, for the display in `env`.
    Everything it starts runs in one process group, ended by that group's id on close."""

    def __init__(self, env, timeout=10.0):
        for tool in ("dbus-daemon", BUS_LAUNCHER, SYSTEM_PYTHON):
            if shutil.which(tool) is None:
                raise RuntimeError(f"{tool} is missing (Debian packages dbus-daemon, at-spi2-core)")
        self._folder = tempfile.TemporaryDirectory(prefix="qm47t-atspi-")
        address = f"unix:path={self._folder.name}/bus"
        # Qt then exports its widgets whatever the desktop's setting says.
        self.env = dict(env, DBUS_SESSION_BUS_ADDRESS=address, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                        NO_AT_BRIDGE="0")
        script = (f"dbus-daemon --session --nofork --nopidfile --address={address} & "
                  f"until [ -S {self._folder.name}/bus ]; do sleep 0.05; done; "
                  f"exec {BUS_LAUNCHER} --launch-immediately")
        self._process = subprocess.Popen(["sh", "-c", script], env=self.env, start_new_session=True,
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + timeout
        while not self._launched():
            if time.monotonic() > deadline or self._process.poll() is not None:
                self.close()
                raise RuntimeError("the AT-SPI bus did not start")
            time.sleep(0.05)

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

    def close(self):
        try:
            os.killpg(self._process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        self._process.wait()
        self._folder.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


class Orca:
    """Debian's Orca screen reader on the display and bus of `env`, with settings and a home of its
    own and no speech synthesiser: what it would say is read from its debug log. Ended, with
    everything it started, by its process group's id on close."""

    # The words in quotes, then the voice they were said in.
    UTTERANCE = re.compile(r" - SPEECH OUTPUT: '(.*?)'(?: ?\{.*\}| voice=.*)?$")

    def __init__(self, env, timeout=30.0):
        if shutil.which("orca") is None:
            raise RuntimeError("orca is missing (Debian package orca)")
        self._folder = tempfile.TemporaryDirectory(prefix="qm47t-orca-")
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
            self._process = subprocess.Popen(["orca", "--user-prefs", str(folder), "--debug-file", str(self._log)],
                                             env=env, start_new_session=True, stdin=subprocess.DEVNULL,
                                             stdout=file, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        while "Screen reader on." not in self.spoken():
            if time.monotonic() > deadline or self._process.poll() is not None:
                said = output.read_text(errors="replace")[-500:]
                self.close()
                raise RuntimeError(f"Orca did not start: {said}")
            time.sleep(0.1)

    def spoken(self):
        """Everything Orca has said so far, one string an utterance."""
        try:
            text = self._log.read_text(encoding="utf-8", errors="replace")
        except FileNotFoundError:
            return []
        return [match.group(1) for match in map(self.UTTERANCE.search, text.splitlines()) if match]

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


def read(pid):
    import pyatspi

    def names(relations, kind):
        return [relation.getTarget(i).name for relation in relations if relation.getRelationType() == kind
                for i in range(relation.getNTargets())]

    def walk(node):
        yield node
        for i in range(node.childCount):
            yield from walk(node.getChildAtIndex(i))

    desktop = pyatspi.Registry.getDesktop(0)
    for app in (desktop.getChildAtIndex(i) for i in range(desktop.childCount)):
        if app is None or app.get_process_id() != pid:
            continue
        for node in walk(app):
            relations = node.getRelationSet()
            state = node.getState()
            # Orca reads only the first "labelled by" relation, so their number counts as well as
            # the labels they name.
            print(json.dumps({"role": node.getRoleName(), "name": node.name,
                              "focused": state.contains(pyatspi.STATE_FOCUSED),
                              "showing": state.contains(pyatspi.STATE_SHOWING),
                              "labelled_by": names(relations, pyatspi.RELATION_LABELLED_BY),
                              "labelled_by_relations": sum(relation.getRelationType() == pyatspi.RELATION_LABELLED_BY
                                                           for relation in relations),
                              "label_for": names(relations, pyatspi.RELATION_LABEL_FOR)},
                             ensure_ascii=False))


if __name__ == "__main__":
    read(int(sys.argv[1]))
