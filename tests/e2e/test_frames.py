# SPDX-License-Identifier: MIT
"""Frames on the wire: text typed or pasted going out byte-exact, each frame a single write of all its
bytes, and showing in the monitor; nothing lost when the program ends right after a send, every way
out naming what it lost, and a stalled line's frames going out whole."""

import contextlib
import os
import re
import signal
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

from e2e import TOO_LONG_MESSAGE, Program, finish, fresh_desktop, monitor_text
from qm47t_harness import wait_until
from qm47t_harness.display import Xvfb
from qm47t_harness.layout import COMMAND1_CENTRE


TEXT = "a" * 127  # the longest frame, 254 bytes
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


def click_convert(program, clicks, delay_ms):
    """Clicks the convert button `clicks` times, `delay_ms` apart, from another process: the clicks
    queue up in X while the program is busy, as a user's do."""
    x, y = COMMAND1_CENTRE
    return subprocess.Popen(["xdotool", "mousemove", "--window", program.window, str(x), str(y),
                             "click", "--repeat", str(clicks), "--delay", str(delay_ms), "1"], env=program.desktop.env)


def stall(program, cleanup):
    """Pastes the longest frame, pauses the module and clicks until the program says the line is
    stalled: the 83rd frame is cut short in the full pty, the 84th refused once the line has taken
    nothing for a while. Its message stays up."""
    program.paste_input(TEXT)
    program.module.pause()
    # Enough clicks to fill the pseudo-terminal's buffers, 10 ms apart, as in the user trial.
    clicking = click_convert(program, 300, 10)
    cleanup(clicking.kill)
    box = program.message_box(timeout=120)
    assert box is not None, "the line never counted as stalled"
    clicking.wait(120)
    return box


def traced_program(start, platform, cleanup):
    """The program under strace, which logs every write-type call on the port; and that log."""
    if subprocess.run(["strace", "-qq", "-e", "trace=none", "true"], capture_output=True).returncode != 0:
        pytest.skip("strace cannot trace here (ptrace not allowed)")
    log = tempfile.NamedTemporaryFile(prefix="qm47t-strace-", suffix=".log")
    cleanup(log.close)
    # Only write-type calls on the port itself: everything that could split a frame.
    strace = ["strace", "-f", "-qq", "--seccomp-bpf", "-e", "signal=none", "-y", "-xx", "-s", "4096",
              "-e", "trace=write,writev,pwrite64,pwritev,pwritev2", "-P", platform.port_path, "-o", log.name,
              "--"]
    return start(wrapper=strace), Path(log.name)


class SendTest:
    # (what, how it is entered, text): typed texts go through the keyboard, with Enter for line
    # breaks; the rest comes from the clipboard, as characters no keyboard layout types. One traced
    # program takes them all, one after the other, as in a user's session.
    CASES = [
        ("letters, digits, punctuation and Chinese", "type", "Hello, QM47T 0123456789! 汉字转换测试abc"),
        ("line breaks typed with Enter, within and at the end", "type", "第一行\nsecond\n\n"),
        ("a single character", "type", "x"),
        ("astral characters", "paste", "\U0001F600汉\U00020000"),
        ("a lone CR, as old Mac text has it", "paste", "a\rb"),
        ("a lone LF, as Unix text has it", "paste", "a\nb"),
        ("line and paragraph separators", "paste", "a\u2028b\u2029c"),
        ("127 code units with a lone CR", "paste", "a" * 63 + "\r" + "a" * 63),
        ("a tab, a no-break space and an astral character alone", "paste", "\t\u00a0\U0001F600"),
        ("127 code units, the longest", "paste", "汉" * 127),
        ("127 code units with astral characters", "paste", "\U0001F600" * 63 + "z"),
    ]

    @pytest.fixture(scope="class")
    def traced(self, xvfb, platform):
        """The class's one program under strace, the log of its writes on the port, and the frames it
        has sent, in order."""
        with contextlib.ExitStack() as stack:
            start = lambda wrapper: Program(fresh_desktop(xvfb.env), platform, stack.callback, wrapper)
            yield *traced_program(start, platform, stack.callback), []

    @pytest.mark.parametrize("what, how, text", CASES, ids=[row[0] for row in CASES])
    def test_entered_text_arrives_byte_exact_and_shows_in_the_monitor(self, traced, platform, what, how, text):
        (program, _, sent), expected = traced, platform.wire_bytes(text)
        (program.type_input if how == "type" else program.paste_input)(text)
        if len(expected) > 2 * 127:
            # A box that holds a lone break as CR LF counts it as two (Linux): one too many.
            program.convert()
            assert program.answer_message() == TOO_LONG_MESSAGE.format(len(expected) // 2)
            return
        frame = program.send()
        assert frame is not None, "nothing reached COM1"
        sent.append(expected)
        assert frame.data.hex(" ") == expected.hex(" ")
        assert program.monitor() == monitor_text(expected)
        assert program.input_text() == platform.as_read(text)
        # The input stays as it was: converting again sends the same frame.
        again = program.send()
        assert again is not None, "the second convert sent nothing"
        sent.append(expected)
        assert again.data == expected

    def test_each_frame_went_out_in_one_write_of_all_its_bytes_and_exit_ends_the_program(self, traced):
        program, log, sent = traced
        program.exit()
        assert program.wait_exit() == 0
        # The log of the writes is compared whole: nothing split a frame, nothing else was written.
        assert port_writes(log.read_text()) == [("write", frame, len(frame)) for frame in sent]


class EndingTest:
    def test_exit_right_after_the_longest_send_delivers_it_all(self, program, platform):
        text = "汉字" * 60 + "\U0001F600" * 3 + "z"
        expected = platform.wire_bytes(text)
        assert len(expected) == 254
        program.paste_input(text)
        program.convert_and_exit()
        assert program.wait_exit() == 0
        assert program.module.wait_released(), "COM1 was not released"
        assert program.module.wait_bytes(len(expected), timeout=2) == expected

    def test_closing_the_window_ends_the_program_and_releases_the_port(self, program, desktop):
        program.sends("汉字")
        desktop.request_close(program.window)
        assert program.wait_exit() == 0
        assert program.module.wait_released(), "COM1 was not released"
        assert desktop.windows() == []


@pytest.mark.only("linux", "POSIX signals and the X server belong to the Linux program")
class WaysOutTest:
    """Every way the program is told to end takes the Exit path: what is queued gets its bounded time to
    leave, what could not is named on standard error, and the port's lock file goes."""

    LOST = "关闭串口 COM1（/dev/ttyS0）失败：线路阻塞：关闭串口时还有 1 帧数据没有完整送出，已被丢弃。"
    LOCK_LEFT = "qm47t-test: the lock file was left"
    # The program as a shell's child, so that the shell can still look in the namespace's own /run/lock
    # once the program has ended.
    LOCK_WITNESS = ["sh", "-c", f'"$@"; status=$?; [ ! -e /run/lock/LCK..ttyS0 ] || echo "{LOCK_LEFT}" >&2; '
                    "exit $status", "sh"]

    # (what, how the program is told to end: a signal or None for its X server going away, whether the
    # line has stalled with a frame cut short, the exit status)
    CASES = [
        ("SIGTERM: kill, shutdown", signal.SIGTERM, True, 1),
        ("SIGINT: Ctrl+C in its terminal", signal.SIGINT, True, 1),
        ("SIGHUP: logout, its terminal closed", signal.SIGHUP, True, 1),
        ("the X server gone", None, True, 1),
        ("SIGTERM with nothing held back", signal.SIGTERM, False, 0),
    ]

    @pytest.mark.parametrize("what, how, stalled, status", CASES, ids=[row[0] for row in CASES])
    def test_each_way_out_drains_names_what_it_lost_and_removes_the_lock(self, xvfb, platform, cleanup, what, how,
                                                                        stalled, status):
        if how is None:
            # A display of this case's own, for it takes the display away.
            xvfb = Xvfb()
            cleanup(xvfb.close)
        program = Program(fresh_desktop(xvfb.env), platform, cleanup, self.LOCK_WITNESS, stderr=subprocess.PIPE)
        cleanup(program.process.stderr.close)
        children = Path(f"/proc/{program.process.pid}/task/{program.process.pid}/children")
        pid = int(children.read_text().split()[0])
        if stalled:
            stall(program, cleanup)
        else:
            program.paste_input(TEXT)
            assert program.send().data == platform.wire_bytes(TEXT)
        if how is None:
            xvfb.close()
        else:
            os.kill(pid, how)
        errors = finish(program.process, 60)[1].decode("utf-8", "replace")
        assert program.process.returncode == status, errors
        if stalled:
            assert self.LOST in errors
        else:
            assert "关闭串口" not in errors
        assert self.LOCK_LEFT not in errors


class SlowLineTest:
    """A module that stops reading for a while, and one that reads at a real line's 960 bytes a second."""

    def test_a_stalled_line_loses_nothing_that_was_written_and_lets_no_fragment_out(self, start, platform, desktop,
                                                                                     cleanup):
        frame = platform.wire_bytes(TEXT)
        program, log = traced_program(start, platform, cleanup)
        stall(program, cleanup)
        desktop.key("Return")
        # The clicks that queued up behind the stalled send do not each bring a box of their own.
        time.sleep(3)
        assert desktop.windows() == [program.window], "another message box followed"

        program.module.resume()
        # What the line held back of a frame follows as soon as it moves again, with no further click.
        # Each copy of the frame the port took a first part of is owed whole.
        owed = lambda: len(frame) * sum(1 for call in port_writes(log.read_text())
                                        if isinstance(call, tuple) and call[1] == frame and call[2] > 0)
        wait_until(lambda: len(program.module.received()) >= owed(), 30)
        assert len(program.module.received()) == owed(), "an accepted frame waits for another click"
        assert program.module.whole_frames(frame)[1] == b""

        program.exit()  # Exit lets what is queued leave before the port goes
        assert program.wait_exit(60) == 0
        assert program.module.wait_released(), "COM1 was not released"
        written = sum(max(call[2], 0) for call in port_writes(log.read_text()) if isinstance(call, tuple))
        received = program.module.received()
        copies, rest = program.module.whole_frames(frame)
        assert rest == b"", f"{copies} whole frames, then {len(rest)} bytes out of step"
        assert copies > 10
        # Every byte the program put on the line arrived: nothing queued was thrown away.
        assert len(received) == written

    def test_a_close_request_while_the_message_is_up_loses_no_frame_unsaid(self, program, platform, desktop,
                                                                           cleanup):
        stall(program, cleanup)
        platform.request_close(desktop, program.process, program.window)
        time.sleep(3)
        assert program.window in desktop.windows(), "the program left while its message was up"
        box = program.message_box()
        assert box is not None, "no message is up"
        if platform.leaves_on_close_request:
            # The message went with the request; Exit follows it, and the paused line keeps frames.
            assert program.message_text(box).startswith("关闭串口 COM1"), program.message_text(box)
            desktop.key("Return")
            assert program.wait_exit(60) == 1
            return
        desktop.key("Return")
        program.module.resume()
        program.exit()
        assert program.wait_exit(60) == 0
        copies, rest = program.module.whole_frames(platform.wire_bytes(TEXT))
        assert rest == b"", f"{copies} whole frames, then {len(rest)} bytes out of step"

    @pytest.mark.only("windows", "a Linux session ends its programs with a signal")
    def test_the_session_ending_while_the_message_is_up_says_what_it_lost(self, program, platform, desktop, cleanup):
        stall(program, cleanup)
        # Wine's log-off: WM_QUERYENDSESSION, then WM_ENDSESSION, to each window, as Windows sends them.
        ending = threading.Thread(target=platform.wine.inside, daemon=True,
                                  args=(program.process, ["wine", "wineboot", "--end-session"]),
                                  kwargs={"env": desktop.env, "capture_output": True, "timeout": 60})
        ending.start()

        # Exit's message about the frames the paused line keeps, over the one about the stall.
        def loss_box():
            if program.process.poll() is not None:
                return "ended"
            return [window for window, info in platform.inspect(desktop, program.process).items()
                    if any(child["text"].startswith("关闭串口 COM1") for child in info["children"])]
        lost = wait_until(loss_box, 20.0)
        assert lost and lost != "ended", "the session ended without a word about the frames it lost"
        desktop.focus(lost[0])
        desktop.key("Return")
        assert program.wait_exit(60) == 1
        ending.join(60)

    def test_a_line_at_9600_bit_s_is_slow_but_never_stalled(self, program, platform, desktop):
        frame = platform.wire_bytes(TEXT)
        program.paste_input(TEXT)
        program.module.pace(960)
        click_convert(program, 30, 20).wait(60)
        # 30 frames at 960 bytes a second: some 8 s on the wire.
        copies, rest = program.module.wait_whole_frames(frame, 30, timeout=30)
        assert (copies, rest) == (30, b"")
        assert desktop.windows() == [program.window], "a message box came up"
