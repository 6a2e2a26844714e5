#!/bin/bash
# Every COM name that Wine would map to one of this machine's own serial devices (COM1 is the
# console here) must lead to the rig's guard after a test program starts, not to the device.
# A link of the test's own to such a device must be turned to the guard as well. Without any
# /dev/ttyS* there is nothing to guard or point at: that is a skip, not a pass.
set -u
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$ROOT/build/rig/env" 2>/dev/null || { echo "rig not running"; exit 1; }
devices=(/dev/ttyS*)
[ -e "${devices[0]}" ] || { echo "SKIP: no /dev/ttyS* on this machine"; exit 77; }
planted=$WINEPREFIX/dosdevices/com250
ln -sfn "${devices[0]}" "$planted"
trap 'rm -f "$planted"' EXIT
"$ROOT/tools/rig/rig.sh" guard
"$ROOT/tools/rig/winerun.sh" cmd /c exit >/dev/null 2>&1   # what every test program goes through
failed=0
[ "$(readlink "$planted")" = "$ROOT/build/rig/no-port" ] || { echo "FAIL: $planted -> $(readlink "$planted")"; failed=1; }
for dev in "${devices[@]}"; do
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
