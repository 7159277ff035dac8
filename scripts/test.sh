#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds everything with warnings as errors,
# and runs the whole test suite: the native (64-bit) tree, the 32-bit tree of
# the daemon and the plug-in (also serving 64-bit requesters), the native
# tree again under sanitizers, the Debian package, and every fuzzer for a
# bounded time (QVK_FUZZ_SECONDS, default 60).
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
cmake -S . -B "$build" -DQVK_WERROR=ON -DQVK_BUILD_BENCH=ON
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure -j"$jobs"

echo "== requester benchmark, as a short smoke run"
"$build"/bench/bench_requester --benchmark_min_time=0.01

echo "== 32-bit daemon and plug-in ($build32)"
cmake -S . -B "$build32" --toolchain cmake/i686-linux-gnu.cmake -DQVK_WERROR=ON
cmake --build "$build32" -j"$jobs"
ctest --test-dir "$build32" --output-on-failure -j"$jobs"

echo "== 64-bit requesters against the 32-bit daemon and plug-in"
file -L "$build32/daemon/qvkserver" | grep -q 'ELF 32-bit' || { echo "the 32-bit daemon is not 32-bit"; exit 1; }
QVK_TEST_SERVER=$(realpath "$build32/daemon/qvkserver") \
QVK_TEST_UDK_PLUGIN=$(realpath "$build32/plugin/libqvkmgrudk.so") \
  ctest --test-dir "$build" --output-on-failure -j"$jobs" -R '^ServedVirtualToken\.'

echo "== whole suite under AddressSanitizer and UndefinedBehaviorSanitizer ($build_asan)"
cmake -S . -B "$build_asan" -DQVK_WERROR=ON -DQVK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build_asan" -j"$jobs"
ctest --test-dir "$build_asan" --output-on-failure -j"$jobs"

echo "== the Debian package: install, serve, remove (on a throwaway overlay of this machine)"
QVK_BUILD_DIR=$build scripts/package-test.sh

echo "== every fuzzer for a bounded time"
scripts/fuzz.sh
