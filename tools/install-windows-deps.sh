#!/usr/bin/env bash
# Installs the Debian packages the Windows cross build and its Wine tests need,
# if any is missing: the mingw-w64 toolchain, zlib for it, Wine, and what
# building the other libraries from Debian's source packages takes.
set -euo pipefail
packages=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 dpkg-dev
          autoconf automake libtool make cmake ninja-build pkg-config xz-utils)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
