#!/usr/bin/env bash
# Cross-builds the helper, the ombrex-archive tool and the whole test suite for
# Windows, then runs the suite under Wine from CTest: the Windows client drives
# the Windows helper, and the in-process tests run on the Win32 layer.
#   tools/test-windows.sh [DIR]   (default build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
tools/build-windows.sh "$dir" -DOMBREX_BUILD_TESTS=ON

export WINEPREFIX=$(realpath "$dir")/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
mkdir -p "$WINEPREFIX"
wineserver --kill 2>/dev/null || true
# Make or update the prefix and let every process that starts for it end
# first, so that no set-up runs beside the tests.
wineboot --init >/dev/null 2>&1
# A process that never ends must not hold up the run.
timeout 120 wineserver --wait || wineserver --kill 2>/dev/null || true
# One wineserver for the whole run instead of one per program start; it
# belongs to this prefix alone.
wineserver --persistent
trap 'wineserver --kill' EXIT

cd "$dir"
# CTest lists each test program's tests under Wine before running them, and
# runs every test program through tools/wine-run.sh.
ctest --output-on-failure -j "$(nproc)" && exit 0
# Under Wine a helper once ended with exit code 1 and no output, a code the
# helper never returns, and it did not recur in hundreds of runs here. A test
# that fails again on a second run fails the leg; the first failure stays in
# the log above.
echo "Wine leg: running the failed tests once more"
ctest --output-on-failure --rerun-failed
echo "Wine leg: the failed tests passed on the second run"
