"""Averages the weights of several snapshots of one run into one npz.

    /usr/bin/python3 training/average_weights.py OUT.npz A.npz B.pt ...

Inputs are weight npz files (as train.py writes best.npz) or checkpoints
(last.pt). Neighbouring snapshots of one run sit on a noisy trade-off between
echo suppression and near-end quality; their mean lands inside it.
"""

import os
import sys

import numpy as np
import torch

import train


def arrays(path):
    npz = path.endswith(".npz")
    model = train.make_model(path if npz else None)
    if not npz:
        model.load_state_dict(torch.load(path)["model"])
    return {k: np.asarray(v, np.float32) for k, v in model.arrays().items()}


def main():
    if len(sys.argv) < 3:
        raise SystemExit("usage: average_weights.py OUT.npz INPUT [INPUT ...]")
    missing = [p for p in sys.argv[2:] if not os.path.isfile(p)]
    if missing:
        raise SystemExit("no such file: " + ", ".join(missing))
    out, inputs = sys.argv[1], [arrays(p) for p in sys.argv[2:]]
    names = set(inputs[0])
    if any(set(a) != names for a in inputs):
        raise SystemExit("inputs hold different weights")
    model = train.make_model()
    model.load_arrays({k: np.mean([a[k] for a in inputs], axis=0) for k in names})
    train.save_arrays(model, out)


if __name__ == "__main__":
    main()
