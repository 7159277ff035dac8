#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Runs a command with virtual tokens reachable as /dev/QVUsbKey<N>, the way the
# token's kernel driver would offer them, without touching the host: the
# command runs in private mount and IPC namespaces, where /dev is a tmpfs that
# holds the usual nodes (null, zero, full, random, urandom, tty, fuse, ptmx,
# pts, and an empty shm) and /dev/QVUsbKey0 .. /dev/QVUsbKey31 are links into
# the mount of qvkvtoken. When the command ends, qvkvtoken is stopped and
# everything vanishes with the namespaces.
#
# Usage (as root):
#   scripts/vtoken-dev.sh [--vtoken PATH] [QVKVTOKEN OPTIONS] [-- COMMAND [ARGS...]]
#
#   --vtoken PATH   the qvkvtoken program (default: qvkvtoken on PATH, else
#                   build/vtoken/qvkvtoken of this source tree)
#   QVKVTOKEN OPTIONS are passed on, e.g. -n 0,3 -F 0015:256=text:hello
#   COMMAND defaults to an interactive shell.
#
# The command finds the mount in $QVK_VTOKEN_MOUNT: plug and unplug tokens with
#   echo "plug 5" > "$QVK_VTOKEN_MOUNT/.control"
set -euo pipefail

script=$(readlink -f "${BASH_SOURCE[0]}")
say() { echo "vtoken-dev: $*" >&2; }

if [ "${QVK_VTOKEN_DEV_INSIDE:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    say "run as root: it needs private mount and IPC namespaces"
    exit 1
  fi
  export QVK_VTOKEN_DEV_INSIDE=1
  exec unshare --mount --propagation private --ipc -- bash "$script" "$@"
fi
unset QVK_VTOKEN_DEV_INSIDE

vtoken=
options=()
while [ $# -gt 0 ]; do
  case "$1" in
    --vtoken) vtoken=${2:?--vtoken needs a path}; shift 2 ;;
    --vtoken=*) vtoken=${1#--vtoken=}; shift ;;
    --) shift; break ;;
    *) options+=("$1"); shift ;;
  esac
done
command=("$@")
[ ${#command[@]} -gt 0 ] || command=("${SHELL:-/bin/bash}")

if [ -z "$vtoken" ]; then
  if command -v qvkvtoken >/dev/null 2>&1; then
    vtoken=$(command -v qvkvtoken)
  else
    vtoken="$(dirname "$script")/../build/vtoken/qvkvtoken"
  fi
fi
if [ ! -x "$vtoken" ]; then
  say "qvkvtoken not found at '$vtoken': build it or give --vtoken PATH"
  exit 1
fi
if [ ! -e /dev/fuse ]; then
  say "/dev/fuse is missing: FUSE is not available here"
  exit 1
fi

work=$(mktemp -d /tmp/qvkvtoken.XXXXXX)
mnt="$work/mnt"
mkdir "$mnt" "$work/dev"
vtoken_pid=

cleanup() {
  if [ -n "$vtoken_pid" ]; then
    kill -TERM "$vtoken_pid" 2>/dev/null || true
    wait "$vtoken_pid" 2>/dev/null || true
  fi
  umount -l "$mnt" 2>/dev/null || true
  umount -l "$work/dev" 2>/dev/null || true
  # The real /dev is bound under $work while the private one is set up: never
  # follow a mount that is still there.
  rm -rf --one-file-system "$work" || true
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# qvkvtoken stays in the foreground as this shell's child, and ends with it
# even if this shell is killed.
pdeathsig=()
if setpriv --help 2>/dev/null | grep -q -- --pdeathsig; then
  pdeathsig=(setpriv --pdeathsig TERM --)
fi
"${pdeathsig[@]}" "$vtoken" --foreground "${options[@]}" "$mnt" &
vtoken_pid=$!
for _ in $(seq 1 500); do
  if mountpoint -q "$mnt"; then break; fi
  if ! kill -0 "$vtoken_pid" 2>/dev/null; then
    wait "$vtoken_pid" || status=$?
    vtoken_pid=
    say "qvkvtoken did not start (status ${status:-0})"
    exit 1
  fi
  sleep 0.02
done
mountpoint -q "$mnt" || { say "qvkvtoken did not mount $mnt in time"; exit 1; }

# A private /dev: the real one stays reachable under $work/dev while the
# nodes are bound back, then is let go.
mount --bind /dev "$work/dev"
mount -t tmpfs -o mode=0755 tmpfs /dev
for node in null zero full random urandom tty fuse ptmx; do
  if [ -e "$work/dev/$node" ]; then
    touch "/dev/$node"
    mount --bind "$work/dev/$node" "/dev/$node"
  fi
done
if [ -d "$work/dev/pts" ]; then
  mkdir /dev/pts
  mount --bind "$work/dev/pts" /dev/pts
fi
mkdir /dev/shm
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
ln -s /proc/self/fd /dev/fd
ln -s /proc/self/fd/0 /dev/stdin
ln -s /proc/self/fd/1 /dev/stdout
ln -s /proc/self/fd/2 /dev/stderr
umount -l "$work/dev"
for index in $(seq 0 31); do
  ln -s "$mnt/QVUsbKey$index" "/dev/QVUsbKey$index"
done

nodes=$(cd "$mnt" && ls -d QVUsbKey* 2>/dev/null | sed 's|^|/dev/|' | tr '\n' ' ' || true)
say "virtual tokens ready: ${nodes:-none yet}"
say "control file: $mnt/.control (also \$QVK_VTOKEN_MOUNT/.control)"
export QVK_VTOKEN_MOUNT="$mnt"
set +e
"${command[@]}"
status=$?
set -e
exit "$status"
