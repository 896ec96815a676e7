#!/usr/bin/env bash
# Builds and runs every test: the normal build, then the whole suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer, a short run of every
# fuzz target, then the whole suite built for Windows under Wine.
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

# Every fuzz target for a short, fixed time on its generated seeds; any
# crash, leak, hang or failed property fails the run.
tools/build-fuzz.sh fuzz-build-ci
rm -rf fuzz-build-ci/run
fuzz/run-targets.sh fuzz-build-ci "${OMBREX_FUZZ_SECONDS:-20}" fuzz-build-ci/run "$jobs"

tools/test-windows.sh
