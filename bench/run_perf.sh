#!/usr/bin/env bash
# Builds and runs the performance report: 2000 frames of host features from
# the demo clips through the filter, the engine (best and portable kernels),
# LibTorch (op by op and traced), ONNX Runtime and the compute bounds, each
# layer against its bound, streams per machine, plus 60 s of silence. Writes
# bench/results/perf.md. Usage: bench/run_perf.sh ["machine note"]
#
# Peers, each left out (with the reason in the report) where missing:
# LibTorch is built in when libtorch-dev is installed; bench/export_peers.py
# (python3-torch, python3-onnx) makes the traced module and the ONNX export;
# ONNX Runtime is the npm package onnxruntime-node, installed here into
# build/perf/npm with --ignore-scripts (its install script fetches GPU files).
# PERF_ROUNDS (default 14) sets the number of interleaved rounds.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/perf"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DYNET_BENCH=ON -DYNET_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target perf_report aec_features >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "$root/bench/make_perf_clip.py" "$root/tools/demo" "$work/ref.wav" "$work/mic.wav"
"$build/tools/aec_features" --mic "$work/mic.wav" --ref "$work/ref.wav" --out "$work/frames.feat"

peers=()
if /usr/bin/python3 "$root/bench/export_peers.py" "$root/model/weights.f16" "$work/net.onnx" "$work/net.pt" \
    >"$work/export.log" 2>&1; then
    peers+=(--torchscript "$work/net.pt" --onnx "$work/net.onnx")
else
    echo "run_perf: no ONNX or TorchScript export: $(tail -1 "$work/export.log")" >&2
fi
npm_dir="$build/npm"
if [ -d "$npm_dir/node_modules/onnxruntime-node" ] ||
    { command -v npm >/dev/null && npm install --prefix "$npm_dir" --ignore-scripts --no-audit --no-fund \
        onnxruntime-node >/dev/null; }; then
    peers+=(--node-modules "$npm_dir/node_modules")
else
    echo "run_perf: onnxruntime-node not installed; ONNX Runtime left out" >&2
fi

mkdir -p "$root/bench/results"
"$build/bench/perf_report" --features "$work/frames.feat" --out "$root/bench/results/perf.md" \
    --machine "${1:-}" --rounds "${PERF_ROUNDS:-14}" "${peers[@]}"
