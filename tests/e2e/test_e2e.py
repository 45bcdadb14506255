#!/usr/bin/env python3
"""End-to-end tests of the real qm47t-converter binary, driven as a user drives it.

  tests/e2e/test_e2e.py --program build/qm47t-converter [unittest options]
  tests/e2e/test_e2e.py --platform windows --program build-windows/qm47t-converter.exe [...]

The program runs on a private Xvfb with the virtual QM47T (scripts/virtual-qm47t.py) on its COM1:
a pseudo-terminal bound over /dev/ttyS0 in a private mount namespace; the Windows build runs there
under Wine, with a wineserver of its own. The tests use only the keyboard and mouse (xdotool), the
clipboard (xclip) and what reaches the port; the expected bytes come from Python's own UTF-16BE
encoder. Where the two platforms differ, class Linux and class Windows below say how. Exit status 77
when this machine cannot run them all (no namespaces, a missing tool), so that CTest counts them as
skipped; a program that is not built is a failure.
"""

import argparse
import copy
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import types
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(Path(__file__).resolve().parent))
# The tool's file name is a command's, not a module's: load it by path.
TOOL = REPO / "scripts" / "virtual-qm47t.py"
vq = types.ModuleType("virtual_qm47t")
vq.__file__ = str(TOOL)
exec(compile(TOOL.read_text(encoding="utf-8"), TOOL, "exec"), vq.__dict__)

SKIPPED = 77
PROGRAM = vq.DEFAULT_PROGRAM
PLATFORM = None  # Linux or Windows, chosen by --platform
# How a case that does not apply to the platform under test says so.
NOT_HERE = "not on this platform: "
MAIN_WINDOW_SIZE = (540, 329)
EMPTY_MESSAGE = "请先输入需要转换的字母、数字或汉字。"
TOO_LONG_MESSAGE = "输入内容过长：最多 127 个 UTF-16 码元，当前为 {} 个。"


def wire_bytes(text):
    """What the module must receive for `text` as typed: line breaks as CR LF, then UTF-16BE."""
    return text.replace("\n", "\r\n").encode("utf-16-be")


def monitor_text(frame):
    # The monitor holds CR LF, the dump, CR LF; a copy out of a Qt text box gives its line breaks as LF.
    return "\n" + "".join(f"{byte:02X} " for byte in frame) + "\n"


def strace_usable():
    result = subprocess.run(["strace", "-qq", "-e", "trace=none", "true"], capture_output=True, text=True)
    return result.returncode == 0


def why_not_here():
    """Why these tests cannot run on this machine, or None."""
    missing = [tool for tool in ("Xvfb", "xdotool", "xclip", "strace") if shutil.which(tool) is None]
    if missing:
        return "missing tools: " + ", ".join(missing) + " (make test installs them on Debian)"
    try:
        vq.xlib()
        vq.check_namespace()
    except vq.Unavailable as reason:
        return str(reason)
    return None


class Linux:
    """The Qt build. X shows only window titles, so texts are read as a user reads them out: a click
    into the box and a copy to the clipboard, a triple click on a message box's label."""

    wine = None
    # The device the program opens as COM1.
    port_path = vq.COM1
    # The program checks the lock files in /run/lock, as serial programs on Linux do.
    holds_lock_files = True
    # An open failure names the device that stands for COM1.
    open_failed_prefix = "无法打开串口 COM1（/dev/ttyS0）："

    def files(self):
        return [PROGRAM]

    def open(self):
        pass

    def close(self):
        pass

    def argv(self, wrapper=()):
        return [*wrapper, str(PROGRAM)]

    def before_start(self, display):
        pass

    def control_text(self, desktop, process, window, centre):
        desktop.click(window, centre)
        return desktop.copy()

    def message_text(self, desktop, process, box):
        return desktop.message_text(box)

    def as_read(self, text):
        # A copy out of a Qt text box turns no-break spaces into plain ones.
        return text.replace("\u00a0", " ")


class Windows(Linux):
    """The Win32 build under Wine. Controls' texts come from wininspect.exe (built next to the
    program), run under the program's own wineserver; the boxes hold line breaks as CR LF. Wine
    reads the keymap only when the program starts, so every character a test types gets its key
    before that."""

    port_path = vq.WINE_COM1
    # Wine neither reads Linux lock files nor keeps a second opener off a port.
    holds_lock_files = False
    # COM1 is the device's own name there.
    open_failed_prefix = "无法打开串口 COM1："

    def __init__(self):
        self.inspector = PROGRAM.parent / "wininspect.exe"
        self.wine = vq.Wine(PROGRAM.parent / "wine-e2e")

    def files(self):
        return [PROGRAM, self.inspector]

    def open(self):
        self.wine.open()

    def close(self):
        self.wine.close()

    def argv(self, wrapper=()):
        return [*wrapper, "wine", str(PROGRAM)]

    def in_locale(self, lang):
        other = copy.copy(self)
        other.wine = copy.copy(self.wine)
        other.wine.lang = lang
        return other

    def before_start(self, display):
        vq.prepare_keyboard_for_wine(display, typed_characters())

    def inspect(self, desktop, process):
        """The program's visible top-level windows by their X window, with their controls."""
        result = self.wine.inside(process, ["wine", str(self.inspector)], env=desktop.env, capture_output=True,
                                  timeout=30)
        if result.returncode != 0:
            raise RuntimeError(f"wininspect failed ({result.returncode}): {result.stderr.decode()[-500:]}")
        return {str(window["x11"]): window for window in map(json.loads, result.stdout.decode().splitlines())}

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

    def as_read(self, text):
        return text


class Program:
    """One run of the real program on the test's display, with a fresh virtual module on its COM1."""

    def __init__(self, test, wrapper=(), platform=None):
        self.desktop = test.desktop
        self.platform = platform or PLATFORM
        self.module = vq.VirtualModule()
        test.addCleanup(self.module.close)
        self.platform.before_start(test.xvfb.display)
        self.process = self.module.start(self.platform.argv(wrapper), env=test.xvfb.env, wine=self.platform.wine)
        test.addCleanup(vq.stop, self.process)
        windows = self.desktop.wait_window()
        if not windows:
            raise AssertionError("the program's window did not appear")
        self.window = windows[0]

    def clear_input(self):
        self.desktop.click(self.window, vq.TEXT1_CENTRE)
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
        self.desktop.click(self.window, vq.COMMAND1_CENTRE)

    def send(self):
        """Clicks the convert button; returns the frame that then reaches the module, or None."""
        seen = len(self.module.frames())
        self.convert()
        return self.next_frame(seen)

    def convert_and_exit(self):
        # One xdotool run: the exit click follows the convert click with no pause in between.
        centres = (vq.COMMAND1_CENTRE, vq.COMMAND2_CENTRE)
        args = []
        for x, y in centres:
            args += ["mousemove", "--window", self.window, str(x), str(y), "click", "1"]
        self.desktop.xdotool(*args)

    def exit(self):
        self.desktop.click(self.window, vq.COMMAND2_CENTRE)

    def next_frame(self, seen, timeout=10.0):
        """The frame after the first `seen` ones, or None if none arrives in time."""
        frames = vq.wait_until(lambda: (lambda f: f if len(f) > seen else None)(self.module.frames()), timeout)
        return frames[seen] if frames else None

    def input_text(self):
        return self.platform.control_text(self.desktop, self.process, self.window, vq.TEXT1_CENTRE)

    def monitor(self):
        return self.platform.control_text(self.desktop, self.process, self.window, vq.TEXT2_CENTRE)

    def message_text(self, box):
        return self.platform.message_text(self.desktop, self.process, box)

    def message_box(self, timeout=10.0):
        """The message box the program shows over its main window (None if none appears)."""
        windows = self.desktop.wait_window(count=2, timeout=timeout)
        boxes = [window for window in windows if window != self.window]
        return boxes[0] if boxes else None

    def wait_exit(self, timeout=20.0):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None


class E2ETest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.xvfb = vq.Xvfb()
        cls.desktop = vq.Desktop(cls.xvfb.env)

    @classmethod
    def tearDownClass(cls):
        cls.xvfb.close()


class WindowTest(E2ETest):
    def test_window_opens_with_its_size_and_the_focus_in_the_input_box(self):
        program = Program(self)
        self.assertTrue(program.module.wait_opened(), "the program did not open COM1")
        self.assertEqual(self.desktop.geometry(program.window)[2:], MAIN_WINDOW_SIZE)
        # A window manager gives a new window the keyboard focus (there is none on Xvfb); no click
        # into a box, so the keys go to whichever control has the focus at the start.
        self.desktop.focus(program.window)
        self.desktop.type("Focus")
        frame = program.send()
        self.assertIsNotNone(frame, "nothing reached COM1")
        self.assertEqual(frame.data, wire_bytes("Focus"))
        settings = frame.settings
        self.assertEqual((settings.speed, settings.data_bits, settings.parity, settings.stop_bits),
                         (9600, 8, "N", 1))
        self.assertFalse(settings.rts_cts or settings.xon_xoff, "flow control is on")
        # The module left the line as a fresh pty is: only the program can have made it raw.
        self.assertFalse(settings.post_processing, "the program left output processing on")


class SendTest(E2ETest):
    # (what, how it is entered, text): typed texts go through the keyboard, with Enter for line
    # breaks; the rest comes from the clipboard, as characters no keyboard layout types.
    CASES = [
        ("ASCII", "type", "Hello, QM47T 0123456789!"),
        ("Chinese", "type", "汉字转换测试"),
        ("letters, digits and Chinese mixed", "type", "abc汉字123"),
        ("a line break typed with Enter", "type", "第一行\nsecond"),
        ("line breaks at the end", "type", "a\n\n"),
        ("a single character", "type", "x"),
        ("a no-break space", "paste", "a\u00a0b"),
        ("astral characters", "paste", "\U0001F600汉\U00020000"),
        ("a tab", "paste", "a\tb"),
        ("tab, no-break space and astral character alone", "paste", "\t\u00a0\U0001F600"),
        ("127 code units, the longest", "paste", "汉" * 127),
        ("127 code units with astral characters", "paste", "\U0001F600" * 63 + "z"),
    ]

    def test_entered_text_arrives_byte_exact_and_shows_in_the_monitor(self):
        program = Program(self)
        for what, how, text in self.CASES:
            with self.subTest(what):
                expected = wire_bytes(text)
                (program.type_input if how == "type" else program.paste_input)(text)
                frame = program.send()
                self.assertIsNotNone(frame, "nothing reached COM1")
                self.assertEqual(frame.data.hex(" "), expected.hex(" "))
                self.assertEqual(program.monitor(), monitor_text(expected))
                self.assertEqual(program.input_text(), PLATFORM.as_read(text))
                # The input stays as it was: converting again sends the same frame.
                again = program.send()
                self.assertIsNotNone(again, "the second convert sent nothing")
                self.assertEqual(again.data, expected)
        program.exit()
        self.assertEqual(program.wait_exit(), 0)


class RefusedInputTest(E2ETest):
    # (what, text, message)
    CASES = [
        ("empty", "", EMPTY_MESSAGE),
        ("128 letters", "a" * 128, TOO_LONG_MESSAGE.format(128)),
        ("64 astral characters, two code units each", "\U0001F600" * 64, TOO_LONG_MESSAGE.format(128)),
        ("126 letters and a line break, which goes out as two code units", "a" * 126 + "\n",
         TOO_LONG_MESSAGE.format(128)),
        ("300 characters", "汉" * 300, TOO_LONG_MESSAGE.format(300)),
    ]

    def test_refused_input_shows_a_message_and_sends_nothing(self):
        program = Program(self)
        for what, text, message in self.CASES:
            with self.subTest(what):
                if text:
                    program.paste_input(text)
                else:
                    program.clear_input()
                program.convert()
                box = program.message_box()
                self.assertIsNotNone(box, "no message box")
                self.assertEqual(program.message_text(box), message)
                self.desktop.key("Return")
                self.assertEqual(self.desktop.wait_window(count=1), [program.window],
                                 "the message box did not go away")
                self.assertIsNone(program.process.poll(), "the program ended")
        # The module has seen nothing so far; the next frame is exactly the next send.
        program.type_input("OK")
        program.convert()
        frame = program.next_frame(0)
        self.assertIsNotNone(frame, "nothing reached COM1 after the refused inputs")
        self.assertEqual(frame.data, wire_bytes("OK"))
        self.assertEqual(len(program.module.frames()), 1)

    def test_the_message_box_button_reads_ok_in_chinese_in_any_locale(self):
        if PLATFORM.wine is None:
            self.skipTest(NOT_HERE + "X shows no button texts; tst_form1 reads the Qt box's button")
        program = Program(self, platform=PLATFORM.in_locale("C"))
        program.clear_input()
        program.convert()
        box = program.message_box()
        self.assertIsNotNone(box, "no message box")
        self.assertEqual(PLATFORM.buttons(self.desktop, program.process, box), ["确定"])
        self.assertEqual(program.message_text(box), EMPTY_MESSAGE)


WRITE_CALL = re.compile(r'^(?:\d+ +)?(\w+)\((\d+)<((?:\\x[0-9a-f]{2})*)>, "((?:\\x[0-9a-f]{2})*)", (\d+)\) = (-?\d+)$')


def port_writes(log):
    """The write-type calls strace saw on the port: (name, bytes, returned) for each, in order; a line
    it could not read comes back whole, so that it fails the comparison."""
    calls = []
    for line in log.splitlines():
        match = WRITE_CALL.match(line.strip())
        if not match:
            calls.append(line)
            continue
        name, _, _, data, _, returned = match.groups()
        calls.append((name, bytes.fromhex(data.replace("\\x", "")), int(returned)))
    return calls


class OneWriteTest(E2ETest):
    # (what, how, text): 1, 2, 4 (with CR LF) and 127 code units.
    CASES = [
        ("one letter", "type", "a"),
        ("two Chinese characters", "type", "汉字"),
        ("a line break", "type", "a\nb"),
        ("127 code units", "paste", "字" * 120 + "\U0001F600" * 3 + "z"),
    ]

    def test_each_frame_is_one_write_of_all_its_bytes(self):
        if not strace_usable():
            self.skipTest("strace cannot trace here (ptrace not allowed)")
        log = tempfile.NamedTemporaryFile(prefix="qm47t-strace-", suffix=".log")
        self.addCleanup(log.close)
        # Only write-type calls on the port itself: everything that could split a frame.
        strace = ["strace", "-f", "-qq", "--seccomp-bpf", "-e", "signal=none", "-y", "-xx", "-s", "4096",
                  "-e", "trace=write,writev,pwrite64,pwritev,pwritev2", "-P", PLATFORM.port_path, "-o", log.name,
                  "--"]
        program = Program(self, wrapper=strace)
        expected = []
        for what, how, text in self.CASES:
            frame_bytes = wire_bytes(text)
            expected.append(("write", frame_bytes, len(frame_bytes)))
            (program.type_input if how == "type" else program.paste_input)(text)
            frame = program.send()
            self.assertIsNotNone(frame, f"{what}: nothing reached COM1")
            self.assertEqual(frame.data, frame_bytes, what)
        program.exit()
        self.assertEqual(program.wait_exit(), 0)
        self.assertEqual(port_writes(Path(log.name).read_text()), expected)


class EndingTest(E2ETest):
    def test_exit_right_after_the_longest_send_delivers_it_all(self):
        text = "汉字" * 60 + "\U0001F600" * 3 + "z"
        expected = wire_bytes(text)
        self.assertEqual(len(expected), 254)
        program = Program(self)
        program.paste_input(text)
        program.convert_and_exit()
        self.assertEqual(program.wait_exit(), 0)
        self.assertTrue(program.module.wait_released(), "COM1 was not released")
        self.assertEqual(program.module.wait_bytes(len(expected), timeout=2), expected)

    def test_closing_the_window_ends_the_program_and_releases_the_port(self):
        program = Program(self)
        program.type_input("汉字")
        frame = program.send()
        self.assertIsNotNone(frame, "nothing reached COM1")
        self.assertEqual(frame.data, wire_bytes("汉字"))
        self.desktop.request_close(program.window)
        self.assertEqual(program.wait_exit(), 0)
        self.assertTrue(program.module.wait_released(), "COM1 was not released")
        self.assertEqual(self.desktop.windows(), [])


class ScreenReaderTest(E2ETest):
    """What a screen reader says as Tab walks the window: the name of the control that takes the focus,
    read on Linux over AT-SPI as Orca reads it (tests/e2e/atspi.py), on Windows through MSAA
    (accnames.exe beside the program)."""

    CONVERT = "转换成Unicode码，并通过COM1串口以9600Bit/S输出给QM47T发给手机。"
    INPUT = "输入需要转化输出的字母、数字或汉字："
    MONITOR = "（串口数据监视窗口）已从串口输出的Unicode码："
    # The focus starts in the input box; each Tab moves it on.
    LINUX_WALK = [INPUT, MONITOR, "退出", CONVERT]
    # Wine 8 does not take Dynamic Annotations (SetHwndPropStr answers E_NOTIMPL), which give the
    # boxes both label lines on Windows; MSAA then names each box after the label just before it.
    WINE_WALK = ["字母、数字或汉字：", "已从串口输出的Unicode码：", "退出", CONVERT]

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.bus = None
        if PLATFORM.wine is None:
            import atspi
            try:
                cls.bus = atspi.AccessibilityBus(cls.xvfb.env)
            except RuntimeError as problem:
                cls.bus_problem = str(problem)
                return
            # The program and the tools run with the bus as their session bus.
            cls.xvfb.env = cls.desktop.env = cls.bus.env

    @classmethod
    def tearDownClass(cls):
        if cls.bus:
            cls.bus.close()
        super().tearDownClass()

    def setUp(self):
        if PLATFORM.wine is None and self.bus is None:
            self.skipTest(self.bus_problem)

    def focused(self, program):
        """The name of the control with the focus, as the screen reader is told it."""
        if PLATFORM.wine is None:
            return [control["name"] for control in self.bus.controls(program.process.pid)
                    if control["focused"] and control["role"] in ("text", "push button")]
        probe = PROGRAM.parent / "accnames.exe"
        result = PLATFORM.wine.inside(program.process, ["wine", str(probe)], env=self.desktop.env,
                                      capture_output=True, timeout=60)
        if result.returncode != 0:
            raise RuntimeError(f"accnames failed ({result.returncode}): {result.stderr.decode()[-500:]}")
        windows = {str(window["x11"]): window for window in map(json.loads, result.stdout.decode().splitlines())}
        return [control["name"] for control in windows[program.window]["controls"] if control["focus"]]

    def test_tab_walks_the_controls_by_their_names(self):
        program = Program(self)
        self.desktop.focus(program.window)
        heard = []
        for step in range(4):
            if step:
                self.desktop.key("Tab")
            # The reader hears of the move a moment after the key: what it is told once the focus
            # has left the last control heard (None if it never does).
            moved = vq.wait_until(lambda: [name for name in self.focused(program) if name not in heard], 10.0)
            heard.append(moved[0] if moved else None)
        self.assertEqual(heard, self.WINE_WALK if PLATFORM.wine else self.LINUX_WALK)
        # With a screen reader there, a send is announced as well as written.
        program.type_input("汉字")
        frame = program.send()
        self.assertIsNotNone(frame, "nothing reached COM1")
        self.assertEqual(frame.data, wire_bytes("汉字"))

    def test_each_label_names_its_box(self):
        if PLATFORM.wine:
            self.skipTest(NOT_HERE + "MSAA has no relations; the walk reads the label that names each box")
        program = Program(self)
        self.assertTrue(vq.wait_until(lambda: self.bus.controls(program.process.pid), 10.0), "nothing on AT-SPI")
        boxes = [(control["name"], control["labelled_by"]) for control in self.bus.controls(program.process.pid)
                 if control["role"] == "text"]
        self.assertEqual(boxes, [(self.INPUT, ["输入需要转化输出的", "字母、数字或汉字："]),
                                 (self.MONITOR, ["（串口数据监视窗口）", "已从串口输出的Unicode码："])])


def typed_characters():
    """Every character the tests type with the keyboard."""
    return "".join(text for test in (SendTest, OneWriteTest) for _, how, text in test.CASES if how == "type")


class NamespaceTest(unittest.TestCase):
    def test_nothing_starts_unless_com1_is_the_pseudo_terminal(self):
        # The guard against a real UART: what would start (the shell's `exit 0`) never runs.
        process, _ = vq.spawn_in_namespace(["sh", "-c", "exit 0"], "/dev/null", stderr=subprocess.DEVNULL)
        self.assertEqual(process.wait(10), vq.REFUSED_STATUS)
        with vq.VirtualModule() as module:
            process, _ = vq.spawn_in_namespace(["sh", "-c", "exit 0"], module.slave_path)
            self.assertEqual(process.wait(10), 0)


class UnusablePortTest(E2ETest):
    def _start(self, port_source, before_start=lambda process: None, require_pty=False):
        process, go = vq.spawn_in_namespace(PLATFORM.argv(), port_source, require_pty=require_pty,
                                            env=self.xvfb.env, gated=True, wine=PLATFORM.wine)
        self.addCleanup(vq.stop, process)
        before_start(process)
        go()
        return process

    def _expect_refusal(self, process):
        windows = self.desktop.wait_window()
        self.assertEqual(len(windows), 1, "no message box")
        self.assertNotEqual(self.desktop.geometry(windows[0])[2:], MAIN_WINDOW_SIZE,
                            "the main window opened")
        message = PLATFORM.message_text(self.desktop, process, windows[0])
        prefix = PLATFORM.open_failed_prefix
        self.assertTrue(message.startswith(prefix), message)
        self.assertGreater(len(message), len(prefix), "the message gives no reason")
        self.desktop.key("Return")
        self.assertEqual(process.wait(20), 1)

    def test_com1_that_is_not_a_terminal(self):
        self._expect_refusal(self._start("/dev/null"))

    def test_com1_whose_other_end_is_gone(self):
        module = vq.VirtualModule()
        process = self._start(module.slave_path, before_start=lambda _: module.close())
        self._expect_refusal(process)

    def test_com1_locked_by_another_program(self):
        if not PLATFORM.holds_lock_files:
            self.skipTest(NOT_HERE + "Wine ignores Linux lock files and does not keep a second program off a port")
        module = vq.VirtualModule()
        self.addCleanup(module.close)

        def lock(process):
            # The lock file of a live program (this test), in the namespace's own /run/lock.
            owner = f"{os.getpid()}\n{os.path.realpath('/proc/self/exe')}\n{socket.gethostname()}\n"
            Path(f"/proc/{process.pid}/root/run/lock/LCK..ttyS0").write_text(owner)

        process = self._start(module.slave_path, before_start=lock, require_pty=True)
        self._expect_refusal(process)
        self.assertFalse(module.wait_opened(timeout=0), "the program opened a port another program holds")


class Com1DeviceTest(E2ETest):
    """Which device stands for COM1, and what the user reads when it cannot be opened: the program in a
    /dev of its own and under an English locale, where the system's own words would be English."""

    def setUp(self):
        if PLATFORM.wine:
            self.skipTest(NOT_HERE + "Linux device names, lock files and permissions")

    def _env(self):
        env = {name: value for name, value in self.xvfb.env.items()
               if name not in ("LC_ALL", "LC_MESSAGES", "LANGUAGE")}
        return dict(env, LANG="C.UTF-8")

    def _start(self, module, dev_links, wrapper=(), before_start=lambda process: None):
        process, go = vq.spawn_in_namespace([*wrapper, str(PROGRAM)], module.slave_path, env=self._env(),
                                            gated=True, dev_links=dev_links)
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.wait()))
        before_start(process)
        go()
        return process

    def test_com1_comes_before_ttys0(self):
        com1, ttys0 = vq.VirtualModule(), vq.VirtualModule()
        self.addCleanup(com1.close)
        self.addCleanup(ttys0.close)
        process = self._start(ttys0, {"COM1": com1.slave_path})
        windows = self.desktop.wait_window()
        self.assertEqual(len(windows), 1, "the window did not appear")
        self.desktop.set_clipboard("汉字")
        self.desktop.click(windows[0], vq.TEXT1_CENTRE)
        self.desktop.key("ctrl+v")
        self.desktop.click(windows[0], vq.COMMAND1_CENTRE)
        self.assertEqual(com1.wait_bytes(4), wire_bytes("汉字"))
        self.assertFalse(ttys0.wait_opened(timeout=0), "the program opened /dev/ttyS0 as well")
        self.desktop.click(windows[0], vq.COMMAND2_CENTRE)
        self.assertEqual(process.wait(20), 0)

    def test_open_failures_say_why_in_chinese(self):
        def lock(process):
            # The lock file of a live program, this test, in the namespace's own /run/lock.
            Path(f"/proc/{process.pid}/root/run/lock/LCK..ttyS0").write_text(f"{os.getpid():10d}\n")

        module = None

        def unplug(_):
            module.close()

        comm = Path("/proc/self/comm").read_text().strip()
        nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
        # (what, /dev/COM1 leads to, run as, before the start, what the user reads)
        cases = [
            ("ttyS0 with no chip behind it", None, (), unplug,
             "无法打开串口 COM1（/dev/ttyS0）：这台电脑的 COM1 没有串口硬件；使用 USB 转串口线。"),
            ("COM1 leading to a device that is no serial port", "/dev/null", (), None,
             "无法打开串口 COM1（/dev/COM1）：该设备不是串口。"),
            ("a user outside dialout, the port root's alone", None, nobody, None,
             "无法打开串口 COM1（/dev/ttyS0）：没有使用该串口的权限。执行 sudo adduser $USER dialout，然后重新登录。"),
            ("held by another program", None, (), lock,
             f"无法打开串口 COM1（/dev/ttyS0）：串口正被另一个程序占用：进程 {os.getpid()}（{comm}）。"),
        ]
        for what, com1, wrapper, before_start, expected in cases:
            with self.subTest(what):
                if wrapper and os.geteuid() != 0:
                    self.skipTest("only root can start the program as another user")
                module = vq.VirtualModule()
                if before_start is not unplug:
                    self.addCleanup(module.close)
                os.chmod(module.slave_path, 0o600)
                process = self._start(module, {"COM1": com1} if com1 else {}, wrapper,
                                      before_start or (lambda _: None))
                try:
                    windows = self.desktop.wait_window()
                    self.assertEqual(len(windows), 1, "no message box")
                    self.assertNotEqual(self.desktop.geometry(windows[0])[2:], MAIN_WINDOW_SIZE,
                                        "the main window opened")
                    self.assertEqual(self.desktop.message_text(windows[0]), expected)
                    self.desktop.key("Return")
                    self.assertEqual(process.wait(20), 1)
                finally:
                    # A window left over would stand in the way of the next row's.
                    if process.poll() is None:
                        process.kill()
                        process.wait()


def main():
    global PROGRAM, PLATFORM
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--platform", choices=("linux", "windows"), default="linux")
    parser.add_argument("--program", type=Path, default=PROGRAM)
    options, unittest_args = parser.parse_known_args()
    PROGRAM = options.program.resolve()

    problem = why_not_here()
    if problem:
        print(f"SKIPPED: the end-to-end tests cannot run here.\n{problem}", flush=True)
        return SKIPPED
    PLATFORM = Windows() if options.platform == "windows" else Linux()
    unbuilt = [str(path) for path in PLATFORM.files() if not path.is_file()]
    if unbuilt:
        print(f"FAILED: not built: {', '.join(unbuilt)}", flush=True)
        return 1
    try:
        PLATFORM.open()
    except vq.Unavailable as reason:
        print(f"SKIPPED: the end-to-end tests cannot run here.\n{reason}", flush=True)
        return SKIPPED
    except RuntimeError as problem:
        print(f"FAILED: {problem}", flush=True)
        return 1
    try:
        result = unittest.main(argv=[sys.argv[0], *unittest_args], exit=False, verbosity=2).result
    finally:
        PLATFORM.close()
    if not result.wasSuccessful():
        return 1
    # A case that does not apply to the platform is not this machine's shortcoming.
    skipped = [f"{test.id()}: {reason}" for test, reason in result.skipped if not reason.startswith(NOT_HERE)]
    if skipped:
        print("SKIPPED: " + "; ".join(skipped), flush=True)
        return SKIPPED
    return 0


if __name__ == "__main__":
    sys.exit(main())
