#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Builds the Debian packages with dpkg-buildpackage, checks them with lintian
# (no error, no warning), and proves them on a booted Debian 12 under a real
# systemd (systemd-nspawn, no network):
#   - apt installs them; the service is enabled and active;
#   - the running daemon has no capability, no new privileges and a system
#     call filter, sees a read-only file system and no home directories;
#   - virtual tokens (qvkvtoken) are served to `qvkctl list` and `qvkctl
#     send`, and to a program built against the installed -dev package with
#     pkg-config (shared, and fully static with --static) and with CMake's
#     find_package(QvkClient);
#   - with the documented drop-in (qvkserver --group and Group=) only the
#     members of the group are served under the hardened unit; another user
#     gets "permission denied" from qvkctl and EACCES when getting the
#     objects directly, as a PKCS#11 module does; without it everyone is;
#   - with the ccid family plug-in in the daemon's package: a virtual card in
#     pcscd's vpcd reader is served the same way;
#   - `systemctl restart` serves again, and a request right after each of
#     100 restarts is served; a start that cannot succeed (a foreign segment
#     2222) ends "failed" at the unit's start limit, with its reason in the
#     journal;
#   - `apt-get remove` with a requester attached leaves the IPC objects, and
#     `apt-get purge` after it leaves nothing.
# The container's root is an image made by mmdebstrap from this machine's apt
# sources; it is kept under QVK_PACKAGE_TEST_CACHE (default
# /var/cache/kestrane-package-test, keyed by its package list; set it empty
# to keep nothing). The container runs on a volatile overlay of it; nothing
# else is left on the host. The packages are copied to QVK_DEB_DIR (default
# build-deb, with the .changes file); QVK_PACKAGE_TEST_BUILT=DIR tests the
# packages of an earlier run instead of building them. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

say() { echo "package-test: $*"; }
fail() { echo "package-test: FAILED: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "run as root (it boots a container)"
for tool in dpkg-buildpackage lintian mmdebstrap systemd-nspawn nsenter; do
  command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/install-deps.sh"
done

started=$(date +%s)
deb_dir=${QVK_DEB_DIR:-build-deb}
cache=${QVK_PACKAGE_TEST_CACHE-/var/cache/kestrane-package-test}
work=$(mktemp -d /tmp/qvkpkg.XXXXXX)
cgroup=
nspawn_pid=

cleanup() {
  set +e
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    # SIGTERM asks nspawn to power the container off.
    kill -TERM "$nspawn_pid"
    for _ in $(seq 1 100); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$nspawn_pid" 2>/dev/null
    wait "$nspawn_pid" 2>/dev/null
  fi
  if [ -n "$cgroup" ] && [ -d "$cgroup" ]; then
    # nspawn leaves payload/ and supervisor/ sub-cgroups behind.
    find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# --- Build and check the packages -----------------------------------------
# dpkg-buildpackage writes next to the source tree, so it builds a copy of the
# working tree (committed or not, ignored files left out).
if [ -n "${QVK_PACKAGE_TEST_BUILT:-}" ]; then
  # Packages built before (the .deb, .changes and .buildinfo files), to try the test itself.
  say "using the packages in $QVK_PACKAGE_TEST_BUILT"
  cp "$QVK_PACKAGE_TEST_BUILT"/*.deb "$QVK_PACKAGE_TEST_BUILT"/*.changes "$QVK_PACKAGE_TEST_BUILT"/*.buildinfo "$work"/
else
  say "building the packages (dpkg-buildpackage -us -uc -b)"
  mkdir "$work/src"
  git ls-files -z --cached --others --exclude-standard |
    (cd "$repo" && xargs -0 tar -cf - --no-recursion) | tar -xf - -C "$work/src"
  if ! (cd "$work/src" && dpkg-buildpackage -us -uc -b -j"$(nproc)") >"$work/build.log" 2>&1; then
    tail -40 "$work/build.log" >&2
    fail "dpkg-buildpackage failed"
  fi
  mkdir -p "$deb_dir"
  rm -f "$deb_dir"/*.deb "$deb_dir"/*.changes "$deb_dir"/*.buildinfo
  cp "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$deb_dir"/
fi
packages=(qvkserver keyrill kestrane-tools libqvkclient1 libqvkclient-dev)
for package in "${packages[@]}"; do
  compgen -G "$work/${package}_*.deb" >/dev/null || fail "no package $package was built"
done
compgen -G "$work/*-dbgsym_*.deb" >/dev/null || fail "no -dbgsym packages were built"
say "built: $(cd "$work" && echo *.deb)"

say "lintian"
lintian --fail-on error,warning "$work"/*.changes ||
  fail "lintian reports errors or warnings"

server_deb=$(ls "$work"/qvkserver_*.deb)
ccid=
# (Listings are read whole before they are searched: with pipefail, a grep -q
# that stops early would turn the listing's SIGPIPE into a failure.)
if grep -q '/libqvkmgrccid\.so$' <<<"$(dpkg-deb -c "$server_deb")"; then
  ccid=1
  say "the daemon's package carries the ccid family: pcscd and vpcd join the test"
fi

# --- The container's image --------------------------------------------------
# Everything the packages depend on or recommend goes into the image, since
# the container has no network: apt inside installs from it.
dependencies() {
  for deb in "$work"/*.deb; do
    case $deb in *-dbgsym_*) continue ;; esac
    dpkg-deb -f "$deb" Pre-Depends Depends Recommends | sed 's/^[A-Za-z-]*: //'
  done | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:any//; s/[[:space:]]//g' |
    grep -v -x -F -e '' "${packages[@]/#/-e}"
}
image_packages=$( {
  echo systemd systemd-sysv dbus          # a booted system
  echo gcc g++ libc6-dev pkg-config cmake make  # the consumer program's build
  [ -z "$ccid" ] || echo pcscd vsmartcard-vpcd
  dependencies
} | tr ' ' '\n' | sed '/^$/d' | sort -u | tr '\n' ',' | sed 's/,$//')

sources=()
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -s "$file" ] && sources+=("$file")
done
[ ${#sources[@]} -gt 0 ] || fail "this machine has no apt sources"
key=$( { echo bookworm "$image_packages"; cat "${sources[@]}"; } | sha256sum | cut -c1-16)

if [ -n "$cache" ]; then
  mkdir -p "$cache"
  image=$cache/image-$key
  exec 9>"$cache/.lock"
  flock 9
else
  image=$work/image
fi
if [ ! -d "$image" ]; then
  say "making the image with mmdebstrap: $image_packages"
  rm -rf "$image.new"
  mmdebstrap --variant=apt --include="$image_packages" bookworm "$image.new" "${sources[@]}" \
    >"$work/mmdebstrap.log" 2>&1 || { tail -20 "$work/mmdebstrap.log" >&2; fail "mmdebstrap failed"; }
  mv "$image.new" "$image"
  if [ -n "$cache" ]; then
    # Only the image of the current package list is kept.
    find "$cache" -mindepth 1 -maxdepth 1 -name 'image-*' ! -path "$image" -exec rm -rf {} +
  fi
else
  say "using the cached image $image"
fi

# --- Boot it --------------------------------------------------------------
# nspawn runs in a cgroup (v2) of its own, removed afterwards.
if [ -f /sys/fs/cgroup/cgroup.procs ]; then
  hierarchy=/sys/fs/cgroup
elif [ -f /sys/fs/cgroup/unified/cgroup.procs ]; then
  hierarchy=/sys/fs/cgroup/unified
else
  fail "no cgroup v2 hierarchy"
fi
cgroup=$hierarchy$(sed -n 's/^0:://p' /proc/self/cgroup)
cgroup=${cgroup%/}/kestrane-package-test-$$
mkdir "$cgroup"

mkdir "$work/debs"
for package in "${packages[@]}"; do cp "$work/${package}_"*.deb "$work/debs/"; done
say "booting Debian 12 under systemd-nspawn"
(
  echo "$BASHPID" >"$cgroup/cgroup.procs"
  SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec systemd-nspawn -q -D "$image" --volatile=overlay \
    --boot --register=no --keep-unit --console=read-only --system-call-filter=bpf \
    --private-network --bind=/dev/fuse --bind-ro="$work/debs:/mnt/debs" \
    --bind-ro="$repo/tests/package:/mnt/package"
) >"$work/console.log" 2>&1 &
nspawn_pid=$!

leader=
for _ in $(seq 1 300); do
  leader=$(cat "$cgroup/payload/init.scope/cgroup.procs" 2>/dev/null | head -1 || true)
  [ -n "$leader" ] && [ -S "/proc/$leader/root/run/systemd/private" ] && break
  kill -0 "$nspawn_pid" 2>/dev/null || { cat "$work/console.log" >&2; fail "the container did not boot"; }
  sleep 0.1
done
[ -n "$leader" ] || fail "the container's systemd did not come up"

inside() { nsenter -t "$leader" -a /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"; }
state=$(inside systemctl is-system-running --wait || true)
say "the container's systemd is $state"

# --- Install ----------------------------------------------------------------
snapshot() {
  inside find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp \
    -o -path /var/cache -o -path /var/log -o -path /var/lib/apt -o -path /var/lib/dpkg \
    -o -path /etc/ld.so.cache \) -prune -o -print | sort
}
snapshot >"$work/before"

say "apt-get install ${packages[*]}"
inside sh -c 'cd /mnt/debs && apt-get install -y -q ./*.deb' >"$work/apt.log" 2>&1 ||
  { tail -20 "$work/apt.log" >&2; fail "apt could not install the packages"; }

[ "$(inside systemctl is-enabled qvkserver)" = enabled ] || fail "qvkserver.service is not enabled"
[ "$(inside systemctl is-active qvkserver)" = active ] || fail "qvkserver.service is not active"
say "qvkserver.service is enabled and active"

# --- Hardening in effect for the running daemon ---------------------------
daemon_pid() { inside systemctl show -p MainPID --value qvkserver; }
pid=$(daemon_pid)
[ -n "$pid" ] && [ "$pid" != 0 ] || fail "the service has no main process"
status=$(inside cat "/proc/$pid/status")
for want in 'CapEff:	0000000000000000' 'CapBnd:	0000000000000000' 'NoNewPrivs:	1' 'Seccomp:	2'; do
  grep -q -x -F "$want" <<<"$status" || fail "the daemon's /proc/$pid/status lacks '$want'"
done
in_daemon_mounts() { inside nsenter -t "$pid" -m "$@"; }
if in_daemon_mounts sh -c 'echo x > /usr/lib/kestrane/qvkserver/probe' 2>/dev/null; then
  fail "the daemon can write into its plug-in directory"
fi
if in_daemon_mounts sh -c 'echo x > /var/lib/probe' 2>/dev/null; then
  fail "the daemon can write into /var/lib"
fi
inside mkdir -p /home/alice
if in_daemon_mounts test -e /home/alice; then fail "the daemon sees /home"; fi
exposure=$(inside systemd-analyze security qvkserver --no-pager | sed -n 's/.*Overall exposure level for qvkserver.service: \([0-9.]*\).*/\1/p')
say "daemon: CapEff 0, NoNewPrivs 1, Seccomp 2, read-only plug-in directory, no /home; systemd-analyze security exposure $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.5) }' || fail "exposure $exposure is over 2.5"

# --- Virtual tokens served to qvkctl and to a consumer program -------------
# The plug-in opens /dev/QVUsbKey<N>: links into the virtual token's mount.
vtoken_args=(-n 0,1 -F 0/0015:32=text:kestrane-packaged -F 1/0015:32=text:the-second-token)
if [ -n "$ccid" ]; then
  # Token 0 is also the card in reader "Virtual PCD 00 00", token 1 in "... 00 01".
  vtoken_args+=(--vpcd 35963)
  inside systemctl start pcscd.service || fail "pcscd does not start"
fi
inside mkdir -p /dev/qvk-tokens
inside qvkvtoken "${vtoken_args[@]}" /dev/qvk-tokens || fail "qvkvtoken did not start"
inside sh -c 'for n in 0 1; do ln -s /dev/qvk-tokens/QVUsbKey$n /dev/QVUsbKey$n; done'

expected_list=$'/dev/QVUsbKey0\n/dev/QVUsbKey1'
[ -z "$ccid" ] || expected_list+=$'\nVirtual PCD 00 00\nVirtual PCD 00 01'
list=
for _ in $(seq 1 100); do
  list=$(inside qvkctl list || true)
  [ "$list" = "$expected_list" ] && break
  sleep 0.2
done
[ "$list" = "$expected_list" ] || fail "qvkctl list printed '$list', not '$expected_list'"
say "qvkctl list: $(tr '\n' ' ' <<<"$list")"

hex() { printf %s "$1" | od -An -tx1 | tr -d ' \n' | tr a-f A-F; }
check_send() {
  local path=$1 text=$2 answer
  answer=$(inside qvkctl send "$path" 00A40000020015 00B0000010) ||
    fail "qvkctl send $path failed"
  [ "$answer" = $'9000\n'"$(hex "${text:0:16}") 9000" ] ||
    fail "qvkctl send $path answered '$answer'"
  say "qvkctl send '$path': file 0015 reads '${text:0:16}'"
}
check_send /dev/QVUsbKey0 kestrane-packaged
check_send /dev/QVUsbKey1 the-second-token
[ -z "$ccid" ] || check_send "Virtual PCD 00 00" kestrane-packaged

say "building a program against libqvkclient-dev (pkg-config, then CMake)"
inside sh -c 'cc -std=c99 -Wall -Wextra -Werror -o /tmp/consumer /mnt/package/consumer/consumer.c \
    $(pkg-config --cflags --libs qvkclient)' || fail "the consumer does not build with pkg-config"
inside sh -c 'cc -std=c99 -Wall -Wextra -Werror -static -o /tmp/consumer-static /mnt/package/consumer/consumer.c \
    $(pkg-config --cflags --static --libs qvkclient)' ||
  fail "the consumer does not link statically with pkg-config --static"
inside sh -c 'cmake -S /mnt/package/consumer -B /tmp/consumer-build >/dev/null &&
    cmake --build /tmp/consumer-build >/dev/null' || fail "the consumer does not build with CMake"
for program in /tmp/consumer /tmp/consumer-static /tmp/consumer-build/qvk_consumer \
    /tmp/consumer-build/qvk_consumer_static; do
  output=$(inside "$program" /dev/QVUsbKey1) || fail "$program failed: $output"
  expected_count=$(wc -l <<<"$expected_list")
  [ "$output" = $'devices: '"$expected_count"$'\nfile 0015: the-second-token' ] ||
    fail "$program printed '$output'"
done
grep -q 'libqvkclient\.so\.1 => /' <<<"$(inside ldd /tmp/consumer)" ||
  fail "the consumer does not use the installed shared library"
grep -q 'not a dynamic executable' <<<"$(inside ldd /tmp/consumer-static 2>&1 || true)" ||
  fail "the consumer linked with pkg-config --static is not a static program"
say "the consumer programs (one fully static) list the tokens and read a file through the service"

# --- Restart ---------------------------------------------------------------
inside systemctl restart qvkserver
[ "$(inside systemctl is-active qvkserver)" = active ] || fail "qvkserver.service is not active after restart"
new_pid=$(daemon_pid)
[ "$new_pid" != "$pid" ] || fail "systemctl restart kept the same daemon"
check_send /dev/QVUsbKey0 kestrane-packaged
say "after systemctl restart (daemon $pid -> $new_pid) the service serves again"

# `systemctl restart` returns once the new daemon serves: the request right
# after it is served, every time. (Each restart counts against the unit's
# start limit, which reset-failed clears.)
failures=$(inside sh -c '
  for i in $(seq 1 100); do
    if ! systemctl restart qvkserver; then echo "restart $i failed"; continue; fi
    if ! out=$(qvkctl list 2>&1); then echo "qvkctl list after restart $i: $out"
    elif [ "$out" != "$1" ]; then echo "qvkctl list after restart $i printed: $out"; fi
    systemctl reset-failed qvkserver
  done' sh "$expected_list")
[ -z "$failures" ] || fail "requests right after a restart were not served:"$'\n'"$failures"
say "100 restarts, each followed at once by a served qvkctl list"

# --- A start that cannot succeed ---------------------------------------------
# Another program's segment 2222, too small for the daemon: the start fails
# (status 4), the unit retries and ends "failed" at its start limit, and the
# journal says why.
inside cc -std=c99 -Wall -Wextra -Werror -o /tmp/ipc_holder /mnt/package/ipc_holder.c ||
  fail "the IPC helper does not build"
inside systemctl stop qvkserver
inside ipcrm -M 2222 -S 3350 -S 4450 || fail "the daemon's IPC objects cannot be removed after a stop"
inside /tmp/ipc_holder foreign || fail "no foreign segment 2222 could be made"
if inside systemctl start qvkserver 2>/dev/null; then fail "systemctl start succeeded beside a foreign segment"; fi
state=
for _ in $(seq 1 200); do
  state=$(inside systemctl is-failed qvkserver || true)
  [ "$state" = failed ] && break
  sleep 0.1
done
[ "$state" = failed ] ||
  fail "the failing service is '$state', not \"failed\":"$'\n'"$(inside systemctl status --no-pager -n 30 qvkserver)"
restarts=$(inside systemctl show -p NRestarts --value qvkserver)
journal=$(inside journalctl -q -u qvkserver --no-pager)
for line in 'qvkserver: its IPC objects (segment 2222, semaphore sets 3350 and 4450) could not be made' \
    'Start request repeated too quickly'; do
  grep -q -F "$line" <<<"$journal" || fail "the journal lacks '$line':"$'\n'"$(tail -20 <<<"$journal")"
done
say "beside a foreign segment 2222 the service is \"failed\" after $restarts restarts, at its start limit; the journal says why"
inside ipcrm -M 2222
inside systemctl reset-failed qvkserver
inside systemctl start qvkserver || fail "the service does not start once the foreign segment is gone"
check_send /dev/QVUsbKey0 kestrane-packaged

# --- Access group --------------------------------------------------------------
# The drop-in of qvkserver(8): the daemon serves root and group qvktoken only.
made_group=
if ! inside getent group qvktoken >/dev/null; then
  inside groupadd --system qvktoken || fail "groupadd qvktoken failed"
  made_group=1
fi
# (useradd and userdel leave backups of the account files: those that were
# not there before go again at the end.)
account_files=(/etc/passwd- /etc/group- /etc/shadow- /etc/gshadow- /etc/subuid /etc/subuid- /etc/subgid /etc/subgid-)
accounts_before=$(inside ls -d "${account_files[@]}" 2>/dev/null || true)
inside useradd -M -N -G qvktoken alice || fail "useradd alice failed"
inside useradd -M -N bob || fail "useradd bob failed"
run_as() { local user=$1; shift; inside setpriv --reuid "$user" --regid users --init-groups "$@"; }
inside cc -std=c99 -Wall -Werror -o /tmp/attach_as_module /mnt/package/consumer/attach_as_module.c ||
  fail "the module stand-in does not build"
dropin=/etc/systemd/system/qvkserver.service.d
restart_with_group() {
  inside rm -rf "$dropin"
  if [ "$1" != off ]; then
    inside mkdir -p "$dropin"
    inside sh -c "printf '%s\n' '[Service]' $([ "$1" = on ] && echo "'Group=qvktoken'") 'ExecStart=' \
        'ExecStart=/usr/sbin/qvkserver --group qvktoken' > $dropin/group.conf"
  fi
  inside systemctl daemon-reload
  inside systemctl reset-failed qvkserver 2>/dev/null || true
  if [ "$1" = unmapped ]; then
    # The start must fail, and systemctl say so.
    if inside systemctl restart qvkserver 2>/dev/null; then fail "qvkserver --group without Group= started"; fi
    return 0
  fi
  inside systemctl restart qvkserver || { inside journalctl -u qvkserver --no-pager | tail -5 >&2; fail "qvkserver does not restart (group $1)"; }
}
segment_access() { inside awk '$1 == 2222 { print $3, $9 }' /proc/sysvipc/shm; }

# Without Group= the group is not mapped in the unit's user namespace: the
# daemon says so and does not serve.
restart_with_group unmapped
said=
for _ in $(seq 1 50); do
  said=$(inside journalctl -u qvkserver --no-pager -q | grep 'must be mapped' || true)
  [ -n "$said" ] && break
  sleep 0.1
done
[ -n "$said" ] || fail "qvkserver --group without Group= did not say why it cannot start"
say "--group without Group=: $(head -1 <<<"$said" | sed 's/^.*qvkserver\[[0-9]*\]: //')"
restart_with_group on
token_gid=$(inside getent group qvktoken | cut -d: -f3)
[ "$(segment_access)" = "770 $token_gid" ] || fail "the segment's mode and group are '$(segment_access)', not '770 $token_gid'"
list=$(run_as alice qvkctl list) || fail "a member of qvktoken is not served: $list"
[ "$list" = "$expected_list" ] || fail "qvkctl list as alice printed '$list'"
denied=$(run_as bob qvkctl status 2>&1) && fail "qvkctl status succeeded for a user outside the group"
grep -q "access: qvkserver serves only root and the members of group 'qvktoken' (mode 770)" <<<"$denied" &&
  grep -q 'permission denied' <<<"$denied" || fail "qvkctl status as bob printed: $denied"
status=0; run_as bob qvkctl list >/dev/null 2>&1 || status=$?
[ "$status" = 8 ] || fail "qvkctl list as bob exited $status, not 8 (permission denied)"
module_alice=$(run_as alice /tmp/attach_as_module 666 || true)
module_bob=$(run_as bob /tmp/attach_as_module 666 || true)
module_alice_0777=$(run_as alice /tmp/attach_as_module 1777 || true)
[ "$module_alice" = attached ] && [ "$module_alice_0777" = attached ] && [ "$module_bob" = "segment: EACCES" ] ||
  fail "getting the objects directly: alice '$module_alice', alice asking 0777 '$module_alice_0777', bob '$module_bob'"
say "with --group qvktoken (Group=qvktoken, PrivateUsers=yes): objects mode 770 group qvktoken;" \
    "alice (member) is served, bob gets 'permission denied' (qvkctl exit 8);" \
    "getting the objects directly: alice (rw) '$module_alice', bob '$module_bob', alice asking 0777 '$module_alice_0777'"
restart_with_group off
[ "$(segment_access)" = "777 0" ] || fail "without the drop-in the segment is '$(segment_access)', not '777 0'"
list=$(run_as bob qvkctl list) && [ "$list" = "$expected_list" ] || fail "without the drop-in bob is not served: $list"
say "without the drop-in: mode 777 again, bob is served"
inside userdel alice && inside userdel bob || fail "userdel failed"
[ -z "$made_group" ] || inside groupdel qvktoken || fail "groupdel failed"
for file in "${account_files[@]}"; do
  grep -q -x -F "$file" <<<"$accounts_before" || inside rm -f "$file"
done

# --- Purge -------------------------------------------------------------------
running() { inside sh -c "grep -s -q -x '$1' /proc/[0-9]*/comm"; }
inside fusermount3 -u /dev/qvk-tokens || fail "the virtual tokens cannot be unmounted"
for _ in $(seq 1 50); do running qvkvtoken || break; sleep 0.1; done
inside sh -c 'rm -f /dev/QVUsbKey0 /dev/QVUsbKey1; rmdir /dev/qvk-tokens /home/alice'
# Removing the daemon while a requester is attached leaves the IPC objects
# (the requester still uses them); the purge after it, once the requester
# is gone, takes them away.
holder=$(inside sh -c '/tmp/ipc_holder attach >/dev/null 2>&1 & echo $!')
attachments() { inside ipcs -m | awk '$1 == "0x000008ae" { print $6 }'; }
for _ in $(seq 1 50); do [ "$(attachments)" = 2 ] && break; sleep 0.1; done
[ "$(attachments)" = 2 ] || fail "the requester did not attach beside the daemon"
inside apt-get remove -y -q qvkserver >"$work/remove.log" 2>&1 ||
  { tail -20 "$work/remove.log" >&2; fail "apt could not remove qvkserver"; }
[ "$(attachments)" = 1 ] || fail "with a requester attached, apt remove took the segment away or left the daemon"
[ "$(grep -c -E '0x000008ae|0x00000d16|0x00001162' <<<"$(inside ipcs -m -s)")" = 3 ] ||
  fail "with a requester attached, apt remove took IPC objects away"
inside kill "$holder"
for _ in $(seq 1 50); do [ "$(attachments)" = 0 ] && break; sleep 0.1; done
inside apt-get purge -y -q "${packages[@]}" >"$work/purge.log" 2>&1 ||
  { tail -20 "$work/purge.log" >&2; fail "apt could not purge the packages"; }
inside systemctl daemon-reload
if running qvkserver; then fail "qvkserver still runs after purge"; fi
if inside systemctl cat qvkserver.service >/dev/null 2>&1; then fail "systemd still knows qvkserver.service"; fi
if grep -E -q '0x000008ae|0x00000d16|0x00001162' <<<"$(inside ipcs -m -s)"; then
  fail "the daemon's IPC objects are left after purge"
fi
for package in "${packages[@]}"; do
  if inside dpkg-query -W "$package" >/dev/null 2>&1; then fail "dpkg still lists $package"; fi
done
snapshot >"$work/after"
if ! diff "$work/before" "$work/after" >"$work/left"; then
  cat "$work/left" >&2
  fail "the purge left (>) or took (<) these paths"
fi
say "purged: no file, unit, process, IPC object or package left"
say "passed in $(( $(date +%s) - started )) s"
