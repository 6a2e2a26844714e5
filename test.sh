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

phase "start rig"
trap 'tools/rig.sh stop >/dev/null 2>&1' EXIT
must tools/rig.sh start
MODE32=$(. build/rig/env && echo "${RIG_MODE32:-emulated}")

# A Windows program very rarely dies under Wine before its first line (seen once: 0.04 s, no
# output); such a test gets a second try, and every test that needed one is named below, so
# that a flaky test is seen. A test that fails twice fails the run.
declare -A RESULT
leg() {
  local preset=$1 log=build/$1-ctest.log
  shift
  phase "tests: $preset"
  ctest --preset "$preset" --repeat until-pass:2 "$@" 2>&1 | tee "$log"
  RESULT[$preset]=${PIPESTATUS[0]}
  # CTest prints a test's number and name at each try; a name seen twice needed its second try.
  grep -oE '^ *(Start|Test) +[0-9]+: [^ ]+' "$log" | sed -E 's/^ *(Start|Test) +[0-9]+: //' \
    | sort | uniq -d | sed 's/^/second try: /' >"build/$preset-retried.txt" || true
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
  sed 's/^/  /' "build/$preset-retried.txt"
  [ "${RESULT[$preset]}" = 0 ] || status=1
done
exit "$status"
