#!/bin/bash
# The operator's guide's pictures, taken from the shipped 32-bit selftest.exe itself under the
# rig, so that they show the program as it is: ready with the cable's port found, a run halfway,
# OK, NG (the cable corrupts one byte of the first block at 57600 bps) and the message box of a
# port that does not open. The maker's cable is plugged in through the rig's cable driver as COM7.
#
#   tools/release/guide_screenshots.sh [OUTDIR]   (default docs/guide; uses a running rig, or starts one)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$ROOT"
OUT=$(realpath -m "${1:-docs/guide}")
COM=7
# The 57600 bps rate's first block: the bytes after the two blocks at 9600 bps.
CORRUPT_OFFSET=1300

cmake --preset win32 >/dev/null && cmake --build --preset win32 -j2 --target selftest >/dev/null
cmake --preset win64 >/dev/null && cmake --build --preset win64 -j2 --target drive_dialog cable_driver cablectl >/dev/null

RIG_STARTED=0
PLUGGED=0
cleanup() {
  set +e
  [ "$PLUGGED" = 1 ] && cablectl remove "$COM" >/dev/null
  [ "$RIG_STARTED" = 1 ] && tools/rig/rig.sh stop
  rm -rf "$OUT/bmp"
}
trap cleanup EXIT
if [ -f build/rig/env ] && [ -f build/rig/cable.pid ] && kill -0 "$(cat build/rig/cable.pid)" 2>/dev/null; then
  echo "using the rig that is already running"
else
  tools/rig/rig.sh start
  RIG_STARTED=1
fi
. build/rig/env
[ "${RIG_CABLE_DRIVER:-}" = 1 ] || { echo "guide_screenshots: the rig runs without its cable driver" >&2; exit 2; }

quiet() { "$@" 2> >(grep -v 'setlocale' >&2); }
# Unannounced: the cable is there before the program starts, as on a station at start of shift.
cablectl() { quiet tools/rig/winerun.sh "$RIG_CABLECTL" --quiet "$@"; }
# One headless run of the shipped program; the driver's exit code is the verdict (0 OK, 1 NG, 2 none).
run() {
  local expected=$1 rc=0
  shift
  quiet tools/rig/winerun.sh build/win64/tools/dialog_driver/drive_dialog.exe run "$ROOT/build/win32/app/selftest.exe" "$@" || rc=$?
  [ "$rc" = "$expected" ] || { echo "guide_screenshots: the run ended with $rc, not $expected" >&2; exit 1; }
}

mkdir -p "$OUT/bmp"
cablectl add "$COM" >/dev/null
PLUGGED=1
run 0 --bmp-ready "$OUT/bmp/ready.bmp" --bmp-running "$OUT/bmp/running.bmp" --bmp "$OUT/bmp/ok.bmp"
cablectl remove "$COM" >/dev/null
cablectl add "$COM" --corrupt "$CORRUPT_OFFSET" >/dev/null
run 1 --bmp "$OUT/bmp/ng.bmp"
run 2 --port COM13 --bmp "$OUT/bmp/port-error.bmp"

# Without the PNG's time chunks the same pixels give the same file.
for shot in ready running ok ng port-error; do
  convert "$OUT/bmp/$shot.bmp" -strip -define png:exclude-chunks=date,time "$OUT/$shot.png"
  echo "saved $OUT/$shot.png"
done
