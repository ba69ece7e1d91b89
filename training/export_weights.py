#!/usr/bin/python3
"""Writes the weight blob and its manifest: from a checkpoint of arrays
(.npz of name -> values) when given, else the seeded initial weights (an
untrained model)."""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from aecnet import blob, init  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INIT_SEED = 20261206


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--arrays", help=".npz with one array per weight name")
    parser.add_argument("--seed", type=int, default=INIT_SEED)
    parser.add_argument("--out", default=os.path.join(ROOT, "model", "weights.f16"))
    parser.add_argument("--manifest", default=os.path.join(ROOT, "model", "weights_manifest.json"))
    args = parser.parse_args()
    if args.arrays:
        with np.load(args.arrays) as npz:
            arrays = {name: npz[name] for name in npz.files}
    else:
        arrays = init.initial_arrays(args.seed)
    data = blob.pack(arrays)
    blob.write(data, args.out, args.manifest)
    print("wrote %s (%d bytes) and %s" % (args.out, len(data), args.manifest))


if __name__ == "__main__":
    main()
