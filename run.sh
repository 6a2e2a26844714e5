#!/bin/bash
# Builds selftest.exe and runs it under Wine: the shipped 32-bit program (32-bit Wine, emulated
# where the kernel cannot run it), or with --twin the 64-bit twin that the tests run. By default
# the maker's cable is plugged in through the rig's virtual cable driver (the Windows path), and
# the program finds it by itself at start-up. With a display the dialog is yours until you close
# it. Without one (or with --headless) it prints the port found, presses Start, prints the log
# and the verdict read from the screen, saves a screenshot and exits 0 on OK, 1 on NG, 2 when no
# verdict came.
#
#   ./run.sh [--headless] [--twin] [--screenshot PATH] [--tty | --port /dev/ttyUSB0] [--com N]
#
#   --headless         run one test and report, even when a display is there
#   --screenshot PATH  where the headless run saves its PNG (default build/run/selftest.png)
#   --tty              the pty cable instead (Wine's serial emulation, the Linux path); it does
#                      not answer the maker's request, so its name is typed in
#   --port DEVICE      a real serial device (a cable with its loopback plug), mapped as the COM
#                      port and typed in
#   --com N            the COM number to use (default 7; 1 to 12 for the maker's cable, the
#                      ports that discovery tries)
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
TTY=0

usage() { sed -n '2,22s/^# \{0,1\}//p' "$0"; }
while [ $# -gt 0 ]; do
  case "$1" in
    --headless) HEADLESS=1 ;;
    --twin) TWIN=1 ;;
    --tty) TTY=1 ;;
    --screenshot) [ $# -ge 2 ] || { usage >&2; exit 2; }; SHOT=$2; shift ;;
    --port) [ $# -ge 2 ] || { usage >&2; exit 2; }; DEVICE=$2; shift ;;
    --com) [ $# -ge 2 ] || { usage >&2; exit 2; }; COM=$2; shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
  shift
done
case "$COM" in ''|*[!0-9]*) echo "run.sh: --com takes a number" >&2; exit 2 ;; esac
if [ -n "$DEVICE" ] && [ "$TTY" = 1 ]; then
  echo "run.sh: --tty and --port are two different cables; choose one" >&2
  exit 2
fi
DRIVER_CABLE=0
[ -z "$DEVICE" ] && [ "$TTY" = 0 ] && DRIVER_CABLE=1
if [ "$DRIVER_CABLE" = 1 ] && { [ "$COM" -lt 1 ] || [ "$COM" -gt 12 ]; }; then
  echo "run.sh: the program looks for the maker's cable on COM1 to COM12 only; choose one of them with --com" >&2
  exit 2
fi
[ -n "${DISPLAY:-}" ] || HEADLESS=1
if [ -n "$DEVICE" ] && { [ ! -c "$DEVICE" ] || [ ! -r "$DEVICE" ] || [ ! -w "$DEVICE" ]; }; then
  echo "run.sh: $DEVICE is not a serial device this user can read and write" >&2
  exit 2
fi

say() { printf '\n=== %s\n' "$*"; }

say "dependencies"
bash tools/rig/install_deps.sh

say "build win32 (the product)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$JOBS"

say "build win64 (the twin that Wine runs here), the operator's hands and the cable driver"
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$JOBS" --target selftest drive_dialog cable_driver cablectl

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
# One request to the cable driver, unannounced: the cable is there before the program starts.
cablectl() { tools/rig/winerun.sh "$RIG_CABLECTL" --quiet "$@" 2> >(grep -v 'setlocale' >&2); }
cleanup() {
  set +e
  if [ "$CABLE_ADDED" = 1 ]; then
    if [ "$DRIVER_CABLE" = 1 ]; then cablectl remove "$COM" >/dev/null; else cable "remove $COM" >/dev/null; fi
  fi
  [ -n "$LINKED" ] && rm -f "$LINKED"
  [ "$RIG_STARTED" = 1 ] && tools/rig/rig.sh stop
}
trap cleanup EXIT

if rig_alive; then
  . build/rig/env
  echo "using the rig that is already running (display $DISPLAY); it stays running"
  if [ "$HEADLESS" = 0 ] && [ -f build/rig/xvfb.pid ]; then
    echo "it draws on its own virtual display, so this run is headless (tools/rig/rig.sh stop, then ./run.sh, to see the dialog)"
    HEADLESS=1
  fi
else
  if [ "$HEADLESS" = 0 ]; then RIG_DISPLAY=$DISPLAY tools/rig/rig.sh start; else tools/rig/rig.sh start; fi
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
elif [ "$DRIVER_CABLE" = 1 ]; then
  if [ "${RIG_CABLE_DRIVER:-}" != 1 ]; then
    echo "run.sh: the rig runs without its cable driver (see build/rig/driver.log); --tty uses the pty cable" >&2
    exit 2
  fi
  cablectl add "$COM" >/dev/null || { echo "run.sh: the cable driver refused COM$COM (is it taken?)" >&2; exit 2; }
  CABLE_ADDED=1
  echo "COM$COM is the maker's cable on the virtual cable driver (loopback paced at the line's baud rate)"
else
  cable "add $COM" >/dev/null || { echo "run.sh: the cable server refused COM$COM" >&2; exit 2; }
  CABLE_ADDED=1
  echo "COM$COM is a virtual loopback cable on a pseudo-terminal (echo paced at the line's baud rate)"
fi
# The maker's cable is found by the program; any other port's name is typed in.
TYPED=(--port "COM$COM")
[ "$DRIVER_CABLE" = 1 ] && TYPED=()

# The 64-bit driver starts a 32-bit program as Wine does, or under emulation through the rig's
# launcher (tools/rig/winerun32.sh).
if [ "$TWIN" = 1 ]; then EXE=$ROOT/build/win64/app/selftest.exe; else EXE=$ROOT/build/win32/app/selftest.exe; fi
DRIVER=build/win64/tools/dialog_driver/drive_dialog.exe
# Wine's own chatter goes to stderr; the locale warning of the host shell is noise here.
quiet() { "$@" 2> >(grep -v 'setlocale' >&2); }

if [ "$HEADLESS" = 0 ]; then
  if [ "$DRIVER_CABLE" = 1 ]; then how="the program finds COM$COM"; else how="port COM$COM typed in"; fi
  say "selftest.exe on $DISPLAY, $how; press Start (开始), close the window to end"
  quiet tools/rig/winerun.sh "$DRIVER" show "$EXE" "${TYPED[@]}"
  exit 0
fi

say "headless run on COM$COM"
mkdir -p "$(dirname "$SHOT")"
SHOT=$(realpath -m "$SHOT")
BMP=${SHOT%.*}.bmp
rc=0
quiet tools/rig/winerun.sh "$DRIVER" run "$EXE" "${TYPED[@]}" --bmp "$BMP" || rc=$?
if [ -f "$BMP" ]; then
  convert "$BMP" "$SHOT" && rm -f "$BMP" && echo "saved $SHOT"
fi
exit "$rc"
