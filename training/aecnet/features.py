"""Synthetic feature streams in the range of log-compressed spectra.

The caller's buffer of one frame is 18 consecutive rows of 513 values: window
A is rows 0 to 11, window B rows 6 to 17. A stream of F frames advancing by
one row is F + 17 rows; frame f's buffer starts at row f."""

import numpy as np

from . import frame

ROW = frame.BINS
ROWS_PER_BUFFER = frame.BUFFER_ROWS
WINDOW_ROWS = frame.WINDOW_ROWS
WINDOW_B_ROW = frame.WINDOW_B_ROW


def feature_stream(seed, frames):
    """(frames + 17, 513) float32: a falling spectral tilt, slowly varying
    level, correlated noise across time and frequency, values about -6..3."""
    rng = np.random.RandomState(seed)
    rows = frames + ROWS_PER_BUFFER - 1
    freq = np.linspace(0.0, 1.0, ROW)
    tilt = 1.0 - 4.0 * freq ** 0.7
    level = np.cumsum(rng.normal(0.0, 0.15, rows))
    level -= level.mean()
    noise = rng.normal(0.0, 0.8, (rows, ROW))
    for t in range(1, rows):
        noise[t] = 0.6 * noise[t - 1] + 0.8 * noise[t]
    kernel = np.ones(5) / 5.0
    noise = np.stack([np.convolve(r, kernel, mode="same") for r in noise])
    stream = tilt[None, :] + level[:, None] + noise
    return np.clip(stream, -8.0, 4.0).astype(np.float32)


def windows(stream, frames):
    """Windows A and B of every frame: two (frames, 12, 513) arrays."""
    idx = np.arange(frames)[:, None] + np.arange(WINDOW_ROWS)[None, :]
    return stream[idx], stream[idx + WINDOW_B_ROW]
