#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (QVK_FUZZ_SECONDS, default 60), starting from the checked-in seeds. New
# inputs go to a scratch corpus, never into the repository. A target that
# exits with a status other than 0, or that leaves any artifact (a crash,
# time-out, leak, out-of-memory or slow input), fails the script, which names
# the target and the file and keeps them in the scratch directory.
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
failed=()
root=$(pwd)
for target in "$build"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  target=$(realpath "$target")
  name=$(basename "$target")
  corpus="$scratch/$name"
  # libFuzzer writes whatever it finds (crash-, timeout-, leak-, oom-,
  # slow-unit- ...) into its working directory: any file there is a finding.
  artifacts="$scratch/$name.artifacts"
  log="$scratch/$name.log"
  mkdir -p "$corpus" "$artifacts"
  seeds="$root/fuzz/corpus/${name#fuzz_}"
  echo "== $name for ${seconds}s"
  exit_status=0
  (cd "$artifacts" && TMPDIR="$files" "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "$corpus" "$seeds") >"$log" 2>&1 || exit_status=$?
  grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Test unit written|Done' "$log" || true
  found=$(find "$artifacts" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort)
  if [ "$exit_status" -ne 0 ] || [ -n "$found" ]; then
    [ "$exit_status" -eq 0 ] || echo "FAILED: $name exited with status $exit_status"
    for artifact in $found; do echo "FAILED: $name left $artifacts/$artifact"; done
    echo "        its output: $log"
    failed+=("$name")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzers that failed: ${failed[*]}; everything is kept in $scratch"
  exit 1
fi
rm -rf "$scratch"
