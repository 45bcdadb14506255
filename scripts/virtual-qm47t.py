#!/usr/bin/python3
"""A virtual QM47T module: try qm47t-converter with no module and no serial port.

  scripts/virtual-qm47t.py [--program PATH]
  scripts/virtual-qm47t.py --demo [--program PATH] [--screenshot PATH]
  scripts/virtual-qm47t.py --windows [--program PATH.exe] [--screenshot PATH]

Starts the program with a pseudo-terminal standing in for COM1 and prints every frame the module
receives: the time, the bytes in hex, the text they decode to as UTF-16BE, and the line settings the
program set on the port. The program runs in a private mount namespace with a /dev of its own that
holds the pseudo-terminal as /dev/ttyS0 and no other serial device (no /dev/COM1 or USB adapter a
real module may hang on), and its own /run/lock for the port's lock file, so a real serial port is
never opened. Ends when the program ends, with its exit status.

--demo with a display does the same. Without one (DISPLAY unset) it runs the program on a private
Xvfb instead, types 汉字 with the keyboard, clicks the convert button, saves a screenshot of the
window and clicks Exit; it exits 0 only if the module received 6C 49 5B 57.

--windows does the same with the Windows program under Wine (default build-windows/
qm47t-converter.exe, screenshot build/demo-windows.png). Wine runs only inside the namespace, with a
wineserver of its own on a prefix beside the program (made on first use, about 10 s), in which COM1
is a path that exists only there; the server is ended before the namespace goes. It refuses to start
while anything else uses that prefix.

Needs root, or unprivileged user namespaces when run as a normal user. The work is done by the
qm47t_harness package beside this file, which the end-to-end tests and the bench import too.
"""

import argparse
import os
import sys
from pathlib import Path

from qm47t_harness import REPO
from qm47t_harness.demo import run

DEFAULT_PROGRAM = REPO / "build" / "qm47t-converter"
DEFAULT_SCREENSHOT = REPO / "build" / "demo.png"
DEFAULT_WINDOWS_PROGRAM = REPO / "build-windows" / "qm47t-converter.exe"
DEFAULT_WINDOWS_SCREENSHOT = REPO / "build" / "demo-windows.png"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split("\n\n", 1)[1])
    parser.add_argument("--program", type=Path,
                        help=f"default: {DEFAULT_PROGRAM}, with --windows {DEFAULT_WINDOWS_PROGRAM}")
    parser.add_argument("--demo", action="store_true",
                        help="without a display: the scripted tour on a private Xvfb")
    parser.add_argument("--windows", action="store_true",
                        help="the Windows program under Wine; without a display the scripted tour")
    parser.add_argument("--screenshot", type=Path,
                        help=f"where the tour saves the window (default: {DEFAULT_SCREENSHOT}, with --windows "
                             f"{DEFAULT_WINDOWS_SCREENSHOT})")
    options = parser.parse_args()
    program = (options.program or (DEFAULT_WINDOWS_PROGRAM if options.windows else DEFAULT_PROGRAM)).resolve()
    screenshot = options.screenshot or (DEFAULT_WINDOWS_SCREENSHOT if options.windows else DEFAULT_SCREENSHOT)

    if not os.access(program, os.R_OK if options.windows else os.X_OK):
        sys.exit(f"virtual-qm47t: {program} is not built yet: run make {'windows' if options.windows else 'build'} "
                 "first")
    return run(program, screenshot, windows=options.windows, demo=options.demo)


if __name__ == "__main__":
    sys.exit(main())
