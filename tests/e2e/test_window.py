# SPDX-License-Identifier: MIT
"""The window as a user meets it: its size and focus, Escape, minimize and restore, 144 dpi, input the
program refuses with a message, what a screen reader says, and a held key."""

import subprocess
import time

import pytest

from e2e import EMPTY_MESSAGE, TOO_LONG_MESSAGE, fresh_desktop
from qm47t_harness import wait_until
from qm47t_harness.layout import DESIGN, MAIN_WINDOW_SIZE, to_pixels


class WindowTest:
    def test_window_opens_with_its_size_and_the_focus_in_the_input_box(self, program, platform, desktop):
        assert program.module.wait_opened(), "the program did not open COM1"
        assert desktop.geometry(program.window)[2:] == MAIN_WINDOW_SIZE
        # A window manager gives a new window the keyboard focus (there is none on Xvfb); no click
        # into a box, so the keys go to whichever control has the focus at the start.
        desktop.focus(program.window)
        desktop.type("Focus")
        frame = program.send()
        assert frame is not None, "nothing reached COM1"
        assert frame.data == platform.wire_bytes("Focus")
        # The module left the line as a fresh pty is: only the program can have made it raw (the
        # settings name output processing where it is still on).
        assert str(frame.settings) == "9600 bit/s 8N1, no flow control"

    def test_escape_in_either_box_changes_nothing(self, program, desktop):
        program.sends("汉字\nab")
        monitor = program.monitor()
        # In the input box, then in the monitor box, which Tab reaches next.
        program.type_input("汉字\nab")
        desktop.key("Escape", "Tab", "Escape")
        time.sleep(2)
        assert desktop.windows() == [program.window], "Escape closed or opened a window"
        assert program.process.poll() is None, "Escape ended the program"
        assert program.input_text() == "汉字\nab"
        assert program.monitor() == monitor


class MinimizeTest:
    """Under a window manager, which Xvfb alone lacks: openbox, stopped when the class ends."""

    @pytest.fixture(scope="class", autouse=True)
    def window_manager(self, xvfb):
        openbox = subprocess.Popen(["openbox", "--sm-disable"], env=xvfb.env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        managing = lambda: "window id" in subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"],
                                                         env=xvfb.env, capture_output=True, text=True).stdout
        try:
            if not wait_until(managing, 20.0):
                raise RuntimeError("openbox did not start")
            yield
        finally:
            openbox.terminate()
            openbox.wait()

    def test_the_focus_comes_back_to_its_control_after_minimize_and_restore(self, program, platform, desktop):
        program.type_input("ab")
        desktop.key("Tab")  # into the monitor box
        desktop.xdotool("windowminimize", "--sync", program.window)
        # Restored only once the program has taken the window for minimized: a user is not faster.
        assert wait_until(lambda: platform.minimized(desktop, program.process, program.window), 10.0), \
            "the window was not minimized"
        desktop.xdotool("windowactivate", "--sync", program.window)
        # Active first, then the program takes the keyboard: type once it has.
        assert wait_until(lambda: desktop.xdotool("getwindowfocus").strip() == program.window, 10.0), \
            "the window did not get the keyboard back"
        desktop.type("x")
        assert program.monitor() == "x", "the keys went to no control, or to another"
        assert program.input_text() == "ab"


class HighDpiTest:
    @pytest.mark.only("windows", "Qt scales the whole window; tst_form1 checks the controls fit")
    def test_at_144_dpi_every_control_sits_inside_the_window_with_the_designed_margin_below(
            self, start, platform, desktop):
        # The setting Windows' "150 %" writes, made in the prefix before the program starts and taken
        # out again when it has ended, so that the next test finds Wine's 96 dpi.
        key = '"HKCU\\Control Panel\\Desktop" /v LogPixels'
        set_dpi = ["sh", "-c", f'wine reg add {key} /t REG_DWORD /d 144 /f >/dev/null 2>&1; "$@"; status=$?; '
                   f'wine reg delete {key} /f >/dev/null 2>&1; exit $status', "at-144-dpi"]
        program = start(wrapper=set_dpi)
        window = platform.inspect(desktop, program.process)[program.window]
        client = window["client"]
        width, height = client[2] - client[0], client[3] - client[1]
        assert width >= to_pixels(DESIGN["clientWidth"], 144), "the window was not laid out at 144 dpi"
        lowest = 0
        for child in window["children"]:
            left, top, right, bottom = child["rect"]
            assert 0 <= left and 0 <= top and right <= width and bottom <= height, child
            lowest = max(lowest, bottom)
        # The margin below the lowest control, as designed: the convert button's three lines at this
        # size do not run into its frame or the window's edge.
        margin = DESIGN["clientHeight"] - max(row["top"] + row["height"] for row in DESIGN["controls"])
        assert height - lowest >= to_pixels(margin, 144)
        desktop.request_close(program.window)  # the buttons are not where the 96-dpi layout has them
        assert program.wait_exit() == 0


class RefusedInputTest:
    # (what, text, message): one program (shared_program) refuses them all, one after the other.
    CASES = [
        ("empty", "", EMPTY_MESSAGE),
        ("128 letters", "a" * 128, TOO_LONG_MESSAGE.format(128)),
        ("64 astral characters, two code units each", "\U0001F600" * 64, TOO_LONG_MESSAGE.format(128)),
        ("126 letters and a line break, which goes out as two code units", "a" * 126 + "\n",
         TOO_LONG_MESSAGE.format(128)),
        ("300 characters", "汉" * 300, TOO_LONG_MESSAGE.format(300)),
    ]

    @pytest.mark.parametrize("what, text, message", CASES, ids=[row[0] for row in CASES])
    def test_refused_input_shows_a_message_and_sends_nothing(self, shared_program, what, text, message):
        program = shared_program
        if text:
            program.paste_input(text)
        else:
            program.clear_input()
        program.convert()
        assert program.answer_message() == message
        assert program.process.poll() is None, "the program ended"

    def test_after_them_the_next_send_is_the_first_frame(self, shared_program):
        # The module has seen nothing so far: the next send's frame is its first.
        shared_program.sends("OK")
        assert len(shared_program.module.frames()) == 1


class MessageBoxButtonTest:
    @pytest.mark.only("windows", "X shows no button texts; tst_form1 reads the Qt box's button")
    def test_the_message_box_button_reads_ok_in_chinese_in_any_locale(self, start, platform, desktop):
        program = start(platform=platform.in_locale("C"))
        program.clear_input()
        program.convert()
        box = program.message_box()
        assert box is not None, "no message box"
        assert platform.buttons(desktop, program.process, box) == ["确定"]
        assert program.message_text(box) == EMPTY_MESSAGE


class ScreenReaderTest:
    """What a screen reader says as Tab walks the window: the name of the control that takes the focus,
    read on Linux over AT-SPI as Orca reads it (tests/e2e/atspi.py), on Windows through MSAA
    (accnames.exe beside the program)."""

    CONVERT = "转换成Unicode码，并通过COM1串口以9600Bit/S输出给QM47T发给手机。"
    SENT = "已发送 4 字节"  # after 汉字 went out
    INPUT = "输入需要转化输出的字母、数字或汉字："
    MONITOR = "（串口数据监视窗口）已从串口输出的Unicode码："
    # The focus starts in the input box; each Tab moves it on.
    LINUX_WALK = [INPUT, MONITOR, "退出", CONVERT]
    # Wine 8 does not take Dynamic Annotations (SetHwndPropStr answers E_NOTIMPL), which give the
    # boxes both label lines on Windows; MSAA then names each box after the label just before it.
    WINE_WALK = ["字母、数字或汉字：", "已从串口输出的Unicode码：", "退出", CONVERT]

    @pytest.fixture(scope="class")
    def bus(self, platform, xvfb):
        """On Linux, a session bus with AT-SPI on it for the class's programs and tools."""
        if platform.wine:
            yield None
            return
        import atspi
        try:
            bus = atspi.AccessibilityBus(xvfb.env)
        except RuntimeError as problem:
            pytest.skip(str(problem))
        yield bus
        bus.close()

    @pytest.fixture
    def desktop(self, xvfb, bus):
        # The program and the tools run with the bus as their session bus.
        return fresh_desktop(bus.env if bus else xvfb.env)

    def focused(self, program, bus):
        """The name of the control with the focus, as the screen reader reads it. Orca reads the first
        "labelled by" relation's label in place of the name: a box with one per label line would be
        read by its first line alone."""
        if bus:
            return [(control["labelled_by"] or [control["name"]])[0] for control in bus.controls(program.process.pid)
                    if control["focused"] and control["role"] in ("text", "push button")]
        windows = program.platform.inspect(program.desktop, program.process, program.platform.accnames, timeout=60)
        return [control["name"] for control in windows[program.window]["controls"] if control["focus"]]

    def test_tab_walks_the_controls_by_their_names(self, program, desktop, bus):
        desktop.focus(program.window)
        heard = []
        for step in range(4):
            if step:
                desktop.key("Tab")
            # The reader hears of the move a moment after the key: what it is told once the focus
            # has left the last control heard (None if it never does).
            moved = wait_until(lambda: [name for name in self.focused(program, bus) if name not in heard], 10.0)
            heard.append(moved[0] if moved else None)
        assert heard == (self.LINUX_WALK if bus else self.WINE_WALK)
        # With a screen reader there, a send is announced as well as written: on Linux a notification
        # shows, which Orca speaks wherever the focus is.
        program.sends("汉字")
        if bus:
            assert wait_until(lambda: [control for control in bus.controls(program.process.pid)
                                       if control["role"] == "notification" and control["showing"]
                                       and control["name"] == self.SENT], 10.0), "no notification of the send"

    @pytest.mark.only("linux", "Orca is Linux's screen reader; accnames reads what Windows' are told")
    def test_orca_speaks_each_control_whole_and_each_send(self, bus, start, desktop, cleanup):
        import atspi
        try:
            orca = atspi.Orca(bus.env)
        except RuntimeError as problem:
            pytest.skip(str(problem))
        cleanup(orca.close)
        program = start()
        desktop.focus(program.window)
        program.type_input("汉字")
        # (key, what Orca must say after it): the focus starts in the input box and Tab walks on;
        # Space on the convert button sends, and the focus stays there.
        steps = [(None, self.INPUT), ("Tab", self.MONITOR), ("Tab", "退出"), ("Tab", self.CONVERT),
                 ("space", self.SENT)]
        heard, said = [], 0
        for key, words in steps:
            if key:
                desktop.key(key)
            # How many utterances there were up to the one that says it.
            found = wait_until(lambda: next((n + 1 for n, utterance in enumerate(orca.spoken()) if n >= said
                                             and words in utterance), None), 20.0)
            heard.append(words if found else None)
            said = found or said
        assert heard == [words for _, words in steps], f"Orca said: {orca.spoken()}"


class HeldKeyTest:
    def test_space_as_held_key_on_the_convert_button_sends_one_frame(self, program, platform, desktop, cleanup):
        program.type_input("a")
        # From the input box: the monitor box, Exit, then the convert button.
        desktop.key("Tab", "Tab", "Tab")
        # Auto-repeat at 100 a second after 200 ms, so that a two-second hold gives some 180 repeats
        # and the race between a repeat's release and its press shows every run; X's own rate after.
        xset = lambda *args: subprocess.run(["xset", *args], env=desktop.env, check=True)
        xset("r", "rate", "200", "100")
        cleanup(xset, "r", "rate")
        desktop.xdotool("keydown", "space")
        time.sleep(2)
        desktop.xdotool("keyup", "space")
        assert program.next_frame(0) is not None, "holding Space sent nothing"
        time.sleep(1)
        # Frames this close together arrive as one run of bytes: count the copies of the frame.
        received = b"".join(frame.data for frame in program.module.frames())
        one = platform.wire_bytes("a")
        assert received == one, f"{len(received) // len(one)} frames for one press of Space"
