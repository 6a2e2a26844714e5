#!/bin/bash
# End-to-end figures of the shipped program on this machine, as medians, each beside its floor
# or target: a passing run on a baud-true and on an instant cable, Stop to verdict, start-up,
# discovery, Close of a listening port, what a run's log lines cost, the processor time a run
# costs the program and the wineserver, the port notifications a run makes the dialog handle,
# how long a new log line waits for its paint, and the size and imports of the stripped win32
# program.
#
#   tests/bench/bench_e2e.sh [--runs N] [--out FILE] [--exe PATH] [--busy N] [--cable pty|driver|bridge] [--if-asked]
#
# Needs both builds (./test.sh or the presets) and a running rig (tools/rig/rig.sh start). Prints a
# table, with the machine's load average before and after, and writes it as Markdown to FILE
# (default build/bench/e2e.md). --exe: another selftest.exe to measure instead of build/win64's
# (an older build, say, or the shipped 32-bit one: that is driven by the 32-bit bench driver,
# under 32-bit Wine, only where the kernel runs 32-bit code, tools/rig/mode32.sh). --busy N: N busy
# loops run beside the runs, a machine's load. --cable: the virtual cable the runs use, the pty
# cable (default; the Linux path), the cable driver's (the Windows path) or the driver's port of
# the USB bridge's flavour, whose latency timer may add up to 16 ms to each of a run's six reads.
# --if-asked (CTest) does nothing and exits 77 unless SELFTEST_BENCH=1.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$ROOT"
RUNS=5
BUSY=0
OUT=build/bench/e2e.md
EXE=
CABLE=pty
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=$2; shift ;;
    --out) OUT=$2; shift ;;
    --exe) EXE=$(realpath "$2"); shift ;;
    --busy) BUSY=$2; shift ;;
    --cable) CABLE=$2; shift ;;
    --if-asked) [ "${SELFTEST_BENCH:-}" = 1 ] || { echo "set SELFTEST_BENCH=1 to run the benchmarks"; exit 77; } ;;
    *) sed -n '2,18s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
  esac
  shift
done
case "$CABLE" in pty|driver|bridge) ;; *) echo "bench_e2e: --cable is pty, driver or a flavour with floors below (bridge)" >&2; exit 2 ;; esac
export SELFTEST_CABLE=$CABLE

EXE32=build/win32/app/selftest.exe
EXE=${EXE:-$ROOT/build/win64/app/selftest.exe}
BENCH=build/win64/tests/bench/e2e_bench.exe
# The driver's hooks go into the measured program, so its word size must match. 32-bit Wine
# under emulation would time the emulator, not the program.
LOADER=/usr/lib/wine/wine64
if i686-w64-mingw32-objdump -f "$EXE" 2>/dev/null | grep -q 'file format pei-i386'; then
  . tools/rig/mode32.sh
  [ "$(mode32)" = native ] ||
    { echo "bench_e2e: 32-bit code runs $(mode32 why) here; a 32-bit program is measured only natively" >&2; exit 2; }
  BENCH=build/win32-tests/tests/bench/e2e_bench.exe
  LOADER=/usr/lib/wine/wine
fi
for f in "$EXE32" "$EXE" "$BENCH"; do
  [ -f "$f" ] || { echo "bench_e2e: $f is missing; build both presets first" >&2; exit 2; }
done
[ -f build/rig/env ] || { echo "bench_e2e: the rig is not running (tools/rig/rig.sh start)" >&2; exit 2; }
if [ "$CABLE" != pty ] && [ "$(. build/rig/env && echo "${RIG_CABLE_DRIVER:-}")" != 1 ]; then
  echo "bench_e2e: the rig runs without its cable driver" >&2
  exit 2
fi

# The rig's wineserver: the one whose working folder is the server folder of this prefix.
. build/rig/env
SERVER_DIR=server-$(printf '%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))
WINESERVER_PID=0
for pid in $(pgrep -x wineserver64) $(pgrep -x wineserver); do
  case "$(readlink "/proc/$pid/cwd" 2>/dev/null)" in */"$SERVER_DIR") WINESERVER_PID=$pid ;; esac
done

mkdir -p build/bench "$(dirname "$OUT")"
RAW=build/bench/e2e.raw
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
BUSY_PIDS=()
stop_busy() { [ ${#BUSY_PIDS[@]} -eq 0 ] || kill "${BUSY_PIDS[@]}" 2>/dev/null || true; }
trap stop_busy EXIT
for _ in $(seq "$BUSY"); do
  bash -c 'while :; do :; done' &
  BUSY_PIDS+=($!)
done
WINERUN_LOADER=$LOADER tools/rig/winerun.sh "$BENCH" "$EXE" --runs "$RUNS" --wineserver "$WINESERVER_PID" 2> >(grep -v setlocale >&2) |
  tr -d '\r' >"$RAW"
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)
stop_busy
BUSY_PIDS=()

STRIPPED=build/bench/selftest.stripped.exe
i686-w64-mingw32-strip -o "$STRIPPED" "$EXE32"
SIZE=$(stat -c %s "$STRIPPED")
IMPORTS=$(i686-w64-mingw32-objdump -p "$STRIPPED" | sed -n 's/^\s*DLL Name: //p' | sort -u | tr '\n' ' ')

/usr/bin/python3 - "$RAW" "$SIZE" "$IMPORTS" "$RUNS" "$OUT" "$EXE" "$LOAD_BEFORE" "$LOAD_AFTER" "$BUSY" "$CABLE" <<'PY'
import sys, platform, os, datetime
raw, size, imports, runs, out = sys.argv[1], int(sys.argv[2]), sys.argv[3].split(), sys.argv[4], sys.argv[5]
exe, load_before, load_after, busy = sys.argv[6], sys.argv[7], sys.argv[8], int(sys.argv[9])
cable = {"pty": "the pty cable (the Linux path)", "driver": "the cable driver's port (the Windows path)",
         "bridge": "the cable driver's port of the USB bridge's flavour (the Windows path)"}[sys.argv[10]]
# Floors of a passing run, baud-true and instant. A uart's write is done when its last byte has
# left, so each block's 100 ms pause follows its line time instead of overlapping it (3133 ms of
# pauses and lines); a bridge's latency timer may hold each of the six reads back by one period.
floor_baud, floor_instant, latency = {"pty": (2670, 1800, 0), "driver": (3136, 1800, 0),
                                      "bridge": (2670, 1800, 6 * 16)}[sys.argv[10]]
figures = {}
extra = {}
for line in open(raw):
    words = line.split()
    if len(words) >= 3 and words[1] != "-":
        figures[words[0]] = (float(words[1]), words[2], words[3:])
    elif len(words) >= 2:
        extra[words[0]] = " ".join(words[1:])

windows_dlls = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "advapi32.dll", "msvcrt.dll",
                "shell32.dll", "ole32.dll", "oleaut32.dll", "comdlg32.dll", "ws2_32.dll", "version.dll",
                "winmm.dll", "ucrtbase.dll", "ntdll.dll", "imm32.dll", "uxtheme.dll"}
rows = []
def row(name, label, bound, kind, rule):
    stalled = extra.get(name + "_stalled", "").lstrip("- ")
    note = " (stalled: " + stalled + ")" if stalled else ""
    if name not in figures:
        rows.append((label, "n/a", bound, "no figure" + note))
        return
    value, unit, samples = figures[name]
    rows.append((label, "%.0f %s" % (value, unit) + ("" if not stalled else " (%d runs)" % len(samples)), bound, rule(value) + note))
def within(limit):
    return lambda v: "met" if v <= limit else "MISSED"
def above(floor, slack, extra=0):
    return lambda v: ("met" if v <= floor * (1 + slack) + extra else "MISSED") + " (%+.1f %%)" % ((v / floor - 1) * 100)
def floor_label(floor):
    return "floor %d ms, target <= +3 %%%s" % (floor, " + %d ms latency" % latency if latency else "")

row("passing_run_baud_true", "passing run, baud-true cable", floor_label(floor_baud), "floor", above(floor_baud, 0.03, latency))
row("passing_run_instant", "passing run, instant cable", floor_label(floor_instant), "floor", above(floor_instant, 0.03, latency))
row("longest_unanswered_baud_true", "longest the dialog left a message unanswered, baud-true run", "bound 3000 ms", "target", within(3000))
row("longest_unanswered_instant", "the same, instant run", "bound 3000 ms", "target", within(3000))
row("stop_to_verdict", "Stop in a pause to verdict", "target <= 250 ms", "target", within(250))
row("startup_to_responsive_dialog", "start-up to a responsive dialog", "-", "", lambda v: "")
row("startup_to_port_shown_slow_port", "start-up to the found port, behind a port that takes 3 s to open", "-", "", lambda v: "")
row("discovery", "discovery (ports that open: %s)" % extra.get("discovery_ports_present", "?"), "-", "", lambda v: "")
row("close_listening_port", "Close of an open listening port", "target <= 20 ms", "target", within(20))
row("log_lines_of_a_run", "a run's 17 log lines (add and select)", "-", "", lambda v: "")
row("cpu_program_per_run", "processor time of the program, one baud-true run", "-", "", lambda v: "")
row("cpu_wineserver_per_run", "processor time of the wineserver, same run", "-", "", lambda v: "")
row("notifications_per_run_baud_true", "port notifications handled, baud-true run", "-", "", lambda v: "")
row("notifications_per_run_instant", "port notifications handled, instant run", "-", "", lambda v: "")
row("line_to_paint", "a new log line to its paint, baud-true runs", "-", "", lambda v: "")
row("line_to_paint_longest_per_run", "the same, longest of a run", "-", "", lambda v: "")
rows.append(("stripped win32 selftest.exe", "%.1f KB" % (size / 1024.0), "target <= 250 KB",
             "met" if size <= 250 * 1024 else "MISSED"))
foreign = [d for d in imports if d.lower() not in windows_dlls]
rows.append(("imported DLLs", " ".join(imports), "Windows' own only", "met" if not foreign else "MISSED: " + " ".join(foreign)))

width = max(len(r[0]) for r in rows)
for r in rows:
    print("%-*s  %-18s %-32s %s" % (width, r[0], r[1], r[2], r[3]))
with open(out, "w") as f:
    f.write("# End-to-end figures\n\n")
    f.write("Medians of %s runs each, from `tests/bench/bench_e2e.sh` on %s (%d cores), %s, under Wine on\n"
            "%s. Timings are taken from outside the program (the driver polls the\n"
            "buttons every millisecond), so each includes a few milliseconds of polling.\n\n"
            % (runs, platform.node() or "this machine", os.cpu_count() or 0, datetime.date.today().isoformat(), cable))
    f.write("Program: `%s`. Load average (1, 5, 15 min) before: %s; after: %s.%s\n\n"
            % (exe, load_before, load_after, " Beside %d busy loops." % busy if busy else ""))
    f.write("| figure | median | floor or target | |\n|---|---|---|---|\n")
    for r in rows:
        f.write("| %s | %s | %s | %s |\n" % r)
    f.write("\nSamples (ms):\n\n")
    for name, (value, unit, samples) in figures.items():
        f.write("- %s: %s\n" % (name, " ".join(samples)))
print("program: %s; cable: %s; load average before %s, after %s; busy loops beside: %d" % (exe, cable, load_before, load_after, busy))
print("written to %s" % out)
PY
