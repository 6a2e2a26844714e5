"""The line setting a program chose on its end of a pty, read from the slave's termios."""

import fcntl
import struct
import termios

# A pty forces CS8 and clears PARENB whatever the program asks for. The modem-line
# preload keeps the asked-for data bits and parity enable in this otherwise unused
# control character (bit 7 = present, bits 0-1 = CSIZE index, bit 2 = PARENB).
CARRY_INDEX = termios.VSWTC
CARRY_PRESENT = 0x80
CARRY_PARENB = 0x04

CMSPAR = getattr(termios, "CMSPAR", 0o10000000000)
TCGETS2 = 0x802C542A  # struct termios2: numeric speeds, also for rates without a B constant

SPEEDS = {getattr(termios, "B%d" % rate): rate
          for rate in (0, 50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800,
                       9600, 19200, 38400, 57600, 115200, 230400, 460800, 500000, 576000,
                       921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000,
                       3500000, 4000000)
          if hasattr(termios, "B%d" % rate)}
DATA_BITS = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}


class LineSettings:
    """What the program set on its end of the line, as read from the slave's termios."""

    FIELDS = ("baud", "bits", "parity", "stop", "rtscts", "ixon", "ixoff")

    def __init__(self, baud, bits, parity, stop, rtscts, ixon, ixoff):
        self.baud, self.bits, self.parity, self.stop = baud, bits, parity, stop
        self.rtscts, self.ixon, self.ixoff = rtscts, ixon, ixoff

    def _key(self):
        return tuple(getattr(self, name) for name in self.FIELDS)

    def __eq__(self, other):
        return isinstance(other, LineSettings) and self._key() == other._key()

    def __hash__(self):
        return hash(self._key())

    def flow(self):
        xonxoff = self.ixon or self.ixoff
        if self.rtscts and xonxoff:
            return "both"
        if self.rtscts:
            return "rtscts"
        return "xonxoff" if xonxoff else "none"

    def label(self):
        return "%d-%d%s%d-%s" % (self.baud, self.bits, self.parity, self.stop, self.flow())

    def seconds_per_byte(self):
        if self.baud <= 0:
            return 0.0
        framing = 1 + self.bits + (0 if self.parity == "N" else 1) + self.stop
        return framing / self.baud

    def fields(self):
        return "baud=%d bits=%d parity=%s stop=%d rtscts=%d ixon=%d ixoff=%d" % (
            self.baud, self.bits, self.parity, self.stop,
            self.rtscts, self.ixon, self.ixoff)

    @staticmethod
    def read(fd):
        iflag, _, cflag, _, _, ospeed, cc = termios.tcgetattr(fd)
        try:
            raw = fcntl.ioctl(fd, TCGETS2, bytes(44))
            baud = struct.unpack_from("I", raw, 40)[0]
        except OSError:
            baud = SPEEDS.get(ospeed, 0)
        carried = cc[CARRY_INDEX]
        carried = carried[0] if isinstance(carried, bytes) else carried
        if carried & CARRY_PRESENT:
            bits = 5 + (carried & 3)
            parenb = bool(carried & CARRY_PARENB)
        else:
            bits = DATA_BITS[cflag & termios.CSIZE]
            parenb = bool(cflag & termios.PARENB)
        # The pty keeps PARODD and CMSPAR, so odd, mark and space survive even without
        # the preload; only even parity needs the carried PARENB.
        odd, sticky = bool(cflag & termios.PARODD), bool(cflag & CMSPAR)
        if not parenb and not odd and not sticky:
            parity = "N"
        elif sticky:
            parity = "M" if odd else "S"
        else:
            parity = "O" if odd else "E"
        return LineSettings(baud, bits, parity, 2 if cflag & termios.CSTOPB else 1,
                            int(bool(cflag & termios.CRTSCTS)),
                            int(bool(iflag & termios.IXON)), int(bool(iflag & termios.IXOFF)))


def make_raw_9600(fd):
    """A fresh port state: raw 9600 8N1, so nothing the line discipline does echoes or
    translates bytes before the program sets its own mode."""
    attrs = termios.tcgetattr(fd)
    attrs[0] = 0
    attrs[1] = 0
    attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
    attrs[3] = 0
    attrs[4] = attrs[5] = termios.B9600
    attrs[6][termios.VMIN] = 1
    attrs[6][termios.VTIME] = 0
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
