#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# The 32-bit stage of scripts/test.sh: builds and tests the 32-bit tree of the
# daemon, the plug-in and the requester library, then runs the 64-bit
# requesters of the native tree against the 32-bit daemon and plug-in.
# Run it through scripts/with-i386.sh, so that it works whether or not the
# kernel executes i386 programs itself.
#
#   scripts/test-32bit.sh NATIVE_BUILD_DIR BUILD32_DIR JOBS
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1 build32=$2 jobs=$3

cmake -S . -B "$build32" --toolchain cmake/i686-linux-gnu.cmake -DQVK_WERROR=ON
cmake --build "$build32" -j"$jobs"
ctest --test-dir "$build32" --output-on-failure -j"$jobs"

echo "== 64-bit requesters against the 32-bit daemon and plug-in"
[[ $(file -L "$build32/daemon/qvkserver") == *"ELF 32-bit"* ]] || { echo "the 32-bit daemon is not 32-bit"; exit 1; }
QVK_TEST_SERVER=$(realpath "$build32/daemon/qvkserver") \
QVK_TEST_UDK_PLUGIN=$(realpath "$build32/plugin/libqvkmgrudk.so") \
  ctest --test-dir "$build" --output-on-failure -j"$jobs" -R '^(ServedVirtualToken|RestartStorm|DescriptorHandles)\.'
