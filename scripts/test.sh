#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Sets up a fresh Debian machine, builds everything with warnings as errors,
# and runs the whole test suite: the native (64-bit) tree as a GCC Release
# build, the default build with clang, the 32-bit tree of the daemon and the
# plug-in (also serving 64-bit requesters; under emulation where the kernel
# cannot execute i386 programs), the native tree again under sanitizers, the
# Debian packages in a booted container, and every fuzzer for a bounded time (QVK_FUZZ_SECONDS,
# default 60).
# Run it as root so that the tests that need private mount and IPC
# namespaces (and FUSE) run instead of skipping.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
build=${QVK_BUILD_DIR:-build}
build32=${QVK_BUILD32_DIR:-build32}
build_asan=${QVK_BUILD_ASAN_DIR:-build-asan}
build_clang=${QVK_BUILD_CLANG_DIR:-build-clang}

echo "== native build and tests, GCC, Release ($build)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQVK_WERROR=ON -DQVK_BUILD_BENCH=ON
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure -j"$jobs"

echo "== requester benchmark, as a short smoke run"
QVK_BENCH_WAITER_SECONDS=1 "$build"/bench/bench_requester --benchmark_min_time=0.01

echo "== the default build with clang, warnings as errors ($build_clang)"
CC=clang CXX=clang++ cmake -S . -B "$build_clang" -DQVK_WERROR=ON -DQVK_BUILD_BENCH=ON
cmake --build "$build_clang" -j"$jobs"

# The 32-bit stage: where this kernel cannot execute i386 programs, it runs
# under user-mode emulation; scripts/with-i386.sh prints which way it took.
echo "== 32-bit daemon and plug-in ($build32), and 64-bit requesters against them"
scripts/with-i386.sh bash scripts/test-32bit.sh "$build" "$build32" "$jobs"

echo "== whole suite under AddressSanitizer and UndefinedBehaviorSanitizer ($build_asan)"
cmake -S . -B "$build_asan" -DQVK_WERROR=ON -DQVK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build_asan" -j"$jobs"
ctest --test-dir "$build_asan" --output-on-failure -j"$jobs"

echo "== the Debian packages: dpkg-buildpackage, lintian, then install / serve / restart / purge in a booted Debian 12 container"
scripts/package-test.sh

echo "== every fuzzer for a bounded time"
scripts/fuzz.sh
