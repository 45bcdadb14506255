#!/usr/bin/python3
"""The Windows release as a user meets it: the zip's contents, the DLLs the program needs to start, the
setup program's own version record and icon, then under Wine a silent install, a second install over it (an upgrade in place), the
installed program sending 汉字 to COM1, and a silent uninstall that leaves nothing behind.

  test_windows_package.py BUILD_WINDOWS_DIR VERSION

BUILD_WINDOWS_DIR holds qm47t-converter.exe and what `make package-windows` makes from it. A missing
setup program or zip is a failure. Wine runs only inside the private mount namespace of the harness,
scripts/qm47t_harness (a pseudo-terminal over /dev/ttyS0 and COM1, /dev/null over the other
/dev/ttyS*), on a fresh prefix of its own, BUILD_WINDOWS_DIR/wine-package, with its own wineserver.
Exit status 77 (skipped) only where such a namespace cannot be made.
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import zipfile
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from qm47t_harness import REPO, Unavailable
from qm47t_harness.display import Desktop, Xvfb
from qm47t_harness.layout import COMMAND1_CENTRE, COMMAND2_CENTRE, TEXT1_CENTRE
from qm47t_harness.module import VirtualModule
from qm47t_harness.namespace import check_namespace, stop
from qm47t_harness.wine import Wine, wine_processes

SKIPPED = 77
APP_NAME = "汉字 Unicode 转换器"
INSTALL_DIR = r"C:\Program Files\qm47t-converter"
PROGRAM = INSTALL_DIR + r"\qm47t-converter.exe"
UNINSTALLER = INSTALL_DIR + r"\uninstall.exe"
INSTALLED_FILES = {"qm47t-converter.exe", "LICENSE.txt", "uninstall.exe"}
SHORTCUT = f"ProgramData/Microsoft/Windows/Start Menu/Programs/{APP_NAME}.lnk"
# As the 64-bit registry view names it in system.reg; the 32-bit view lives under Wow6432Node.
UNINSTALL_KEY = r"Software\Microsoft\Windows\CurrentVersion\Uninstall\qm47t-converter"
SENT = "汉字"
TIMEOUT = 120
# All the program loads to start: COM (ole32, oleaut32) only once a screen reader asks for it.
START_IMPORTS = {"gdi32.dll", "kernel32.dll", "msvcrt.dll", "user32.dll"}


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class PackageWine(Wine):
    """The harness's Wine, with a home of its own: installing a shortcut would otherwise have Wine add
    menu entries to the real user's desktop, which its menu builder (turned off here) does."""

    def env(self, base=None):
        env = super().env(base)
        env["HOME"] = str(self.prefix.parent / "wine-package-home")
        env["WINEDLLOVERRIDES"] += ";winemenubuilder.exe=d"
        for name in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"):
            env.pop(name, None)
        return env


# --- what is on disk and in the registry ----------------------------------------------------------

def unescape(value):
    """A string as Wine's registry files write it: \\xNNNN for a UTF-16 code unit, C escapes."""
    out, i = [], 0
    while i < len(value):
        if value[i] != "\\":
            out.append(value[i])
            i += 1
            continue
        code = value[i + 1]
        if code == "x":
            digits = re.match(r"[0-9a-fA-F]{1,4}", value[i + 2:]).group()
            out.append(chr(int(digits, 16)))
            i += 2 + len(digits)
        else:
            out.append({"n": "\n", "r": "\r", "t": "\t", "0": "\0"}.get(code, code))
            i += 2
    return "".join(out)


def registry(prefix):
    """HKLM from the prefix's system.reg (written when its wineserver ends): key -> {name: value};
    strings as str, dwords as int, anything else as its raw text."""
    keys, values = {}, None
    for line in (prefix / "system.reg").read_text(encoding="utf-8", errors="replace").splitlines():
        header = re.match(r"^\[(.*)\] \d+$", line)
        if header:
            values = keys.setdefault(header.group(1).replace("\\\\", "\\"), {})
            continue
        entry = re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line)
        if entry and values is not None:
            name, raw = unescape(entry.group(1)), entry.group(2)
            if raw.startswith('"') and raw.endswith('"'):
                values[name] = unescape(raw[1:-1])
            elif raw.startswith("dword:"):
                values[name] = int(raw[6:], 16)
            else:
                values[name] = raw
    return keys


def files(prefix):
    """Every path under drive_c, but the temporary folders: the uninstaller runs from a copy there,
    which Windows deletes at the next restart."""
    root = prefix / "drive_c"
    return {str(path.relative_to(root)) for path in root.rglob("*")
            if not re.match(r"users/[^/]+/(Temp|AppData/Local/Temp)(/|$)", str(path.relative_to(root)))}


def our_entries(keys):
    uninstall = r"\Microsoft\Windows\CurrentVersion\Uninstall" + "\\"
    return [key for key, values in keys.items() if uninstall in key and values.get("DisplayName") == APP_NAME]


# --- the release files as built --------------------------------------------------------------------

def version_record(data):
    """File and product version from the VS_FIXEDFILEINFO of a PE file's version resource."""
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    check(at >= 0, "the setup program has no version record")
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", data, at + 8)
    dotted = lambda ms, ls: f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    return dotted(file_ms, file_ls), dotted(product_ms, product_ls)


def icon_images(path):
    """The images of a .ico file, as a PE file's RT_ICON resources hold them."""
    data = path.read_bytes()
    _, _, count = struct.unpack_from("<3H", data)
    images = []
    for index in range(count):
        size, offset = struct.unpack_from("<II", data, 6 + 16 * index + 8)
        images.append(data[offset:offset + size])
    return images


def imported_dlls(path):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(path)], capture_output=True, text=True,
                          check=True).stdout
    return {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}


def check_release_files(build, version, program, license_text):
    setup = build / f"qm47t-converter-{version}-setup.exe"
    portable = build / f"qm47t-converter-{version}-windows-x64.zip"
    for path in (setup, portable):
        check(path.is_file(), f"{path} is missing: make package-windows builds it")
    data = setup.read_bytes()
    check(data[:2] == b"MZ" and struct.unpack_from("<H", data, struct.unpack_from("<I", data, 0x3C)[0] + 4)[0]
          == 0x8664, "the setup program is not a 64-bit (x64) Windows program")
    check(b'level="requireAdministrator"' in data, "the setup program does not ask for administrator rights")
    check(version_record(data) == (version, version),
          f"the setup program's version record says {version_record(data)}, not {version}")
    # The program's own icon is in the setup program's resources, which are never compressed.
    for image in icon_images(REPO / "resources" / "qm47t-converter.ico"):
        check(image in data, "the setup program does not carry resources/qm47t-converter.ico as its icon")
    print(f"setup program: {setup.name}, {len(data)} bytes, version {version}")

    with zipfile.ZipFile(portable) as archive:
        names = sorted(archive.namelist())
        check(names == ["LICENSE.txt", "README.txt", "qm47t-converter.exe"], f"the zip holds {names}")
        check(archive.read("qm47t-converter.exe") == program, "the zip's program is not the one built")
        check(archive.read("LICENSE.txt") == license_text, "the zip's LICENSE.txt is not LICENSE")
        raw = archive.read("README.txt")
        # Notepad before Windows 10 1903 reads UTF-8 only with a byte-order mark, and LF-only text as
        # one line.
        check(raw.startswith(b"\xef\xbb\xbf"), "README.txt has no UTF-8 byte-order mark")
        check(raw.count(b"\n") == raw.count(b"\r\n") > 0, "README.txt has line ends other than CR LF")
        readme = raw.decode("utf-8-sig")
        check(version in readme and "COM1" in readme, "README.txt names neither the version nor COM1")
        # The one step Windows leaves to the user, in both languages: an adapter made COM1.
        check("设备管理器" in readme and "Device Manager" in readme,
              "README.txt does not say how to make a USB adapter COM1 in Device Manager")
    print(f"zip: {portable.name}, {portable.stat().st_size} bytes, {names}")
    imports = imported_dlls(build / "qm47t-converter.exe")
    check(imports == START_IMPORTS,
          f"qm47t-converter.exe imports {sorted(imports)}, not only {sorted(START_IMPORTS)}")
    return setup


# --- under Wine ------------------------------------------------------------------------------------

def run_wine(wine, argv):
    """Runs argv to its end in the namespace, under the prefix's own wineserver, which is then ended
    (so the registry is on disk), with no display. Returns the exit status."""
    env = {name: value for name, value in os.environ.items() if name not in ("DISPLAY", "WAYLAND_DISPLAY")}
    with VirtualModule() as module:
        process = module.start(argv, env=env, wine=wine, stdin=subprocess.DEVNULL)
        try:
            return process.wait(TIMEOUT)
        finally:
            stop(process)


def check_installed(wine, program, license_text, publisher):
    root = wine.prefix / "drive_c"
    folder = root / "Program Files" / "qm47t-converter"
    check(folder.is_dir(), f"nothing was installed in {INSTALL_DIR}")
    present = {path.name for path in folder.iterdir()}
    check(present == INSTALLED_FILES, f"{INSTALL_DIR} holds {sorted(present)}")
    check((folder / "qm47t-converter.exe").read_bytes() == program, "the installed program is not the one built")
    check((folder / "LICENSE.txt").read_bytes() == license_text, "the installed LICENSE.txt is not LICENSE")

    shortcut = root / SHORTCUT
    check(shortcut.is_file(), f"no Start-menu shortcut for all users at {SHORTCUT}")
    link = shortcut.read_bytes()
    check(b"qm47t-converter.exe" in link or "qm47t-converter.exe".encode("utf-16-le") in link,
          "the shortcut does not lead to qm47t-converter.exe")
    per_user = list(root.glob(f"users/*/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/{APP_NAME}.lnk"))
    check(not per_user, f"a per-user shortcut was made too: {per_user}")

    keys = registry(wine.prefix)
    entries = our_entries(keys)
    check(entries == [UNINSTALL_KEY], f"Apps & features entries: {entries}, not the one 64-bit {UNINSTALL_KEY}")
    values = keys[UNINSTALL_KEY]
    size = sum(path.stat().st_size for path in folder.iterdir())
    expected = {"DisplayName": APP_NAME, "DisplayVersion": VERSION, "Publisher": publisher,
                "DisplayIcon": PROGRAM, "UninstallString": f'"{UNINSTALLER}"',
                "QuietUninstallString": f'"{UNINSTALLER}" /S'}
    for name, value in expected.items():
        check(values.get(name) == value, f"{name} is {values.get(name)!r}, not {value!r}")
    estimated = values.get("EstimatedSize")
    check(isinstance(estimated, int) and abs(estimated - size / 1024) <= 1,
          f"EstimatedSize is {estimated!r} KiB; the files take {size / 1024:.1f} KiB")
    print(f"installed: {sorted(present)}, shortcut, {UNINSTALL_KEY} {values}")


def run_installed_program(wine):
    """Starts the installed program on a private display with a virtual module on COM1, pastes 汉字
    (as an input method would put it in), clicks the convert button, then Exit."""
    with Xvfb() as xvfb, VirtualModule() as module:
        desktop = Desktop(xvfb.env)
        process = module.start(["wine", PROGRAM], env=xvfb.env, wine=wine, stdin=subprocess.DEVNULL)
        try:
            windows = desktop.wait_window(timeout=60)
            check(windows, "the installed program's window did not appear")
            window = windows[0]
            desktop.set_clipboard(SENT)
            desktop.click(window, TEXT1_CENTRE)
            desktop.key("ctrl+v")
            desktop.click(window, COMMAND1_CENTRE)
            expected = SENT.encode("utf-16-be")
            received = module.wait_bytes(len(expected), timeout=10)
            check(received == expected, f"COM1 received {received.hex(' ').upper() or 'nothing'}, "
                                        f"not {expected.hex(' ').upper()}")
            print(f"the installed program sent {received.hex(' ').upper()} ({SENT}) to COM1")
            desktop.click(window, COMMAND2_CENTRE)
            status = process.wait(30)
            check(status == 0, f"the installed program ended with status {status} after Exit")
        finally:
            stop(process)


def check_removed(wine, files_before, keys_before):
    root = wine.prefix / "drive_c"
    check(not (root / "Program Files" / "qm47t-converter").exists(), f"{INSTALL_DIR} is still there")
    check(not (root / SHORTCUT).exists(), "the Start-menu shortcut is still there")
    keys = registry(wine.prefix)
    check(not our_entries(keys) and UNINSTALL_KEY not in keys, "the Apps & features entry is still there")
    # Nothing else: the prefix holds what it held before setup ran, no more and no less.
    files_after = files(wine.prefix)
    check(files_after == files_before, f"after uninstalling, added: {sorted(files_after - files_before)}, "
                                       f"removed: {sorted(files_before - files_after)}")
    mentions = [key for key in set(keys) - set(keys_before) if "qm47t" in key.lower()]
    check(not mentions, f"registry keys left: {mentions}")
    print("uninstalled: no files, shortcut or registry entry left")


def main():
    global VERSION
    build = Path(sys.argv[1]).resolve()
    VERSION = sys.argv[2]
    program = (build / "qm47t-converter.exe").read_bytes()
    license_text = (REPO / "LICENSE").read_bytes()
    metainfo = ElementTree.parse(REPO / "resources" / "io.github.qm47t.converter.metainfo.xml").getroot()
    publisher = metainfo.findtext("developer_name")
    setup = check_release_files(build, VERSION, program, license_text)

    try:
        check_namespace()
    except Unavailable as reason:
        print(f"skipped: {reason}")
        return SKIPPED
    wine = PackageWine(build / "wine-package")
    # A fresh prefix: what an earlier run installed must not count for this one.
    busy = wine_processes(wine.prefix)
    check(not busy, f"processes {busy} use {wine.prefix}; refusing to touch it")
    shutil.rmtree(wine.prefix, ignore_errors=True)
    Path(wine.env()["HOME"]).mkdir(parents=True, exist_ok=True)
    with wine:
        files_before, keys_before = files(wine.prefix), registry(wine.prefix)

        status = run_wine(wine, ["wine", str(setup), "/S"])
        check(status == 0, f"setup /S exited with status {status}")
        check_installed(wine, program, license_text, publisher)

        # Over an installed copy (here an older program), setup replaces it in place.
        (wine.prefix / "drive_c" / "Program Files" / "qm47t-converter" / "qm47t-converter.exe").write_bytes(b"old")
        status = run_wine(wine, ["wine", str(setup), "/S"])
        check(status == 0, f"setup /S over the installed copy exited with status {status}")
        check_installed(wine, program, license_text, publisher)

        run_installed_program(wine)

        # The uninstaller hands over to a copy of itself and returns at once: the wineserver's wait
        # ends only when that copy has finished.
        status = run_wine(wine, ["sh", "-c", 'wine "$1" /S && wineserver -w', "sh", UNINSTALLER])
        check(status == 0, f"uninstall.exe /S exited with status {status}")
        check_removed(wine, files_before, keys_before)
    print("the setup program installed, upgraded, ran and uninstalled cleanly")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (Failure, FileNotFoundError) as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        sys.exit(1)
