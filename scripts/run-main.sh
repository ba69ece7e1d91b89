#!/usr/bin/env bash
# Installs what building and running the `aec` tool needs, builds it and
# runs the main job: the echo canceller on its built-in double-talk demo
# scene. Tests, benchmarks and the evaluation are left out (scripts/test.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" run
cmake -S "$root" -B "$root/build/main" -DYNET_TESTS=OFF -DYNET_BENCH=OFF
cmake --build "$root/build/main" -j "$(nproc)" --target aec
"$root/build/main/tools/aec" demo --out-dir "$root/build/main/aec-demo"
