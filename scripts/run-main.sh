#!/usr/bin/env bash
# Installs what is missing, builds the project and runs the main job.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/main" -DYNET_BENCH=OFF
cmake --build "$root/build/main" -j "$(nproc)" --target ynet_selfcheck
"$root/build/main/tools/ynet_selfcheck"
