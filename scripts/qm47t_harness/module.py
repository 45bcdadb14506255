# SPDX-License-Identifier: MIT
"""The QM47T's end of the line: the master side of a pseudo-terminal whose slave the program opens as
COM1. It hears every byte, groups them into frames, reads the line settings the program set, and can
behave as a slow or stalled line: stop reading, read again, or read at a given byte rate."""

import datetime
import os
import select
import termios
import threading
import time

from . import Closing
from .namespace import spawn_in_namespace

# The program writes a frame in one go; bytes that arrive this close together belong to one frame.
FRAME_GAP = 0.05

SPEEDS = {getattr(termios, name): int(name[1:]) for name in dir(termios)
          if name.startswith("B") and name[1:].isdigit()}
DATA_BITS = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}


class LineSettings:
    def __init__(self, attributes):
        iflag, oflag, cflag, _, ispeed, ospeed, _ = attributes
        self.speed = SPEEDS.get(ospeed, ospeed)
        self.input_speed = SPEEDS.get(ispeed, ispeed)
        self.data_bits = DATA_BITS[cflag & termios.CSIZE]
        self.parity = "N" if not cflag & termios.PARENB else ("O" if cflag & termios.PARODD else "E")
        self.stop_bits = 2 if cflag & termios.CSTOPB else 1
        self.rts_cts = bool(cflag & termios.CRTSCTS)
        self.xon_xoff = bool(iflag & (termios.IXON | termios.IXOFF))
        # Output processing (LF to CR LF and the like) would alter the frames on their way out.
        self.post_processing = bool(oflag & termios.OPOST)

    def __str__(self):
        flow = ", ".join(name for name, on in (("RTS/CTS", self.rts_cts), ("XON/XOFF", self.xon_xoff)) if on)
        return (f"{self.speed} bit/s {self.data_bits}{self.parity}{self.stop_bits}, "
                f"{flow + ' flow control' if flow else 'no flow control'}"
                f"{', output processing ON (not raw)' if self.post_processing else ''}")


class Frame:
    def __init__(self, when, data, settings):
        self.when = when
        self.data = bytes(data)
        self.settings = settings

    def hex(self):
        return " ".join(f"{byte:02X}" for byte in self.data)

    def text(self):
        if len(self.data) % 2:
            return None
        return self.data.decode("utf-16-be", errors="replace")

    def __str__(self):
        text = self.text()
        return (f"{self.when:%H:%M:%S.%f}"[:-3] + f"  COM1 received {len(self.data)} bytes  ({self.settings})\n"
                f"  hex:  {self.hex()}\n"
                f"  text: {'(odd number of bytes, not UTF-16)' if text is None else repr(text)}")


def whole_frames(data, frame):
    """How a byte stream divides into copies of `frame`: (the number of whole copies it starts with,
    the bytes after them). Anything left over is a fragment, or a stream out of step."""
    count, size = 0, len(frame)
    while data[count * size:(count + 1) * size] == frame:
        count += 1
    return count, bytes(data[count * size:])


class Pacer:
    """How many bytes a line of `rate` bytes a second may have taken by a given moment: a budget that
    fills at the rate from `start` on, at most `burst` seconds' worth ahead, less what was taken."""

    def __init__(self, rate, start, burst=0.02):
        self.rate = rate
        self.limit = max(1.0, rate * burst)
        self.budget = 0.0
        self.last = start

    def allowed(self, now):
        self.budget = min(self.limit, self.budget + (now - self.last) * self.rate)
        self.last = now
        return int(self.budget)

    def took(self, count):
        self.budget -= count

    def wait(self):
        """Seconds until at least one more byte is allowed."""
        return max(0.0, (1 - self.budget) / self.rate)


class VirtualModule(Closing):
    """The master side of a pseudo-terminal whose slave the program opens as /dev/ttyS0. A thread reads
    everything that arrives; `on_frame` is called for every frame."""

    def __init__(self, on_frame=None):
        self._master, slave = os.openpty()
        self.slave_path = os.ttyname(slave)
        # The line stays as a fresh pty is (cooked, newlines translated): making it raw is the
        # program's job, and the frames' settings show whether it did.
        # Only the program may hold the slave once it runs: then a hang-up tells us it let go.
        os.close(slave)
        self._on_frame = on_frame
        self._lock = threading.Condition()
        self._received = bytearray()
        self._reads = []
        self._frames = []
        self._opened = False
        self._released = False
        self._stop = False
        self._paused = False
        self._pacer = None
        self._thread = threading.Thread(target=self._listen, name="virtual-qm47t", daemon=True)
        self._thread.start()

    def start(self, argv, env=None, wine=None, **popen_args):
        """Starts argv (the program, or a wrapper around it) with this module on its COM1; with
        `wine` (a Wine), under that prefix's own wineserver: argv then runs `wine PROGRAM.exe`."""
        process, _ = spawn_in_namespace(argv, self.slave_path, env=env, wine=wine, **popen_args)
        return process

    def close(self):
        """Stops listening and closes the master side; to the program the device is gone (a module
        unplugged with its USB adapter). Closing again does nothing."""
        self._stop = True
        self._thread.join()
        if self._master is not None:
            os.close(self._master)
            self._master = None

    # --- a slow or stalled line --------------------------------------------------------------------

    def pause(self):
        """Stops reading: what the program writes then waits in the pty until resume()."""
        with self._lock:
            self._paused = True

    def resume(self):
        with self._lock:
            self._paused = False
            if self._pacer:
                self._pacer = Pacer(self._pacer.rate, time.monotonic())

    def pace(self, bytes_per_second):
        """Reads at most this many bytes a second from now on (960 is a 9600 8N1 line); None: at once."""
        with self._lock:
            self._pacer = Pacer(bytes_per_second, time.monotonic()) if bytes_per_second else None

    def _read_size(self):
        """How much the next read may take, or how long to wait before one: (bytes, seconds)."""
        with self._lock:
            if self._paused:
                return 0, 0.01
            if self._pacer is None:
                return 4096, 0.0
            allowed = min(4096, self._pacer.allowed(time.monotonic()))
            return (allowed, 0.0) if allowed else (0, self._pacer.wait())

    # --- listening ------------------------------------------------------------------------------------

    def line_settings(self):
        # On Linux a pty master answers with its slave's termios: what the program set.
        return LineSettings(termios.tcgetattr(self._master))

    def _listen(self):
        pending, started, settings, last = bytearray(), None, None, 0.0
        poller = select.poll()
        poller.register(self._master, select.POLLIN)
        while not self._stop:
            size, wait = self._read_size()
            # While the line is stalled or paced, only a hang-up is listened for.
            poller.modify(self._master, select.POLLIN if size else 0)
            events = poller.poll(10 if size else max(1, round(wait * 1000)))
            readable = size and any(event & select.POLLIN for _, event in events)
            hung_up = any(event & select.POLLHUP for _, event in events)
            if readable:
                # Asked again: a pause or pace may have come while poll waited.
                size = self._read_size()[0]
                if not size:
                    continue
                try:
                    chunk = os.read(self._master, size)
                except OSError:
                    chunk = b""
                if chunk:
                    if not pending:
                        started, settings = datetime.datetime.now(), self.line_settings()
                    pending += chunk
                    last = time.monotonic()
                    with self._lock:
                        if self._pacer:
                            self._pacer.took(len(chunk))
                        self._opened = True
                        self._received += chunk
                        self._reads.append(len(chunk))
                        self._lock.notify_all()
                    continue
            if pending and time.monotonic() - last >= FRAME_GAP:
                self._finish_frame(Frame(started, pending, settings))
                pending = bytearray()
            with self._lock:
                if not hung_up and not self._opened:
                    self._opened = True
                    self._lock.notify_all()
                elif hung_up and self._opened and not self._released and not readable:
                    self._released = True
                    self._lock.notify_all()
            if hung_up:
                # Nobody holds the slave, so poll would return at once: do not spin.
                time.sleep(0.01)
        if pending:
            self._finish_frame(Frame(started, pending, settings))

    def _finish_frame(self, frame):
        with self._lock:
            self._frames.append(frame)
            self._lock.notify_all()
        if self._on_frame:
            self._on_frame(frame)

    # --- what arrived -----------------------------------------------------------------------------------

    def received(self):
        with self._lock:
            return bytes(self._received)

    def read_sizes(self):
        """How many bytes each read took off the line, in order."""
        with self._lock:
            return list(self._reads)

    def wait_bytes(self, count, timeout=5.0):
        """Waits until at least `count` bytes have arrived in all, or until the timeout; returns all
        that has arrived."""
        with self._lock:
            self._lock.wait_for(lambda: len(self._received) >= count, timeout)
            return bytes(self._received)

    def whole_frames(self, frame):
        """What has arrived as copies of `frame` (one known frame sent again and again): (whole
        copies, the bytes after them); see whole_frames()."""
        return whole_frames(self.received(), frame)

    def wait_whole_frames(self, frame, count, timeout=10.0):
        """Waits until `count` whole copies of `frame` have arrived (or the stream has gone out of
        step, or the timeout); returns whole_frames()."""
        def enough():
            copies, rest = whole_frames(self._received, frame)
            return copies >= count or len(rest) >= len(frame)

        with self._lock:
            self._lock.wait_for(enough, timeout)
            return whole_frames(bytes(self._received), frame)

    def frames(self):
        with self._lock:
            return list(self._frames)

    def wait_opened(self, timeout=10.0):
        """True once the program has opened the port (at once if it already has)."""
        with self._lock:
            return self._lock.wait_for(lambda: self._opened, timeout)

    def wait_released(self, timeout=10.0):
        """True once the program, having opened the port, has closed it again."""
        with self._lock:
            return self._lock.wait_for(lambda: self._released, timeout)
