"""Loss, validation measures and the training step."""

import numpy as np
import pytest
import torch

import train
import remap_window_b
import unsaturate_gru
from aecnet import objective, streams


def test_loss_terms_against_hand_computed_values():
    g = torch.Generator().manual_seed(0)
    target = torch.randn(1, 3, 513, 2, generator=g)
    e = 2.0 * target
    flags = torch.tensor([[[True, False], [False, True], [True, True]]])
    per_frame = (target.square().sum(-1) ** objective.C).mean(-1)[0]
    frame_w = torch.tensor([1.0, 3.0, 2.0])
    near_w = torch.tensor([0.0, 3.0, 2.0])  # the keep term counts only where the near end talks

    def weighted(w):
        return float(per_frame @ w) / 6

    def keep(m):
        return objective.NEAR_KEEP_WEIGHT * (1 - m ** objective.C) ** 2 * weighted(near_w)

    # Mask 0.5 gives M E = S exactly: only the charge for halving the near end remains.
    got = float(objective.loss(torch.full((1, 3, 513), 0.5), e, target, flags))
    assert got == pytest.approx(keep(0.5), rel=1e-4)
    # Mask 1 keeps 2 S: both terms are (2^C - 1)^2 |S|^2C, averaged with weights 1 (far only), 3 (near only), 2 (both).
    expected = (2 ** objective.C - 1) ** 2 * weighted(frame_w)
    assert float(objective.loss(torch.ones(1, 3, 513), e, target, flags)) == pytest.approx(expected, rel=1e-4)
    # Mask 0.25 keeps S / 2: the same error from below, charged once more by the under-estimate term.
    expected = (1 + objective.UNDER_WEIGHT) * (1 - 0.5 ** objective.C) ** 2 * weighted(frame_w) + keep(0.25)
    got = float(objective.loss(torch.full((1, 3, 513), 0.25), e, target, flags))
    assert got == pytest.approx(expected, rel=1e-4)
    np.testing.assert_array_equal(objective.frame_weights(flags).numpy(), [[1.0, 3.0, 2.0]])
    s = objective.sums(torch.full((1, 3, 513), 0.25), e, target, flags)
    m = objective.measures(s)
    assert m["far_suppression_db"] == pytest.approx(20 * np.log10(4.0), abs=1e-4)
    # output 0.5 S: error 0.5 S, SDR 6 dB; input 2 S: error S, SDR 0 dB
    assert m["near_sdr_db"] == pytest.approx(20 * np.log10(2.0), abs=1e-4)
    assert m["dt_sdr_in_db"] == pytest.approx(0.0, abs=1e-4)
    # a quarter of the amplitude kept: the near end is cut by 12 dB wherever it talks
    assert m["near_cut_db"] == pytest.approx(20 * np.log10(4.0), abs=1e-4)
    assert m["dt_cut_db"] == pytest.approx(20 * np.log10(4.0), abs=1e-4)


def test_energy_keep_charges_a_cut_by_the_talkers_energy_in_that_bin(monkeypatch):
    # one voiced bin holding 100x the power of the other 512
    power = torch.ones(1, 1, 513)
    power[..., 3] = 100.0
    target = torch.stack([power.sqrt(), torch.zeros_like(power)], -1)
    sm = objective.compress(target[..., 0], target[..., 1])[0]
    cut = (1 - 0.25 ** objective.C) ** 2

    def charge(bin_cut):
        mask = torch.ones(1, 1, 513)
        mask[..., bin_cut] = 0.25
        return float(objective.keep_charge(mask, target, sm))

    # bins alike: the loud bin's cut costs its |S|^2C, 100^0.3 = 4x a quiet one's
    assert charge(3) / charge(100) == pytest.approx(100 ** objective.C, rel=1e-4)
    monkeypatch.setattr(objective, "KEEP_BY_ENERGY", True)
    mean_power, mean_sm2 = (100 + 512) / 513, float(sm.square().mean())
    assert charge(3) == pytest.approx(100 / mean_power * cut / 513 * mean_sm2, rel=1e-4)
    assert charge(100) == pytest.approx(1 / mean_power * cut / 513 * mean_sm2, rel=1e-4)
    # a flat spectrum weighs every bin by 1: the same charge either way
    flat = torch.stack([torch.ones(1, 1, 513), torch.zeros(1, 1, 513)], -1)
    flat_sm = objective.compress(flat[..., 0], flat[..., 1])[0]
    mask = torch.full((1, 1, 513), 0.5)
    by_energy = float(objective.keep_charge(mask, flat, flat_sm))
    monkeypatch.setattr(objective, "KEEP_BY_ENERGY", False)
    assert by_energy == pytest.approx(float(objective.keep_charge(mask, flat, flat_sm)), rel=1e-5)


def tiny_scene(rng, frames):
    return {"rows": rng.normal(0, 1, (frames + 5, 4, 513)).astype(np.float16),
            "level": np.zeros(frames, np.float32),
            "e": rng.normal(0, 1, (frames, 513, 2)).astype(np.float16),
            "target": rng.normal(0, 0.3, (frames, 513, 2)).astype(np.float16),
            "flags": np.ones((frames, 2), bool)}


def test_training_steps_decrease_loss_on_a_tiny_batch():
    torch.manual_seed(0)
    rng = np.random.default_rng(0)
    batch = streams.stack([streams.to_tensors(tiny_scene(rng, 8), 0, 4) for _ in range(2)])
    assert batch["a"].shape == (2, 4, 12, 513) and batch["e"].shape == (2, 4, 513, 2)
    model = train.make_model()
    opt = torch.optim.Adam(model.parameters(), lr=1e-3)
    states = [torch.zeros(2, 128), torch.zeros(2, 128)]
    losses = [train.train_step(model, opt, batch, states, 5.0)[0] for _ in range(5)]
    assert losses[-1] < 0.9 * losses[0]


def test_recurrent_path_is_what_saturated_grus_cut_off():
    """With both update gates held shut (z = 1, the states stay zero),
    exactly the weights behind the GRUs and the matrix reading them get no
    gradient; its bias still does, and the unused append weight never does."""
    model = train.make_model()
    with torch.no_grad():
        for bias in ("692", "712"):
            model.weight(bias)[:128] = 50.0
    batch = streams.stack([streams.to_tensors(tiny_scene(np.random.default_rng(1), 8), 0, 4)])
    zero = torch.zeros(1, 128)
    mask, _, _ = model(batch["a"], batch["b"], zero, zero)
    objective.loss(mask, batch["e"], batch["target"], batch["flags"]).backward()
    silent = {n for n, i in model.index.items()
              if model.params[i].grad is None or float(model.params[i].grad.abs().max()) == 0.0}
    assert silent - {"para_append_517"} == train.recurrent_path() - {"fc_rnn1.bias"}


def test_unsaturate_opens_the_gru_and_keeps_the_decoder_mean():
    model = train.make_model()
    with torch.no_grad():
        model.weight("690").mul_(200.0)
    rng = np.random.default_rng(2)
    windows = [(t["a"], t["b"]) for t in (streams.to_tensors(tiny_scene(rng, 60), 0, 50) for _ in range(2))]

    def spread(states):  # over time, past each window's first frames
        return float(states.reshape(2, 50, -1)[:, 5:].std(1).median())

    before = unsaturate_gru.blobs(model, windows, ["468", "498"])
    unsaturate_gru.unsaturate(model, windows, spread=1.5, blend=0.3)
    after = unsaturate_gru.blobs(model, windows, ["444", "468", "498"])
    assert spread(before["468"]) < 0.05 < spread(after["468"])
    w = model.weight("690").detach().reshape(384, -1).double()
    gx = after["444"].double() @ w.t() + model.weight("692").detach()[:384].double()
    assert float(gx.std(0).median()) == pytest.approx(1.5, rel=0.05)
    assert float(gx.mean(0).abs().max()) < 1e-3
    np.testing.assert_allclose(after["498"].mean(0).numpy(), before["498"].mean(0).numpy(), atol=1e-3)


def test_gate_penalty_charges_only_gate_inputs_past_the_limit():
    kept = {"468_gates": torch.tensor([5.0, -6.0, 1.0]), "492_gates": torch.tensor([[-4.0, 4.5]])}
    expected = objective.GATE_WEIGHT * ((1.0 + 4.0 + 0.0) / 3 + (0.0 + 0.25) / 2)
    assert float(objective.gate_penalty(kept)) == pytest.approx(expected, rel=1e-6)
    assert float(objective.gate_penalty({})) == 0.0
    model = train.make_model()
    model.keep = objective.GATE_BLOBS
    batch = streams.stack([streams.to_tensors(tiny_scene(np.random.default_rng(3), 6), 0, 3)])
    model(batch["a"], batch["b"], torch.zeros(1, 128), torch.zeros(1, 128))
    assert model.kept["468_gates"].shape == (1, 3, 384)


def test_remapped_weights_read_moved_rows_as_the_old_ones_did():
    """The remap moves window B's channels, not the net's function: old
    weights on rows [D, X t-5..t] and remapped ones on the same rows in the
    new order [D, X t-2..t, X t-5..t-3] give the same mask."""
    model = train.make_model()
    old = model.arrays()
    g = torch.Generator().manual_seed(4)
    a, b = torch.randn(1, 3, 12, 513, generator=g), torch.randn(1, 3, 12, 513, generator=g)
    zero = torch.zeros(1, 128)
    before, _, _ = model(a, b, zero, zero)
    model.load_arrays(remap_window_b.remap(old))
    after, _, _ = model(a, b[:, :, remap_window_b.ORDER], zero, zero)
    torch.testing.assert_close(after, before, rtol=1e-5, atol=1e-6)
