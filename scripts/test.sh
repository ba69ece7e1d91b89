#!/usr/bin/env bash
# Builds and runs every test: once normally with warnings as errors, then
# again under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" test
jobs=$(nproc)
run() {
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DYNET_WERROR=ON -DYNET_BENCH=OFF "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}
run "$root/build/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run "$root/build/asan" -DCMAKE_BUILD_TYPE=Debug -DYNET_SANITIZE=ON
"$root/scripts/windows-check.sh"
"$root/scripts/fuzz.sh"
