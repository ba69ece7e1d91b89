#!/usr/bin/env bash
# Installs what is missing, builds the project and runs the main job: the
# echo canceller on its built-in double-talk demo scene.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/main" -DYNET_BENCH=OFF
cmake --build "$root/build/main" -j "$(nproc)" --target aec
"$root/build/main/tools/aec" demo --out-dir "$root/build/main/aec-demo"
