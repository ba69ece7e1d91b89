"""The Dask example (python/examples/dask_batch.py) on local clusters: each
output equals ynet_aec.process on its file, failed files are reported and
counted without stopping the others, re-runs skip finished outputs, and no
file the user had is lost or left half written."""
import importlib.util
import os
import subprocess
import sys

import numpy as np
import pytest
import soundfile

from echo_scene import scene, ynet_aec

pytest.importorskip("distributed")
from distributed import LocalCluster  # noqa: E402

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python", "examples",
                       "dask_batch.py")
RATE = 16000


def write_pair(folder, name, seed):
    mic, ref = scene(RATE, seconds=2.0, delay_ms=20 + 10 * seed, seed=seed)
    for kind, x in (("mic", mic), ("ref", ref)):
        soundfile.write(folder / ("%s_%s.wav" % (name, kind)), x, RATE, subtype="FLOAT")


def expected(folder, name):
    mic, _ = soundfile.read(folder / (name + "_mic.wav"), dtype="float32")
    ref, _ = soundfile.read(folder / (name + "_ref.wav"), dtype="float32")
    return ynet_aec.process(mic, ref, RATE)


def output(path):
    out, rate = soundfile.read(path, dtype="float32")
    assert rate == RATE
    return out


def run_script(*args):
    env = dict(os.environ, PYTHONPATH=os.environ["YNET_AEC_MODULE_DIR"])
    return subprocess.run([sys.executable, EXAMPLE, *map(str, args)], capture_output=True, text=True, env=env,
                          timeout=300)


def load_example():
    spec = importlib.util.spec_from_file_location("dask_batch", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def hidden(folder):
    return [n for n in os.listdir(folder) if n.startswith(".")]


def test_folder_on_local_threads_reports_failures_skips_finished_and_keeps_user_files(tmp_path):
    src, out = tmp_path / "in", tmp_path / "out"
    src.mkdir()
    for seed, name in enumerate("abc"):
        write_pair(src, name, seed)
    write_pair(src, "d", 3)
    (src / "d_ref.wav").unlink()                 # a mic without its far end
    write_pair(src, "e", 4)
    (src / "e_mic.wav").write_text("not audio")  # an unreadable mic

    first = run_script(src, "--out-dir", out, "--jobs", 2)
    assert first.returncode == 1, first.stderr
    for name in "abc":
        np.testing.assert_array_equal(output(out / (name + "_out.wav")), expected(src, name))
    assert sorted(os.listdir(out)) == ["a_out.wav", "b_out.wav", "c_out.wav"]
    assert "5 files: 3 done, 0 skipped, 2 failed" in first.stdout, first.stdout
    assert "d_ref.wav: missing (the far end of" in first.stderr
    assert "e_mic.wav" in first.stderr and first.stderr.count(" FAILED ") == 2, first.stderr

    again = run_script(src, "--out-dir", out, "--jobs", 2)
    assert again.returncode == 1 and "5 files: 0 done, 3 skipped, 2 failed" in again.stdout, again.stdout

    # A write-protected file where an output goes stays as it was; the rest
    # are redone and the run succeeds once the bad inputs are gone.
    for name in ("d_mic.wav", "e_mic.wav"):
        (src / name).unlink()
    (out / "a_out.wav").unlink()
    (out / "a_out.wav").write_text("the user's notes")
    (out / "a_out.wav").chmod(0o444)
    forced = run_script(src, "--out-dir", out, "--jobs", 1, "--force")
    assert forced.returncode == 1 and "3 files: 2 done, 0 skipped, 1 failed" in forced.stdout, forced.stdout
    assert "a_out.wav: write-protected" in forced.stderr
    assert (out / "a_out.wav").read_text() == "the user's notes"
    (out / "a_out.wav").chmod(0o644)
    (out / "a_out.wav").unlink()
    done = run_script(src, "--out-dir", out, "--jobs", 2)
    assert done.returncode == 0 and "3 files: 1 done, 2 skipped, 0 failed" in done.stdout, done.stderr
    np.testing.assert_array_equal(output(out / "a_out.wav"), expected(src, "a"))
    assert hidden(out) == [] and hidden(src) == []


def test_list_on_a_scheduler_writes_what_process_returns(tmp_path):
    for seed, name in enumerate(("talk", "call")):
        write_pair(tmp_path, name, seed)
    listing = tmp_path / "pairs.txt"
    listing.write_text("# mic ref out\n\ntalk_mic.wav talk_ref.wav clean/talk.wav\n"
                       "call_mic.wav call_ref.wav clean/call.wav\n")
    example = load_example()
    with LocalCluster(n_workers=1, threads_per_worker=2, processes=False, dashboard_address=None) as cluster:
        assert example.main(["--list", str(listing), "--scheduler", cluster.scheduler_address]) == 0
    for name in ("talk", "call"):
        np.testing.assert_array_equal(output(tmp_path / "clean" / (name + ".wav")), expected(tmp_path, name))


def test_bad_plans_and_options_write_nothing(tmp_path, capsys):
    write_pair(tmp_path, "talk", 0)
    mic_bytes = (tmp_path / "talk_mic.wav").read_bytes()
    example = load_example()
    plans = {
        "talk_mic.wav talk_ref.wav talk_mic.wav\n": "same file as an input",
        "talk_mic.wav talk_ref.wav a.wav\ntalk_mic.wav talk_ref.wav ./a.wav\n": "written by both",
        "talk_mic.wav talk_ref.wav\n": "expected MIC REF OUT, got 2 field(s)",
    }
    for text, message in plans.items():
        (tmp_path / "pairs.txt").write_text(text)
        assert example.main(["--list", str(tmp_path / "pairs.txt")]) == 1
        assert message in capsys.readouterr().err
    assert (tmp_path / "talk_mic.wav").read_bytes() == mic_bytes
    assert sorted(os.listdir(tmp_path)) == ["pairs.txt", "talk_mic.wav", "talk_ref.wav"]
    folder = str(tmp_path)
    for argv in ([folder, "--mask-floor", "2"], [folder, "--jobs", "0"], [], ["--list", "x", folder]):
        with pytest.raises(SystemExit) as stop:
            example.main(argv)
        assert stop.value.code == 2, argv
