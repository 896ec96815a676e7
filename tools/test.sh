#!/usr/bin/env bash
# Builds and runs every test: the normal build, then the whole suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the end-to-end
# tests against the Windows build of the helper under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
jobs=$(nproc)

tools/build.sh build
(cd build && ctest --output-on-failure -j "$jobs")

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
tools/build.sh build-asan -DOMBREX_SANITIZE=ON -DOMBREX_BUILD_BENCHMARKS=OFF
(cd build-asan && ctest --output-on-failure -j "$jobs")

tools/test-windows.sh build
