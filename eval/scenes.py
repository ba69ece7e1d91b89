"""Evaluation scenes, kept apart from everything training draws from.

Split against training (training/aecnet/speech.py and scenes.py):
- voices: espeak-ng accents en-gb-x-rp, en-gb-x-gbclan, en-gb-x-gbcwmd,
  en-us-nyc and the held-out languages (speech.EVAL_HELD_LANGS) with the
  variants m6 m7 m8 f5 edward2 iven2 steph2 klatt4 quincy shelby zac, the
  held-out festival voices (speech.EVAL_HELD_FESTIVAL) and the flite voices
  slt and kal16; training uses none of these.
- text: sentences of our own (EVAL_SENTENCES), not the training word lists.
- rooms: a fixed set of named rooms (ROOMS) with RT60 0.12 to 0.95 s,
  from a car-sized cabin to a hall; training draws its rooms at random
  from classes that span the same sizes (room.ROOM_CLASSES), so none of
  these fixed rooms is one it saw;
  impulse responses from training's image-source simulator (room.py:
  every image up to MAX_ORDER = 8 reflections plus a statistical tail);
  a headset's leakage path of our own (far_end.headset_path).
- noises: fan (resonant broadband plus blade tone), keyboard clicks and
  babble from evaluation voices; training uses coloured noise, mains hum and
  babble from training voices. Far-end floors, comfort noise, tone and music
  come from far_end.py.
- seeds: EVAL_SEED_BASE + scene index (training uses 1e6 + i, 2e6 + i and
  3e6 + i); a far floor draws from a stream of its own.

Every scene is 8 s at 16 kHz. Far-end speech plays from the start; in the
double-talk structure the near-end talker enters at NEAR_START_S, so the
first part is far-end single talk and the rest double talk. A far floor plays
under the far-end speech for the whole scene, through the loudspeaker too.
"""

import numpy as np
from aecnet import room, speech
from aecnet import scenes as training
from aecnet.scenes import active_power
from scipy.signal import fftconvolve, lfilter

from . import far_end

FS = speech.FS
SECONDS = 8.0
NEAR_START_S = 4.5
PATH_CHANGE_S = 4.0
EVAL_SEED_BASE = 9_000_000

EVAL_ESPEAK_LANGS = ("en-gb-x-rp", "en-gb-x-gbclan", "en-gb-x-gbcwmd", "en-us-nyc")
EVAL_ESPEAK_VARIANTS = ("m6", "m7", "m8", "f5", "edward2", "iven2", "steph2", "klatt4",
                        "quincy", "shelby", "zac")
EVAL_FLITE_VOICES = ("slt", "kal16")

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
# far_floor: (kind, dBFS) of what the far end carries under its speech (or
# alone, in near-end-only scenes; kinds in far_end.KINDS), None for digital
# silence. coupling_db: echo level at the mic over the reference's level; when
# None, the SER sets the echo level and near-end-only scenes take
# NEAR_ONLY_COUPLING_DB. path: "room" or "headset" (short leakage path, the
# near talker close to the mic). seed_of: draw everything but the far floor as
# that scene does, so the two differ only in the floor.
DEFAULTS = {"room": "office", "delay_ms": 60, "ser_db": 0.0, "snr_db": 40.0, "noise": "fan",
            "nonlinearity": "none", "structure": "double", "path_change": False,
            "far_floor": None, "coupling_db": None, "path": "room"}
REF_DBFS = -20.0              # active level of far-end speech in the reference
MIC_DBFS = -24.0              # active level of the microphone's speech
NEAR_ONLY_COUPLING_DB = -10.0
FLOOR_STREAM = 17             # the far floor's random stream, apart from the scene's

_SILENT_FAR_END = (
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
    ("dt_ser+15", "double_talk_high_ser", {"ser_db": 15.0, "room": "living", "delay_ms": 100}),
    ("dt_ser+20", "double_talk_high_ser", {"ser_db": 20.0, "room": "office", "delay_ms": 180}),
    ("dt_ser+25", "double_talk_high_ser", {"ser_db": 25.0, "room": "hall", "delay_ms": 30}),
)

# A lone near-end talker while the far end carries only its floor, a tone or music.
_NEAR_FLOOR = tuple(
    ("nf_%s%d" % (kind, level), "near_floor", {"structure": "near", "far_floor": (kind, float(level)), "room": room})
    for kind, level, room in (("white", -70, "living"), ("pink", -60, "office"), ("brown", -50, "meeting"),
                              ("comfort", -55, "cabin"), ("pink", -45, "hall"), ("white", -40, "office"),
                              ("tone", -50, "living"), ("music", -45, "meeting")))

_WEAK_COUPLING = (
    ("wc_fst-30", "weak_coupling", {"structure": "far", "coupling_db": -30.0, "path": "headset",
                                    "far_floor": ("pink", -60.0)}),
    ("wc_dt-30", "weak_coupling", {"coupling_db": -30.0, "path": "headset", "far_floor": ("comfort", -55.0)}),
    ("wc_dt-40", "weak_coupling", {"coupling_db": -40.0, "path": "headset", "room": "living",
                                   "far_floor": ("white", -65.0)}),
)

# Scenes above again with a far-end floor: (scene, category, floor).
_TWINS = (("fst_d100", "far_single_floor", ("pink", -60.0)), ("fst_d250", "far_single_floor", ("comfort", -50.0)),
          ("nst_quiet", "near_floor", ("brown", -55.0)), ("nst_noisy", "near_floor", ("comfort", -50.0)),
          ("dt_ser-5", "double_talk_floor", ("white", -60.0)), ("dt_ser0", "double_talk_floor", ("brown", -50.0)),
          ("dt_ser+10", "double_talk_floor", ("comfort", -55.0)), ("dt_ser+20", "double_talk_floor", ("pink", -45.0)))


def twins(entries, spec=_TWINS, suffix=""):
    """Copies of named entries (name + suffix) with a far floor, drawn from the same seed."""
    by_name = {e[0]: e for e in entries}
    out = []
    for base, category, floor in spec:
        name, _, settings = by_name[base + suffix]
        out.append(("%s_floor%s" % (base, suffix), category, dict(settings, far_floor=floor, seed_of=name)))
    return out


def resolve_seeds(entries):
    """Turns seed_of names into seed_index (the named entry's position)."""
    index = {e[0]: i for i, e in enumerate(entries)}
    out = []
    for name, category, settings in entries:
        settings = dict(settings)
        if "seed_of" in settings:
            settings["seed_index"] = index[settings.pop("seed_of")]
        out.append((name, category, settings))
    return tuple(out)


_UNRESOLVED = _SILENT_FAR_END + _NEAR_FLOOR + _WEAK_COUPLING
DEFAULT_SET = resolve_seeds(_UNRESOLVED + tuple(twins(_UNRESOLVED)))

# A few scenes of different kinds, for CI: the instrument must keep running.
SMOKE_SET = tuple(e for e in DEFAULT_SET if e[0] in ("fst_d100", "dt_ser0", "path_change", "nf_pink-60"))


def sweeps():
    """Delay, SER, SNR, clipping, far floor, high SER and coupling sweeps."""
    rooms = list(ROOMS)
    out = []
    for i, d in enumerate(range(0, 401, 50)):
        out.append(("sweep_delay%d" % d, "far_single", {"structure": "far", "delay_ms": d, "room": rooms[i % 5]}))
    for i, ser in enumerate(np.arange(-10.0, 10.01, 2.5)):
        out.append(("sweep_ser%+.1f" % ser, "double_talk", {"ser_db": float(ser), "room": rooms[i % 5]}))
    for i, snr in enumerate((0.0, 5.0, 10.0, 15.0, 20.0, 30.0)):
        out.append(("sweep_snr%d" % snr, "noise", {"snr_db": snr, "noise": ("fan", "keyboard", "babble")[i % 3],
                                                  "room": rooms[i % 5]}))
    for nl in ("soft", "hard"):
        for i, ser in enumerate((-10.0, 0.0, 10.0)):
            out.append(("sweep_%s_ser%+d" % (nl, ser), "nonlinear",
                        {"nonlinearity": nl, "ser_db": ser, "room": rooms[(i + 2) % 5]}))
    kinds = ("white", "pink", "brown", "comfort", "tone", "music")
    for i, (kind, level) in enumerate((k, lv) for k in kinds for lv in (-70, -60, -50, -40)):
        out.append(("sweep_nf_%s%d" % (kind, level), "near_floor",
                    {"structure": "near", "far_floor": (kind, float(level)), "room": rooms[i % 5],
                     "snr_db": (40.0, 30.0, 20.0)[i % 3]}))
    for i, ser in enumerate(np.arange(10.0, 25.01, 2.5)):
        out.append(("sweep_ser%+.1f_floor" % ser, "double_talk_floor",
                    {"ser_db": float(ser), "room": rooms[i % 5], "far_floor": (kinds[i % 4], -70.0 + 5 * i)}))
    for i, c in enumerate((-25.0, -30.0, -35.0, -40.0, -45.0)):
        for structure in ("far", "double"):
            out.append(("sweep_wc_%s%d" % (structure, c), "weak_coupling",
                        {"structure": structure, "coupling_db": c, "path": "headset", "room": rooms[i % 5],
                         "far_floor": (kinds[i % 4], -65.0 + 5 * i)}))
    return out


def full_set():
    """The default set at three seeds each (its floor twins with their bases) plus sweeps()."""
    scenes = []
    for k in range(3):
        copies = [("%s_s%d" % (n, k), c, s) for n, c, s in _UNRESOLVED]
        scenes += copies + twins(copies, suffix="_s%d" % k)
    return resolve_seeds(scenes + sweeps())


def eval_voice(rng):
    """A held-out voice: English accents and variants training never uses, the
    held-out languages reading our English sentences, festival and flite
    voices; narrower prosody than training's and never warped."""
    pick = rng.random()
    if pick < 0.7:
        langs = EVAL_ESPEAK_LANGS if pick < 0.5 else speech.EVAL_HELD_LANGS
        return speech.espeak_voice(rng, langs, EVAL_ESPEAK_VARIANTS, (25, 75), (140, 190), None)
    if pick < 0.9:
        return speech.engine_voice(rng, "festival", speech.EVAL_HELD_FESTIVAL, (0.9, 1.15), None)
    return speech.engine_voice(rng, "flite", EVAL_FLITE_VOICES, (0.9, 1.15), None)


def eval_sentence(rng):
    return str(rng.choice(EVAL_SENTENCES))


def talker(rng, samples, start_s, pause_range=(0.15, 0.6)):
    """Sentences of one evaluation voice from start_s on, cut to samples."""
    voice = eval_voice(rng)
    track = speech.talker_track(rng, voice, samples, pause_range=pause_range, text=eval_sentence,
                                level_range=(0.6, 1.0), start_s=start_s)
    return track, voice


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


def babble_track(rng, n):
    """One babble talker of the evaluation voices, entering within 0.4 s."""
    return talker(rng, n, rng.uniform(0.0, 0.4), (0.05, 0.3))[0]


def babble_noise(rng, n, dims, mic):
    """Four evaluation talkers 2 to 4 m away in a room of RT60 0.6 s."""
    return training.babble(rng, n, dims, mic, babble_track, talkers=4, distance_m=(2.0, 4.0), rt60=0.6)


def background(kind, rng, n, dims, mic):
    if kind == "fan":
        return fan_noise(rng, n)
    if kind == "keyboard":
        return keyboard_noise(rng, n)
    return babble_noise(rng, n, dims, mic)


# Fixed loudspeakers: each nonlinearity at one setting.
SPEAKERS = {"none": {}, "soft": {"drive": 3.0}, "hard": {"level": 0.45}}


def loudspeaker(x, kind):
    return training.loudspeaker(x, kind, None, params=SPEAKERS[kind])[0]


def echo_path(rng, signals, dims, rt60, mic, n, change, headset):
    """The loudspeaker signals (all from one place) at the mic: through a room,
    with a second path faded in at PATH_CHANGE_S when change, or a headset's."""
    if headset:
        h = far_end.headset_path(rng)
        return [fftconvolve(x, h)[:n] for x in signals]
    return training.echo_path(rng, signals, dims, rt60, mic, n, speaker_m=(0.1, 0.6), moved_m=(0.3, 1.0),
                              change=change, change_s=PATH_CHANGE_S)[0]


def far_floor(setting, seed, n):
    """The far floor in reference units (full scale 1), zeros for None."""
    if setting is None:
        return np.zeros(n)
    kind, dbfs = setting
    return far_end.signal(kind, np.random.default_rng([seed, FLOOR_STREAM]), n) * 10 ** (dbfs / 20)


def rms(x):
    return float(np.sqrt(np.mean(x ** 2)))


def mix_levels(s, talk_echo, all_echo, near, bg, floor_rms):
    """(gain of the echo, of the near end, of the background) in mic units.
    By default the SER sets the echo against the near end and the speech at
    the mic comes to MIC_DBFS. With a coupling (given, or no far-end speech)
    the echo lands coupling_db from the reference (its speech, else its floor
    of RMS floor_rms) and the near end alone comes to MIC_DBFS. The
    background sits snr_db below the speech."""
    speech_ref = 10 ** (REF_DBFS / 20)
    coupled = s["coupling_db"] is not None or not talk_echo.any()
    if coupled:
        coupling = NEAR_ONLY_COUPLING_DB if s["coupling_db"] is None else s["coupling_db"]
        level, have = ((speech_ref, np.sqrt(active_power(talk_echo))) if talk_echo.any()
                       else (floor_rms, rms(all_echo)))
        ge = level * 10 ** (coupling / 20) / have if have > 0 else 0.0
        gn = 10 ** (MIC_DBFS / 20) / np.sqrt(active_power(near)) if near.any() else 0.0
        speech = near * gn if near.any() else talk_echo * ge
    else:
        pe, pn = active_power(talk_echo), active_power(near)
        gn = np.sqrt(pe / pn * 10 ** (s["ser_db"] / 10)) if pn > 0 else 0.0
        ge, speech = 1.0, talk_echo + near * gn
    gb = np.sqrt(active_power(speech) * 10 ** (-s["snr_db"] / 10))
    gain = 1.0 if coupled else 10 ** (MIC_DBFS / 20) / np.sqrt(active_power(speech + bg * gb))
    gain = min(gain, 0.95 / np.max(np.abs(all_echo * ge + near * gn + bg * gb)))
    return ge * gain, gn * gain, gb * gain


def make_scene(index, name, category, overrides):
    """mic, ref, near (clean near end at the mic), echo (all of it at the mic),
    talk_echo (the echo of far-end speech alone, which sets the labels) and info."""
    s = dict(DEFAULTS, **overrides)
    seed = EVAL_SEED_BASE + s.get("seed_index", index)
    rng = np.random.default_rng(seed)
    n = int(SECONDS * FS)
    dims, rt60, frac = ROOMS[s["room"]]
    dims = np.array(dims)
    mic_pos = dims * np.array(frac)
    far, far_voice = talker(rng, n, 0.2) if s["structure"] != "near" else (np.zeros(n), None)
    near_dry, near_voice = (talker(rng, n, NEAR_START_S if s["structure"] == "double" else 0.3)
                            if s["structure"] != "far" else (np.zeros(n), None))
    # reference units: far-end speech at REF_DBFS; the loudspeaker sees it at
    # the talker's scale (peak about 1)
    ref_gain = 10 ** (REF_DBFS / 20) / (np.sqrt(active_power(far)) if far.any() else 0.2)
    under = far_floor(s["far_floor"], seed, n)
    delay = int(s["delay_ms"] * FS / 1000)
    driven = [np.concatenate((np.zeros(delay), loudspeaker(x, s["nonlinearity"])))[:n]
              for x in (far, far + under / ref_gain)]
    talk_echo, all_echo = echo_path(rng, driven, dims, rt60, mic_pos, n, s["path_change"], s["path"] == "headset")
    talker_span = (0.05, 0.12) if s["path"] == "headset" else (0.5, 1.5)
    near = fftconvolve(near_dry, room.rir(dims, room.point_near(rng, dims, mic_pos, *talker_span), mic_pos,
                                          rt60, rng=rng))[:n]
    bg = background(s["noise"], rng, n, dims, mic_pos)
    ge, gn, gb = mix_levels(s, talk_echo, all_echo, near, bg, rms(under))
    echo, near, bg = all_echo * ge, near * gn, bg * gb
    ref = np.clip(far * ref_gain + under, -1, 1)
    if s["structure"] == "double" and s["coupling_db"] is not None:
        s["ser_db"] = round(10 * np.log10(active_power(near) / active_power(talk_echo * ge)), 1)
    info = {"name": name, "category": category, "seed": seed, "rt60": rt60, "room_dims": dims.tolist(),
            "far_voice": far_voice, "near_voice": near_voice, **s,
            "path_change_s": PATH_CHANGE_S if s["path_change"] else None,
            "near_start_s": NEAR_START_S if s["structure"] == "double" else None}
    return {"mic": echo + near + bg, "ref": ref, "near": near, "echo": echo, "talk_echo": talk_echo * ge,
            "info": info}
