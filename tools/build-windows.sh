#!/usr/bin/env bash
# Builds the Windows helper from a fresh clone on Debian:
#   tools/build-windows.sh [DIR]   (default build-win)
# giving DIR/ombrex-archive-helper.exe, statically linked.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
tools/install-windows-deps.sh
OMBREX_WINDOWS_DEPS=$(tools/build-windows-deps.sh)
export OMBREX_WINDOWS_DEPS
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/tools/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DOMBREX_BUILD_TESTS=OFF -DOMBREX_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$dir" -j "${OMBREX_JOBS:-2}"
