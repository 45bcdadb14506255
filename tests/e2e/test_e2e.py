#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""End-to-end tests of the real qm47t-converter binary, driven as a user drives it.

  PYTHONPATH=scripts tests/e2e/test_e2e.py --program build/qm47t-converter [unittest options]
  PYTHONPATH=scripts tests/e2e/test_e2e.py --platform windows --program build-windows/qm47t-converter.exe

The program runs on a private Xvfb with the virtual QM47T (scripts/qm47t_harness) on its COM1: a
pseudo-terminal bound over /dev/ttyS0 in a private mount namespace; the Windows build runs there under
Wine, with a wineserver of its own. The tests use only the keyboard and mouse (xdotool), the clipboard
(xclip) and what reaches the port; the expected bytes come from Python's own UTF-16BE encoder. The
cases live in the test_*.py files beside this one, the platforms and one run of the program in e2e.py.
Exit status 77 when this machine cannot run them all (no namespaces, a missing tool), so that CTest
counts them as skipped; a program that is not built is a failure.
"""

import argparse
import importlib
import shutil
import sys
import types
import unittest
from pathlib import Path

import e2e
from qm47t_harness import Unavailable
from qm47t_harness.display import _xlib
from qm47t_harness.namespace import check_namespace

SKIPPED = 77
CASE_FILES = ("test_window", "test_frames", "test_ports", "test_harness")


def why_not_here():
    """Why these tests cannot run on this machine, or None."""
    missing = [tool for tool in ("Xvfb", "xdotool", "xclip", "xprop", "strace", "openbox") if shutil.which(tool) is None]
    if missing:
        return "missing tools: " + ", ".join(missing) + " (make test installs them on Debian)"
    try:
        _xlib()
        check_namespace()
    except Unavailable as reason:
        return str(reason)
    return None


def suite_module():
    """Every case of the suite in one module, so that unittest's own options (-k, a class name) work
    across the files."""
    suite = types.ModuleType("e2e_suite")
    for name in CASE_FILES:
        for attribute, value in vars(importlib.import_module(name)).items():
            if isinstance(value, type) and issubclass(value, unittest.TestCase) and attribute.endswith("Test"):
                setattr(suite, attribute, value)
    return suite


def main():
    repo = Path(__file__).resolve().parents[2]
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--platform", choices=("linux", "windows"), default="linux")
    parser.add_argument("--program", type=Path, default=repo / "build" / "qm47t-converter")
    options, unittest_args = parser.parse_known_args()
    e2e.PROGRAM = options.program.resolve()

    problem = why_not_here()
    if problem:
        print(f"SKIPPED: the end-to-end tests cannot run here.\n{problem}", flush=True)
        return SKIPPED
    e2e.PLATFORM = e2e.Windows() if options.platform == "windows" else e2e.Linux()
    unbuilt = [str(path) for path in e2e.PLATFORM.files() if not path.is_file()]
    if unbuilt:
        print(f"FAILED: not built: {', '.join(unbuilt)}", flush=True)
        return 1
    try:
        e2e.PLATFORM.open()
    except Unavailable as reason:
        print(f"SKIPPED: the end-to-end tests cannot run here.\n{reason}", flush=True)
        return SKIPPED
    except RuntimeError as problem:
        print(f"FAILED: {problem}", flush=True)
        return 1
    try:
        result = unittest.main(module=suite_module(), argv=[sys.argv[0], *unittest_args], exit=False,
                               verbosity=2).result
    finally:
        e2e.PLATFORM.close()
    if not result.wasSuccessful():
        return 1
    # A case that does not apply to the platform is not this machine's shortcoming.
    skipped = [f"{test.id()}: {reason}" for test, reason in result.skipped if not reason.startswith(e2e.NOT_HERE)]
    if skipped:
        print("SKIPPED: " + "; ".join(skipped), flush=True)
        return SKIPPED
    return 0


if __name__ == "__main__":
    sys.exit(main())
