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

The kernel and udev .debs are fetched with apt-get download into the cache folder and unpacked
there, never installed. The host's own serial ports are never involved: the guest's lines end in
pseudo-terminals this script makes. QEMU is this script's child, ended by its process and never
outliving it. Exit status 77 when QEMU or busybox-static is missing (make test installs them).
"""

import argparse
import ctypes
import gzip
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import termios
import time
from pathlib import Path

SKIPPED = 77
HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
RULE = REPO / "resources" / "99-qm47t-com1.rules"

# Debian's kernel builds USB as modules; these, in this order, bring up QEMU's xHCI and FTDI.
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"]
# And for --program, 9p over virtio, to share the host's /usr with the guest read-only.
SHARE_MODULES = ["virtio_ring", "virtio", "virtio_pci_modern_dev", "virtio_pci_legacy_dev", "virtio_pci",
                 "netfs", "fscache", "9pnet", "9pnet_virtio", "9p"]
# QEMU's usb-serial is an FTDI FT232 (0403:6001); the serial number is ours to choose, and differs
# from the README's made-up one so that the rule as shipped must not match.
ADAPTER = {"idVendor": "0403", "idProduct": "6001", "serial": "QM47T0001"}
GUEST_TIME_LIMIT = 600  # seconds; TCG on a busy machine is slow, a hung guest is not

HANZI = "汉字".encode("utf-16-be")
AWKWARD = bytes([0x00, 0x0A, 0x0D, 0x11, 0x13, 0x7F, 0xFF])


def awkward_frame():
    """254 bytes, the longest frame: every ordered pair of the bytes a cooked or 7-bit line would
    alter or swallow (NUL, LF, CR, XON, XOFF, DEL, FF), then every byte with the top bit set, then
    the low controls and printable ASCII as far as the frame reaches."""
    pairs = bytearray()
    for first in AWKWARD:  # a de Bruijn walk would be shorter; this one is easy to read
        for second in AWKWARD:
            pairs += bytes([first, second])
    frame = bytes(pairs) + bytes(range(0x80, 0x100))
    frame += bytes(range(254 - len(frame)))
    assert len(frame) == 254 and all(byte in frame for byte in AWKWARD)
    return frame


FRAMES = [HANZI, awkward_frame()]
WIRE = b"".join(FRAMES)


class GuestSetupError(Exception):
    pass


def log(message):
    print(message, flush=True)


# --- what the guest needs, fetched and unpacked, never installed ----------------------------------

def apt_depends(package):
    result = subprocess.run(["apt-cache", "depends", package], capture_output=True, text=True)
    return re.findall(r"^\s*Depends: (\S+)", result.stdout, re.M)


def kernel_package():
    """The versioned package the metapackage points at today: its name changes every point release."""
    names = [n for n in apt_depends("linux-image-amd64") if n.startswith("linux-image-")]
    if not names and os.geteuid() == 0:
        subprocess.run(["apt-get", "update", "-qq"], check=False)
        names = [n for n in apt_depends("linux-image-amd64") if n.startswith("linux-image-")]
    if not names:
        raise GuestSetupError("apt knows no linux-image-amd64: run apt-get update")
    return names[0]


def fetch(package, cache, replaces=None):
    """The package's .deb from the cache, else apt-get download into it. `replaces`: a glob of
    older .debs this one makes useless (last point release's kernel), removed once it is here."""
    found = sorted(cache.glob(f"{package}_*.deb"))
    if found:
        return found[-1]
    log(f"downloading {package} into {cache}")
    download = ["apt-get", "download", "-q", package]
    if subprocess.run(download, cwd=cache, stdout=subprocess.DEVNULL).returncode != 0 and os.geteuid() == 0:
        # Lists older than the mirror name .debs it no longer has.
        subprocess.run(["apt-get", "update", "-qq"], check=False)
        subprocess.run(download, cwd=cache, stdout=subprocess.DEVNULL, check=True)
    found = sorted(cache.glob(f"{package}_*.deb"))
    if not found:
        raise GuestSetupError(f"apt-get download {package} left no .deb in {cache}")
    for old in cache.glob(replaces or "-"):
        if old != found[-1]:
            old.unlink()
    return found[-1]


def unpack(deb, target, members):
    """Only `members` (tar wildcards) of the .deb's files, into `target`; once per .deb."""
    stamp, record = target / ".unpacked", "\n".join([deb.name, *members])
    if stamp.exists() and stamp.read_text() == record:
        return
    shutil.rmtree(target, ignore_errors=True)
    target.mkdir(parents=True)
    contents = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", str(deb)], stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "-C", str(target), "--wildcards", *members], stdin=contents.stdout,
                   check=True)
    contents.stdout.close()
    if contents.wait() != 0:
        raise GuestSetupError(f"dpkg-deb could not read {deb}")
    stamp.write_text(record)


def guest_kernel(cache, names):
    deb = fetch(kernel_package(), cache, replaces="linux-image-*.deb")
    target = cache / "kernel"
    unpack(deb, target, ["./boot/vmlinuz-*"] + [f"*/{name}.ko" for name in names])
    vmlinuz = next(target.glob("boot/vmlinuz-*"))
    modules = {}
    for name in names:
        found = list(target.glob(f"lib/modules/*/kernel/**/{name}.ko"))
        if len(found) != 1:
            raise GuestSetupError(f"{deb.name} has no single {name}.ko")
        modules[name] = found[0]
    return vmlinuz, modules


def guest_udev(cache):
    deb = fetch("udev", cache)
    target = cache / "udev"
    unpack(deb, target, ["./bin/udevadm"])
    return target / "bin" / "udevadm"


# --- the initramfs --------------------------------------------------------------------------------

def host_libraries():
    """soname -> path, as the host's dynamic loader would find them."""
    found = {}
    output = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True, check=True).stdout
    for line in output.splitlines():
        match = re.match(r"\s+(\S+) \((libc6,x86-64[^)]*)\) => (\S+)", line)
        if match and match.group(1) not in found:
            found[match.group(1)] = match.group(3)
    return found


def elf_needs(path):
    """The program interpreter (or None) and the DT_NEEDED sonames of an ELF file."""
    program = subprocess.run(["readelf", "-lW", str(path)], capture_output=True, text=True).stdout
    dynamic = subprocess.run(["readelf", "-dW", str(path)], capture_output=True, text=True).stdout
    interpreter = re.search(r"Requesting program interpreter: (\S+)\]", program)
    return (interpreter.group(1) if interpreter else None,
            re.findall(r"\(NEEDED\)\s+Shared library: \[(\S+)\]", dynamic))


class Initramfs:
    """A newc cpio archive built in memory: no root-owned files, no device nodes on the host."""

    def __init__(self):
        self.entries = {}
        self.libraries = None

    def directory(self, path):
        parts = Path(path).parts[1:]
        for depth in range(1, len(parts) + 1):
            self.entries.setdefault("/" + "/".join(parts[:depth]), ("dir", 0o755, b""))

    def file(self, path, data, mode=0o644):
        self.directory(str(Path(path).parent))
        self.entries[path] = ("file", mode, data)

    def symlink(self, path, target):
        self.directory(str(Path(path).parent))
        self.entries[path] = ("link", 0o777, target.encode())

    def char_device(self, path, major, minor):
        self.directory(str(Path(path).parent))
        self.entries[path] = ("char", 0o600, (major, minor))

    def program(self, source, path):
        """An executable and every shared library it loads, at the paths the host's loader uses."""
        if self.libraries is None:
            self.libraries = host_libraries()
        self.file(path, Path(source).read_bytes(), 0o755)
        pending = [Path(source)]
        while pending:
            interpreter, sonames = elf_needs(pending.pop())
            wanted = [(interpreter, interpreter)] if interpreter else []
            for soname in sonames:
                if soname not in self.libraries:
                    raise GuestSetupError(f"{source} needs {soname}, which this machine lacks")
                wanted.append((soname, self.libraries[soname]))
            for _, library in wanted:
                if library not in self.entries:
                    self.file(library, Path(library).read_bytes(), 0o755)
                    pending.append(Path(library))

    def write(self, path):
        out = bytearray()

        def entry(number, name, kind, mode, data):
            body = b"" if kind in ("dir", "char") else data
            type_bits = {"dir": 0o040000, "file": 0o100000, "link": 0o120000, "char": 0o020000}[kind]
            rdev = data if kind == "char" else (0, 0)
            encoded = name.encode() + b"\0"
            fields = [number, type_bits | mode, 0, 0, 2 if kind == "dir" else 1, 0, len(body),
                      0, 0, rdev[0], rdev[1], len(encoded), 0]
            out.extend(b"070701" + b"".join(b"%08X" % field for field in fields) + encoded)
            out.extend(b"\0" * (-len(out) % 4))
            out.extend(body)
            out.extend(b"\0" * (-len(out) % 4))

        for number, name in enumerate(sorted(self.entries), start=1):
            entry(number, name.lstrip("/"), *self.entries[name])
        entry(0, "TRAILER!!!", "file", 0, b"")
        Path(path).write_bytes(gzip.compress(bytes(out), compresslevel=6))


def filled_in_rule(shipped):
    """The rule as the README tells a user to edit it: the adapter's own three values put in."""
    text = shipped
    for key, value in ADAPTER.items():
        pattern = re.compile(r'^(?!#)(.*ATTRS\{%s\}==")[^"]*(")' % key, re.M)
        text, count = pattern.subn(lambda match: match.group(1) + value + match.group(2), text)
        if count != 1:
            raise GuestSetupError(f"{RULE.name} has {count} rule lines with ATTRS{{{key}}}, not one")
    return text


def build_initramfs(path, probe, modules, udevadm, program):
    image = Initramfs()
    for directory in ("/bin", "/sbin", "/dev", "/proc", "/sys", "/run", "/tmp", "/etc", "/lib/modules"):
        image.directory(directory)
    # The kernel opens the console for /init before anything is mounted.
    image.char_device("/dev/console", 5, 1)
    image.program(shutil.which("busybox") or "/bin/busybox", "/bin/busybox")
    image.file("/init", (HERE / "guest-init.sh").read_bytes(), 0o755)
    image.program(probe, "/probe")
    image.file("/frames", "".join(frame.hex() + "\n" for frame in FRAMES).encode())
    for name, module in modules.items():
        image.file(f"/lib/modules/{name}.ko", module.read_bytes())
    image.program(udevadm, "/bin/udevadm")
    image.symlink("/lib/systemd/systemd-udevd", "/bin/udevadm")
    image.file("/etc/passwd", b"root:x:0:0:root:/:/bin/sh\n")
    image.file("/etc/group", b"root:x:0:\ndialout:x:20:\n")
    shipped = RULE.read_text(encoding="utf-8")
    image.file("/rules/as-shipped.rules", shipped.encode())
    image.file("/rules/filled-in.rules", filled_in_rule(shipped).encode())
    if program:
        image.file("/whole/guest-program.sh", (HERE / "guest-program.sh").read_bytes(), 0o755)
        image.file("/whole/modules", " ".join(SHARE_MODULES).encode())
        image.file("/whole/program", Path(program).name.encode())
        # The chroot's /etc: only what the program and Xvfb read, none of the host's own.
        image.file("/whole/etc/passwd", b"root:x:0:0:root:/tmp:/bin/sh\n")
        image.file("/whole/etc/group", b"root:x:0:\ndialout:x:20:\n")
        for source in Path("/etc/fonts").rglob("*"):
            destination = "/whole" + str(source)
            if source.is_symlink():
                image.symlink(destination, os.readlink(source))
            elif source.is_file():
                image.file(destination, source.read_bytes())
    image.write(path)


# --- the run --------------------------------------------------------------------------------------

def die_with_parent():
    # QEMU must never outlive this script, whatever ends it.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def open_line():
    """A pseudo-terminal pair for one emulated line: QEMU opens the slave by its path, we read the
    master. The slave stays open here too, so that the master never reads a hang-up while QEMU
    opens, configures or closes its side."""
    master, slave = os.openpty()
    return master, slave, os.ttyname(slave)


def run_guest(work, kernel, initrd, program):
    console, trace = work / "console.log", work / "trace.log"
    for old in (console, trace):
        old.unlink(missing_ok=True)
    lines = {name: open_line() for name in ("8250", "ftdi")}
    command = [
        "qemu-system-x86_64", "-nodefaults", "-no-user-config", "-machine", "pc", "-accel", "tcg",
        "-m", "768M" if program else "256M", "-smp", "1", "-display", "none", "-monitor", "none", "-no-reboot",
        "-kernel", str(kernel), "-initrd", str(initrd),
        # quiet: nothing from the kernel on the console UART while the 8250 under test is fenced in
        "-append", "console=ttyS0,115200 rdinit=/init panic=-1 quiet",
        "-chardev", f"file,id=con,path={console}", "-serial", "chardev:con",
        "-chardev", f"serial,id=com2,path={lines['8250'][2]}", "-serial", "chardev:com2",
        "-device", "qemu-xhci,id=xhci",
        "-chardev", f"serial,id=usbser,path={lines['ftdi'][2]}",
        "-device", f"usb-serial,bus=xhci.0,chardev=usbser,serial={ADAPTER['serial']}",
        "-trace", "serial_write", "-trace", "serial_update_parameters", "-trace", "usb_serial_*",
        "-D", str(trace),
    ]
    if program:
        # Read-only, and only what the program, Xvfb and xdotool load: no /etc, /dev or home here.
        for tag, folder in (("usr", "/usr"), ("program", Path(program).resolve().parent),
                            ("fontcache", "/var/cache/fontconfig")):
            if Path(folder).is_dir():
                command += ["-virtfs", f"local,path={folder},mount_tag={tag},security_model=none,readonly=on"]
    received = {name: bytearray() for name in lines}
    started = time.monotonic()
    qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
    try:
        masters = {lines[name][0]: name for name in lines}
        deadline = started + GUEST_TIME_LIMIT
        while qemu.poll() is None and time.monotonic() < deadline:
            ready, _, _ = select.select(list(masters), [], [], 0.2)
            for fd in ready:
                received[masters[fd]] += os.read(fd, 65536)
        if qemu.poll() is None:
            raise GuestSetupError(f"the guest did not power off within {GUEST_TIME_LIMIT} s")
        for fd, name in masters.items():
            while select.select([fd], [], [], 0)[0]:
                data = os.read(fd, 65536)
                if not data:
                    break
                received[name] += data
    finally:
        if qemu.poll() is None:
            qemu.kill()
        qemu.wait()
        for master, slave, _ in lines.values():
            os.close(master)
            os.close(slave)
    log(f"guest ran {time.monotonic() - started:.1f} s, QEMU exit status {qemu.returncode}")
    return console.read_text(errors="replace"), trace.read_text(errors="replace"), received


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


def uart_writes(trace, device):
    """The 8250 register writes between guestprobe's markers for `device` on the console UART: the
    port under test's own, since QEMU's trace does not say which UART a write went to. Returns the
    (kind, value) events: ('mcr', v), ('params', (baud, parity, data, stop)), ('data', byte)."""
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
    return events[data_positions[begin - 1] + 1:data_positions[end]]


def uart_state_at_each_byte(events):
    """(mcr, params) in force when each byte of the window was written."""
    mcr = params = None
    states = []
    for kind, value in events:
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


class Checks:
    def __init__(self):
        self.rows = []

    def expect(self, where, what, actual, wanted):
        self.rows.append((actual == wanted, where, what, actual, wanted))

    def same_bytes(self, where, what, got, wanted):
        """Byte-exact, and where not, says where the two part rather than printing both."""
        got = bytes(got)
        detail = f"{len(got)} bytes"
        if got != wanted:
            at = next((i for i, (a, b) in enumerate(zip(got, wanted)) if a != b), min(len(got), len(wanted)))
            detail += (f", from byte {at}: {got[at:at + 8].hex(' ') or 'nothing'}"
                       f" where {wanted[at:at + 8].hex(' ') or 'nothing'} was sent")
        self.rows.append((got == wanted, where, what, detail, f"{len(wanted)} bytes as sent"))

    def require(self, where, what, ok, detail):
        self.rows.append((bool(ok), where, what, detail, "yes"))

    def failed(self):
        return [row for row in self.rows if not row[0]]

    def print(self):
        for ok, where, what, actual, wanted in self.rows:
            verdict = "ok  " if ok else "FAIL"
            extra = "" if ok else f"   (got {actual!r}, want {wanted!r})"
            log(f"{verdict} {where:7} {what}{extra}")


CHARACTER_SIZES = {termios.CS5: "CS5", termios.CS6: "CS6", termios.CS7: "CS7", termios.CS8: "CS8"}
RAW_OFF = {  # what a raw line may not have: cfmakeraw's list, and no flow control
    "iflag": ("IGNBRK", "BRKINT", "PARMRK", "ISTRIP", "INLCR", "IGNCR", "ICRNL", "IXON", "IXOFF", "IXANY"),
    "oflag": ("OPOST",),
    "lflag": ("ECHO", "ECHONL", "ICANON", "ISIG", "IEXTEN"),
    "cflag": ("PARENB", "CSTOPB", "CRTSCTS"),
}
HOSTILE_ON = {"cflag": ("PARENB", "PARODD", "CSTOPB", "CRTSCTS"), "iflag": ("IXON", "IXOFF"),
              "lflag": ("ICANON", "ECHO"), "oflag": ("OPOST", "ONLCR")}


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
    device = Path(where_device(where)).name
    checks.expect(where, "lock file while held names the resolved device and our process",
                  report.get("locks-held", "").split(), [f"LCK..{device}:{pid}"])
    for stage in ("held-before", "held-after"):
        state = line_state(report.get(stage))
        if not state:
            checks.require(where, f"{stage}: line state read through the channel's descriptor",
                           False, report.get(stage))
            continue
        modem = state["modem"] or 0
        checks.expect(where, f"{stage}: DTR raised", bool(modem & termios.TIOCM_DTR), True)
        checks.expect(where, f"{stage}: RTS low", bool(modem & termios.TIOCM_RTS), False)
        checks.expect(where, f"{stage}: 9600 bit/s in and out",
                      (state["ispeed"], state["ospeed"]), (termios.B9600, termios.B9600))
        checks.expect(where, f"{stage}: 8 data bits", CHARACTER_SIZES[state["cflag"] & termios.CSIZE], "CS8")
        for flag, names in RAW_OFF.items():
            on = [name for name in names if state[flag] & getattr(termios, name)]
            checks.expect(where, f"{stage}: raw, none of {'/'.join(names)}", on, [])
    for index in range(len(FRAMES)):
        checks.expect(where, f"frame {index + 1} ({len(FRAMES[index])} bytes) handed over",
                      report.get(f"output{index}"), "ok")
    checks.expect(where, "close drains and succeeds", report.get("close"), "ok")
    checks.expect(where, "lock file gone after close", report.get("locks-after"), "none")
    checks.same_bytes(where, "host reads exactly the bytes sent", host_bytes, WIRE)


def where_device(where):
    return {"8250": "/dev/ttyS1", "ftdi": "/dev/ttyUSB0"}[where]


def check_uart_model(checks, trace):
    events = uart_writes(trace, "/dev/ttyS1")
    checks.require("8250", "QEMU trace: the port's register writes found between the markers",
                   events is not None, "markers missing from the console UART's writes")
    if events is None:
        return
    states = uart_state_at_each_byte(events)
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
    seen = {}
    for key, value in re.findall(r"^@@program (\S+) ?(.*)$", console, re.M):
        seen.setdefault(key, value)
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
        check_driver(checks, where, reports.get(where_device(where), {}), received[where])
    check_uart_model(checks, trace)
    check_ftdi_model(checks, trace)
    check_udev(checks, console)
    if args.program:
        check_program(checks, console, program_bytes)
    checks.require("guest", "ran to the end and powered off", re.search(r"^@@done", console, re.M),
                   "no @@done on the console")
    checks.print()
    failed = checks.failed()
    log(f"{len(checks.rows) - len(failed)} passed, {len(failed)} failed "
        f"({time.monotonic() - started:.1f} s in all; console and trace in {work})")
    if failed:
        log("--- guest console ---\n" + console)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
