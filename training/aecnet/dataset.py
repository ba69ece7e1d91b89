"""Feature files of the C++ exporter and the compact per-scene form training reads.

A .feat record holds the whole 18-row buffer of every frame, redundant over
frames: frame t's rows are the log-power rows of frames t-5..t of E and D and
of frames t-2..t of X and Y = D - E, all less the current level L_t. The compact form keeps each row once
(level-relative to frame 0, float16), the per-frame level, and E and the
target spectrum divided by the scene's RMS |E| (so losses do not depend on
the input gain). expand() rebuilds the buffers exactly up to float16 rounding.
"""

import os

import numpy as np

from . import frame

MAGIC = b"AECFEAT1"
BINS = frame.BINS
ROWS = frame.BUFFER_ROWS
VERSION = 2
STREAM_FRAMES = frame.STREAM_FRAMES
CONTEXT = max(STREAM_FRAMES)  # the longest history a stream keeps
STREAMS = len(STREAM_FRAMES)
FIRST_ROW = tuple(int(v) for v in np.cumsum((0,) + STREAM_FRAMES[:-1]))
HEADER_WORDS = 8
RECORD = ROWS * BINS + 4 * BINS


def read_feat(path):
    """dict with features (F, 18, 513) float32, e and target (F, 513) complex64."""
    with open(path, "rb") as f:
        head = f.read(40)
        if len(head) != 40 or head[:8] != MAGIC:
            raise ValueError("%s: not a feature file" % path)
        version, rate, hop, bins, rows, frames, has_target, record = \
            np.frombuffer(head[8:], "<u4", HEADER_WORDS)
        if version != VERSION or bins != BINS or rows != ROWS or record != RECORD:
            raise ValueError("%s: unsupported layout" % path)
        data = np.fromfile(f, "<f4", int(frames) * RECORD)
    if data.size != frames * RECORD:
        raise ValueError("%s: truncated" % path)
    data = data.reshape(frames, RECORD)
    spec = data[:, ROWS * BINS:].reshape(frames, 2, BINS, 2)
    cplx = spec[..., 0] + 1j * spec[..., 1]
    return {"features": data[:, :ROWS * BINS].reshape(frames, ROWS, BINS),
            "e": cplx[:, 0].astype(np.complex64), "target": cplx[:, 1].astype(np.complex64),
            "has_target": bool(has_target), "sample_rate": int(rate), "hop": int(hop)}


def write_feat(path, features, e, target, has_target=True):
    """The exporter's layout (used by tests and tools that fake scenes)."""
    frames = features.shape[0]
    head = MAGIC + np.array([VERSION, 16000, 160, BINS, ROWS, frames, int(has_target), RECORD],
                            "<u4").tobytes()
    spec = np.stack([np.stack([e.real, e.imag], -1), np.stack([target.real, target.imag], -1)], 1)
    body = np.concatenate([features.reshape(frames, -1), spec.reshape(frames, -1)], 1)
    with open(path + ".tmp", "wb") as f:
        f.write(head)
        f.write(body.astype("<f4").tobytes())
    os.replace(path + ".tmp", path)


def _newest(features, back=0):
    """(F, STREAMS, BINS): each stream's row of frame t - back in frame t's buffer."""
    rows = [FIRST_ROW[s] + STREAM_FRAMES[s] - 1 - back for s in range(STREAMS)]
    return features[:, rows]


def compact(feat):
    """The compact arrays of one scene from read_feat's dict."""
    x = feat["features"]
    # Row t of frame t (newest) and of frame t+1 (second newest) differ by L_t+1 - L_t.
    step = np.mean(_newest(x)[:-1] - _newest(x, 1)[1:], axis=(1, 2))
    level = np.concatenate(([0.0], np.cumsum(step)))
    newest = _newest(x) + level[:, None, None]
    # Frames -5..-1 as frame 0's buffer holds them; a stream with a shorter
    # history repeats its oldest row in the slots it never reads.
    history = np.stack([_newest(x[:1], back)[0] for back in range(CONTEXT - 1, 0, -1)])
    for s, frames in enumerate(STREAM_FRAMES):
        history[:CONTEXT - frames, s] = x[0, FIRST_ROW[s]]
    rows = np.concatenate([history, newest], 0)
    scale = np.sqrt(np.mean(np.abs(feat["e"]) ** 2)) + 1e-12
    return {"rows": rows.astype(np.float16), "level": level.astype(np.float32),
            "e": _pack(feat["e"] / scale), "target": _pack(feat["target"] / scale)}


def _pack(c):
    return np.stack([c.real, c.imag], -1).astype(np.float16)


def unpack(a):
    a = np.asarray(a, np.float32)
    return a[..., 0] + 1j * a[..., 1]


def expand(scene, start, length):
    """Feature buffers (length, 18, 513) float32 of frames start..start+length-1."""
    rows = np.asarray(scene["rows"][start:start + length + CONTEXT - 1], np.float32)
    level = np.asarray(scene["level"][start:start + length], np.float32)
    parts = []
    for s, frames in enumerate(STREAM_FRAMES):
        idx = np.arange(length)[:, None] + np.arange(CONTEXT - frames, CONTEXT)[None, :]
        parts.append(rows[idx, s])                    # (length, frames, 513)
    return np.concatenate(parts, 1) - level[:, None, None]


def save_scene(path, arrays, flags):
    tmp = path[:-len(".npz")] + ".partial"  # not *.npz, so a reader never globs a half-written scene
    with open(tmp, "wb") as f:
        np.savez(f, flags=flags, **arrays)
    os.replace(tmp, path)


def load_scene(path):
    with np.load(path) as z:
        return {k: z[k] for k in z.files}
