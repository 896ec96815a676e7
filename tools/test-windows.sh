#!/usr/bin/env bash
# Builds the Windows helper and runs the end-to-end tests against it under
# Wine, driven by the Linux test build's client:
#   tools/test-windows.sh [LINUX_BUILD_DIR]   (default build, as tools/test.sh makes it)
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=${1:-build}
# The Linux client and tests drive the helper; up to date in no time after tools/test.sh.
tools/install-deps.sh
tools/build.sh "$linux_build"
tools/build-windows.sh build-win

export WINEPREFIX=$PWD/build-win/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export OMBREX_TEST_WINDOWS_HELPER=$PWD/build-win/ombrex-archive-helper.exe
unset DISPLAY
mkdir -p "$WINEPREFIX"
wineserver --kill 2>/dev/null || true
# Make or update the prefix and let every process that starts for it end
# first, so that no set-up runs beside the tests.
wineboot --init >/dev/null 2>&1
# A process that never ends must not hold up the run.
timeout 120 wineserver --wait || wineserver --kill 2>/dev/null || true
# One wineserver for the whole run instead of one per helper start; it
# belongs to this prefix alone.
wineserver --persistent
trap 'wineserver --kill' EXIT

# The tests that start the helper binary; the rest of the suite runs the
# same Linux code whichever helper is named.
end_to_end='^(RequestLoopProcess\.|OpenSequenceProcess\.|MaterializeProcess\.|MaterializeProcessFailure\.|CommandLine\.(Refused|Accepted|Version)|TestHooks\.(HooksAreChecked|AllocationPast))'
cd "$linux_build"
ctest --output-on-failure -j "$(nproc)" -R "$end_to_end" && exit 0
# Under Wine a helper once ended with exit code 1 and no output, a code the
# helper never returns, and it did not recur in hundreds of runs here. A test
# that fails again on a second run fails the leg; the first failure stays in
# the log above.
echo "Wine leg: running the failed tests once more"
ctest --output-on-failure --rerun-failed
echo "Wine leg: the failed tests passed on the second run"
