"""Results table of an evaluation run: JSON with every number, Markdown with
mean and 10th percentile per scenario category and system."""

import json
import os

import numpy as np

# key: (column title, higher is better)
METRICS = {
    "erle_db": ("ERLE dB", True),
    "erle_seg_db": ("seg. ERLE dB", True),
    "si_sdr_dt_db": ("SI-SDR DT dB", True),
    "si_sdr_nst_db": ("SI-SDR NST dB", True),
    "residual_dt_db": ("residual DT dB", False),
    "stoi": ("STOI", True),
    "convergence_s": ("convergence s", False),
}

# The headline columns: (category, metric, title)
HEADLINE = (("far_single", "erle_db", "ERLE far-end single talk (dB)"),
            ("double_talk", "si_sdr_dt_db", "SI-SDR double talk (dB)"),
            ("double_talk", "residual_dt_db", "residual echo double talk (dB)"),
            ("double_talk", "stoi", "STOI double talk"),
            ("near_single", "si_sdr_nst_db", "SI-SDR near-end single talk (dB)"),
            ("path_change", "convergence_s", "convergence after path change (s)"))


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


def markdown(header, summary):
    lines = ["# Echo-cancellation evaluation (%s set, %d scenes, %s, %s)" %
             (header["set"], header["scenes"], header["date"], header["machine"]), "",
             "Model: weights sha256 %s… (%s)." % (header["model"]["weights_sha256"][:12],
                                                   header["model"]["weights_commit"]), "",
             "Cells: mean / 10th percentile on the bad side (90th for residual and convergence,",
             "where lower is better). DT double talk, NST near-end single talk.",
             "Figures: bars.png (main metrics), before_after.png (one double-talk scene).", "", "Systems:", ""]
    lines += ["- `%s`: %s" % kv for kv in header["systems"].items()]
    lines += ["", "## Summary (means)", ""] + headline(summary, list(header["systems"]))
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
    write_atomic(os.path.join(folder, "results.md"), markdown(header, summary))
    return summary
