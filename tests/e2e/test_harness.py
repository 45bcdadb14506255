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
from pathlib import Path

import pytest

from e2e import finish
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


class NamespaceTest:
    # (what, bound as /dev/ttyS0, links in the namespace's /dev, the node named as no serial port,
    # what the shell's `exit 0` gets); "pty" and "other" stand for two virtual modules' terminals.
    CASES = [
        ("a pty alone", "pty", {}, None, 0),
        ("/dev/COM1 linked to another pty", "pty", {"COM1": "other"}, None, 0),
        ("/dev/COM1 leading nowhere", "pty", {"COM1": "/nonexistent"}, None, 0),
        ("/dev/null as ttyS0", "/dev/null", {}, None, REFUSED_STATUS),
        ("/dev/COM1 linked to /dev/null", "pty", {"COM1": "/dev/null"}, None, REFUSED_STATUS),
        ("/dev/null as ttyS0, named as no serial port", "/dev/null", {}, "/dev/null", 0),
        ("/dev/COM1 linked to /dev/null, named", "pty", {"COM1": "/dev/null"}, "/dev/null", 0),
    ]

    @pytest.mark.parametrize("what, port, links, named, status", CASES, ids=[row[0] for row in CASES])
    def test_nothing_starts_unless_every_name_for_com1_is_the_pseudo_terminal_or_absent(
            self, module, cleanup, what, port, links, named, status):
        other = VirtualModule()
        cleanup(other.close)
        ptys = {"pty": module.slave_path, "other": other.slave_path}
        process, _ = spawn_in_namespace(["sh", "-c", "exit 0"], ptys.get(port, port),
                                        dev_links={name: ptys.get(path, path) for name, path in links.items()},
                                        non_serial_node=named, stderr=subprocess.DEVNULL)
        cleanup(stop, process)
        assert process.wait(10) == status

    def test_only_a_memory_device_or_a_socket_may_be_named_as_no_serial_port(self):
        # A terminal never passes for "no serial port".
        with pytest.raises(ValueError):
            spawn_in_namespace(["sh", "-c", "exit 0"], "/dev/null", non_serial_node="/dev/tty")

    def test_a_hung_program_and_what_left_its_tree_are_ended_and_the_next_run_starts(self, module, cleanup):
        process = module.start(["sh", "-c", HUNG])
        cleanup(stop, process, 1.0)
        running = wait_until(lambda: (lambda p: p if names(p).count("sleep") == 2 else None)(
            namespace_pids(process.namespace)), 10)
        assert running, "the hung program did not start"
        ended = stop(process, timeout=1.0)
        assert namespace_pids(process.namespace) == [], "processes outlived the run"
        assert set(running) <= set(ended)
        following = module.start(["sh", "-c", "exit 0"])
        cleanup(stop, following)
        assert following.wait(10) == 0

    def test_the_namespace_is_never_this_process_own(self):
        # A namespace not yet made reads as ours; ending "its" processes would end the machine's.
        assert namespace_pids(None) == []
        own = os.stat("/proc/self/ns/mnt")
        assert namespace_pids((own.st_dev, own.st_ino)) == []


class AdapterOnCom1Test:
    # A machine with a module on a USB adapter, as the udev rule names it: /dev/COM1, ttyUSB0 and
    # ttyS0 all lead to a pty this test holds, in a namespace of its own (the real /dev untouched).
    # The demo and one end-to-end case run there as a user runs them.
    RUNS = {
        "demo": lambda platform, shot: [sys.executable, "scripts/virtual-qm47t.py",
                                        "--windows" if platform.wine else "--demo", "--program",
                                        str(platform.program), "--screenshot", shot],
        "e2e": lambda platform, shot: [sys.executable, "-m", "pytest", "tests/e2e", "--platform", platform.name,
                                       "--program", str(platform.program), "-k",
                                       "test_exit_right_after_the_longest_send_delivers_it_all"],
    }

    @pytest.mark.parametrize("run", RUNS)
    def test_the_demo_and_a_case_on_a_machine_with_an_adapter_send_it_nothing(self, platform, module, cleanup, run):
        adapter = module
        shot = tempfile.NamedTemporaryFile(suffix=".png")
        cleanup(shot.close)
        env = {name: value for name, value in os.environ.items() if name != "DISPLAY"}
        # The run inside makes its own use of the suite's Wine prefix.
        if platform.wine:
            platform.wine.close()
            cleanup(platform.wine.open)
        process, _ = spawn_in_namespace(
            self.RUNS[run](platform, shot.name), adapter.slave_path, env=env, cwd=REPO, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            dev_links={"COM1": adapter.slave_path, "ttyUSB0": adapter.slave_path})
        cleanup(stop, process)
        output = finish(process, 600)[0]
        # The virtual module inside got the frame: the demo and the case say so in their status.
        assert process.returncode == 0, output.decode(errors="replace")[-3000:]
        assert adapter.received() == b"", "bytes reached the adapter"
        assert not adapter.wait_opened(timeout=0), "the adapter was opened"


class WineHangTest:
    @pytest.mark.only("windows", "Wine's server and services")
    def test_a_blocked_wineserver_and_wine_services_are_ended_and_the_next_run_starts(self, program, start, platform):
        running = dict(zip(namespace_pids(program.process.namespace), names(namespace_pids(program.process.namespace))))
        servers = [pid for pid, name in running.items() if name.startswith("wineserver")]
        assert len(servers) == 1, running
        assert "services.exe" in running.values()
        # The namespace's shell ends the server (wineserver -k, then -w) when asked to stop; here it
        # cannot, as when the server it waits for is blocked: everything of the run must still end.
        os.kill(program.process.pid, signal.SIGSTOP)
        ended = stop(program.process, timeout=3.0)
        assert namespace_pids(program.process.namespace) == [], "processes outlived the run"
        assert {servers[0], program.process.pid} <= set(ended)
        assert wine_processes(platform.wine.prefix) == []
        start().sends("OK")


class XWatchTest:
    def test_the_bench_sees_the_window_mapped_by_its_process_and_fully_drawn(self, xvfb, start, cleanup):
        watch = XWatch(xvfb.display)
        cleanup(watch.close)
        program = start()
        mapped = []

        def main_window_mapped():
            watch.wait(0.1)
            while (found := watch.next_top_level_map()) is not None:
                mapped.append(found[1])
            return int(program.window) in mapped

        assert wait_until(main_window_mapped, 10), "no MapNotify for the program's window"
        assert watch.window_pid(int(program.window)) in namespace_pids(program.process.namespace)
        assert wait_until(lambda: watch.wait(0.1) or watch.painted_at(int(program.window)), 10) is not None, \
            "no drawing covered the whole window"


class VirtualModuleTest:
    FRAME = ("a" * 127).encode("utf-16-be")
    # (what, stream, whole copies, what is left)
    CASES = [
        ("nothing", b"", 0, b""),
        ("one copy", FRAME, 1, b""),
        ("sixteen and the start of a seventeenth", FRAME * 16 + FRAME[:31], 16, FRAME[:31]),
        ("a byte short", FRAME[:-1], 0, FRAME[:-1]),
        ("out of step after two", FRAME * 2 + FRAME[1:] + FRAME, 2, FRAME[1:] + FRAME),
    ]

    @pytest.mark.parametrize("what, stream, copies, rest", CASES, ids=[row[0] for row in CASES])
    def test_whole_frames_counts_copies_and_shows_fragments(self, what, stream, copies, rest):
        assert whole_frames(stream, self.FRAME) == (copies, rest)

    def test_pacer_allows_the_rate_and_no_more(self):
        pacer = Pacer(960, start=0.0)
        # (moment, bytes then taken, bytes allowed at that moment before taking), one after the other
        steps = [(0.0, 0, 0), (0.01, 9, 9), (0.01, 0, 0), (0.02, 10, 10), (1.0, 19, 19), (1.0005, 0, 0)]
        for now, taken, allowed in steps:
            assert (now, pacer.allowed(now)) == (now, allowed)
            pacer.took(taken)
        # After a long pause no more than the burst is allowed at once.
        assert pacer.allowed(100.0) == 19
        assert Pacer(960, 0.0).wait() == pytest.approx(1 / 960)

    @staticmethod
    def write(module, data, cleanup):
        # The test writes as the program would, on the slave; the line stays as a fresh pty is.
        slave = os.open(module.slave_path, os.O_RDWR | os.O_NOCTTY)
        cleanup(os.close, slave)
        os.write(slave, data)

    def test_a_paused_module_reads_nothing_until_it_resumes(self, module, cleanup):
        module.pause()
        self.write(module, self.FRAME * 2, cleanup)
        time.sleep(0.3)
        assert module.received() == b""
        module.resume()
        assert module.wait_whole_frames(self.FRAME, 2) == (2, b"")

    def test_a_paced_module_takes_every_frame_whole(self, module, cleanup):
        module.pace(960)
        self.write(module, self.FRAME * 3, cleanup)
        assert module.wait_whole_frames(self.FRAME, 3) == (3, b"")
        # Paced, the module takes at most 20 ms' worth (19 bytes) a read; at once it would be all.
        assert max(module.read_sizes()) <= 19
        assert sum(module.read_sizes()) == len(self.FRAME) * 3
