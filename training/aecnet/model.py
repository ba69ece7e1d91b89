"""The network as a torch module, interpreted from the layer records.

Weights are held as flat parameters in the stored order of the blob (see
blob.py), viewed per use: convolution weights (OC, IC, KH) from their
[OC][IC][KH][KW] order (KW is 1 throughout), depthwise ones (C, KH), dense
ones as K rows of N, GRU input and recurrent weights as 3H rows (gates z, r,
n) of I or H values, GRU biases as 3H input biases then 3H recurrent ones.
"""

import numpy as np
import torch
from torch import nn

from . import frame, tables
from . import layers as L

WINDOW_A, WINDOW_B = frame.WINDOW_A_BLOB, frame.WINDOW_B_BLOB
STATE1, STATE2 = frame.STATE_BLOBS


class EchoNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.shapes = {name: (n, h, w, c) for name, n, h, w, c in tables.WEIGHTS}
        self.index = {name: i for i, (name, *_) in enumerate(tables.WEIGHTS)}
        self.params = nn.ParameterList(
            nn.Parameter(torch.zeros(n * h * w * c)) for name, n, h, w, c in tables.WEIGHTS)
        self.slots = {name: str(i) for name, i in self.index.items()}
        self.blob_shapes = self._infer_shapes()
        # Blobs forward() keeps in self.kept (the training loss's keep-alive
        # term reads them; see objective.alive_penalty).
        self.keep = ()
        self.kept = {}

    def weight(self, name):
        return self.params[self.index[name]]

    # Shapes -----------------------------------------------------------------
    def _infer_shapes(self):
        """(h, w, c) of every blob of one frame, following the layer shape rules."""
        window, state = (frame.WINDOW_ROWS, frame.BINS, 1), (1, 1, frame.STATE_SIZE)
        shapes = {WINDOW_A: window, WINDOW_B: window, STATE1: state, STATE2: state}
        for layer in tables.LAYERS:
            shapes[layer.outputs[0]] = self._out_shape(layer, [shapes[b] for b in layer.inputs])
        return shapes

    def _out_shape(self, layer, ins):
        t, p = layer.type, tables.words24(layer)
        h, w, c = ins[0]
        if t == "TransposeAxis":
            dims = (1, h, w, c)
            return tuple(dims[p[i]] for i in (1, 2, 3))
        if t in ("Conv", "DepthwiseConv"):
            n_out = self.shapes[layer.weights[0]][0]
            oh = (h + p[4] + p[5] - max(p[9], 1) * (p[1] - 1) - 1) // p[7] + 1
            ow = (w + p[2] + p[3] - max(p[8], 1) * (p[0] - 1) - 1) // p[6] + 1
            return (oh, ow, n_out)
        if t == "DepthwiseDeConv":
            oh = (h - 1) * p[7] + (p[1] - 1) * max(p[9], 1) - p[5] - p[4] + 1
            ow = (w - 1) * p[6] + (p[0] - 1) * max(p[8], 1) - p[3] - p[2] + 1
            return (oh, ow, self.shapes[layer.weights[0]][0])
        if t == "Concat":
            return (h, w, sum(s[2] for s in ins))
        if t == "Reshape":
            target = [1] + p[1:4]
            total = h * w * c
            missing = [i for i, v in enumerate(target) if v < 1]
            if missing:
                target[missing[0]] = total // int(np.prod([v for v in target if v >= 1]))
            return tuple(target[1:])
        if t == "MatMul":
            m, n = self._matmul_sizes(layer, ins[0])
            p_rows, q = (1, m) if n == 1 else ((1, n) if m == 1 else (m, n))
            return (1, p_rows, q)
        if t == "GRU":
            return (1, 1, p[0])
        if t == "YnetAppend":
            return (2 * h - 1, w, c)
        return ins[0]

    def _matmul_sizes(self, layer, a_shape):
        p = tables.words24(layer)
        rows, cols = a_shape[1], a_shape[2]
        _, bh, bw, _ = self.shapes[layer.weights[0]]
        m = cols if p[0] else rows
        n = bh if p[1] else bw
        return m, n

    # Forward ------------------------------------------------------------------
    def forward(self, window_a, window_b, state1, state2):
        """window_a, window_b: (B, T, WINDOW_ROWS, BINS); states: (B, STATE_SIZE).

        Frame-local layers run over all B*T frames at once; the GRUs step
        through the T frames. Returns masks (B, T, BINS) and both final states."""
        batch, steps = window_a.shape[:2]
        frames = batch * steps
        blobs = {WINDOW_A: window_a.reshape(frames, 1, -1), WINDOW_B: window_b.reshape(frames, 1, -1)}
        states = {STATE1: state1, STATE2: state2}
        for layer in tables.LAYERS:
            ins = [blobs[b] for b in layer.inputs]
            if layer.type == "GRU":
                state_name = layer.outputs[1]
                seq, states[state_name], blobs[layer.name + "_gates"] = self._gru(
                    layer, ins[0].reshape(batch, steps, -1), states[state_name])
                blobs[layer.outputs[0]] = seq.reshape(frames, -1, 1)
            else:
                blobs[layer.outputs[0]] = self._run(layer, ins)
        mask = blobs[frame.MASK_BLOB].reshape(batch, steps, -1)
        self.kept = {b: blobs[b] for b in self.keep}
        return mask, states[STATE1], states[STATE2]

    def step(self, window_a, window_b, state1, state2):
        """One frame: windows (WINDOW_ROWS, BINS), states (STATE_SIZE,) -> mask (BINS,), states."""
        window = (1, 1, frame.WINDOW_ROWS, frame.BINS)
        mask, s1, s2 = self.forward(window_a.reshape(window), window_b.reshape(window),
                                    state1.reshape(1, -1), state2.reshape(1, -1))
        return mask.reshape(-1), s1.reshape(-1), s2.reshape(-1)

    def _run(self, layer, ins):
        t, p = layer.type, tables.words24(layer)
        x = ins[0]
        in_shape = self.blob_shapes[layer.inputs[0]]
        out_shape = self.blob_shapes[layer.outputs[0]]
        if t in ("LeakyRelu", "Sigmoid", "Activation"):
            return L.activation(x, p[0], L.word_float(p[16]))
        if t in ("Add", "Sub", "Mul", "BinaryOp"):
            op = {"Mul": 2, "Sub": 1}.get(t, p[0])
            return L.binary(x, ins[1], op)
        if t == "Concat":
            if p[0] >= 2 and p[0] != 3:
                raise NotImplementedError("concatenation along columns")
            return torch.cat(ins, 1)
        if t == "Reshape":
            if out_shape[2] == in_shape[2]:
                return x
            return L.from_memory(L.to_memory(x), out_shape[0] * out_shape[1], out_shape[2])
        if t == "TransposeAxis":
            h, w, c = in_shape
            perm = p[0:4]
            if perm[0] != 0:
                raise NotImplementedError("batch axis permutation")
            nhwc = L.to_memory(x).reshape(x.shape[0], h, w, c)
            moved = nhwc.permute(0, perm[1], perm[2], perm[3])
            return L.from_memory(moved.reshape(x.shape[0], -1), out_shape[0] * out_shape[1],
                                 out_shape[2])
        if t in ("Conv", "DepthwiseConv"):
            return self._conv(layer, p, x, in_shape)
        if t == "DepthwiseDeConv":
            self._check_column(p, in_shape)
            return L.deconv_rows_depthwise(x, self.weight(layer.weights[0]), self._bias(layer, x),
                                           p[1], p[4], p[5], p[7], max(p[9], 1))
        if t == "MatMul":
            return self._matmul(layer, p, x, in_shape, out_shape)
        if t == "YnetAppend":
            return L.append_rows(x, self.weight(layer.weights[0]))
        raise NotImplementedError(t)

    @staticmethod
    def _check_column(p, in_shape):
        if p[0] != 1 or in_shape[1] != 1 or p[2] or p[3]:
            raise NotImplementedError("only one-column maps with kernels along the rows")

    def _bias(self, layer, x):
        if len(layer.weights) > 1:
            return self.weight(layer.weights[1])
        return x.new_zeros(self.shapes[layer.weights[0]][0])

    def _conv(self, layer, p, x, in_shape):
        self._check_column(p, in_shape)
        weight = self.weight(layer.weights[0])
        out_channels = self.shapes[layer.weights[0]][0]
        # A plain Conv ignores the group word; DepthwiseConv groups by it.
        groups = max(p[10], 1) if layer.type == "DepthwiseConv" else 1
        weight = weight.reshape(out_channels, in_shape[2] // groups, p[1])
        return L.conv_rows(x, weight, self._bias(layer, x), p[1], p[4], p[5], p[7],
                           max(p[9], 1), groups)

    def _matmul(self, layer, p, x, in_shape, out_shape):
        """A is read as in_shape's w rows of c values, B as the weight's h rows
        of w values. With A transposed the product is stored transposed."""
        _, bh, bw, _ = self.shapes[layer.weights[0]]
        b = self.weight(layer.weights[0]).reshape(bh, bw)
        if p[1]:
            b = b.t()
        a = L.to_memory(x).reshape(x.shape[0], in_shape[1], in_shape[2])
        if p[0]:
            product = torch.matmul(a.transpose(1, 2), b)          # (B, M, N)
            memory = product.transpose(1, 2).reshape(x.shape[0], -1)  # element (m, n) at n*M + m
        else:
            product = torch.matmul(a, b)
            if len(layer.weights) > 1:
                product = product + self.weight(layer.weights[1]).reshape(product.shape[1:])
            memory = product.reshape(x.shape[0], -1)
        return L.from_memory(memory, out_shape[0] * out_shape[1], out_shape[2])

    def _gru(self, layer, seq, state):
        """seq: (B, T, I); the input products of all steps are one matmul.
        Returns the state sequence, the final state and the input products."""
        hidden = tables.words24(layer)[0]
        w_name, r_name, b_name = layer.weights
        w = self.weight(w_name).reshape(3 * hidden, -1)
        r = self.weight(r_name).reshape(3 * hidden, hidden)
        bias = self.weight(b_name)
        gx = torch.matmul(seq, w.t()) + bias[:3 * hidden]
        return (*L.gru_sequence(gx, state, r, bias[3 * hidden:], hidden), gx)

    # Weights ------------------------------------------------------------------
    def load_arrays(self, arrays):
        with torch.no_grad():
            for name, i in self.index.items():
                self.params[i].copy_(torch.as_tensor(np.asarray(arrays[name]).reshape(-1)))

    def arrays(self):
        return {name: self.params[i].detach().cpu().float().numpy() for name, i in self.index.items()}
