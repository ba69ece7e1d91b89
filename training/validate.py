"""Validation measures of trained weights against the untrained model.

    /usr/bin/python3 training/validate.py --arrays training/checkpoints/best.npz
    /usr/bin/python3 training/validate.py --checkpoint training/checkpoints/last.pt --save x.npz

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
    src = ap.add_mutually_exclusive_group(required=True)
    src.add_argument("--arrays", help=".npz of weight arrays")
    src.add_argument("--checkpoint", help="a train.py checkpoint")
    ap.add_argument("--save", help="also write the checkpoint's weights as .npz (half values)")
    ap.add_argument("--data", default=os.path.join(HERE, "data", "valid"))
    ap.add_argument("--count", type=int, default=24)
    ap.add_argument("--threads", type=int, default=1)
    args = ap.parse_args()
    torch.set_num_threads(args.threads)
    paths = sorted(glob.glob(os.path.join(args.data, "*.npz")))[:args.count]
    if not paths:
        sys.exit("validate: no scenes in %s" % args.data)
    model = train.make_model(args.arrays)
    if args.checkpoint:
        model.load_state_dict(torch.load(args.checkpoint)["model"])
        model.load_arrays(train.half_rounded(model.arrays()))
        if args.save:
            train.save_arrays(model, args.save)
    result = {"scenes": len(paths),
              "trained": train.validate(model, paths),
              "untrained": train.validate(train.make_model(), paths)}
    print(json.dumps(result, indent=1))


if __name__ == "__main__":
    main()
