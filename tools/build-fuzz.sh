#!/usr/bin/env bash
# Configures and builds the fuzz tree (clang, libFuzzer, ASan and UBSan):
# tools/build-fuzz.sh DIR
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DOMBREX_FUZZ=ON -DOMBREX_BUILD_TESTS=OFF \
  -DOMBREX_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$dir" --target ombrex_fuzz
