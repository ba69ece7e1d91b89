"""Batches of consecutive chunks: B streams each walk through a scene chunk
by chunk with the GRU states carried from chunk to chunk (detached), and
start the next random scene from zero states, as the filter does in use."""

import glob
import os

import numpy as np
import torch

from . import dataset, frame


def to_tensors(scene, start, length):
    feats = dataset.expand(scene, start, length)
    return {"a": torch.from_numpy(feats[:, :frame.WINDOW_ROWS].copy()),
            "b": torch.from_numpy(feats[:, frame.WINDOW_B_ROW:].copy()),
            "e": torch.from_numpy(np.asarray(scene["e"][start:start + length], np.float32)),
            "target": torch.from_numpy(np.asarray(scene["target"][start:start + length], np.float32)),
            "flags": torch.from_numpy(scene["flags"][start:start + length].copy())}


def stack(chunks):
    return {k: torch.stack([c[k] for c in chunks]) for k in chunks[0]}


class Streams:
    def __init__(self, data_dir, batch, chunk, seed):
        self.data_dir, self.batch, self.chunk = data_dir, batch, chunk
        self.rng = np.random.default_rng(seed)
        self.paths = []
        self.rescan()
        self.current = [None] * batch      # (path, next start)
        self.states = [torch.zeros(batch, frame.STATE_SIZE), torch.zeros(batch, frame.STATE_SIZE)]
        self.cache = {}

    def rescan(self):
        self.paths = sorted(glob.glob(os.path.join(self.data_dir, "*.npz")))
        if not self.paths:
            raise SystemExit("no scenes in %s (run gen_scenes.py)" % self.data_dir)

    def _scene(self, path):
        if path not in self.cache:
            if len(self.cache) >= 2 * self.batch:
                self.cache.pop(next(iter(self.cache)))
            self.cache[path] = dataset.load_scene(path)
        return self.cache[path]

    def next(self):
        """The next batch and the states to start it from."""
        chunks = []
        for i in range(self.batch):
            cur = self.current[i]
            if cur is None or cur[1] + self.chunk > self._scene(cur[0])["level"].shape[0]:
                cur = (str(self.rng.choice(self.paths)), 0)
                for s in self.states:
                    s[i] = 0.0
            chunks.append(to_tensors(self._scene(cur[0]), cur[1], self.chunk))
            self.current[i] = (cur[0], cur[1] + self.chunk)
        return stack(chunks), [s.clone() for s in self.states]

    def carry(self, s1, s2):
        self.states = [s1.detach().clone(), s2.detach().clone()]

    def state_dict(self):
        return {"rng": self.rng.bit_generator.state, "current": self.current,
                "states": self.states}

    def load_state_dict(self, d):
        self.rng.bit_generator.state = d["rng"]
        self.current = d["current"]
        self.states = d["states"]
