#!/usr/bin/env bash
# Configures and builds into a build directory: tools/build.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -DBRIX_WERROR=ON "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
