"""Writes a 20 s far-end reference and microphone pair from the demo clips:
the far-end talker through the demo room as echo, the near-end talker on
top in alternate repetitions (single talk, then double talk)."""

import sys

import numpy as np
import soundfile as sf
from scipy.signal import fftconvolve

RATE = 16000
SECONDS = 20


def main(demo, ref_path, mic_path):
    far, _ = sf.read(f"{demo}/far_end.wav", dtype="float32")
    near, _ = sf.read(f"{demo}/near_end.wav", dtype="float32")
    room, _ = sf.read(f"{demo}/room_ir.wav", dtype="float32")
    length = RATE * SECONDS
    ref = np.resize(far, length)
    echo = fftconvolve(ref, room)[:length]
    talk = np.zeros(length, dtype=np.float32)
    for start in range(len(far), length, 2 * len(far)):
        piece = near[:length - start]
        talk[start:start + len(piece)] = piece
    mic = 0.5 * echo + 0.5 * talk
    sf.write(ref_path, ref, RATE, subtype="PCM_16")
    sf.write(mic_path, np.clip(mic, -1, 1), RATE, subtype="PCM_16")


if __name__ == "__main__":
    main(*sys.argv[1:4])
