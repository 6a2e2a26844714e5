#!/bin/bash
# Each compiler gets its own options: configures the product for Visual Studio's compiler (with
# clang-cl standing in, cmake/msvc-standin.cmake) and for MinGW-w64, and reads the commands CMake
# writes. No GCC option may reach cl.exe or link.exe, no MSVC option GCC; the MSVC build links
# the static runtime and asks for the XP SP3 subsystem version.
#   tools/checks/check_compiler_options.sh SCRATCH
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
SCRATCH=${1:?usage: check_compiler_options.sh SCRATCH}
rm -rf "$SCRATCH"
mkdir -p "$SCRATCH/bin"
ln -s "$(command -v clang)" "$SCRATCH/bin/clang-cl"
configure() { cmake -S "$ROOT" -B "$SCRATCH/$1" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=MinSizeRel -DSELFTEST_TESTS=OFF \
                    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "${@:2}" >"$SCRATCH/$1.log" 2>&1 \
              || { cat "$SCRATCH/$1.log" >&2; exit 1; }; }
configure msvc -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/msvc-standin.cmake" -DMSVC_STANDIN_BIN="$SCRATCH/bin"
configure mingw -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake"
# Every compile, resource compile and link command of the product, one a line.
commands() {
  grep -o '"command": "[^"]*' "$SCRATCH/$1/compile_commands.json" | cut -d'"' -f4
  find "$SCRATCH/$1" -name flags.make -path '*selftest_res*' -exec grep -h '^RC_' {} +
  cat "$SCRATCH/$1/app/CMakeFiles/selftest.dir/link.txt"
}
failed=0
check() { # WHAT PATTERN BUILD [present]
  local found
  found=$(commands "$3" | grep -oE -- "$2" | sort -u | tr '\n' ' ' || true)
  if [ "${4:-}" = present ]; then
    [ -n "$found" ] || { echo "FAILED: the $3 build lacks $1" >&2; failed=1; }
  elif [ -n "$found" ]; then
    echo "FAILED: $1 in the $3 build: $found" >&2
    failed=1
  fi
}
check "GCC options" '(^| )-(W[a-z][^ ]*|f[a-z][^ ]*|s|static[^ ]*|O[0-3s])( |$)' msvc
check "MSVC options" '(^| )/(W[0-4]|utf-8|Gy|EH[a-z]*|M[TD]d?|SUBSYSTEM[^ ]*|MANIFEST[^ ]*|OPT:[A-Z]*|Brepro)( |$)' mingw
check "the static runtime (-MT)" '(^| )-MT( |$)' msvc present
check "subsystem 5.01" '/SUBSYSTEM:WINDOWS,5\.01' msvc present
check "the resource script's manifest alone (/MANIFEST:NO)" '/MANIFEST:NO' msvc present
[ "$failed" = 0 ] && echo "MSVC and MinGW-w64 builds: each compiler gets its own options; static runtime, subsystem 5.01"
exit "$failed"
