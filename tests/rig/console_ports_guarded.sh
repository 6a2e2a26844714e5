#!/bin/bash
# Every COM name that Wine would map to one of this machine's own serial devices (COM1 is the
# console here) must lead to the rig's guard after a test program starts, not to the device.
set -u
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$ROOT/build/rig/env" 2>/dev/null || { echo "rig not running"; exit 1; }
"$ROOT/tools/winerun" cmd /c exit >/dev/null 2>&1   # what every test program goes through
failed=0
for dev in /dev/ttyS*; do
  [ -e "$dev" ] || continue
  link=$WINEPREFIX/dosdevices/com$(( ${dev#/dev/ttyS} + 1 ))
  target=$(readlink "$link" 2>/dev/null) || { echo "FAIL: $link missing: Wine falls back to $dev"; failed=1; continue; }
  case "$target" in
    /dev/pts/*) ;;                       # a virtual cable
    "$ROOT/build/rig/no-port") ;;
    *) echo "FAIL: $link -> $target"; failed=1 ;;
  esac
done
for link in "$WINEPREFIX"/dosdevices/com*; do
  case "$(readlink "$link")" in /dev/ttyS*|/dev/ttyUSB*|/dev/ttyACM*) echo "FAIL: $link -> $(readlink "$link")"; failed=1 ;; esac
done
[ $failed -eq 0 ] && echo "console ports guarded"
exit $failed
