#!/bin/bash
# Counts Windows programs that die under the rig's Wine before their first line of output.
# Launches one program N times in one mode, each the way CTest does (through tools/rig/winerun.sh or
# tools/rig/winerun32.sh), and sorts every launch: a first line came and the exit code was 0; died
# before the first line; or failed after it. A death is told by its exit code (a signal as
# 128+N), and by its first line on stderr.
#
#   tools/rig/startup_deaths.sh MODE PROGRAM N OUT [ARG ...]
#
#   MODE     native32 (32-bit Wine on the kernel), emulated32 (32-bit Wine inside qemu-i386),
#            or win64 (64-bit Wine)
#   PROGRAM  a Windows program for that word size, or "hello": a one-line C program with no
#            project code, built here for the word size
#   OUT      folder for the results: launches.tsv (one line per launch), deaths/ (each death's
#            stdout and stderr) and summary.txt
#
# Needs a running rig (tools/rig/rig.sh start) and, for emulated32, build/tools/qemu-i386
# (SELFTEST_EMULATE32=1 tools/rig/install_deps.sh).
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
[ $# -ge 4 ] || { sed -n '2,19s/^# \{0,1\}//p' "$0" >&2; exit 2; }
MODE=$1 PROGRAM=$2 RUNS=$3 OUT=$4
shift 4
[ -f "$ROOT/build/rig/env" ] || { echo "startup_deaths: the rig is not running (tools/rig/rig.sh start)" >&2; exit 2; }

case "$MODE" in
  native32) LAUNCH=(env -u SELFTEST_EMULATE32 "$ROOT/tools/rig/winerun32.sh") CC=i686-w64-mingw32-gcc ;;
  emulated32) LAUNCH=(env SELFTEST_EMULATE32=1 "$ROOT/tools/rig/winerun32.sh") CC=i686-w64-mingw32-gcc ;;
  win64) LAUNCH=("$ROOT/tools/rig/winerun.sh") CC=x86_64-w64-mingw32-gcc ;;
  *) echo "startup_deaths: MODE is native32, emulated32 or win64" >&2; exit 2 ;;
esac
# A native32 count under a rig that emulates would count the emulator.
if [ "$MODE" = native32 ] && [ "$(. "$ROOT/build/rig/env"; echo "${RIG_MODE32:-}")" != native ]; then
  echo "startup_deaths: the rig does not run 32-bit code natively" >&2
  exit 2
fi

mkdir -p "$OUT/deaths"
if [ "$PROGRAM" = hello ]; then
  PROGRAM=$OUT/hello.exe
  printf '#include <stdio.h>\nint main(void) { puts("hello"); return 0; }\n' >"$OUT/hello.c"
  "$CC" -O1 -s -o "$PROGRAM" "$OUT/hello.c" || exit 2
fi

TSV=$OUT/launches.tsv
printf 'launch\toutcome\texit\tms\tstdout_bytes\tstderr_first_line\n' >"$TSV"
started=$(date +%s)
for i in $(seq 1 "$RUNS"); do
  t0=$(date +%s%N)
  timeout -k 5 60 "${LAUNCH[@]}" "$PROGRAM" "$@" >"$OUT/stdout" 2>"$OUT/stderr" </dev/null
  rc=$?
  ms=$(( ($(date +%s%N) - t0) / 1000000 ))
  bytes=$(stat -c %s "$OUT/stdout")
  # This shell's own locale warning is not the program's.
  err=$(grep -v -m 1 -e '^$' -e 'setlocale' "$OUT/stderr" | tr '\t' ' ' | cut -c1-160)
  if [ "$(wc -l <"$OUT/stdout")" -ge 1 ]; then
    if [ "$rc" = 0 ]; then outcome=ok; else outcome=failed_after_first_line; fi
  else
    outcome=died_before_first_line
  fi
  if [ "$outcome" != ok ]; then
    cp "$OUT/stdout" "$OUT/deaths/$i.stdout"
    cp "$OUT/stderr" "$OUT/deaths/$i.stderr"
  fi
  printf '%d\t%s\t%d\t%d\t%d\t%s\n' "$i" "$outcome" "$rc" "$ms" "$bytes" "$err" >>"$TSV"
done
ended=$(date +%s)
rm -f "$OUT/stdout" "$OUT/stderr"

{
  echo "mode $MODE, program $PROGRAM $*, launches $RUNS, $((ended - started)) s"
  awk -F'\t' 'NR > 1 { n[$2]++ }
    END { printf "ok %d, died before the first line %d, failed after it %d", n["ok"],
            n["died_before_first_line"], n["failed_after_first_line"] }' "$TSV"
  tail -n +2 "$TSV" | cut -f4 | sort -n |
    awk '{ ms[NR] = $1 } END { printf "; median %d ms, longest %d ms\n", ms[int((NR + 1) / 2)], ms[NR] }'
  # Each cause of a death: exit code (128+N for signal N) and the first line on stderr.
  awk -F'\t' 'NR > 1 && $2 != "ok" {
      sig = $3 > 128 ? sprintf(" (signal %d)", $3 - 128) : ""
      c[$2 ", exit " $3 sig ", stderr: " ($6 == "" ? "(none)" : $6)]++
    }
    END { for (k in c) printf "  %d x %s\n", c[k], k }' "$TSV" | sort -rn
} | tee "$OUT/summary.txt"
