#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (QVK_FUZZ_SECONDS, default 60), starting from the checked-in seeds. New
# inputs go to a scratch corpus, never into the repository; a crash leaves
# its input in the scratch directory and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${QVK_FUZZ_SECONDS:-60}
build=${QVK_BUILD_FUZZ_DIR:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -DQVK_BUILD_FUZZ=ON -DQVK_WERROR=ON
cmake --build "$build" -j"$(nproc)"

scratch=$(mktemp -d /tmp/qvkfuzz.XXXXXX)
# Files a target makes (the INI engine's) go to memory when it can.
files=$(mktemp -d -p /dev/shm qvkfuzzfiles.XXXXXX 2>/dev/null || mktemp -d /tmp/qvkfuzzfiles.XXXXXX)
trap 'rm -rf "$files"' EXIT
status=0
root=$(pwd)
for target in "$build"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  target=$(realpath "$target")
  name=$(basename "$target")
  corpus="$scratch/$name"
  mkdir -p "$corpus"
  seeds="$root/fuzz/corpus/${name#fuzz_}"
  echo "== $name for ${seconds}s"
  (cd "$scratch" && TMPDIR="$files" "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "$corpus" "$seeds" 2>&1 |
    grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Test unit written|Done') || true
  if ls "$scratch"/crash-* "$scratch"/timeout-* "$scratch"/leak-* >/dev/null 2>&1; then
    echo "$name failed; inputs kept in $scratch"
    status=1
    break
  fi
done
[ $status -eq 0 ] && rm -rf "$scratch"
exit $status
