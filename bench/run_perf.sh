#!/usr/bin/env bash
# Builds and runs the performance report: 2000 frames of host features from
# the demo clips through the filter, the engine (best and portable kernels),
# LibTorch and the compute bound, plus 60 s of silence. Writes
# bench/results/perf.md. Usage: bench/run_perf.sh ["machine note"]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/perf"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DYNET_BENCH=ON -DYNET_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target perf_report aec_features >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "$root/bench/make_perf_clip.py" "$root/tools/demo" "$work/ref.wav" "$work/mic.wav"
"$build/tools/aec_features" --mic "$work/mic.wav" --ref "$work/ref.wav" --out "$work/frames.feat"
mkdir -p "$root/bench/results"
"$build/bench/perf_report" --features "$work/frames.feat" --out "$root/bench/results/perf.md" --machine "${1:-}"
