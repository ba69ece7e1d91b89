"""Echo scenes: far-end talker played by a non-linear loudspeaker into a
simulated room, a near-end talker, background noise, all at 16 kHz.

The far end is never digital silence: a real call carries the far room's
noise or comfort noise between words (FAR_FLOOR_DBFS), and that floor plays
through the loudspeaker too. Near-end-only scenes keep it (sometimes with a
faint tone or music), so the network cannot learn "reference not silent =
suppress". Some far ends play music or noise-like content at speech level
(a loud far room, a syllable-modulated noise), so "noise-like" does not mean
"no echo" either. Some scenes have the near end far above
the echo (HIGH_SER_DB) or a headset's weak coupling (WEAK_COUPLING_DB).

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
HIGH_SER_DB = (10.0, 30.0)
HIGH_SER_SHARE = 0.25
FAR_FLOOR_DBFS = (-70.0, -40.0)
FAR_FLOOR_SHARE = 0.9
FAINT_FAR_DBFS = (-60.0, -40.0)  # a tone or music under a near-end-only scene
MUSIC_SHARE = 0.15
NOISE_FAR_SHARE = 0.12
WEAK_COUPLING_DB = (-35.0, -15.0)
WEAK_COUPLING_SHARE = 0.15
# echo level over reference level when no far-end speech sets it (near-end-only scenes)
COUPLING_DB = (-20.0, 5.0)
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


SPEAKERS = {"none": lambda x: x, "soft": soft_clip, "hard": hard_clip, "poly": asym_poly}


def speaker_params(kind, rng, strength=1.0):
    """Parameters of one of NONLINEARITIES; strength in (0, 1] scales how far
    each kind departs from a clean speaker."""
    if kind == "soft":
        return {"drive": float(1.0 + strength * rng.uniform(0.0, 3.0))}
    if kind == "hard":
        return {"level": float(1.0 - strength * (1.0 - rng.uniform(0.3, 0.9)))}
    if kind == "poly":
        return {"a2": float(strength * rng.uniform(-0.4, 0.4)), "a3": float(strength * rng.uniform(-0.4, 0.1))}
    return {}


def loudspeaker(x, kind, rng, strength=1.0, params=None):
    """Applies one of NONLINEARITIES to x (peak about 1) with params, drawn
    by speaker_params when None; returns y and the parameters."""
    p = speaker_params(kind, rng, strength) if params is None else params
    return SPEAKERS[kind](x, **p), p


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


def babble_track(rng, n):
    """One babble talker of the training voices."""
    return speech.talker_track(rng, speech.training_voice(rng), n, (0.0, 0.5), (0.1, 0.6))


def babble(rng, n, dims, mic, track=babble_track, talkers=None, distance_m=(1.5, 4.0), rt60=0.5):
    """Unit-RMS babble at the mic: talkers tracks (3 to 5 when None), each
    track(rng, n) from a point distance_m away, through a room of rt60."""
    x = np.zeros(n)
    for _ in range(rng.integers(3, 6) if talkers is None else talkers):
        t = track(rng, n)
        h = room.rir(dims, room.point_near(rng, dims, mic, *distance_m), mic, rt60, rng=rng)
        x += fftconvolve(t, h)[:n]
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


PATH_CHANGE_SHARE = 0.3


def echo_path(rng, signals, dims, rt60, mic, n, speaker_m=(0.05, 1.0), moved_m=(0.05, 1.0), change=None,
              change_s=None):
    """Loudspeaker outputs (one array or a list, all played from the same
    place speaker_m from the mic) through the room, with a path change to a
    place moved_m away: in PATH_CHANGE_SHARE of the scenes when change is
    None, at change_s or a time drawn from the middle half."""
    spk = room.point_near(rng, dims, mic, *speaker_m)
    h1 = room.rir(dims, spk, mic, rt60, rng=rng)
    signals = list(signals) if isinstance(signals, (list, tuple)) else [signals]
    echoes = [fftconvolve(x, h1)[:n] for x in signals]
    info = {"speaker_distance": float(np.linalg.norm(spk - mic)), "path_change_s": None}
    if change is None:
        change = rng.random() < PATH_CHANGE_SHARE
    if change:
        spk2 = room.point_near(rng, dims, mic, *moved_m)
        h2 = room.rir(dims, spk2, mic, rt60, rng=rng)
        at = int((rng.uniform(0.25, 0.75) * n) if change_s is None else change_s * FS)
        fade = np.clip((np.arange(n) - at) / (0.02 * FS), 0.0, 1.0)
        echoes = [e * (1 - fade) + fftconvolve(x, h2)[:n] * fade for e, x in zip(echoes, signals)]
        info["path_change_s"] = at / FS
    return (echoes if len(echoes) > 1 else echoes[0]), info


def music(rng, n):
    """Synthetic music, peak 1: a melody, a bass line and sometimes chords of
    harmonic notes with attack-decay envelopes, and sometimes a drum track
    of filtered noise bursts, at a tempo of 60-160 beats a minute."""
    beat = 60.0 / rng.uniform(60, 160)
    root = 110.0 * 2 ** rng.uniform(0, 1)
    scale = np.array((0, 2, 4, 5, 7, 9, 11, 12)) if rng.random() < 0.6 else np.array((0, 2, 3, 5, 7, 8, 10, 12))
    out = np.zeros(n)
    parts = [(2, 1.0, 1), (0, 0.7, 2)] + ([(1, 0.5, 4)] if rng.random() < 0.5 else [])
    for octave, amp, beats_per_note in parts:
        harmonics = rng.uniform(0.1, 1.0, 8) / np.arange(1, 9) ** rng.uniform(0.5, 2.0)
        decay = rng.uniform(2.0, 12.0)
        t0 = 0.0
        while t0 * FS < n:
            length = int(beats_per_note * beat * rng.choice((0.5, 1.0, 1.0, 2.0)) * FS)
            f = root * 2 ** (octave + rng.choice(scale) / 12.0)
            note = _note(f, harmonics, decay, min(length, n - int(t0 * FS)))
            out[int(t0 * FS):int(t0 * FS) + note.size] += amp * note
            t0 += length / FS
    if rng.random() < 0.5:
        out += 0.6 * _drums(rng, n, beat)
    return out / (np.max(np.abs(out)) + 1e-12)


def _note(f, harmonics, decay, length):
    t = np.arange(length) / FS
    env = np.minimum(t / 0.01, 1.0) * np.exp(-decay * t)
    ks = [k for k in range(1, harmonics.size + 1) if k * f < FS / 2]
    return env * sum(harmonics[k - 1] * np.sin(2 * np.pi * k * f * t) for k in ks)


def _drums(rng, n, beat):
    out = np.zeros(n)
    step = int(beat * FS / 2)
    burst = int(0.15 * FS)
    env = np.exp(-np.arange(burst) / (rng.uniform(0.01, 0.05) * FS))
    for at in range(0, n - burst, step):
        if rng.random() < 0.7:
            hit = lfilter([1.0], [1.0, -rng.uniform(0.0, 0.95)], rng.standard_normal(burst)) * env
            out[at:at + burst] += hit / (np.max(np.abs(hit)) + 1e-12)
    return out


def noise_far(rng, n):
    """Noise-like far-end content at speech level, peak 1: coloured noise
    that is steady, syllable-modulated or in bursts of 0.2-1.5 s."""
    x = coloured_noise(rng, n, rng.uniform(0.0, 2.0))
    t = np.arange(n) / FS
    shape = rng.choice(("steady", "syllables", "bursts"))
    if shape == "syllables":
        x *= np.clip(np.sin(2 * np.pi * rng.uniform(2.0, 5.0) * t + rng.uniform(0, 6.3)), 0.0, None) ** 0.5 \
            + rng.uniform(0.0, 0.3)
    elif shape == "bursts":
        env, at = np.zeros(n), 0
        while at < n:
            length = int(rng.uniform(0.2, 1.5) * FS)
            env[at:at + length] = rng.random() < 0.6
            at += length
        x *= np.convolve(env, np.ones(160) / 160, mode="same")
    return x / (np.max(np.abs(x)) + 1e-12)


def far_floor(rng, n):
    """The far end's noise floor, unit RMS: coloured noise, sometimes with hum."""
    x = coloured_noise(rng, n, rng.uniform(0.0, 2.0))
    if rng.random() < 0.25:
        x = x + rng.uniform(0.2, 1.0) * hum(rng, n)
    return x / (np.std(x) + 1e-12)


def faint_far(rng, n):
    """A tone or music far below speech level, unit peak."""
    if rng.random() < 0.5:
        return music(rng, n)
    return np.sin(2 * np.pi * rng.uniform(200.0, 3000.0) * np.arange(n) / FS)


def db(x):
    return 10 ** (x / 20)


def scene_kind(rng):
    r = rng.random()
    return "far_only" if r < 0.2 else ("near_only" if r < 0.4 else "mixed")


def far_end(rng, kind, n, widened):
    """Far-end content (speech, music or noise, peak about 1; zeros in near-end-only
    scenes), the reference gain that brings it to its playback level, and
    what plays under it (floor and faint tone or music), in reference units."""
    level = db(rng.uniform(-25, -8))
    under = np.zeros(n)
    if rng.random() < FAR_FLOOR_SHARE:
        under += far_floor(rng, n) * db(rng.uniform(*FAR_FLOOR_DBFS))
    if kind == "near_only":
        content, content_kind = np.zeros(n), "none"
        if rng.random() < 0.25:
            under += faint_far(rng, n) * db(rng.uniform(*FAINT_FAR_DBFS))
        return content, level / 0.1, under, content_kind
    r = rng.random()
    if r < MUSIC_SHARE:
        content, content_kind = music(rng, n), "music"
    elif r < MUSIC_SHARE + NOISE_FAR_SHARE:
        content, content_kind = noise_far(rng, n), "noise"
    else:
        content, content_kind = speech.talker_track(rng, speech.training_voice(rng, widened), n), "speech"
    # a digital reference cannot pass full scale, so loud content is turned down rather than clipped
    gain = min(level / np.sqrt(active_power(content) + 1e-20), 0.9 / (np.max(np.abs(content)) + 1e-12))
    return content, gain, under, content_kind


def make_scene(seed, seconds=8.0, mild=False):
    """mic, ref (far end), near (clean near end at the mic) and a description."""
    rng = np.random.default_rng(seed)
    profile = MILD if mild else ORDINARY
    n = int(seconds * FS)
    dims, rt60, mic_pos = room.random_room(rng)
    kind = scene_kind(rng)
    content, ref_gain, under, content_kind = far_end(rng, kind, n, widened=True)
    near_dry = speech.talker_track(rng, speech.training_voice(rng, True), n) if kind != "far_only" else np.zeros(n)
    nl = str(rng.choice(NONLINEARITIES, p=profile["nl_weights"]))
    # the loudspeaker sees the reference at the scale where speech peaks near 1
    driven, nl_params = loudspeaker(content + under / ref_gain, nl, rng, profile["nl_strength"])
    delay = int(rng.uniform(*DELAY_RANGE_S) * FS)
    late = [np.concatenate((np.zeros(delay), x))[:n] for x in (driven, content)]
    (echo, content_echo), path = echo_path(rng, late, dims, rt60, mic_pos, n)
    talker = room.point_near(rng, dims, mic_pos, 0.3, 2.5)
    near = fftconvolve(near_dry, room.rir(dims, talker, mic_pos, rt60, rng=rng))[:n]
    high_ser = kind == "mixed" and rng.random() < HIGH_SER_SHARE
    ser = float(rng.uniform(*(HIGH_SER_DB if high_ser else SER_RANGE_DB)))
    pe, pn = active_power(content_echo), active_power(near)
    if pe > 0 and pn > 0:
        near *= np.sqrt(pe / pn * 10 ** (ser / 10))
    bg, noise_kind = noise(rng, n, dims, mic_pos)
    snr = float(rng.uniform(*profile["snr_db"]))
    speech_power = active_power(near if kind == "near_only" else content_echo + near)
    bg *= np.sqrt(speech_power * 10 ** (-snr / 10))
    gain = 10 ** (rng.uniform(-30, -15) / 20) / np.sqrt(active_power(near + bg if kind == "near_only" else
                                                                     content_echo + near + bg) + 1e-20)
    coupling = scale_echo(rng, kind, echo, gain, under)
    mix = echo * coupling["echo_scale"] + near + bg
    gain = gain * min(1.0, 0.99 / (np.max(np.abs(mix * gain)) + 1e-12))
    mic = mix * gain
    ref = np.clip(content * ref_gain + under, -1.0, 1.0)
    info = {"seed": seed, "kind": kind, "far": content_kind, "room": [float(d) for d in dims], "rt60": float(rt60),
            "nonlinearity": nl, "nl_params": nl_params, "delay_s": delay / FS, "ser_db": ser,
            "noise": noise_kind, "snr_db": snr, "mild": mild,
            "far_floor_dbfs": float(10 * np.log10(np.mean(under ** 2) + 1e-20)), **coupling, **path}
    flags = np.stack([frame_activity(content_echo) if kind != "near_only" else np.zeros(n // HOP, bool),
                      frame_activity(near)], 1)
    return {"mic": mic, "ref": ref, "near": near * gain, "flags": flags, "info": info}


def scale_echo(rng, kind, echo, gain, under):
    """How much of the simulated echo reaches the mic. Where far-end speech
    set the echo level (through the signal-to-echo ratio) it stays, except in
    the weak-coupling share; in near-end-only scenes the echo of what plays
    under the reference lands COUPLING_DB above that reference's level."""
    if kind == "near_only":
        want = db(rng.uniform(*COUPLING_DB)) * np.sqrt(np.mean(under ** 2))
        have = np.sqrt(np.mean(echo ** 2)) * gain
        return {"echo_scale": float(want / have) if have > 0 else 0.0, "weak_coupling_db": None}
    if rng.random() < WEAK_COUPLING_SHARE:
        weak = float(rng.uniform(*WEAK_COUPLING_DB))
        return {"echo_scale": float(db(weak)), "weak_coupling_db": weak}
    return {"echo_scale": 1.0, "weak_coupling_db": None}
