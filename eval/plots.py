"""Figures of an evaluation run: spectrograms of one scene per system and
bars of the main metrics per system."""

import os

import numpy as np
from scipy.signal import stft

from .report import HEADLINE

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def spectrograms(path, title, signals, fs=16000):
    """signals: list of (label, samples); one panel each, shared colour scale."""
    fig, axes = plt.subplots(len(signals), 1, figsize=(9, 1.6 * len(signals)), sharex=True)
    for ax, (label, x) in zip(axes, signals):
        f, t, z = stft(x, fs, nperseg=512, noverlap=384)
        ax.pcolormesh(t, f / 1000, 20 * np.log10(np.abs(z) + 1e-7), vmin=-110, vmax=-30, shading="auto")
        ax.set_ylabel("kHz")
        ax.set_title(label, fontsize=8, loc="left")
    axes[-1].set_xlabel("s")
    fig.suptitle(title, fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=70)
    plt.close(fig)


def bars(path, summary, systems):
    cols = (len(HEADLINE) + 1) // 2
    fig, axes = plt.subplots(2, cols, figsize=(4 * cols, 6))
    for ax, (cat, key, label) in zip(axes.ravel(), HEADLINE):
        rows = summary.get(cat, {}).get("systems", {})
        vals = [rows.get(s, {}).get(key, (np.nan, np.nan)) for s in systems]
        ax.bar(range(len(systems)), [v[0] for v in vals], color="tab:blue")
        ax.plot(range(len(systems)), [v[1] for v in vals], "k_", markersize=14, label="10th pct (bad side)")
        ax.set_xticks(range(len(systems)), systems, rotation=40, ha="right", fontsize=7)
        ax.set_title(label, fontsize=8)
    axes[0, 0].legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=70)
    plt.close(fig)


def write(folder, summary, systems, spectro):
    """spectro: (title, [(label, samples)]) or None."""
    os.makedirs(folder, exist_ok=True)
    bars(os.path.join(folder, "bars.png"), summary, systems)
    if spectro:
        spectrograms(os.path.join(folder, "before_after.png"), *spectro)
