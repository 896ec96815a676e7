#!/usr/bin/env bash
# Runs every fuzz target for a fixed time on its seeds and a kept corpus:
# fuzz/run-targets.sh BUILD_DIR SECONDS WORK_DIR [JOBS]
# WORK_DIR gets corpus/<target>/, logs/ and artifacts/. Fails when any target
# finds a crash, leak, timeout, memory blow-up or failed property; the
# reproducer is named in the output. Prints the executions per target.
set -uo pipefail
cd "$(dirname "$0")/.."
build=$1 seconds=$2 work=$3 jobs=${4:-$(nproc)}
seeds=$work/seeds
fuzz/make-seeds.sh "$build" "$seeds" || exit 1
mkdir -p "$work/logs" "$work/artifacts"

targets=()
for binary in "$build"/fuzz/*_fuzz; do targets+=("$(basename "$binary")"); done

run_one() {
  local target=$1
  mkdir -p "$work/corpus/$target" "$seeds/$target"
  # The wall-clock guard only catches a fuzzer that stops reporting; per-input
  # hangs are libFuzzer's own -timeout.
  timeout --kill-after=10 $((seconds + 300)) "$build/fuzz/$target" \
    -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2560 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/$target-" "$work/corpus/$target" "$seeds/$target" \
    >"$work/logs/$target.log" 2>&1
  echo $? >"$work/logs/$target.rc"
}

running=0
for target in "${targets[@]}"; do
  run_one "$target" &
  running=$((running + 1))
  if ((running >= jobs)); then wait -n; running=$((running - 1)); fi
done
wait

failed=0
for target in "${targets[@]}"; do
  rc=$(cat "$work/logs/$target.rc")
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$work/logs/$target.log" | awk '{print $2}')
  printf '%-28s %10s executions  exit %s\n' "$target" "${runs:-?}" "$rc"
  if [[ $rc != 0 ]]; then
    failed=1
    grep -E 'property failed|ERROR: |SUMMARY|Test unit written|==[0-9]+==' "$work/logs/$target.log" | head -20
  fi
done
exit $failed
