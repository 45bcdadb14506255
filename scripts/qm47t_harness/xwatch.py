# SPDX-License-Identifier: MIT
"""Watches an X display for the start-up bench: top-level windows being mapped, whose process they
belong to (_NET_WM_PID), and every drawing on them from their creation on (the DAMAGE extension), so
that nothing polls. Without a window manager every top-level window is a child of the root window."""

import collections
import select
import time

from .display import _xlib


class XWatch:
    def __init__(self, display_name):
        X, _, display, _ = _xlib()
        from Xlib import Xatom, error
        from Xlib.ext import damage
        self._X, self._Xatom, self._error, self._damage = X, Xatom, error, damage
        self.x = display.Display(display_name)
        # A window can go before its damage object is made; that error is of no interest.
        self.x.set_error_handler(lambda *_: None)
        if not self.x.has_extension("DAMAGE"):
            raise RuntimeError("the X server has no DAMAGE extension")
        # The extension must be told the client's version before anything else.
        self.x.damage_query_version()
        # python3-xlib registers a copy of the event class under this code, so the code is compared.
        self._damage_event = self.x.extension_event.DamageNotify
        self.root = self.x.screen().root
        self.root.change_attributes(event_mask=X.SubstructureNotifyMask)
        self.pid_atom = self.x.intern_atom("_NET_WM_PID")
        self.x.flush()
        self.maps = collections.deque()  # (time received, window)
        self.damage = collections.defaultdict(list)  # window -> [(time received, x, y, w, h, width, height)]

    def forget(self):
        """Drops what was seen so far (the previous program's windows)."""
        self.maps.clear()
        self.damage.clear()

    def wait(self, timeout):
        """Waits up to `timeout` seconds for the server to send something, and takes it in."""
        if not self.x.pending_events() and not select.select([self.x.fileno()], [], [], timeout)[0]:
            return
        self.receive()

    def receive(self):
        received = time.monotonic()
        while self.x.pending_events():
            event = self.x.next_event()
            if event.type & 0x7F == self._damage_event:
                area, whole = event.area, event.drawable_geometry
                self.damage[event.drawable.id].append(
                    (received, area.x, area.y, area.width, area.height, whole.width, whole.height))
            elif event.type == self._X.CreateNotify and not event.override:
                # Watched from its creation, before the program can draw on it.
                event.window.damage_create(self._damage.DamageReportRawRectangles)
            elif event.type == self._X.MapNotify and not event.override:
                self.maps.append((received, event.window.id))
        self.x.flush()

    def next_top_level_map(self):
        """The next top-level window mapped, as (time received, window), or None."""
        return self.maps.popleft() if self.maps else None

    def window_pid(self, window):
        """_NET_WM_PID of the window, or None (no such property, or the window is gone)."""
        try:
            value = self.x.create_resource_object("window", window).get_property(
                self.pid_atom, self._Xatom.CARDINAL, 0, 1)
        except self._error.XError:
            return None
        if value is None or value.format != 32 or not len(value.value):
            return None
        return int(value.value[0])

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

    def close(self):
        self.x.close()
