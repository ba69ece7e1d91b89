"""The weight blob: little-endian float16 values, one block per weight in
table order, each block starting on a 128-byte boundary, gaps zero-filled.
The manifest records every block's name, shape, offset and value count and
the sha256 of the whole blob."""

import hashlib
import json

import numpy as np

from . import tables

ALIGNMENT = 128

# The engine multiplies by bfloat16 copies of these (the head's two large
# products and the first GRU's input product on machines without FMA);
# values that bfloat16 holds exactly make those copies lossless.
BFLOAT16_WEIGHTS = ("713", "715_X", "716")


def _round_bfloat16(values):
    bits = values.astype(np.float32).view(np.uint32).astype(np.uint64)
    bits = (bits + 0x7FFF + ((bits >> 16) & 1)) & 0xFFFF0000
    return bits.astype(np.uint32).view(np.float32)


def bfloat16_exact_halves(values):
    """Half values that bfloat16 also holds exactly, nearest to `values`;
    the few tiny ones whose bfloat16 rounding is no half become zero."""
    halves = _round_bfloat16(values).astype("<f2")
    exact = _round_bfloat16(halves.astype(np.float32)) == halves.astype(np.float32)
    return np.where(exact, halves, np.float16(0)).astype("<f2")


def layout():
    """[(name, shape, byte offset, value count)] in table order, and the blob size."""
    entries = []
    offset = 0
    for name, n, h, w, c in tables.WEIGHTS:
        offset = (offset + ALIGNMENT - 1) // ALIGNMENT * ALIGNMENT
        count = n * h * w * c
        entries.append((name, (n, h, w, c), offset, count))
        offset += 2 * count
    return entries, offset


def pack(arrays):
    """Blob bytes from {name: array}; each array's row-major order is the
    stored order of that weight."""
    entries, size = layout()
    blob = bytearray(size)
    for name, shape, offset, count in entries:
        values = np.asarray(arrays[name], dtype=np.float32).reshape(-1)
        if values.size != count:
            raise ValueError("%s: %d values, expected %d" % (name, values.size, count))
        halves = bfloat16_exact_halves(values) if name in BFLOAT16_WEIGHTS else values.astype("<f2")
        blob[offset:offset + 2 * count] = halves.tobytes()
    return bytes(blob)


def unpack(blob):
    """{name: float32 array of the weight's value count} from blob bytes."""
    entries, size = layout()
    if len(blob) != size:
        raise ValueError("blob is %d bytes, expected %d" % (len(blob), size))
    return {name: np.frombuffer(blob, dtype="<f2", count=count, offset=offset).astype(np.float32)
            for name, shape, offset, count in entries}


def manifest(blob):
    entries, size = layout()
    return {
        "format": "float16 little-endian, blocks in table order, 128-byte aligned, zero gaps",
        "alignment": ALIGNMENT,
        "total_bytes": size,
        "total_values": sum(e[3] for e in entries),
        "sha256": hashlib.sha256(blob).hexdigest(),
        "weights": [{"name": name, "shape": list(shape), "offset": offset, "count": count}
                    for name, shape, offset, count in entries],
    }


def write(blob, blob_path, manifest_path):
    with open(blob_path, "wb") as f:
        f.write(blob)
    with open(manifest_path, "w") as f:
        json.dump(manifest(blob), f, indent=1)
        f.write("\n")


def read(blob_path, manifest_path=None):
    """Blob bytes, checked against the manifest's checksum when one is given."""
    with open(blob_path, "rb") as f:
        blob = f.read()
    if manifest_path is not None:
        with open(manifest_path) as f:
            expected = json.load(f)["sha256"]
        if hashlib.sha256(blob).hexdigest() != expected:
            raise ValueError("%s does not match its manifest checksum" % blob_path)
    return blob


