"""The committed network description, weight blob and reference frames."""

import hashlib
import json
import os
from collections import Counter

import numpy as np

import gen_tables
from aecnet import blob, frame, golden, init, tables
from aecnet.model import EchoNet

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BLOB = os.path.join(ROOT, "model", "weights.f16")
MANIFEST = os.path.join(ROOT, "model", "weights_manifest.json")
GOLDEN = os.path.join(ROOT, "tests", "model", "golden")


def test_description_is_consistent():
    assert len(tables.WEIGHTS) == 93 and len(tables.LAYERS) == 115
    assert sum(n * h * w * c for _, n, h, w, c in tables.WEIGHTS) == 1227769
    assert Counter(layer.type for layer in tables.LAYERS) == Counter(
        LeakyRelu=34, Conv=25, DepthwiseConv=11, Reshape=11, Concat=9, MatMul=7, Sigmoid=5,
        Mul=4, TransposeAxis=2, Add=2, GRU=2, YnetAppend=2, DepthwiseDeConv=1)
    names = {name for name, *_ in tables.WEIGHTS}
    used = {w for layer in tables.LAYERS for w in layer.weights}
    assert used <= names and names - used == {"para_append_517"}
    produced = set(tables.INPUTS)
    for layer in tables.LAYERS:
        assert set(layer.inputs) <= produced, layer.name
        assert len(layer.inputs) + len(layer.outputs) <= tables.MAX_NAMES
        produced.update(layer.outputs)
    assert set(tables.OUTPUTS) <= produced
    # The shape rules applied to the inputs reproduce every declared shape.
    shapes = EchoNet().blob_shapes
    for layer in tables.LAYERS:
        assert (1,) + shapes[layer.outputs[0]] == layer.shape, layer.name
    assert shapes[frame.MASK_BLOB] == (1, 1, frame.BINS)
    assert frame.FEATURE_FLOATS == 9234 and frame.WINDOW_B_OFFSET == 3078
    for name, render in gen_tables.OUTPUTS:
        assert open(os.path.join(ROOT, "model", name)).read() == render(), name


def test_blob_layout_and_checksum():
    entries, size = blob.layout()
    data = blob.read(BLOB, MANIFEST)
    assert len(data) == size
    manifest = json.load(open(MANIFEST))
    assert manifest["sha256"] == hashlib.sha256(data).hexdigest()
    assert [(w["name"], w["offset"]) for w in manifest["weights"]] == [(e[0], e[2]) for e in entries]
    end = 0
    raw = np.frombuffer(data, np.uint8)
    for name, shape, offset, count in entries:
        assert offset % 128 == 0 and 0 <= offset - end < 128
        assert not raw[end:offset].any(), "gap before %s is not zero" % name
        end = offset + 2 * count
    assert end == size
    arrays = blob.unpack(data)
    assert blob.pack(arrays) == data
    values = np.concatenate(list(arrays.values()))
    assert np.isfinite(values).all() and np.abs(values).max() < 100


def test_initialisation_is_seeded():
    a, b, c = init.initial_arrays(5), init.initial_arrays(5), init.initial_arrays(6)
    assert blob.pack(a) == blob.pack(b) != blob.pack(c)
    net = EchoNet()
    net.load_arrays(a)
    assert blob.pack(net.arrays()) == blob.pack(a)


def test_golden_frames_regenerate():
    data = blob.read(BLOB, MANIFEST)
    stems = sorted(f[:-5] for f in os.listdir(GOLDEN) if f.endswith(".json"))
    assert len(stems) >= 3
    for stem in stems:
        header, sections = golden.read(os.path.join(GOLDEN, stem))
        assert header["weights_sha256"] == hashlib.sha256(data).hexdigest()
        assert header["frames"] >= 100
        assert ((sections["mask"] > 0) & (sections["mask"] < 1)).all()
    header, expected = golden.read(os.path.join(GOLDEN, stems[0]))
    fresh = golden.make(data, header["seed"], header["frames"])
    np.testing.assert_array_equal(fresh["features"], expected["features"])
    for name in ("mask", "state469", "state493"):
        np.testing.assert_allclose(fresh[name], expected[name], rtol=0, atol=1e-6, err_msg=name)
