#!/usr/bin/python3
"""The modem-line preload, loaded into a Python process instead of Wine: Python's termios
and fcntl reach the same libc entry points that Wine's serial code calls."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cable_fixture import PYTHON, TOOLS, CableProcess  # noqa: E402

# Runs inside the preloaded process; prints one JSON object.
PROBE = r'''
import errno, fcntl, json, os, select, struct, sys, termios, time
M = {"rts": termios.TIOCM_RTS, "dtr": termios.TIOCM_DTR, "cts": termios.TIOCM_CTS,
     "dsr": termios.TIOCM_DSR, "cd": termios.TIOCM_CAR, "ri": termios.TIOCM_RNG}
def lines(fd):
    bits = struct.unpack("i", fcntl.ioctl(fd, termios.TIOCMGET, struct.pack("i", 0)))[0]
    return sorted(name for name, bit in M.items() if bits & bit)
def change(fd, request, names):
    fcntl.ioctl(fd, getattr(termios, request), struct.pack("i", sum(M[n] for n in names)))
def framing(fd):
    cflag = termios.tcgetattr(fd)[2]
    return [{termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE],
            bool(cflag & termios.PARENB), bool(cflag & termios.PARODD), bool(cflag & termios.CSTOPB)]
def set_framing(fd, size, flags, speed=termios.B9600):
    attrs = termios.tcgetattr(fd)
    attrs[0] = attrs[1] = attrs[3] = 0
    attrs[2] = termios.CREAD | termios.CLOCAL | size | flags
    attrs[4] = attrs[5] = speed
    attrs[6][termios.VMIN], attrs[6][termios.VTIME] = 1, 0
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
out = {}
mode, path = sys.argv[1], sys.argv[2]
if mode == "lines":
    master, slave = os.openpty()
    out["fresh"] = lines(slave)
    steps = [("TIOCMBIC", ["rts"]), ("TIOCMBIC", ["dtr"]), ("TIOCMBIS", ["dtr", "ri"]),
             ("TIOCMSET", ["rts"]), ("TIOCMBIS", ["rts", "dtr"]), ("TIOCMBIC", ["rts"])]
    out["steps"] = []
    for request, names in steps:
        change(slave, request, names)
        out["steps"].append(lines(slave))
    number, name = slave, os.ttyname(slave)
    os.close(slave)
    again = os.open(name, os.O_RDWR | os.O_NOCTTY)
    out["reopened_same_fd"] = again == number
    out["reopened"] = lines(again)
    read_end, _ = os.pipe()
    try:
        lines(read_end)
        out["pipe"] = "answered"
    except OSError as error:
        out["pipe"] = errno.errorcode[error.errno]
    out["fionread"] = struct.unpack("i", fcntl.ioctl(master, termios.FIONREAD, struct.pack("i", 0)))[0]
    os.close(master)
    try:
        out["hung_up"] = lines(again)
    except OSError as error:
        out["hung_up"] = errno.errorcode[error.errno]
elif mode == "framing":
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    out["framings"] = []
    for size, flags in ((termios.CS7, termios.PARENB), (termios.CS8, termios.PARENB | termios.PARODD | termios.CSTOPB),
                        (termios.CS5, 0), (termios.CS8, 0), (termios.CS7, termios.PARENB | termios.CSTOPB)):
        set_framing(fd, size, flags)
        out["framings"].append(framing(fd))
    data = bytes(range(256)) * 2
    start = time.monotonic()
    os.write(fd, data)
    got = b""
    while len(got) < len(data) and select.select([fd], [], [], 3)[0]:
        got += os.read(fd, 4096)
    out["echo_ms"] = (time.monotonic() - start) * 1000
    out["echo_same"] = got == data
print(json.dumps(out))
'''


def build_preload(directory):
    subprocess.run(["sh", os.path.join(TOOLS, "build_modemlines.sh"), directory], check=True)
    return os.path.join(directory, "modemlines.so")


@unittest.skipUnless(shutil.which("gcc"), "needs the host C compiler")
class ModemLinesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="modemlines-test-")
        cls.preload = build_preload(cls.scratch)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def probe(self, mode, path):
        env = dict(os.environ, LD_PRELOAD=self.preload)
        done = subprocess.run([PYTHON, "-c", PROBE, mode, path], env=env,
                              capture_output=True, text=True, timeout=20)
        self.assertEqual(done.returncode, 0, done.stderr)
        return json.loads(done.stdout)

    def test_modem_lines_behave_like_a_loopback_plug(self):
        result = self.probe("lines", "")
        self.assertEqual(result["fresh"], ["cd", "cts", "dsr", "dtr", "rts"])
        self.assertEqual(result["steps"], [
            ["cd", "dsr", "dtr"],            # RTS off: CTS follows
            [],                              # DTR off: DSR and CD follow
            ["cd", "dsr", "dtr"],            # RI is not an output; only DTR comes on
            ["cts", "rts"],
            ["cd", "cts", "dsr", "dtr", "rts"],
            ["cd", "dsr", "dtr"],            # left so; a reopen must not inherit it
        ])
        self.assertTrue(result["reopened_same_fd"], "the probe meant to reuse the descriptor")
        self.assertEqual(result["reopened"], ["cd", "cts", "dsr", "dtr", "rts"])
        self.assertEqual(result["pipe"], "ENOTTY")
        self.assertEqual(result["fionread"], 0)
        self.assertEqual(result["hung_up"], "EIO")

    def test_framing_the_pty_cannot_hold_reaches_the_cable(self):
        cable = CableProcess("--com", "9")
        try:
            result = self.probe("framing", cable.link(9))
            stats = cable.stats(9)
        finally:
            cable.cleanup()
        self.assertEqual(result["framings"], [
            [7, True, False, False], [8, True, True, True], [5, False, False, False],
            [8, False, False, False], [7, True, False, True]])
        self.assertEqual(stats["settings"][-1], "9600-7E2-none")
        self.assertTrue(result["echo_same"])
        expected = 512 * 11 / 9600 * 1000
        self.assertGreaterEqual(result["echo_ms"], expected * 0.95)
        self.assertLessEqual(result["echo_ms"], expected * 1.05 + 15)


if __name__ == "__main__":
    unittest.main()
