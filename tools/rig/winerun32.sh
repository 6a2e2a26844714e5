#!/bin/bash
# Runs a 32-bit Windows program under the rig's Wine: 32-bit Wine natively where the kernel runs
# 32-bit code, inside user-mode emulation (qemu-i386) where it cannot, as the rig found when it
# started (RIG_MODE32, from tools/rig/mode32.sh); SELFTEST_EMULATE32=1 forces the emulator. CTest's
# emulator for the 32-bit test leg, and the launcher that test programs use to start a 32-bit
# program under emulation.
#   tools/rig/winerun32.sh PROGRAM.exe [ARG ...]
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
if [ ! -f "$ROOT/build/rig/env" ]; then
  echo "winerun32: the rig is not running (tools/rig/rig.sh start)" >&2
  exit 2
fi
. "$ROOT/build/rig/env"
# The switch also holds for one command under a rig that runs 32-bit code natively.
if [ "${RIG_MODE32:-}" = native ] && [ "${SELFTEST_EMULATE32:-}" != 1 ]; then
  WINERUN_LOADER=/usr/lib/wine/wine exec "$ROOT/tools/rig/winerun.sh" "$@"
fi
QEMU=$ROOT/build/tools/qemu-i386
[ -x "$QEMU" ] || { echo "winerun32: $QEMU is missing (tools/rig/install_deps.sh)" >&2; exit 2; }
"$ROOT/tools/rig/rig.sh" guard
RIG_LOCALE=${RIG_LOCALE:-zh_CN.UTF-8}
# The preload's path holds $LIB, so the emulated 32-bit process and any 64-bit helper that
# Wine starts from it each load their own build.
args=(-E "LANG=$RIG_LOCALE" -E "LC_ALL=$RIG_LOCALE")
[ -n "${RIG_PRELOAD:-}" ] && args+=(-E "LD_PRELOAD=$RIG_PRELOAD")
unset LD_PRELOAD
# A 32-bit program that this one starts goes through here too, and so runs emulated as well.
export RIG_LAUNCH32=$ROOT/tools/rig/winerun32.sh
# Without WINELOADERNOEXEC the loader re-executes itself, which the emulator cannot follow.
export WINELOADERNOEXEC=1
exec "$QEMU" "${args[@]}" /usr/lib/wine/wine "$@"
