"""Generates echo scenes, runs the C++ feature exporter on each and stores
the compact per-scene arrays: training/data/<split>/s<seed>.npz.

    /usr/bin/python3 training/gen_scenes.py --split train --count 1000
    /usr/bin/python3 training/gen_scenes.py --split valid --count 32
    /usr/bin/python3 training/gen_scenes.py --split mild --count 1000

The mild share goes into the training folder beside the ordinary scenes.

Existing scenes are skipped, so an interrupted run continues where it stopped.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import soundfile as sf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from aecnet import dataset, scenes  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# split: (first seed, folder, milder share)
SPLITS = {"train": (scenes.TRAIN_SEED_BASE, "train", False), "valid": (scenes.VALID_SEED_BASE, "valid", False),
          "mild": (scenes.MILD_SEED_BASE, "train", True)}


def export(exporter, scene, tmp):
    paths = {k: os.path.join(tmp, k + ".wav") for k in ("mic", "ref", "near")}
    for k, p in paths.items():
        sf.write(p, scene[k].astype(np.float32), scenes.FS, subtype="FLOAT")
    out = os.path.join(tmp, "scene.feat")
    subprocess.run([exporter, "--mic", paths["mic"], "--ref", paths["ref"], "--near", paths["near"],
                    "--out", out, "--delay-ms", "auto"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return dataset.read_feat(out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--split", choices=sorted(SPLITS), default="train")
    ap.add_argument("--first", type=int, default=0)
    ap.add_argument("--count", type=int, default=100)
    ap.add_argument("--seconds", type=float, default=8.0)
    ap.add_argument("--out", default=os.path.join(ROOT, "training", "data"))
    ap.add_argument("--exporter", default=os.path.join(ROOT, "build", "train", "tools", "aec_features"))
    args = ap.parse_args()
    if not os.access(args.exporter, os.X_OK):
        sys.exit("gen_scenes: exporter %s not found (build target aec_features)" % args.exporter)
    base, folder, mild = SPLITS[args.split]
    out_dir = os.path.join(args.out, folder)
    os.makedirs(out_dir, exist_ok=True)
    for i in range(args.first, args.first + args.count):
        seed = base + i
        path = os.path.join(out_dir, "s%d.npz" % seed)
        if os.path.exists(path):
            continue
        t0 = time.time()
        scene = scenes.make_scene(seed, args.seconds, mild=mild)
        with tempfile.TemporaryDirectory() as tmp:
            feat = export(args.exporter, scene, tmp)
        frames = feat["features"].shape[0]
        flags = np.zeros((frames, 2), bool)
        m = min(frames, scene["flags"].shape[0])
        flags[:m] = scene["flags"][:m]
        arrays = dataset.compact(feat)
        arrays["info"] = np.array(json.dumps(scene["info"]))
        dataset.save_scene(path, arrays, flags)
        print("%s %d frames %.1fs %s" % (os.path.basename(path), frames, time.time() - t0,
                                         json.dumps(scene["info"])), flush=True)


if __name__ == "__main__":
    main()
