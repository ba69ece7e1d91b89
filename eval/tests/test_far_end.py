import numpy as np
import pytest
from scipy.signal import welch

from eval import far_end

FS = far_end.FS
N = 8 * FS


def band_db(x, lo, hi):
    f, p = welch(x, FS, nperseg=4096)
    return 10 * np.log10(np.mean(p[(f >= lo) & (f < hi)]))


def test_noise_colours_slope_by_octave():
    rng = np.random.default_rng(1)
    for kind, per_octave in (("white", 0.0), ("pink", -3.01), ("brown", -6.02)):
        x = far_end.signal(kind, rng, N)
        assert np.sqrt(np.mean(x ** 2)) == pytest.approx(1.0, abs=1e-6)
        slope = (band_db(x, 2000, 2400) - band_db(x, 250, 300)) / 3.0     # three octaves apart
        assert slope == pytest.approx(per_octave, abs=0.5), kind


def test_comfort_noise_is_band_limited_and_moves_in_steps():
    x = far_end.signal("comfort", np.random.default_rng(2), N)
    assert band_db(x, 4500, 8000) < band_db(x, 300, 3000) - 40
    block = int(far_end.CN_UPDATE_S * FS)
    levels = 10 * np.log10(np.mean(x[:N // block * block].reshape(-1, block) ** 2, axis=1))
    assert 1.0 < np.std(levels) < 4.0      # level and shape change, but the floor stays a floor


def test_tone_and_music():
    rng = np.random.default_rng(3)
    tone = far_end.signal("tone", rng, N)
    f, p = welch(tone, FS, nperseg=4096)
    assert 300 <= f[np.argmax(p)] <= 1200 and np.sum(p[p > p.max() * 1e-3]) > 0.99 * np.sum(p)
    music = far_end.signal("music", rng, N)
    assert np.sqrt(np.mean(music ** 2)) == pytest.approx(1.0, abs=1e-6) and np.isfinite(music).all()
    # notes start and decay: the level in 50 ms frames spans well over 10 dB
    frames = 10 * np.log10(np.mean(music.reshape(-1, 800) ** 2, axis=1))
    assert np.percentile(frames, 95) - np.percentile(frames, 5) > 10
    # a plucked string sounds at its pitch
    string = far_end.pluck(rng, 440.0, FS)
    f, p = welch(string, FS, nperseg=8192)
    assert f[np.argmax(p)] == pytest.approx(440.0, rel=0.02)


def test_headset_path():
    h = far_end.headset_path(np.random.default_rng(4))
    assert np.sum(h ** 2) == pytest.approx(1.0)
    first = np.argmax(np.abs(h) > 0)
    assert 8 <= first <= 24 and h.size < 0.015 * FS
