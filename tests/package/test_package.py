#!/usr/bin/python3
"""Builds the Debian package, checks it with lintian, installs it with apt on this machine, starts
the installed program, then removes the package and checks that none of its files stay behind.

  test_package.py BUILD_DIR VERSION [CPACK]

Building and lintian run for anyone. Installing changes the machine's package set, so it runs only
as root; elsewhere the test exits 77 after lintian, which CTest reports as skipped. A copy of the
package left installed by an earlier run is purged first.

The program opens COM1 (/dev/ttyS0) as it starts. It runs here only inside the harness's private
mount namespace (scripts/qm47t_harness) where the virtual module's pseudo-terminal stands in for
/dev/ttyS0, /dev/null for every other /dev/ttyS*, and a private tmpfs holds the serial lock files;
a private Xvfb is its screen.
"""
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree

from qm47t_harness.display import Xvfb
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
SOURCE_METAINFO = pathlib.Path(__file__).resolve().parents[2] / "resources" / f"{APP_ID}.metainfo.xml"
TITLE = "汉字ASCII码 -> Unicode码转化器      （QM47T短信数传模块专用软件）"
SKIPPED = 77
WINDOW_TIMEOUT = 30.0

APT = ["apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=600"]
APT_ENV = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}

class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def run(command, **kwargs):
    """Runs a command, failing the test with its output when it fails."""
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise Failure(f"{' '.join(command)} exited with {result.returncode}:\n"
                      f"{result.stdout}{result.stderr}")
    return result.stdout


def package_status():
    result = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Status}", PACKAGE],
                            capture_output=True, text=True)
    return result.stdout.strip() if result.returncode == 0 else "unknown"


def purge():
    run([*APT, "remove", "--purge", PACKAGE], env=APT_ENV)


def build_package(build_dir, cpack):
    out = build_dir / "package-test"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()
    run([cpack, "--config", str(build_dir / "CPackConfig.cmake"), "-B", str(out)], cwd=build_dir)
    debs = sorted(out.glob("*.deb"))
    check(len(debs) == 1, f"cpack made {len(debs)} .deb files in {out}, not one")
    return debs[0]


def check_control(deb, version):
    fields = {}
    for name in ("Package", "Version", "Maintainer", "Depends", "Recommends"):
        fields[name] = run(["dpkg-deb", "-f", str(deb), name]).strip()
    print("control:", fields)
    check(fields["Package"] == PACKAGE, f"package name {fields['Package']!r}")
    check(fields["Version"] == version, f"package version {fields['Version']!r}, not {version!r}")
    depends = [d.strip() for d in fields["Depends"].split(",")]
    for wanted in ("qt6-translations-l10n", "fonts-noto-cjk | fonts-wqy-microhei"):
        check(wanted in depends, f"Depends lacks {wanted!r}: {fields['Depends']}")
    # Only dpkg-shlibdeps puts the libraries the binary links into Depends.
    for library in ("libc6", "libqt6widgets6"):
        check(any(d.startswith(library + " ") or d == library for d in depends),
              f"Depends lacks the shared library package {library}: {fields['Depends']}")
    check(fields["Recommends"] == "fcitx5-frontend-qt6 | ibus",
          f"Recommends is {fields['Recommends']!r}")
    component = ElementTree.parse(SOURCE_METAINFO).getroot()
    contact = f"{component.findtext('developer_name')} <{component.findtext('update_contact')}>"
    check(fields["Maintainer"] == contact,
          f"Maintainer {fields['Maintainer']!r} is not the metainfo's contact {contact!r}")


def check_lintian(deb):
    """Debian's own rules: any error or warning fails, and so does lintian failing to run."""
    result = subprocess.run(["lintian", "--fail-on", "error,warning", str(deb)],
                            capture_output=True, text=True)
    print("lintian:", result.stdout.strip() or "no tags")
    problems = [line for line in result.stdout.splitlines() if re.match(r"[EW]: ", line)]
    check(result.returncode == 0 and not problems,
          f"lintian exited {result.returncode}:\n{result.stdout}{result.stderr}")


def check_installed_files(version):
    check(package_status() == "installed", f"after apt-get install the status is {package_status()!r}")
    installed_version = run(["dpkg-query", "-W", "-f=${Version}", PACKAGE])
    check(installed_version == version, f"installed version {installed_version!r}")
    listed = [line for line in run(["dpkg", "-L", PACKAGE]).splitlines() if line and line != "/."]
    print("dpkg -L:", *listed, sep="\n  ")
    for path in [BINARY, DESKTOP, METAINFO, *ICONS, *DOCUMENTS, UDEV_EXAMPLE]:
        check(path in listed, f"dpkg -L does not list {path}")
        check(os.path.isfile(path), f"{path} is listed but not a file")
    check(os.access(BINARY, os.X_OK), f"{BINARY} is not executable")
    # Every installed file matches the checksum recorded in the package.
    verify = run(["dpkg", "--verify", PACKAGE])
    check(verify == "", f"dpkg --verify:\n{verify}")
    return listed


def read_desktop_entry():
    entry = {}
    for line in pathlib.Path(DESKTOP).read_text(encoding="utf-8").splitlines():
        key, sep, value = line.partition("=")
        if sep:
            entry[key] = value
    return entry


def check_metadata(version):
    output = run(["desktop-file-validate", DESKTOP])
    check(output == "", f"desktop-file-validate {DESKTOP}:\n{output}")
    result = subprocess.run(["appstreamcli", "validate", "--no-net", "--pedantic", "--no-color",
                             METAINFO], capture_output=True, text=True)
    issues = [line for line in result.stdout.splitlines() if re.match(r"[EWIP]: ", line)]
    check(result.returncode == 0 and not issues,
          f"appstreamcli validate {METAINFO} exited {result.returncode}:\n{result.stdout}{result.stderr}")

    entry = read_desktop_entry()
    check(entry.get("Exec", "").split()[0] in (BINARY, os.path.basename(BINARY)),
          f"Exec={entry.get('Exec')} does not start the installed program")
    icon_names = {pathlib.Path(icon).stem for icon in ICONS}
    check(icon_names == {entry.get("Icon")}, f"Icon={entry.get('Icon')} but the icons are {icon_names}")

    component = ElementTree.parse(METAINFO).getroot()
    check(component.findtext("id") == APP_ID, f"metainfo id {component.findtext('id')!r}")
    launchable = component.findtext("launchable")
    check(launchable == os.path.basename(DESKTOP), f"metainfo launchable {launchable!r}")
    newest = component.find("releases/release")
    check(newest is not None and newest.get("version") == version,
          f"the newest metainfo release is not {version}")
    return entry


def x_properties(display, window):
    env = {**os.environ, "DISPLAY": display, "LC_ALL": "C.UTF-8"}
    output = subprocess.run(["xprop", "-id", window, "-notype", "_NET_WM_NAME", "WM_CLASS",
                             "_NET_WM_WINDOW_TYPE"],
                            capture_output=True, text=True, env=env).stdout
    properties = {}
    for line in output.splitlines():
        name, sep, value = line.partition(" = ")
        if sep:
            properties[name] = value
    return properties


def find_main_window(display, program):
    """The id and properties of the mapped top-level window titled TITLE, waiting for it."""
    env = {**os.environ, "DISPLAY": display}
    deadline = time.monotonic() + WINDOW_TIMEOUT
    while time.monotonic() < deadline:
        check(program.poll() is None, f"the program ended with status {program.returncode}")
        tree = subprocess.run(["xwininfo", "-root", "-children"], capture_output=True, text=True,
                              env=env).stdout
        for window in re.findall(r"^\s+(0x[0-9a-f]+) ", tree, re.MULTILINE):
            properties = x_properties(display, window)
            if properties.get("_NET_WM_NAME") != f'"{TITLE}"':
                continue
            info = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True,
                                  env=env).stdout
            if "Map State: IsViewable" in info:
                return window, properties
        time.sleep(0.2)
    raise Failure(f"no window titled {TITLE!r} appeared within {WINDOW_TIMEOUT:.0f} s")


def run_installed_program(entry):
    runtime_dir = tempfile.mkdtemp(prefix="qm47t-package-test-")
    log = tempfile.TemporaryFile(mode="w+")
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": runtime_dir, "LANG": "C.UTF-8",
           "QT_QPA_PLATFORM": "xcb", "XDG_RUNTIME_DIR": runtime_dir}
    try:
        with Xvfb() as xvfb, VirtualModule() as module:
            program = module.start([BINARY], env=dict(env, DISPLAY=xvfb.display), stdin=subprocess.DEVNULL,
                                   stdout=log, stderr=log)
            try:
                check_running_program(entry, xvfb.display, program, module, log)
            finally:
                stop(program)
    finally:
        shutil.rmtree(runtime_dir, ignore_errors=True)


def check_running_program(entry, display, program, module, log):
    try:
        window, properties = find_main_window(display, program)
    except Failure as failure:
        log.seek(0)
        raise Failure(f"{failure}\nprogram output:\n{log.read()}") from None
    print(f"window {window}: {properties}")
    # A failed start shows a message box with the same title; the main window is the normal one.
    check(properties.get("_NET_WM_WINDOW_TYPE") == "_NET_WM_WINDOW_TYPE_NORMAL",
          f"the window titled {TITLE!r} is a {properties.get('_NET_WM_WINDOW_TYPE')}")
    wm_class = entry.get("StartupWMClass")
    check(properties.get("WM_CLASS") == f'"{wm_class}", "{wm_class}"',
          f"WM_CLASS {properties.get('WM_CLASS')} does not match StartupWMClass={wm_class}")
    # The program set up the virtual module's line as COM1: 9600 bit/s, 8 data bits, no parity,
    # 1 stop bit.
    line = module.line_settings()
    check(line.speed == 9600 and line.input_speed == 9600, "the stand-in COM1 is not at 9600 bit/s")
    check((line.data_bits, line.parity, line.stop_bits) == (8, "N", 1), "the stand-in COM1 is not 8N1")
    check(program.poll() is None, f"the program ended with status {program.returncode}")
    # SIGTERM (a logout, a shutdown) ends it as Exit does: with nothing queued, status 0.
    program.send_signal(signal.SIGTERM)
    status = program.wait(timeout=10)
    check(status == 0, f"the program ended with status {status} on SIGTERM")


def check_removed(listed):
    status = package_status()
    check(status in ("not-installed", "unknown"), f"after purging, the package status is {status!r}")
    for path in listed:
        if os.path.isdir(path) and not os.path.islink(path):
            # A directory may stay when other packages have files in it or own it too.
            if not os.listdir(path):
                owned = subprocess.run(["dpkg-query", "-S", path], capture_output=True).returncode == 0
                check(owned, f"the empty directory {path} was left behind")
        else:
            check(not os.path.lexists(path), f"{path} was left behind")


def main():
    build_dir = pathlib.Path(sys.argv[1]).resolve()
    version = sys.argv[2]
    cpack = sys.argv[3] if len(sys.argv) > 3 else "cpack"
    for tool in ("apt-get", "dpkg-deb", "dpkg-shlibdeps", "lintian", "desktop-file-validate",
                 "appstreamcli", "Xvfb", "xwininfo", "xprop", "unshare", cpack):
        check(shutil.which(tool), f"{tool} is not installed")

    deb = build_package(build_dir, cpack)
    check_control(deb, version)
    check_lintian(deb)
    if os.geteuid() != 0:
        print("skipped: installing a package needs root")
        return SKIPPED
    check(os.path.exists("/dev/ttyS0"), "/dev/ttyS0 is missing: there is nothing to stand in for")
    if package_status() not in ("not-installed", "unknown"):
        print(f"purging the {package_status()} copy from an earlier run")
        purge()
    run([*APT, "install", "--no-install-recommends", str(deb)], env=APT_ENV)
    try:
        listed = check_installed_files(version)
        entry = check_metadata(version)
        run_installed_program(entry)
    finally:
        purge()
    check_removed(listed)
    print("the package installed, ran and was removed cleanly")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        sys.exit(1)
