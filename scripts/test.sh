#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds everything with warnings as errors,
# and runs the whole test suite: the native (64-bit) tree, the 32-bit tree of
# the daemon and the plug-in, the native tree again under sanitizers, and
# every fuzzer for a bounded time (QVK_FUZZ_SECONDS, default 60).
# Run it as root so that the tests that need private mount and IPC
# namespaces (and FUSE) run instead of skipping.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
build=${QVK_BUILD_DIR:-build}
build32=${QVK_BUILD32_DIR:-build32}
build_asan=${QVK_BUILD_ASAN_DIR:-build-asan}

echo "== native build and tests ($build)"
cmake -S . -B "$build" -DQVK_WERROR=ON
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure -j"$jobs"

echo "== 32-bit daemon and plug-in ($build32)"
cmake -S . -B "$build32" --toolchain cmake/i686-linux-gnu.cmake -DQVK_WERROR=ON
cmake --build "$build32" -j"$jobs"
ctest --test-dir "$build32" --output-on-failure -j"$jobs"

echo "== whole suite under AddressSanitizer and UndefinedBehaviorSanitizer ($build_asan)"
cmake -S . -B "$build_asan" -DQVK_WERROR=ON -DQVK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build_asan" -j"$jobs"
ctest --test-dir "$build_asan" --output-on-failure -j"$jobs"

echo "== every fuzzer for a bounded time"
scripts/fuzz.sh
