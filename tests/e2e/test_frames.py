# SPDX-License-Identifier: MIT
"""Frames on the wire: each one a single write of all its bytes, nothing lost when the program ends
right after a send, every way out naming what it lost, and a stalled line's frames going out whole."""

import os
import re
import signal
import subprocess
import tempfile
import threading
import time
import types
from pathlib import Path

import e2e
from e2e import E2ETest, Program, wire_bytes
from qm47t_harness import wait_until
from qm47t_harness.display import Desktop, Xvfb
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


def frames_accepted(log, frame):
    """How many copies of `frame` the port took a first part of, by the strace log: each is owed whole."""
    return sum(1 for call in port_writes(log) if isinstance(call, tuple) and call[1] == frame and call[2] > 0)


def click_convert(desktop, window, clicks, delay_ms):
    """Clicks the convert button `clicks` times, `delay_ms` apart, from another process: the clicks
    queue up in X while the program is busy, as a user's do."""
    x, y = COMMAND1_CENTRE
    return subprocess.Popen(["xdotool", "mousemove", "--window", window, str(x), str(y),
                             "click", "--repeat", str(clicks), "--delay", str(delay_ms), "1"], env=desktop.env)


def traced_program(test):
    """The program under strace, which logs every write-type call on the port; and that log."""
    log = tempfile.NamedTemporaryFile(prefix="qm47t-strace-", suffix=".log")
    test.addCleanup(log.close)
    # Only write-type calls on the port itself: everything that could split a frame.
    strace = ["strace", "-f", "-qq", "--seccomp-bpf", "-e", "signal=none", "-y", "-xx", "-s", "4096",
              "-e", "trace=write,writev,pwrite64,pwritev,pwritev2", "-P", e2e.PLATFORM.port_path, "-o", log.name,
              "--"]
    return Program(test, wrapper=strace), Path(log.name)


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
        program, log = traced_program(self)
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
        self.assertEqual(port_writes(log.read_text()), expected)


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


class WaysOutTest(E2ETest):
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

    def test_each_way_out_drains_names_what_it_lost_and_removes_the_lock(self):
        if e2e.PLATFORM.wine:
            self.skipTest(e2e.NOT_HERE + "POSIX signals and the X server belong to the Linux program")
        text = "a" * 127
        frame = wire_bytes(text)
        for what, how, stalled, status in self.CASES:
            with self.subTest(what):
                # A display of this case's own, for the case that takes it away.
                xvfb = Xvfb()
                self.addCleanup(xvfb.close)
                run = types.SimpleNamespace(xvfb=xvfb, desktop=Desktop(xvfb.env), addCleanup=self.addCleanup)
                program = Program(run, wrapper=self.LOCK_WITNESS, stderr=subprocess.PIPE)
                self.addCleanup(program.process.stderr.close)
                children = Path(f"/proc/{program.process.pid}/task/{program.process.pid}/children")
                pid = int(children.read_text().split()[0])
                program.paste_input(text)
                if stalled:
                    # The module stops reading; the 83rd frame is cut short in the full pty, the 84th
                    # refused once the line has taken nothing for a while. Its message stays up.
                    program.module.pause()
                    click_convert(run.desktop, program.window, 100, 10).wait(60)
                    self.assertIsNotNone(program.message_box(timeout=60), "the line never counted as stalled")
                else:
                    self.assertEqual(program.send().data, frame)
                if how is None:
                    xvfb.close()
                else:
                    os.kill(pid, how)
                try:
                    _, errors = program.process.communicate(timeout=60)
                except subprocess.TimeoutExpired:
                    self.fail("the program did not end")
                errors = errors.decode("utf-8", "replace")
                self.assertEqual(program.process.returncode, status, errors)
                if stalled:
                    self.assertIn(self.LOST, errors)
                else:
                    self.assertNotIn("关闭串口", errors)
                self.assertNotIn(self.LOCK_LEFT, errors)


class SlowLineTest(E2ETest):
    """A module that stops reading for a while, and one that reads at a real line's 960 bytes a second."""

    TEXT = "a" * 127  # the longest frame, 254 bytes

    def stall(self, program):
        """Pauses the module and clicks until the program says the line is stalled."""
        program.paste_input(self.TEXT)
        program.module.pause()
        # Enough clicks to fill the pseudo-terminal's buffers, 10 ms apart, as in the user trial.
        clicking = click_convert(self.desktop, program.window, 300, 10)
        self.addCleanup(clicking.kill)
        box = program.message_box(timeout=120)
        self.assertIsNotNone(box, "the line never counted as stalled")
        clicking.wait(120)
        return box

    def test_a_stalled_line_loses_nothing_that_was_written_and_lets_no_fragment_out(self):
        if not strace_usable():
            self.skipTest("strace cannot trace here (ptrace not allowed)")
        frame = wire_bytes(self.TEXT)
        program, log = traced_program(self)
        self.stall(program)
        self.desktop.key("Return")
        # The clicks that queued up behind the stalled send do not each bring a box of their own.
        time.sleep(3)
        self.assertEqual(self.desktop.windows(), [program.window], "another message box followed")

        program.module.resume()
        # What the line held back of a frame follows as soon as it moves again, with no further click.
        owed = lambda: len(frame) * frames_accepted(log.read_text(), frame)
        wait_until(lambda: len(program.module.received()) >= owed(), 30)
        self.assertEqual(len(program.module.received()), owed(), "an accepted frame waits for another click")
        self.assertEqual(program.module.whole_frames(frame)[1], b"")

        program.exit()  # Exit lets what is queued leave before the port goes
        self.assertEqual(program.wait_exit(60), 0)
        self.assertTrue(program.module.wait_released(), "COM1 was not released")
        written = sum(max(call[2], 0) for call in port_writes(log.read_text()) if isinstance(call, tuple))
        received = program.module.received()
        copies, rest = program.module.whole_frames(frame)
        self.assertEqual(rest, b"", f"{copies} whole frames, then {len(rest)} bytes out of step")
        self.assertGreater(copies, 10)
        # Every byte the program put on the line arrived: nothing queued was thrown away.
        self.assertEqual(len(received), written)

    def test_a_close_request_while_the_message_is_up_loses_no_frame_unsaid(self):
        program = Program(self)
        self.stall(program)
        e2e.PLATFORM.request_close(self.desktop, program.process, program.window)
        time.sleep(3)
        self.assertIn(program.window, self.desktop.windows(), "the program left while its message was up")
        box = program.message_box()
        self.assertIsNotNone(box, "no message is up")
        if e2e.PLATFORM.leaves_on_close_request:
            # The message went with the request; Exit follows it, and the paused line keeps frames.
            self.assertTrue(program.message_text(box).startswith("关闭串口 COM1"), program.message_text(box))
            self.desktop.key("Return")
            self.assertEqual(program.wait_exit(60), 1)
            return
        self.desktop.key("Return")
        program.module.resume()
        program.exit()
        self.assertEqual(program.wait_exit(60), 0)
        copies, rest = program.module.whole_frames(wire_bytes(self.TEXT))
        self.assertEqual(rest, b"", f"{copies} whole frames, then {len(rest)} bytes out of step")

    def test_the_session_ending_while_the_message_is_up_says_what_it_lost(self):
        if e2e.PLATFORM.wine is None:
            self.skipTest(e2e.NOT_HERE + "a Linux session ends its programs with a signal")
        program = Program(self)
        self.stall(program)
        # Wine's log-off: WM_QUERYENDSESSION, then WM_ENDSESSION, to each window, as Windows sends them.
        ending = threading.Thread(target=e2e.PLATFORM.wine.inside, daemon=True,
                                  args=(program.process, ["wine", "wineboot", "--end-session"]),
                                  kwargs={"env": self.desktop.env, "capture_output": True, "timeout": 60})
        ending.start()
        # Exit's message about the frames the paused line keeps, over the one about the stall.
        def loss_box():
            if program.process.poll() is not None:
                return "ended"
            windows = e2e.PLATFORM.inspect(self.desktop, program.process).items()
            return [window for window, info in windows
                    if any(child["text"].startswith("关闭串口 COM1") for child in info["children"])]
        lost = wait_until(loss_box, 20.0)
        self.assertTrue(lost and lost != "ended", "the session ended without a word about the frames it lost")
        self.desktop.focus(lost[0])
        self.desktop.key("Return")
        self.assertEqual(program.wait_exit(60), 1)
        ending.join(60)

    def test_a_line_at_9600_bit_s_is_slow_but_never_stalled(self):
        frame = wire_bytes(self.TEXT)
        program = Program(self)
        program.paste_input(self.TEXT)
        program.module.pace(960)
        click_convert(self.desktop, program.window, 30, 20).wait(60)
        # 30 frames at 960 bytes a second: some 8 s on the wire.
        copies, rest = program.module.wait_whole_frames(frame, 30, timeout=30)
        self.assertEqual((copies, rest), (30, b""))
        self.assertEqual(self.desktop.windows(), [program.window], "a message box came up")


