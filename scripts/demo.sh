#!/usr/bin/env bash
# The main job: on a fresh Debian machine, installs what is missing, builds,
# and shows qvkserver serving a virtual token, step by step. Everything runs
# in private PID, mount and IPC namespaces, so the host's /dev, its IPC
# objects and any installed qvkserver are left alone, and nothing is left
# behind when the demo ends. Run it as root.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: run as root (it needs private namespaces and FUSE)" >&2
  exit 1
fi

scripts/install-deps.sh
build=${QVK_BUILD_DIR:-build}
echo "demo: building in $build (this takes a while the first time)"
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
build=$(realpath "$build")

# Two virtual tokens. Token 0 holds two transparent files: 0015 with a
# greeting, 3F01 with sixteen bytes 00..0F.
greeting="Hello from a virtual Kestrane token"
exec unshare --pid --fork --mount --mount-proc -- \
  scripts/vtoken-dev.sh --vtoken "$build/vtoken/qvkvtoken" -n 0,1 \
    -F "0/0015:64=text:$greeting" -F "0/3F01:16=hex:000102030405060708090A0B0C0D0E0F" \
    -- bash scripts/demo-steps.sh "$build"
