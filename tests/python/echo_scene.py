"""What the Python tests share: the module under test, from the build
folder ctest names, and a generated echo scene."""
import os
import sys

import numpy as np

sys.path.insert(0, os.environ["YNET_AEC_MODULE_DIR"])
import ynet_aec  # noqa: E402,F401


def scene(rate, seconds=6.0, delay_ms=40, near_from=None, seed=5):
    """Far end: noise shaped like speech (low-passed, syllable envelope);
    mic: its echo through a decaying room response, plus a near-end talker
    from near_from seconds on."""
    rng = np.random.default_rng(seed)
    n = int(rate * seconds)
    t = np.arange(n) / rate
    far = np.convolve(rng.standard_normal(n), np.ones(4) / 4, mode="same")
    far *= 0.15 * np.clip(np.sin(2 * np.pi * 2.7 * t), 0.0, None) ** 0.5
    room = 0.5 * np.exp(-np.arange(rate // 50) / (rate / 400)) * rng.standard_normal(rate // 50)
    room[0] = 0.6
    delay = rate * delay_ms // 1000
    mic = np.zeros(n)
    mic[delay:] = np.convolve(far, room)[: n - delay]
    if near_from is not None:
        near = 0.1 * np.sin(2 * np.pi * 220 * t) * np.clip(np.sin(2 * np.pi * 1.3 * t), 0.0, None)
        mic += np.where(t >= near_from, near, 0.0)
    mic += 1e-4 * rng.standard_normal(n)
    return mic.astype(np.float32), far.astype(np.float32)
