# SPDX-License-Identifier: MIT
"""What scripts/virtual-qm47t.py does: the program with the virtual module on its COM1, on the user's
display or, without one, as a scripted tour on a private Xvfb."""

import os
import shutil
import sys

from . import Unavailable, wait_until
from .display import Desktop, Xvfb, prepare_keyboard_for_wine
from .layout import COMMAND1_CENTRE, COMMAND2_CENTRE, TEXT1_CENTRE
from .module import FRAME_GAP, VirtualModule
from .namespace import check_namespace, stop
from .wine import Wine


def print_frame(frame):
    print(frame, flush=True)


def exit_status(returncode):
    return 128 - returncode if returncode < 0 else returncode


def run_on_display(program, wine=None):
    """The program on the user's own display, the virtual module printing what it receives."""
    with VirtualModule(on_frame=print_frame) as module:
        print(f"virtual-qm47t: the program's COM1 is the virtual module ({module.slave_path}).\n"
              "Type in the input box and click the convert button: each frame the module receives is "
              "shown here. Click 退出 or close the window to end.", flush=True)
        process = module.start(program_argv(program, wine), wine=wine)
        try:
            status = process.wait()
        except KeyboardInterrupt:
            # Under Wine the namespace still ends the wineserver; wait for that.
            status = process.wait()
        finally:
            # Whatever the program left in its namespace goes with it.
            stop(process)
        module.wait_released(timeout=1.0)
    return exit_status(status)


def program_argv(program, wine):
    return ["wine", str(program)] if wine else [str(program)]


def run_headless_demo(program, screenshot, wine=None):
    """The tour on a private Xvfb: types 汉字, converts, takes a screenshot, exits."""
    expected = "汉字".encode("utf-16-be")
    with Xvfb() as xvfb, VirtualModule(on_frame=print_frame) as module:
        desktop = Desktop(xvfb.env)
        print(f"virtual-qm47t: no DISPLAY, so the program runs on a private Xvfb ({xvfb.display}) with "
              f"the virtual module ({module.slave_path}) on its COM1.", flush=True)
        if wine:
            prepare_keyboard_for_wine(xvfb.display, "汉字")
        process = module.start(program_argv(program, wine), env=xvfb.env, wine=wine)
        try:
            windows = desktop.wait_window()
            if not windows:
                print("virtual-qm47t: the program's window did not appear", file=sys.stderr)
                return 1
            window = windows[0]
            print("virtual-qm47t: typing 汉字 into the input box and clicking the convert button", flush=True)
            desktop.click(window, TEXT1_CENTRE)
            desktop.type("汉字")
            desktop.click(window, COMMAND1_CENTRE)
            received = module.wait_bytes(len(expected))
            # Let the frame be printed before the closing words.
            wait_until(lambda: module.frames(), FRAME_GAP * 10)
            desktop.screenshot(window, screenshot)
            print(f"virtual-qm47t: screenshot of the window saved to {screenshot}", flush=True)
            print("virtual-qm47t: clicking 退出", flush=True)
            desktop.click(window, COMMAND2_CENTRE)
            status = exit_status(process.wait(timeout=20))
        finally:
            stop(process)
    if received != expected:
        got = " ".join(f"{byte:02X}" for byte in received) or "nothing"
        print(f"virtual-qm47t: demo FAILED: the module expected 6C 49 5B 57 and got {got}", file=sys.stderr)
        return 1
    if status != 0:
        print(f"virtual-qm47t: demo FAILED: the program exited with status {status}", file=sys.stderr)
        return 1
    print("virtual-qm47t: demo passed: the module received 6C 49 5B 57 (汉字) and the program exited "
          "with status 0.", flush=True)
    return 0


def run(program, screenshot, windows=False, demo=False):
    """The command: returns its exit status."""
    wine = Wine(program.parent / "wine-e2e") if windows else None
    try:
        check_namespace()
        if wine:
            wine.open()
        if (demo or windows) and not os.environ.get("DISPLAY"):
            for tool, package in (("xdotool", "xdotool"), ("import", "imagemagick"), ("xclip", "xclip")):
                if shutil.which(tool) is None:
                    raise Unavailable(f"{tool} is not installed (Debian package {package})")
            return run_headless_demo(program, screenshot, wine)
        return run_on_display(program, wine)
    except Unavailable as reason:
        print(f"virtual-qm47t: cannot run here.\n{reason}", file=sys.stderr)
        return 2
    except RuntimeError as problem:
        print(f"virtual-qm47t: {problem}", file=sys.stderr)
        return 1
    finally:
        if wine:
            wine.close()
