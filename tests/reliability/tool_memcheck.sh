#!/usr/bin/env bash
# valgrind memcheck on `aec process` for one second of generated 16 kHz
# audio: any memory error or leak fails.
set -euo pipefail
valgrind=$1 aec=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
/usr/bin/python3 - "$dir" <<'PY'
import sys, numpy as np, soundfile as sf
rate, n = 16000, 16000
t = np.arange(n) / rate
ref = 0.2 * np.sin(2 * np.pi * 300 * t) * (1 + np.sin(2 * np.pi * 3 * t)) / 2
mic = 0.5 * np.concatenate([np.zeros(480), ref[:-480]]) + 0.05 * np.sin(2 * np.pi * 440 * t)
sf.write(sys.argv[1] + "/ref.wav", ref.astype(np.float32), rate, subtype="PCM_16")
sf.write(sys.argv[1] + "/mic.wav", mic.astype(np.float32), rate, subtype="PCM_16")
PY
"$valgrind" --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect,possible \
  "$aec" process --mic "$dir/mic.wav" --ref "$dir/ref.wav" --out "$dir/out.wav"
test -s "$dir/out.wav"
