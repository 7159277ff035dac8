#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Installs the Debian packages that the project needs. Idempotent: when
# everything is present it changes nothing.
#
#   scripts/install-deps.sh            everything: building, every test stage,
#                                      the benchmarks, the fuzzers, packaging
#   scripts/install-deps.sh --demo     only what scripts/demo.sh builds and runs
#   scripts/install-deps.sh PACKAGE... just those (for what only some machines
#                                      need, such as the i386 emulator)
set -euo pipefail

# What the demo needs: it builds the daemon, both family plug-ins, qvkctl and
# the virtual token (no tests, no Keyrill), and runs them with a pcscd of its
# own and vsmartcard's virtual reader driver in private namespaces.
demo_packages=(
  # build
  cmake make gcc g++ pkg-config
  # the virtual token, and the ccid family plug-in against pcsc-lite
  fuse3 libfuse3-dev libpcsclite-dev
  # the PC/SC service and its virtual reader driver
  pcscd vsmartcard-vpcd
  # namespaces and mounts (unshare, setpriv, mountpoint), pgrep, and the
  # loopback interface of the demo's own network namespace
  util-linux procps iproute2
)

# Everything else that the test command needs.
test_packages=(
  binutils
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # Keyrill and its tests
  libnss3-dev libnss3-tools softhsm2 e2fsprogs
  # comparison baselines of the benchmarks
  libinih-dev libssl-dev
  # the 32-bit daemon and plug-in
  gcc-multilib g++-multilib
  # fuzzing and sanitizers
  clang libclang-rt-14-dev
  # packaging: the Debian packages, lintian, and the package test's booted
  # Debian 12 container (mmdebstrap, systemd-nspawn); man-db checks the
  # manual pages
  dpkg-dev debhelper lintian file mmdebstrap systemd-container man-db
  # HACKING.md's example of driving the plug-in from a script
  python3
)

packages=("${demo_packages[@]}" "${test_packages[@]}")
if [ "${1:-}" = --demo ]; then
  [ $# -eq 1 ] || { echo "install-deps: --demo takes no package names" >&2; exit 2; }
  packages=("${demo_packages[@]}")
  shift
fi
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
