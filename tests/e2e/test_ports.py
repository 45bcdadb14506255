# SPDX-License-Identifier: MIT
"""COM1 that cannot be used: the program says why, in Chinese, and ends; and which device stands for
COM1 on Linux."""

import os
import socket
import subprocess
import tempfile
from pathlib import Path

import e2e
from e2e import E2ETest, wire_bytes
from qm47t_harness.layout import COMMAND1_CENTRE, COMMAND2_CENTRE, MAIN_WINDOW_SIZE, TEXT1_CENTRE
from qm47t_harness.module import VirtualModule
from qm47t_harness.namespace import spawn_in_namespace, stop


class UnusablePortTest(E2ETest):
    def _start(self, port_source, before_start=lambda process: None, non_serial_node=None):
        process, go = spawn_in_namespace(e2e.PLATFORM.argv(), port_source, non_serial_node=non_serial_node,
                                         env=self.xvfb.env, gated=True, wine=e2e.PLATFORM.wine)
        self.addCleanup(stop, process)
        before_start(process)
        go()
        return process

    def _expect_refusal(self, process):
        windows = self.desktop.wait_window()
        self.assertEqual(len(windows), 1, "no message box")
        self.assertNotEqual(self.desktop.geometry(windows[0])[2:], MAIN_WINDOW_SIZE,
                            "the main window opened")
        message = e2e.PLATFORM.message_text(self.desktop, process, windows[0])
        prefix = e2e.PLATFORM.open_failed_prefix
        self.assertTrue(message.startswith(prefix), message)
        self.assertGreater(len(message), len(prefix), "the message gives no reason")
        self.desktop.key("Return")
        self.assertEqual(process.wait(20), 1)

    def test_com1_that_is_not_a_terminal(self):
        self._expect_refusal(self._start("/dev/null", non_serial_node="/dev/null"))

    def test_com1_whose_other_end_is_gone(self):
        module = VirtualModule()
        process = self._start(module.slave_path, before_start=lambda _: module.close())
        self._expect_refusal(process)

    def test_com1_locked_by_another_program(self):
        if not e2e.PLATFORM.holds_lock_files:
            self.skipTest(e2e.NOT_HERE + "Wine ignores Linux lock files and does not keep a second program off a port")
        module = VirtualModule()
        self.addCleanup(module.close)

        def lock(process):
            # The lock file of a live program (this test), in the namespace's own /run/lock.
            owner = f"{os.getpid()}\n{os.path.realpath('/proc/self/exe')}\n{socket.gethostname()}\n"
            Path(f"/proc/{process.pid}/root/run/lock/LCK..ttyS0").write_text(owner)

        process = self._start(module.slave_path, before_start=lock)
        self._expect_refusal(process)
        self.assertFalse(module.wait_opened(timeout=0), "the program opened a port another program holds")


class Com1DeviceTest(E2ETest):
    """Which device stands for COM1, and what the user reads when it cannot be opened: the program in a
    /dev of its own and under an English locale, where the system's own words would be English."""

    def setUp(self):
        if e2e.PLATFORM.wine:
            self.skipTest(e2e.NOT_HERE + "Linux device names, lock files and permissions")

    def _env(self):
        env = {name: value for name, value in self.xvfb.env.items()
               if name not in ("LC_ALL", "LC_MESSAGES", "LANGUAGE")}
        return dict(env, LANG="C.UTF-8")

    def _start(self, module, dev_links, wrapper=(), before_start=lambda process: None, non_serial_node=None):
        process, go = spawn_in_namespace([*wrapper, str(e2e.PROGRAM)], module.slave_path, env=self._env(),
                                         gated=True, dev_links=dev_links, non_serial_node=non_serial_node)
        self.addCleanup(stop, process)
        before_start(process)
        go()
        return process

    def test_com1_comes_before_ttys0(self):
        com1, ttys0 = VirtualModule(), VirtualModule()
        self.addCleanup(com1.close)
        self.addCleanup(ttys0.close)
        process = self._start(ttys0, {"COM1": com1.slave_path})
        windows = self.desktop.wait_window()
        self.assertEqual(len(windows), 1, "the window did not appear")
        self.desktop.set_clipboard("汉字")
        self.desktop.click(windows[0], TEXT1_CENTRE)
        self.desktop.key("ctrl+v")
        self.desktop.click(windows[0], COMMAND1_CENTRE)
        self.assertEqual(com1.wait_bytes(4), wire_bytes("汉字"))
        self.assertFalse(ttys0.wait_opened(timeout=0), "the program opened /dev/ttyS0 as well")
        self.desktop.click(windows[0], COMMAND2_CENTRE)
        self.assertEqual(process.wait(20), 0)

    @staticmethod
    def lock(record):
        """Writes `record` as the port's lock file in the namespace's own /run/lock, before the start."""
        return lambda process: Path(f"/proc/{process.pid}/root/run/lock/LCK..ttyS0").write_text(record)

    def test_a_lock_naming_another_program_than_runs_under_its_number_is_taken_over(self):
        # Qt's form names the program; process 1 is no serial program, so the lock is left over.
        module = VirtualModule()
        self.addCleanup(module.close)
        process = self._start(module, {}, before_start=self.lock("1\nminicom\nsomehost\n"))
        self.assertTrue(module.wait_opened(), "the program did not take the port over")
        windows = self.desktop.wait_window()
        self.assertEqual(self.desktop.geometry(windows[0])[2:], MAIN_WINDOW_SIZE)
        self.desktop.click(windows[0], COMMAND2_CENTRE)
        self.assertEqual(process.wait(20), 0)

    def test_open_failures_say_why_in_chinese(self):

        module = None

        def unplug(_):
            module.close()

        comm = Path("/proc/self/comm").read_text().strip()
        init = Path("/proc/1/comm").read_text().strip()
        held = "无法打开串口 COM1（/dev/ttyS0）：串口正被另一个程序占用：进程 {}（{}）。请先关闭该程序，再启动本程序。" \
               "如果该程序已经不在运行，删除锁文件 /run/lock/LCK..ttyS0 后再试。"
        nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
        # A device node whose device is no longer there, as a USB adapter's can be: opening a socket
        # fails the same way, with ENXIO.
        folder = tempfile.TemporaryDirectory(prefix="qm47t-gone-")
        self.addCleanup(folder.cleanup)
        gone = socket.socket(socket.AF_UNIX)
        self.addCleanup(gone.close)
        gone.bind(f"{folder.name}/ttyUSB0")
        # (what, /dev/COM1 leads to, run as, before the start, what the user reads)
        cases = [
            ("ttyS0 with no chip behind it", None, (), unplug,
             "无法打开串口 COM1（/dev/ttyS0）：这台电脑的 COM1 没有串口硬件；使用 USB 转串口线。"),
            # The help named is what the package ships: the manual page and the example rule.
            ("COM1 leading to a device that is gone", f"{folder.name}/ttyUSB0", (), None,
             "无法打开串口 COM1（/dev/COM1）：找不到该设备。检查模块是否接好；模块接在 USB 转串口线上时，要用 udev "
             "规则把它设为 /dev/COM1：见 man qm47t-converter 和示例规则 "
             "/usr/share/doc/qm47t-converter/examples/99-qm47t-com1.rules。"),
            ("COM1 leading to a device that is no serial port", "/dev/null", (), None,
             "无法打开串口 COM1（/dev/COM1）：该设备不是串口。检查 udev 规则中 COM1 指向的设备是否是 USB 转串口线"
             "（/dev/ttyUSB0 或 /dev/ttyACM0），以及模块的线缆是否接在这个串口上。"),
            ("a user outside dialout, the port root's alone", None, nobody, None,
             "无法打开串口 COM1（/dev/ttyS0）：没有使用该串口的权限：需要加入 dialout 组。请管理员以 root 身份执行 "
             "adduser 你的用户名 dialout，然后重新登录。"),
            ("held by another program", None, (), self.lock(f"{os.getpid():10d}\n"), held.format(os.getpid(), comm)),
            # An HDB lock names no program: one naming any live process holds the port, and the
            # message says which file to remove if that process is not the port's.
            ("an HDB lock naming process 1", None, (), self.lock(f"{1:10d}\n"), held.format(1, init)),
        ]
        for what, com1, wrapper, before_start, expected in cases:
            with self.subTest(what):
                if wrapper and os.geteuid() != 0:
                    self.skipTest("only root can start the program as another user")
                module = VirtualModule()
                if before_start is not unplug:
                    self.addCleanup(module.close)
                os.chmod(module.slave_path, 0o600)
                # Where /dev/COM1 leads anywhere in this table, it is to a node that is no serial port.
                process = self._start(module, {"COM1": com1} if com1 else {}, wrapper,
                                      before_start or (lambda _: None), non_serial_node=com1)
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
                    stop(process)


class NoDisplayTest(E2ETest):
    def test_started_without_a_usable_display_says_which_in_chinese_and_ends_with_status_1(self):
        if e2e.PLATFORM.wine:
            self.skipTest(e2e.NOT_HERE + "Windows always has a desktop to show the window on")
        module = VirtualModule()
        self.addCleanup(module.close)
        # A Wayland compositor's socket that accepts, with no Wayland plug-in asked for.
        folder = tempfile.TemporaryDirectory(prefix="qm47t-wayland-")
        self.addCleanup(folder.cleanup)
        compositor = socket.socket(socket.AF_UNIX)
        self.addCleanup(compositor.close)
        compositor.bind(f"{folder.name}/wayland-0")
        compositor.listen()
        # An X server on TCP, as SSH's X forwarding offers one (localhost:10): a port that accepts.
        forwarded = socket.socket()
        self.addCleanup(forwarded.close)
        forwarded.bind(("127.0.0.1", 0))
        forwarded.listen()
        forwarded_display = f"127.0.0.1:{forwarded.getsockname()[1] - 6000}"
        gone_display = next(f":{number}" for number in range(900, 1000)
                            if not os.path.exists(f"/tmp/.X11-unix/X{number}"))
        no_display = ("需要图形桌面", "DISPLAY")
        # (what, the environment's changes, with None to unset, words the message must hold)
        cases = [
            ("DISPLAY unset", {"DISPLAY": None}, no_display),
            ("neither DISPLAY nor WAYLAND_DISPLAY", {"DISPLAY": None, "WAYLAND_DISPLAY": None}, no_display),
            ("DISPLAY names an X server that is not there", {"DISPLAY": gone_display}, no_display),
            # Qt's own reason follows ours: the plug-in it could not find.
            ("the X server answers, Qt's platform plug-in is missing", {"QT_QPA_PLATFORM": "qm47t-missing"},
             ("无法启动图形界面", '"qm47t-missing"')),
            ("a forwarded X server answers, Qt's platform plug-in is missing",
             {"DISPLAY": forwarded_display, "QT_QPA_PLATFORM": "qm47t-missing"}, ("无法启动图形界面", '"qm47t-missing"')),
            ("a Wayland socket answers, DISPLAY unset",
             {"DISPLAY": None, "WAYLAND_DISPLAY": f"{folder.name}/wayland-0"}, ("无法启动图形界面", '"wayland"')),
        ]
        for what, changes, words in cases:
            with self.subTest(what):
                env = dict(self.xvfb.env)
                env.pop("QT_QPA_PLATFORM", None)  # as from an SSH session: Qt picks its own
                for name, value in changes.items():
                    if value is None:
                        env.pop(name, None)
                    else:
                        env[name] = value
                process = module.start(e2e.PLATFORM.argv(), env=env, stderr=subprocess.PIPE)
                self.addCleanup(stop, process)
                try:
                    _, errors = process.communicate(timeout=30)
                except subprocess.TimeoutExpired:
                    self.fail("the program did not end")
                message = errors.decode("utf-8", "replace")
                self.assertEqual(process.returncode, 1, message)  # not 134, an abort with a core
                for word in words:
                    self.assertIn(word, message)
                if words is no_display:
                    self.assertNotIn("einstall", message)  # Qt's wrong hint
                else:
                    self.assertNotIn("需要图形桌面", message)
                self.assertFalse(module.wait_opened(timeout=0), "the port was opened with no window to show")


class DeviceGoneTest(E2ETest):
    def test_a_device_that_goes_away_is_reported_on_every_send_and_exit_still_works(self):
        # Standard error a pipe that nobody reads, as a desktop launcher may leave it: nothing the
        # program or Wine writes there may hold the program up.
        program = e2e.Program(self, stderr=subprocess.PIPE)
        self.addCleanup(program.process.stderr.close)
        program.type_input("汉字")
        self.assertIsNotNone(program.send(), "nothing reached COM1")
        program.module.close()  # the adapter is pulled out
        for click in range(2):
            with self.subTest(click=click):
                program.convert()
                box = program.message_box(timeout=20)
                self.assertIsNotNone(box, "no message within 20 s of the send")
                message = program.message_text(box)
                self.assertIn("串口设备已断开", message)
                self.assertIn("重新启动本程序", message)
                self.desktop.key("Return")
                self.assertEqual(self.desktop.wait_window(count=1), [program.window])
        program.exit()
        self.assertEqual(program.wait_exit(30), 0)
