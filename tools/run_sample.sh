#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on the bundled sample installation.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh
tools/build.sh build -DBRIX_BUILD_TESTS=OFF -DBRIX_BUILD_BENCH=OFF
export BRIX_VANTREL_PATH="$PWD/samples/vantrel/"
./build/build_brix -help
