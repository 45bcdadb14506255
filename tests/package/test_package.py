# SPDX-License-Identifier: MIT
"""The Debian package: built with cpack and checked with lintian, then installed with apt on this
machine, the installed program started, and the package purged again without leaving a file behind.

Building and lintian run for anyone. Installing changes the machine's package set, so it runs only
as root and is skipped elsewhere. A copy of the package left installed by an earlier run is purged
first. The desktop entry and metainfo are installed as they are in resources/, where CTest's
desktop_entry_valid and metainfo_valid run the validators on them.

The program opens COM1 (/dev/ttyS0) as it starts. It runs here only inside the harness's private
mount namespace (scripts/qm47t_harness), whose /dev holds the virtual module's pseudo-terminal as
ttyS0 and no other serial device, on a private Xvfb.
"""
import os
import pathlib
import re
import shlex
import shutil
import signal
import subprocess
import tempfile
import xml.etree.ElementTree as ElementTree

import pytest

from qm47t_harness.display import Desktop, Xvfb
from qm47t_harness.module import VirtualModule
from qm47t_harness.namespace import stop

PACKAGE = "qm47t-converter"
APP_ID = "io.github.qm47t.converter"
BINARY = "/usr/bin/qm47t-converter"
DESKTOP = f"/usr/share/applications/{APP_ID}.desktop"
METAINFO = f"/usr/share/metainfo/{APP_ID}.metainfo.xml"
ICONS = [f"/usr/share/icons/hicolor/32x32/apps/{APP_ID}.png",
         f"/usr/share/icons/hicolor/scalable/apps/{APP_ID}.svg"]
UDEV_EXAMPLE = f"/usr/share/doc/{PACKAGE}/examples/99-qm47t-com1.rules"
DOCUMENTS = ["/usr/share/man/man1/qm47t-converter.1.gz",
             "/usr/share/man/zh_CN/man1/qm47t-converter.1.gz",
             f"/usr/share/doc/{PACKAGE}/copyright", f"/usr/share/doc/{PACKAGE}/changelog.gz"]
NOT_INSTALLED = ("not-installed", "unknown")

APT = ["apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=600"]
APT_ENV = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}


def run(*command, **kwargs):
    """Runs a command and returns its output; the case fails with that output if the command does."""
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    assert result.returncode == 0, f"{shlex.join(command)}:\n{result.stdout}{result.stderr}"
    return result.stdout


def package_status():
    result = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Status}", PACKAGE],
                            capture_output=True, text=True)
    return result.stdout.strip() if result.returncode == 0 else "unknown"


def purge():
    if package_status() not in NOT_INSTALLED:
        run(*APT, "remove", "--purge", PACKAGE, env=APT_ENV)


@pytest.fixture(scope="module")
def deb(build, pytestconfig):
    out = build / "package-test"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()
    run(pytestconfig.getoption("cpack"), "--config", str(build / "CPackConfig.cmake"), "-B", str(out), cwd=build)
    debs = list(out.glob("*.deb"))
    assert len(debs) == 1, f"cpack made {debs} in {out}, not one .deb"
    return debs[0]


@pytest.fixture(scope="module")
def installed(deb):
    """What `dpkg -L` lists once apt has installed the package; it is purged at the end whatever happened."""
    if os.geteuid() != 0:
        pytest.skip("installing a package needs root")
    purge()
    run(*APT, "install", "--no-install-recommends", str(deb), env=APT_ENV)
    yield [line for line in run("dpkg", "-L", PACKAGE).splitlines() if line and line != "/."]
    purge()


@pytest.fixture(scope="module")
def entry(installed):
    """The installed desktop entry's keys and values."""
    lines = pathlib.Path(DESKTOP).read_text(encoding="utf-8").splitlines()
    return dict(line.split("=", 1) for line in lines if "=" in line)


def test_control_fields(deb, version, metainfo):
    field = lambda name: run("dpkg-deb", "-f", str(deb), name).strip()
    assert field("Package") == PACKAGE
    assert field("Version") == version
    depends = [d.strip() for d in field("Depends").split(",")]
    assert {"qt6-translations-l10n", "fonts-noto-cjk | fonts-wqy-microhei"} <= set(depends)
    # Only dpkg-shlibdeps puts the libraries the binary links into Depends.
    assert {"libc6", "libqt6widgets6"} <= {d.split()[0] for d in depends}
    assert field("Recommends") == "fcitx5-frontend-qt6 | ibus"
    assert field("Maintainer") == f"{metainfo.findtext('developer_name')} <{metainfo.findtext('update_contact')}>"


def test_lintian(deb):
    """Debian's own rules: any error or warning fails, and so does lintian failing to run."""
    output = run("lintian", "--fail-on", "error,warning", str(deb))
    assert not re.search(r"^[EW]: ", output, re.MULTILINE), output


def test_installed_files(installed):
    assert package_status() == "installed"
    for path in [BINARY, DESKTOP, METAINFO, *ICONS, *DOCUMENTS, UDEV_EXAMPLE]:
        assert path in installed and os.path.isfile(path)
    assert os.access(BINARY, os.X_OK)
    # Every installed file matches the checksum recorded in the package.
    assert run("dpkg", "--verify", PACKAGE) == ""


def test_desktop_entry_and_metainfo(entry, version):
    assert entry["Exec"].split()[0] in (BINARY, os.path.basename(BINARY))
    assert {pathlib.Path(icon).stem for icon in ICONS} == {entry["Icon"]}
    component = ElementTree.parse(METAINFO).getroot()
    assert component.findtext("id") == APP_ID
    assert component.findtext("launchable") == os.path.basename(DESKTOP)
    assert component.find("releases/release").get("version") == version


def test_installed_program(entry):
    """Started as the menu starts it, in a user's plain environment; its output shows with a failure."""
    with tempfile.TemporaryDirectory(prefix="qm47t-package-test-") as home, Xvfb() as xvfb, \
            VirtualModule() as module:
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": home, "LANG": "C.UTF-8", "QT_QPA_PLATFORM": "xcb",
               "XDG_RUNTIME_DIR": home, "DISPLAY": xvfb.display}
        program = module.start([BINARY], env=env, stdin=subprocess.DEVNULL)
        try:
            windows = Desktop(xvfb.env).wait_window(timeout=30)
            assert windows, f"no window with the program's title (its status: {program.poll()})"
            xprop = run("xprop", "-id", windows[0], "-notype", "_NET_WM_WINDOW_TYPE", "WM_CLASS", env=xvfb.env)
            # A failed start shows a message box with the same title; the main window is the normal one.
            assert "_NET_WM_WINDOW_TYPE = _NET_WM_WINDOW_TYPE_NORMAL\n" in xprop
            assert f'WM_CLASS = "{entry["StartupWMClass"]}", "{entry["StartupWMClass"]}"\n' in xprop
            # The program set up the virtual module's line as COM1: 9600 bit/s, 8 data bits, no
            # parity, 1 stop bit.
            line = module.line_settings()
            assert (line.speed, line.input_speed, line.data_bits, line.parity, line.stop_bits) == (9600, 9600, 8, "N", 1)
            assert program.poll() is None
            # SIGTERM (a logout, a shutdown) ends it as Exit does: with nothing queued, status 0.
            program.send_signal(signal.SIGTERM)
            assert program.wait(timeout=10) == 0
        finally:
            stop(program)


def test_purge_leaves_nothing(installed):
    purge()
    assert package_status() in NOT_INSTALLED
    for path in installed:
        if os.path.isdir(path) and not os.path.islink(path):
            # A directory may stay when other packages have files in it or own it too.
            owned = lambda: subprocess.run(["dpkg-query", "-S", path], capture_output=True).returncode == 0
            assert os.listdir(path) or owned(), f"the empty directory {path} was left behind"
        else:
            assert not os.path.lexists(path)
