# SPDX-License-Identifier: MIT
"""What the end-to-end test files share besides their fixtures (conftest.py): the platform under test
(class Linux and class Windows say how the two programs differ), one run of the program (Program),
and the messages and wire bytes the cases expect."""

import copy
import json
import re
import subprocess

import pytest

from qm47t_harness import wait_until
from qm47t_harness.display import Desktop, _xlib, prepare_keyboard_for_wine
from qm47t_harness.layout import COMMAND1_CENTRE, COMMAND2_CENTRE, TEXT1_CENTRE, TEXT2_CENTRE
from qm47t_harness.module import VirtualModule
from qm47t_harness.namespace import COM1, WINE_COM1, stop
from qm47t_harness.wine import Wine

# How a case that does not apply to the platform under test says so.
NOT_HERE = "not on this platform: "
EMPTY_MESSAGE = "请先输入需要转换的字母、数字或汉字。"
TOO_LONG_MESSAGE = ("输入内容过长，未发送：最多 127 个字符，现有 {} 个（换行和表情符号等少数字符各算 2 个）。"
                    "请删减后再发送。")


def monitor_text(frame):
    # The monitor holds CR LF, the dump, CR LF; a copy out of a Qt text box gives its line breaks as LF.
    return "\n" + "".join(f"{byte:02X} " for byte in frame) + "\n"


def fresh_desktop(env):
    """The session's display as a fresh server leaves it for each case: the pointer in the middle of
    the screen and the keyboard focus following it. Keys reach a Wine message box that nothing has
    clicked only through the pointer over it, and an earlier case moved both."""
    X, _, display, _ = _xlib()
    x = display.Display(env["DISPLAY"])
    try:
        screen = x.screen()
        screen.root.warp_pointer(screen.width_in_pixels // 2, screen.height_in_pixels // 2)
        x.set_input_focus(X.PointerRoot, X.RevertToPointerRoot, X.CurrentTime)
        x.sync()
    finally:
        x.close()
    return Desktop(env)


class Linux:
    """The Qt build. X shows only window titles, so texts are read as a user reads them out: a click
    into the box and a copy to the clipboard, a triple click on a message box's label."""

    name = "linux"
    wine = None
    # The device the program opens as COM1.
    port_path = COM1
    # The program checks the lock files in /run/lock, as serial programs on Linux do.
    holds_lock_files = True
    # An open failure names the device that stands for COM1.
    open_failed_prefix = "无法打开串口 COM1（/dev/ttyS0）："
    # A close request while a message box is up: Qt keeps it from the window the box blocks.
    leaves_on_close_request = False

    def __init__(self, program):
        self.program = program
        # Every character the cases type with the keyboard (conftest.py gathers them).
        self.typed = ""

    def files(self):
        return [self.program]

    def argv(self, wrapper=()):
        return [*wrapper, str(self.program)]

    def before_start(self, display):
        pass

    def request_close(self, desktop, process, window):
        """Asks the program to close from outside: the window manager's close request."""
        desktop.request_close(window)

    def minimized(self, desktop, process, window):
        """Whether the program has taken its window for minimized: Qt reads the window manager's
        word on it in order with the keys that follow."""
        return desktop.iconic(window)

    def control_text(self, desktop, process, window, centre):
        desktop.click(window, centre)
        return desktop.copy()

    def message_text(self, desktop, process, box):
        return desktop.message_text(box)

    def wire_bytes(self, text):
        """What the module must receive for `text` typed (Enter for each LF) or pasted into the input
        box: the code units the box then holds on this platform, as UTF-16BE."""
        return self.box_text(text).encode("utf-16-be")

    def box_text(self, text):
        # Qt's document keeps every line break as a paragraph break, and the program sends each as
        # CR LF: LF, CR LF, a lone CR, U+2028 and U+2029 alike.
        return re.sub("\r\n|[\r\n\u2028\u2029]", "\r\n", text)

    def as_read(self, text):
        # A copy out of a Qt text box gives its line breaks as LF and no-break spaces as plain ones.
        return re.sub("\r\n|[\r\u2028\u2029]", "\n", text).replace("\u00a0", " ")


class Windows(Linux):
    """The Win32 build under Wine. Controls' texts come from wininspect.exe (built next to the
    program), run under the program's own wineserver; the boxes hold line breaks as CR LF. Wine
    reads the keymap only when the program starts, so every character a case types gets its key
    before that."""

    name = "windows"
    port_path = WINE_COM1
    # Wine neither reads Linux lock files nor keeps a second opener off a port.
    holds_lock_files = False
    # COM1 is the device's own name there.
    open_failed_prefix = "无法打开串口 COM1："
    # WM_CLOSE is taken once a message box is answered: the program leaves as Exit does.
    leaves_on_close_request = True

    def __init__(self, program):
        super().__init__(program)
        self.inspector = program.parent / "wininspect.exe"
        # What a screen reader is told, through MSAA.
        self.accnames = program.parent / "accnames.exe"
        self.wine = Wine(program.parent / "wine-e2e")

    def files(self):
        return [self.program, self.inspector, self.accnames]

    def argv(self, wrapper=()):
        return [*wrapper, "wine", str(self.program)]

    def in_locale(self, lang):
        other = copy.copy(self)
        other.wine = copy.copy(self.wine)
        other.wine.lang = lang
        return other

    def before_start(self, display):
        prepare_keyboard_for_wine(display, self.typed)

    def run(self, desktop, process, *argv, timeout=30):
        """Runs `wine argv...` beside the program, under its wineserver; returns what it printed."""
        # As bytes: taskkill writes in the locale's code page, the inspectors in UTF-8.
        result = self.wine.inside(process, ["wine", *map(str, argv)], env=desktop.env, capture_output=True,
                                  timeout=timeout)
        if result.returncode != 0:
            raise RuntimeError(f"{argv[0]} failed ({result.returncode}): {result.stderr.decode()[-500:]}")
        return result.stdout

    def request_close(self, desktop, process, window):
        """What taskkill without /F sends: WM_CLOSE to each of the program's top-level windows. Wine
        drops an X close request for a window a message box has disabled, as Windows has no close
        box for it then."""
        self.run(desktop, process, "taskkill", "/IM", self.program.name)

    def inspect(self, desktop, process, tool=None, timeout=30):
        """The program's visible top-level windows by their X window, as wininspect reads them (their
        controls' texts), or `tool` (accnames: what a screen reader is told of them)."""
        # One window a line, split at LF alone: a box's text may hold U+2028 and U+2029, which
        # str.splitlines() would take for line ends too.
        lines = self.run(desktop, process, tool or self.inspector, timeout=timeout).decode().split("\n")
        return {str(window["x11"]): window for window in map(json.loads, filter(None, lines))}

    def minimized(self, desktop, process, window):
        # Wine parks a minimized window at -32000, -32000.
        return self.inspect(desktop, process)[window]["rect"][0] == -32000

    def children(self, desktop, process, window):
        return [{**child, "text": child["text"].replace("\r\n", "\n")}
                for child in self.inspect(desktop, process)[window]["children"]]

    def control_text(self, desktop, process, window, centre):
        x, y = centre
        found = [child["text"] for child in self.children(desktop, process, window)
                 if child["rect"][0] <= x < child["rect"][2] and child["rect"][1] <= y < child["rect"][3]]
        if len(found) != 1:
            raise AssertionError(f"{len(found)} controls at {centre}")
        return found[0]

    def message_text(self, desktop, process, box):
        return "\n".join(child["text"] for child in self.children(desktop, process, box)
                         if child["class"].lower() != "button" and child["text"])

    def buttons(self, desktop, process, box):
        return [child["text"] for child in self.children(desktop, process, box) if child["class"].lower() == "button"]

    def box_text(self, text):
        # Enter types CR LF, and Wine's clipboard gives X's LF line ends as CR LF; a lone CR, U+2028
        # and U+2029 stay as they were pasted, and go out so.
        return re.sub("(?<!\r)\n", "\r\n", text)

    def as_read(self, text):
        return text


class Program:
    """One run of the real program on the desktop's display, with a fresh virtual module on its COM1;
    `cleanup` (an ExitStack's callback) ends both after the case."""

    def __init__(self, desktop, platform, cleanup, wrapper=(), **popen_args):
        self.desktop = desktop
        self.platform = platform
        self.module = VirtualModule()
        cleanup(self.module.close)
        platform.before_start(desktop.env["DISPLAY"])
        self.process = self.module.start(platform.argv(wrapper), env=desktop.env, wine=platform.wine, **popen_args)
        cleanup(stop, self.process)
        windows = self.desktop.wait_window()
        assert windows, "the program's window did not appear"
        self.window = windows[0]

    def clear_input(self):
        self.desktop.click(self.window, TEXT1_CENTRE)
        # Windows' edit control has no Ctrl+A; selecting from the end to the start works in both.
        self.desktop.key("ctrl+End", "ctrl+shift+Home", "BackSpace")

    def type_input(self, text):
        """Types into the input box, pressing Enter for each line break."""
        self.clear_input()
        for number, line in enumerate(text.split("\n")):
            if number:
                self.desktop.key("Return")
            if line:
                self.desktop.type(line)

    def paste_input(self, text):
        self.desktop.set_clipboard(text)
        self.clear_input()
        self.desktop.key("ctrl+v")

    def convert(self):
        self.desktop.click(self.window, COMMAND1_CENTRE)

    def send(self):
        """Clicks the convert button; returns the frame that then reaches the module, or None."""
        seen = len(self.module.frames())
        self.convert()
        return self.next_frame(seen)

    def sends(self, text):
        """Types `text` and clicks the convert button; returns its frame, which must reach the module."""
        self.type_input(text)
        frame = self.send()
        assert frame is not None, "nothing reached COM1"
        assert frame.data == self.platform.wire_bytes(text)
        return frame

    def convert_and_exit(self):
        # One xdotool run: the exit click follows the convert click with no pause in between.
        self.desktop.xdotool(*[arg for x, y in (COMMAND1_CENTRE, COMMAND2_CENTRE)
                               for arg in ("mousemove", "--window", self.window, str(x), str(y), "click", "1")])

    def exit(self):
        self.desktop.click(self.window, COMMAND2_CENTRE)

    def next_frame(self, seen, timeout=10.0):
        """The frame after the first `seen` ones, or None if none arrives in time."""
        frames = wait_until(lambda: (lambda f: f if len(f) > seen else None)(self.module.frames()), timeout)
        return frames[seen] if frames else None

    def input_text(self):
        return self.platform.control_text(self.desktop, self.process, self.window, TEXT1_CENTRE)

    def monitor(self):
        return self.platform.control_text(self.desktop, self.process, self.window, TEXT2_CENTRE)

    def message_text(self, box):
        return self.platform.message_text(self.desktop, self.process, box)

    def message_box(self, timeout=10.0):
        """The message box the program shows over its main window (None if none appears)."""
        windows = self.desktop.wait_window(count=2, timeout=timeout)
        boxes = [window for window in windows if window != self.window]
        return boxes[0] if boxes else None

    def answer_message(self, timeout=10.0):
        """The text of the message box the program shows, which Enter then closes."""
        box = self.message_box(timeout)
        assert box is not None, "no message box"
        text = self.message_text(box)
        self.desktop.key("Return")
        assert self.desktop.wait_window(count=1) == [self.window], "the message box did not go away"
        return text

    def wait_exit(self, timeout=20.0):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None


def finish(process, timeout):
    """What the process wrote to its pipes, once it has ended; the case fails if it does not end in time."""
    try:
        return process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the run did not end within {timeout} s")
