#!/bin/bash
# How this machine runs 32-bit (i386) code: "native", where the kernel executes it, or
# "emulated", 32-bit Wine inside qemu-i386, where the kernel cannot (an i386 ELF gives "Exec
# format error"). SELFTEST_EMULATE32=1 forces the emulator, so the fallback can be tried on any
# machine. The one place that decides; sourced by the rig and the installer:
#   . tools/rig/mode32.sh; mode32          prints native or emulated
#   tools/rig/mode32.sh                    prints the same with the reason
WINE32_LOADER=/usr/lib/wine/wine

# An i386 ELF that binfmt_misc hands to an interpreter (qemu-user-binfmt, say) runs, but emulated.
i386_through_binfmt() {
  local entry magic
  for entry in /proc/sys/fs/binfmt_misc/*; do
    [ -f "$entry" ] && [ "$(head -n 1 "$entry" 2>/dev/null)" = enabled ] || continue
    magic=$(sed -n 's/^magic //p' "$entry")
    # ELF, 32-bit, little-endian, with e_machine 3 (i386) at byte 18.
    [ "${magic:0:10}" = 7f454c4601 ] && [ "${magic:36:4}" = 0300 ] && return 0
  done
  return 1
}

# Prints the mode, and with an argument the reason too.
mode32() {
  local mode reason
  if [ "${SELFTEST_EMULATE32:-}" = 1 ]; then
    mode=emulated reason="SELFTEST_EMULATE32=1"
  elif [ ! -x "$WINE32_LOADER" ]; then
    mode=emulated reason="no 32-bit Wine at $WINE32_LOADER to try"
  elif i386_through_binfmt; then
    mode=emulated reason="binfmt_misc hands i386 programs to an interpreter"
  elif "$WINE32_LOADER" --version >/dev/null 2>&1; then
    mode=native reason="the kernel runs $WINE32_LOADER"
  else
    mode=emulated reason="the kernel does not run $WINE32_LOADER"
  fi
  if [ $# -gt 0 ]; then echo "$mode ($reason)"; else echo "$mode"; fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then mode32 why; fi
