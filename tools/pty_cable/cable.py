#!/usr/bin/python3
"""Virtual loopback serial cables for Windows programs under Wine.

Each cable is a pty whose slave is linked as $WINEPREFIX/dosdevices/comN; whatever
the program writes comes back, paced at the baud rate and framing it set, unless a
fault mode says otherwise.

    cable.py --prefix DIR --com 5 [--com 6 ...] [--control-port P] [--control-file F]
             [--instant] [--noecho] [--corrupt OFF,...] [--echo-only N] [--delay MS]
             [--stall] [--hangup-after N] [--mismatch BAUD] [--record FILE]
             [--exit-on-stdin-eof] [--quiet]

Cable options apply to every --com given. Stdout gets `READY comN /dev/pts/X` per
cable once its link exists, then `CONTROL 127.0.0.1:PORT`; --control-file gets the
port number. Log lines (line-setting changes, hang-ups) go to stderr. SIGTERM,
SIGINT, `quit` and, with --exit-on-stdin-eof, the end of stdin remove every link and
end the cables. Run the Windows program with LD_PRELOAD=modemlines.so (built by
build_modemlines.sh) so that a pty has modem lines and keeps 7 bits and parity.

Control protocol (TCP on 127.0.0.1, one line per request, one reply line starting
with OK or ERR). N is a COM number, "5" or "com5". Byte offsets count the received
stream since the last reset.
    ping | quit | list (-> OK comN=/dev/pts/X|hungup ...)
    add N [cable options as above] -> OK comN /dev/pts/X
          (also the driver cable's words: --plain, --flavour uart and --latency MS are taken
           and change nothing; --flavour bridge and the fault switches are refused, as
           Wine's serial emulation decides what a pty does)
    remove N
    N pacing on|off          N noecho on|off          N stall on|off
    N corrupt OFF[,OFF...]|none   (the echoed byte at each offset is XORed with 0xFF)
    N echo-only COUNT|none   N delay MS|none          N hangup-after COUNT|none
    N mismatch BAUD|none     (the far end runs at BAUD: what the program sends at any
                              other rate comes back garbled, every byte changed)
    N hangup                 N restore                N flush
    N reset                  (fault modes, counters, record and settings history)
    N stats -> OK baud=9600 bits=8 parity=N stop=1 rtscts=0 ixon=0 ixoff=0
                  in=512 out=512 hungup=0 flavour=uart latency=16
                  settings=9600-8N1-none,57600-8N1-none
               (settings: the line setting at reset, then each one the program chose,
                in order; the last is the current one. Flow: none, rtscts, xonxoff, both.
                A new or restored cable starts raw at 9600-8N1-none.)
    N record -> OK <hex of the received bytes since reset>
    N holders -> OK 1      (open descriptors of the port outside the cable's own processes:
                            under Wine the wineserver's, while a program has the port open)
"""

import argparse
import os
import selectors
import shlex
import signal
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cable_line import Cable  # noqa: E402


class CommandError(Exception):
    pass


def offsets(text):
    try:
        values = {int(part) for part in text.split(",") if part}
    except ValueError:
        raise argparse.ArgumentTypeError("offsets are numbers separated by commas")
    if not values or min(values) < 0:
        raise argparse.ArgumentTypeError("offsets are numbers of zero or more")
    return values


def cable_options(parser):
    parser.add_argument("--instant", action="store_true", help="echo without pacing")
    parser.add_argument("--noecho", action="store_true")
    parser.add_argument("--corrupt", type=offsets, default=set(), metavar="OFF[,OFF...]")
    parser.add_argument("--echo-only", type=int, metavar="N")
    parser.add_argument("--delay", type=int, default=0, metavar="MS")
    parser.add_argument("--stall", action="store_true", help="stop reading what the program writes")
    parser.add_argument("--hangup-after", type=int, metavar="N")
    parser.add_argument("--mismatch", type=int, metavar="BAUD",
                        help="the far end's rate: echoes at any other rate come back garbled")
    parser.add_argument("--record", metavar="FILE",
                        help="write the received bytes to FILE; {n} is the COM number "
                             "(with several cables and no {n}, .comN is appended)")


class ArgumentParser(argparse.ArgumentParser):
    """Reports errors as exceptions so that `add` can answer ERR instead of exiting."""

    def error(self, message):
        raise CommandError(message)


ADD_PARSER = ArgumentParser(prog="add", add_help=False)
ADD_PARSER.add_argument("number", type=lambda text: com_number(text))
# The driver cable's word for a port of another make; a pty never answers the maker's request,
# so here every port is one.
ADD_PARSER.add_argument("--plain", action="store_true")
cable_options(ADD_PARSER)
# The driver cable's flavours and fault switches. Wine's serial emulation on a tty decides how
# bytes, waits, errors and opens behave, so a pty takes only the words that change nothing:
# the uart flavour and the latency timer (a bridge's, unused on a uart). The others are refused.
ADD_PARSER.add_argument("--flavour", default="uart")
ADD_PARSER.add_argument("--latency", type=int, default=16, metavar="MS")
for switch, takes in (("--removal-code", int), ("--sticky-wait", None), ("--slow-close", int),
                      ("--wait-refused", None), ("--setstate-fails", int), ("--slow-open", int)):
    if takes:
        ADD_PARSER.add_argument(switch, type=takes)
    else:
        ADD_PARSER.add_argument(switch, action="store_true")
PTY_REFUSES = ("removal_code", "sticky_wait", "slow_close", "wait_refused", "setstate_fails",
               "slow_open")


def com_number(text):
    digits = text[3:] if text.lower().startswith("com") else text
    if not digits.isdigit() or int(digits) < 1:
        raise CommandError("not a COM number: %s" % text)
    return int(digits)


def on_off(args):
    if args != ["on"] and args != ["off"]:
        raise CommandError("expected on or off")
    return args[0] == "on"


def count_or_none(args):
    if len(args) != 1:
        raise CommandError("expected a count or none")
    if args[0] == "none":
        return None
    if not args[0].isdigit():
        raise CommandError("not a count: %s" % args[0])
    return int(args[0])


class Client:
    def __init__(self, sock):
        self.sock = sock
        self.inbox = b""
        self.outbox = b""


class Server:
    def __init__(self, prefix, options, log):
        self.dosdevices = os.path.join(prefix, "dosdevices")
        os.makedirs(self.dosdevices, exist_ok=True)
        self.log = log
        self.cables = {}
        self.selector = selectors.DefaultSelector()
        self.watched = {}
        self.clients = {}
        self.running = True
        self.several = len(options.com or []) > 1
        wake_r, self.wake_w = os.pipe()
        os.set_blocking(wake_r, False)
        os.set_blocking(self.wake_w, False)
        self.wake_r = wake_r
        self.selector.register(wake_r, selectors.EVENT_READ, ("wake", None))
        self.listener = None

    # ---- cables -----------------------------------------------------------------
    def add(self, number, options):
        if number in self.cables:
            raise CommandError("com%d exists" % number)
        record = options.record
        if record:
            record = record.replace("{n}", str(number)) if "{n}" in record else (
                record + ".com%d" % number if self.several else record)
        cable = Cable(number, self.dosdevices, self.log,
                      pacing=not options.instant, record_path=record)
        faults = cable.faults
        faults.noecho = options.noecho
        faults.corrupt = set(options.corrupt)
        faults.echo_only = options.echo_only
        faults.delay_ms = options.delay
        faults.stall = options.stall
        faults.hangup_after = options.hangup_after
        faults.mismatch = options.mismatch
        cable.latency_ms = getattr(options, "latency", 16)
        self.cables[number] = cable
        say("READY %s %s" % (cable.name, cable.pts))
        return cable

    def cable(self, number):
        cable = self.cables.get(number)
        if cable is None:
            raise CommandError("no cable com%d" % number)
        return cable

    def remove(self, number):
        cable = self.cable(number)
        self._unwatch(cable.master)
        cable.close()
        del self.cables[number]

    # ---- control ----------------------------------------------------------------
    def listen(self, port):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(8)
        self.listener.setblocking(False)
        self.selector.register(self.listener, selectors.EVENT_READ, ("listen", None))
        return self.listener.getsockname()[1]

    def command(self, line):
        try:
            words = shlex.split(line)
        except ValueError as error:
            return "ERR %s" % error
        if not words:
            return "ERR empty request"
        try:
            return "OK" + self._command(words[0].lower(), words[1:]).rstrip()
        except CommandError as error:
            return "ERR %s" % error
        except (OSError, ValueError) as error:
            return "ERR %s" % error

    def _command(self, head, args):
        if head == "ping":
            return ""
        if head == "quit":
            self.running = False
            return ""
        if head == "list":
            return "".join(" %s=%s" % (c.name, "hungup" if c.hungup else c.pts)
                           for c in self.cables.values())
        if head == "add":
            cable = self.add(*self._add_args(args))
            return " %s %s" % (cable.name, cable.pts)
        if head == "remove":
            if len(args) != 1:
                raise CommandError("expected a COM number")
            self.remove(com_number(args[0]))
            return ""
        cable = self.cable(com_number(head))
        if not args:
            raise CommandError("missing request after %s" % head)
        verb, args = args[0].lower(), args[1:]
        faults = cable.faults
        if verb == "stats":
            return " " + cable.stats()
        if verb == "record":
            return " " + bytes(cable.received).hex()
        if verb == "holders":
            return " %d" % cable.holders()
        if verb == "pacing":
            cable.pacing = on_off(args)
        elif verb == "noecho":
            faults.noecho = on_off(args)
        elif verb == "stall":
            faults.stall = on_off(args)
        elif verb == "corrupt":
            if args == ["none"]:
                faults.corrupt = set()
            elif len(args) == 1:
                try:
                    faults.corrupt = offsets(args[0])
                except argparse.ArgumentTypeError as error:
                    raise CommandError(str(error))
            else:
                raise CommandError("expected offsets or none")
        elif verb == "echo-only":
            faults.echo_only = count_or_none(args)
        elif verb == "delay":
            delay = count_or_none(args)
            faults.delay_ms = delay or 0
        elif verb == "hangup-after":
            faults.hangup_after = count_or_none(args)
            if faults.hangup_after is not None and cable.bytes_in >= faults.hangup_after:
                faults.hangup_after = None
                self._hang_up(cable, "on command")
        elif verb == "mismatch":
            faults.mismatch = count_or_none(args)
        elif verb == "hangup":
            self._hang_up(cable, "on command")
        elif verb == "restore":
            if not cable.restore():
                raise CommandError("%s is not hung up" % cable.name)
            say("READY %s %s" % (cable.name, cable.pts))
            return " %s %s" % (cable.name, cable.pts)
        elif verb == "flush":
            cable.flush()
        elif verb == "reset":
            cable.reset()
        else:
            raise CommandError("unknown request %s" % verb)
        if verb not in ("hangup", "flush", "reset"):
            self.log("%s faults %s, pacing %s" % (
                cable.name, faults.describe(), "on" if cable.pacing else "off"))
        return ""

    def _add_args(self, args):
        options = ADD_PARSER.parse_args(args)
        if options.flavour != "uart":
            raise CommandError("a pty cable cannot be a %s" % options.flavour)
        for name in PTY_REFUSES:
            if getattr(options, name) not in (None, False):
                raise CommandError("a pty cable cannot imitate --%s" % name.replace("_", "-"))
        if not 1 <= options.latency <= 255:
            raise CommandError("latency is 1 to 255 ms")
        return options.number, options

    def _hang_up(self, cable, why):
        self._unwatch(cable.master)
        cable.hang_up(why)

    # ---- event loop -------------------------------------------------------------
    def _watch(self, fd, events, data):
        current = self.watched.get(fd)
        if current == events:
            return
        if not events:
            self._unwatch(fd)
        elif current is None:
            self.selector.register(fd, events, data)
            self.watched[fd] = events
        else:
            self.selector.modify(fd, events, data)
            self.watched[fd] = events

    def _unwatch(self, fd):
        if fd is not None and fd in self.watched:
            self.selector.unregister(fd)
            del self.watched[fd]

    def watch_stdin(self):
        self.selector.register(sys.stdin.fileno(), selectors.EVENT_READ, ("stdin", None))

    def run(self):
        while self.running:
            now = time.monotonic()
            deadline = None
            for cable in list(self.cables.values()):
                was_hungup = cable.hungup
                cable.service(now)
                if cable.hungup and not was_hungup:
                    self._unwatch(cable.master)
                if cable.hungup:
                    continue
                events = (selectors.EVENT_READ if cable.wants_read() else 0) | (
                    selectors.EVENT_WRITE if cable.wants_write() else 0)
                self._watch(cable.master, events, ("cable", cable))
                due = cable.next_deadline()
                if due is not None and (deadline is None or due < deadline):
                    deadline = due
            timeout = None if deadline is None else max(0.0, deadline - time.monotonic())
            for key, mask in self.selector.select(timeout):
                kind, target = key.data
                now = time.monotonic()
                if kind == "cable":
                    if target.hungup:
                        continue
                    if mask & selectors.EVENT_WRITE:
                        target.on_writable(now)
                    if mask & selectors.EVENT_READ and not target.hungup:
                        master = target.master
                        target.on_readable(now)
                        if target.hungup:
                            self._unwatch(master)
                elif kind == "listen":
                    self._accept()
                elif kind == "client":
                    self._serve(target, mask)
                elif kind == "stdin":
                    if not os.read(key.fd, 4096):
                        self.running = False
                elif kind == "wake":
                    try:
                        os.read(key.fd, 512)
                    except BlockingIOError:
                        pass

    def _accept(self):
        try:
            sock, _ = self.listener.accept()
        except BlockingIOError:
            return
        sock.setblocking(False)
        client = Client(sock)
        self.clients[sock] = client
        self.selector.register(sock, selectors.EVENT_READ, ("client", client))

    def _serve(self, client, mask):
        sock = client.sock
        if mask & selectors.EVENT_READ:
            try:
                data = sock.recv(65536)
            except (BlockingIOError, InterruptedError):
                data = None
            except OSError:
                data = b""
            if data == b"":
                self._drop(client)
                return
            if data:
                client.inbox += data
                while b"\n" in client.inbox:
                    line, client.inbox = client.inbox.split(b"\n", 1)
                    reply = self.command(line.decode("latin-1").strip())
                    client.outbox += reply.encode("latin-1") + b"\n"
        if client.outbox:
            try:
                sent = sock.send(client.outbox)
                client.outbox = client.outbox[sent:]
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                self._drop(client)
                return
        events = selectors.EVENT_READ | (selectors.EVENT_WRITE if client.outbox else 0)
        self.selector.modify(sock, events, ("client", client))

    def _drop(self, client):
        self.selector.unregister(client.sock)
        del self.clients[client.sock]
        client.sock.close()

    def close(self):
        for number in list(self.cables):
            self.remove(number)
        for client in list(self.clients.values()):
            self._drop(client)
        if self.listener:
            self.listener.close()


def say(line):
    try:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()
    except (BrokenPipeError, ValueError):
        pass


def main(argv=None):
    parser = argparse.ArgumentParser(description="Virtual loopback serial cables for Wine.")
    parser.add_argument("--prefix", default=os.environ.get("WINEPREFIX"),
                        help="Wine prefix whose dosdevices get the links (default $WINEPREFIX)")
    parser.add_argument("--com", type=int, action="append", metavar="N")
    parser.add_argument("--control-port", type=int, default=0,
                        help="TCP port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--control-file", metavar="F", help="write the control port here")
    parser.add_argument("--exit-on-stdin-eof", action="store_true")
    parser.add_argument("--quiet", action="store_true", help="no log lines on stderr")
    cable_options(parser)
    options = parser.parse_args(argv)
    if not options.prefix:
        parser.error("no --prefix and no WINEPREFIX")
    if any(n < 1 for n in options.com or []):
        parser.error("COM numbers start at 1")

    def log(text):
        if not options.quiet:
            try:
                sys.stderr.write("cable: %s\n" % text)
                sys.stderr.flush()
            except (BrokenPipeError, ValueError):
                pass

    server = Server(options.prefix, options, log)
    wrote_control_file = False

    def stop(signum, frame):
        server.running = False

    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, stop)
    signal.set_wakeup_fd(server.wake_w)
    try:
        for number in options.com or []:
            server.add(number, options)
        port = server.listen(options.control_port)
        if options.control_file:
            temp = options.control_file + ".tmp"
            with open(temp, "w") as out:
                out.write("%d\n" % port)
            os.replace(temp, options.control_file)
            wrote_control_file = True
        say("CONTROL 127.0.0.1:%d" % port)
        if options.exit_on_stdin_eof:
            server.watch_stdin()
        server.run()
    except (OSError, CommandError) as error:
        log("error: %s" % error)
        return 1
    finally:
        server.close()
        if wrote_control_file:
            try:
                os.unlink(options.control_file)
            except OSError:
                pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
