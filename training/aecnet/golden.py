"""Reference frames: a feature stream run frame by frame through the mirror
with the blob's weights, in float64.

File pair per seed: <stem>.bin holds float32 little-endian sections back to
back, <stem>.json names them with their offsets (bytes) and shapes:
  features (F + 17, 513): frame f's caller buffer is the 9234 floats from row f
  mask     (F, 513):      mask after frame f
  state469 (F, 128), state493 (F, 128): both states after frame f
The states start at zero before frame 0."""

import hashlib
import json

import numpy as np
import torch

from . import blob, features, frame
from .model import EchoNet


def mirror_from_blob(data, dtype=torch.float64):
    net = EchoNet()
    net.load_arrays(blob.unpack(data))
    return net.to(dtype)


def run_frames(net, stream, frames):
    """Frame by frame, one step each: (masks, states469, states493) as float32."""
    dtype = net.params[0].dtype
    wa, wb = features.windows(stream, frames)
    s1 = torch.zeros(frame.STATE_SIZE, dtype=dtype)
    s2 = torch.zeros(frame.STATE_SIZE, dtype=dtype)
    masks, out1, out2 = [], [], []
    with torch.no_grad():
        for f in range(frames):
            mask, s1, s2 = net.step(torch.from_numpy(wa[f]).to(dtype),
                                    torch.from_numpy(wb[f]).to(dtype), s1, s2)
            masks.append(mask.numpy())
            out1.append(s1.numpy())
            out2.append(s2.numpy())
    return tuple(np.stack(x).astype(np.float32) for x in (masks, out1, out2))


def make(data, seed, frames):
    stream = features.feature_stream(seed, frames)
    masks, s1, s2 = run_frames(mirror_from_blob(data), stream, frames)
    return {"features": stream, "mask": masks, "state469": s1, "state493": s2}


def write(sections, stem, data, seed):
    header = {"seed": seed, "frames": int(sections["mask"].shape[0]), "dtype": "float32 little-endian",
              "row": features.ROW, "buffer_floats": features.ROW * features.ROWS_PER_BUFFER,
              "window_b_offset": features.ROW * features.WINDOW_B_ROW,
              "weights_sha256": hashlib.sha256(data).hexdigest(), "sections": []}
    offset = 0
    with open(stem + ".bin", "wb") as f:
        for name in ("features", "mask", "state469", "state493"):
            array = np.ascontiguousarray(sections[name], dtype="<f4")
            f.write(array.tobytes())
            header["sections"].append({"name": name, "offset": offset, "shape": list(array.shape)})
            offset += array.nbytes
    with open(stem + ".json", "w") as f:
        json.dump(header, f, indent=1)
        f.write("\n")


def read(stem):
    with open(stem + ".json") as f:
        header = json.load(f)
    raw = open(stem + ".bin", "rb").read()
    sections = {}
    for s in header["sections"]:
        count = int(np.prod(s["shape"]))
        sections[s["name"]] = np.frombuffer(raw, "<f4", count, s["offset"]).reshape(s["shape"])
    return header, sections
