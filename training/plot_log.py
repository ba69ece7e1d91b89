"""Loss curves from the training logs: training/results/loss.png."""

import csv
import os

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")


def read(name):
    path = os.path.join(RESULTS, name)
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return list(csv.DictReader(f))


def main():
    train, valid = read("train_log.csv"), read("valid_log.csv")
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
    fig.savefig(os.path.join(RESULTS, "loss.png"), dpi=80)


if __name__ == "__main__":
    main()
