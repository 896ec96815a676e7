#!/usr/bin/env bash
# Installs what is missing, builds, and asks a freshly started helper for its hello.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh build
build/ombrex-archive hello
