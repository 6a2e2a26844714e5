"""Starts tools/pty_cable/cable.py on a scratch prefix and talks to it, for the cable's own tests."""

import errno
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import termios
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
TOOLS = os.path.join(ROOT, "tools", "pty_cable")
CABLE = os.path.join(TOOLS, "cable.py")
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable

SPEED = {9600: termios.B9600, 57600: termios.B57600, 115200: termios.B115200}


class CableProcess:
    def __init__(self, *args, prefix=None, env=None):
        self.own_prefix = prefix is None
        self.prefix = prefix or tempfile.mkdtemp(prefix="cable-test-")
        self.dosdevices = os.path.join(self.prefix, "dosdevices")
        self.log_path = os.path.join(self.prefix, "cable.log")
        self.log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(
            [PYTHON, CABLE, "--prefix", self.prefix, "--exit-on-stdin-eof"] + list(args),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.log, env=env)
        self.ready = {}
        self.port = None
        self._sock = None
        self._pending = b""
        self._stdout = b""
        deadline = time.monotonic() + 10
        while self.port is None:
            line = self._stdout_line(deadline)
            if line is None:
                log = self.log_text()
                self.cleanup()
                raise RuntimeError("cable did not start: %s" % log)
            words = line.split()
            if words[0] == "READY":
                self.ready[words[1]] = words[2]
            elif words[0] == "CONTROL":
                self.port = int(words[1].rsplit(":", 1)[1])

    def _stdout_line(self, deadline):
        fd = self.proc.stdout.fileno()
        while b"\n" not in self._stdout:
            if not select.select([fd], [], [], max(0, deadline - time.monotonic()))[0]:
                return None
            data = os.read(fd, 4096)
            if not data:
                return None
            self._stdout += data
        line, self._stdout = self._stdout.split(b"\n", 1)
        return line.decode()

    def link(self, number):
        return os.path.join(self.dosdevices, "com%d" % number)

    def command(self, line):
        if self._sock is None:
            self._sock = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        self._sock.sendall(line.encode() + b"\n")
        while b"\n" not in self._pending:
            data = self._sock.recv(65536)
            if not data:
                raise ConnectionError("control connection closed")
            self._pending += data
        reply, self._pending = self._pending.split(b"\n", 1)
        return reply.decode()

    def ok(self, line):
        reply = self.command(line)
        if not reply.startswith("OK"):
            raise AssertionError("%r answered %r" % (line, reply))
        return reply[2:].strip()

    def stats(self, number):
        fields = dict(word.split("=", 1) for word in self.ok("%d stats" % number).split())
        fields["settings"] = [s for s in fields["settings"].split(",") if s]
        return fields

    def children(self):
        pids = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open("/proc/%s/stat" % entry) as stat:
                        if int(stat.read().rsplit(")", 1)[1].split()[1]) == self.proc.pid:
                            pids.append(int(entry))
                except (OSError, IndexError, ValueError):
                    pass
        return pids

    def log_text(self):
        self.log.flush()
        with open(self.log_path, "rb") as log:
            return log.read().decode(errors="replace")

    def stop(self, how="stdin"):
        if self._sock:
            self._sock.close()
            self._sock = None
        if self.proc.poll() is None:
            if how == "stdin":
                self.proc.stdin.close()
            elif how == "quit":
                with socket.create_connection(("127.0.0.1", self.port), timeout=10) as sock:
                    sock.sendall(b"quit\n")
                    sock.recv(100)
            else:
                self.proc.send_signal(how)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            if not stream.closed:
                stream.close()
        self.log.close()
        return self.proc.returncode

    def cleanup(self):
        self.stop()
        if self.own_prefix:
            shutil.rmtree(self.prefix, ignore_errors=True)


class Port:
    """The program's end of a cable, opened the way Wine opens it (no controlling tty)."""

    def __init__(self, path, baud=9600, stop_bits=1, flags=0, carry=None):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.set(baud, stop_bits, flags, carry)

    def set(self, baud, stop_bits=1, flags=0, carry=None):
        attrs = termios.tcgetattr(self.fd)
        attrs[0] = flags & (termios.IXON | termios.IXOFF)
        attrs[1] = 0
        attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL | (
            termios.CSTOPB if stop_bits == 2 else 0) | (flags & termios.CRTSCTS)
        attrs[3] = 0
        attrs[4] = attrs[5] = SPEED[baud]
        attrs[6][termios.VMIN], attrs[6][termios.VTIME] = 1, 0
        attrs[6][termios.VSWTC] = bytes([carry or 0])
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    def write(self, data):
        view = memoryview(data)
        while view:
            select.select([], [self.fd], [], 5)
            view = view[os.write(self.fd, view):]

    def read(self, count, timeout):
        """Reads until count bytes came or timeout passed; returns (data, time of last byte)."""
        data, last = b"", None
        deadline = time.monotonic() + timeout
        while len(data) < count:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                break
            try:
                chunk = os.read(self.fd, count - len(data))
            except BlockingIOError:
                continue
            except OSError as error:
                if error.errno == errno.EIO:
                    break
                raise
            if not chunk:
                break
            data += chunk
            last = time.monotonic()
        return data, last

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

