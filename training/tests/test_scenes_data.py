"""Loudspeaker non-linearities, noise, the feature-file reader and the compact store."""

import numpy as np
import pytest

from aecnet import dataset, scenes


def test_nonlinearities():
    x = np.linspace(-1.0, 1.0, 201)
    soft = scenes.soft_clip(x, 2.0)
    assert soft[-1] == pytest.approx(1.0) and soft[100] == 0.0
    assert soft[150] == pytest.approx(np.tanh(1.0) / np.tanh(2.0))
    hard = scenes.hard_clip(x, 0.5)
    assert np.all(np.abs(hard) <= 1.0) and hard[125] == pytest.approx(0.5) and hard[-1] == 1.0
    poly = scenes.asym_poly(x, 0.3, -0.2)
    raw = x + 0.3 * x ** 2 - 0.2 * x ** 3 - 0.3 * np.mean(x ** 2)
    np.testing.assert_allclose(poly, raw / np.max(np.abs(raw)))
    assert poly[-1] != pytest.approx(-poly[0])          # asymmetric
    rng = np.random.default_rng(1)
    for kind in scenes.NONLINEARITIES:
        y, _ = scenes.loudspeaker(x, kind, rng)
        assert np.all(np.abs(y) <= 1.0 + 1e-12) and np.all(np.diff(y) >= -1e-12)
    # The milder share: parameters stay within the scaled ranges around a clean speaker.
    s = scenes.MILD["nl_strength"]
    for _ in range(50):
        assert 1.0 <= scenes.loudspeaker(x, "soft", rng, s)[1]["drive"] <= 1.0 + 3.0 * s
        assert 1.0 - 0.7 * s <= scenes.loudspeaker(x, "hard", rng, s)[1]["level"] <= 1.0 - 0.1 * s
        p = scenes.loudspeaker(x, "poly", rng, s)[1]
        assert abs(p["a2"]) <= 0.4 * s and -0.4 * s <= p["a3"] <= 0.1 * s


def test_noise_and_activity():
    rng = np.random.default_rng(2)
    pink = scenes.coloured_noise(rng, 32000, 1.0)
    spec = np.abs(np.fft.rfft(pink)) ** 2
    f = np.fft.rfftfreq(32000, 1 / 16000)
    low, high = spec[(f > 100) & (f < 200)].mean(), spec[(f > 1600) & (f < 3200)].mean()
    # 1/f power: the 1600-3200 Hz band is 16 times the frequency of 100-200 Hz, 12 dB down.
    assert 10 * np.log10(low / high) == pytest.approx(10 * np.log10(16.0), abs=1.5)
    assert np.std(scenes.hum(rng, 16000)) == pytest.approx(1.0)
    x = np.zeros(16000)
    x[4000:8000] = np.sin(np.arange(4000) * 0.1)
    active = scenes.frame_activity(x)
    assert not active[:24].any() and active[26:49].all() and not active[51:].any()


def level_db(x):
    return 10 * np.log10(np.mean(x ** 2) + 1e-30)


def test_far_end_is_never_silent_and_near_only_scenes_carry_no_echo_flags():
    seeds = range(4_100_000, 4_100_040)
    kinds = {}
    for seed in seeds:  # pick one scene of each kind by its first draws, without synthesising all
        kinds.setdefault(scenes.scene_kind(_after_room(seed)), seed)
    near = scenes.make_scene(kinds["near_only"], seconds=2.0)
    assert near["info"]["far"] == "none" and not near["flags"][:, 0].any()
    floor = level_db(near["ref"])
    if near["info"]["far_floor_dbfs"] > -200:
        assert scenes.FAR_FLOOR_DBFS[0] - 1 <= floor <= scenes.FAINT_FAR_DBFS[1] + 1
        # its echo lands COUPLING_DB above the floor, far under the talker
        echo = near["mic"] - near["near"]
        assert level_db(echo) < level_db(near["near"]) - 10
    mixed = scenes.make_scene(kinds["mixed"], seconds=2.0)
    ref = mixed["ref"]
    quietest = min(level_db(ref[i:i + 160]) for i in range(0, ref.size - 160, 160))
    if mixed["info"]["far_floor_dbfs"] > -200:
        assert quietest > scenes.FAR_FLOOR_DBFS[0] - 6  # pauses hold the floor, not zeros


def _after_room(seed):
    rng = np.random.default_rng(seed)
    scenes.room.random_room(rng)
    return rng


def test_music_is_tonal_and_peaks_at_one():
    rng = np.random.default_rng(5)
    x = scenes.music(rng, 32000)
    assert np.max(np.abs(x)) == pytest.approx(1.0)
    spec = np.abs(np.fft.rfft(x)) ** 2
    top = np.sort(spec)[::-1]
    # harmonic notes: 2.5 % of the bins hold a third of the energy (white noise: under a tenth)
    assert top[:400].sum() > 0.33 * spec.sum()


def fake_features(rng, frames):
    """Buffers built as the exporter does: rows t-5..t of E and D, t-2..t of X and Y,
    raw log powers less level L_t."""
    raw = rng.normal(-3.0, 1.5, (frames + 5, 4, 513))
    level = np.cumsum(rng.normal(0.0, 0.05, frames)) - 4.0
    feats = np.stack([np.concatenate([raw[t:t + 6, 0], raw[t:t + 6, 1], raw[t + 3:t + 6, 2],
                                      raw[t + 3:t + 6, 3]]) - level[t] for t in range(frames)])
    return feats.astype(np.float32)


def test_feature_file_round_trip(tmp_path):
    rng = np.random.default_rng(3)
    frames = 30
    feats = fake_features(rng, frames)
    e = (rng.normal(size=(frames, 513)) + 1j * rng.normal(size=(frames, 513))).astype(np.complex64)
    target = (0.5 * e).astype(np.complex64)
    path = str(tmp_path / "x.feat")
    dataset.write_feat(path, feats, e, target)
    back = dataset.read_feat(path)
    np.testing.assert_array_equal(back["features"], feats)
    np.testing.assert_array_equal(back["e"], e)
    assert back["has_target"] and back["hop"] == 160
    scene = dataset.compact(back)
    np.testing.assert_allclose(dataset.expand(scene, 0, frames), feats, atol=8e-3)
    np.testing.assert_allclose(dataset.expand(scene, 7, 11), feats[7:18], atol=8e-3)
    scale = np.sqrt(np.mean(np.abs(e) ** 2))
    np.testing.assert_allclose(dataset.unpack(scene["target"]), target / scale, atol=2e-3)
    with open(path, "r+b") as f:
        f.truncate(1000)
    with pytest.raises(ValueError, match="truncated"):
        dataset.read_feat(path)
    with open(path, "wb") as f:
        f.write(b"NOTAFEAT" + bytes(32))
    with pytest.raises(ValueError, match="not a feature file"):
        dataset.read_feat(path)
