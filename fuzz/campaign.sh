#!/usr/bin/env bash
# A longer fuzz campaign: fuzz/campaign.sh SECONDS [JOBS]. Builds the fuzz
# tree, then runs every target SECONDS long; the corpus in
# fuzz-build/campaign/corpus grows from one campaign to the next.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: fuzz/campaign.sh SECONDS [JOBS]}
tools/build-fuzz.sh fuzz-build
exec fuzz/run-targets.sh fuzz-build "$seconds" fuzz-build/campaign "${2:-$(nproc)}"
