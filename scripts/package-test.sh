#!/usr/bin/env bash
# Builds the Debian package and proves it on a throwaway copy of this
# machine: installs it with apt (which checks its dependencies), checks that
# the files land on the system's real paths, verifies the systemd unit,
# starts the service as the unit says, asks `qvkctl status`, and removes the
# package again. The throwaway machine is an overlay over / in private
# mount, IPC and PID namespaces, so the host's packages, paths and IPC keys
# are never touched. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "package-test: run as root (it needs private namespaces)" >&2
  exit 1
fi

if [ "${1:-}" != --inside ]; then
  build=${QVK_BUILD_DIR:-build}
  cmake -S . -B "$build" -DQVK_WERROR=ON >/dev/null
  cmake --build "$build" -j"$(nproc)" >/dev/null
  rm -f "$build"/kestrane-token_*.deb
  (cd "$build" && cpack -G DEB >/dev/null)
  package=$(realpath "$build"/kestrane-token_*.deb)
  echo "package-test: built $package"
  dpkg-deb -f "$package" Package Version Architecture Depends Recommends

  scratch=$(mktemp -d /tmp/qvkpkg.XXXXXX)
  status=0
  unshare --mount --ipc --pid --fork --mount-proc -- bash "$0" --inside "$scratch" "$package" ||
    status=$?
  rmdir "$scratch"
  exit $status
fi

# The throwaway machine, inside the namespaces.
scratch=$2
package=$3
mount -t tmpfs tmpfs "$scratch"
mkdir -p "$scratch"/{upper,work,root}
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/root"
root="$scratch/root"
for fs in proc sys dev; do mount --rbind "/$fs" "$root/$fs"; done
mkdir -p "$root/var/tmp/kestrane-package"
cp "$package" "$root/var/tmp/kestrane-package/"
inside() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }

fail() { echo "package-test: FAILED: $*" >&2; exit 1; }

echo "package-test: installing with apt on the throwaway machine"
inside apt-get install -y -q "/var/tmp/kestrane-package/$(basename "$package")" >/dev/null ||
  fail "apt could not install the package (are its dependencies right?)"

for path in /usr/sbin/qvkserver /usr/lib/kestrane/qvkserver/libqvkmgrudk.so /usr/bin/Keyrill \
            /usr/bin/qvkctl /usr/bin/qvkvtoken /usr/lib/systemd/system/qvkserver.service; do
  [ -e "$root$path" ] || fail "$path is missing"
  echo "package-test: installed $path"
done

inside systemd-analyze verify /usr/lib/systemd/system/qvkserver.service ||
  fail "systemd-analyze does not accept the unit"

# No service manager runs here, so the service is started the way the unit
# tells systemd to: from its working directory, expecting the starter to
# exit 0 at once (Type=forking).
unit="$root/usr/lib/systemd/system/qvkserver.service"
directory=$(sed -n 's/^WorkingDirectory=//p' "$unit")
start=$(sed -n 's/^ExecStart=//p' "$unit")
grep -qx 'Type=forking' "$unit" || fail "the unit is not Type=forking"
echo "package-test: starting the service: cd $directory && $start"
inside sh -c "cd '$directory' && $start" || fail "the service did not start"

ok=
for _ in $(seq 1 100); do
  if inside qvkctl status; then ok=1; break; fi
  sleep 0.05
done
[ -n "$ok" ] || fail "qvkctl status does not reach the service"

pkill -x qvkserver || true
inside apt-get remove -y -q kestrane-token >/dev/null || fail "apt could not remove the package"
for path in /usr/sbin/qvkserver /usr/lib/kestrane/qvkserver/libqvkmgrudk.so /usr/bin/Keyrill; do
  [ ! -e "$root$path" ] || fail "$path is still there after removal"
done
echo "package-test: the package installs, serves and removes cleanly"
