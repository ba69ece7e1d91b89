"""What a far end carries besides speech, for the evaluation scenes: noise
floors of several colours, comfort-noise-like shaped noise, a steady tone and
plucked-string music, each with unit RMS; and the short leakage path of a
headset (earpiece to boom microphone).

Generators of our own, apart from training's: the floors' colours are the
textbook ones, the comfort noise changes its spectrum and level every
parameter update as a codec's does, and the music is plucked strings over a
chord progression, which training's music generator never makes.
"""

import numpy as np
from scipy.signal import butter, lfilter, sosfilt

FS = 16000
COLOUR_EXPONENTS = {"white": 0.0, "pink": 1.0, "brown": 2.0}
KINDS = tuple(COLOUR_EXPONENTS) + ("comfort", "tone", "music")
CN_UPDATE_S = 0.16        # a comfort-noise generator takes new parameters this often
CN_BAND_HZ = 3600.0       # and is band-limited like a narrowband codec's


def unit_rms(x):
    return x / (np.sqrt(np.mean(x ** 2)) + 1e-20)


def coloured(rng, n, exponent):
    """Noise with power spectrum 1/f^exponent above 20 Hz."""
    spec = np.fft.rfft(rng.standard_normal(n))
    f = np.maximum(np.fft.rfftfreq(n, 1.0 / FS), 20.0)
    return unit_rms(np.fft.irfft(spec / f ** (exponent / 2.0), n))


def comfort(rng, n):
    """Piecewise-stationary noise: every CN_UPDATE_S a new two-resonance
    all-pole shape at unit power gain and a level within 2 dB, filter state
    carried across."""
    block = int(CN_UPDATE_S * FS)
    out = np.zeros(n)
    state = np.zeros(4)
    for at in range(0, n, block):
        poles = [r * np.exp(1j * 2 * np.pi * f / FS) for r, f in
                 ((rng.uniform(0.5, 0.85), rng.uniform(150, 900)), (rng.uniform(0.4, 0.8), rng.uniform(1000, 3000)))]
        a = np.real(np.poly(poles + [np.conj(p) for p in poles]))
        impulse = lfilter([1.0], a, np.eye(1, 512)[0])
        gain = 10 ** (rng.uniform(-2.0, 2.0) / 20) / np.linalg.norm(impulse)
        seg, state = lfilter([gain], a, rng.standard_normal(min(block, n - at)), zi=state)
        out[at:at + seg.size] = seg
    return unit_rms(sosfilt(butter(8, CN_BAND_HZ, fs=FS, output="sos"), out))


def tone(rng, n):
    return unit_rms(np.sin(2 * np.pi * rng.uniform(300.0, 1200.0) * np.arange(n) / FS + rng.uniform(0, 6.3)))


def pluck(rng, f, length):
    """A plucked string (a noise burst in a damped delay loop)."""
    period = max(2, int(round(FS / f)))
    burst = np.zeros(length)
    burst[:period] = rng.uniform(-1, 1, min(period, length))
    a = np.zeros(period + 2)
    a[0], a[period], a[period + 1] = 1.0, -0.497, -0.497
    return lfilter([1.0], a, burst)


def music(rng, n):
    """Plucked-string arpeggios over a I-V-vi-IV progression, bass on each
    chord, at 80 to 130 beats a minute."""
    eighth = int(60.0 / rng.uniform(80, 130) / 2 * FS)
    key = 196.0 * 2 ** (rng.integers(0, 12) / 12)
    chords = ((0, 4, 7), (7, 11, 14), (9, 12, 16), (5, 9, 12))
    out = np.zeros(n + 8 * eighth)
    for step, at in enumerate(range(0, n, eighth)):
        chord = chords[(step // 8) % 4]
        note = key * 2 ** ((chord[step % 3] + 12 * (step % 6 >= 3)) / 12)
        out[at:at + 4 * eighth] += 0.5 * pluck(rng, note, 4 * eighth)
        if step % 8 == 0:
            out[at:at + 8 * eighth] += pluck(rng, key / 2 * 2 ** (chord[0] / 12), 8 * eighth)
    return unit_rms(out[:n])


def signal(kind, rng, n):
    """Unit-RMS far-end signal of one of KINDS."""
    if kind in COLOUR_EXPONENTS:
        return coloured(rng, n, COLOUR_EXPONENTS[kind])
    return {"comfort": comfort, "tone": tone, "music": music}[kind](rng, n)


def headset_path(rng):
    """Earpiece-to-microphone leakage: 0.5 to 1.5 ms of travel, then a 10 ms
    decaying, low-passed response; unit energy."""
    lead = int(rng.uniform(0.0005, 0.0015) * FS)
    body = rng.standard_normal(160) * np.exp(-np.arange(160) / rng.uniform(8, 30))
    h = np.concatenate((np.zeros(lead), lfilter([0.4], [1, -0.6], body)))
    return h / np.linalg.norm(h)
