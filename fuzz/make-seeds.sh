#!/usr/bin/env bash
# Builds the starting corpora: fuzz/make-seeds.sh BUILD_DIR OUT_DIR. Seeds come
# from the generator (our test-side builders and fixtures) plus the few
# regression inputs kept in fuzz/regressions/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1 out=$2
rm -rf "$out"
mkdir -p "$out"
"$build/fuzz/fuzz-seeds" tests/fixtures "$out" >/dev/null
if [[ -d fuzz/regressions ]]; then
  for dir in fuzz/regressions/*/; do
    target=$(basename "$dir")
    mkdir -p "$out/$target"
    cp "$dir"* "$out/$target/" 2>/dev/null || true
  done
fi
