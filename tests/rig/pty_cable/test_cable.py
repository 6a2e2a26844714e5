#!/usr/bin/python3
"""The virtual loopback cable on Linux, without Wine: timing, fault modes, hang-up."""

import os
import select
import signal
import sys
import tempfile
import termios
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cable_fixture import CableProcess, Port  # noqa: E402

BLOCK = bytes((i * 37 + 11) & 0xFF for i in range(512))
SLACK = 0.015   # wake-up and scheduling on a busy machine, on top of the 5 %


class SharedCable(unittest.TestCase):
    """Two cables in one server; every test starts from a reset, flushed, restored line."""

    @classmethod
    def setUpClass(cls):
        cls.cable = CableProcess("--com", "5", "--com", "12")

    @classmethod
    def tearDownClass(cls):
        cls.cable.cleanup()

    def setUp(self):
        for number in (5, 12):
            if self.cable.stats(number)["hungup"] == "1":
                self.cable.ok("%d restore" % number)
            self.cable.ok("%d reset" % number)
            self.cable.ok("%d pacing on" % number)
        self.ports = []

    def tearDown(self):
        for port in self.ports:
            port.close()
        for number in (5, 12):
            self.cable.ok("%d flush" % number)

    def open(self, number, **settings):
        port = Port(self.cable.link(number), **settings)
        self.ports.append(port)
        return port

    def echo_time(self, port, data):
        start = time.monotonic()
        port.write(data)
        echoed, last = port.read(len(data), 3)
        self.assertEqual(echoed, data)
        return last - start


class TimingTest(SharedCable):
    ATTEMPTS = 3

    def assert_paced(self, measure, expected, what):
        """A line is never faster than its baud rate allows; being slower can be the
        machine's fault, so the upper bound needs only one of a few attempts.
        measure() gives the times taken, expected the times they should be."""
        tries = []
        for _ in range(self.ATTEMPTS):
            took = measure()
            tries.append(took)
            for one, want in zip(took, expected):
                self.assertGreaterEqual(one, want * 0.95, "%s: echo faster than the line" % what)
            if all(one <= want * 1.05 + SLACK for one, want in zip(took, expected)):
                return
        self.fail("%s: took %s s, expected %s s" % (what, tries, expected))

    def test_echo_takes_the_time_the_line_setting_needs(self):
        cases = [  # baud, stop bits, bits per byte
            (9600, 1, 10),
            (115200, 1, 10),
            (57600, 2, 11),
            (9600, 2, 11),
        ]
        port = self.open(5)
        for baud, stop_bits, framing in cases:
            with self.subTest(baud=baud, stop_bits=stop_bits):
                port.set(baud, stop_bits)
                self.assert_paced(lambda: [self.echo_time(port, BLOCK)],
                                  [len(BLOCK) * framing / baud], "%d %d" % (baud, stop_bits))

    def test_pacing_off_echoes_at_once(self):
        port = self.open(5, baud=9600)
        self.cable.ok("5 pacing off")
        self.assertLess(self.echo_time(port, BLOCK), 0.1)

    def test_cables_keep_their_own_pace_side_by_side(self):
        slow, fast = self.open(5, baud=9600), self.open(12, baud=115200)

        def both():
            start = time.monotonic()
            slow.write(BLOCK)
            fast.write(BLOCK)
            ends = {}
            received = {slow.fd: b"", fast.fd: b""}
            while len(ends) < 2 and time.monotonic() - start < 3:
                for fd in select.select([p for p in received if p not in ends], [], [], 1)[0]:
                    received[fd] += os.read(fd, 4096)
                    if len(received[fd]) == len(BLOCK):
                        ends[fd] = time.monotonic() - start
            self.assertEqual(received, {slow.fd: BLOCK, fast.fd: BLOCK})
            return [ends[slow.fd], ends[fast.fd]]

        self.assert_paced(both, [len(BLOCK) * 10 / 9600, len(BLOCK) * 10 / 115200], "9600 beside 115200")


class FaultTest(SharedCable):
    def test_fault_modes_shape_the_echo(self):
        corrupted = bytearray(BLOCK)
        for offset in (0, 100, 511):
            corrupted[offset] ^= 0xFF
        cases = [  # name, requests, bytes expected back, how long to wait for more
            ("noecho", ["noecho on"], b"", 0.3),
            ("corrupt", ["corrupt 0,100,511"], bytes(corrupted), 0.1),
            ("echo-only", ["echo-only 100"], BLOCK[:100], 0.2),
            ("cleared", ["noecho on", "corrupt 3", "echo-only 1", "reset"], BLOCK, 0.1),
            ("corrupt none", ["corrupt 3", "corrupt none"], BLOCK, 0.1),
            ("far end at another rate", ["mismatch 9600"], bytes(b ^ 0x55 for b in BLOCK), 0.1),
            ("far end at the same rate", ["mismatch 115200"], BLOCK, 0.1),
            ("mismatch none", ["mismatch 9600", "mismatch none"], BLOCK, 0.1),
        ]
        for name, requests, expected, wait in cases:
            with self.subTest(name):
                self.cable.ok("5 reset")
                for request in requests:
                    self.cable.ok("5 " + request)
                port = self.open(5, baud=115200)
                port.write(BLOCK)
                echoed, _ = port.read(len(BLOCK), 0.2 + wait)
                self.assertEqual(echoed, expected)
                stats = self.cable.stats(5)
                self.assertEqual((stats["in"], stats["out"]), (str(len(BLOCK)), str(len(expected))))
                port.close()

    def test_corrupt_offsets_count_the_whole_received_stream(self):
        port = self.open(5, baud=115200)
        self.cable.ok("5 corrupt 600")
        self.echo_time(port, BLOCK)   # offsets 0 to 511 come back untouched
        expected = bytearray(BLOCK)
        expected[600 - len(BLOCK)] ^= 0xFF
        port.write(BLOCK)
        self.assertEqual(port.read(len(BLOCK), 1)[0], bytes(expected))

    def test_delay_holds_each_burst_back(self):
        port = self.open(5, baud=115200)
        self.cable.ok("5 pacing off")
        self.cable.ok("5 delay 400")
        start = time.monotonic()
        port.write(BLOCK[:64])
        early, _ = port.read(64, 0.3)
        self.assertEqual(early, b"")
        late, last = port.read(64, 1)
        self.assertEqual(late, BLOCK[:64])
        self.assertLess(last - start, 0.4 + 0.1)

    def test_stall_stops_the_writer_until_reading_resumes(self):
        port = self.open(5, baud=115200)
        self.cable.ok("5 pacing off")
        self.cable.ok("5 stall on")
        written = 0
        chunk = bytes(4096)
        while written < 4 << 20:
            try:
                written += os.write(port.fd, chunk)
            except BlockingIOError:
                break
        self.assertLess(written, 4 << 20, "the writer never stalled")
        self.assertEqual(self.cable.stats(5)["in"], "0")
        self.cable.ok("5 stall off")
        echoed = b""
        while len(echoed) < written:
            more, _ = port.read(written - len(echoed), 2)
            if not more:
                break
            echoed += more
        self.assertEqual(len(echoed), written)

    def test_flush_drops_echoes_still_on_the_way_and_unread(self):
        port = self.open(5, baud=115200)
        self.cable.ok("5 pacing off")
        port.write(b"stale")
        time.sleep(0.1)          # echoed, unread
        self.cable.ok("5 delay 200")
        port.write(b"queued")    # not yet echoed
        self.cable.ok("5 flush")
        self.assertEqual(port.read(100, 0.4)[0], b"")
        self.cable.ok("5 delay 0")
        self.echo_time(port, b"fresh")


class HangUpTest(SharedCable):
    def assert_gone(self, port, number):
        self.assertFalse(os.path.lexists(self.cable.link(number)))
        self.assertEqual(self.cable.stats(number)["hungup"], "1")
        with self.assertRaises(OSError):
            port.write(b"x")

    def test_hang_up_on_command_and_after_a_count(self):
        for name, request, received in (("on command", "hangup", 0), ("after 100", "hangup-after 100", 100)):
            with self.subTest(name):
                if self.cable.stats(5)["hungup"] == "1":
                    self.cable.ok("5 restore")
                self.cable.ok("5 reset")
                port = self.open(5, baud=115200)
                self.cable.ok("5 " + request)
                if received:
                    port.write(BLOCK)
                    deadline = time.monotonic() + 2
                    while os.path.lexists(self.cable.link(5)) and time.monotonic() < deadline:
                        time.sleep(0.01)
                self.assert_gone(port, 5)
                self.assertEqual(self.cable.stats(5)["in"], str(received))
                port.close()

    def test_restore_brings_a_new_device(self):
        self.open(5, baud=57600)
        self.cable.ok("5 hangup")
        reply = self.cable.ok("5 restore").split()
        self.assertEqual(reply[0], "com5")
        self.assertEqual(os.readlink(self.cable.link(5)), reply[1])
        self.assertEqual(self.cable.stats(5)["settings"], ["9600-8N1-none", "57600-8N1-none", "9600-8N1-none"])
        port = self.open(5, baud=115200)
        self.assertLess(self.echo_time(port, BLOCK), 0.2)
        self.assertTrue(self.cable.command("5 restore").startswith("ERR"))


class ReportTest(SharedCable):
    def test_stats_keep_each_line_setting_in_order(self):
        port = self.open(5, baud=9600)
        self.cable.ok("5 reset")
        steps = [  # settings, label; each one then sees data flow
            (dict(baud=57600), "57600-8N1-none"),
            (dict(baud=115200, stop_bits=2, flags=termios.CRTSCTS), "115200-8N2-rtscts"),
            (dict(baud=9600, flags=termios.IXON | termios.IXOFF), "9600-8N1-xonxoff"),
            (dict(baud=9600, flags=termios.IXON | termios.CRTSCTS), "9600-8N1-both"),
            (dict(baud=9600, carry=0x80 | 2 | 4), "9600-7E1-none"),
        ]
        for settings, _ in steps:
            port.set(**settings)
            self.echo_time(port, b"U")
        stats = self.cable.stats(5)
        self.assertEqual(stats["settings"], ["9600-8N1-none"] + [label for _, label in steps])
        self.assertEqual({k: stats[k] for k in ("baud", "bits", "parity", "stop", "rtscts", "ixon", "ixoff")},
                         dict(baud="9600", bits="7", parity="E", stop="1", rtscts="0", ixon="0", ixoff="0"))
        self.assertEqual((stats["in"], stats["out"]), ("5", "5"))
        self.assertIn("com5 line 115200-8N2-rtscts", self.cable.log_text())

    def test_a_change_without_data_is_reported_too(self):
        port = self.open(5, baud=9600)
        port.set(57600)
        deadline = time.monotonic() + 1
        while "57600" not in self.cable.log_text() and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertIn("com5 line 57600-8N1-none", self.cable.log_text())

    def test_record_holds_what_was_received(self):
        port = self.open(5, baud=115200)
        self.cable.ok("5 noecho on")
        port.write(BLOCK)
        port.write(b"tail")
        deadline = time.monotonic() + 1
        while self.cable.stats(5)["in"] != str(len(BLOCK) + 4) and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual(bytes.fromhex(self.cable.ok("5 record")), BLOCK + b"tail")
        self.cable.ok("5 reset")
        self.assertEqual(self.cable.ok("5 record"), "")

    def test_holders_count_the_opens_of_other_processes_only(self):
        self.assertEqual(self.cable.ok("5 holders"), "0")
        port = self.open(5)
        self.assertEqual(self.cable.ok("5 holders"), "1")
        self.assertEqual(self.cable.ok("12 holders"), "0")
        port.close()
        self.ports.remove(port)
        self.assertEqual(self.cable.ok("5 holders"), "0")

    def test_the_pty_is_the_controlling_terminal_of_a_session_of_its_own(self):
        device = os.stat(self.cable.link(5)).st_rdev
        leaders = []
        for pid in self.cable.children():
            with open("/proc/%d/stat" % pid) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            session, tty = int(fields[3]), int(fields[4])
            if tty == device:
                leaders.append(pid == session)
        self.assertEqual(leaders, [True])

    def test_requests_it_cannot_serve_answer_err(self):
        for request in ("7 stats", "5 bogus", "5 noecho maybe", "5 corrupt x", "5 echo-only -1",
                        "add 5", "remove 99", "add 0", "", "5", "add 8 --flavour bridge",
                        "add 8 --sticky-wait", "add 8 --removal-code 31"):
            with self.subTest(request):
                self.assertTrue(self.cable.command(request).startswith("ERR"))
        self.assertEqual(self.cable.command("ping"), "OK")


class LifeCycleTest(unittest.TestCase):
    def test_options_from_the_command_line(self):
        cases = [  # options, bytes expected back at 115200
            (["--noecho"], b""),
            (["--echo-only", "3"], BLOCK[:3]),
            (["--corrupt", "1"], BLOCK[:1] + bytes([BLOCK[1] ^ 0xFF]) + BLOCK[2:8]),
            (["--instant", "--delay", "0"], BLOCK[:8]),
        ]
        for options, expected in cases:
            with self.subTest(options):
                cable = CableProcess("--com", "3", *options)
                try:
                    port = Port(cable.link(3), baud=115200)
                    port.write(BLOCK[:8])
                    self.assertEqual(port.read(8, 0.3)[0], expected)
                    port.close()
                finally:
                    cable.cleanup()

    def test_hangup_after_and_record_from_the_command_line(self):
        with tempfile.TemporaryDirectory() as scratch:
            record = os.path.join(scratch, "received")
            cable = CableProcess("--com", "10", "--hangup-after", "4", "--record", record)
            try:
                port = Port(cable.link(10), baud=115200)
                port.write(b"abcdefgh")
                deadline = time.monotonic() + 2
                while os.path.lexists(cable.link(10)) and time.monotonic() < deadline:
                    time.sleep(0.01)
                self.assertFalse(os.path.lexists(cable.link(10)))
                with open(record, "rb") as recorded:
                    self.assertEqual(recorded.read(), b"abcd")
                port.close()
            finally:
                cable.cleanup()

    def test_every_way_to_stop_removes_links_and_children(self):
        for how in ("stdin", "quit", signal.SIGTERM, signal.SIGINT):
            with self.subTest(how=str(how)):
                cable = CableProcess("--com", "4", "--com", "11")
                try:
                    cable.ok("add 20 --instant")
                    children = cable.children()
                    self.assertEqual(len(children), 3)
                    self.assertEqual(sorted(os.listdir(cable.dosdevices)), ["com11", "com20", "com4"])
                    self.assertEqual(cable.stop(how), 0)
                    self.assertEqual(os.listdir(cable.dosdevices), [])
                    for pid in children:
                        self.assertFalse(os.path.exists("/proc/%d" % pid), "child %d left" % pid)
                finally:
                    cable.cleanup()

    def test_links_replace_only_links(self):
        cable = CableProcess()
        try:
            os.makedirs(cable.dosdevices, exist_ok=True)
            os.symlink("/dev/null", cable.link(6))
            with open(cable.link(7), "w"):
                pass
            pts = cable.ok("add 6").split()[1]
            self.assertEqual(os.readlink(cable.link(6)), pts)
            self.assertTrue(cable.command("add 7").startswith("ERR"))
            self.assertTrue(os.path.isfile(cable.link(7)))
            self.assertEqual(len(cable.children()), 1, "the refused cable left its child")
            cable.ok("remove 6")
            self.assertFalse(os.path.lexists(cable.link(6)))
        finally:
            cable.cleanup()


if __name__ == "__main__":
    unittest.main()
