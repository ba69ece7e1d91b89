"""Trains the mask network on the generated scenes.

    MALLOC_MMAP_THRESHOLD_=1000000000000 MALLOC_TRIM_THRESHOLD_=100000000000 \
    nohup /usr/bin/python3 training/train.py --resume >> training/checkpoints/train.out 2>&1 &

(the malloc settings keep freed activation memory in the process instead of
returning it to the system after every step, which costs much system time).

Checkpoint (model, optimiser, data streams, RNG): training/checkpoints/last.pt,
overwritten every --checkpoint-min minutes; --resume continues from it.
Logs: training/results/train_log.csv (per interval), valid_log.csv (per
validation); the best validated weights go to training/checkpoints/best.npz.
"""

import argparse
import csv
import glob
import json
import os
import sys
import time

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from aecnet import dataset, init, objective, streams, tables  # noqa: E402
from aecnet.model import EchoNet  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
INIT_SEED = 20261206


def half_rounded(arrays):
    return {k: np.asarray(v, np.float16).astype(np.float32) for k, v in arrays.items()}


def make_model(init_npz=None):
    model = EchoNet()
    if init_npz:
        with np.load(init_npz) as z:
            model.load_arrays({k: z[k] for k in z.files})
    else:
        model.load_arrays(half_rounded(init.initial_arrays(INIT_SEED)))
    return model


def recurrent_path():
    """Weights whose layers reach the mask only through the GRUs (the reference
    side of the encoder, the bottleneck, the GRUs), and the matrix reading
    the GRUs. While the GRUs sat saturated none of these learnt anything, so
    after unsaturate_gru.py they start from their initial values."""
    producer = {b: layer for layer in tables.LAYERS for b in layer.outputs}
    direct, todo = set(), ["mask"]
    while todo:
        blob = todo.pop()
        layer = producer.get(blob)
        if blob in direct or (layer and layer.type == "GRU"):
            continue
        direct.add(blob)
        todo += list(layer.inputs) if layer else []
    behind = [layer for layer in tables.LAYERS if layer.outputs[0] not in direct]
    reader = [layer for layer in tables.LAYERS if any(producer.get(b) in behind for b in layer.inputs)
              and layer.outputs[0] in direct]
    return {w for layer in behind + reader for w in layer.weights}


def param_groups(model, lr, recurrent_lr):
    if not recurrent_lr:
        return [{"params": list(model.parameters()), "lr": lr}]
    fast = {model.index[n] for n in recurrent_path()}
    return [{"params": [p for i, p in enumerate(model.params) if i not in fast], "lr": lr},
            {"params": [model.params[i] for i in sorted(fast)], "lr": recurrent_lr}]


def train_step(model, opt, batch, states, clip):
    model.keep = objective.ALIVE_BLOBS + objective.GATE_BLOBS
    mask, s1, s2 = model(batch["a"], batch["b"], *states)
    model.keep = ()
    loss = objective.loss(mask, batch["e"], batch["target"], batch["flags"])
    opt.zero_grad()
    (loss + objective.alive_penalty(model.kept) + objective.gate_penalty(model.kept)).backward()
    model.kept = {}
    torch.nn.utils.clip_grad_norm_(model.parameters(), clip)
    opt.step()
    return float(loss), s1, s2


def validate(model, paths, chunk=200, group=8):
    """Loss and measures over whole validation scenes, states carried."""
    total, loss_sum, frames = {}, 0.0, 0
    with torch.no_grad():
        for g in range(0, len(paths), group):
            scenes = [dataset.load_scene(p) for p in paths[g:g + group]]
            length = min(s["level"].shape[0] for s in scenes)
            states = [torch.zeros(len(scenes), 128), torch.zeros(len(scenes), 128)]
            for start in range(0, length - chunk + 1, chunk):
                b = streams.stack([streams.to_tensors(s, start, chunk) for s in scenes])
                mask, *states = model(b["a"], b["b"], *states)
                n = mask.shape[0] * mask.shape[1]
                loss_sum += float(objective.loss(mask, b["e"], b["target"], b["flags"])) * n
                frames += n
                for k, v in objective.sums(mask, b["e"], b["target"], b["flags"]).items():
                    total[k] = total.get(k, 0.0) + v
    return {"loss": loss_sum / frames, **objective.measures(total)}


def append_csv(path, row):
    new = not os.path.exists(path)
    with open(path, "a", newline="") as f:
        w = csv.DictWriter(f, fieldnames=list(row))
        if new:
            w.writeheader()
        w.writerow(row)


def save_atomic(obj, path):
    torch.save(obj, path + ".tmp")
    os.replace(path + ".tmp", path)


def save_arrays(model, path):
    tmp = path + ".tmp.npz"
    np.savez_compressed(tmp, **{k: v.astype(np.float16) for k, v in model.arrays().items()})
    os.replace(tmp, path)


def parse():
    ap = argparse.ArgumentParser()
    ap.add_argument("--data", default=os.path.join(HERE, "data"))
    ap.add_argument("--checkpoints", default=os.path.join(HERE, "checkpoints"))
    ap.add_argument("--results", default=os.path.join(HERE, "results"))
    ap.add_argument("--resume", action="store_true")
    ap.add_argument("--init", help="start from an .npz of arrays instead of the seeded init")
    ap.add_argument("--batch", type=int, default=4)
    ap.add_argument("--chunk", type=int, default=100)
    ap.add_argument("--lr", type=float, help="learning rate (default 1e-3; on --resume the checkpoint's unless given)")
    ap.add_argument("--recurrent-lr", type=float,
                    help="own rate for the GRUs and the matrix after them (kept on --resume unless given)")
    ap.add_argument("--clip", type=float, default=5.0)
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--steps", type=int, default=10 ** 9)
    ap.add_argument("--hours", type=float, default=1e9)
    ap.add_argument("--log-steps", type=int, default=20)
    ap.add_argument("--checkpoint-min", type=float, default=5.0)
    ap.add_argument("--valid-min", type=float, default=30.0)
    ap.add_argument("--valid-count", type=int, default=24)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--near-keep", type=float, default=objective.NEAR_KEEP_WEIGHT,
                    help="weight of the mask's own attenuation of an active near end")
    ap.add_argument("--keep-by-energy", action="store_true",
                    help="weigh that attenuation per bin by the talker's energy there")
    return ap.parse_args()


class Trainer:
    def __init__(self, args):
        self.args = args
        torch.set_num_threads(args.threads)
        torch.manual_seed(args.seed)
        objective.NEAR_KEEP_WEIGHT = args.near_keep
        objective.KEEP_BY_ENERGY = args.keep_by_energy
        os.makedirs(args.checkpoints, exist_ok=True)
        os.makedirs(args.results, exist_ok=True)
        self.model = make_model(args.init)
        self.opt = torch.optim.Adam(param_groups(self.model, args.lr or 1e-3, args.recurrent_lr))
        self.streams = streams.Streams(os.path.join(args.data, "train"), args.batch, args.chunk, args.seed)
        self.valid = sorted(glob.glob(os.path.join(args.data, "valid", "*.npz")))[:args.valid_count]
        self.ckpt = os.path.join(args.checkpoints, "last.pt")
        self.meta = {"step": 0, "frames": 0, "train_seconds": 0.0, "best": None, "untrained": None}
        if args.resume and os.path.exists(self.ckpt):
            self.load()

    def load(self):
        c = torch.load(self.ckpt)
        self.model.load_state_dict(c["model"])
        recurrent_lr = self.args.recurrent_lr or c["args"].get("recurrent_lr")
        self.opt = torch.optim.Adam(param_groups(self.model, 1e-3, recurrent_lr))
        self.opt.load_state_dict(c["opt"])
        for group, lr in zip(self.opt.param_groups, (self.args.lr, self.args.recurrent_lr)):
            group["lr"] = lr or group["lr"]
        self.streams.load_state_dict(c["streams"])
        torch.set_rng_state(c["torch_rng"])
        self.meta = c["meta"]
        print("resumed at step %d (%.2f h)" % (self.meta["step"], self.meta["train_seconds"] / 3600), flush=True)

    def save(self):
        save_atomic({"model": self.model.state_dict(), "opt": self.opt.state_dict(),
                     "streams": self.streams.state_dict(), "torch_rng": torch.get_rng_state(),
                     "meta": self.meta, "args": vars(self.args)}, self.ckpt)

    def run_validation(self):
        if not self.valid:
            return
        t0 = time.time()
        if self.meta["untrained"] is None:
            self.meta["untrained"] = validate(make_model(self.args.init), self.valid)
        v = self.meta["untrained"] if self.meta["step"] == 0 else validate(self.model, self.valid)
        row = {"step": self.meta["step"], "frames": self.meta["frames"],
               "hours": round(self.meta["train_seconds"] / 3600, 3), **v}
        append_csv(os.path.join(self.args.results, "valid_log.csv"), row)
        if self.meta["best"] is None or v["loss"] < self.meta["best"]["loss"]:
            self.meta["best"] = row
            save_arrays(self.model, os.path.join(self.args.checkpoints, "best.npz"))
        with open(os.path.join(self.args.results, "summary.json"), "w") as f:
            json.dump({k: self.meta[k] for k in ("step", "frames", "train_seconds", "best", "untrained")},
                      f, indent=1)
        print("valid %s (%.0fs)" % (json.dumps(row), time.time() - t0), flush=True)

    def loop(self):
        a = self.args
        last_ckpt = last_valid = time.time()
        acc, t_int, n_int = 0.0, time.time(), 0
        start_seconds = self.meta["train_seconds"]
        t_start = time.time()
        if self.meta["step"] == 0:
            self.run_validation()
        while self.meta["step"] < a.steps and self.meta["train_seconds"] < a.hours * 3600:
            batch, states = self.streams.next()
            loss, s1, s2 = train_step(self.model, self.opt, batch, states, a.clip)
            self.streams.carry(s1, s2)
            self.meta["step"] += 1
            self.meta["frames"] += a.batch * a.chunk
            self.meta["train_seconds"] = start_seconds + time.time() - t_start
            acc, n_int = acc + loss, n_int + 1
            if self.meta["step"] % a.log_steps == 0:
                dt = time.time() - t_int
                append_csv(os.path.join(a.results, "train_log.csv"),
                           {"step": self.meta["step"], "frames": self.meta["frames"],
                            "hours": round(self.meta["train_seconds"] / 3600, 4),
                            "loss": round(acc / n_int, 6),
                            "frames_per_s": round(n_int * a.batch * a.chunk / dt, 1),
                            "scenes": len(self.streams.paths)})
                acc, t_int, n_int = 0.0, time.time(), 0
                self.streams.rescan()
            if time.time() - last_valid > a.valid_min * 60:
                self.run_validation()
                last_valid = time.time()
            if time.time() - last_ckpt > a.checkpoint_min * 60:
                self.save()
                last_ckpt = time.time()
        self.save()
        self.run_validation()


def main():
    Trainer(parse()).loop()


if __name__ == "__main__":
    main()
