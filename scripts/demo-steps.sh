#!/usr/bin/env bash
# The steps of the demo, run by scripts/demo.sh inside private namespaces
# where the virtual tokens already answer at /dev/QVUsbKey0 and 1.
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

say "start qvkserver. It forks into the background, loads libqvkmgrudk.so from its working directory and creates its shared memory segment and semaphores."
(cd "$build/plugin" && show "$build/daemon/qvkserver")
for _ in $(seq 1 100); do
  if "$qvkctl" status >/dev/null 2>&1; then break; fi
  sleep 0.05
done

say "check that qvkserver answers."
show "$qvkctl" status

say "list the tokens qvkserver serves. The kernel driver would offer real tokens as /dev/QVUsbKey0..31; here two virtual tokens stand in for them."
show "$qvkctl" list

say "exchange one APDU: GET CHALLENGE (00 84 00 00 08) asks the token for 8 random bytes. The answer is the data, then the status word 9000 (success)."
show "$qvkctl" send /dev/QVUsbKey0 0084000008

say "read a file: SELECT file 0015 (00 A4 00 00 02 00 15), then READ BINARY of 35 bytes from offset 0 (00 B0 00 00 23)."
answer=$(show "$qvkctl" send /dev/QVUsbKey0 00A40000020015 00B0000023)
echo "$answer"
data=$(echo "$answer" | awk 'NR == 3 { print $1 }')
if [ -n "$data" ] && command -v xxd >/dev/null 2>&1; then
  echo "The data read back as text: $(echo "$data" | xxd -r -p)"
elif [ -n "$data" ]; then
  echo "The data read back as text: $(printf '%b' "$(echo "$data" | sed 's/../\\x&/g')")"
fi

say "ask for a file the token does not hold: SELECT 0099 answers 6A82 (file not found)."
show "$qvkctl" send /dev/QVUsbKey1 00A40000020099

say "stop qvkserver and the virtual tokens."
daemon=$(pgrep -x qvkserver || true)
if [ -n "$daemon" ]; then
  show kill "$daemon"
fi
echo
echo "Demo finished. Nothing was left behind: the daemon, the tokens and their"
echo "IPC objects lived in private namespaces that end with this script."
