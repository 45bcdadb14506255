# SPDX-License-Identifier: MIT
"""COM1 that cannot be used: the program says why, in Chinese, and ends; and which device stands for
COM1 on Linux."""

import os
import socket
import subprocess
import tempfile
from pathlib import Path

import pytest

from e2e import finish
from qm47t_harness.layout import COMMAND1_CENTRE, COMMAND2_CENTRE, MAIN_WINDOW_SIZE, TEXT1_CENTRE
from qm47t_harness.module import VirtualModule
from qm47t_harness.namespace import spawn_in_namespace, stop


def unix_socket(cleanup, name):
    """The path of a listening Unix socket `name` in a folder of its own, both gone after the case."""
    folder = tempfile.TemporaryDirectory(prefix="qm47t-socket-")
    cleanup(folder.cleanup)
    server = socket.socket(socket.AF_UNIX)
    cleanup(server.close)
    server.bind(f"{folder.name}/{name}")
    server.listen()
    return f"{folder.name}/{name}"


def lock(record):
    """Writes `record` as the port's lock file in the namespace's own /run/lock, before the start."""
    return lambda process: Path(f"/proc/{process.pid}/root/run/lock/LCK..ttyS0").write_text(record)


@pytest.fixture
def launch(platform, desktop, cleanup):
    """Starts the program gated in a namespace with `port` as its ttyS0: before_start(process) comes
    first (a lock file written, the port's other end closed)."""
    def launch(port, before_start=lambda process: None, wrapper=(), env=None, **namespace_args):
        process, go = spawn_in_namespace(platform.argv(wrapper), port, env=env or desktop.env, gated=True,
                                         wine=platform.wine, **namespace_args)
        cleanup(stop, process)
        before_start(process)
        go()
        return process
    return launch


def refusal(platform, desktop, process):
    """The message the program shows in place of its window, after which it must end with status 1."""
    windows = desktop.wait_window()
    assert len(windows) == 1, "no message box"
    assert desktop.geometry(windows[0])[2:] != MAIN_WINDOW_SIZE, "the main window opened"
    message = platform.message_text(desktop, process, windows[0])
    desktop.key("Return")
    assert process.wait(20) == 1
    return message


class UnusablePortTest:
    @staticmethod
    def expect_refusal(platform, desktop, process):
        message, prefix = refusal(platform, desktop, process), platform.open_failed_prefix
        assert message.startswith(prefix), message
        assert len(message) > len(prefix), "the message gives no reason"

    def test_com1_that_is_not_a_terminal(self, launch, platform, desktop):
        self.expect_refusal(platform, desktop, launch("/dev/null", non_serial_node="/dev/null"))

    def test_com1_whose_other_end_is_gone(self, launch, platform, desktop, module):
        self.expect_refusal(platform, desktop, launch(module.slave_path, lambda _: module.close()))

    @pytest.mark.only("linux", "Wine ignores Linux lock files and does not keep a second program off a port")
    def test_com1_locked_by_another_program(self, launch, platform, desktop, module):
        # The lock file of a live program (this test), in the namespace's own /run/lock.
        owner = f"{os.getpid()}\n{os.path.realpath('/proc/self/exe')}\n{socket.gethostname()}\n"
        self.expect_refusal(platform, desktop, launch(module.slave_path, lock(owner)))
        assert not module.wait_opened(timeout=0), "the program opened a port another program holds"


@pytest.mark.only("linux", "Linux device names, lock files and permissions")
class Com1DeviceTest:
    """Which device stands for COM1, and what the user reads when it cannot be opened: the program in a
    /dev of its own and under an English locale, where the system's own words would be English."""

    @pytest.fixture
    def launch(self, launch, desktop):
        env = {name: value for name, value in desktop.env.items() if name not in ("LC_ALL", "LC_MESSAGES", "LANGUAGE")}
        return lambda *args, **kwargs: launch(*args, env=dict(env, LANG="C.UTF-8"), **kwargs)

    def test_com1_comes_before_ttys0(self, launch, platform, desktop, module, cleanup):
        com1 = VirtualModule()
        cleanup(com1.close)
        process = launch(module.slave_path, dev_links={"COM1": com1.slave_path})
        windows = desktop.wait_window()
        assert len(windows) == 1, "the window did not appear"
        desktop.set_clipboard("汉字")
        desktop.click(windows[0], TEXT1_CENTRE)
        desktop.key("ctrl+v")
        desktop.click(windows[0], COMMAND1_CENTRE)
        assert com1.wait_bytes(4) == platform.wire_bytes("汉字")
        assert not module.wait_opened(timeout=0), "the program opened /dev/ttyS0 as well"
        desktop.click(windows[0], COMMAND2_CENTRE)
        assert process.wait(20) == 0

    def test_a_lock_naming_another_program_than_runs_under_its_number_is_taken_over(self, launch, desktop, module):
        # Qt's form names the program; process 1 is no serial program, so the lock is left over.
        process = launch(module.slave_path, lock("1\nminicom\nsomehost\n"))
        assert module.wait_opened(), "the program did not take the port over"
        windows = desktop.wait_window()
        assert desktop.geometry(windows[0])[2:] == MAIN_WINDOW_SIZE
        desktop.click(windows[0], COMMAND2_CENTRE)
        assert process.wait(20) == 0

    HELD = ("无法打开串口 COM1（/dev/ttyS0）：串口正被另一个程序占用：进程 {}（{}）。请先关闭该程序，再启动本程序。"
            "如果该程序已经不在运行，删除锁文件 /run/lock/LCK..ttyS0 后再试。")
    NOBODY = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--")
    # (what, /dev/COM1 leads to, run as, before the start, what the user reads); "gone" is a device
    # node whose device is no longer there, as a USB adapter's can be: a socket fails the same way,
    # with ENXIO.
    CASES = [
        ("ttyS0 with no chip behind it", None, (), "unplug",
         "无法打开串口 COM1（/dev/ttyS0）：这台电脑的 COM1 没有串口硬件；使用 USB 转串口线。"),
        # The help named is what the package ships: the manual page and the example rule.
        ("COM1 leading to a device that is gone", "gone", (), None,
         "无法打开串口 COM1（/dev/COM1）：找不到该设备。检查模块是否接好；模块接在 USB 转串口线上时，要用 udev "
         "规则把它设为 /dev/COM1：见 man qm47t-converter 和示例规则 "
         "/usr/share/doc/qm47t-converter/examples/99-qm47t-com1.rules。"),
        ("COM1 leading to a device that is no serial port", "/dev/null", (), None,
         "无法打开串口 COM1（/dev/COM1）：该设备不是串口。检查 udev 规则中 COM1 指向的设备是否是 USB 转串口线"
         "（/dev/ttyUSB0 或 /dev/ttyACM0），以及模块的线缆是否接在这个串口上。"),
        ("a user outside dialout, the port root's alone", None, NOBODY, None,
         "无法打开串口 COM1（/dev/ttyS0）：没有使用该串口的权限：需要加入 dialout 组。请管理员以 root 身份执行 "
         "adduser 你的用户名 dialout，然后重新登录。"),
        ("held by another program", None, (), lock(f"{os.getpid():10d}\n"),
         HELD.format(os.getpid(), Path("/proc/self/comm").read_text().strip())),
        # An HDB lock names no program: one naming any live process holds the port, and the
        # message says which file to remove if that process is not the port's.
        ("an HDB lock naming process 1", None, (), lock(f"{1:10d}\n"),
         HELD.format(1, Path("/proc/1/comm").read_text().strip())),
    ]

    @pytest.mark.parametrize("what, com1, wrapper, before_start, expected", CASES, ids=[row[0] for row in CASES])
    def test_open_failures_say_why_in_chinese(self, launch, platform, desktop, module, cleanup, what, com1,
                                              wrapper, before_start, expected):
        if wrapper and os.geteuid() != 0:
            pytest.skip("only root can start the program as another user")
        os.chmod(module.slave_path, 0o600)
        if com1 == "gone":
            com1 = unix_socket(cleanup, "ttyUSB0")
        if before_start == "unplug":
            before_start = lambda _: module.close()
        # Where /dev/COM1 leads anywhere in this table, it is to a node that is no serial port.
        process = launch(module.slave_path, before_start or (lambda _: None), wrapper,
                         dev_links={"COM1": com1} if com1 else {}, non_serial_node=com1)
        assert refusal(platform, desktop, process) == expected


class NoDisplayTest:
    NO_DISPLAY = ("需要图形桌面", "DISPLAY")
    # (what, the environment's changes, with None to unset, words the message must hold): "{gone}" an X
    # display with no server, "{forwarded}" one on TCP that accepts, as SSH's X forwarding offers
    # (localhost:10), "{wayland}" a Wayland compositor's socket that accepts.
    CASES = [
        ("neither DISPLAY nor WAYLAND_DISPLAY", {"DISPLAY": None, "WAYLAND_DISPLAY": None}, NO_DISPLAY),
        ("DISPLAY names an X server that is not there", {"DISPLAY": "{gone}"}, NO_DISPLAY),
        # Qt's own reason follows ours: the plug-in it could not find.
        ("the X server answers, Qt's platform plug-in is missing", {"QT_QPA_PLATFORM": "qm47t-missing"},
         ("无法启动图形界面", '"qm47t-missing"')),
        ("a forwarded X server answers, Qt's platform plug-in is missing",
         {"DISPLAY": "{forwarded}", "QT_QPA_PLATFORM": "qm47t-missing"}, ("无法启动图形界面", '"qm47t-missing"')),
        ("a Wayland socket answers, DISPLAY unset", {"DISPLAY": None, "WAYLAND_DISPLAY": "{wayland}"},
         ("无法启动图形界面", '"wayland"')),
    ]

    @pytest.mark.only("linux", "Windows always has a desktop to show the window on")
    @pytest.mark.parametrize("what, changes, words", CASES, ids=[row[0] for row in CASES])
    def test_started_without_a_usable_display_says_which_in_chinese_and_ends_with_status_1(
            self, platform, desktop, module, cleanup, what, changes, words):
        compositor = unix_socket(cleanup, "wayland-0")
        forwarded = socket.socket()
        cleanup(forwarded.close)
        forwarded.bind(("127.0.0.1", 0))
        forwarded.listen()
        places = {"wayland": compositor, "forwarded": f"127.0.0.1:{forwarded.getsockname()[1] - 6000}",
                  "gone": next(f":{number}" for number in range(900, 1000)
                               if not os.path.exists(f"/tmp/.X11-unix/X{number}"))}
        env = dict(desktop.env)
        env.pop("QT_QPA_PLATFORM", None)  # as from an SSH session: Qt picks its own
        for name, value in changes.items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value.format(**places)
        process = module.start(platform.argv(), env=env, stderr=subprocess.PIPE)
        cleanup(stop, process)
        message = finish(process, 30)[1].decode("utf-8", "replace")
        assert process.returncode == 1, message  # not 134, an abort with a core
        for word in words:
            assert word in message
        if words is self.NO_DISPLAY:
            assert "einstall" not in message  # Qt's wrong hint
        else:
            assert "需要图形桌面" not in message
        assert not module.wait_opened(timeout=0), "the port was opened with no window to show"


class DeviceGoneTest:
    def test_a_device_that_goes_away_is_reported_on_every_send_and_exit_still_works(self, start, cleanup):
        # Standard error a pipe that nobody reads, as a desktop launcher may leave it: nothing the
        # program or Wine writes there may hold the program up.
        program = start(stderr=subprocess.PIPE)
        cleanup(program.process.stderr.close)
        program.sends("汉字")
        program.module.close()  # the adapter is pulled out
        # Nothing is said until the user sends: the port is only written, never watched while idle.
        assert program.message_box(timeout=1) is None, "a message came up with no send"
        for _ in range(2):
            program.convert()
            message = program.answer_message(timeout=20)
            assert "串口设备已断开" in message
            assert "重新启动本程序" in message
        program.exit()
        assert program.wait_exit(30) == 0
