"""Loss curves from the training logs: <folder>/loss.png (default training/results;
pass a run's own log folder, e.g. training/results/run7_mix, to plot that run)."""

import csv
import os
import sys

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")


def read(folder, name):
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return list(csv.DictReader(f))


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else RESULTS
    train, valid = read(folder, "train_log.csv"), read(folder, "valid_log.csv")
    if not train:
        raise SystemExit("no train_log.csv in %s" % folder)
    fig, ax = plt.subplots(figsize=(7, 4))
    ax.plot([float(r["frames"]) / 1e3 for r in train], [float(r["loss"]) for r in train],
            label="training (per log interval)")
    ax.plot([float(r["frames"]) / 1e3 for r in valid], [float(r["loss"]) for r in valid],
            "o-", label="validation")
    ax.set_xlabel("training frames (thousands)")
    ax.set_ylabel("loss")
    ax.grid(alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(os.path.join(folder, "loss.png"), dpi=80)


if __name__ == "__main__":
    main()
