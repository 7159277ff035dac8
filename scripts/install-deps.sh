#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Installs every Debian package that building, testing, benchmarking and the
# demo need; with package names as arguments, installs just those (for what
# only some machines need, such as the i386 emulator). Idempotent: when
# everything is present it changes nothing.
set -euo pipefail

packages=(
  # build
  cmake g++ make pkg-config binutils
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev util-linux procps
  # the demo brings up the loopback interface of its own network namespace
  iproute2
  # virtual token
  fuse3 libfuse3-dev
  # the ccid family plug-in, and the PC/SC service with a virtual reader for its tests
  libpcsclite-dev pcscd vsmartcard-vpcd
  # Keyrill and its tests
  libnss3-dev libnss3-tools softhsm2 e2fsprogs
  # comparison baselines of the benchmarks
  libinih-dev libssl-dev
  # the 32-bit daemon and plug-in
  gcc-multilib g++-multilib
  # fuzzing and sanitizers
  clang libclang-rt-14-dev
  # packaging: the Debian packages, lintian, and the package test's booted
  # Debian 12 container (mmdebstrap, systemd-nspawn); the ccid family plug-in
  # builds against pcsc-lite; man-db checks the manual pages
  dpkg-dev debhelper lintian file mmdebstrap systemd-container libpcsclite-dev man-db
  # the README's example of driving the plug-in from a script
  python3
)

if [ $# -gt 0 ]; then
  packages=("$@")
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: every package is present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
run_as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    run_as_root=(sudo)
  else
    echo "install-deps: packages are missing and this is not root; run as root or install: ${missing[*]}" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
"${run_as_root[@]}" apt-get update
"${run_as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
