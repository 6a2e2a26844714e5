#!/bin/bash
# The Wine test rig: a project-owned Wine prefix, a virtual display, a persistent wineserver
# and the virtual-cable server. `start` writes build/rig/env, which tools/rig/winerun.sh reads;
# `stop` ends only what `start` started (by PID, and the wineserver of our own prefix).
#   tools/rig/rig.sh start|stop|status|guard   (guard: re-applies the console-port guard below)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
RIG=$ROOT/build/rig
PREFIX=$ROOT/build/wineprefix
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
# A Chinese Windows: the dialog's texts are Chinese and the ANSI code page is 936 (double-byte).
# Every wine command of this prefix runs with this same locale.
RIG_LOCALE=zh_CN.UTF-8
. "$ROOT/tools/rig/mode32.sh"

export WINEPREFIX=$PREFIX WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
# The locale goes to Wine's processes only (bash itself has no such locale installed).
WINE=(env LANG=$RIG_LOCALE LC_ALL=$RIG_LOCALE "$WINE")
WINESERVER=(env LANG=$RIG_LOCALE LC_ALL=$RIG_LOCALE "$WINESERVER")

log() { printf '[rig] %s\n' "$*" >&2; }

prepare_prefix() {
  mkdir -p "$RIG"
  if [ ! -f "$PREFIX/.rig-ready" ]; then
    log "creating Wine prefix $PREFIX"
    rm -rf "$PREFIX"
    "${WINE[@]}" wineboot -i >"$RIG/wineboot.log" 2>&1 || true
    "${WINESERVER[@]}" -w
    cat >"$RIG/rig.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
"Decorated"="Y"

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"Arial"="Liberation Sans"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"MS Shell Dlg"="WenQuanYi Micro Hei"
"MS Shell Dlg 2"="WenQuanYi Micro Hei"
REG
    "${WINE[@]}" regedit /S "$(winepath_of "$RIG/rig.reg")" >>"$RIG/wineboot.log" 2>&1
    "${WINESERVER[@]}" -w
    mkdir -p "$PREFIX/drive_c/windows/Fonts"
    for f in /usr/share/wine/fonts/*; do ln -sf "$f" "$PREFIX/drive_c/windows/Fonts/"; done
    touch "$PREFIX/.rig-ready"
  fi
  [ "$MODE32" = native ] || link_wow64_dlls
  guard_console_ports
}

# 32-bit programs load their DLLs from syswow64, which wineboot fills by running 32-bit code;
# where that runs only under emulation, wineboot cannot, so Wine's own 32-bit DLLs are linked there.
link_wow64_dlls() {
  local dlls=/usr/lib/i386-linux-gnu/wine/i386-windows f
  [ -d "$dlls" ] || return 0
  mkdir -p "$PREFIX/drive_c/windows/syswow64"
  for f in "$dlls"/*; do ln -sf "$f" "$PREFIX/drive_c/windows/syswow64/"; done
}

winepath_of() { printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"; }

# Wine links comN to this machine's own serial devices, and a comN without a link falls back
# to /dev/ttyS(N-1): COM1 there is the console, which no test may ever open. Each such comN
# is linked to an empty folder instead, so opening it fails as for a port that is busy.
# Links of the virtual cables (/dev/pts/*) are left alone.
guard_console_ports() {
  local dev n link
  mkdir -p "$RIG/no-port"
  for dev in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
    [ -e "$dev" ] || continue
    case "$dev" in /dev/ttyS*) n=$(( ${dev#/dev/ttyS} + 1 )) ;; *) n= ;; esac
    for link in "$PREFIX"/dosdevices/com*; do
      [ -L "$link" ] && [ "$(readlink "$link")" = "$dev" ] && ln -sfn "$RIG/no-port" "$link"
    done
    [ -n "$n" ] || continue
    link=$PREFIX/dosdevices/com$n
    if [ -L "$link" ]; then
      case "$(readlink "$link")" in /dev/pts/*|"$RIG/no-port") continue ;; esac
    fi
    ln -sfn "$RIG/no-port" "$link"
  done
}

start_xvfb() {
  if [ -n "${RIG_DISPLAY:-}" ]; then echo "$RIG_DISPLAY" >"$RIG/display"; return; fi
  local fd_file=$RIG/xvfb.displayfd
  rm -f "$fd_file"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fd_file" >"$RIG/xvfb.log" 2>&1 &
  echo $! >"$RIG/xvfb.pid"
  for _ in $(seq 100); do [ -s "$fd_file" ] && break; sleep 0.05; done
  [ -s "$fd_file" ] || { log "Xvfb did not start"; exit 1; }
  echo ":$(tr -d '\n' <"$fd_file")" >"$RIG/display"
}

start_cable_server() {
  rm -f "$RIG/cable.control"
  /usr/bin/python3 "$ROOT/tools/pty_cable/cable.py" --prefix "$PREFIX" --control-port 0 \
      --control-file "$RIG/cable.control" >"$RIG/cable.log" 2>&1 &
  echo $! >"$RIG/cable.pid"
  for _ in $(seq 100); do [ -s "$RIG/cable.control" ] && break; sleep 0.05; done
  [ -s "$RIG/cable.control" ] || { log "cable server did not start"; cat "$RIG/cable.log" >&2; exit 1; }
}

# The virtual cable driver (tools/cable_driver), the Windows path's cable: a kernel service that
# Wine's driver host runs for as long as the persistent wineserver lives. Its control device
# adds COM ports; tests reach it with SELFTEST_CABLE=driver. Optional: without the 64-bit build
# the rig starts without it.
CABLE_DRIVER=$ROOT/build/win64/tools/cable_driver/selftest_cable.sys
CABLECTL=$ROOT/build/win64/tools/cable_driver/cablectl.exe
start_cable_driver() {
  if [ ! -f "$CABLE_DRIVER" ] || [ ! -f "$CABLECTL" ]; then
    log "no cable driver built (win64 preset); only the pty cable"
    return 0
  fi
  mkdir -p "$PREFIX/drive_c/windows/system32/drivers"
  cp "$CABLE_DRIVER" "$PREFIX/drive_c/windows/system32/drivers/selftest_cable.sys"
  # The image path must be absolute. Services inherit our stdout: all their output to a file.
  "${WINE[@]}" sc create selftest_cable type= kernel start= demand \
      binPath= 'C:\windows\system32\drivers\selftest_cable.sys' >>"$RIG/driver.log" 2>&1 </dev/null || true
  # Right after wineboot the service manager can answer 1055 (database locked) or 1053
  # (time-out) for a while.
  local try out
  for try in $(seq 30); do
    out=$("${WINE[@]}" sc start selftest_cable </dev/null 2>&1 >"$RIG/driver.start" ; cat "$RIG/driver.start")
    echo "$out" >>"$RIG/driver.log"
    case "$out" in
      *RUNNING*|*1056*) break ;;
    esac
    sleep 2
  done
  if ! "${WINE[@]}" "$CABLECTL" --quiet ping </dev/null >>"$RIG/driver.log" 2>&1; then
    log "the cable driver did not start (see $RIG/driver.log)"
    return 1
  fi
  echo 1 >"$RIG/driver.on"
}

stop_cable_driver() {
  [ -f "$RIG/driver.on" ] || return 0
  rm -f "$RIG/driver.on"
  timeout 20 "${WINE[@]}" sc stop selftest_cable </dev/null >>"$RIG/driver.log" 2>&1 || true
}

build_preload() {
  mkdir -p "$ROOT/build/tools"
  bash "$ROOT/tools/pty_cable/build_modemlines.sh" "$ROOT/build/tools" >/dev/null
}

cmd_start() {
  cmd_stop quiet
  MODE32_WHY=$(mode32 why)
  MODE32=${MODE32_WHY%% *}
  prepare_prefix
  build_preload
  start_xvfb
  export DISPLAY
  DISPLAY=$(cat "$RIG/display")
  # A persistent wineserver, warmed once, with all output to files: Wine's helper processes
  # otherwise hold the test runner's pipe for seconds per test.
  # A crash of the wineserver asks for a core dump (it lands in the server's folder under /tmp).
  (ulimit -c unlimited; "${WINESERVER[@]}" -p >"$RIG/wineserver.log" 2>&1)
  "${WINE[@]}" wineboot >>"$RIG/wineboot.log" 2>&1 </dev/null
  guard_console_ports
  start_cable_server
  start_cable_driver
  cat >"$RIG/env" <<ENV
export WINEPREFIX='$PREFIX'
export WINEDEBUG=-all
export WINEARCH=win64
export WINEDLLOVERRIDES='$WINEDLLOVERRIDES'
export RIG_LOCALE=$RIG_LOCALE
export DISPLAY='$DISPLAY'
export CABLE_CONTROL='$(cat "$RIG/cable.control")'
export RIG_PRELOAD='$ROOT/build/tools/\$LIB/modemlines.so'
export RIG_CABLE_DRIVER='$([ -f "$RIG/driver.on" ] && echo 1)'
export RIG_CABLECTL='$CABLECTL'
export RIG_MODE32=$MODE32
ENV
  # Under emulation a test program starts a 32-bit program through the launcher, so that it too
  # runs emulated; where the kernel cannot run 32-bit code, Wine could not start it otherwise.
  [ "$MODE32" = native ] || echo "export RIG_LAUNCH32='$ROOT/tools/rig/winerun32.sh'" >>"$RIG/env"
  log "ready: display $DISPLAY, cable control $(cat "$RIG/cable.control")$([ -f "$RIG/driver.on" ] && echo ", cable driver"), 32-bit code $MODE32_WHY"
}

kill_pidfile() {
  local f=$1 pid
  [ -f "$f" ] || return 0
  pid=$(cat "$f")
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 40); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$f"
}

cmd_stop() {
  mkdir -p "$RIG"
  kill_pidfile "$RIG/cable.pid"
  if [ -d "$PREFIX" ] && [ -f "$RIG/env" ]; then stop_cable_driver; fi
  if [ -d "$PREFIX" ]; then "${WINESERVER[@]}" -k >/dev/null 2>&1 || true; fi
  kill_pidfile "$RIG/xvfb.pid"
  rm -f "$RIG/env" "$RIG/display" "$RIG/cable.control"
  if [ -d "$PREFIX/dosdevices" ]; then
    local l
    for l in "$PREFIX"/dosdevices/com*; do [ -L "$l" ] && case "$(readlink "$l")" in /dev/pts/*) rm -f "$l";; esac; done
  fi
  [ "${1:-}" = quiet ] || log "stopped"
}

case "${1:-}" in
  start) cmd_start ;;
  stop) cmd_stop ;;
  guard) [ -d "$PREFIX/dosdevices" ] && guard_console_ports ;;
  status) [ -f "$RIG/env" ] && cat "$RIG/env" || { echo "rig not running"; exit 1; } ;;
  *) echo "usage: $0 start|stop|status|guard" >&2; exit 2 ;;
esac
