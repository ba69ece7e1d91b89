"""Runs every canceller on the evaluation scenes and writes the results table.

Builds nothing: it expects the tool `aec` and the runners eval_speex and
eval_webrtc in the build folder (see the README's evaluation section). The
neural systems run the weight blob that folder embeds, so a training snapshot
is evaluated by configuring a build folder with -DAEC_WEIGHT_BLOB=... and
-DAEC_WEIGHT_MANIFEST=... and pointing --build at it.

    /usr/bin/python3 -m eval.run_eval --out eval/report [--full] [--build build/eval]
"""

import argparse
import concurrent.futures
import hashlib
import json
import os
import platform
import subprocess
import sys
import tempfile
import time

import numpy as np
import soundfile as sf

from . import metrics, plots, report, scenes

HERE = os.path.dirname(os.path.abspath(__file__))

ROOT = os.path.dirname(HERE)
WARMUP_S = 1.0          # far-end single talk before this is left out of ERLE (initial convergence)
MAX_LAG = 8             # samples of output lag tolerated (filter phase) before a warning
SPECTRO_SCENE = "dt_ser0"   # the scene whose spectrograms are drawn
ALIGN_MARGIN_MS = 20    # the oracle delay handed to the MDF runners is this much early

# name: (description, binary relative to the build folder, arguments; {delay} is the oracle delay)
SYSTEMS = {
    "mic": ("unprocessed microphone", None, None),
    "a_mdf": ("speexdsp MDF, 256 ms filter, oracle delay", "eval/eval_speex",
              ["--mode", "mdf", "--filter-ms", "256", "--delay-ms", "{delay}"]),
    "b_mdf_res": ("speexdsp MDF + preprocessor residual echo suppression, oracle delay", "eval/eval_speex",
                  ["--mode", "mdf+res", "--filter-ms", "256", "--delay-ms", "{delay}"]),
    "c_webrtc": ("WebRTC audio processing 0.3 echo canceller, high suppression, extended filter, "
                 "delay-agnostic (delay also reported)", "eval/eval_webrtc", ["--delay-ms", "{delay}"]),
    "d_ours": ("our pipeline, embedded model (aec process)", "tools/aec", ["process"]),
    "e_ours_linear": ("our pipeline, mask forced to 1 (aec process --linear-only)", "tools/aec",
                      ["process", "--linear-only"]),
    "f_ours_linear_oracle": ("as e, with the oracle delay (--delay-ms) like a: should match a", "tools/aec",
                             ["process", "--linear-only", "--delay-ms", "{delay_exact}"]),
    "g_ours_nohold": ("as d, with the far-end silence hold unable to engage (aec process --no-far-end-hold)",
                      "tools/aec", ["process", "--no-far-end-hold"]),
}


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--out", default=os.path.join(HERE, "report"), help="report folder")
    p.add_argument("--build", default=os.path.join(ROOT, "build", "eval"), help="build folder")
    p.add_argument("--full", action="store_true", help="the larger scene set")
    p.add_argument("--smoke", action="store_true", help="three scenes only (CI)")
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--keep-audio", metavar="DIR", help="keep scene and output audio here")
    return p.parse_args()


def check_binaries(build):
    missing = sorted({b for _, b, _ in SYSTEMS.values() if b and not os.access(os.path.join(build, b), os.X_OK)})
    if missing:
        sys.exit("run_eval: missing %s in %s; build them first (README, evaluation section)"
                 % (", ".join(missing), build))


def write_scene(folder, scene):
    os.makedirs(folder, exist_ok=True)
    for key in ("mic", "ref"):
        sf.write(os.path.join(folder, key + ".wav"), scene[key].astype(np.float32), scenes.FS, subtype="FLOAT")


def run_system(build, name, folder, info):
    _, binary, extra = SYSTEMS[name]
    out = os.path.join(folder, name + ".wav")
    if binary is None:
        return os.path.join(folder, "mic.wav"), ""
    delay = max(0, int(info["delay_ms"]) - ALIGN_MARGIN_MS)
    # the pipeline keeps its own 20 ms alignment margin, so it gets the scene's delay itself
    args = [a.replace("{delay}", str(delay)).replace("{delay_exact}", str(int(info["delay_ms"]))) for a in extra]
    io = ["--mic", os.path.join(folder, "mic.wav"), "--ref", os.path.join(folder, "ref.wav"), "--out", out]
    cmd = [os.path.join(build, binary)] + args + io
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError("%s failed on %s: %s" % (name, info["name"], done.stderr.strip().splitlines()[-1:]))
    return out, done.stdout


def lag(out, near, span=400):
    """Samples by which out trails near (cross-correlation peak within span)."""
    c = np.correlate(np.pad(out, (span, span)), near, mode="valid")
    return int(np.argmax(np.abs(c)) - span)


def near_metrics(r, mic, out, near, masks):
    """SI-SDR and SDR (with the distortion allowance) of the near end in double
    talk and near-end single talk; in the latter also the SDR lost against the
    mic and the output's level against the mic's."""
    for tag, mask in (("dt", masks["double"]), ("nst", masks["near_single"])):
        if mask.sum() < 25:
            continue
        r["si_sdr_%s_db" % tag] = metrics.si_sdr(metrics.frames_of(out, mask), metrics.frames_of(near, mask))
        r["sdr_%s_db" % tag] = metrics.sdr(out, near, mask)
    if "sdr_nst_db" in r:
        mask = masks["near_single"]
        r["sdr_drop_nst_db"] = metrics.sdr(mic, near, mask) - r["sdr_nst_db"]
        r["level_nst_db"] = metrics.level_change_db(mic, out, mask)


def scene_metrics(scene, out):
    info = scene["info"]
    n = scene["mic"].size
    mic, near, echo, talk_echo = (metrics.highpass(scene[k]) for k in ("mic", "near", "echo", "talk_echo"))
    out = metrics.highpass(np.pad(out[:n], (0, max(0, n - out.size))))
    lab = metrics.labels(talk_echo, near)
    t = (np.arange(lab["far_single"].size) + 0.5) * metrics.FRAME / metrics.FS
    fst = lab["far_single"] & (t >= WARMUP_S)
    if info["path_change_s"] is not None:
        fst &= t < info["path_change_s"]
    r = {}
    if fst.sum() >= 25:
        r["erle_db"], r["erle_seg_db"] = metrics.erle(mic, out, fst)
    near_metrics(r, mic, out, near, lab)
    if lab["double"].sum() >= 25:
        r["residual_dt_db"] = metrics.residual_echo_db(out, near, echo, lab["double"])
    if near.any():
        start = int((info["near_start_s"] or 0.0) * metrics.FS)
        r["stoi"] = metrics.stoi(near[start:], out[start:])
        r["lag_samples"] = lag(out[start:], near[start:])
    if info["path_change_s"] is not None:
        r["convergence_s"] = metrics.convergence_time(mic, out, metrics.active(talk_echo), info["path_change_s"])
    return r


def evaluate_scene(build, work, index, entry):
    name, category, settings = entry
    scene = scenes.make_scene(index, name, category, settings)
    folder = os.path.join(work, name)
    write_scene(folder, scene)
    rows, notes, outputs = {}, {}, [("clean near end at the mic", scene["near"])]
    for system in SYSTEMS:
        path, stdout = run_system(build, system, folder, scene["info"])
        out, _ = sf.read(path, dtype="float64")
        rows[system] = scene_metrics(scene, out)
        outputs.append((system, out))
        if system == "d_ours":
            notes = {line.split(":", 1)[0].strip(): line.split(":", 1)[1].strip()
                     for line in stdout.splitlines() if ":" in line}
    spectro = ("scene %s: %s" % (name, json.dumps({k: scene["info"][k] for k in ("room", "delay_ms", "ser_db")})),
               outputs) if name.startswith(SPECTRO_SCENE) else None
    return {"info": scene["info"], "metrics": rows, "aec_summary": notes}, spectro


def machine():
    try:
        with open("/proc/cpuinfo") as f:
            name = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        name = platform.machine()
    return "%s, %d cores" % (name, os.cpu_count() or 1)


def embedded_blob(build):
    """The weight blob the build embeds (AEC_WEIGHT_BLOB in its CMake cache)."""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            return next(line.split("=", 1)[1].strip() for line in f if line.startswith("AEC_WEIGHT_BLOB:"))
    except (OSError, StopIteration):
        sys.exit("run_eval: %s has no CMake cache naming AEC_WEIGHT_BLOB; is it a build folder?" % build)


def model_description(build):
    path = embedded_blob(build)
    with open(path, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    committed = os.path.join(ROOT, "model", "weights.f16")
    if os.path.exists(committed) and os.path.samefile(path, committed):
        log = subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%h %cs %s", "--", "model/weights.f16"],
                             capture_output=True, text=True).stdout.strip()
    else:
        log = "trial blob %s" % path
    return {"weights_sha256": digest, "weights_commit": log}


def main():
    args = parse_args()
    build = os.path.abspath(args.build)
    check_binaries(build)
    model = model_description(build)
    entries = scenes.full_set() if args.full else scenes.SMOKE_SET if args.smoke else scenes.DEFAULT_SET
    started = time.time()
    with tempfile.TemporaryDirectory() as tmp:
        work = os.path.abspath(args.keep_audio) if args.keep_audio else tmp
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            futures = [pool.submit(evaluate_scene, build, work, i, e) for i, e in enumerate(entries)]
            results, spectro = [], None
            for f in futures:
                result, drawn = f.result()
                results.append(result)
                spectro = spectro or drawn
                print("%-22s done" % result["info"]["name"], flush=True)
    header = {"date": time.strftime("%Y-%m-%d", time.gmtime()), "machine": machine(),
              "set": "full" if args.full else "smoke" if args.smoke else "default", "scenes": len(results),
              "seconds": round(time.time() - started, 1), "jobs": args.jobs, "model": model,
              "systems": {k: v[0] for k, v in SYSTEMS.items()}}
    lagging = sorted({"%s %+d" % (s, m["lag_samples"]) for r in results for s, m in r["metrics"].items()
                      if abs(m.get("lag_samples", 0)) > MAX_LAG})
    if lagging:
        print("run_eval: warning: outputs not aligned with the mic: %s" % ", ".join(lagging))
    summary = report.write(args.out, header, results)
    plots.write(args.out, summary, list(SYSTEMS), spectro)
    print("written: %s" % os.path.join(args.out, "results.md"))


if __name__ == "__main__":
    main()
