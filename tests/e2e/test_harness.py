# SPDX-License-Identifier: MIT
"""The harness itself, where a fault would hide the program's: the guard that keeps a real UART out of
the namespace, the demo and the suite on a machine with an adapter on COM1, the end of a run leaving no
process behind, and the virtual module's slow and stalled line."""

import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import e2e
from e2e import E2ETest, Program, wire_bytes
from qm47t_harness import REPO, wait_until
from qm47t_harness.module import Pacer, VirtualModule, whole_frames
from qm47t_harness.namespace import REFUSED_STATUS, namespace_pids, spawn_in_namespace, stop
from qm47t_harness.wine import wine_processes
from qm47t_harness.xwatch import XWatch

# A program that hangs: it ignores SIGTERM, as does a child that has left its process tree (setsid),
# as Wine's services leave the program's.
HUNG = 'trap "" TERM; setsid sh -c "sleep 3600" </dev/null & exec sleep 3600'


def names(pids):
    found = []
    for pid in pids:
        try:
            found.append(Path(f"/proc/{pid}/comm").read_text().strip())
        except OSError:
            pass
    return found


class NamespaceTest(unittest.TestCase):
    def test_nothing_starts_unless_every_name_for_com1_is_the_pseudo_terminal_or_absent(self):
        with VirtualModule() as module, VirtualModule() as other:
            pty = module.slave_path
            # (what, bound as /dev/ttyS0, links in the namespace's /dev, the node named as no serial
            # port, what the shell's `exit 0` gets)
            cases = [
                ("a pty alone", pty, {}, None, 0),
                ("/dev/COM1 linked to another pty", pty, {"COM1": other.slave_path}, None, 0),
                ("/dev/COM1 leading nowhere", pty, {"COM1": "/nonexistent"}, None, 0),
                ("/dev/null as ttyS0", "/dev/null", {}, None, REFUSED_STATUS),
                ("/dev/COM1 linked to /dev/null", pty, {"COM1": "/dev/null"}, None, REFUSED_STATUS),
                ("/dev/null as ttyS0, named as no serial port", "/dev/null", {}, "/dev/null", 0),
                ("/dev/COM1 linked to /dev/null, named", pty, {"COM1": "/dev/null"}, "/dev/null", 0),
            ]
            for what, port, links, named, status in cases:
                with self.subTest(what):
                    process, _ = spawn_in_namespace(["sh", "-c", "exit 0"], port, dev_links=links,
                                                    non_serial_node=named, stderr=subprocess.DEVNULL)
                    self.addCleanup(stop, process)
                    self.assertEqual(process.wait(10), status)
        # Only a memory device or a socket may be named: a terminal never passes for "no serial port".
        with self.assertRaises(ValueError):
            spawn_in_namespace(["sh", "-c", "exit 0"], "/dev/null", non_serial_node="/dev/tty")

    def test_a_hung_program_and_what_left_its_tree_are_ended_and_the_next_run_starts(self):
        with VirtualModule() as module:
            process = module.start(["sh", "-c", HUNG])
            self.addCleanup(stop, process, 1.0)
            running = wait_until(lambda: (lambda p: p if names(p).count("sleep") == 2 else None)(
                namespace_pids(process.namespace)), 10)
            self.assertTrue(running, "the hung program did not start")
            ended = stop(process, timeout=1.0)
            self.assertEqual(namespace_pids(process.namespace), [], "processes outlived the run")
            self.assertLessEqual(set(running), set(ended))
            following = module.start(["sh", "-c", "exit 0"])
            self.addCleanup(stop, following)
            self.assertEqual(following.wait(10), 0)

    def test_the_namespace_is_never_this_process_own(self):
        # A namespace not yet made reads as ours; ending "its" processes would end the machine's.
        self.assertEqual(namespace_pids(None), [])
        own = os.stat("/proc/self/ns/mnt")
        self.assertEqual(namespace_pids((own.st_dev, own.st_ino)), [])


class AdapterOnCom1Test(E2ETest):
    def test_the_demo_and_a_case_on_a_machine_with_an_adapter_send_it_nothing(self):
        # A machine with a module on a USB adapter, as the udev rule names it: /dev/COM1, ttyUSB0 and
        # ttyS0 all lead to a pty this test holds, in a namespace of its own (the real /dev untouched).
        # The demo and one end-to-end case run there as a user runs them.
        adapter = VirtualModule()
        self.addCleanup(adapter.close)
        program = str(e2e.PROGRAM)
        shot = tempfile.NamedTemporaryFile(suffix=".png")
        self.addCleanup(shot.close)
        platform = ["--platform", "windows"] if e2e.PLATFORM.wine else []
        runs = [
            [sys.executable, "scripts/virtual-qm47t.py", "--windows" if e2e.PLATFORM.wine else "--demo",
             "--program", program, "--screenshot", shot.name],
            [sys.executable, "tests/e2e/test_e2e.py", *platform, "--program", program,
             "EndingTest.test_exit_right_after_the_longest_send_delivers_it_all"],
        ]
        env = {name: value for name, value in os.environ.items() if name != "DISPLAY"}
        # The runs inside make their own use of the suite's Wine prefix, one at a time.
        e2e.PLATFORM.close()
        self.addCleanup(e2e.PLATFORM.open)
        for argv in runs:
            with self.subTest(argv[1]):
                process, _ = spawn_in_namespace(
                    argv, adapter.slave_path, env=env, cwd=REPO, stdin=subprocess.DEVNULL,
                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                    dev_links={"COM1": adapter.slave_path, "ttyUSB0": adapter.slave_path})
                self.addCleanup(stop, process)
                try:
                    output, _ = process.communicate(timeout=600)
                except subprocess.TimeoutExpired:
                    self.fail("the run did not end")
                # The virtual module inside got the frame: the demo and the case say so in their status.
                self.assertEqual(process.returncode, 0, output.decode(errors="replace")[-3000:])
                self.assertEqual(adapter.received(), b"", "bytes reached the adapter")
                self.assertFalse(adapter.wait_opened(timeout=0), "the adapter was opened")


class WineHangTest(E2ETest):
    def test_a_blocked_wineserver_and_wine_services_are_ended_and_the_next_run_starts(self):
        if e2e.PLATFORM.wine is None:
            self.skipTest(e2e.NOT_HERE + "Wine's server and services")
        program = Program(self)
        running = dict(zip(namespace_pids(program.process.namespace), names(namespace_pids(program.process.namespace))))
        servers = [pid for pid, name in running.items() if name.startswith("wineserver")]
        self.assertEqual(len(servers), 1, running)
        self.assertIn("services.exe", running.values())
        # The namespace's shell ends the server (wineserver -k, then -w) when asked to stop; here it
        # cannot, as when the server it waits for is blocked: everything of the run must still end.
        os.kill(program.process.pid, signal.SIGSTOP)
        ended = stop(program.process, timeout=3.0)
        self.assertEqual(namespace_pids(program.process.namespace), [], "processes outlived the run")
        self.assertLessEqual({servers[0], program.process.pid}, set(ended))
        self.assertEqual(wine_processes(e2e.PLATFORM.wine.prefix), [])
        following = Program(self)
        following.type_input("OK")
        frame = following.send()
        self.assertIsNotNone(frame, "the next run sent nothing")
        self.assertEqual(frame.data, wire_bytes("OK"))


class XWatchTest(E2ETest):
    def test_the_bench_sees_the_window_mapped_by_its_process_and_fully_drawn(self):
        watch = XWatch(self.xvfb.display)
        self.addCleanup(watch.close)
        program = Program(self)
        mapped = []

        def main_window_mapped():
            watch.wait(0.1)
            while (found := watch.next_top_level_map()) is not None:
                mapped.append(found[1])
            return int(program.window) in mapped

        self.assertTrue(wait_until(main_window_mapped, 10), "no MapNotify for the program's window")
        self.assertIn(watch.window_pid(int(program.window)), namespace_pids(program.process.namespace))
        self.assertIsNotNone(wait_until(lambda: watch.wait(0.1) or watch.painted_at(int(program.window)), 10),
                             "no drawing covered the whole window")


class VirtualModuleTest(unittest.TestCase):
    FRAME = wire_bytes("a" * 127)

    def test_whole_frames_counts_copies_and_shows_fragments(self):
        frame = self.FRAME
        # (what, stream, whole copies, what is left)
        cases = [
            ("nothing", b"", 0, b""),
            ("one copy", frame, 1, b""),
            ("sixteen and the start of a seventeenth", frame * 16 + frame[:31], 16, frame[:31]),
            ("a byte short", frame[:-1], 0, frame[:-1]),
            ("out of step after two", frame * 2 + frame[1:] + frame, 2, frame[1:] + frame),
        ]
        for what, stream, copies, rest in cases:
            with self.subTest(what):
                self.assertEqual(whole_frames(stream, frame), (copies, rest))

    def test_pacer_allows_the_rate_and_no_more(self):
        pacer = Pacer(960, start=0.0)
        # (moment, bytes then taken, bytes allowed at that moment before taking)
        steps = [(0.0, 0, 0), (0.01, 9, 9), (0.01, 0, 0), (0.02, 10, 10), (1.0, 19, 19), (1.0005, 0, 0)]
        for now, taken, allowed in steps:
            with self.subTest(now=now):
                self.assertEqual(pacer.allowed(now), allowed)
                pacer.took(taken)
        # After a long pause no more than the burst is allowed at once.
        self.assertEqual(pacer.allowed(100.0), 19)
        self.assertAlmostEqual(Pacer(960, 0.0).wait(), 1 / 960)

    def _write(self, module, data):
        # The test writes as the program would, on the slave; the line stays as a fresh pty is.
        slave = os.open(module.slave_path, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, slave)
        os.write(slave, data)
        return slave

    def test_a_paused_module_reads_nothing_until_it_resumes(self):
        with VirtualModule() as module:
            module.pause()
            self._write(module, self.FRAME * 2)
            time.sleep(0.3)
            self.assertEqual(module.received(), b"")
            module.resume()
            self.assertEqual(module.wait_whole_frames(self.FRAME, 2), (2, b""))

    def test_a_paced_module_takes_every_frame_whole(self):
        with VirtualModule() as module:
            module.pace(960)
            self._write(module, self.FRAME * 3)
            self.assertEqual(module.wait_whole_frames(self.FRAME, 3), (3, b""))
            # Paced, the module takes at most 20 ms' worth (19 bytes) a read; at once it would be all.
            self.assertLessEqual(max(module.read_sizes()), 19)
            self.assertEqual(sum(module.read_sizes()), len(self.FRAME) * 3)
