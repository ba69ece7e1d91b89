"""The Python module against the aec tool on the same files, and its
streaming, dtype and error behaviour."""
import os
import subprocess
import threading
import time

import numpy as np
import pytest
import soundfile

from echo_scene import scene, ynet_aec

AEC_TOOL = os.environ["AEC_TOOL"]


def erle_db(mic, out, rate, start_s=2.0):
    a = int(start_s * rate)
    return 10 * np.log10(np.sum(mic[a:].astype(np.float64) ** 2) / np.sum(out[a:].astype(np.float64) ** 2))


@pytest.mark.parametrize("rate", [16000, 48000])
def test_process_matches_the_tool_on_the_same_files(tmp_path, rate):
    mic, ref = scene(rate, near_from=4.0)
    soundfile.write(tmp_path / "mic.wav", mic, rate, subtype="PCM_16")
    soundfile.write(tmp_path / "ref.wav", ref, rate, subtype="PCM_16")
    subprocess.run([AEC_TOOL, "process", "--mic", str(tmp_path / "mic.wav"), "--ref", str(tmp_path / "ref.wav"),
                    "--out", str(tmp_path / "out.wav")], check=True, capture_output=True)
    tool_out, tool_rate = soundfile.read(tmp_path / "out.wav", dtype="float32")
    assert tool_rate == rate
    mic16, _ = soundfile.read(tmp_path / "mic.wav", dtype="int16")
    ref16, _ = soundfile.read(tmp_path / "ref.wav", dtype="int16")
    out16 = ynet_aec.process(mic16, ref16, rate)
    assert out16.dtype == np.int16 and out16.shape == mic16.shape
    np.testing.assert_allclose(out16 / 32768.0, tool_out, atol=2.5 / 32768)
    # The same samples as floats give the same output, as float.
    out32 = ynet_aec.process(mic16 / np.float32(32768), ref16 / np.float32(32768), rate)
    assert out32.dtype == np.float32
    np.testing.assert_allclose(out32, tool_out, atol=1.5 / 32768)
    out64 = ynet_aec.process(mic16 / 32768.0, ref16 / 32768.0, rate)
    assert out64.dtype == np.float64
    np.testing.assert_allclose(out64, out32, atol=1e-7)
    # Strided views read the same samples as their contiguous copies.
    pairs = np.stack([mic16, ref16], axis=1)
    np.testing.assert_array_equal(ynet_aec.process(pairs[:, 0], pairs[:, 1], rate), out16)


def test_network_goes_well_beyond_the_linear_stage():
    rate = 16000
    mic, ref = scene(rate, seconds=8.0)
    neural = erle_db(mic, ynet_aec.process(mic, ref, rate), rate)
    linear = erle_db(mic, ynet_aec.process(mic, ref, rate, linear_only=True), rate)
    assert neural > 25.0 and neural > linear + 15.0, (neural, linear)


def test_stream_blocks_of_any_size_equal_process():
    rate = 44100
    mic, ref = scene(rate, seconds=3.0)
    stream = ynet_aec.Stream(rate)
    assert stream.rate == rate
    latency = stream.latency
    assert 1000 < latency < 1300  # about 26 ms at 44.1 kHz
    sizes = [1, 441, 0, 1000, 37, 4410]
    blocks, at, i = [], 0, 0
    while at < len(mic):
        n = min(sizes[i % len(sizes)], len(mic) - at)
        blocks.append(stream.process(mic[at:at + n], ref[at:at + n]))
        at, i = at + n, i + 1
    streamed = np.concatenate(blocks)
    assert streamed.dtype == np.float32 and len(streamed) == len(mic)
    whole = ynet_aec.process(mic, ref, rate)
    np.testing.assert_allclose(streamed[latency:], whole[: len(mic) - latency], atol=1e-6)
    assert abs(stream.delay_estimate - 40) <= 10
    stream.reset()
    again = stream.process(mic, ref)
    np.testing.assert_allclose(again, streamed, atol=1e-6)


def test_bad_arguments_raise_value_errors():
    mic = np.zeros(1600, np.float32)
    cases = [
        (lambda: ynet_aec.process(np.zeros((2, 800), np.float32), mic[:1600], 16000), "1-D"),
        (lambda: ynet_aec.process(mic, mic[:1000], 16000), "differ in length"),
        (lambda: ynet_aec.process(mic, mic, 96000), "rate 96000"),
        (lambda: ynet_aec.process(mic, mic, 7999), "rate 7999"),
        (lambda: ynet_aec.process(mic.astype(np.int32), mic, 16000), "int32"),
        (lambda: ynet_aec.process([0.0] * 10, mic[:10], 16000), "numpy array"),
        (lambda: ynet_aec.process(mic, mic, 16000, mask_floor=2.0), "mask_floor"),
        (lambda: ynet_aec.process(mic, mic, 16000, filter_ms=5), "filter_ms"),
        (lambda: ynet_aec.process(mic, mic, 16000, delay_ms=501), "delay_ms"),
        (lambda: ynet_aec.process(np.full(10, np.nan, np.float32), mic[:10], 16000), "NaN"),
        (lambda: ynet_aec.Stream(4000), "rate 4000"),
        (lambda: ynet_aec.Stream(16000).process(mic, mic[:5]), "differ in length"),
        (lambda: ynet_aec.Stream(16000).process(mic, mic.astype(np.uint8)), "uint8"),
    ]
    for call, text in cases:
        with pytest.raises(ValueError, match=text):
            call()


def test_processing_releases_the_gil():
    rate = 16000
    mic, ref = scene(rate, seconds=10.0)
    results = []
    worker = threading.Thread(target=lambda: results.append(ynet_aec.process(mic, ref, rate)))
    stamps = [time.monotonic()]
    worker.start()
    while worker.is_alive():
        stamps.append(time.monotonic())
    worker.join()
    assert len(results) == 1
    # With the GIL held this loop would stall for the whole call.
    longest = np.max(np.diff(stamps))
    assert longest < 0.5 * (stamps[-1] - stamps[0]), (longest, stamps[-1] - stamps[0])
