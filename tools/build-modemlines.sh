#!/bin/sh
# Builds the modem-line preload for the Wine process: build-modemlines.sh OUTDIR
# (gives OUTDIR/modemlines.so; CC overrides the host compiler).
set -eu
out=${1:?usage: build-modemlines.sh OUTDIR}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
${CC:-gcc} -O2 -Wall -Wextra -shared -fPIC -o "$out/modemlines.so" "$here/modemlines.c" -ldl -lpthread
