#!/bin/bash
# Installs what building and testing need, only what is missing: Debian's packages (with the
# i386 architecture for 32-bit Wine) and, where the kernel cannot run 32-bit code or
# SELFTEST_EMULATE32=1 asks for it (tools/rig/mode32.sh), qemu-i386 to run 32-bit Wine under.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
PACKAGES=(
  cmake make gcc gcc-multilib libc6-dev python3 clang llvm
  g++-mingw-w64-i686-posix g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-posix
  binutils-mingw-w64 mingw-w64-tools
  googletest
  wine64 wine32:i386 fonts-wine
  xvfb x11-utils imagemagick
  fonts-wqy-microhei fonts-liberation
)
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "[deps] adding the i386 architecture (32-bit Wine)" >&2
  $SUDO dpkg --add-architecture i386
  $SUDO apt-get update -qq
fi
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "[deps] installing: ${missing[*]}" >&2
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# qemu-i386 from Debian 13: Debian 12's (7.2) takes ~45 s to start Wine and loses overlapped
# reads beside a WaitCommEvent in another thread. Its binaries are static, so the one we need
# is unpacked under build/ with apt's state kept there too; the machine's sources stay as they are.
QEMU=$ROOT/build/tools/qemu-i386
QEMU_SUITE=trixie
. "$ROOT/tools/rig/mode32.sh"
if [ "$(mode32)" = native ]; then
  echo "[deps] 32-bit code runs natively here; qemu-i386 is not needed" >&2
elif ! { [ -x "$QEMU" ] && "$QEMU" --version 2>/dev/null | grep -q 'version 1[0-9]\.'; }; then
  echo "[deps] fetching qemu-i386 (qemu-user from Debian $QEMU_SUITE)" >&2
  work=$ROOT/build/deps/qemu
  rm -rf "$work"
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/deb" "$ROOT/build/tools"
  # The mirror this machine's own sources name for Debian.
  mirror=$(grep -rhoE 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null \
           | grep -v security | head -n 1 | tr -d ' ' || true)
  mirror=${mirror:-http://deb.debian.org/debian}
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${mirror%/} $QEMU_SUITE main" \
    >"$work/sources.list"
  apt_own=(-o "Dir::Etc::sourcelist=$work/sources.list" -o Dir::Etc::sourceparts=-
           -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
           -o APT::Architecture=amd64 -o APT::Architectures=amd64 -o APT::Sandbox::User=root)
  apt-get "${apt_own[@]}" update -qq
  (cd "$work/deb" && apt-get "${apt_own[@]}" download qemu-user >/dev/null)
  dpkg-deb --fsys-tarfile "$work"/deb/qemu-user_*.deb | tar -xO ./usr/bin/qemu-i386 >"$QEMU.new"
  chmod +x "$QEMU.new"
  mv "$QEMU.new" "$QEMU"
  rm -rf "$work"
  rmdir "$ROOT/build/deps" 2>/dev/null || true
  "$QEMU" --version | head -n 1 >&2
fi
