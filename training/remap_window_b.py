"""Carries weights trained on the old feature rows over to the current ones.

    /usr/bin/python3 training/remap_window_b.py IN.npz OUT.npz

Window B (rows 6..17) held D and X of frames t-5..t; it now holds D of
t-5..t, X of t-2..t and the echo estimate Y = D - E of t-2..t. D and the
three newest X frames keep their channels in the layers that read the window
(depthwise 595/596, 1x1 598); Y takes the channels of the dropped older X
frames, the nearest thing the net had, and training takes it from there.
"""

import sys

import numpy as np

# New window-B channel -> old channel.
ORDER = list(range(6)) + [9, 10, 11] + [6, 7, 8]
# Array (stored flat) -> its shape and window-B channel axis: depthwise
# weights channel-major, bias, 1x1 weights [out][in].
READERS = {"595": ((12, 5), 0), "596": ((12,), 0), "598": ((64, 12), 1)}


def remap(arrays):
    out = dict(arrays)
    for name, (shape, axis) in READERS.items():
        w = np.asarray(arrays[name]).reshape(shape)
        out[name] = np.take(w, ORDER, axis=axis).reshape(-1)
    return out


def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: remap_window_b.py IN.npz OUT.npz")
    with np.load(sys.argv[1]) as z:
        arrays = {k: z[k] for k in z.files}
    missing = [k for k in READERS if k not in arrays]
    if missing:
        raise SystemExit("%s lacks %s" % (sys.argv[1], ", ".join(missing)))
    np.savez_compressed(sys.argv[2], **remap(arrays))


if __name__ == "__main__":
    main()
