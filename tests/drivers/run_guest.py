#!/usr/bin/env python3
"""The serial code on real Linux drivers: the 8250 UART and an FTDI USB adapter, in a QEMU guest.

  tests/drivers/run_guest.py --probe build/tests/drivers/guestprobe --cache build/drivers-cache \
                             [--program build/qm47t-converter]

A pseudo-terminal cannot show what matters on real hardware: it has no modem lines, ignores the
line settings and starts fresh at every open. Here Debian's own kernel boots under QEMU (TCG; no
KVM needed) with an initramfs of busybox, guestprobe (SerialChannel, the product's code) and
Debian's udevd. In the guest, for each of ttyS1 (a 16550) and ttyUSB0 (QEMU's FTDI 0403:6001),
guestprobe leaves the port at 4800 7O2 with flow control and a cooked line, as another program
would, then opens it through /dev/COM1 with SerialChannel and writes the frames below. Three
witnesses are checked against each other:

  - the guest's driver, through the channel's own descriptor while it holds the port;
  - the bytes the host reads from the far end of each emulated line (a pseudo-terminal here);
  - QEMU's trace of its device models: the 8250's MCR, line format and transmit register, the
    FTDI's modem-control, baud, data-format and flow-control requests.

The README's udev rule is checked in the same boot: as shipped it must name nothing, and with its
values filled in for the emulated adapter it must make /dev/COM1, group dialout, mode 0660. The
FTDI's run then goes through that link.

With --program the real qm47t-converter runs last, on Xvfb in a chroot of the host's /usr (shared
read-only over 9p), on ttyS1 through /dev/COM1: typed 汉字 into and clicked, it must send them with
DTR up and RTS down, and end on Exit with status 0.

qemu_guest.py makes and runs the guest; this script judges what the three witnesses saw. The kernel
and udev .debs are fetched with apt-get download into the cache folder and unpacked there, never
installed. The host's own serial ports are never involved: the guest's lines end in
pseudo-terminals this script makes. QEMU is this script's child, ended by its process and never
outliving it. Exit status 77 when QEMU or busybox-static is missing (make test installs them).
"""

import argparse
import re
import shutil
import subprocess
import sys
import termios
import time
from pathlib import Path

from qemu_guest import (ADAPTER, FRAMES, HANZI, MODULES, SHARE_MODULES, WIRE, GuestSetupError,
                        build_initramfs, guest_kernel, guest_udev, log, run_guest)

SKIPPED = 77
DEVICES = {"8250": "/dev/ttyS1", "ftdi": "/dev/ttyUSB0"}


# --- what was seen --------------------------------------------------------------------------------

def probe_reports(console):
    """device -> {key: value} from guestprobe's lines."""
    reports = {}
    for device, key, value in re.findall(r"^@@probe (\S+) (\S+) ?(.*)$", console, re.M):
        reports.setdefault(device, {})[key] = value
    return reports


def line_state(text):
    """guestprobe's 'modem=0x.. ispeed=0x.. ...' as numbers (modem None where the port has none)."""
    if not text or text.startswith("error"):
        return None
    values = dict(item.split("=") for item in text.split())
    return {key: None if value == "none" else int(value, 16) for key, value in values.items()}


def uart_bytes(trace, device):
    """The bytes written to the 8250's transmit register between guestprobe's markers for `device` on
    the console UART (the port under test's own, since QEMU's trace does not say which UART a write
    went to), each as (byte, MCR, (baud, parity, data, stop)) with the MCR and line format set within
    those markers that were in force when it was written."""
    events, dlab = [], False
    for line in trace.splitlines():
        write = re.match(r"serial_write write addr 0x([0-9a-f]+) val 0x([0-9a-f]+)", line)
        params = re.match(r"serial_update_parameters baudrate=(\d+) parity='(.)' data=(\d) stop=(\d)", line)
        if params:
            events.append(("params", (int(params[1]), params[2], int(params[3]), int(params[4]))))
        elif write:
            register, value = int(write[1], 16), int(write[2], 16)
            if register == 3:
                dlab = bool(value & 0x80)
            elif register == 4:
                events.append(("mcr", value))
            elif register == 0 and not dlab:
                events.append(("data", value))
    transmitted = bytes(value for kind, value in events if kind == "data")
    begin = transmitted.find(f"@@begin {device}@@".encode())
    if begin < 0:
        return None
    begin = transmitted.index(b"\n", begin) + 1
    end = transmitted.find(f"@@end {device}@@".encode(), begin)
    if end < 0:
        return None
    # Back from byte offsets in the transmitted stream to positions in the event list.
    data_positions = [i for i, (kind, _) in enumerate(events) if kind == "data"]
    mcr = params = None
    states = []
    for kind, value in events[data_positions[begin - 1] + 1:data_positions[end]]:
        if kind == "mcr":
            mcr = value
        elif kind == "params":
            params = value
        else:
            states.append((value, mcr, params))
    return states


def ftdi_held_states(trace):
    """The FTDI model's settings each time guestprobe looked at the port while the channel held it.
    Its TIOCMGET is a GET_MODEM_STATUS request, so those mark the moments; the session is the last
    time DTR was up, since guestprobe's own opens come before it. The close is no witness: the
    driver turns flow control off itself before it lowers DTR."""
    state = {"baud": None, "data": None, "flow": None, "dtr": False, "rts": False}
    looks, session = [], None
    for line in trace.splitlines():
        if m := re.match(r"usb_serial_set_baud dev \S+ baud rate (\d+)", line):
            state["baud"] = int(m[1])
        elif m := re.match(r"usb_serial_set_data dev \S+ parity (.), data bits (\d+), stop bits (\d+)", line):
            state["data"] = (m[1], int(m[2]), int(m[3]))
        elif m := re.match(r"usb_serial_set_flow_control dev \S+ flow control (\d+)", line):
            state["flow"] = int(m[1])
        elif m := re.match(r"usb_serial_handle_control dev \S+ got control 0x([0-9a-f]+), value 0x([0-9a-f]+)", line):
            request, value = int(m[1], 16), int(m[2], 16)
            if request == 0xC005:  # GET_MODEM_STATUS
                looks.append(dict(state))
            elif request == 0x4001:  # SET_MODEM_CTRL: high byte says which lines, low byte how
                was_up = state["dtr"]
                if value & 0x0100:
                    state["dtr"] = bool(value & 0x01)
                if value & 0x0200:
                    state["rts"] = bool(value & 0x02)
                if not was_up and state["dtr"]:
                    looks = []
                elif was_up and not state["dtr"]:
                    session = looks
    return session


class Checks(list):
    """Every verdict, in order: (passed, where, what, what was seen when it did not pass)."""

    def require(self, where, what, ok, seen):
        self.append((bool(ok), where, what, seen))

    def expect(self, where, what, actual, wanted):
        self.require(where, what, actual == wanted, f"got {actual!r}, want {wanted!r}")

    def same_bytes(self, where, what, got, wanted):
        """Byte-exact, and where not, says where the two part rather than printing both."""
        got = bytes(got)
        at = next((i for i, (a, b) in enumerate(zip(got, wanted)) if a != b), min(len(got), len(wanted)))
        self.require(where, what, got == wanted, f"{len(got)} bytes of {len(wanted)}, from byte {at}: "
                     f"{got[at:at + 8].hex(' ') or 'nothing'} where {wanted[at:at + 8].hex(' ') or 'nothing'} was sent")


CHARACTER_SIZES = {termios.CS5: "CS5", termios.CS6: "CS6", termios.CS7: "CS7", termios.CS8: "CS8"}
RAW_OFF = {  # what a raw line may not have: cfmakeraw's list, and no flow control
    "iflag": ("IGNBRK", "BRKINT", "PARMRK", "ISTRIP", "INLCR", "IGNCR", "ICRNL", "IXON", "IXOFF", "IXANY"),
    "oflag": ("OPOST",),
    "lflag": ("ECHO", "ECHONL", "ICANON", "ISIG", "IEXTEN"),
    "cflag": ("PARENB", "CSTOPB", "CRTSCTS"),
}
HOSTILE_ON = {"cflag": ("PARENB", "PARODD", "CSTOPB", "CRTSCTS"), "iflag": ("IXON", "IXOFF"),
              "lflag": ("ICANON", "ECHO"), "oflag": ("OPOST", "ONLCR")}


# The line as the channel holds it: DTR up, RTS down, 9600 bit/s both ways, 8 bits, raw.
HELD_LINE = {"DTR": True, "RTS": False, "speeds": (termios.B9600, termios.B9600), "size": "CS8",
             "raw-off flags on": []}


def held_line(state):
    """A line state (line_state) in HELD_LINE's terms; None if there was none."""
    if not state:
        return None
    modem = state["modem"] or 0
    return {"DTR": bool(modem & termios.TIOCM_DTR), "RTS": bool(modem & termios.TIOCM_RTS),
            "speeds": (state["ispeed"], state["ospeed"]), "size": CHARACTER_SIZES[state["cflag"] & termios.CSIZE],
            "raw-off flags on": [name for flag, names in RAW_OFF.items() for name in names
                                 if state[flag] & getattr(termios, name)]}


def check_driver(checks, where, report, host_bytes):
    """What guestprobe saw on one driver, and what reached the host's end of that line."""
    checks.require(where, "guestprobe ran to the end", "locks-after" in report, sorted(report))
    hostile = line_state(report.get("hostile"))
    checks.require(where, "the port was left hostile (4800 7O2, CRTSCTS, IXON/IXOFF, ICANON, ECHO, "
                          "OPOST|ONLCR) and kept it for the next opener",
                   hostile and hostile["ispeed"] == termios.B4800
                   and hostile["cflag"] & termios.CSIZE == termios.CS7
                   and all(hostile[flag] & getattr(termios, name)
                           for flag, names in HOSTILE_ON.items() for name in names),
                   report.get("hostile"))
    checks.expect(where, "SerialChannel opens /dev/COM1", report.get("open"), "ok")
    pid = report.get("pid")
    device = Path(DEVICES[where]).name
    checks.expect(where, "lock file while held names the resolved device and our process",
                  report.get("locks-held", "").split(), [f"LCK..{device}:{pid}"])
    for stage in ("held-before", "held-after"):
        # Read through the channel's own descriptor: the state the driver keeps for the port.
        checks.expect(where, f"{stage}: DTR up, RTS down, 9600 bit/s in and out, 8 data bits, raw",
                      held_line(line_state(report.get(stage))) or report.get(stage), HELD_LINE)
    checks.expect(where, f"every frame ({', '.join(f'{len(frame)} bytes' for frame in FRAMES)}) handed over",
                  [report.get(f"output{index}") for index in range(len(FRAMES))], ["ok"] * len(FRAMES))
    checks.expect(where, "close drains and succeeds", report.get("close"), "ok")
    checks.expect(where, "lock file gone after close", report.get("locks-after"), "none")
    checks.same_bytes(where, "host reads exactly the bytes sent", host_bytes, WIRE)


def check_uart_model(checks, trace):
    states = uart_bytes(trace, "/dev/ttyS1")
    checks.require("8250", "QEMU trace: the port's register writes found between the markers",
                   states is not None, "markers missing from the console UART's writes")
    if states is None:
        return
    checks.same_bytes("8250", "QEMU trace: transmit register got exactly the bytes sent",
                      bytes(byte for byte, _, _ in states), WIRE)
    checks.expect("8250", "QEMU trace: MCR at every byte has DTR (bit 0) up, RTS (bit 1) down",
                  sorted({(mcr & 0x03) if mcr is not None else None for _, mcr, _ in states}), [0x01])
    checks.expect("8250", "QEMU trace: line format at every byte is 9600 8N1",
                  sorted({params for _, _, params in states}, key=str), [(9600, "N", 8, 1)])


def check_ftdi_model(checks, trace):
    looks = ftdi_held_states(trace) or []
    checks.require("ftdi", "QEMU trace: the adapter saw guestprobe look while the channel held it",
                   looks, "no GET_MODEM_STATUS between the last DTR up and down")
    for what, key, wanted in (("modem control DTR up, RTS down", ("dtr", "rts"), (True, False)),
                              ("baud rate 9600", ("baud",), (9600,)),
                              ("no parity, 8 data bits, 1 stop bit", ("data",), (("N", 8, 1),)),
                              ("no flow control", ("flow",), (0,))):
        seen = sorted({tuple(held[k] for k in key) for held in looks}, key=str)
        checks.expect("ftdi", f"QEMU trace, at each look: {what}", seen, [wanted])


def check_udev(checks, console):
    seen = dict(re.findall(r"^@@udev (as-shipped|filled-in|info) (.*)$", console, re.M))
    checks.require("udev", "udevd ran", not re.search(r"^@@error udevd", console, re.M) and seen,
                   re.findall(r"^@@error udevd.*$", console, re.M))
    shipped = dict(item.split("=") for item in seen.get("as-shipped", "").split())
    filled = dict(item.split("=") for item in seen.get("filled-in", "").split())
    checks.expect("udev", "rule as shipped (made-up serial) makes no /dev/COM1", shipped.get("link"), "none")
    checks.require("udev", "rule as shipped leaves ttyUSB0 as the kernel made it, not dialout:660",
                   shipped.get("node") not in (None, "dialout:660"), shipped.get("node"))
    checks.expect("udev", "rule filled in: /dev/COM1 -> ttyUSB0", filled.get("link"), "ttyUSB0")
    checks.expect("udev", "rule filled in: group dialout, mode 0660", filled.get("node"), "dialout:660")
    checks.expect("udev", "udevadm info -a: first block with all three holds the adapter's values",
                  seen.get("info", "").split(),
                  [f'ATTRS{{{key}}}=="{value}"' for key, value in ADAPTER.items()])


def check_program(checks, console, host_bytes):
    """The real qm47t-converter, clicked on Xvfb in the guest, on the 8250 through /dev/COM1."""
    # The first line of each kind: reversed, so that it is the one the dict keeps.
    seen = dict(reversed(re.findall(r"^@@program (\S+) ?(.*)$", console, re.M)))
    checks.require("program", "its window appeared", seen.get("window", "none").split()[0] != "none",
                   seen.get("window"))
    held = seen.get("held", "")
    lines = re.search(r" ((?:[A-Z]+\|?)+)$", held)
    lines = lines.group(1).split("|") if lines else []
    checks.expect("program", "while it holds ttyS1: DTR up, RTS down (/proc/tty/driver/serial)",
                  ("DTR" in lines, "RTS" in lines), (True, False))
    checks.expect("program", "lock file while it holds the port", seen.get("locks"), "LCK..ttyS1")
    checks.same_bytes("program", "host reads 汉字 as UTF-16BE after guestprobe's bytes", host_bytes, HANZI)
    checks.expect("program", "Exit ends it with status 0", seen.get("exit"), "0")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--probe", required=True, help="guestprobe, built from the product's serial code")
    parser.add_argument("--cache", required=True, type=Path, help="where the .debs are kept between runs")
    parser.add_argument("--program", help="also run this qm47t-converter in the guest on ttyS1 and click it")
    parser.add_argument("--work", type=Path, help="initramfs, console log and trace (default: next to the probe)")
    args = parser.parse_args()

    missing = [tool for tool in ("qemu-system-x86_64", "busybox", "readelf", "apt-get", "dpkg-deb")
               if not shutil.which(tool) and not (tool == "busybox" and Path("/bin/busybox").exists())]
    if missing:
        log(f"SKIPPED: missing {', '.join(missing)} (make test installs them)")
        return SKIPPED
    work = args.work or Path(args.probe).resolve().parent / "guest"
    work.mkdir(parents=True, exist_ok=True)
    args.cache.mkdir(parents=True, exist_ok=True)

    started = time.monotonic()
    try:
        vmlinuz, modules = guest_kernel(args.cache, MODULES + (SHARE_MODULES if args.program else []))
        udevadm = guest_udev(args.cache)
        log(f"kernel {vmlinuz.name}, udev ready in {time.monotonic() - started:.1f} s")
        initrd = work / "initramfs.gz"
        build_initramfs(initrd, args.probe, modules, udevadm, args.program)
        log(f"initramfs {initrd.stat().st_size / 1e6:.1f} MB")
        console, trace, received = run_guest(work, vmlinuz, initrd, args.program)
    except (GuestSetupError, subprocess.CalledProcessError) as error:
        log(f"FAIL: {error}")
        return 1

    log("in the guest (seconds since its boot): " +
        ", ".join(f"{what} {when}" for when, what in re.findall(r"^@@at (\S+) (.*)$", console, re.M)))
    checks = Checks()
    reports = probe_reports(console)
    # The whole program sends on the 8250 after guestprobe has.
    program_bytes = received["8250"][len(WIRE):] if args.program else b""
    received["8250"] = received["8250"][:len(received["8250"]) - len(program_bytes)]
    for where in ("8250", "ftdi"):
        check_driver(checks, where, reports.get(DEVICES[where], {}), received[where])
    check_uart_model(checks, trace)
    check_ftdi_model(checks, trace)
    check_udev(checks, console)
    if args.program:
        check_program(checks, console, program_bytes)
    checks.require("guest", "ran to the end and powered off", re.search(r"^@@done", console, re.M),
                   "no @@done on the console")
    for ok, where, what, seen in checks:
        log(f"{'ok  ' if ok else 'FAIL'} {where:7} {what}" + ("" if ok else f"   ({seen})"))
    failed = [row for row in checks if not row[0]]
    log(f"{len(checks) - len(failed)} passed, {len(failed)} failed "
        f"({time.monotonic() - started:.1f} s in all; console and trace in {work})")
    if failed:
        log("--- guest console ---\n" + console)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
