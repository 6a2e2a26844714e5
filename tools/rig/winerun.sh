#!/bin/bash
# CTest's emulator for the 64-bit test twin: runs a Windows program under the rig's Wine.
# WINERUN_LOADER names another Wine loader (/usr/lib/wine/wine for 32-bit Wine on a kernel
# that runs 32-bit code).
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
if [ ! -f "$ROOT/build/rig/env" ]; then
  echo "winerun: the rig is not running (tools/rig/rig.sh start)" >&2
  exit 2
fi
. "$ROOT/build/rig/env"
# Wine may link comN to this machine's own serial devices again (COM1 there is the console).
"$ROOT/tools/rig/rig.sh" guard
# ld.so expands $LIB to the 64-bit or 32-bit folder of the preload.
[ -n "${RIG_PRELOAD:-}" ] && export LD_PRELOAD=$RIG_PRELOAD
RIG_LOCALE=${RIG_LOCALE:-zh_CN.UTF-8}
exec env LANG="$RIG_LOCALE" LC_ALL="$RIG_LOCALE" "${WINERUN_LOADER:-/usr/lib/wine/wine64}" "$@"
