#!/bin/bash
# CTest's launch of a test program, with a second try for one cause only: the program died before
# its first line of output. Every test program prints one at its start, so such a program ran
# nothing; the cause seen is Wine's, the rig's wineserver crashing (docs/startup-deaths.md), and
# its clients then end with exit code 0, which alone would pass the test. A program that ends
# with 0 before its tests have finished (GoogleTest's TEST_PREMATURE_EXIT_FILE is still there)
# fails here, and so does one that dies twice. Each second try is named on stderr and in
# build/rig/second-tries.txt, which test.sh lists in its summary.
#   tools/rig/second_try.sh LAUNCHER PROGRAM [ARG ...]
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
NO_LINE_YET=$WORK/no-line-yet
# GoogleTest makes this file at its start and removes it when its tests have finished.
PREMATURE=$WORK/premature
export TEST_PREMATURE_EXIT_FILE="Z:${PREMATURE//\//\\}"

# Runs the command with its output passed on as it comes; NO_LINE_YET goes when its first line comes.
run_watched() {
  : >"$NO_LINE_YET"
  rm -f "$PREMATURE"
  "$@" | { if IFS= read -r line; then rm -f "$NO_LINE_YET"; printf '%s\n' "$line"; exec cat; else printf '%s' "$line"; fi; }
  return "${PIPESTATUS[0]}"
}

# The exit code for a try: the program's own, but never 0 for one that ran nothing or stopped short.
judge() {
  local rc=$1
  if [ -e "$NO_LINE_YET" ]; then
    echo "second_try: died before its first line (exit $rc)" >&2
    [ "$rc" = 0 ] && rc=1
  elif [ -e "$PREMATURE" ] && [ "$rc" = 0 ]; then
    echo "second_try: ended with exit code 0 before its tests had finished" >&2
    rc=1
  fi
  return "$rc"
}

run_watched "$@"
rc=$?
[ -e "$NO_LINE_YET" ] || { judge "$rc"; exit; }
note="$(basename -- "$2") ${*:3} (exit $rc)"
echo "second_try: died before its first line, a second try: $note" >&2
[ -d "$ROOT/build/rig" ] && echo "$note" >>"$ROOT/build/rig/second-tries.txt"
run_watched "$@"
judge $?
