#!/usr/bin/env bash
# Runs one Windows program under Wine for CTest (the cross toolchain's
# emulator): tools/wine-run.sh PROGRAM.exe [ARGUMENTS...]
# Its output goes through a file. Wine starts its long-lived processes (the
# services, the desktop, consoles) from whichever program first needs them,
# and they keep that program's output open: on a pipe, CTest would wait for
# them until the test's timeout.
set -u
output=$(mktemp)
trap 'rm -f "$output"' EXIT
wine "$@" </dev/null >"$output" 2>&1
code=$?
cat "$output"
exit "$code"
