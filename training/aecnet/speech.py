"""Synthetic speech from the TTS engines Debian ships, at 16 kHz.

Voices are fixed lists so other users (the evaluation) can pick disjoint
ones: TRAIN_* are used for training and validation scenes; every espeak-ng
variant, accent and flite voice not listed in TRAIN_* is left for evaluation
(for example the variants m6 m7 m8 f5 edward2 iven2 steph2 klatt4 quincy
shelby zac, the accents en-gb-x-rp, en-gb-x-gbclan, en-gb-x-gbcwmd, the
languages in EVAL_HELD_LANGS, the flite voices slt and kal16 and the festival
voices in EVAL_HELD_FESTIVAL).

Other languages read the English sentences with their own letter-to-sound
rules and prosody: the words stop being English, which is the point, since
a listener's voice and language vary far more than a handful of English
voices do.
"""

import os
import subprocess
import tempfile
from math import gcd

import numpy as np
import soundfile as sf
from scipy.signal import resample_poly

FS = 16000

TRAIN_ESPEAK_LANGS = ("en-us", "en-gb", "en-gb-scotland", "en-029")
TRAIN_ESPEAK_VARIANTS = (
    "m1", "m2", "m3", "m4", "m5", "f1", "f2", "f3", "f4", "adam", "anika", "aunty",
    "belinda", "benjamin", "boris", "caleb", "david", "ed", "edward", "grandma",
    "grandpa", "iven", "john", "linda", "max", "michel", "norbert", "paul", "rob",
    "robert", "steph", "travis", "victor", "klatt", "klatt2", "klatt3", "Alex",
    "Andy", "Annie", "Gene", "Hugo", "Jacky", "Lee", "Mike", "Nguyen")
TRAIN_FLITE_VOICES = ("kal", "awb", "rms")
TRAIN_ESPEAK_OTHER_LANGS = (
    "de", "fr-fr", "es", "it", "pt", "pl", "cs", "sv", "da", "fi", "hu", "ro", "tr", "id",
    "sw", "ca", "hr", "sk", "af", "cy", "eu", "et", "lv", "lt")
# festival voices (Debian festvox-* packages), each with its language's rules
TRAIN_FESTIVAL_VOICES = (
    "kal_diphone", "lp_diphone", "pc_diphone", "upc_ca_ona_hts", "czech_dita",
    "czech_machac", "suo_fi_lj_diphone", "msu_ru_nsh_clunits")
EVAL_HELD_LANGS = ("nl", "es-419", "pt-br", "fr-be", "nb", "sl")
EVAL_HELD_FESTIVAL = ("ked_diphone", "cmu_us_slt_arctic_hts", "czech_krb", "hy_fi_mv_diphone")

NOUNS = ("house table window garden river city morning letter station doctor teacher "
         "market office kitchen bridge mountain forest village summer winter music "
         "picture number question answer problem meeting report project system "
         "engine bottle paper coffee water evening minute family friend country "
         "weather street corner account budget ticket airport hotel camera signal "
         "message computer battery basket island harbour castle student").split()
VERBS = ("opens closes finds brings keeps carries sends moves watches takes makes "
         "starts stops needs wants follows reads writes builds changes checks "
         "shows leaves meets calls helps pushes pulls turns holds drops").split()
ADJECTIVES = ("small large quiet loud early late bright dark warm cold heavy light "
              "quick slow happy busy empty full green yellow old new simple strange "
              "careful gentle rough smooth").split()
ADVERBS = ("today tomorrow again quickly slowly later often never soon already "
           "together carefully").split()
FUNCTION = ("the a this that every our your their some").split()
PREPS = ("near under behind above beside across through without after before").split()
NAMES = ("anna peter maria john susan david laura michael emma thomas sarah paul").split()
NUMBERS = ("one two three four five six seven eight nine ten twenty fifty hundred").split()


def sentence(rng):
    """A random sentence of about 5 to 16 words built from the word lists."""
    def np_phrase():
        words = [rng.choice(FUNCTION)]
        if rng.random() < 0.6:
            words.append(rng.choice(ADJECTIVES))
        words.append(rng.choice(NOUNS))
        return words
    subject = [rng.choice(NAMES)] if rng.random() < 0.3 else np_phrase()
    words = subject + [rng.choice(VERBS)] + np_phrase()
    for _ in range(rng.integers(0, 3)):
        pick = rng.random()
        if pick < 0.4:
            words += [rng.choice(PREPS)] + np_phrase()
        elif pick < 0.7:
            words += [rng.choice(ADVERBS)]
        else:
            words += ["and", rng.choice(NUMBERS), rng.choice(NOUNS) + "s"]
    return " ".join(str(w) for w in words)


def training_voice(rng, widened=False):
    """A voice description: engine, voice name and prosody settings. widened
    draws half the voices from the other languages and festival as well."""
    pick = rng.random() if widened else 1.0
    if pick < 0.5:
        if pick < 0.25:
            return espeak_voice(rng, TRAIN_ESPEAK_OTHER_LANGS, TRAIN_ESPEAK_VARIANTS)
        return engine_voice(rng, "festival", TRAIN_FESTIVAL_VOICES)
    if rng.random() < 0.75:
        return espeak_voice(rng, TRAIN_ESPEAK_LANGS, TRAIN_ESPEAK_VARIANTS)
    return engine_voice(rng, "flite", TRAIN_FLITE_VOICES)


def _warp(rng, warp_range):
    return float(rng.uniform(*warp_range)) if warp_range else 1.0


def espeak_voice(rng, langs, variants, pitch_range=(20, 80), rate_range=(130, 210), warp_range=(0.92, 1.08)):
    """An espeak-ng voice drawn from langs and variants; warp_range None keeps the voice unwarped."""
    return {"engine": "espeak", "lang": str(rng.choice(langs)), "variant": str(rng.choice(variants)),
            "pitch": int(rng.integers(*pitch_range)), "rate": int(rng.integers(*rate_range)),
            "warp": _warp(rng, warp_range)}


def engine_voice(rng, engine, voices, stretch_range=(0.85, 1.25), warp_range=(0.92, 1.08)):
    """A festival or flite voice drawn from voices; warp_range None keeps the voice unwarped."""
    return {"engine": engine, "voice": str(rng.choice(voices)), "stretch": float(rng.uniform(*stretch_range)),
            "warp": _warp(rng, warp_range)}


def _run_tts(voice, text, path):
    if voice["engine"] == "espeak":
        cmd = ["espeak-ng", "-v", "%s+%s" % (voice["lang"], voice["variant"]),
               "-p", str(voice["pitch"]), "-s", str(voice["rate"]), "-w", path, text]
    elif voice["engine"] == "festival":
        text_path = path + ".txt"
        with open(text_path, "w") as f:
            f.write(text)
        setup = "(begin (voice_%s) (Parameter.set 'Duration_Stretch %.3f))" % (voice["voice"], voice["stretch"])
        cmd = ["text2wave", "-eval", setup, "-o", path, text_path]
    else:
        cmd = ["flite", "-voice", voice["voice"], "--setf",
               "duration_stretch=%.3f" % voice["stretch"], "-t", text, "-o", path]
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def synthesize(voice, text):
    """float64 samples at 16 kHz, peak 1. warp resamples the voice, moving
    pitch and formants together by that factor."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "u.wav")
        _run_tts(voice, text, path)
        x, rate = sf.read(path, dtype="float64", always_2d=True)
    x = x[:, 0]
    target = int(round(FS * voice.get("warp", 1.0)))
    g = gcd(target, rate)
    x = resample_poly(x, target // g, rate // g)
    return x / (np.max(np.abs(x)) + 1e-9)


def talker_track(rng, voice, samples, start_range=(0.0, 1.5), pause_range=(0.2, 2.5), text=sentence,
                 level_range=(0.5, 1.0), start_s=None):
    """Utterances of one voice separated by pauses, cut to samples: each
    text(rng) at a peak drawn from level_range. start_s fixes where the first
    begins instead of drawing it from start_range."""
    out = np.zeros(samples)
    pos = int((rng.uniform(*start_range) if start_s is None else start_s) * FS)
    while pos < samples:
        u = synthesize(voice, text(rng)) * rng.uniform(*level_range)
        u = u[:samples - pos]
        out[pos:pos + u.size] = u
        pos += u.size + int(rng.uniform(*pause_range) * FS)
    return out
