# SPDX-License-Identifier: MIT
"""The private mount namespace a program runs in, and its end.

Every namespace gets a /dev of its own: the few nodes a program needs, the pseudo-terminal as
/dev/ttyS0, the links a test asks for, and no other serial device at all (no COM1 unless a test links
its own pty there, no ttyUSB*, ttyACM* or other ttyS*), and a /run/lock of its own for the port's lock
file. Before anything starts, one guard looks at every name the program or Wine may open as COM1 and
refuses unless each is a pty slave or absent. Ending a run ends every process in the namespace."""

import os
import select
import shlex
import shutil
import signal
import stat
import subprocess
import time

from . import Unavailable

COM1 = "/dev/ttyS0"
# What the Linux program tries before /dev/ttyS0: the name the udev rule gives a USB adapter.
COM1_LINK = "/dev/COM1"
# Where a Wine prefix's registry (HKLM\Software\Wine\Ports) puts COM1: a file on the namespace's
# private /run/lock with the pseudo-terminal bound over it, so that outside a namespace COM1 leads
# nowhere.
WINE_COM1 = "/run/lock/qm47t-com1"

# Unix98 pty slaves have majors 136 to 143, as `stat %t` prints them. A failed bind must never leave
# a real UART in the pty's place, so the check follows links and comes after every mount.
PTY_MAJORS_HEX = ("88", "89", "8a", "8b", "8c", "8d", "8e", "8f")
# The memory devices (/dev/null and its kin) and sockets: the only nodes a test may stand in for a
# port that is no serial port, or one whose device has gone, since none of them can be a line to
# anything.
MEMORY_DEVICES_MAJOR = 1
REFUSED_STATUS = 125

NAMESPACE_ADVICE = """\
The program has to run in a private mount namespace, with a /dev of its own in which a
pseudo-terminal is its COM1. This machine did not allow that: {reason}
Fix it in one of these ways:
  - run it as root: sudo make demo, sudo make test
  - allow unprivileged user namespaces:
      sudo sysctl -w kernel.unprivileged_userns_clone=1          (Debian)
      sudo sysctl -w kernel.apparmor_restrict_unprivileged_userns=0   (Ubuntu 23.10 and later)
  - in a container: start it with CAP_SYS_ADMIN (docker run --privileged)"""

# What a program needs of /dev, bound in from the real one. /dev/ptmx is a link to the devpts' own
# (a bound /dev/ptmx finds no pts beside it, and opening it fails), so a pty can be made inside too.
PRIVATE_DEV_NODES = ("null", "zero", "full", "random", "urandom", "tty")


def namespace_command():
    if os.geteuid() == 0:
        return ["unshare", "--mount", "--propagation", "private"]
    # As a normal user: a user namespace in which we are root, owning the new mount namespace.
    return ["unshare", "--map-root-user", "--mount"]


def check_namespace():
    """Raises Unavailable, saying how to fix it, unless the program's namespace can be set up here."""
    if shutil.which("unshare") is None:
        raise Unavailable(NAMESPACE_ADVICE.format(reason="unshare (util-linux) is not installed"))
    probe = subprocess.run([*namespace_command(), "mount", "-t", "tmpfs", "tmpfs", "/run/lock"],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if probe.returncode != 0:
        reason = probe.stderr.strip() or f"unshare exited with status {probe.returncode}"
        raise Unavailable(NAMESPACE_ADVICE.format(reason=reason))


def non_serial_pattern(node):
    """What the guard's `stat -L -c %F:%t:%T` prints for `node`, as a shell pattern, once `node` is
    known to be a memory device or a socket."""
    found = os.stat(node)
    if stat.S_ISSOCK(found.st_mode):
        return "socket:*"
    if not stat.S_ISCHR(found.st_mode) or os.major(found.st_rdev) != MEMORY_DEVICES_MAJOR:
        raise ValueError(f"{node} is neither a memory device (/dev/null and its kin) nor a socket: it may not "
                         "stand in for COM1")
    return f"'character special file:'{os.major(found.st_rdev):x}:{os.minor(found.st_rdev):x}"


def guard_steps(paths, non_serial_node=None):
    """The shell steps that end the set-up with REFUSED_STATUS unless every path is a pty slave or
    absent (a link that leads nowhere is absent: nothing can open it); stat speaks C there, whatever the
    run's locale (a Wine run's is Chinese). A test that needs a port that
    is no serial port names the node it binds (non_serial_node, a memory device or a socket), which
    passes too."""
    allowed = [f"'character special file:'{major}:*" for major in PTY_MAJORS_HEX]
    if non_serial_node is not None:
        allowed.append(non_serial_pattern(non_serial_node))
    return [f'case "$(LC_ALL=C stat -L -c \'%F:%t:%T\' {path} 2>/dev/null || echo absent)" in {"|".join(allowed)}|absent) ;; '
            f'*) echo "qm47t-namespace: {path} is not the pseudo-terminal, refusing to start" >&2; '
            f"exit {REFUSED_STATUS};; esac" for path in paths]


def private_dev_steps(port, links):
    """Gives the namespace a /dev of its own: a tmpfs with the few nodes a program needs bound in from
    the real one, the real /dev/pts (where the pty lives), `port` as ttyS0 and no other serial port,
    and `links` (name: target) as symlinks. Built aside on the private /run/lock, then moved over
    /dev: nothing is ever created in the real one, and no real serial device is ever bound."""
    new = "/run/lock/qm47t-dev"
    steps = [f"mkdir {new}", f"mount -t tmpfs -o mode=755 tmpfs {new}"]
    for node in PRIVATE_DEV_NODES:
        steps.append(f"if [ -L /dev/{node} ]; then cp -P /dev/{node} {new}/; "
                     f"else touch {new}/{node}; mount --bind /dev/{node} {new}/{node}; fi")
    steps += [f"touch {new}/ttyS0", f"mount --bind {shlex.quote(port)} {new}/ttyS0",
              f"mkdir {new}/pts {new}/shm", f"mount --rbind /dev/pts {new}/pts",
              f"mount -t tmpfs -o mode=1777 tmpfs {new}/shm", f"ln -s pts/ptmx {new}/ptmx",
              f"ln -s /proc/self/fd {new}/fd"]
    steps += [f"ln -s /proc/self/fd/{number} {new}/{name}" for number, name in enumerate(("stdin", "stdout", "stderr"))]
    steps += [f"ln -s {shlex.quote(target)} {new}/{shlex.quote(name)}" for name, target in links.items()]
    return steps + [f"mount --move {new} /dev", f"rmdir {new}"]


def namespace_script(port_source, gated, wine=False, dev_links=None, non_serial_node=None):
    port = shlex.quote(port_source)
    steps = [
        "set -e",
        # The program takes the port's lock file there; a private one leaves the machine's locks alone.
        "mount -t tmpfs tmpfs /run/lock",
        *private_dev_steps(port_source, dev_links or {}),
    ]
    ports = [COM1_LINK, COM1]
    if wine:
        steps += [f": > {WINE_COM1}", f"mount --bind {port} {WINE_COM1}"]
        ports.append(WINE_COM1)
    steps += guard_steps(ports, non_serial_node)
    if gated:
        # Tells the caller on stdout that the mounts are in place, hands the program stderr as its
        # stdout, and waits for the go-ahead on stdin.
        steps.append("echo; exec 1>&2; read -r _")
    if not wine:
        steps.append('exec "$@"')
        return "\n".join(steps)
    # The wineserver this run starts opens the devices, so it must end before the namespace does:
    # a stop request (SIGTERM) ends the wait, not the shell.
    # The server is started here, with its standard error going nowhere: when the pty's other end
    # hangs up (the module unplugged) the server gets SIGHUP and writes its whole object table there,
    # megabytes that block it for good on a pipe nobody drains. Unless the run is the server itself
    # (the bench keeps one in the foreground, its output in a file).
    steps += ["set +e", "trap : TERM INT HUP", '[ "$1" = wineserver ] || wineserver 2>/dev/null',
              '"$@" & wait $!', "status=$?",
              "wineserver -k 2>/dev/null", "wineserver -w", "exit $status"]
    return "\n".join(steps)


def mount_namespace(pid):
    """The mount namespace of a process as (device, inode), or None once it has gone. A process whose
    first thread has ended (a zombie to /proc) while others still run is read through those."""
    for path in (f"/proc/{pid}/ns/mnt", *sorted(_task_links(pid))):
        try:
            found = os.stat(path)
        except OSError:
            continue
        return found.st_dev, found.st_ino
    return None


def _task_links(pid):
    try:
        return [f"/proc/{pid}/task/{task}/ns/mnt" for task in os.listdir(f"/proc/{pid}/task")]
    except OSError:
        return []


def _own_namespace():
    return mount_namespace("self")


def _hold_namespace(process, timeout=10.0):
    """Waits until `process` (unshare) has made its private namespace (until then it is still in ours,
    which must never be taken for it), and keeps a descriptor of it open on the process: a namespace
    that is held cannot end, so its inode number cannot pass to another run's namespace before
    stop() has looked for what is left in this one."""
    process.namespace, process.namespace_fd = None, None
    own = _own_namespace()
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = mount_namespace(process.pid)
        if found is None:
            return
        if found != own:
            try:
                held = os.open(f"/proc/{process.pid}/ns/mnt", os.O_RDONLY | os.O_CLOEXEC)
            except OSError:
                return
            process.namespace, process.namespace_fd = found, held
            return
        time.sleep(0.001)


def namespace_pids(namespace):
    """Every live process in the mount namespace; never any when `namespace` is this process's own."""
    if namespace is None or namespace == _own_namespace():
        return []
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit() and mount_namespace(entry) == namespace:
            found.append(int(entry))
    return found


def spawn_in_namespace(argv, port_source, *, env=None, gated=False, wine=None, dev_links=None,
                       non_serial_node=None, **popen_args):
    """Starts argv in a private mount namespace whose /dev holds port_source as ttyS0, the links in
    dev_links (name: target) and no other serial device. Gated: the mounts are made first, then the
    process waits; call the returned `go()` to let it exec argv (`go` is None otherwise). With `wine`
    (a Wine) argv runs under that prefix's own wineserver, which is ended before the namespace goes.
    Nothing starts unless every name for COM1 there is a pty slave or absent; a test of a port that
    is no serial port names the node it binds as non_serial_node (guard_steps).
    The process carries its `namespace`, which stop() ends whole: call it once the run is over."""
    script = namespace_script(port_source, gated, wine is not None, dev_links, non_serial_node)
    if wine is not None:
        env = wine.env(env)
    command = [*namespace_command(), "sh", "-c", script, "qm47t-namespace", *argv]
    if not gated:
        process = subprocess.Popen(command, env=env, **popen_args)
        _hold_namespace(process)
        return process, None
    process = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, **popen_args)
    _hold_namespace(process)
    mounted = process.stdout.read(1) == b"\n"
    process.stdout.close()
    if not mounted:
        stop(process)
        raise RuntimeError(f"the namespace set-up failed (status {process.returncode})")

    def go():
        process.stdin.write(b"\n")
        process.stdin.close()

    return process, go


def enter_command(process):
    """The command prefix that runs a program in the mount namespace of a running `process`."""
    enter = ["nsenter", "--target", str(process.pid), "--mount"]
    if os.geteuid() != 0:
        enter += ["--user", "--preserve-credentials"]
    return [*enter, "--"]


def _kill(pid, namespace):
    """SIGKILL to `pid` if it is still in `namespace`: the pidfd pins the process, so a PID that was
    reused in between is never hit."""
    try:
        pidfd = os.pidfd_open(pid)
    except OSError:
        return False
    try:
        if mount_namespace(pid) != namespace:
            return False
        signal.pidfd_send_signal(pidfd, signal.SIGKILL)
        select.select([pidfd], [], [], 5.0)
        return True
    except OSError:
        return False
    finally:
        os.close(pidfd)


def end_namespace(namespace):
    """Kills every process left in the namespace, by PID; returns those PIDs. Wine's services and a
    wineserver that daemonised have left the process tree but not the namespace."""
    ended = []
    for _ in range(10):
        left = namespace_pids(namespace)
        if not left:
            break
        ended += [pid for pid in left if _kill(pid, namespace)]
    if namespace_pids(namespace):
        raise RuntimeError(f"processes {namespace_pids(namespace)} outlived the namespace's end")
    return sorted(set(ended))


def stop(process, timeout=20.0):
    """Asks a program to end (under Wine the namespace's shell then ends its wineserver) and kills it
    if it does not; then, for a program started by spawn_in_namespace, kills whatever else is left in
    its namespace, hung program or Wine service alike, and lets go of the namespace. Returns the PIDs
    that had to be killed. Calling it again does nothing more."""
    held = getattr(process, "namespace_fd", None)
    ended = []
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            if held is None:
                process.kill()
                ended.append(process.pid)
    if held is not None:
        try:
            ended += end_namespace(process.namespace)
        finally:
            os.close(held)
            process.namespace_fd = None
    process.wait()
    return ended
