#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Runs a command so that the i386 programs it starts (test programs, the
# 32-bit daemon and the plug-in's test hosts, and everything they start) run,
# on any x86-64 machine:
#  - where this kernel executes i386 programs, the command runs as it is;
#  - where it does not, the command runs in a private user and mount
#    namespace whose own binfmt_misc hands every i386 program to the
#    user-mode emulator qemu-i386-static (kernels since 6.7 give each user
#    namespace its own binfmt_misc). The host's registrations are untouched.
# The first line it prints says which way was taken.
#
#   scripts/with-i386.sh COMMAND [ARGUMENT...]
#
# QVK_I386_MODE=native|emulated forces a way (emulated also works on a
# kernel that runs i386 programs, which is how that path is tried there).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGUMENT...]" >&2; exit 2; }

probe_dir=$(mktemp -d /tmp/qvki386.XXXXXX)
trap 'rm -rf "$probe_dir"' EXIT
probe=$probe_dir/probe
printf 'int main(void) { return 42; }\n' | gcc -m32 -x c - -o "$probe" ||
  { echo "with-i386: cannot build an i386 program (is gcc-multilib installed?)" >&2; exit 1; }

runs_probe() {
  local status=0
  "$probe" >/dev/null 2>&1 || status=$?
  [ "$status" -eq 42 ]
}

mode=${QVK_I386_MODE:-auto}
if [ "$mode" = auto ]; then
  if runs_probe; then mode=native; else mode=emulated; fi
fi

case "$mode" in
  native)
    runs_probe || { echo "with-i386: this kernel does not execute i386 programs" >&2; exit 1; }
    echo "== i386 programs run natively on this kernel"
    rm -rf "$probe_dir"
    trap - EXIT
    exec "$@"
    ;;
  emulated) ;;
  *) echo "with-i386: QVK_I386_MODE must be native or emulated, not '$mode'" >&2; exit 2 ;;
esac

emulator=/usr/bin/qemu-i386-static
[ -x "$emulator" ] || "$here/install-deps.sh" qemu-user-static
[ -x "$emulator" ] || { echo "with-i386: $emulator is missing" >&2; exit 1; }

# Inside the new namespaces: a fresh binfmt_misc, the i386 ELF rule (any
# executable or shared-object i386 file; F opens the emulator now, so it is
# found from any mount namespace made later), then a check that the probe
# really runs through it before the command starts.
inner='
set -euo pipefail
emulator=$1 probe=$2; shift 2
mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc ||
  { echo "with-i386: cannot mount a binfmt_misc of this user namespace (a kernel before 6.7?)" >&2; exit 1; }
magic="\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
mask="\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
printf "%s" ":qvk-i386:M::$magic:$mask:$emulator:F" >/proc/sys/fs/binfmt_misc/register
status=0
"$probe" >/dev/null 2>&1 || status=$?
[ "$status" -eq 42 ] || { echo "with-i386: an i386 program does not run under $emulator (status $status)" >&2; exit 1; }
echo "== i386 programs run under user-mode emulation ($emulator, in a private user namespace)"
exec "$@"
'
status=0
unshare --user --map-root-user --mount -- bash -c "$inner" with-i386 "$emulator" "$probe" "$@" || status=$?
exit "$status"
