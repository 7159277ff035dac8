#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds everything with warnings as errors,
# and runs the whole test suite. Run it as root so that the tests that need
# private mount and IPC namespaces (and FUSE) run instead of skipping.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=${QVK_BUILD_DIR:-build}
cmake -S . -B "$build" -DQVK_WERROR=ON
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
