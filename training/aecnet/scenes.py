"""Echo scenes: far-end talker played by a non-linear loudspeaker into a
simulated room, a near-end talker, background noise, all at 16 kHz.

A scene is fully determined by its seed. Training scenes use seeds
TRAIN_SEED_BASE + i, validation scenes VALID_SEED_BASE + i, and the milder
training share MILD_SEED_BASE + i (see MILD); evaluation
should use seeds of its own (for example 9_000_000 and up) together with the
voices speech.py leaves out.
"""

import numpy as np
from scipy.signal import fftconvolve, lfilter

from . import room, speech

FS = speech.FS
HOP = 160
TRAIN_SEED_BASE = 1_000_000
VALID_SEED_BASE = 2_000_000
MILD_SEED_BASE = 3_000_000
SER_RANGE_DB = (-15.0, 10.0)
DELAY_RANGE_S = (0.0, 0.3)
SNR_RANGE_DB = (10.0, 40.0)
NONLINEARITIES = ("none", "soft", "hard", "poly")
ORDINARY = {"nl_weights": None, "nl_strength": 1.0, "snr_db": SNR_RANGE_DB}
# Scenes of the milder share: most loudspeakers clean or nearly so and less
# noise, so the linear stage leaves little residual echo. Without them the
# network learns that E in double talk is mostly echo and cuts the near end.
MILD = {"nl_weights": (0.55, 0.15, 0.15, 0.15), "nl_strength": 0.35, "snr_db": (25.0, 45.0)}


def soft_clip(x, drive):
    return np.tanh(drive * x) / np.tanh(drive)


def hard_clip(x, level):
    return np.clip(x, -level, level) / level


def asym_poly(x, a2, a3):
    """x + a2 x^2 + a3 x^3 less its mean offset, rescaled to the input peak."""
    y = x + a2 * x * x + a3 * x ** 3
    y = y - a2 * np.mean(x * x)
    return y * (np.max(np.abs(x)) / (np.max(np.abs(y)) + 1e-12))


def loudspeaker(x, kind, rng, strength=1.0):
    """Applies one of NONLINEARITIES to x (peak about 1); returns y and its parameters.
    strength in (0, 1] scales how far each kind departs from a clean speaker."""
    if kind == "soft":
        p = {"drive": float(1.0 + strength * rng.uniform(0.0, 3.0))}
        return soft_clip(x, p["drive"]), p
    if kind == "hard":
        p = {"level": float(1.0 - strength * (1.0 - rng.uniform(0.3, 0.9)))}
        return hard_clip(x, p["level"]), p
    if kind == "poly":
        p = {"a2": float(strength * rng.uniform(-0.4, 0.4)), "a3": float(strength * rng.uniform(-0.4, 0.1))}
        return asym_poly(x, p["a2"], p["a3"]), p
    return x, {}


def coloured_noise(rng, n, exponent):
    """Noise with power spectrum 1/f^exponent, unit RMS."""
    spec = np.fft.rfft(rng.standard_normal(n))
    f = np.maximum(np.fft.rfftfreq(n, 1.0 / FS), 20.0)
    x = np.fft.irfft(spec / f ** (exponent / 2.0), n)
    return x / (np.std(x) + 1e-12)


def hum(rng, n):
    base = rng.choice((50.0, 60.0))
    t = np.arange(n) / FS
    x = sum(rng.uniform(0.1, 1.0) / k * np.sin(2 * np.pi * base * k * t + rng.uniform(0, 6.3))
            for k in range(1, 12))
    return x / (np.std(x) + 1e-12)


def babble(rng, n, dims, mic):
    x = np.zeros(n)
    for _ in range(rng.integers(3, 6)):
        v = speech.training_voice(rng)
        track = speech.talker_track(rng, v, n, (0.0, 0.5), (0.1, 0.6))
        h = room.rir(dims, room.point_near(rng, dims, mic, 1.5, 4.0), mic, 0.5, rng=rng)
        x += fftconvolve(track, h)[:n]
    return x / (np.std(x) + 1e-12)


def noise(rng, n, dims, mic):
    kind = str(rng.choice(("coloured", "hum", "babble", "coloured+hum")))
    if kind == "coloured":
        return coloured_noise(rng, n, rng.uniform(0.0, 2.0)), kind
    if kind == "hum":
        return hum(rng, n), kind
    if kind == "babble":
        return babble(rng, n, dims, mic), kind
    return coloured_noise(rng, n, rng.uniform(0.0, 2.0)) + 0.5 * hum(rng, n), kind


def active_power(x):
    """Mean power over the 10 ms frames within 30 dB of the loudest."""
    frames = x[:x.size // HOP * HOP].reshape(-1, HOP)
    p = np.mean(frames ** 2, axis=1)
    if p.max() <= 0:
        return 0.0
    return float(np.mean(p[p > p.max() * 1e-3]))


def frame_activity(x, rel_db=-35.0):
    """Per exporter frame t (samples up to (t+1)*HOP): speech present."""
    n = x.size // HOP
    p = np.mean(x[:n * HOP].reshape(n, HOP) ** 2, axis=1)
    p = np.maximum(p, np.concatenate(([0.0], p[:-1])))
    return p > active_power(x) * 10 ** (rel_db / 10)


def echo_path(rng, far, dims, rt60, mic, n):
    """Loudspeaker output through the room, with an optional path change."""
    spk = room.point_near(rng, dims, mic, 0.05, 1.0)
    h1 = room.rir(dims, spk, mic, rt60, rng=rng)
    echo = fftconvolve(far, h1)[:n]
    info = {"speaker_distance": float(np.linalg.norm(spk - mic)), "path_change_s": None}
    if rng.random() < 0.3:
        spk2 = room.point_near(rng, dims, mic, 0.05, 1.0)
        echo2 = fftconvolve(far, room.rir(dims, spk2, mic, rt60, rng=rng))[:n]
        at = int(rng.uniform(0.25, 0.75) * n)
        fade = np.clip((np.arange(n) - at) / (0.02 * FS), 0.0, 1.0)
        echo = echo * (1 - fade) + echo2 * fade
        info["path_change_s"] = at / FS
    return echo, info


def scene_kind(rng):
    r = rng.random()
    return "far_only" if r < 0.2 else ("near_only" if r < 0.3 else "mixed")


def make_scene(seed, seconds=8.0, mild=False):
    """mic, ref (far end), near (clean near end at the mic) and a description."""
    rng = np.random.default_rng(seed)
    profile = MILD if mild else ORDINARY
    n = int(seconds * FS)
    dims, rt60, mic_pos = room.random_room(rng)
    kind = scene_kind(rng)
    far = speech.talker_track(rng, speech.training_voice(rng), n) if kind != "near_only" else np.zeros(n)
    near_dry = speech.talker_track(rng, speech.training_voice(rng), n) if kind != "far_only" else np.zeros(n)
    nl = str(rng.choice(NONLINEARITIES, p=profile["nl_weights"]))
    driven, nl_params = loudspeaker(far, nl, rng, profile["nl_strength"])
    delay = int(rng.uniform(*DELAY_RANGE_S) * FS)
    driven = np.concatenate((np.zeros(delay), driven))[:n]
    echo, path = echo_path(rng, driven, dims, rt60, mic_pos, n)
    talker = room.point_near(rng, dims, mic_pos, 0.3, 2.5)
    near = fftconvolve(near_dry, room.rir(dims, talker, mic_pos, rt60, rng=rng))[:n]
    ser = float(rng.uniform(*SER_RANGE_DB))
    pe, pn = active_power(echo), active_power(near)
    if pe > 0 and pn > 0:
        near *= np.sqrt(pe / pn * 10 ** (ser / 10))
    bg, noise_kind = noise(rng, n, dims, mic_pos)
    snr = float(rng.uniform(*profile["snr_db"]))
    bg *= np.sqrt(active_power(echo + near) * 10 ** (-snr / 10))
    mic = echo + near + bg
    gain = 10 ** (rng.uniform(-30, -15) / 20) / np.sqrt(active_power(mic) + 1e-20)
    gain = min(gain, 0.99 / (np.max(np.abs(mic)) + 1e-12))
    ref = far * 10 ** (rng.uniform(-25, -8) / 20) / np.sqrt(active_power(far) + 1e-20) \
        if kind != "near_only" else far
    ref = np.clip(ref, -1.0, 1.0)
    info = {"seed": seed, "kind": kind, "room": [float(d) for d in dims], "rt60": float(rt60),
            "nonlinearity": nl, "nl_params": nl_params, "delay_s": delay / FS, "ser_db": ser,
            "noise": noise_kind, "snr_db": snr, "mild": mild, **path}
    flags = np.stack([frame_activity(echo), frame_activity(near)], 1)
    return {"mic": mic * gain, "ref": ref, "near": near * gain, "flags": flags, "info": info}
