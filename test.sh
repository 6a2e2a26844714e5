#!/bin/bash
# Builds and tests under the Wine rig. Safe to run again; prints each leg's own summary and fails
# when a test of either leg fails.
#
#   ./test.sh                   what CI runs: the three presets and the release package, then
#                               both legs: the 64-bit twin's tests under 64-bit Wine, and the
#                               32-bit test programs with the shipped selftest.exe under 32-bit
#                               Wine (natively where the kernel runs 32-bit code, inside
#                               qemu-i386 where it cannot; SELFTEST_EMULATE32=1 forces that)
#   ./test.sh --quick           the quick tier: the win64 preset only, and its tests that drive
#                               no selftest.exe from outside (label quick), a few minutes
#   ./test.sh [--leg win64|win32-tests] CTEST-ARGS...
#                               one leg or both, with CTest's filter (-R serial_port_test,
#                               -L serial); only the presets the legs need, and no package
#                               (the product checks that need it build it themselves)
set -uo pipefail
cd "$(dirname "$0")"
JOBS=$(nproc 2>/dev/null || echo 2)
phase() { printf '\n=== %s (%s)\n' "$1" "$(date +%T)"; }
must() { "$@" || { echo "test.sh: failed: $*" >&2; exit 1; }; }

LEGS=(win64 win32-tests)
ARGS=()
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) LEGS=(win64); ARGS+=(-L quick) ;;
    --leg) LEGS=("${2:?--leg win64 or win32-tests}"); shift ;;
    *) ARGS+=("$1") ;;
  esac
  shift
done
for leg in "${LEGS[@]}"; do
  case "$leg" in win64|win32-tests) ;; *) echo "test.sh: no leg $leg (win64, win32-tests)" >&2; exit 2 ;; esac
done

phase "dependencies"
must bash tools/rig/install_deps.sh

# The rig's cable driver comes from the win64 preset, so that one is always built; the 32-bit
# leg drives the product preset's program.
PRESETS=(win64)
[[ " ${LEGS[*]} " == *" win32-tests "* ]] && PRESETS=(win32 win64 win32-tests)
for preset in "${PRESETS[@]}"; do
  phase "build $preset"
  must cmake --preset "$preset" >/dev/null
  must cmake --build --preset "$preset" -j "$JOBS"
done
if [ ${#ARGS[@]} -eq 0 ] && [ "${#PRESETS[@]}" -eq 3 ]; then
  phase "package win32"
  must cmake --build --preset win32 --target package
fi

phase "start rig"
trap 'tools/rig/rig.sh stop >/dev/null 2>&1' EXIT
must tools/rig/rig.sh start
MODE32=$(. build/rig/env && echo "${RIG_MODE32:-emulated}")

# CTest launches every test program through tools/rig/second_try.sh, which gives it a second
# try only when Wine let it die before its first line, and notes each one; a test that fails in
# any other way fails the run. Every second try is named below.
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
for preset in "${LEGS[@]}"; do leg "$preset" ${ARGS[@]+"${ARGS[@]}"}; done

phase "summary"
status=0
for preset in "${LEGS[@]}"; do
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
