"""One-frame exports of the PyTorch mirror for the peers in perf_report:
an ONNX graph (ONNX Runtime) and a traced, frozen TorchScript module
(LibTorch). Inputs: window A and B (12 x 513 each), state 469 and 493
(128 each); outputs: mask (513) and both states, so a driver feeds the
states back frame after frame.

  export_peers.py WEIGHTS.f16 OUT.onnx OUT.pt"""

import os
import sys

import torch

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "training"))
from aecnet import blob, frame, golden  # noqa: E402


class OneFrame(torch.nn.Module):
    def __init__(self, net):
        super().__init__()
        self.net = net

    def forward(self, window_a, window_b, state1, state2):
        return self.net.step(window_a, window_b, state1, state2)


def main(argv):
    if len(argv) != 4:
        sys.exit("usage: export_peers.py WEIGHTS.f16 OUT.onnx OUT.pt")
    net = OneFrame(golden.mirror_from_blob(blob.read(argv[1]), torch.float32)).eval()
    window = torch.zeros(frame.WINDOW_ROWS, frame.BINS)
    state = torch.zeros(frame.STATE_SIZE)
    example = (window, window.clone(), state, state.clone())
    with torch.no_grad():
        torch.onnx.export(net, example, argv[2], opset_version=13,
                          input_names=["window_a", "window_b", "state1", "state2"],
                          output_names=["mask", "state1_out", "state2_out"])
        traced = torch.jit.optimize_for_inference(torch.jit.freeze(torch.jit.trace(net, example)))
        traced.save(argv[3])


if __name__ == "__main__":
    main(sys.argv)
