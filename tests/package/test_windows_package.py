# SPDX-License-Identifier: MIT
"""The Windows release as a user meets it: the zip's contents, the DLLs the program needs to start, the
setup program's own version record and icon, then under Wine a silent install, a second install over it (an upgrade in place), the
installed program sending 汉字 to COM1, and a silent uninstall that leaves nothing behind.

--build is the Windows build folder: qm47t-converter.exe and what `make package-windows` makes from
it. A missing setup program or zip is a failure. Wine runs only inside the private mount namespace
of the harness, scripts/qm47t_harness (a pseudo-terminal over /dev/ttyS0 and COM1, no other serial
device), on a fresh prefix of its own, BUILD/wine-package, with its own wineserver. The Wine case
is skipped only where such a namespace cannot be made.
"""

import os
import re
import shutil
import struct
import subprocess
import zipfile

import pytest

from qm47t_harness import REPO, Unavailable
from qm47t_harness.display import Desktop, Xvfb
from qm47t_harness.layout import COMMAND1_CENTRE, COMMAND2_CENTRE, TEXT1_CENTRE
from qm47t_harness.module import VirtualModule
from qm47t_harness.namespace import check_namespace, stop
from qm47t_harness.wine import Wine

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
LICENSE = (REPO / "LICENSE").read_bytes()
ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "0": "\0"}


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
    return re.sub(r"\\(x[0-9a-fA-F]{1,4}|.)",
                  lambda m: chr(int(m[1][1:], 16)) if len(m[1]) > 1 else ESCAPES.get(m[1], m[1]), value)


def registry(prefix):
    """HKLM from the prefix's system.reg (written when its wineserver ends): key -> {name: value};
    strings as str, dwords as int, anything else as its raw text."""
    keys = {}
    for line in (prefix / "system.reg").read_text(encoding="utf-8", errors="replace").splitlines():
        if header := re.match(r"^\[(.*)\] \d+$", line):
            values = keys.setdefault(header[1].replace("\\\\", "\\"), {})
        elif entry := re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line):
            raw = entry[2]
            if raw.startswith('"') and raw.endswith('"'):
                values[unescape(entry[1])] = unescape(raw[1:-1])
            else:
                values[unescape(entry[1])] = int(raw[6:], 16) if raw.startswith("dword:") else raw
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
    assert at >= 0, "the setup program has no version record"
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


@pytest.fixture(scope="module")
def program(build):
    return (build / "qm47t-converter.exe").read_bytes()


@pytest.fixture(scope="module")
def setup(build, version):
    path = build / f"qm47t-converter-{version}-setup.exe"
    assert path.is_file(), f"{path} is missing: make package-windows builds it"
    return path


def test_setup_program(setup, version):
    data = setup.read_bytes()
    machine = struct.unpack_from("<H", data, struct.unpack_from("<I", data, 0x3C)[0] + 4)[0]
    assert data[:2] == b"MZ" and machine == 0x8664, "the setup program is not a 64-bit (x64) Windows program"
    assert b'level="requireAdministrator"' in data, "the setup program does not ask for administrator rights"
    assert version_record(data) == (version, version)
    # The program's own icon is in the setup program's resources, which are never compressed.
    for image in icon_images(REPO / "resources" / "qm47t-converter.ico"):
        assert image in data, "the setup program does not carry resources/qm47t-converter.ico as its icon"


def test_zip(build, version, program):
    with zipfile.ZipFile(build / f"qm47t-converter-{version}-windows-x64.zip") as archive:
        assert sorted(archive.namelist()) == ["LICENSE.txt", "README.txt", "qm47t-converter.exe"]
        assert archive.read("qm47t-converter.exe") == program, "the zip's program is not the one built"
        assert archive.read("LICENSE.txt") == LICENSE, "the zip's LICENSE.txt is not LICENSE"
        raw = archive.read("README.txt")
    # Notepad before Windows 10 1903 reads UTF-8 only with a byte-order mark, and LF-only text as
    # one line.
    assert raw.startswith(b"\xef\xbb\xbf") and raw.count(b"\n") == raw.count(b"\r\n") > 0
    # The version, COM1, and the one step Windows leaves to the user, in both languages: an adapter
    # made COM1 in Device Manager.
    readme = raw.decode("utf-8-sig")
    assert [word for word in (version, "COM1", "设备管理器", "Device Manager") if word not in readme] == []


def test_imports(build):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(build / "qm47t-converter.exe")],
                          capture_output=True, text=True, check=True).stdout
    assert {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)} == START_IMPORTS


# --- under Wine ------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def wine(build):
    try:
        check_namespace()
    except Unavailable as reason:
        pytest.skip(str(reason))
    wine = PackageWine(build / "wine-package")
    # A fresh prefix: what an earlier run installed must not count for this one.
    wine.refuse_if_busy()
    shutil.rmtree(wine.prefix, ignore_errors=True)
    os.makedirs(wine.env()["HOME"], exist_ok=True)
    with wine:
        yield wine


def run_silently(wine, *argv):
    """Runs argv to its end under Wine with no display, as a silent setup or uninstall runs; returns
    its exit status once the wineserver has ended and the registry is on disk."""
    env = {name: value for name, value in os.environ.items() if name not in ("DISPLAY", "WAYLAND_DISPLAY")}
    return wine.run(argv, TIMEOUT, env=env)


def check_installed(wine, program, version, publisher):
    root = wine.prefix / "drive_c"
    folder = root / "Program Files" / "qm47t-converter"
    assert {path.name for path in folder.iterdir()} == INSTALLED_FILES
    assert (folder / "qm47t-converter.exe").read_bytes() == program, "the installed program is not the one built"
    assert (folder / "LICENSE.txt").read_bytes() == LICENSE, "the installed LICENSE.txt is not LICENSE"

    link = (root / SHORTCUT).read_bytes()
    assert b"qm47t-converter.exe" in link or "qm47t-converter.exe".encode("utf-16-le") in link
    assert not list(root.glob(f"users/*/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/{APP_NAME}.lnk"))

    keys = registry(wine.prefix)
    assert our_entries(keys) == [UNINSTALL_KEY], "not one Apps & features entry, in the 64-bit view"
    values = keys[UNINSTALL_KEY]
    expected = {"DisplayName": APP_NAME, "DisplayVersion": version, "Publisher": publisher,
                "DisplayIcon": PROGRAM, "UninstallString": f'"{UNINSTALLER}"',
                "QuietUninstallString": f'"{UNINSTALLER}" /S'}
    assert {name: values.get(name) for name in expected} == expected
    size = sum(path.stat().st_size for path in folder.iterdir())
    assert abs(values["EstimatedSize"] - size / 1024) <= 1, f"the files take {size / 1024:.1f} KiB"


def run_installed_program(wine):
    """Starts the installed program on a private display with a virtual module on COM1, pastes 汉字
    (as an input method would put it in), clicks the convert button, then Exit."""
    with Xvfb() as xvfb, VirtualModule() as module:
        desktop = Desktop(xvfb.env)
        process = module.start(["wine", PROGRAM], env=xvfb.env, wine=wine, stdin=subprocess.DEVNULL)
        try:
            windows = desktop.wait_window(timeout=60)
            assert windows, "the installed program's window did not appear"
            desktop.set_clipboard(SENT)
            desktop.click(windows[0], TEXT1_CENTRE)
            desktop.key("ctrl+v")
            desktop.click(windows[0], COMMAND1_CENTRE)
            expected = SENT.encode("utf-16-be")
            assert module.wait_bytes(len(expected), timeout=10).hex(" ") == expected.hex(" ")
            desktop.click(windows[0], COMMAND2_CENTRE)
            assert process.wait(30) == 0, "the installed program's status after Exit"
        finally:
            stop(process)


def test_install_upgrade_run_uninstall(wine, setup, program, version, metainfo):
    files_before, keys_before = files(wine.prefix), registry(wine.prefix)
    assert run_silently(wine, "wine", str(setup), "/S") == 0
    check_installed(wine, program, version, metainfo.findtext("developer_name"))

    # Over an installed copy (here an older program), setup replaces it in place.
    (wine.prefix / "drive_c" / "Program Files" / "qm47t-converter" / "qm47t-converter.exe").write_bytes(b"old")
    assert run_silently(wine, "wine", str(setup), "/S") == 0
    check_installed(wine, program, version, metainfo.findtext("developer_name"))

    run_installed_program(wine)

    # The uninstaller hands over to a copy of itself and returns at once: the wineserver's wait
    # ends only when that copy has finished.
    assert run_silently(wine, "sh", "-c", 'wine "$1" /S && wineserver -w', "sh", UNINSTALLER) == 0
    keys = registry(wine.prefix)
    assert not our_entries(keys) and UNINSTALL_KEY not in keys, "the Apps & features entry is still there"
    # Nothing else: the prefix holds what it held before setup ran (so neither the folder nor the
    # shortcut), no more and no less.
    assert files(wine.prefix) == files_before
    assert [key for key in set(keys) - set(keys_before) if "qm47t" in key.lower()] == []
