#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time each: fuzz.sh BUILD_DIR SECONDS
# A crash fails the script; the crashing input is kept in build/fuzz-crashes.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "$1" && pwd)"
seconds=$2
crashes="$root/build/fuzz-crashes"
mkdir -p "$crashes"
for target in "$build"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus=$(mktemp -d)
  cp "$root/fuzz/corpus/$name"/* "$corpus"/ 2>/dev/null || true
  echo "-- $name for ${seconds}s"
  status=0
  (cd "$crashes" && "$target" -max_total_time="$seconds" -print_final_stats=1 "$corpus") \
    > "$crashes/$name.log" 2>&1 || status=$?
  tail -n 12 "$crashes/$name.log"
  rm -rf "$corpus"
  [ "$status" -eq 0 ] || { echo "$name failed (status $status)"; exit 1; }
done
