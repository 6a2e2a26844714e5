#!/usr/bin/python3
"""Times whole runs of the baud-rate loopback test on a baud-true and on an instant virtual
cable and prints each median beside its floor (the time the test's pauses and the echo's
wire time take at the least), with the port notifications a run posts and the processor time
its listener thread takes.

    tests/bench/bench_baudrate.py [--runs N] [--com N]

Needs the test twin built (build/win64) and the rig running (tools/rig/rig.sh start).
"""

import argparse
import os
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BENCH = os.path.join(ROOT, "build", "win64", "tests", "bench", "baudrate_bench.exe")
WINERUN = os.path.join(ROOT, "tools", "rig", "winerun.sh")

# Six 200 ms pauses and six 100 ms pauses. On a baud-true cable each block's echo overlaps its
# 100 ms pause and takes 512 bytes x 10 bits at the rate: 533 ms at 9600, 89 ms at 57600 and
# 44 ms at 115200, so only the two blocks at 9600 outlast their pause.
INSTANT_FLOOR_MS = 6 * 200 + 6 * 100
BAUD_TRUE_FLOOR_MS = 6 * 200 + 2 * (512 * 10 * 1000 / 9600) + 4 * 100
TARGET = 0.03


def run(com, runs, options):
    out = subprocess.run([WINERUN, BENCH, str(com), str(runs)] + options,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60 + 10 * runs)
    rows = [[float(word) for word in line.split()[2:5]] for line in out.stdout.splitlines() if line.startswith("run ")]
    if out.returncode != 0 or len(rows) != runs:
        sys.exit("bench failed (%d):\n%s%s" % (out.returncode, out.stdout, out.stderr))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--com", type=int, default=88)
    args = parser.parse_args()
    if not os.path.exists(BENCH):
        sys.exit("build the test twin first: cmake --build --preset win64 --target baudrate_bench")
    worst = 0.0
    print("%-10s %6s %10s %10s %8s %9s %12s   %s" % ("cable", "runs", "median ms", "floor ms", "over", "notified",
                                                  "listener ms", "all runs (ms)"))
    for name, options, floor in (("instant", ["--instant"], INSTANT_FLOOR_MS),
                                 ("baud-true", [], BAUD_TRUE_FLOOR_MS)):
        rows = run(args.com, args.runs, options)
        times = [row[0] for row in rows]
        median = statistics.median(times)
        over = median / floor - 1.0
        worst = max(worst, over)
        print("%-10s %6d %10.1f %10.1f %+7.1f%% %9.0f %12.0f   %s" % (
            name, args.runs, median, floor, 100.0 * over, statistics.median(row[1] for row in rows),
            statistics.median(row[2] for row in rows), " ".join("%.0f" % t for t in times)))
    print("target: median at most %+.0f%% over the floor: %s" % (100 * TARGET, "met" if worst <= TARGET else "NOT met"))
    return 0 if worst <= TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
