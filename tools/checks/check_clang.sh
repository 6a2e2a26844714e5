#!/bin/bash
# Compiles the product's sources with clang for 32-bit Windows (the MinGW-w64 headers and the
# product's own C++ library), warnings on and treated as errors: the product must stay
# buildable beyond GCC. Compiles only; the product is linked by the win32 preset.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$ROOT"
CXXLIB=$(ls -d /usr/lib/gcc/i686-w64-mingw32/*-win32/include/c++ | head -n 1)
FLAGS=(--target=i686-w64-mingw32 -std=c++17 -fsyntax-only -fno-exceptions -Wall -Wextra -Werror
       -isystem "$CXXLIB" -isystem "$CXXLIB/i686-w64-mingw32" -I "$ROOT"
       -D_WIN32_WINNT=0x0501 -DWINVER=0x0501 -DNOMINMAX -D_MBCS)
failed=0
count=0
for source in app/*.cpp framework/*.cpp serial/*.cpp loopback/*.cpp; do
  count=$((count + 1))
  clang++ "${FLAGS[@]}" "$source" || { echo "clang: $source does not compile cleanly" >&2; failed=1; }
done
[ "$failed" = 0 ] && echo "clang $(clang++ -dumpversion): $count product sources compile without a warning"
exit "$failed"
