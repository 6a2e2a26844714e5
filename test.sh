#!/bin/bash
# Builds the product (win32), its 64-bit test twin (win64) and the 32-bit test programs
# (win32-tests), starts the Wine rig and runs both test legs: the twin under 64-bit Wine, and
# the 32-bit programs with the shipped selftest.exe under 32-bit Wine, natively where the kernel
# runs 32-bit code and inside qemu-i386 where it cannot (SELFTEST_EMULATE32=1 forces that).
# Safe to run again; prints each leg's own summary and fails when a test of either leg fails.
# Extra arguments go to both CTest runs (./test.sh -R Serial).
set -uo pipefail
cd "$(dirname "$0")"
JOBS=$(nproc 2>/dev/null || echo 2)
phase() { printf '\n=== %s (%s)\n' "$1" "$(date +%T)"; }
must() { "$@" || { echo "test.sh: failed: $*" >&2; exit 1; }; }

phase "dependencies"
must bash tools/install-deps.sh

for preset in win32 win64 win32-tests; do
  phase "build $preset"
  must cmake --preset "$preset" >/dev/null
  must cmake --build --preset "$preset" -j "$JOBS"
done
phase "package win32"
must cmake --build --preset win32 --target package

phase "start rig"
trap 'tools/rig.sh stop >/dev/null 2>&1' EXIT
must tools/rig.sh start
MODE32=$(. build/rig/env && echo "${RIG_MODE32:-emulated}")

# CTest launches every test program through tools/second_try, which gives it a second try
# only when Wine let it die before its first line, and notes each one; a test that fails in any
# other way fails the run. Every second try is named below.
declare -A RESULT
leg() {
  local preset=$1 log=build/$1-ctest.log
  shift
  phase "tests: $preset"
  rm -f build/rig/second-tries.txt
  ctest --preset "$preset" "$@" 2>&1 | tee "$log"
  RESULT[$preset]=${PIPESTATUS[0]}
  { [ -f build/rig/second-tries.txt ] && cat build/rig/second-tries.txt; } >"build/$preset-second-tries.txt"
}
leg win64 "$@"
leg win32-tests "$@"

phase "summary"
status=0
for preset in win64 win32-tests; do
  log=build/$preset-ctest.log
  summary=$(grep -E 'tests passed|No tests were found' "$log" | tail -n 1)
  how=
  if [ "$preset" = win32-tests ]; then
    if [ "$MODE32" = native ]; then how="; 32-bit Wine ran natively"; else how="; 32-bit Wine ran inside qemu-i386"; fi
  fi
  echo "$preset: ${summary:-no summary} (ctest exit ${RESULT[$preset]}$how)"
  sed 's/^/  second try after a death before the first line: /' "build/$preset-second-tries.txt"
  [ "${RESULT[$preset]}" = 0 ] || status=1
done
exit "$status"
