import numpy as np
import pytest
from scipy.signal import lfilter

from eval import metrics

FS = metrics.FS


def modulated_noise(seconds, seed):
    """Speech-like test signal: noise whose envelope swings at 3 to 7 Hz, with pauses."""
    rng = np.random.default_rng(seed)
    n = int(seconds * FS)
    t = np.arange(n) / FS
    env = np.maximum(np.sin(2 * np.pi * 4.0 * t) * np.sin(2 * np.pi * 0.7 * t + rng.uniform(0, 6)), 0)
    env *= 1 + 0.5 * np.sin(2 * np.pi * 6.5 * t)
    return rng.standard_normal(n) * env


def test_erle_overall_and_segmental_by_hand():
    f = metrics.FRAME
    mic = np.ones(4 * f)
    # frame powers of out: 1/10, 1/100, 1 (unmasked), 1/1000 -> ratios 10, 20, -, 30 dB
    out = np.concatenate([np.full(f, np.sqrt(g)) for g in (0.1, 0.01, 1.0, 0.001)])
    mask = np.array([True, True, False, True])
    overall, segmental = metrics.erle(mic, out, mask)
    assert overall == pytest.approx(10 * np.log10(3 / 0.111), abs=1e-9)
    assert segmental == pytest.approx(20.0, abs=1e-9)
    assert np.isnan(metrics.erle(mic, out, np.zeros(4, bool))[0])


def test_si_sdr_by_hand():
    n = 1000
    s = np.where(np.arange(n) % 2 == 0, 1.0, -1.0)           # zero mean, power 1
    e = np.where(np.arange(n) % 4 < 2, 1.0, -1.0) * 0.5       # orthogonal to s, power 0.25
    assert np.dot(s, e) == pytest.approx(0.0)
    # scale does not matter: target 3 s (power 9), distortion power 0.25
    assert metrics.si_sdr(3 * s + e, s) == pytest.approx(10 * np.log10(9 / 0.25), abs=1e-9)
    assert metrics.si_sdr(s + 5.0, s) > 150                    # an offset is removed


def test_sdr_allows_short_linear_distortion_and_charges_the_rest():
    rng = np.random.default_rng(4)
    r = metrics.highpass(rng.standard_normal(4 * FS))
    delayed = np.concatenate((np.zeros(37), r))[:r.size]
    eq = lfilter([0.8, -0.3, 0.1], [1.0], delayed)
    notch = lfilter([1.0, -1.0], [1.0, -0.98], r)                 # a canceller's DC notch
    for x in (delayed, eq, notch):
        assert metrics.sdr(x, r) > 50
    assert metrics.si_sdr(delayed, r) < 0 and metrics.si_sdr(eq, r) < 0
    # white noise 20 dB below the (equalised) signal
    noise = rng.standard_normal(r.size)
    noisy = eq + noise * np.std(eq) / np.std(noise) * 0.1
    assert metrics.sdr(noisy, r) == pytest.approx(20.0, abs=0.1)
    # a tenth of the signal zeroed: the best fit keeps 0.9 of it everywhere, so
    # the error is 0.1^2 * 0.9 + 0.9^2 * 0.1 = 0.09 of its power against 0.81
    gap = r.copy()
    gap[r.size // 2:r.size // 2 + r.size // 10] = 0
    assert metrics.sdr(gap, r) == pytest.approx(10 * np.log10(9.0), abs=0.2)
    # a delay past the filter's reach is distortion
    assert metrics.sdr(np.concatenate((np.zeros(300), r))[:r.size], r) < 1
    # with a mask, only the masked frames count
    frames = r.size // metrics.FRAME
    mask = np.arange(frames) < frames // 2
    half_noisy = delayed + np.where(np.arange(r.size) >= r.size // 2, noise, 0.0)
    assert metrics.sdr(half_noisy, r, mask) > 25 and metrics.sdr(half_noisy, r, ~mask) < 3


def test_sdr_projection_matches_plain_least_squares():
    rng = np.random.default_rng(5)
    n, taps = 3000, metrics.DISTORTION_TAPS
    r = rng.standard_normal(n)
    est = lfilter([0.5, 0.2], [1.0, -0.7], r) + 0.3 * rng.standard_normal(n)
    lagged = np.stack([np.concatenate((np.zeros(k), r[:n - k])) for k in range(taps)], axis=1)
    h, *_ = np.linalg.lstsq(lagged, est, rcond=None)
    target = lagged @ h
    expected = 10 * np.log10(np.sum(target ** 2) / np.sum((est - target) ** 2))
    assert metrics.sdr(est, r) == pytest.approx(expected, abs=1e-6)
    proj, fir = metrics.distortion_projection(est, r)
    np.testing.assert_allclose(fir, h, atol=1e-8)
    np.testing.assert_allclose(proj, target, atol=1e-8)


def test_level_change():
    f = metrics.FRAME
    before = np.ones(4 * f)
    after = np.concatenate((np.full(2 * f, 0.5), np.full(2 * f, 9.0)))
    mask = np.array([True, True, False, False])
    assert metrics.level_change_db(before, after, mask) == pytest.approx(-6.02, abs=0.01)


def test_labels_and_residual_echo():
    f = metrics.FRAME
    echo = np.concatenate([np.ones(2 * f), np.zeros(f), np.ones(f)])
    near = np.concatenate([np.zeros(f), np.ones(2 * f), -np.ones(f)])
    lab = metrics.labels(echo, near)
    assert lab["far_single"].tolist() == [True, False, False, False]
    assert lab["near_single"].tolist() == [False, False, True, False]
    assert lab["double"].tolist() == [False, True, False, True]
    # output: near-end passed at gain 0.5 plus a tenth of the echo, here
    # orthogonal to the near end, in the double-talk frames
    alt = np.where(np.arange(4 * f) % 2 == 0, 1.0, -1.0)
    near2 = np.abs(alt) * np.where(np.arange(4 * f) % 4 < 2, 1.0, -1.0)
    out = 0.5 * near2 + 0.1 * alt
    level = metrics.residual_echo_db(out, near2, alt, lab["double"])
    assert level == pytest.approx(-20.0, abs=1e-9)


def test_convergence_time():
    f, seconds = metrics.FRAME, 6.0
    n = int(seconds * FS)
    mic = np.ones(n)
    t = np.arange(n) / FS
    # 30 dB before a change at 2 s, 0 dB right after, back to 30 dB from 3.5 s
    gain = np.where((t >= 2.0) & (t < 3.5), 1.0, 10 ** (-30 / 20))
    mask = np.ones(n // f, bool)
    # target 27 dB: a 25-frame window may hold at most 2 frames at 0 dB, so the
    # first such window starts at the frame centred 3.47 s
    assert metrics.convergence_time(mic, gain, mask, 2.0) == pytest.approx(1.47, abs=1e-9)
    never = np.where(t >= 2.0, 1.0, 10 ** (-30 / 20))
    assert metrics.convergence_time(mic, never, mask, 2.0) == pytest.approx(4.0)
    assert np.isnan(metrics.convergence_time(mic, mic, mask, 2.0))
    # the far end pauses from 2.04 to 3 s: the first windows after the change
    # hold only its two echo frames, still at 30 dB, which is no recovery
    pause = mask.copy()
    pause[102:150] = False
    early = np.where((t >= 2.04) & (t < 3.5), 1.0, 10 ** (-30 / 20))
    assert metrics.convergence_time(mic, early, pause, 2.0) == pytest.approx(1.47, abs=1e-9)


def test_highpass_keeps_the_voice_band():
    t = np.arange(2 * FS) / FS
    def gain_db(f):
        x = np.sin(2 * np.pi * f * t)
        y = metrics.highpass(x)[FS // 2:-FS // 2]
        return 20 * np.log10(np.std(y) / np.std(x[FS // 2:-FS // 2]))
    assert gain_db(30.0) < -40                  # two passes of 4th order: 8 x 6 dB per octave
    assert gain_db(100.0) == pytest.approx(-6.02, abs=0.05)   # -3 dB each pass
    assert abs(gain_db(1000.0)) < 0.01


def test_third_octave_bands():
    m = metrics.third_octave_matrix()
    f = np.linspace(0, metrics.STOI_FS, metrics.STOI_NFFT + 1)[:m.shape[1]]
    assert m.shape == (15, 257)
    assert np.all(m.sum(axis=0) <= 1)                          # bands do not overlap
    first = f[m[0] > 0]
    assert first.min() == pytest.approx(136.7, abs=1) and first.max() == pytest.approx(156.25, abs=1)
    assert f[m[-1] > 0].max() < 4500


def test_stoi_known_cases():
    clean = modulated_noise(4.0, 1)
    noise = np.random.default_rng(2).standard_normal(clean.size)
    assert metrics.stoi(clean, clean) == pytest.approx(1.0, abs=1e-6)
    assert metrics.stoi(clean, 7.0 * clean) == pytest.approx(1.0, abs=1e-6)
    # independent noises do not correlate; noise against a modulated clean
    # signal keeps the floor the clipping step gives (the clipped envelope
    # follows the clean one in its troughs), below any noisy mixture
    other = np.random.default_rng(3).standard_normal(clean.size)
    assert abs(metrics.stoi(other, noise)) < 0.05
    floor = metrics.stoi(clean, noise)
    scale = np.sqrt(np.mean(clean ** 2))
    scores = [metrics.stoi(clean, clean + scale * 10 ** (-snr / 20) * noise) for snr in (-15, -5, 5, 15)]
    assert all(a < b for a, b in zip([floor] + scores, scores))
    assert floor < 0.45 and scores[-1] > 0.98
    with pytest.raises(ValueError):
        metrics.stoi(clean[:2000], clean[:2000])
