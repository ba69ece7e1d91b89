import numpy as np
import pytest

from eval import metrics, scenes
from aecnet import scenes as train_scenes
from aecnet import speech


def test_held_out_from_training():
    assert not set(scenes.EVAL_ESPEAK_VARIANTS) & set(speech.TRAIN_ESPEAK_VARIANTS)
    assert not set(scenes.EVAL_ESPEAK_LANGS) & set(speech.TRAIN_ESPEAK_LANGS)
    assert not set(scenes.EVAL_FLITE_VOICES) & set(speech.TRAIN_FLITE_VOICES)
    assert scenes.EVAL_SEED_BASE > train_scenes.VALID_SEED_BASE + 1_000_000
    words = set(speech.NOUNS + speech.VERBS + speech.ADJECTIVES)
    for s in scenes.EVAL_SENTENCES:
        assert len(set(s.lower().strip(".").replace(",", "").split()) - words) >= 3
    names = [e[0] for e in scenes.full_set()]
    assert len(names) == len(set(names)) and len(scenes.DEFAULT_SET) <= 40
    rng = np.random.default_rng(0)
    voices = [scenes.eval_voice(rng) for _ in range(400)]
    festival = {v["voice"] for v in voices if v["engine"] == "festival"}
    langs = {v["lang"] for v in voices if v["engine"] == "espeak"}
    assert festival == set(speech.EVAL_HELD_FESTIVAL) and not festival & set(speech.TRAIN_FESTIVAL_VOICES)
    assert set(speech.EVAL_HELD_LANGS) < langs
    assert not langs & set(speech.TRAIN_ESPEAK_LANGS + speech.TRAIN_ESPEAK_OTHER_LANGS)


def test_double_talk_scene_structure():
    s = scenes.make_scene(3, "t", "double_talk", {"ser_db": -5.0, "snr_db": 40.0, "delay_ms": 200})
    n = int(scenes.SECONDS * scenes.FS)
    assert all(s[k].size == n for k in ("mic", "ref", "near", "echo"))
    assert s["info"]["far_voice"]["engine"] in ("espeak", "flite")
    start = int(scenes.NEAR_START_S * scenes.FS)
    assert np.abs(s["near"][:start - 200]).max() < 1e-12 and s["near"][start:].std() > 1e-3
    ser = 10 * np.log10(train_scenes.active_power(s["near"]) / train_scenes.active_power(s["echo"]))
    assert ser == pytest.approx(-5.0, abs=0.01)
    assert np.max(np.abs(s["mic"])) < 1.0
    # the echo trails the reference by the loudspeaker delay plus the direct path
    lag = np.argmax(np.correlate(s["echo"][:3 * scenes.FS], s["ref"][:3 * scenes.FS - 8000], "valid"))
    assert 200 * 16 <= lag <= 200 * 16 + 0.6 / 343 * scenes.FS + 40
    lab = metrics.labels(s["echo"], s["near"])
    t = np.arange(lab["double"].size) * metrics.FRAME / metrics.FS
    assert lab["far_single"][t < scenes.NEAR_START_S].sum() > 50
    assert lab["double"][t > scenes.NEAR_START_S].sum() > 50 and not lab["double"][t < 4.0].any()


def test_path_change_and_clipping():
    base = scenes.make_scene(5, "t", "far_single", {"structure": "far"})
    clipped = scenes.make_scene(5, "t", "nonlinear", {"structure": "far", "nonlinearity": "hard"})
    changed = scenes.make_scene(5, "t", "path_change", {"structure": "far", "path_change": True})
    assert not base["near"].any()
    at = int(scenes.PATH_CHANGE_S * scenes.FS)
    np.testing.assert_allclose(changed["echo"][:at] / changed["echo"][:at].std(),
                               base["echo"][:at] / base["echo"][:at].std(), atol=1e-9)
    assert np.abs(changed["echo"][at + 400:] / changed["echo"].std()
                  - base["echo"][at + 400:] / base["echo"].std()).max() > 0.1
    assert scenes.loudspeaker(np.array([-1.0, 0.45, 1.0]), "hard").tolist() == [-1.0, 1.0, 1.0]
    assert not np.allclose(clipped["echo"] / clipped["echo"].std(), base["echo"] / base["echo"].std())


def db(x, active=False):
    return 10 * np.log10(train_scenes.active_power(x) if active else np.mean(x ** 2))


def entry(name):
    index = [e[0] for e in scenes.DEFAULT_SET].index(name)
    return scenes.make_scene(index, *scenes.DEFAULT_SET[index])


def test_far_floor_twins_differ_only_in_the_floor():
    for name, floor_db in (("dt_ser0", -50.0), ("nst_quiet", -55.0)):
        base, twin = entry(name), entry(name + "_floor")
        assert twin["info"]["seed"] == base["info"]["seed"] and not base["info"]["far_floor"]
        for key in ("near", "talk_echo"):
            np.testing.assert_array_equal(base[key], twin[key])
        assert db(twin["ref"] - base["ref"]) == pytest.approx(floor_db, abs=0.01)
        floor_echo = twin["echo"] - twin["talk_echo"]
        assert np.abs(base["echo"] - base["talk_echo"]).max() < 1e-12 and db(floor_echo) < floor_db
    # near end alone: near at the mic level, the floor's echo at the coupling below the floor
    assert db(twin["near"], True) == pytest.approx(scenes.MIC_DBFS, abs=0.01)
    assert db(floor_echo) == pytest.approx(-55.0 + scenes.NEAR_ONLY_COUPLING_DB, abs=0.01)
    assert not twin["talk_echo"].any()


def test_weak_coupling_headset_scene():
    s = entry("wc_dt-40")
    assert db(s["talk_echo"], True) == pytest.approx(scenes.REF_DBFS - 40.0, abs=0.01)
    assert db(s["near"], True) == pytest.approx(scenes.MIC_DBFS, abs=0.01)
    assert s["info"]["ser_db"] == pytest.approx(db(s["near"], True) - db(s["talk_echo"], True), abs=0.05)
    # the leakage path is short: the echo trails the reference by the delay plus under 2 ms
    head = 3 * scenes.FS
    lag = np.argmax(np.correlate(s["talk_echo"][:head], s["ref"][:head - 8000], "valid"))
    assert 60 * 16 <= lag <= 60 * 16 + 32
