"""Shoebox room impulse responses: image sources plus a statistical late tail.

Early part: the image-source method for a rectangular room with one
frequency-independent reflection coefficient on all six walls, every image
up to MAX_ORDER wall reflections (the sum over the three axes), each a
fractional delay (linear interpolation between two samples) with gain
beta^reflections / (4 pi r). Late part: past the time the image set stops
being complete (the distance within which no image has more than MAX_ORDER
reflections), a
Gaussian noise tail decaying by 60 dB per RT60, scaled to continue the early
energy envelope. Absorption follows Eyring: alpha = 1 - exp(-0.161 V / (S RT60)).
Rooms for training come from ROOM_CLASSES: car-sized cabins and booths,
ordinary rooms, and halls; callers pass their own seeds.
"""

import numpy as np

SPEED_OF_SOUND = 343.0
MAX_ORDER = 8
# class: (share, length, width and height ranges in metres, RT60 range in seconds).
# Calls happen in cars and halls as well as offices; a net that only heard
# ordinary rooms distorts the near end in the very dry and the very live ones.
ROOM_CLASSES = {
    "cabin": (0.3, ((1.8, 3.2), (1.3, 2.2), (1.1, 1.6)), (0.06, 0.25)),
    "ordinary": (0.4, ((3.0, 8.0), (2.5, 6.0), (2.4, 3.5)), (0.1, 0.8)),
    "hall": (0.3, ((9.0, 16.0), (7.0, 12.0), (3.5, 6.0)), (0.6, 1.2)),
}
RT60_RANGE = (min(c[2][0] for c in ROOM_CLASSES.values()), max(c[2][1] for c in ROOM_CLASSES.values()))


def reflection_coefficient(dims, rt60):
    lx, ly, lz = dims
    volume = lx * ly * lz
    surface = 2.0 * (lx * ly + lx * lz + ly * lz)
    alpha = 1.0 - np.exp(-0.161 * volume / (surface * rt60))
    return np.sqrt(1.0 - alpha)


def image_sources(dims, source, order):
    """Positions (N, 3) and reflection counts (N,) of all images up to order."""
    dims, source = np.asarray(dims, float), np.asarray(source, float)
    m = np.arange(-order, order + 1)
    axes = []
    for a in range(3):
        mm, pp = np.meshgrid(m, (0, 1), indexing="ij")
        mm, pp = mm.ravel(), pp.ravel()
        pos = (1 - 2 * pp) * source[a] + 2 * mm * dims[a]
        axes.append((pos, np.abs(mm - pp) + np.abs(mm)))
    px, nx = axes[0]
    py, ny = axes[1]
    pz, nz = axes[2]
    count = nx[:, None, None] + ny[None, :, None] + nz[None, None, :]
    keep = count <= order
    grid = np.stack(np.broadcast_arrays(px[:, None, None], py[None, :, None],
                                        pz[None, None, :]), -1)
    return grid[keep], count[keep]


def rir(dims, source, mic, rt60, fs=16000, length=None, rng=None, order=MAX_ORDER, tail=True):
    """Impulse response (length samples, default 1.2 RT60 + 20 ms) from source to mic."""
    rng = rng if rng is not None else np.random.default_rng(0)
    length = length or int(fs * (1.2 * rt60 + 0.02))
    beta = reflection_coefficient(dims, rt60)
    pos, count = image_sources(dims, source, order)
    dist = np.linalg.norm(pos - np.asarray(mic, float), axis=1)
    gain = beta ** count / (4.0 * np.pi * np.maximum(dist, 1e-3))
    delay = dist / SPEED_OF_SOUND * fs
    h = np.zeros(length + 2)
    whole = np.floor(delay).astype(int)
    frac = delay - whole
    ok = whole < length
    np.add.at(h, whole[ok], gain[ok] * (1.0 - frac[ok]))
    np.add.at(h, whole[ok] + 1, gain[ok] * frac[ok])
    h = h[:length]
    if tail:
        _add_tail(h, dims, order, rt60, fs, rng)
    return h


def _add_tail(h, dims, order, rt60, fs, rng):
    # Every image within order / |(1/Lx, 1/Ly, 1/Lz)| metres has at most order reflections.
    complete = order / np.sqrt(np.sum(1.0 / np.asarray(dims, float) ** 2))
    start = int(complete / SPEED_OF_SOUND * fs)
    if start >= len(h) - 1:
        return
    decay = np.log(1e3) / (rt60 * fs)          # amplitude: -60 dB in rt60
    window = max(int(0.01 * fs), 1)
    early = h[max(start - window, 0):start]
    level = np.sqrt(np.mean(early ** 2)) if early.size else 0.0
    n = np.arange(len(h) - start)
    tail = rng.standard_normal(n.size) * level * np.exp(-decay * n)
    ramp = np.minimum(n / window, 1.0)
    h[start:] = h[start:] * (1.0 - ramp) + tail * ramp


def schroeder_rt60(h, fs=16000, fit=(-5.0, -25.0)):
    """RT60 from the backward-integrated energy decay, line fit over fit dB."""
    energy = np.cumsum((h ** 2)[::-1])[::-1]
    edc = 10.0 * np.log10(energy / energy[0] + 1e-30)
    idx = np.where((edc <= fit[0]) & (edc >= fit[1]))[0]
    slope = np.polyfit(idx / fs, edc[idx], 1)[0]
    return -60.0 / slope


def random_room(rng):
    """A room of a random class, its RT60 and a mic position 0.5 m inside the walls."""
    names = sorted(ROOM_CLASSES)
    share = np.array([ROOM_CLASSES[k][0] for k in names])
    _, sizes, rt60_range = ROOM_CLASSES[names[rng.choice(len(names), p=share / share.sum())]]
    dims = np.array([rng.uniform(*r) for r in sizes])
    rt60 = rng.uniform(*rt60_range)
    mic = np.array([rng.uniform(0.5, d - 0.5) for d in dims])
    return dims, rt60, mic


def point_near(rng, dims, centre, lo, hi):
    """A point lo..hi metres from centre, kept 0.2 m inside the walls."""
    for _ in range(100):
        v = rng.standard_normal(3)
        p = centre + v / np.linalg.norm(v) * rng.uniform(lo, hi)
        if np.all(p > 0.2) and np.all(p < dims - 0.2):
            return p
    return np.clip(centre + np.array([lo, 0.0, 0.0]), 0.2, dims - 0.2)
