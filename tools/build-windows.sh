#!/usr/bin/env bash
# Builds the Windows helper and the ombrex-archive tool from a fresh clone on
# Debian:
#   tools/build-windows.sh [DIR [CMAKE_OPTIONS...]]   (default build-win)
# giving DIR/ombrex-archive-helper.exe and DIR/ombrex-archive.exe, statically
# linked; -DOMBREX_BUILD_TESTS=ON adds the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
shift || true
tools/install-windows-deps.sh
OMBREX_WINDOWS_DEPS=$(tools/build-windows-deps.sh)
export OMBREX_WINDOWS_DEPS
# -O2 as on Linux: at -O3 GCC 12 takes std::string copies for overlapping
# ones (-Wrestrict) and -Werror stops the build.
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/tools/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DOMBREX_BUILD_TESTS=OFF -DOMBREX_BUILD_BENCHMARKS=OFF "$@" >/dev/null
cmake --build "$dir" -j "${OMBREX_JOBS:-2}"
