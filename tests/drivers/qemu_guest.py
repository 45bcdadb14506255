"""The test guest run_guest.py boots: what it needs, fetched and unpacked, and QEMU run around it.

Debian's kernel (with the USB and 9p modules) and udev's udevadm are fetched with apt-get download
into the cache folder and unpacked there with dpkg-deb, never installed. The initramfs is built in
memory: busybox, guest-init.sh as /init, guestprobe and the frames it writes, the modules, udevd, the
README's udev rule as shipped and filled in, and for --program what the whole program's chroot needs.
QEMU is this process's child: it is ended by its own PID if it has not powered off in time, and dies
with this process whatever ends it. The guest's lines end in pseudo-terminals made here, never in
the host's own serial ports.
"""

import ctypes
import gzip
import os
import re
import select
import shutil
import signal
import subprocess
import time
from pathlib import Path

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

    def file(self, path, data, mode=0o644, kind="file"):
        """A file, or a "link" to the path `data` names, or a "char" device `data` (major, minor)."""
        self.directory(str(Path(path).parent))
        self.entries[path] = (kind, mode, data)

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
    image.file("/dev/console", (5, 1), 0o600, "char")
    image.program(shutil.which("busybox") or "/bin/busybox", "/bin/busybox")
    image.file("/init", (HERE / "guest-init.sh").read_bytes(), 0o755)
    image.program(probe, "/probe")
    image.file("/frames", "".join(frame.hex() + "\n" for frame in FRAMES).encode())
    for name, module in modules.items():
        image.file(f"/lib/modules/{name}.ko", module.read_bytes())
    image.program(udevadm, "/bin/udevadm")
    image.file("/lib/systemd/systemd-udevd", b"/bin/udevadm", 0o777, "link")
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
                image.file(destination, os.fsencode(os.readlink(source)), 0o777, "link")
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
        # Once QEMU has ended, the lines are read until they are empty: the slaves stay open here, so
        # a master never reads an end of file.
        while True:
            running = qemu.poll() is None
            if running and time.monotonic() > started + GUEST_TIME_LIMIT:
                raise GuestSetupError(f"the guest did not power off within {GUEST_TIME_LIMIT} s")
            ready, _, _ = select.select(list(masters), [], [], 0.2 if running else 0)
            for fd in ready:
                received[masters[fd]] += os.read(fd, 65536)
            if not (running or ready):
                break
    finally:
        if qemu.poll() is None:
            qemu.kill()
        qemu.wait()
        for master, slave, _ in lines.values():
            os.close(master)
            os.close(slave)
    log(f"guest ran {time.monotonic() - started:.1f} s, QEMU exit status {qemu.returncode}")
    return console.read_text(errors="replace"), trace.read_text(errors="replace"), received
