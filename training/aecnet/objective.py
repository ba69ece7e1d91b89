"""Training loss and validation measures on the masked spectrum M*E.

Loss: compressed spectra X_c = |X|^C * X/|X| (C = 0.3); a magnitude term
(|M E|^C - |S|^C)^2 and a complex term |(M E)_c - S_c|^2 (it also punishes
keeping bins whose phase is the echo's), weighted per frame: DOUBLE_TALK_WEIGHT
where both talkers are active, so the near end is kept in double talk, and
NEAR_ONLY_WEIGHT where only the near end talks, so a lone talker is left
alone (a first run with weight 1 there learnt to cut its low bins). On top,
UNDER_WEIGHT x max(|S|^C - |M E|^C, 0)^2 charges cutting the near end again:
with symmetric terms alone the mask stayed at about half the ideal one in
near-end-only frames. It is zero wherever the target is silent, so it does
not pay for keeping echo in far-end single talk.

NEAR_KEEP_WEIGHT x |S|^2C (1 - M^C)^2 charges the mask's own attenuation of
the near end in every frame where the near end is active, double talk
included. The terms above compare M*E with S, and where E holds echo as well
a mask can cut the near end and still land close to |S|; this term sees
only what the mask takes away from the talker, so it does not care how much
echo sits in the same bins. With KEEP_BY_ENERGY each bin's (1 - M^C)^2 is
weighed by its share of the talker's energy in the frame (times the frame's
mean |S|^2C, so a flat spectrum gives the term above): averaged over bins
alike, the few low bins that hold most of a voiced talker's energy, and so
most of an SDR, count for little.
"""

import torch

C = 0.3
EPS = 1e-8
MAG_WEIGHT = 0.7
DOUBLE_TALK_WEIGHT = 2.0
NEAR_ONLY_WEIGHT = 3.0
UNDER_WEIGHT = 1.0
NEAR_KEEP_WEIGHT = 1.0
KEEP_BY_ENERGY = False
MASK_MIN = 1e-4  # keeps the gradient of M^C finite at M = 0
ALIVE_WEIGHT = 0.01
ALIVE_BLOBS = ("666", "549")
GATE_WEIGHT = 1e-3
GATE_LIMIT = 4.0
GATE_BLOBS = ("468_gates", "492_gates")


def compress(re, im):
    power = re * re + im * im + EPS
    mag = power ** (C / 2)
    return mag, re * mag / power.sqrt(), im * mag / power.sqrt()


def frame_weights(flags):
    """flags (B, T, 2) bool: echo active, near active -> weights (B, T)."""
    echo, near = flags[..., 0], flags[..., 1]
    both, near_only = (echo & near).float(), (near & ~echo).float()
    return 1.0 + (DOUBLE_TALK_WEIGHT - 1.0) * both + (NEAR_ONLY_WEIGHT - 1.0) * near_only


def loss(mask, e, target, flags):
    """mask (B, T, 513); e, target (B, T, 513, 2) re/im; flags (B, T, 2)."""
    om, ore, oim = compress(mask * e[..., 0], mask * e[..., 1])
    sm, sre, sim = compress(target[..., 0], target[..., 1])
    mag = (om - sm).square().mean(-1)
    cplx = ((ore - sre).square() + (oim - sim).square()).mean(-1)
    under = torch.relu(sm - om).square().mean(-1)
    keep = keep_charge(mask, target, sm) * flags[..., 1].float()
    w = frame_weights(flags)
    per_frame = MAG_WEIGHT * mag + (1.0 - MAG_WEIGHT) * cplx + UNDER_WEIGHT * under + NEAR_KEEP_WEIGHT * keep
    return (per_frame * w).sum() / w.sum()


def keep_charge(mask, target, sm):
    """Per frame: what the mask takes from the talker, (1 - M^C)^2 per bin,
    weighed by |S|^2C or (KEEP_BY_ENERGY) by the bin's share of |S|^2."""
    cut = (1.0 - mask.clamp_min(MASK_MIN) ** C).square()
    if not KEEP_BY_ENERGY:
        return (sm.square() * cut).mean(-1)
    power = target.square().sum(-1)
    share = power / (power.mean(-1, keepdim=True) + EPS)
    return (share * cut).mean(-1) * sm.square().mean(-1)


def sums(mask, e, target, flags):
    """Energy sums of one batch for the validation measures, as floats:
    per region (far only, near only, double talk) the energies of E, of the
    output, of the target, of output - target, of E - target and of the
    masked target M*S (what the mask leaves of the talker)."""
    out_re, out_im = mask * e[..., 0], mask * e[..., 1]
    energy = {
        "e": (e.square().sum(-1)).sum(-1),
        "out": (out_re.square() + out_im.square()).sum(-1),
        "s": target.square().sum(-1).sum(-1),
        "err": ((out_re - target[..., 0]).square() + (out_im - target[..., 1]).square()).sum(-1),
        "err_in": (e - target).square().sum(-1).sum(-1),
        "kept": (mask.square() * target.square().sum(-1)).sum(-1),
    }
    far, near = flags[..., 0], flags[..., 1]
    regions = {"far": far & ~near, "near": near & ~far, "dt": far & near}
    return {(r, k): float((v * m.float()).sum()) for r, m in regions.items() for k, v in energy.items()}


def measures(total):
    """dB figures from accumulated sums(): echo suppression beyond the linear
    canceller in far-end single talk, and near-end SDR of output and input
    (E) in near-end single talk and double talk, and how much the mask cuts
    the near end there (M*S against S; the loss can reach a low error by
    trading near end for echo, this cannot)."""
    def db(a, b):
        return 10.0 * torch.log10(torch.tensor((a + 1e-12) / (b + 1e-12))).item()
    return {
        "far_suppression_db": db(total[("far", "e")], total[("far", "out")]),
        "near_sdr_db": db(total[("near", "s")], total[("near", "err")]),
        "near_sdr_in_db": db(total[("near", "s")], total[("near", "err_in")]),
        "dt_sdr_db": db(total[("dt", "s")], total[("dt", "err")]),
        "dt_sdr_in_db": db(total[("dt", "s")], total[("dt", "err_in")]),
        "near_cut_db": db(total[("near", "s")], total[("near", "kept")]),
        "dt_cut_db": db(total[("dt", "s")], total[("dt", "kept")]),
    }


def alive_penalty(kept):
    """ALIVE_WEIGHT x max(-mean z, 0), summed over the kept inputs z of the
    last two leaky rectifiers (ALIVE_BLOBS). They leak only 0.01, and the
    decoder narrows to one channel of 257 values (blob 666) before the output
    layers: a run without this term pushed that channel wholly negative
    within 550 steps, after which the mask was a constant. The term acts only
    while a rectifier's input is negative on average, so it stops a wholesale
    collapse and leaves single units alone; the next layer absorbs any shift
    of z. (Pushing every negative unit of every rectifier up instead made the
    activations grow layer by layer until the mask saturated.)"""
    inputs = [kept[b] for b in ALIVE_BLOBS if b in kept]
    if not inputs:
        return torch.zeros(())
    return ALIVE_WEIGHT * sum(torch.relu(-z.mean()) for z in inputs)


def gate_penalty(kept):
    """GATE_WEIGHT x mean of max(|g| - GATE_LIMIT, 0)^2 over the GRUs' input
    products g (GATE_BLOBS). Both GRUs start with gate inputs of about 7 and
    the early runs drove them to tens; then they held one state whatever
    came in, and no gradient reached them, the reference side of the encoder
    or the bottleneck. Reopened (unsaturate_gru.py) without this term, the
    gates closed again within 1500 steps."""
    gates = [kept[b] for b in GATE_BLOBS if b in kept]
    if not gates:
        return torch.zeros(())
    return GATE_WEIGHT * sum(torch.relu(g.abs() - GATE_LIMIT).square().mean() for g in gates)
