import os
import subprocess

import numpy as np
import pytest
import soundfile as sf

from eval import metrics, report

BUILD = os.environ.get("EVAL_BUILD", "")
RUNNERS = {"eval_speex": ["--mode", "mdf"], "eval_webrtc": []}


def runner(name):
    path = os.path.join(BUILD, "eval", name)
    if not os.access(path, os.X_OK):
        pytest.skip("%s not built (EVAL_BUILD=%r)" % (name, BUILD))
    return path


def echo_files(tmp_path, delay):
    rng = np.random.default_rng(7)
    n = 5 * 16000
    ref = 0.1 * rng.standard_normal(n)
    h = np.zeros(800)
    h[[delay, delay + 90, delay + 400]] = (0.5, -0.2, 0.1)
    mic = np.convolve(ref, h)[:n] + 1e-4 * rng.standard_normal(n)
    sf.write(tmp_path / "mic.wav", mic.astype(np.float32), 16000, subtype="FLOAT")
    sf.write(tmp_path / "ref.wav", ref.astype(np.float32), 16000, subtype="FLOAT")
    return mic


@pytest.mark.parametrize("name", sorted(RUNNERS))
def test_runner_cancels_a_known_echo_and_refuses_bad_input(tmp_path, name):
    binary = runner(name)
    mic = echo_files(tmp_path, 300)
    io = ["--mic", str(tmp_path / "mic.wav"), "--ref", str(tmp_path / "ref.wav"), "--out", str(tmp_path / "o.wav")]
    subprocess.run([binary] + RUNNERS[name] + ["--delay-ms", "10"] + io, check=True, capture_output=True)
    out, rate = sf.read(tmp_path / "o.wav")
    assert rate == 16000 and out.size == mic.size
    late = np.arange(mic.size // metrics.FRAME) >= 150      # after 3 s
    assert metrics.erle(mic, out, late)[0] > 15
    (tmp_path / "bad.wav").write_text("not audio")
    for args in (["--mic", str(tmp_path / "bad.wav")] + io[2:], io + ["--delay-ms", "x"], io[:4]):
        done = subprocess.run([binary] + args, capture_output=True, text=True)
        assert done.returncode != 0 and done.stderr.count("\n") == 1
    assert sorted(os.listdir(tmp_path)) == ["bad.wav", "mic.wav", "o.wav", "ref.wav"]


def test_summary_mean_and_bad_side_percentile():
    def scene(cat, erle, residual):
        return {"info": {"category": cat}, "metrics": {"x": {"erle_db": erle, "residual_dt_db": residual}}}
    results = [scene("a", v, -v) for v in (1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0, float("nan"))]
    results.append({"info": {"category": "b"}, "metrics": {"x": {}}})
    t = report.table(results, ["x"])
    assert t["a"]["scenes"] == 11 and t["b"]["systems"]["x"] == {}
    assert t["a"]["systems"]["x"]["erle_db"] == pytest.approx((5.5, 1.9))       # 10th percentile
    assert t["a"]["systems"]["x"]["residual_dt_db"] == pytest.approx((-5.5, -1.9))  # 90th: lower is better


def test_targets_compare_with_the_best_mean_and_pair_floor_twins():
    def scene(cat, ser, seed, d, g, a, b, floor=None, twin=False):
        info = {"category": cat, "ser_db": ser, "seed": seed, "name": "s%d" % seed, "far_floor": floor}
        if twin:
            info["seed_index"] = 0
        rows = {"d_ours": {"sdr_dt_db": d}, "g_ours_nohold": {"sdr_dt_db": g}, "a_mdf": {"sdr_dt_db": a},
                "b_mdf_res": {"sdr_dt_db": b}, "c_webrtc": {"sdr_dt_db": -5.0}, "e_ours_linear": {"sdr_dt_db": d}}
        return {"info": info, "metrics": rows}
    results = [scene("double_talk", -5.0, 1, 10.0, 9.0, 8.0, 4.0), scene("double_talk", 0.0, 2, 12.0, 12.0, 6.0, 9.0),
               scene("double_talk_floor", 0.0, 2, 11.0, 10.0, 6.0, 9.0, ("pink", -60.0), True),
               scene("double_talk", 15.0, 3, 30.0, 30.0, 0.0, 0.0)]
    low = report.CRITERIA[4]
    assert "SER -10..+5" in low[0]
    # d: mean 11; best classical mean: a 6.67 against b 7.33 and c -5
    n, mean, per_scene = report.criterion(results, low[1], low[2], "d_ours", low[4])
    assert n == 3 and mean == pytest.approx(11.0 - 22.0 / 3)
    np.testing.assert_allclose(per_scene, [2.0, 3.0, 2.0])
    assert report.met(low[5], low[6], mean) and not report.met("|x|<=", 1.0, -1.1)
    lines = report.criteria(results)
    assert any("SER -10..+5" in line and "d_ours | 3 | 3.67 | 2.00 | >= 3 | yes" in line for line in lines)
    assert any("SER >= +10" in line and "g_ours_nohold | 1 | 0.00 | 0.00" in line for line in lines)
    assert any(line.startswith("| far-end single talk: ERLE (dB) | d_ours | 0 |") for line in lines)
    pairs = report.twin_pairs(results)
    assert len(pairs) == 3 and pairs[2].startswith("| s2 | pink -60 dBFS | SDR DT dB | 12.00 / 11.00 | 12.00 / 10.00")


def test_model_is_the_blob_the_build_embeds(tmp_path):
    import hashlib
    from eval import run_eval
    blob = tmp_path / "snap.f16"
    blob.write_bytes(b"\x01\x02trial")
    (tmp_path / "CMakeCache.txt").write_text("X:BOOL=ON\nAEC_WEIGHT_BLOB:FILEPATH=%s\n" % blob)
    model = run_eval.model_description(str(tmp_path))
    assert model == {"weights_sha256": hashlib.sha256(b"\x01\x02trial").hexdigest(),
                     "weights_commit": "trial blob %s" % blob}
    with pytest.raises(SystemExit, match="no CMake cache"):
        run_eval.model_description(str(tmp_path / "missing"))
