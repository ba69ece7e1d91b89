"""Brings the first GRU out of saturation, keeping the mask nearly unchanged.

    /usr/bin/python3 training/unsaturate_gru.py IN.npz OUT.npz [--data training/data/mix/valid]

The encoder's last rectifier feeds the GRU 1056 values of up to about 150;
with the input weights at their initial scale the gate inputs sat about 7
from zero at the seeded start and tens in trained weights, both GRUs held
one state whatever came in, and no gradient reached them or the encoder on
the reference side. Only the skip
connections carried information to the mask.

Rescaled here, over a few scenes of real features:
- the gate inputs of GRU 1 by one factor s, so they vary by about --spread
  over time: sqrt(s) on the convolution before the rectifier (which passes
  the scale through) and sqrt(s) on the GRU's input weights, so neither
  ends far below the scale its learning rate suits; its input biases so
  each gate input is centred;
- the decoder's matrix after GRU 2 by --blend, and its bias so the mean of
  its output stays where the saturated states held it. The mask then starts
  close to the old one and training decides how much of the recurrent path to
  use.
"""

import argparse
import glob
import os
import sys

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import train  # noqa: E402
from aecnet import dataset, streams  # noqa: E402

HIDDEN = 128
GRU1_IN, GRU1_BIAS, DECODER_W, DECODER_B = "690", "692", "713", "fc_rnn1.bias"
FEED = ("655", "656")  # the convolution whose rectified output GRU 1 reads


def blobs(model, windows, names):
    """Kept blobs over (window A, window B) pairs of (T, 12, 513), each run
    from zero states, as frames x values."""
    out = {n: [] for n in names}
    model.keep = names
    with torch.no_grad():
        for a, b in windows:
            zero = torch.zeros(1, HIDDEN)
            model(a[None], b[None], zero, zero)
            for n in names:
                out[n].append(model.kept[n].reshape(a.shape[0], -1).float())
    model.keep = ()
    return {n: torch.cat(v) for n, v in out.items()}


def unsaturate(model, windows, spread, blend):
    """Rescales model in place (see the module text); returns the factor s."""
    arrays = {k: np.asarray(v, np.float64) for k, v in model.arrays().items()}
    before = blobs(model, windows, ["444", "498"])
    w = arrays[GRU1_IN].reshape(3 * HIDDEN, -1)
    gx = before["444"].double().numpy() @ w.T
    scale = spread / np.median(gx.std(0))
    arrays[GRU1_IN] = (w * np.sqrt(scale)).reshape(-1)
    for name in FEED:
        arrays[name] *= np.sqrt(scale)
    arrays[GRU1_BIAS][:3 * HIDDEN] = -scale * gx.mean(0)
    arrays[DECODER_W] *= blend
    model.load_arrays(arrays)
    after = blobs(model, windows, ["498"])
    arrays[DECODER_B] += (before["498"].mean(0) - after["498"].mean(0)).double().numpy()
    model.load_arrays(arrays)
    return scale


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("inp")
    ap.add_argument("out")
    ap.add_argument("--data", default=os.path.join(train.HERE, "data", "mix", "valid"))
    ap.add_argument("--scenes", type=int, default=8)
    ap.add_argument("--frames", type=int, default=600)
    ap.add_argument("--spread", type=float, default=1.5)
    ap.add_argument("--blend", type=float, default=0.3)
    args = ap.parse_args()
    if not os.path.isfile(args.inp):
        raise SystemExit("no such file: " + args.inp)
    paths = sorted(glob.glob(os.path.join(args.data, "*.npz")))[:args.scenes]
    if not paths:
        raise SystemExit("no scenes in " + args.data)
    windows = [(t["a"], t["b"]) for t in (streams.to_tensors(dataset.load_scene(p), 0, args.frames) for p in paths)]
    model = train.make_model(args.inp)
    scale = unsaturate(model, windows, args.spread, args.blend)
    train.save_arrays(model, args.out)
    states = blobs(model, windows, ["468"])["468"]
    print("gate inputs scaled by %.4g; GRU 1 state spread over time %.3f" % (scale, float(states.std(0).median())))


if __name__ == "__main__":
    main()
