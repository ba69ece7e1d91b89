#!/usr/bin/python3
"""Writes tests/model/golden/seed<S>.{bin,json}: frames run through the
mirror with the weights of model/weights.f16."""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from aecnet import blob, golden  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SEEDS = (1, 2, 3, 4)
FRAMES = 120


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--blob", default=os.path.join(ROOT, "model", "weights.f16"))
    parser.add_argument("--manifest", default=os.path.join(ROOT, "model", "weights_manifest.json"))
    parser.add_argument("--out", default=os.path.join(ROOT, "tests", "model", "golden"))
    parser.add_argument("--frames", type=int, default=FRAMES)
    parser.add_argument("--seeds", type=int, nargs="*", default=list(SEEDS))
    args = parser.parse_args()
    data = blob.read(args.blob, args.manifest)
    os.makedirs(args.out, exist_ok=True)
    for seed in args.seeds:
        stem = os.path.join(args.out, "seed%d" % seed)
        golden.write(golden.make(data, seed, args.frames), stem, data, seed)
        print("wrote", stem + ".bin")


if __name__ == "__main__":
    main()
