#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test:
# the default build and AddressSanitizer + UndefinedBehaviorSanitizer (every test),
# ThreadSanitizer (the threading tests), and the fuzz targets for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

for preset in default asan; do
  echo "== $preset: build"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  echo "== $preset: test"
  ctest --preset "$preset"
done

# Threading tests under ThreadSanitizer.
echo "== tsan: build"
cmake --preset tsan
cmake --build --preset tsan
echo "== tsan: test"
ctest --preset tsan -L 'serial|pty|gui|e2e'

if command -v clang++ >/dev/null; then
  echo "== fuzz"
  cmake --preset fuzz
  cmake --build --preset fuzz
  scripts/fuzz.sh build/fuzz "${FUZZ_SECONDS:-60}"
fi
echo "== all tests passed"
