"""One virtual loopback cable: a pty pair whose master end echoes what it receives.

The slave end is what a Windows program under Wine opens as COMn. The master end
plays the loopback plug and the wire: it reads what the program wrote and sends it
back, paced at the line setting the program chose, with optional faults.
"""

import fcntl
import math
import os
import signal
import termios

from line_settings import LineSettings, make_raw_9600


def spawn_session_holder(slave_path):
    """Fork a child that makes the slave the controlling terminal of a session of its own.

    A tty that is nobody's controlling terminal is taken by the first session leader that
    opens it without O_NOCTTY: the wineserver, which then gets SIGHUP on every hang-up.
    Returns (pid, release_fd); closing release_fd (or our death) ends the child.
    """
    ready_r, ready_w = os.pipe()
    release_r, release_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            for fd in _open_fds():
                if fd not in (ready_w, release_r):
                    try:
                        os.close(fd)
                    except OSError:
                        pass
            null = os.open(os.devnull, os.O_RDWR)
            for std in (0, 1, 2):
                os.dup2(null, std)
            for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
                signal.signal(signum, signal.SIG_DFL)
            os.setsid()
            tty = os.open(slave_path, os.O_RDWR)
            fcntl.ioctl(tty, termios.TIOCSCTTY, 0)
            os.write(ready_w, b"1")
            os.close(ready_w)
            os.read(release_r, 1)
        finally:
            os._exit(0)
    os.close(ready_w)
    os.close(release_r)
    try:
        ok = os.read(ready_r, 1) == b"1"
    finally:
        os.close(ready_r)
    if not ok:
        os.close(release_w)
        reap(pid)
        raise OSError("cannot make %s a controlling terminal" % slave_path)
    return pid, release_w


def _open_fds():
    return [int(name) for name in os.listdir("/proc/self/fd") if int(name) > 2]


def reap(pid):
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    try:
        os.waitpid(pid, 0)
    except ChildProcessError:
        pass


class Faults:
    """Fault modes of one cable; a fresh object is the healthy cable."""

    def __init__(self):
        self.noecho = False
        self.corrupt = set()     # offsets in the received stream since reset
        self.echo_only = None    # echo bytes at offsets below this, drop the rest
        self.delay_ms = 0        # extra wait before each received burst is echoed
        self.stall = False       # stop reading the master: the writer stalls when buffers fill
        self.hangup_after = None
        self.mismatch = None     # the far end's baud rate

    def describe(self):
        parts = []
        if self.noecho:
            parts.append("noecho")
        if self.corrupt:
            parts.append("corrupt=" + ",".join(str(o) for o in sorted(self.corrupt)))
        if self.echo_only is not None:
            parts.append("echo-only=%d" % self.echo_only)
        if self.delay_ms:
            parts.append("delay=%d" % self.delay_ms)
        if self.stall:
            parts.append("stall")
        if self.hangup_after is not None:
            parts.append("hangup-after=%d" % self.hangup_after)
        if self.mismatch is not None:
            parts.append("mismatch=%d" % self.mismatch)
        return " ".join(parts) or "none"


class Cable:
    """The pty, its link as dosdevices/comN, the echo queue, counters and fault modes.

    Times are time.monotonic() seconds. The owner calls on_readable/on_writable when
    the master is ready, and service(now) whenever next_deadline() has passed.
    """

    POLL_SETTINGS = 0.010   # how often the slave's termios is looked at
    SETTLE = 0.020          # one change of settings is several tcsetattr calls in a row

    def __init__(self, number, dosdevices, log, pacing=True, record_path=None):
        self.number = number
        self.name = "com%d" % number
        self.link = os.path.join(dosdevices, self.name)
        self.log = log
        self.pacing = pacing
        self.latency_ms = 16    # the driver cable's bridge word; a pty has no packets
        self.faults = Faults()
        self.record_file = None
        self.master = self.slave = None
        self.child = self.release_fd = None
        self.pts = None
        self.hungup = True
        self.settings = None
        self._reset_counters()
        self.open()
        if record_path:
            try:
                self.record_file = open(record_path, "wb")
            except OSError:
                self.close()
                raise

    def _reset_counters(self):
        self.bytes_in = 0
        self.bytes_out = 0
        self.received = bytearray()
        self.history = []
        self.queue = []          # segments [first_due, step, data, sent]
        self.blocked = False
        self.line_free_at = 0.0  # when the last queued echo byte has gone out
        self._candidate = None
        self._candidate_since = 0.0
        self._next_poll = 0.0

    # ---- life cycle -------------------------------------------------------------
    def open(self):
        if os.path.lexists(self.link) and not os.path.islink(self.link):
            raise OSError("%s exists and is not a link" % self.link)
        # openpty's slave is O_NOCTTY. Ours stays open so that the master never reads
        # EIO between the program's opens, and so that the program's termios can be read.
        master, slave = os.openpty()
        child = release_fd = None
        try:
            os.set_blocking(master, False)
            os.set_blocking(slave, False)
            self.pts = os.ttyname(slave)
            make_raw_9600(slave)
            child, release_fd = spawn_session_holder(self.pts)
            self._link()
        except BaseException:
            for fd in (master, slave, release_fd):
                if fd is not None:
                    os.close(fd)
            if child is not None:
                reap(child)
            raise
        self.master, self.slave = master, slave
        self.child, self.release_fd = child, release_fd
        self.hungup = False
        self.settings = LineSettings.read(slave)
        if not self.history or self.history[-1] != self.settings:
            self.history.append(self.settings)
        self._candidate = None
        self.queue = []
        self.blocked = False
        self.line_free_at = 0.0

    def _link(self):
        temp = "%s.cable-%d" % (self.link, os.getpid())
        if os.path.lexists(temp):
            os.unlink(temp)
        os.symlink(self.pts, temp)
        os.replace(temp, self.link)

    def _unlink(self):
        try:
            if os.readlink(self.link) == self.pts:
                os.unlink(self.link)
        except OSError:
            pass

    def hang_up(self, why):
        if self.hungup:
            return
        self.current_settings()   # the last setting before the line went stays in the report
        self.hungup = True
        self._unlink()
        for fd in (self.master, self.slave, self.release_fd):
            try:
                os.close(fd)
            except OSError:
                pass
        reap(self.child)
        self.master = self.slave = self.release_fd = self.child = None
        self.queue = []
        self.blocked = False
        self.log("%s hung up (%s)" % (self.name, why))

    def restore(self):
        if not self.hungup:
            return False
        self.open()
        self.log("%s restored on %s" % (self.name, self.pts))
        return True

    def close(self):
        self.hang_up("closed")
        if self.record_file:
            self.record_file.close()
            self.record_file = None

    # ---- commands ---------------------------------------------------------------
    def reset(self):
        self.faults = Faults()
        in_flight = self.queue, self.line_free_at, self.blocked
        self._reset_counters()
        self.queue, self.line_free_at, self.blocked = in_flight
        if not self.hungup:
            self.settings = LineSettings.read(self.slave)
        # The history starts with the setting in force, so its last entry is always the
        # current one.
        self.history = [self.settings]

    def flush(self):
        self.queue = []
        self.blocked = False
        self.line_free_at = 0.0
        if not self.hungup:
            termios.tcflush(self.slave, termios.TCIOFLUSH)
            try:
                while os.read(self.master, 65536):
                    pass
            except (BlockingIOError, OSError):
                pass

    def current_settings(self):
        """Reads the termios now, so a reply never lags behind the program's last call."""
        if not self.hungup:
            self._note_settings(LineSettings.read(self.slave), None)
        return self.settings

    def stats(self):
        settings = self.current_settings()
        return "%s in=%d out=%d hungup=%d flavour=uart latency=%d settings=%s" % (
            settings.fields(), self.bytes_in, self.bytes_out, int(self.hungup), self.latency_ms,
            ",".join(s.label() for s in self.history))

    def holders(self):
        """Open descriptors of the slave in processes other than this one and its holder.

        Wine enforces no share mode on a COM port, so a second open cannot tell whether a
        program let go of it; the descriptors can.
        """
        own = {os.getpid(), self.child}
        count = 0
        for pid in filter(str.isdigit, os.listdir("/proc")):
            if int(pid) in own:
                continue
            try:
                fds = os.listdir("/proc/%s/fd" % pid)
            except OSError:
                continue
            for fd in fds:
                try:
                    count += os.readlink("/proc/%s/fd/%s" % (pid, fd)) == self.pts
                except OSError:
                    pass
        return count

    # ---- event loop hooks -------------------------------------------------------
    def wants_read(self):
        return not self.hungup and not self.faults.stall

    def wants_write(self):
        return not self.hungup and self.blocked

    def next_deadline(self):
        if self.hungup:
            return None
        deadline = self._next_poll
        if self._candidate is not None:
            deadline = min(deadline, self._candidate_since + self.SETTLE)
        if self.queue and not self.blocked:
            first_due, step, _, sent = self.queue[0]
            deadline = min(deadline, first_due + sent * step)
        return deadline

    def on_readable(self, now):
        limit = 65536
        if self.faults.hangup_after is not None:
            limit = max(0, min(limit, self.faults.hangup_after - self.bytes_in))
        data = b""
        if limit:
            try:
                data = os.read(self.master, limit)
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                data = b""
        if data:
            self._note_settings(LineSettings.read(self.slave), now, settled=True)
            self._receive(data, now)
        if self.faults.hangup_after is not None and self.bytes_in >= self.faults.hangup_after:
            self.faults.hangup_after = None
            self.hang_up("after %d bytes" % self.bytes_in)

    def on_writable(self, now):
        self.blocked = False
        self._send_due(now)

    def service(self, now):
        if self.hungup:
            return
        if now >= self._next_poll:
            self._next_poll = now + self.POLL_SETTINGS
            self._note_settings(LineSettings.read(self.slave), now)
        elif self._candidate is not None:
            self._note_settings(self._candidate, now)
        self._send_due(now)

    # ---- internals --------------------------------------------------------------
    def _note_settings(self, seen, now, settled=False):
        """Takes a change into the history once it has held for SETTLE, or at once when
        data flows or someone asks (now is None): by then the program is done setting."""
        if seen == self.settings:
            self._candidate = None
            return
        if seen != self._candidate:
            self._candidate, self._candidate_since = seen, now if now is not None else 0.0
        if settled or now is None or now - self._candidate_since >= self.SETTLE:
            self.settings = seen
            self._candidate = None
            self.history.append(seen)
            self.log("%s line %s" % (self.name, seen.label()))

    def _receive(self, data, now):
        first = self.bytes_in
        self.bytes_in += len(data)
        self.received += data
        if self.record_file:
            self.record_file.write(data)
            self.record_file.flush()
        faults = self.faults
        if faults.noecho:
            return
        echo = bytearray(data)
        if faults.echo_only is not None:
            del echo[max(0, faults.echo_only - first):]
        for offset in faults.corrupt:
            if first <= offset < first + len(echo):
                echo[offset - first] ^= 0xFF
        if faults.mismatch is not None and faults.mismatch != self.settings.baud:
            # A receiver at another rate samples the wrong bits of every frame; any change
            # of each byte serves, as long as none comes back as it was sent.
            echo = bytearray(b ^ 0x55 for b in echo)
        if not echo:
            return
        start = now + faults.delay_ms / 1000.0
        step = self.settings.seconds_per_byte() if self.pacing else 0.0
        # A byte is back once the previous one is and its own frame time has passed.
        first_due = max(start, self.line_free_at) + step
        self.queue.append([first_due, step, bytes(echo), 0])
        self.line_free_at = first_due + (len(echo) - 1) * step

    def _send_due(self, now):
        while self.queue and not self.hungup:
            first_due, step, data, sent = self.queue[0]
            if step > 0:
                due = min(len(data), int(math.floor((now - first_due) / step + 1e-9)) + 1)
            else:
                due = len(data) if now >= first_due else 0
            if due <= sent:
                return
            try:
                written = os.write(self.master, data[sent:due])
            except (BlockingIOError, InterruptedError):
                self.blocked = True
                return
            except OSError as error:
                self.log("%s write failed: %s" % (self.name, error))
                return
            self.bytes_out += written
            sent += written
            if sent == len(data):
                self.queue.pop(0)
            else:
                self.queue[0][3] = sent
            if sent < due:
                self.blocked = True   # the program's input buffer is full: wait for room
                return
