# SPDX-License-Identifier: MIT
"""Frames on the wire: each one a single write of all its bytes, and nothing lost when the program
ends right after a send."""

import re
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from e2e import wire_bytes
from qm47t_harness.layout import COMMAND1_CENTRE


def strace_usable():
    result = subprocess.run(["strace", "-qq", "-e", "trace=none", "true"], capture_output=True, text=True)
    return result.returncode == 0


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


def traced_program(start, platform, cleanup):
    """The program under strace, which logs every write-type call on the port; and that log."""
    if not strace_usable():
        pytest.skip("strace cannot trace here (ptrace not allowed)")
    log = tempfile.NamedTemporaryFile(prefix="qm47t-strace-", suffix=".log")
    cleanup(log.close)
    # Only write-type calls on the port itself: everything that could split a frame.
    strace = ["strace", "-f", "-qq", "--seccomp-bpf", "-e", "signal=none", "-y", "-xx", "-s", "4096",
              "-e", "trace=write,writev,pwrite64,pwritev,pwritev2", "-P", platform.port_path, "-o", log.name,
              "--"]
    return start(wrapper=strace), Path(log.name)


class EndingTest:
    # The session's first case, as it was first on a server of its own: after OneWriteTest on the same
    # server the Qt program now and then takes the close request (Qt logs the ClientMessage) and stays.
    def test_closing_the_window_ends_the_program_and_releases_the_port(self, program, desktop):
        program.type_input("汉字")
        frame = program.send()
        assert frame is not None, "nothing reached COM1"
        assert frame.data == wire_bytes("汉字")
        desktop.request_close(program.window)
        assert program.wait_exit() == 0
        assert program.module.wait_released(), "COM1 was not released"
        assert desktop.windows() == []

    def test_exit_right_after_the_longest_send_delivers_it_all(self, program):
        text = "汉字" * 60 + "\U0001F600" * 3 + "z"
        expected = wire_bytes(text)
        assert len(expected) == 254
        program.paste_input(text)
        program.convert_and_exit()
        assert program.wait_exit() == 0
        assert program.module.wait_released(), "COM1 was not released"
        assert program.module.wait_bytes(len(expected), timeout=2) == expected


class OneWriteTest:
    # (what, how, text): 1, 2, 4 (with CR LF) and 127 code units.
    CASES = [
        ("one letter", "type", "a"),
        ("two Chinese characters", "type", "汉字"),
        ("a line break", "type", "a\nb"),
        ("127 code units", "paste", "字" * 120 + "\U0001F600" * 3 + "z"),
    ]

    def test_each_frame_is_one_write_of_all_its_bytes(self, start, platform, cleanup):
        # One traced program takes them all: the log of its writes is compared whole.
        program, log = traced_program(start, platform, cleanup)
        expected = []
        for what, how, text in self.CASES:
            frame_bytes = wire_bytes(text)
            expected.append(("write", frame_bytes, len(frame_bytes)))
            (program.type_input if how == "type" else program.paste_input)(text)
            frame = program.send()
            assert frame is not None, f"{what}: nothing reached COM1"
            assert (what, frame.data) == (what, frame_bytes)
        program.exit()
        assert program.wait_exit() == 0
        assert port_writes(log.read_text()) == expected


class SlowLineTest:
    """A module that stops reading for a while, and one that reads at a real line's 960 bytes a second."""

    TEXT = "a" * 127  # the longest frame, 254 bytes

    @staticmethod
    def click_convert(program, clicks, delay_ms):
        """Clicks the convert button `clicks` times, `delay_ms` apart, from another process: the clicks
        queue up in X while the program is busy, as a user's do."""
        x, y = COMMAND1_CENTRE
        return subprocess.Popen(["xdotool", "mousemove", "--window", program.window, str(x), str(y),
                                 "click", "--repeat", str(clicks), "--delay", str(delay_ms), "1"],
                                env=program.desktop.env)

    def test_a_stalled_line_loses_nothing_that_was_written_and_lets_no_fragment_out(self, start, platform, desktop,
                                                                                     cleanup):
        frame = wire_bytes(self.TEXT)
        program, log = traced_program(start, platform, cleanup)
        program.paste_input(self.TEXT)
        program.module.pause()
        # Enough clicks to fill the pseudo-terminal's buffers, 10 ms apart, as in the user trial.
        clicking = self.click_convert(program, 300, 10)
        cleanup(clicking.kill)
        box = program.message_box(timeout=120)
        assert box is not None, "the line never counted as stalled"
        clicking.wait(120)
        desktop.key("Return")
        # The clicks that queued up behind the stalled send do not each bring a box of their own.
        time.sleep(3)
        assert desktop.windows() == [program.window], "another message box followed"

        program.module.resume()
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

    def test_a_line_at_9600_bit_s_is_slow_but_never_stalled(self, program, desktop):
        frame = wire_bytes(self.TEXT)
        program.paste_input(self.TEXT)
        program.module.pace(960)
        self.click_convert(program, 30, 20).wait(60)
        # 30 frames at 960 bytes a second: some 8 s on the wire.
        copies, rest = program.module.wait_whole_frames(frame, 30, timeout=30)
        assert (copies, rest) == (30, b"")
        assert desktop.windows() == [program.window], "a message box came up"
