# SPDX-License-Identifier: MIT
"""A private X display and a user's hands on it: Xvfb started with -displayfd, windows found by their
title, clicks, keys, the clipboard, screenshots; the keymap and close requests through python3-xlib."""

import os
import select
import shlex
import shutil
import subprocess
import tempfile
import time

from . import Closing, Unavailable, wait_until
from .layout import MESSAGE_LABEL, WINDOW_TITLE


def _xlib():
    try:
        from Xlib import X, XK, display, protocol
    except ImportError:
        raise Unavailable("python3-xlib is not installed (Debian package python3-xlib; the harness runs "
                          "under Debian's /usr/bin/python3)") from None
    return X, XK, display, protocol


class Xvfb(Closing):
    """A private X server; `env` is the environment for programs that should use it."""

    def __init__(self, screen="1024x768x24", timeout=20.0):
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

    def iconic(self, window):
        """Whether the window manager has minimized the window (its WM_STATE says Iconic)."""
        return "Iconic" in self._run("xprop", "-id", window, "WM_STATE", check=False).stdout

    def focus(self, window):
        self.xdotool("windowfocus", "--sync", window)

    def key(self, *keys):
        self.xdotool("key", "--clearmodifiers", *keys)

    def type(self, text):
        bind_keysyms(self.env["DISPLAY"], text)
        self.xdotool("type", text)

    # Bytes, not text mode, on the way in and out: text mode would read a lone CR back as LF.
    def clipboard(self):
        result = subprocess.run(["xclip", "-selection", "clipboard", "-o"], env=self.env, capture_output=True,
                                check=False)
        return result.stdout.decode("utf-8") if result.returncode == 0 else None

    def set_clipboard(self, text, timeout=5.0):
        # xclip stays behind to serve the selection until someone else takes it over.
        subprocess.run(["xclip", "-selection", "clipboard", "-i"], env=self.env, input=text.encode("utf-8"),
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


def send_delete_window(display_name, window):
    # No window manager runs on a private Xvfb, so send the close request it would send.
    X, _, display, protocol = _xlib()
    x = display.Display(display_name)
    try:
        target = x.create_resource_object("window", window)
        event = protocol.event.ClientMessage(
            window=target, client_type=x.intern_atom("WM_PROTOCOLS"),
            data=(32, [x.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0]))
        target.send_event(event, event_mask=0)
        # A round trip, not a flush: once the server has answered, it has delivered the event. Closed
        # straight after a flush, the connection now and then took its last request with it, after
        # earlier cases had changed the keymap (an event every client gets, this one left unread).
        x.sync()
    finally:
        x.close()


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
    low, high = x.display.info.min_keycode, x.display.info.max_keycode
    rows = [tuple(row) for row in x.get_keyboard_mapping(low, high - low + 1)]
    return low, len(rows[0]), rows


def prepare_keyboard_for_wine(display_name, characters):
    """Makes `characters` typeable in a Windows program that starts after this call.

    Wine reads the keymap once, when the program starts, and hands each key that has no Windows
    virtual-key code one of some thirty spare codes, in keycode order; a key left without one types
    nothing, and a key bound later is never seen. On the stock Xvfb keymap the multimedia, vendor
    and Sun keys take all the spare codes before the keycodes the characters would get. So the keys
    past the main block are cleared (except the cursor and editing keys), and then the characters
    bound, before the program starts."""
    _, XK, display, _ = _xlib()
    x = display.Display(display_name)
    try:
        kept = {XK.string_to_keysym(name) for name in WINE_KEPT_KEYS}
        low, width, rows = keyboard_mapping(x)
        bound = {keysym(c) for c in characters}
        for offset, row in enumerate(rows):
            code = low + offset
            if code > MAIN_BLOCK_LAST_KEYCODE and any(row) and not set(row) & (kept | bound):
                x.change_keyboard_mapping(code, [(0,) * width])
        x.sync()
    finally:
        x.close()
    bind_keysyms(display_name, characters)


def bind_keysyms(display_name, characters):
    """Gives every character that no key types a spare keycode of its own, and leaves it there.

    xdotool would otherwise bind each such character to a scratch keycode just for its keystroke and
    unbind it straight after; Qt may look the key up after the unbinding and then drops the character
    (a six-character Chinese text lost two of them that way). With the keymap left as it is while
    typing there is no such race."""
    _, _, display, _ = _xlib()
    x = display.Display(display_name)
    try:
        low, _, rows = keyboard_mapping(x)
        present = {sym for row in rows for sym in row}
        missing = sorted({keysym(c) for c in characters} - present)
        spare = [low + i for i, row in enumerate(rows) if not any(row)]
        # One spare keycode stays free for xdotool's own use.
        if len(missing) > len(spare) - 1:
            raise RuntimeError(f"the keymap has {len(spare)} spare keycodes, {len(missing) + 1} needed")
        for code, sym in zip(spare, missing):
            x.change_keyboard_mapping(code, [(sym,)])
        x.sync()
    finally:
        x.close()
