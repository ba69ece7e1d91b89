"""Results table of an evaluation run: JSON with every number, Markdown with
mean and 10th percentile per scenario category and system."""

import json
import os

import numpy as np

# key: (column title, higher is better)
METRICS = {
    "erle_db": ("ERLE dB", True),
    "erle_seg_db": ("seg. ERLE dB", True),
    "sdr_dt_db": ("SDR DT dB", True),
    "si_sdr_dt_db": ("SI-SDR DT dB", True),
    "sdr_nst_db": ("SDR NST dB", True),
    "si_sdr_nst_db": ("SI-SDR NST dB", True),
    "sdr_drop_nst_db": ("SDR drop NST dB", False),
    "level_nst_db": ("level NST dB", True),
    "residual_dt_db": ("residual DT dB", False),
    "stoi": ("STOI", True),
    "convergence_s": ("convergence s", False),
}

# The headline columns: (category, metric, title)
HEADLINE = (("far_single", "erle_db", "ERLE far-end single talk (dB)"),
            ("double_talk", "sdr_dt_db", "SDR double talk (dB)"),
            ("double_talk", "si_sdr_dt_db", "SI-SDR double talk (dB)"),
            ("double_talk", "stoi", "STOI double talk"),
            ("near_floor", "sdr_drop_nst_db", "SDR drop near end alone, far floor (dB)"),
            ("near_floor", "level_nst_db", "level near end alone, far floor (dB)"),
            ("near_single", "sdr_drop_nst_db", "SDR drop near end alone, silent far end (dB)"),
            ("path_change", "convergence_s", "convergence after path change (s)"))

DOUBLE_TALK = ("double_talk", "double_talk_high_ser", "double_talk_floor")
NEURAL = ("d_ours", "g_ours_nohold")
LINEAR = ("e_ours_linear", "f_ours_linear_oracle")
CLASSICAL = ("a_mdf", "b_mdf_res", "c_webrtc")


def _in(categories, ser=None):
    def select(info):
        return info["category"] in categories and (ser is None or ser[0] <= info["ser_db"] <= ser[1])
    return select


# The targets: (what, scene selector, metric, systems, compared with (best mean of), rule, bound).
# rule ">=" and "<=" bound the value, "|x|<=" its magnitude.
CRITERIA = (
    ("near end alone, far floor: SDR drop vs mic (dB)", _in(("near_floor",)), "sdr_drop_nst_db", NEURAL, (),
     "<=", 1.0),
    ("near end alone, far floor: level change (dB)", _in(("near_floor",)), "level_nst_db", NEURAL, (), "|x|<=", 1.0),
    ("near end alone, silent far end: SDR drop vs mic (dB)", _in(("near_single",)), "sdr_drop_nst_db", NEURAL, (),
     "<=", 1.0),
    ("double talk SER >= +10: SDR vs linear-only e (dB)", _in(DOUBLE_TALK, (10.0, 99.0)), "sdr_dt_db", NEURAL,
     ("e_ours_linear",), ">=", -1.0),
    ("double talk SER -10..+5: SDR vs best classical (dB)", _in(DOUBLE_TALK, (-10.0, 5.0)), "sdr_dt_db", NEURAL,
     CLASSICAL, ">=", 3.0),
    ("far-end single talk: ERLE (dB)", _in(("far_single", "far_single_floor")), "erle_db", NEURAL, (), ">=", 40.0),
    ("far-end single talk: ERLE vs plain MDF a, true delay (dB)", _in(("far_single", "far_single_floor")),
     "erle_db", LINEAR, ("a_mdf",), ">=", -0.5),
    ("double talk: SDR vs plain MDF a, true delay (dB)", _in(DOUBLE_TALK), "sdr_dt_db", LINEAR, ("a_mdf",),
     ">=", -0.5),
)


def met(rule, bound, value):
    return {">=": value >= bound, "<=": value <= bound, "|x|<=": abs(value) <= bound}[rule]


def criterion(results, select, key, system, versus):
    """(scene count, mean, worst scene) of the system's metric less the best
    mean among versus (per scene: less the best of versus in that scene)."""
    rows = [r["metrics"] for r in results if select(r["info"])]
    rows = [m for m in rows if all(key in m.get(s, {}) for s in (system,) + tuple(versus))]
    if not rows:
        return None
    own = np.array([m[system][key] for m in rows])
    if not versus:
        return len(rows), float(own.mean()), own
    best = max(np.mean([m[v][key] for m in rows]) for v in versus)
    per_scene = own - np.array([max(m[v][key] for v in versus) for m in rows])
    return len(rows), float(own.mean() - best), per_scene


def criteria(results):
    """Markdown table of the targets, one row per criterion and system."""
    lines = ["| target | system | scenes | mean | worst scene | bound | met |", "|---|---|---|---|---|---|---|"]
    for what, select, key, systems, versus, rule, bound in CRITERIA:
        for system in systems:
            got = criterion(results, select, key, system, versus)
            if got is None:
                lines.append("| %s | %s | 0 | – | – | %s %g | – |" % (what, system, rule, bound))
                continue
            n, mean, per_scene = got
            worst = per_scene[np.argmax(np.abs(per_scene))] if rule == "|x|<=" else (
                per_scene.max() if rule == "<=" else per_scene.min())
            lines.append("| %s | %s | %d | %.2f | %.2f | %s %g | %s |" % (
                what, system, n, mean, worst, rule.replace("x", "mean"), bound, "yes" if met(rule, bound, mean)
                else "**no**"))
    return lines


def headline(summary, systems):
    """Markdown table: one row per system, the HEADLINE means."""
    lines = ["| system | " + " | ".join(h[2] for h in HEADLINE) + " |", "|---" * (len(HEADLINE) + 1) + "|"]
    for s in systems:
        cells = []
        for cat, key, _ in HEADLINE:
            v = summary.get(cat, {}).get("systems", {}).get(s, {}).get(key)
            cells.append("%.2f" % v[0] if v else "–")
        lines.append("| %s | %s |" % (s, " | ".join(cells)))
    return lines


def summarise(values, higher_better):
    """(mean, 10th percentile on the bad side) of the finite values, or None."""
    v = np.array([x for x in values if x is not None and np.isfinite(x)])
    if v.size == 0:
        return None
    return float(np.mean(v)), float(np.percentile(v, 10 if higher_better else 90))


def table(results, systems):
    """{category: {system: {metric: (mean, p10)}}} plus the scene count per category."""
    cats = {}
    for r in results:
        cats.setdefault(r["info"]["category"], []).append(r)
    out = {}
    for cat, rs in cats.items():
        out[cat] = {"scenes": len(rs), "systems": {}}
        for s in systems:
            row = {}
            for key, (_, hb) in METRICS.items():
                got = summarise([r["metrics"][s].get(key) for r in rs], hb)
                if got is not None:
                    row[key] = got
            out[cat]["systems"][s] = row
    return out


# The metric a pair of scenes (silent far end, far floor) is compared on, by the floor twin's category.
TWIN_METRIC = {"far_single_floor": "erle_db", "near_floor": "sdr_drop_nst_db", "double_talk_floor": "sdr_dt_db"}


def twin_pairs(results):
    """Markdown rows: each scene run with a far floor beside the same scene with a silent far end."""
    by_seed = {r["info"]["seed"]: r for r in results if not r["info"].get("far_floor")}
    lines = ["| scene | far floor | metric | " + " | ".join("%s silent / floor" % s for s in NEURAL + LINEAR[:1]) +
             " |", "|---|---|---|" + "---|" * (len(NEURAL) + 1)]
    for r in results:
        info, key = r["info"], TWIN_METRIC.get(r["info"]["category"])
        base = by_seed.get(info["seed"]) if "seed_index" in info else None
        if base is None or key is None:
            continue
        cells = ["%.2f / %.2f" % (base["metrics"][s].get(key, np.nan), r["metrics"][s].get(key, np.nan))
                 for s in NEURAL + LINEAR[:1]]
        lines.append("| %s | %s %g dBFS | %s | %s |" % (base["info"]["name"], info["far_floor"][0],
                                                      info["far_floor"][1], METRICS[key][0], " | ".join(cells)))
    return lines if len(lines) > 2 else []


TRIAL_COMMAND = ("cmake -S . -B build/trial -DCMAKE_BUILD_TYPE=Release -DYNET_TESTS=OFF -DYNET_BENCH=OFF "
                 "-DAEC_WEIGHT_BLOB=$PWD/snap.f16 -DAEC_WEIGHT_MANIFEST=$PWD/snap_manifest.json && "
                 "cmake --build build/trial -j2 --target aec eval_speex eval_webrtc && "
                 "/usr/bin/python3 -m eval.run_eval --build build/trial --out /tmp/eval-trial")


def markdown(header, summary, results):
    lines = ["# Echo-cancellation evaluation (%s set, %d scenes, %s, %s)" %
             (header["set"], header["scenes"], header["date"], header["machine"]), "",
             "Run time %.0f s with %d job(s)." % (header["seconds"], header["jobs"]), "",
             "Model: weights sha256 %s… (%s)." % (header["model"]["weights_sha256"][:12],
                                                   header["model"]["weights_commit"]), "",
             "A trial blob (snapshot) is evaluated from a build folder of its own:", "",
             "    " + TRIAL_COMMAND, "",
             "Cells: mean / 10th percentile on the bad side (90th where lower is better).",
             "DT double talk, NST near-end single talk. SDR allows a 256-tap linear distortion",
             "filter (DC notch, mild equalisation); SI-SDR allows only a gain. SDR drop: the mic's",
             "SDR less the output's; level: output over mic power. Both in near-end single-talk frames.",
             "Figures: bars.png (main metrics), before_after.png (one double-talk scene).", "", "Systems:", ""]
    lines += ["- `%s`: %s" % kv for kv in header["systems"].items()]
    lines += ["", "## Targets", ""] + criteria(results)
    lines += ["", "## Summary (means)", ""] + headline(summary, list(header["systems"]))
    pairs = twin_pairs(results)
    if pairs:
        lines += ["", "## The same scenes with a silent far end and with a far floor", ""] + pairs
    for cat, block in summary.items():
        keys = [k for k in METRICS if any(k in row for row in block["systems"].values())]
        lines += ["", "## %s (%d scenes)" % (cat, block["scenes"]), "",
                  "| system | " + " | ".join(METRICS[k][0] for k in keys) + " |",
                  "|---" * (len(keys) + 1) + "|"]
        for s, row in block["systems"].items():
            cells = ["%.2f / %.2f" % row[k] if k in row else "–" for k in keys]
            lines.append("| %s | %s |" % (s, " | ".join(cells)))
    return "\n".join(lines) + "\n"


def write_atomic(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def write(folder, header, results):
    os.makedirs(folder, exist_ok=True)
    summary = table(results, list(header["systems"]))
    write_atomic(os.path.join(folder, "results.json"),
                 json.dumps({"header": header, "summary": summary, "scenes": results}, indent=1) + "\n")
    write_atomic(os.path.join(folder, "results.md"), markdown(header, summary, results))
    return summary
