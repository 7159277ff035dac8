#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# The main job: on a fresh Debian machine, installs what the demo needs and
# is missing (scripts/install-deps.sh --demo), builds what it shows (no tests,
# no Keyrill), and shows qvkserver serving virtual tokens through both device families,
# step by step: as kernel-driver nodes /dev/QVUsbKey<N>, and as cards in the
# PC/SC readers of vsmartcard's vpcd driver behind a pcscd of the demo's own.
# Everything runs in private PID, mount, IPC and network namespaces, so the
# host's /dev, /run, its IPC objects, its network ports and any installed
# qvkserver or pcscd are left alone, and nothing is left behind when the demo
# ends. Run it as root.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: run as root (it needs private namespaces and FUSE)" >&2
  exit 1
fi

scripts/install-deps.sh --demo
# A tree of its own: the test command's tree keeps its tests.
build=${QVK_DEMO_BUILD_DIR:-build-demo}
echo "demo: building in $build (this takes a while the first time)"
cmake -S . -B "$build" -DQVK_BUILD_TESTS=OFF -DQVK_BUILD_KEYRILL=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
build=$(realpath "$build")

# Two virtual tokens. Token 0 holds two transparent files: 0015 with a
# greeting, 3F01 with sixteen bytes 00..0F. Each token is a node and, with
# --vpcd, also the card in a vpcd reader (token 0 in "Virtual PCD 00 00" on
# port 35963, token 1 in "Virtual PCD 00 01"); the network namespace has only
# its own loopback interface, so those ports are the demo's alone.
greeting="Hello from a virtual Kestrane token"
exec unshare --pid --fork --mount --mount-proc --net -- bash -c '
  ip link set lo up
  exec "$@"' demo \
  scripts/vtoken-dev.sh --vtoken "$build/vtoken/qvkvtoken" -n 0,1 --vpcd 35963 \
    -F "0/0015:64=text:$greeting" -F "0/3F01:16=hex:000102030405060708090A0B0C0D0E0F" \
    -- bash scripts/demo-steps.sh "$build"
