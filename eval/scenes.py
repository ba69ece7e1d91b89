"""Evaluation scenes, kept apart from everything training draws from.

Split against training (training/aecnet/speech.py and scenes.py):
- voices: espeak-ng accents en-gb-x-rp, en-gb-x-gbclan, en-gb-x-gbcwmd,
  en-us-nyc with the variants m6 m7 m8 f5 edward2 iven2 steph2 klatt4 quincy
  shelby zac, and the flite voice slt; training uses none of these.
- text: sentences of our own (EVAL_SENTENCES), not the training word lists.
- rooms: a fixed set of named rooms (ROOMS), two of them outside the
  training size range (a car-sized cabin and a hall) and RT60 0.12 to 0.95 s;
  impulse responses from training's image-source simulator (room.py:
  every image up to MAX_ORDER = 8 reflections plus a statistical tail).
- noises: fan (resonant broadband plus blade tone), keyboard clicks and
  babble from evaluation voices; training uses coloured noise, mains hum and
  babble from training voices.
- seeds: EVAL_SEED_BASE + scene index (training uses 1e6 + i and 2e6 + i).

Every scene is 8 s at 16 kHz. Far-end speech plays from the start; in the
double-talk structure the near-end talker enters at NEAR_START_S, so the
first part is far-end single talk and the rest double talk.
"""

import os
import sys

import numpy as np
from scipy.signal import fftconvolve, lfilter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "training"))
from aecnet import room, speech  # noqa: E402
from aecnet.scenes import active_power, hard_clip, soft_clip  # noqa: E402

FS = speech.FS
SECONDS = 8.0
NEAR_START_S = 4.5
PATH_CHANGE_S = 4.0
EVAL_SEED_BASE = 9_000_000

EVAL_ESPEAK_LANGS = ("en-gb-x-rp", "en-gb-x-gbclan", "en-gb-x-gbcwmd", "en-us-nyc")
EVAL_ESPEAK_VARIANTS = ("m6", "m7", "m8", "f5", "edward2", "iven2", "steph2", "klatt4",
                        "quincy", "shelby", "zac")
EVAL_FLITE_VOICES = ("slt",)

EVAL_SENTENCES = (
    "The pilot checked the gauges twice before the long descent.",
    "Seven red lanterns hung along the edge of the old pier.",
    "Please send the revised drawings to the design office by noon.",
    "A thin layer of frost covered the cars in the parking lot.",
    "Our neighbour grows tomatoes and beans on her small balcony.",
    "The lecture on volcanoes was moved to the second floor.",
    "He poured the soup slowly so that nothing would spill.",
    "The ferry leaves the harbour at a quarter past eight.",
    "Could you repeat the last figure, I think the line dropped.",
    "Wild geese flew low over the marsh at sunset.",
    "The committee agreed to postpone the vote until spring.",
    "She tuned the violin and played a short cheerful melody.",
    "Thick fog delayed every train on the northern line.",
    "The bakery on the corner sells bread until six o'clock.",
    "We measured the width of the hallway with a folding rule.",
    "A loud whistle signalled the start of the final round.",
    "The museum keeps its oldest maps in a cool dark room.",
    "Turn left at the fountain and follow the narrow lane.",
    "The new software update fixed the flickering screen.",
    "Rain drummed on the tin roof for most of the night.",
)

# name: (dimensions in metres, RT60 in s, mic position as fractions of the dimensions)
ROOMS = {
    "cabin": ((2.2, 1.7, 1.3), 0.12, (0.45, 0.5, 0.6)),
    "office": ((4.6, 3.7, 2.8), 0.35, (0.3, 0.4, 0.3)),
    "living": ((5.3, 4.2, 2.6), 0.5, (0.6, 0.35, 0.35)),
    "meeting": ((7.8, 5.4, 3.1), 0.65, (0.5, 0.5, 0.27)),
    "hall": ((11.0, 8.5, 4.2), 0.95, (0.4, 0.6, 0.3)),
}

# Default set: (name, category, settings). Settings not given take DEFAULTS.
DEFAULTS = {"room": "office", "delay_ms": 60, "ser_db": 0.0, "snr_db": 40.0, "noise": "fan",
            "nonlinearity": "none", "structure": "double", "path_change": False}
DEFAULT_SET = (
    ("fst_d0", "far_single", {"structure": "far", "delay_ms": 0, "room": "cabin"}),
    ("fst_d100", "far_single", {"structure": "far", "delay_ms": 100, "room": "office"}),
    ("fst_d250", "far_single", {"structure": "far", "delay_ms": 250, "room": "living"}),
    ("fst_d400", "far_single", {"structure": "far", "delay_ms": 400, "room": "meeting"}),
    ("nst_quiet", "near_single", {"structure": "near", "room": "living"}),
    ("nst_noisy", "near_single", {"structure": "near", "room": "meeting", "snr_db": 15.0,
                                  "noise": "babble"}),
    ("dt_ser-10", "double_talk", {"ser_db": -10.0, "room": "office"}),
    ("dt_ser-5", "double_talk", {"ser_db": -5.0, "room": "living", "delay_ms": 150}),
    ("dt_ser0", "double_talk", {"ser_db": 0.0, "room": "hall", "delay_ms": 30}),
    ("dt_ser+5", "double_talk", {"ser_db": 5.0, "room": "cabin", "delay_ms": 200}),
    ("dt_ser+10", "double_talk", {"ser_db": 10.0, "room": "meeting"}),
    ("path_change", "path_change", {"structure": "far", "path_change": True, "room": "living"}),
    ("nl_soft", "nonlinear", {"nonlinearity": "soft", "room": "office", "ser_db": -5.0}),
    ("nl_hard", "nonlinear", {"nonlinearity": "hard", "room": "cabin", "ser_db": -5.0}),
    ("noise_snr10", "noise", {"snr_db": 10.0, "noise": "fan", "room": "living"}),
    ("noise_snr20", "noise", {"snr_db": 20.0, "noise": "keyboard", "room": "meeting"}),
    ("noise_snr30", "noise", {"snr_db": 30.0, "noise": "babble", "room": "office"}),
)

# A few scenes of different kinds, for CI: the instrument must keep running.
SMOKE_SET = tuple(e for e in DEFAULT_SET if e[0] in ("fst_d100", "dt_ser0", "path_change"))


def full_set():
    """The default set at three seeds each plus sweeps of delay, SER, SNR and clipping."""
    scenes = [("%s_s%d" % (n, k), c, s) for k in range(3) for n, c, s in DEFAULT_SET]
    rooms = list(ROOMS)
    for i, d in enumerate(range(0, 401, 50)):
        scenes.append(("sweep_delay%d" % d, "far_single",
                       {"structure": "far", "delay_ms": d, "room": rooms[i % 5]}))
    for i, ser in enumerate(np.arange(-10.0, 10.01, 2.5)):
        scenes.append(("sweep_ser%+.1f" % ser, "double_talk", {"ser_db": float(ser), "room": rooms[i % 5]}))
    for i, snr in enumerate((0.0, 5.0, 10.0, 15.0, 20.0, 30.0)):
        scenes.append(("sweep_snr%d" % snr, "noise", {"snr_db": snr, "noise": ("fan", "keyboard", "babble")[i % 3],
                                                     "room": rooms[i % 5]}))
    for nl in ("soft", "hard"):
        for i, ser in enumerate((-10.0, 0.0, 10.0)):
            scenes.append(("sweep_%s_ser%+d" % (nl, ser), "nonlinear",
                           {"nonlinearity": nl, "ser_db": ser, "room": rooms[(i + 2) % 5]}))
    return tuple(scenes)


def eval_voice(rng):
    if rng.random() < 0.8:
        return {"engine": "espeak", "lang": str(rng.choice(EVAL_ESPEAK_LANGS)),
                "variant": str(rng.choice(EVAL_ESPEAK_VARIANTS)),
                "pitch": int(rng.integers(25, 75)), "rate": int(rng.integers(140, 190)), "warp": 1.0}
    return {"engine": "flite", "voice": str(rng.choice(EVAL_FLITE_VOICES)),
            "stretch": float(rng.uniform(0.9, 1.15)), "warp": 1.0}


def talker(rng, samples, start_s, pause_range=(0.15, 0.6)):
    """Sentences of one evaluation voice from start_s on, cut to samples."""
    voice = eval_voice(rng)
    out = np.zeros(samples)
    pos = int(start_s * FS)
    while pos < samples:
        u = speech.synthesize(voice, str(rng.choice(EVAL_SENTENCES))) * rng.uniform(0.6, 1.0)
        u = u[:samples - pos]
        out[pos:pos + u.size] = u
        pos += u.size + int(rng.uniform(*pause_range) * FS)
    return out, voice


def fan_noise(rng, n):
    """Broadband noise through two resonances plus a blade tone with harmonics."""
    x = rng.standard_normal(n)
    for f0, r in ((rng.uniform(180, 300), 0.97), (rng.uniform(900, 1400), 0.9)):
        w = 2 * np.pi * f0 / FS
        x = x + 0.5 * lfilter([1 - r], [1, -2 * r * np.cos(w), r * r], rng.standard_normal(n))
    t = np.arange(n) / FS
    blade = rng.uniform(90, 140)
    x = x + sum(0.4 / k * np.sin(2 * np.pi * blade * k * t) for k in range(1, 5))
    return x / np.std(x)


def keyboard_noise(rng, n):
    """Key clicks: short decaying noise bursts at 4 to 9 per second."""
    x = 0.02 * rng.standard_normal(n)
    pos = 0
    while True:
        pos += int(rng.uniform(0.11, 0.25) * FS)
        if pos >= n:
            break
        burst = rng.standard_normal(200) * np.exp(-np.arange(200) / rng.uniform(15, 40))
        x[pos:pos + 200] += (burst * rng.uniform(0.5, 1.0))[:n - pos]
    return x / np.std(x)


def babble_noise(rng, n, dims, mic):
    x = np.zeros(n)
    for _ in range(4):
        track, _ = talker(rng, n, rng.uniform(0.0, 0.4), (0.05, 0.3))
        h = room.rir(dims, room.point_near(rng, dims, mic, 2.0, 4.0), mic, 0.6, rng=rng)
        x += fftconvolve(track, h)[:n]
    return x / (np.std(x) + 1e-12)


def background(kind, rng, n, dims, mic):
    if kind == "fan":
        return fan_noise(rng, n)
    if kind == "keyboard":
        return keyboard_noise(rng, n)
    return babble_noise(rng, n, dims, mic)


def loudspeaker(x, kind):
    if kind == "soft":
        return soft_clip(x, 3.0)
    if kind == "hard":
        return hard_clip(x, 0.45)
    return x


def echo_path(rng, driven, dims, rt60, mic, n, change):
    spk = room.point_near(rng, dims, mic, 0.1, 0.6)
    echo = fftconvolve(driven, room.rir(dims, spk, mic, rt60, rng=rng))[:n]
    if not change:
        return echo
    spk2 = room.point_near(rng, dims, mic, 0.3, 1.0)
    echo2 = fftconvolve(driven, room.rir(dims, spk2, mic, rt60, rng=rng))[:n]
    fade = np.clip((np.arange(n) - PATH_CHANGE_S * FS) / (0.02 * FS), 0.0, 1.0)
    return echo * (1 - fade) + echo2 * fade


def make_scene(index, name, category, overrides):
    """mic, ref, near (clean near end at the mic), echo (at the mic) and info."""
    s = dict(DEFAULTS, **overrides)
    seed = EVAL_SEED_BASE + index
    rng = np.random.default_rng(seed)
    n = int(SECONDS * FS)
    dims, rt60, frac = ROOMS[s["room"]]
    dims = np.array(dims)
    mic_pos = dims * np.array(frac)
    far, far_voice = talker(rng, n, 0.2) if s["structure"] != "near" else (np.zeros(n), None)
    near_dry, near_voice = (talker(rng, n, NEAR_START_S if s["structure"] == "double" else 0.3)
                            if s["structure"] != "far" else (np.zeros(n), None))
    delay = int(s["delay_ms"] * FS / 1000)
    driven = np.concatenate((np.zeros(delay), loudspeaker(far, s["nonlinearity"])))[:n]
    echo = echo_path(rng, driven, dims, rt60, mic_pos, n, s["path_change"])
    near = fftconvolve(near_dry, room.rir(dims, room.point_near(rng, dims, mic_pos, 0.5, 1.5), mic_pos,
                                          rt60, rng=rng))[:n]
    pe, pn = active_power(echo), active_power(near)
    if pe > 0 and pn > 0:
        near *= np.sqrt(pe / pn * 10 ** (s["ser_db"] / 10))
    bg = background(s["noise"], rng, n, dims, mic_pos)
    bg *= np.sqrt(active_power(echo + near) * 10 ** (-s["snr_db"] / 10))
    gain = 10 ** (-24 / 20) / np.sqrt(active_power(echo + near + bg))
    gain = min(gain, 0.95 / np.max(np.abs(echo + near + bg)))
    ref = np.clip(far * 10 ** (-20 / 20) / np.sqrt(active_power(far) + 1e-20), -1, 1) if far.any() else far
    info = {"name": name, "category": category, "seed": seed, "rt60": rt60, "room_dims": dims.tolist(),
            "far_voice": far_voice, "near_voice": near_voice, **s,
            "path_change_s": PATH_CHANGE_S if s["path_change"] else None,
            "near_start_s": NEAR_START_S if s["structure"] == "double" else None}
    return {"mic": (echo + near + bg) * gain, "ref": ref, "near": near * gain, "echo": echo * gain,
            "info": info}
