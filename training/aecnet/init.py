"""Seeded initial weights, in table order, from numpy's generator so the
values do not depend on the torch version.

Scales: a layer's main weight gets N(0, gain^2 / fan_in), gain sqrt(2) ahead
of a leaky rectifier and 1 ahead of a sigmoid or a linear use; biases are
U(-0.05, 0.05); GRU tensors U(-1/sqrt(H), 1/sqrt(H)); the inserted rows of
the row-append layers N(0, 0.1^2)."""

import numpy as np

from . import tables

BIAS_RANGE = 0.05
APPEND_STD = 0.1


def _next_types():
    """Type of the layer that consumes each layer's output (first consumer)."""
    consumer = {}
    for layer in tables.LAYERS:
        for blob in layer.inputs:
            consumer.setdefault(blob, layer.type)
    return {layer.name: consumer.get(layer.outputs[0]) for layer in tables.LAYERS}


def _fan_in(layer, shape):
    n, h, w, c = shape
    if layer.type in ("Conv",):
        return c * h * w
    if layer.type in ("DepthwiseConv", "DepthwiseDeConv"):
        return h * w * max(c, 1)
    return h  # MatMul: K rows of the weight


def _roles():
    """{weight name: (kind, scale)} with kind 'normal', 'uniform'."""
    shapes = tables.weight_shapes()
    after = _next_types()
    roles = {}
    for layer in tables.LAYERS:
        if not layer.weights:
            continue
        if layer.type == "GRU":
            bound = 1.0 / np.sqrt(tables.words24(layer)[0])
            for name in layer.weights:
                roles[name] = ("uniform", bound)
        elif layer.type == "YnetAppend":
            roles[layer.weights[0]] = ("normal", APPEND_STD)
        else:
            gain = np.sqrt(2.0) if after[layer.name] == "LeakyRelu" else 1.0
            main = layer.weights[0]
            roles[main] = ("normal", gain / np.sqrt(_fan_in(layer, shapes[main])))
            for name in layer.weights[1:]:
                roles[name] = ("uniform", BIAS_RANGE)
    return roles


def initial_arrays(seed):
    """{name: float32 array in stored order} for every weight of the table."""
    rng = np.random.RandomState(seed)
    roles = _roles()
    arrays = {}
    for name, n, h, w, c in tables.WEIGHTS:
        count = n * h * w * c
        kind, scale = roles.get(name, ("normal", APPEND_STD))
        if kind == "uniform":
            values = rng.uniform(-scale, scale, count)
        else:
            values = rng.normal(0.0, scale, count)
        arrays[name] = values.astype(np.float32)
    return arrays
