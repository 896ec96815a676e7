#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is missing.
set -euo pipefail
"$(dirname "$0")/install-packages.sh" g++ cmake ninja-build pkg-config libarchive-dev zlib1g-dev libbz2-dev \
  libgtest-dev libbenchmark-dev clang libclang-rt-14-dev zip libarchive-tools libfuse3-dev fuse3 dosbox
