# SPDX-License-Identifier: MIT
"""Frames on the wire: each one a single write of all its bytes, and nothing lost when the program
ends right after a send."""

import re
import subprocess
import tempfile
from pathlib import Path

import e2e
from e2e import E2ETest, Program, wire_bytes


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
                  "-e", "trace=write,writev,pwrite64,pwritev,pwritev2", "-P", e2e.PLATFORM.port_path, "-o", log.name,
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
