#!/bin/bash
# Checks the release package against the program the 32-bit leg tests.
#
#   tools/checks/check_package.sh shipped PROGRAM       the win32 build's package (made here, from the
#       build tree PROGRAM belongs to) holds PROGRAM byte for byte, its SHA-256 list is true, and
#       its guide is text that Notepad on a Chinese Windows reads (UTF-8 with a byte-order mark,
#       CRLF line ends)
#   tools/checks/check_package.sh reproducible PROGRAM SCRATCH   a clean build of the same sources in
#       another folder (SCRATCH) gives the same program and the same package, byte for byte
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
MODE=${1:-}
PROGRAM=$(realpath "${2:?usage: check_package.sh shipped|reproducible PROGRAM [SCRATCH]}")
BUILD=$(dirname "$(dirname "$PROGRAM")")
VERSION=$(sed -n 's/^project(selftest VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
NAME=selftest-$VERSION-win32
fail() { echo "FAILED: $*" >&2; exit 1; }
sha() { sha256sum "$1" | cut -d' ' -f1; }

case "$MODE" in
shipped)
  tested=$(sha "$PROGRAM")
  cmake --build "$BUILD" --target package >/dev/null
  [ "$(sha "$PROGRAM")" = "$tested" ] || fail "building the package changed $PROGRAM: it is not the tested one"
  zip=$BUILD/$NAME.zip
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  python3 -m zipfile -e "$zip" "$work"
  dir=$work/$NAME
  [ "$(sha "$dir/selftest.exe")" = "$tested" ] || fail "the program in $zip is not the tested $PROGRAM"
  (cd "$dir" && sha256sum --quiet -c SHA256SUMS.txt) || fail "the SHA-256 list does not match the files"
  listed=$(cut -d'*' -f2 "$dir/SHA256SUMS.txt" | tr -d '\r' | sort)
  packed=$(cd "$dir" && find . -type f ! -name SHA256SUMS.txt | sed 's|^\./||' | sort)
  [ "$listed" = "$packed" ] || fail "the SHA-256 list names $(echo $listed), the package holds $(echo $packed)"
  guide=$dir/operator-guide.zh-CN.txt
  [ "$(head -c 3 "$guide" | od -An -tx1 | tr -d ' ')" = efbbbf ] || fail "the guide has no UTF-8 byte-order mark"
  ! grep -q $'[^\r]$' "$guide" || fail "the guide has a line without CRLF"
  iconv -f UTF-8 -t UTF-16 "$guide" >/dev/null || fail "the guide is not UTF-8"
  grep -q 'Unable to open port' "$guide" || fail "the guide does not explain the message box"
  echo "$zip: selftest.exe is the tested program ($tested); $(echo "$packed" | wc -l) files, all in the SHA-256 list"
  ;;
reproducible)
  scratch=${3:?a scratch folder}
  rm -rf "$scratch"
  cmake -S "$ROOT" -B "$scratch" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DSELFTEST_TESTS=OFF >/dev/null
  cmake --build "$scratch" -j 2 --target package >/dev/null
  cmake --build "$BUILD" --target package >/dev/null
  for file in app/selftest.exe "$NAME.zip"; do
    [ "$(sha "$scratch/$file")" = "$(sha "$BUILD/$file")" ] || fail "$file differs between $BUILD and a clean build in $scratch"
    echo "$file: the same in both builds ($(sha "$BUILD/$file"))"
  done
  rm -rf "$scratch"
  ;;
*)
  sed -n '2,9s/^# \{0,1\}//p' "$0" >&2
  exit 2
  ;;
esac
