# SPDX-License-Identifier: MIT
"""The harness that runs qm47t-converter against a virtual QM47T, a module per concern:

  namespace  the private mount namespace, with a /dev of its own, and its end
  module     the virtual module on the pseudo-terminal's master side
  display    a private Xvfb and a user's keyboard, mouse and clipboard on it
  wine       the Windows program under a Wine prefix and server of its own
  xwatch     windows mapped and drawn, for the start-up bench
  layout     where the window's controls are, read from window/formdesign.json
  demo       what scripts/virtual-qm47t.py does

Nothing here opens a real serial port: every run, for the Linux program and under Wine alike, gets a
/dev of its own that holds the virtual module's pseudo-terminal as ttyS0 and no other serial device
(no COM1, ttyUSB* or ttyACM* a real adapter may have), and nothing starts there unless every name
the program or Wine opens as COM1 is a pseudo-terminal or absent (namespace.guard_steps)."""

import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]


class Closing:
    """A context manager for what holds a resource until close(): `with Thing() as thing:` is the
    thing itself, closed on the way out however the block ends."""

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


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
