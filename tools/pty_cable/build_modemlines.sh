#!/bin/sh
# Builds the modem-line preload for Wine's processes: build_modemlines.sh OUTDIR
# gives OUTDIR/modemlines.so (64-bit) and the same for both word sizes under OUTDIR/lib/<multiarch>/,
# so that LD_PRELOAD='OUTDIR/$LIB/modemlines.so' suits the 64-bit and the 32-bit Wine (native or emulated)
# alike, and every process either one starts. CC overrides the host compiler.
set -eu
out=${1:?usage: build_modemlines.sh OUTDIR}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out/lib/x86_64-linux-gnu" "$out/lib/i386-linux-gnu"
${CC:-gcc} -O2 -Wall -Wextra -shared -fPIC -o "$out/modemlines.so" "$here/modemlines.c" -ldl -lpthread
${CC:-gcc} -m32 -O2 -Wall -Wextra -shared -fPIC -o "$out/lib/i386-linux-gnu/modemlines.so" "$here/modemlines.c" -ldl -lpthread
ln -sf ../../modemlines.so "$out/lib/x86_64-linux-gnu/modemlines.so"
