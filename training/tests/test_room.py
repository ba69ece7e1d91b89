"""Room simulator against hand-computed cases."""

import numpy as np
import pytest

from aecnet import room


def test_direct_path_delay_and_gain():
    dims, src, mic = np.array([6.0, 5.0, 3.0]), np.array([1.0, 1.0, 1.5]), np.array([3.0, 1.0, 1.5])
    h = room.rir(dims, src, mic, 0.3, order=0, length=400, tail=False)
    # 2 m at 343 m/s and 16 kHz: 93.294 samples, split over samples 93 and 94.
    delay = 2.0 / room.SPEED_OF_SOUND * 16000
    gain = 1.0 / (4 * np.pi * 2.0)
    frac = delay - 93
    assert h[93] == pytest.approx(gain * (1 - frac), rel=1e-9)
    assert h[94] == pytest.approx(gain * frac, rel=1e-9)
    assert np.sum(np.abs(h)) == pytest.approx(gain, rel=1e-9)


def test_first_order_images():
    dims, src = np.array([4.0, 5.0, 3.0]), np.array([1.0, 2.0, 1.0])
    pos, count = room.image_sources(dims, src, 1)
    assert len(pos) == 7 and sorted(count) == [0, 1, 1, 1, 1, 1, 1]
    expected = {(1, 2, 1), (-1, 2, 1), (7, 2, 1), (1, -2, 1), (1, 8, 1), (1, 2, -1), (1, 2, 5)}
    assert {tuple(np.round(p).astype(int)) for p in pos} == expected


def test_reflection_coefficient_follows_eyring():
    dims = (5.0, 4.0, 3.0)
    beta = room.reflection_coefficient(dims, 0.5)
    alpha = 1 - beta ** 2
    assert -0.161 * 60.0 / (94.0 * np.log(1 - alpha)) == pytest.approx(0.5, rel=1e-9)


@pytest.mark.parametrize("rt60", [0.2, 0.4, 0.8])
def test_schroeder_rt60_of_generated_response(rt60):
    h = room.rir(np.array([6.0, 4.5, 3.0]), [1.2, 1.0, 1.4], [4.1, 3.2, 1.1], rt60,
                 rng=np.random.default_rng(3))
    assert room.schroeder_rt60(h) == pytest.approx(rt60, rel=0.15)


def test_schroeder_of_exact_exponential():
    fs, rt60 = 16000, 0.6
    n = np.arange(int(fs * rt60))
    h = np.exp(-np.log(1e3) * n / (rt60 * fs))
    assert room.schroeder_rt60(h, fs, fit=(-5.0, -25.0)) == pytest.approx(rt60, rel=0.02)


def _room_class(dims, rt60):
    for name, (_, sizes, rt60_range) in room.ROOM_CLASSES.items():
        if all(lo <= d <= hi for d, (lo, hi) in zip(dims, sizes)) and rt60_range[0] <= rt60 <= rt60_range[1]:
            return name
    return None


def test_random_rooms_cover_every_class_and_positions_stay_inside():
    rng = np.random.default_rng(5)
    seen = []
    for _ in range(300):
        dims, rt60, mic = room.random_room(rng)
        seen.append(_room_class(dims, rt60))
        p = room.point_near(rng, dims, mic, 0.3, 2.5)
        assert np.all(mic >= 0.5) and np.all(mic <= dims - 0.5)
        assert np.all(p > 0.19) and np.all(p < dims - 0.19)
    assert None not in seen
    for name, (share, _, _) in room.ROOM_CLASSES.items():
        assert abs(seen.count(name) / len(seen) - share) < 0.08, name
