#!/usr/bin/env bash
# Builds the libFuzzer harnesses (tests/fuzz) with clang, ASan and UBSan in
# build/fuzz and runs each for FUZZ_SECONDS (60) from its committed seeds.
# New inputs go to build/fuzz/corpus, crashes to build/fuzz/artifacts; any
# crash, leak or failed check exits non-zero.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/build/fuzz
seconds=${FUZZ_SECONDS:-60}
harnesses=(fuzz_tool_args fuzz_process_frame fuzz_layer_records)
# clang ignores (and warns about) the kernels' GCC fp-contract pragma,
# harmless here.
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link -Wno-error=unknown-pragmas" -DYNET_FUZZ=ON -DYNET_SANITIZE=ON -DYNET_WERROR=ON -DYNET_BENCH=OFF
cmake --build "$dir" -j "$(nproc)" --target "${harnesses[@]}"
# A frame is 9234 floats; the other inputs stay small.
declare -A max_len=([fuzz_tool_args]=4096 [fuzz_process_frame]=36936 [fuzz_layer_records]=512)
mkdir -p "$dir/artifacts"
for h in "${harnesses[@]}"; do
  mkdir -p "$dir/corpus/$h"
  echo "== $h (${seconds} s)"
  log=$dir/$h.log
  status=0
  UBSAN_OPTIONS=print_stacktrace=1 "$dir/tests/fuzz/$h" "$dir/corpus/$h" "$root/tests/fuzz/corpus/$h" \
    -max_total_time="$seconds" -max_len="${max_len[$h]}" -timeout=20 -rss_limit_mb=2048 -close_fd_mask=3 \
    -artifact_prefix="$dir/artifacts/$h-" -print_final_stats=1 >"$log" 2>&1 || status=$?
  grep -E "^(#[0-9]+ *DONE|stat::number_of_executed_units|stat::peak_rss|SUMMARY)" "$log" || true
  if [ "$status" -ne 0 ]; then
    echo "$h failed ($status); the report is in $log"
    exit 1
  fi
done
