#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# The steps of the demo, run by scripts/demo.sh inside private namespaces
# where the virtual tokens already answer at /dev/QVUsbKey0 and 1 and wait
# for the vpcd readers of a pcscd (started here) to take their cards.
set -euo pipefail
build=$1
qvkctl="$build/client/qvkctl/qvkctl"

step=0
say() {
  step=$((step + 1))
  echo
  echo "---- Step $step: $1"
}
show() {
  echo "\$ ${*/#$build\//}"
  "$@"
}

# qvkserver looks for plug-ins in /usr/lib/kestrane/qvkserver first. In this
# private mount namespace an installed copy is hidden, so the one just built
# is used, found through the working directory.
if [ -d /usr/lib/kestrane/qvkserver ]; then
  mount -t tmpfs tmpfs /usr/lib/kestrane/qvkserver
fi

say "start pcscd, the PC/SC service, in the foreground (its log goes to a file). It loads vsmartcard's vpcd driver (/etc/reader.conf.d/vpcd), whose readers \"Virtual PCD 00 00\" and \"Virtual PCD 00 01\" wait for cards on ports 35963 and 35964; the virtual tokens connect to them as cards."
# pcscd's socket lives in /run/pcscd: a private /run keeps the host's apart.
mount -t tmpfs -o mode=0755 tmpfs /run
pcscd_log=$(mktemp /tmp/qvkdemo-pcscd.XXXXXX)
echo "\$ pcscd --foreground &"
pcscd --foreground >"$pcscd_log" 2>&1 &
pcscd_pid=$!
for _ in $(seq 1 100); do
  if [ -S /run/pcscd/pcscd.comm ]; then break; fi
  sleep 0.05
done

say "start qvkserver. It forks into the background, loads both family plug-ins from its working directory (libqvkmgrudk.so for the kernel driver's nodes, libqvkmgrccid.so for PC/SC readers) and creates its shared memory segment and semaphores."
(cd "$build/plugin" && show "$build/daemon/qvkserver")
for _ in $(seq 1 100); do
  if "$qvkctl" status >/dev/null 2>&1; then break; fi
  sleep 0.05
done
# The cards reach their readers within about a second.
for _ in $(seq 1 100); do
  if "$qvkctl" list 2>/dev/null | grep -q "Virtual PCD 00 01"; then break; fi
  sleep 0.1
done

say "check that qvkserver answers."
show "$qvkctl" status

say "list the tokens qvkserver serves, through both families side by side: the kernel driver's nodes (/dev/QVUsbKey0..31 for real tokens) and every PC/SC reader that holds a card, by its reader name. Here two virtual tokens stand in for both: each is a node and the card in a reader."
show "$qvkctl" list

say "exchange one APDU: GET CHALLENGE (00 84 00 00 08) asks the token for 8 random bytes. The answer is the data, then the status word 9000 (success)."
show "$qvkctl" send /dev/QVUsbKey0 0084000008

as_text() {
  local data
  data=$(echo "$1" | awk 'NR == 2 { print $1 }')
  if [ -n "$data" ] && command -v xxd >/dev/null 2>&1; then
    echo "The data read back as text: $(echo "$data" | xxd -r -p)"
  elif [ -n "$data" ]; then
    echo "The data read back as text: $(printf '%b' "$(echo "$data" | sed 's/../\\x&/g')")"
  fi
}

say "read a file through the kernel-driver family: SELECT file 0015 (00 A4 00 00 02 00 15), then READ BINARY of 35 bytes from offset 0 (00 B0 00 00 23)."
echo "\$ qvkctl send /dev/QVUsbKey0 00A40000020015 00B0000023"
answer=$("$qvkctl" send /dev/QVUsbKey0 00A40000020015 00B0000023)
echo "$answer"
as_text "$answer"

say "read the same file through the ccid family: the same token as the card in the PC/SC reader \"Virtual PCD 00 00\". A reader name has spaces, so quote it."
echo "\$ qvkctl send \"Virtual PCD 00 00\" 00A40000020015 00B0000023"
answer=$("$qvkctl" send "Virtual PCD 00 00" 00A40000020015 00B0000023)
echo "$answer"
as_text "$answer"

say "ask for a file the token does not hold: SELECT 0099 answers 6A82 (file not found)."
show "$qvkctl" send /dev/QVUsbKey1 00A40000020099

say "stop qvkserver, pcscd and the virtual tokens."
daemon=$(pgrep -x qvkserver || true)
if [ -n "$daemon" ]; then
  show kill "$daemon"
fi
show kill "$pcscd_pid"
wait "$pcscd_pid" 2>/dev/null || true
rm -f "$pcscd_log"
echo
echo "Demo finished. Nothing was left behind: the daemon, pcscd, the tokens and"
echo "their IPC objects lived in private namespaces that end with this script."
