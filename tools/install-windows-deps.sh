#!/usr/bin/env bash
# Installs the Debian packages the Windows cross build and its Wine tests need,
# if any is missing: the mingw-w64 toolchain, zlib for it, Wine, and what
# building the other libraries from Debian's source packages takes, and
# GoogleTest's sources for the test programs.
set -euo pipefail
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)

# The libraries are built from Debian's source packages: apt needs deb-src
# entries for the suites it already uses.
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/ombrex-deb-src.sources >/dev/null
  else
    grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/ombrex-deb-src.list >/dev/null
  fi
  "${sudo_cmd[@]}" apt-get update -qq
fi

"$(dirname "$0")/install-packages.sh" g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 dpkg-dev googletest \
  autoconf automake libtool make cmake ninja-build pkg-config xz-utils
