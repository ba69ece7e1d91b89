#!/usr/bin/env bash
# The full long run: one hour of 48 kHz audio through the C interface, and
# the same hour as files through `aec process` with its peak RSS held under
# 300 MB (tests/reliability/long_run_test.cpp), release build in build/rel.
# The files take about 700 MB in /tmp while it runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dir=${1:-$root/build/rel}
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DYNET_WERROR=ON -DYNET_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target test_reliability aec
AEC_LONG_RUN_MINUTES=60 "$dir/tests/reliability/test_reliability" --gtest_filter=LongRun.*
