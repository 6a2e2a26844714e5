#!/bin/bash
# Builds selftest.exe and runs it under Wine on a virtual loopback cable, or on a real serial
# device: the shipped 32-bit program (32-bit Wine, emulated where the kernel cannot run it), or
# with --twin the 64-bit twin that the tests run. With a display the dialog is yours until you
# close it. Without one (or with --headless) it presses Start, prints the log and the verdict
# read from the screen, saves a screenshot and exits 0 on OK, 1 on NG, 2 when no verdict came.
#
#   ./run.sh [--headless] [--twin] [--screenshot PATH] [--port /dev/ttyUSB0] [--com N]
#
#   --headless         run one test and report, even when a display is there
#   --screenshot PATH  where the headless run saves its PNG (default build/run/selftest.png)
#   --port DEVICE      a real serial device (a cable with its loopback plug) instead of the
#                      virtual cable, mapped as the COM port
#   --com N            the COM number to use (default 7)
#   --twin             the 64-bit twin instead of the shipped 32-bit program
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=$(nproc 2>/dev/null || echo 2)

HEADLESS=0
SHOT=build/run/selftest.png
DEVICE=
COM=7
TWIN=0

usage() { sed -n '2,16s/^# \{0,1\}//p' "$0"; }
while [ $# -gt 0 ]; do
  case "$1" in
    --headless) HEADLESS=1 ;;
    --twin) TWIN=1 ;;
    --screenshot) [ $# -ge 2 ] || { usage >&2; exit 2; }; SHOT=$2; shift ;;
    --port) [ $# -ge 2 ] || { usage >&2; exit 2; }; DEVICE=$2; shift ;;
    --com) [ $# -ge 2 ] || { usage >&2; exit 2; }; COM=$2; shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
  shift
done
case "$COM" in ''|*[!0-9]*) echo "run.sh: --com takes a number" >&2; exit 2 ;; esac
[ -n "${DISPLAY:-}" ] || HEADLESS=1
if [ -n "$DEVICE" ] && { [ ! -c "$DEVICE" ] || [ ! -r "$DEVICE" ] || [ ! -w "$DEVICE" ]; }; then
  echo "run.sh: $DEVICE is not a serial device this user can read and write" >&2
  exit 2
fi

say() { printf '\n=== %s\n' "$*"; }

say "dependencies"
bash tools/install-deps.sh

say "build win32 (the product)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$JOBS"

say "build win64 (the twin that Wine runs here) and the driver"
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$JOBS" --target selftest selftest_driver

say "rig"
RIG_STARTED=0
CABLE_ADDED=0
LINKED=
rig_alive() {
  [ -f build/rig/env ] && [ -f build/rig/cable.pid ] && kill -0 "$(cat build/rig/cable.pid)" 2>/dev/null
}
# Sends one request to the cable server; prints the reply and fails unless it is OK.
cable() {
  /usr/bin/python3 - "$CABLE_CONTROL" "$*" <<'PY'
import socket, sys
address, request = sys.argv[1], sys.argv[2]
host, _, port = address.rpartition(":")
with socket.create_connection((host or "127.0.0.1", int(port)), timeout=10) as s:
    s.sendall(request.encode() + b"\n")
    reply = b""
    while not reply.endswith(b"\n"):
        chunk = s.recv(4096)
        if not chunk:
            break
        reply += chunk
print(reply.decode().strip())
sys.exit(0 if reply.startswith(b"OK") else 1)
PY
}
cleanup() {
  set +e
  [ "$CABLE_ADDED" = 1 ] && cable "remove $COM" >/dev/null
  [ -n "$LINKED" ] && rm -f "$LINKED"
  [ "$RIG_STARTED" = 1 ] && tools/rig.sh stop
}
trap cleanup EXIT

if rig_alive; then
  . build/rig/env
  echo "using the rig that is already running (display $DISPLAY); it stays running"
  if [ "$HEADLESS" = 0 ] && [ -f build/rig/xvfb.pid ]; then
    echo "it draws on its own virtual display, so this run is headless (tools/rig.sh stop, then ./run.sh, to see the dialog)"
    HEADLESS=1
  fi
else
  if [ "$HEADLESS" = 0 ]; then RIG_DISPLAY=$DISPLAY tools/rig.sh start; else tools/rig.sh start; fi
  RIG_STARTED=1
  . build/rig/env
fi

if [ -n "$DEVICE" ]; then
  LINKED=$WINEPREFIX/dosdevices/com$COM
  if [ -e "$LINKED" ] || [ -L "$LINKED" ]; then
    echo "run.sh: COM$COM is taken in the Wine prefix; choose another with --com" >&2
    LINKED=
    exit 2
  fi
  ln -s "$DEVICE" "$LINKED"
  echo "COM$COM is $DEVICE"
else
  cable "add $COM" >/dev/null || { echo "run.sh: the cable server refused COM$COM" >&2; exit 2; }
  CABLE_ADDED=1
  echo "COM$COM is a virtual loopback cable (echo paced at the line's baud rate)"
fi

# The 64-bit driver starts a 32-bit program as Wine does, or under emulation through the rig's
# launcher (tools/winerun32).
if [ "$TWIN" = 1 ]; then EXE=$ROOT/build/win64/app/selftest.exe; else EXE=$ROOT/build/win32/app/selftest.exe; fi
DRIVER=build/win64/tools/driver/selftest_driver.exe
# Wine's own chatter goes to stderr; the locale warning of the host shell is noise here.
quiet() { "$@" 2> >(grep -v 'setlocale' >&2); }

if [ "$HEADLESS" = 0 ]; then
  say "selftest.exe on $DISPLAY, port COM$COM typed in; press Start (开始), close the window to end"
  quiet tools/winerun "$DRIVER" show "$EXE" --port "COM$COM"
  exit 0
fi

say "headless run on COM$COM"
mkdir -p "$(dirname "$SHOT")"
SHOT=$(realpath -m "$SHOT")
BMP=${SHOT%.*}.bmp
rc=0
quiet tools/winerun "$DRIVER" run "$EXE" --port "COM$COM" --bmp "$BMP" || rc=$?
if [ -f "$BMP" ]; then
  convert "$BMP" "$SHOT" && rm -f "$BMP" && echo "saved $SHOT"
fi
exit "$rc"
