"""Layer semantics of the network's layer types, on batched tensors.

Every blob of one frame is a channel-last (h, w, c) tensor. Here a blob is
held as a tensor of shape (B, c, h*w): channels first, then the h*w
positions in row-major order, so position p = y*w + x. Its channel-last
memory, the order the engine's Reshape and MatMul see, is
x.transpose(1, 2).reshape(B, -1). B counts frames (and sequences).
"""

import struct

import torch
import torch.nn.functional as F


def word_float(bits):
    return struct.unpack("<f", struct.pack("<I", bits & 0xFFFFFFFF))[0]


def to_memory(x):
    """(B, c, rows) -> (B, rows*c) channel-last memory."""
    return x.transpose(1, 2).reshape(x.shape[0], -1)


def from_memory(m, rows, c):
    return m.reshape(m.shape[0], rows, c).transpose(1, 2)


def activation(x, kind, param):
    if kind == 1:
        return torch.relu(x)
    if kind == 2:
        return torch.clamp(x, min=0.0, max=param)
    if kind == 5:
        return torch.sigmoid(x)
    if kind == 6:
        return F.leaky_relu(x, param)
    if kind == 7:
        return x * torch.sigmoid(x)
    return x


def binary(a, b, op):
    if op == 0:
        return a + b
    if op == 1:
        return a - b
    if op == 2:
        return a * b
    raise ValueError("binary op %d" % op)


def pad_rows(x, top, bottom):
    return F.pad(x, (top, bottom)) if top or bottom else x


def conv_rows(x, weight, bias, k, pad_top, pad_bottom, stride, dilation, groups):
    """Convolution along the rows of a one-column map: weight (OC, IC/groups, k)."""
    x = pad_rows(x, pad_top, pad_bottom)
    out_channels = weight.shape[0]
    weight = weight.reshape(out_channels, -1, k)
    out_rows = (x.shape[2] - dilation * (k - 1) - 1) // stride + 1
    if stride == dilation > 1:
        # Taps at y*s + t*s read only every s-th row: a dense kernel over those
        # trains much faster than the strided, dilated one.
        rows = x[:, :, ::stride]
        return F.conv1d(rows, weight, bias, 1, 0, 1, groups)[:, :, :out_rows]
    return F.conv1d(x, weight, bias, stride, 0, dilation, groups)


def deconv_rows_depthwise(x, weight, bias, k, pad_top, pad_bottom, stride, dilation):
    """Depthwise transposed convolution along rows in gather form: output row
    oy takes in[(oy - off + ky*d) / s] * W[ky] for the taps where that index
    is an integer inside the input, off = (k-1)*d - pad_top. As a scatter this
    is a transposed convolution with the taps reversed; its full output row
    i*s + t*d is cropped by pad_top at the front."""
    channels, rows = x.shape[1], x.shape[2]
    out_rows = (rows - 1) * stride + (k - 1) * dilation - pad_top - pad_bottom + 1
    spread = (rows - 1) * stride + 1
    if stride > 1:
        up = x.new_zeros(x.shape[0], channels, spread)
        up[:, :, ::stride] = x
    else:
        up = x
    taps = weight.reshape(channels, k, 1).flip(1).unbind(1)
    full_rows = spread + (k - 1) * dilation
    full = 0
    for t, w in enumerate(taps):
        full = full + F.pad(up * w, (t * dilation, full_rows - spread - t * dilation))
    # A row index i*s + t*d past the full length receives no tap.
    if full_rows < pad_top + out_rows:
        full = F.pad(full, (0, pad_top + out_rows - full_rows))
    return full[:, :, pad_top:pad_top + out_rows] + bias.reshape(1, channels, 1)


def append_rows(x, row):
    """Rows X0, P, X1, P, ..., X(h-1): a constant row between every two rows."""
    b, c, h = x.shape
    out = x.new_empty(b, c, 2 * h - 1)
    out[:, :, 0::2] = x
    out[:, :, 1::2] = row[:c].reshape(1, c, 1).to(x.dtype)
    return out


def rational_tanh(v):
    """The candidate's tanh: a rational approximation, clamped to +-1 at |v| >= 5."""
    q = v * v
    num = v * (q * (q * (q + 378.0) + 17325.0) + 135135.0)
    den = q * (q * (28.0 * q + 3150.0) + 62370.0) + 135135.0
    t = num / den
    return torch.where(v > 5.0, torch.ones_like(v), torch.where(v <= -5.0, -torch.ones_like(v), t))


def gru_sequence(gx, h, recurrent, rbias, hidden):
    """Runs the steps of a GRU with linear-before-reset candidate.

    gx: (B, T, 3H) input products W*x + Wb, gates in the order z, r, n;
    h: (B, H) state; recurrent: (3H, H); rbias: (3H,).
    Returns the (B, T, H) states after each step and the final state."""
    outputs = []
    for t in range(gx.shape[1]):
        gh = torch.addmm(rbias, h, recurrent.t())
        g = gx[:, t]
        z = torch.sigmoid(g[:, :hidden] + gh[:, :hidden])
        r = torch.sigmoid(g[:, hidden:2 * hidden] + gh[:, hidden:2 * hidden])
        n = rational_tanh(gh[:, 2 * hidden:] * r + g[:, 2 * hidden:])
        h = z * h + (1.0 - z) * n
        outputs.append(h)
    return torch.stack(outputs, 1), h
