"""Writes a simulated loudspeaker-to-microphone room response (16 kHz, float
WAV): a direct path after 2 ms, twelve early reflections and an exponentially
decaying diffuse tail (RT60 0.25 s), 150 ms long in all. Fixed seed."""
import sys

import numpy as np
import soundfile

RATE = 16000
LENGTH = int(0.150 * RATE)
RT60 = 0.25


def room_response(seed=20261206):
    rng = np.random.default_rng(seed)
    h = np.zeros(LENGTH)
    h[int(0.002 * RATE)] = 1.0
    for _ in range(12):
        at = int(rng.uniform(0.004, 0.030) * RATE)
        h[at] += rng.uniform(-0.6, 0.6)
    t = np.arange(LENGTH) / RATE
    tail = rng.standard_normal(LENGTH) * np.exp(-6.9 * t / RT60) * 0.25
    tail[: int(0.005 * RATE)] = 0.0
    h += tail
    # a gentle low-pass, as a small loudspeaker and the air give
    h = np.convolve(h, [0.25, 0.5, 0.25])[:LENGTH]
    return 0.5 * h / np.max(np.abs(h))


if __name__ == "__main__":
    soundfile.write(sys.argv[1], room_response().astype(np.float32), RATE, subtype="FLOAT")
