"""Validation measures of trained weights against the untrained model.

    /usr/bin/python3 training/validate.py --arrays training/checkpoints/best.npz

Prints one JSON object: loss and dB measures (see aecnet/objective.py) of
the given weights and of the seeded initialisation on the validation scenes.
"""

import argparse
import glob
import json
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import train  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--arrays", required=True)
    ap.add_argument("--data", default=os.path.join(HERE, "data", "valid"))
    ap.add_argument("--count", type=int, default=24)
    ap.add_argument("--threads", type=int, default=1)
    args = ap.parse_args()
    torch.set_num_threads(args.threads)
    paths = sorted(glob.glob(os.path.join(args.data, "*.npz")))[:args.count]
    if not paths:
        sys.exit("validate: no scenes in %s" % args.data)
    result = {"scenes": len(paths),
              "trained": train.validate(train.make_model(args.arrays), paths),
              "untrained": train.validate(train.make_model(), paths)}
    print(json.dumps(result, indent=1))


if __name__ == "__main__":
    main()
