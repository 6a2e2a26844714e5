#!/bin/bash
# Installs the Debian packages that building and testing need, only when some are missing.
set -euo pipefail
PACKAGES=(
  cmake make gcc libc6-dev python3
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64 mingw-w64-tools
  googletest
  wine64 fonts-wine
  xvfb x11-utils imagemagick
  fonts-wqy-microhei fonts-liberation
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "[deps] installing: ${missing[*]}" >&2
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
