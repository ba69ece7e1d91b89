"""Layer semantics of the mirror against plain numpy loops written from the
layer definitions."""

import numpy as np
import pytest
import torch

from aecnet import init
from aecnet import layers as L
from aecnet import tables
from aecnet.model import EchoNet

RNG = np.random.RandomState(7)
LAYER = {layer.name: layer for layer in tables.LAYERS}


def t64(a):
    return torch.from_numpy(np.asarray(a, dtype=np.float64))


def canonical(rows_by_channel):
    """(rows, c) channel-last map of one frame -> mirror tensor (1, c, rows)."""
    return t64(rows_by_channel.T[None])


def test_append_interleave():
    for rows, c in ((33, 32), (5, 3), (1, 4)):
        x = RNG.randn(rows, c)
        p = RNG.randn(c + 2)  # the weight may hold more values than one row
        expected = np.zeros((2 * rows - 1, c))
        for i in range(rows - 1):
            expected[2 * i] = x[i]
            expected[2 * i + 1] = p[:c]
        expected[2 * (rows - 1)] = x[rows - 1]
        got = L.append_rows(canonical(x), t64(p))[0].numpy().T
        np.testing.assert_array_equal(got, expected)


def depthwise_reference(x, w, bias, stride, dilation, top, bottom):
    rows, c = x.shape
    k = w.shape[1]
    out_rows = (rows + top + bottom - dilation * (k - 1) - 1) // stride + 1
    out = np.tile(bias, (out_rows, 1))
    for oy in range(out_rows):
        for ky in range(k):
            iy = oy * stride - top + ky * dilation
            if 0 <= iy < rows:
                out[oy] += x[iy] * w[:, ky]
    return out


def test_depthwise_conv_rows():
    cases = ((513, 12, 2, 2, 4, 4), (65, 96, 1, 1, 2, 2), (20, 7, 3, 1, 0, 3), (9, 5, 2, 2, 1, 4))
    for rows, c, stride, dilation, top, bottom in cases:
        x, w, b = RNG.randn(rows, c), RNG.randn(c, 5), RNG.randn(c)
        got = L.conv_rows(canonical(x), t64(w), t64(b), 5, top, bottom, stride, dilation, c)
        np.testing.assert_allclose(got[0].numpy().T,
                                   depthwise_reference(x, w, b, stride, dilation, top, bottom),
                                   rtol=1e-12, atol=1e-12)


def test_conv_rows_mixes_channels():
    for rows, ic, oc, k, pad in ((33, 64, 64, 3, 1), (257, 96, 1, 1, 0), (10, 5, 3, 3, 1)):
        x, w, b = RNG.randn(rows, ic), RNG.randn(oc, ic, k), RNG.randn(oc)
        expected = np.tile(b, (rows, 1))
        for oy in range(rows):
            for ky in range(k):
                iy = oy - pad + ky
                if 0 <= iy < rows:
                    expected[oy] += w[:, :, ky] @ x[iy]
        got = L.conv_rows(canonical(x), t64(w), t64(b), k, pad, pad, 1, 1, 1)
        np.testing.assert_allclose(got[0].numpy().T, expected, rtol=1e-10, atol=1e-10)


def deconv_gather_reference(x, w, bias, stride, dilation, top, bottom):
    """out[oy] = bias + sum over taps with sy = oy - off + ky*d inside
    0 <= sy < rows*stride and sy % stride == 0 of in[sy / stride] * W[ky]."""
    rows, c = x.shape
    k = w.shape[1]
    out_rows = (rows - 1) * stride + (k - 1) * dilation - top - bottom + 1
    off = (k - 1) * dilation - top
    out = np.tile(bias, (out_rows, 1))
    for oy in range(out_rows):
        for ky in range(k):
            sy = oy - off + ky * dilation
            if 0 <= sy < rows * stride and sy % stride == 0:
                out[oy] += x[sy // stride] * w[:, ky]
    return out


def test_depthwise_deconv_gather_definition():
    for rows, c, stride, dilation, top, bottom in ((33, 64, 2, 2, 4, 4), (7, 3, 3, 1, 1, 2),
                                                   (6, 4, 2, 1, 0, 0), (5, 2, 2, 2, 5, 3)):
        x, w, b = RNG.randn(rows, c), RNG.randn(c, 5), RNG.randn(c)
        got = L.deconv_rows_depthwise(canonical(x), t64(w), t64(b), 5, top, bottom, stride, dilation)
        np.testing.assert_allclose(got[0].numpy().T,
                                   deconv_gather_reference(x, w, b, stride, dilation, top, bottom),
                                   rtol=1e-12, atol=1e-12)
    # The network's shape: odd rows carry only the bias, even row 2m reads rows m-2..m+2.
    x, w, b = RNG.randn(33, 4), RNG.randn(4, 5), RNG.randn(4)
    got = L.deconv_rows_depthwise(canonical(x), t64(w), t64(b), 5, 4, 4, 2, 2)[0].numpy().T
    assert got.shape == (65, 4)
    np.testing.assert_allclose(got[1::2], np.tile(b, (32, 1)), atol=1e-14)
    m = 10
    np.testing.assert_allclose(got[2 * m], b + sum(x[m - 2 + t] * w[:, t] for t in range(5)))


def rational_tanh_reference(v):
    if v > 5:
        return 1.0
    if v <= -5:
        return -1.0
    q = np.float32(v) * np.float32(v)
    num = np.float32(v) * (q * (q * (q + np.float32(378)) + np.float32(17325)) + np.float32(135135))
    den = q * (q * (np.float32(28) * q + np.float32(3150)) + np.float32(62370)) + np.float32(135135)
    return np.float32(num / den)


def test_rational_tanh_values():
    v = torch.tensor([5.0, 5.0001, -5.0, 1.0, 0.0, -7.0], dtype=torch.float32)
    got = L.rational_tanh(v).numpy()
    np.testing.assert_allclose(got, [1.0000098, 1.0, -1.0, 0.7615942, 0.0, -1.0], rtol=0, atol=2e-7)
    for x in np.linspace(-6, 6, 97):
        assert abs(L.rational_tanh(torch.tensor(x, dtype=torch.float32)).item()
                   - rational_tanh_reference(x)) < 1e-6


def gru_step_reference(x, h, W, R, B, hidden):
    gx = W @ x + B[:3 * hidden]
    gh = R @ h + B[3 * hidden:]
    sig = 1.0 / (1.0 + np.exp(-(gx[:2 * hidden] + gh[:2 * hidden])))
    z, r = sig[:hidden], sig[hidden:]
    a = gh[2 * hidden:] * r + gx[2 * hidden:]
    n = np.array([rational_tanh_reference(v) for v in a], dtype=np.float64)
    return z * h + (1 - z) * n


def test_gru_gate_equations():
    hidden, inputs, steps = 6, 5, 4
    W, R = RNG.randn(3 * hidden, inputs), RNG.randn(3 * hidden, hidden)
    B = RNG.randn(6 * hidden)
    xs, h = RNG.randn(steps, inputs), RNG.randn(hidden) * 0.5
    gx = t64(xs @ W.T + B[:3 * hidden])[None]
    seq, final = L.gru_sequence(gx, t64(h)[None], t64(R), t64(B[3 * hidden:]), hidden)
    expected = h
    for t in range(steps):
        expected = gru_step_reference(xs[t], expected, W, R, B, hidden)
        np.testing.assert_allclose(seq[0, t].numpy(), expected, atol=2e-6)
    np.testing.assert_allclose(final[0].numpy(), expected, atol=2e-6)
    # Zero state, zero input and biases: z = r = 0.5, candidate 0, state stays 0.
    zero = torch.zeros(1, 1, 3 * hidden, dtype=torch.float64)
    _, still = L.gru_sequence(zero, torch.zeros(1, hidden, dtype=torch.float64), t64(R),
                              torch.zeros(3 * hidden, dtype=torch.float64), hidden)
    assert not still.abs().max().item()


@pytest.fixture(scope="module")
def net():
    n = EchoNet()
    n.load_arrays(init.initial_arrays(11))
    n.double().requires_grad_(False)
    return n


def test_mixing_matmul_is_stored_transposed(net):
    # Reshape to 1 x 33 columns x 64, MatMul with A transposed, Reshape back:
    # memory element (m, n) at n*64 + m, read as 33 rows of 64.
    x = RNG.randn(33, 64)
    B = net.weight("669").detach().numpy().reshape(33, 33)
    a = net._run(LAYER["364_cus_reshape"], [canonical(x)])
    y = net._run(LAYER["367"], [a])
    z = net._run(LAYER["367_cus_reshape"], [y])[0].numpy().T
    A = x.reshape(-1)                       # rows(A) = 33, cols(A) = 64
    M, K, N = 64, 33, 33
    memory = np.zeros(M * N)
    for m in range(M):
        for n in range(N):
            memory[n * M + m] = sum(A[k * M + m] * B[k, n] for k in range(K))
    np.testing.assert_allclose(z, memory.reshape(33, 64), rtol=1e-10, atol=1e-10)


def test_vector_reshapes_follow_channel_last_memory(net):
    x = RNG.randn(33, 32)
    v = net._run(LAYER["444"], [canonical(x)])
    np.testing.assert_array_equal(v[0, :, 0].numpy(), x.reshape(-1))
    back = net._run(LAYER["505"], [v])[0].numpy().T
    np.testing.assert_array_equal(back, x)


def test_dense_matmul_with_bias(net):
    x = RNG.randn(128)
    W = net.weight("713").detach().numpy().reshape(128, 1056)
    b = net.weight("fc_rnn1.bias").detach().numpy()
    got = net._run(LAYER["498"], [t64(x)[None, :, None]])[0, :, 0].numpy()
    np.testing.assert_allclose(got, x @ W + b, rtol=1e-10, atol=1e-10)


def test_transpose_moves_rows_to_channels(net):
    window = RNG.randn(12, 513)
    inp = t64(window.reshape(1, 1, -1))           # (1, 12, 513, 1): c = 1
    out = net._run(LAYER["310_cus_transpose"], [inp])[0].numpy()  # (12 channels, 513 rows)
    for j in (0, 100, 512):
        for k in (0, 5, 11):
            assert out[k, j] == window[k, j]


def test_batched_sequence_equals_frame_by_frame(net):
    batch, steps = 2, 5
    wa = torch.randn(batch, steps, 12, 513, dtype=torch.float64)
    wb = torch.randn(batch, steps, 12, 513, dtype=torch.float64)
    s1 = torch.randn(batch, 128, dtype=torch.float64) * 0.1
    s2 = torch.randn(batch, 128, dtype=torch.float64) * 0.1
    with torch.no_grad():
        masks, f1, f2 = net(wa, wb, s1, s2)
        for b in range(batch):
            h1, h2 = s1[b], s2[b]
            for t in range(steps):
                mask, h1, h2 = net.step(wa[b, t], wb[b, t], h1, h2)
                np.testing.assert_allclose(masks[b, t].numpy(), mask.numpy(), atol=1e-12)
            np.testing.assert_allclose(f1[b].numpy(), h1.numpy(), atol=1e-12)
            np.testing.assert_allclose(f2[b].numpy(), h2.numpy(), atol=1e-12)
    assert ((masks > 0) & (masks < 1)).all()
