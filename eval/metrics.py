"""Echo-cancellation metrics on 16 kHz float signals (numpy arrays).

Frame labels come from the clean components the scene generator keeps:
a frame is echo-active (or near-active) when its echo (near-end) power is
within ACTIVE_DB of that signal's mean active power.
"""

import numpy as np
from scipy.linalg import solve, toeplitz
from scipy.signal import butter, fftconvolve, resample_poly, sosfiltfilt

FS = 16000
FRAME = 320          # 20 ms frames for segmental measures and labels
ACTIVE_DB = -30.0
EPS = 1e-20
VOICE_LOW_HZ = 100.0
DISTORTION_TAPS = 256   # 16 ms: a DC notch or mild equalisation is not distortion


def highpass(x, cutoff=VOICE_LOW_HZ, fs=FS):
    """Zero-phase 4th-order Butterworth high-pass: the voice band the measures look at.
    Cancellers remove DC and rumble differently; below 100 Hz is no speech."""
    return sosfiltfilt(butter(4, cutoff, "highpass", fs=fs, output="sos"), x)


def frame_power(x, frame=FRAME):
    n = x.size // frame
    return np.mean(x[:n * frame].reshape(n, frame) ** 2, axis=1)


def active(x, frame=FRAME, rel_db=ACTIVE_DB):
    """Per frame: power within rel_db of the mean power of the loudest-30-dB frames."""
    p = frame_power(x, frame)
    if p.max() <= 0:
        return np.zeros(p.size, bool)
    ref = np.mean(p[p > p.max() * 1e-3])
    return p > ref * 10 ** (rel_db / 10)


def labels(echo, near, frame=FRAME):
    """Boolean frame masks: far-end single talk, near-end single talk, double talk."""
    e, s = active(echo, frame), active(near, frame)
    return {"far_single": e & ~s, "near_single": s & ~e, "double": e & s}


def erle(mic, out, mask, frame=FRAME):
    """(overall, segmental) echo return loss enhancement in dB over the masked frames.
    Overall: ratio of summed powers; segmental: mean of per-frame dB ratios."""
    pm, po = frame_power(mic, frame)[mask], frame_power(out, frame)[mask]
    if pm.size == 0:
        return float("nan"), float("nan")
    overall = 10 * np.log10((pm.sum() + EPS) / (po.sum() + EPS))
    segmental = np.mean(10 * np.log10((pm + EPS) / (po + EPS)))
    return float(overall), float(segmental)


def si_sdr(estimate, reference):
    """Scale-invariant signal-to-distortion ratio in dB (both means removed)."""
    e, r = estimate - estimate.mean(), reference - reference.mean()
    alpha = np.dot(e, r) / (np.dot(r, r) + EPS)
    target = alpha * r
    return float(10 * np.log10((np.dot(target, target) + EPS) / (np.dot(e - target, e - target) + EPS)))


def distortion_projection(estimate, reference, taps=DISTORTION_TAPS):
    """The reference through the causal FIR of `taps` taps that comes closest to
    the estimate (least squares over the estimate's samples), and that FIR."""
    n = estimate.size
    r = np.asarray(reference, float)[:n]
    m = 1 << int(np.ceil(np.log2(2 * n + taps)))
    spec_r = np.fft.rfft(r, m)
    acf = np.fft.irfft(np.abs(spec_r) ** 2, m)[:taps]
    xcorr = np.fft.irfft(np.fft.rfft(estimate, m) * np.conj(spec_r), m)[:taps]
    # Toeplitz normal equations of the full convolution, less its rows past
    # the end of the estimate (the filtered tail of the reference's last samples)
    j, k = np.indices((taps - 1, taps))
    idx = n + j - k
    past_end = np.where((idx < n) & (idx >= 0), r[np.clip(idx, 0, n - 1)], 0.0)
    gram = toeplitz(acf) - past_end.T @ past_end
    gram += np.eye(taps) * (EPS + 1e-10 * acf[0])
    h = solve(gram, xcorr, assume_a="pos")
    return fftconvolve(r, h)[:n], h


def sdr(estimate, reference, mask=None, frame=FRAME, taps=DISTORTION_TAPS):
    """Signal-to-distortion ratio in dB that allows a short linear distortion:
    the part of the estimate that a `taps`-tap causal filter of the reference
    explains is the target, everything else (residual echo, noise, gaps,
    gains that change over time) is distortion. The filter is fitted over the
    whole signals, since a linear distortion is one filter for the whole call;
    with a frame mask the ratio is taken over the masked frames only."""
    e = np.asarray(estimate, float)
    target, _ = distortion_projection(e, reference, taps)
    rest = e - target
    if mask is not None:
        target, rest = frames_of(target, mask, frame), frames_of(rest, mask, frame)
    return float(10 * np.log10((np.dot(target, target) + EPS) / (np.dot(rest, rest) + EPS)))


def level_change_db(before, after, mask, frame=FRAME):
    """Power of after over power of before in the masked frames, in dB."""
    pb, pa = frame_power(before, frame)[mask], frame_power(after, frame)[mask]
    return float(10 * np.log10((pa.sum() + EPS) / (pb.sum() + EPS)))


def frames_of(x, mask, frame=FRAME):
    """The samples of the masked frames, concatenated."""
    n = mask.size
    return x[:n * frame].reshape(n, frame)[mask].ravel()


def residual_echo_db(out, near, echo, mask, frame=FRAME):
    """What remains after removing the best-scaled near-end from the output,
    relative to the echo at the mic, over the masked frames (dB; lower is better).
    It counts residual echo and near-end distortion together."""
    o, s, e = (frames_of(x, mask, frame) for x in (out, near, echo))
    if o.size == 0:
        return float("nan")
    alpha = np.dot(o, s) / (np.dot(s, s) + EPS)
    rest = o - alpha * s
    return float(10 * np.log10((np.dot(rest, rest) + EPS) / (np.dot(e, e) + EPS)))


def convergence_time(mic, out, echo_mask, change_s, frame=FRAME, margin_db=3.0, window_s=0.5):
    """Seconds from change_s until the echo-active segmental ERLE, averaged over
    window_s, first reaches its level over the 1.5 s before the change less
    margin_db; the time to the end of the signal when it never does, NaN when
    there was no more than margin_db to regain. A window counts only when echo
    is active in at least half of it: a window holding one or two echo frames
    before a far-end pause would otherwise pass on those frames alone."""
    seg = 10 * np.log10((frame_power(mic, frame) + EPS) / (frame_power(out, frame) + EPS))
    t = (np.arange(seg.size) + 0.5) * frame / FS
    before = echo_mask & (t < change_s) & (t >= change_s - 1.5)
    target = np.mean(seg[before]) - margin_db
    if not target > 0:
        return float("nan")
    end = seg.size * frame / FS
    min_active = 0.5 * window_s * FS / frame
    for i in np.where(t >= change_s)[0]:
        win = echo_mask & (t >= t[i]) & (t < t[i] + window_s)
        if win.sum() >= min_active and t[i] + window_s <= end and np.mean(seg[win]) >= target:
            return float(t[i] - change_s)
    return float(end - change_s)


# ---- Short-time objective intelligibility (10 kHz, one-third octave bands) ----
STOI_FS = 10000
STOI_NFFT = 512
STOI_WIN = 256
STOI_BANDS = 15
STOI_LOW_HZ = 150.0
STOI_SEG = 30                 # frames per segment: 384 ms at 10 kHz, hop 128
STOI_BETA_DB = -15.0          # lower signal-to-distortion bound of the clipping
STOI_RANGE_DB = 40.0          # frames this far below the loudest clean frame are dropped


def third_octave_matrix(fs=STOI_FS, nfft=STOI_NFFT, bands=STOI_BANDS, low=STOI_LOW_HZ):
    """(bands, nfft/2+1) 0/1 matrix grouping FFT bins into one-third octave bands."""
    f = np.linspace(0, fs, nfft + 1)[:nfft // 2 + 1]
    centre = low * 2.0 ** (np.arange(bands) / 3.0)
    lo, hi = centre * 2.0 ** (-1 / 6), centre * 2.0 ** (1 / 6)
    m = np.zeros((bands, f.size))
    for b in range(bands):
        i_lo, i_hi = np.argmin(np.abs(f - lo[b])), np.argmin(np.abs(f - hi[b]))
        m[b, i_lo:i_hi] = 1.0
    return m


def _frames(x, win=STOI_WIN, hop=STOI_WIN // 2):
    n = 1 + max(x.size - win, 0) // hop
    idx = np.arange(win)[None, :] + hop * np.arange(n)[:, None]
    return x[idx] * np.hanning(win + 2)[1:-1]


def _drop_silent(x, y):
    """Removes frames more than STOI_RANGE_DB below the loudest clean frame, overlap-adding the rest."""
    fx, fy = _frames(x), _frames(y)
    energy = 20 * np.log10(np.linalg.norm(fx, axis=1) + 1e-20)
    keep = energy > energy.max() - STOI_RANGE_DB
    hop = STOI_WIN // 2
    out_x, out_y = np.zeros((keep.sum() + 1) * hop), np.zeros((keep.sum() + 1) * hop)
    for k, i in enumerate(np.where(keep)[0]):
        out_x[k * hop:k * hop + STOI_WIN] += fx[i]
        out_y[k * hop:k * hop + STOI_WIN] += fy[i]
    return out_x, out_y


def _band_envelopes(x):
    spec = np.fft.rfft(_frames(x), STOI_NFFT, axis=1)
    return np.sqrt(third_octave_matrix() @ (np.abs(spec) ** 2).T)   # (bands, frames)


def stoi(clean, processed, fs=FS):
    """Short-time objective intelligibility of processed against clean, about 0..1."""
    n = min(clean.size, processed.size)
    x, y = clean[:n].astype(float), processed[:n].astype(float)
    if fs != STOI_FS:
        x, y = resample_poly(x, STOI_FS, fs), resample_poly(y, STOI_FS, fs)
    x, y = _drop_silent(x, y)
    X, Y = _band_envelopes(x), _band_envelopes(y)
    if X.shape[1] < STOI_SEG:
        raise ValueError("stoi needs at least %d speech frames (384 ms)" % STOI_SEG)
    bound = 10 ** (-STOI_BETA_DB / 20)
    scores = []
    for m in range(STOI_SEG, X.shape[1] + 1):
        xs, ys = X[:, m - STOI_SEG:m], Y[:, m - STOI_SEG:m]
        alpha = np.linalg.norm(xs, axis=1, keepdims=True) / (np.linalg.norm(ys, axis=1, keepdims=True) + 1e-20)
        yc = np.minimum(alpha * ys, xs * (1 + bound))
        xc = xs - xs.mean(axis=1, keepdims=True)
        yc = yc - yc.mean(axis=1, keepdims=True)
        corr = np.sum(xc * yc, axis=1) / (np.linalg.norm(xc, axis=1) * np.linalg.norm(yc, axis=1) + 1e-20)
        scores.append(corr)
    return float(np.mean(scores))
