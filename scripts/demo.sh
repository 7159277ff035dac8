#!/usr/bin/env bash
# The main job. Until the daemon serves requests, it builds the project and
# runs the plug-in against what is there; see README.md.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build=${QVK_BUILD_DIR:-build}
cmake -S . -B "$build"
cmake --build "$build" -j"$(nproc)"
echo
echo "Built: $build/plugin/libqvkmgrudk.so"
echo "The daemon demo arrives with qvkserver; for now run the tests: scripts/test.sh"
