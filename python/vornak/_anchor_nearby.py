"""Nearby echo: small echo areas put on the fold of the large echo beside them.

An area of fewer than MIN_GATES gates is never moved by the other
references: too few of its gates meet a profile, a neighbouring sweep or a
VAD ring for a vote. Most such areas are one to a few gates measured near
the Nyquist velocity that the exact algorithm left a fold off the echo
around them (a gate measured at +5.9 m/s, folded at 6 m/s, left there
beside echo at -6.2 m/s, where it is in truth -6.1). The echo right beside
them tells: each gate of a small area is paired with every gate of a large
area within REACH_RAYS rays and REACH_GATES gates (across rays as well as
along them), and the area moves by the whole folds that the pairs ask for,
only where the evidence is strong:

- enough pairs (MIN_PAIRS), and enough distinct large-area gates around
  the area (SURROUND per gate of it): an area barely touching the echo
  keeps its fold;
- the pairs agree (MIN_AGREEMENT ask for the same shift), and after the
  shift most of them (MIN_CLOSE) are within CLOSE of a fold apart: a
  reference that disagrees with itself, or that the area would still not
  join, keeps the fold;
- the sweep as it stands is centred: its VAD rings (as for the VAD shift)
  have a mean radial velocity within a quarter of a fold of zero in most
  of them. A sweep partly or wholly a fold off (its rings' means far from
  zero, or too few rings to tell) is no reference for its own pieces.

Clutter-like areas at fold 0 (mean velocity within the speckle repair's
NEAR_ZERO of zero, as measured) are left alone: that is where the speckle
repair puts raised clutter, and this step must not lift it again.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from . import _anchor, _speckle

#: Areas of at least this many gates are the reference; smaller ones may move.
LARGE_GATES = 100
#: Pairs reach this many rays and gates from each gate of a small area.
REACH_RAYS = 1
REACH_GATES = 2
#: Fewest pairs, and least share of them asking for the same whole folds.
MIN_PAIRS = 5
MIN_AGREEMENT = 0.9
#: Distinct large-area gates in reach, per gate of the small area.
SURROUND = 2
#: After the shift, at least MIN_CLOSE of the pairs within CLOSE of a fold.
CLOSE = 0.15
MIN_CLOSE = 0.5
#: A centred sweep: at least CENTRED_SHARE of its VAD rings have a mean
#: within CENTRED_FOLDS of zero.
CENTRED_FOLDS = 0.25
CENTRED_SHARE = 0.5


def nearby_step(sweep, folds, report):
    """`folds` (rays, gates) of `sweep` (a SweepInput) with its small echo
    areas moved to the large echo beside them, and `report` (an Anchoring)
    saying so; both as given where nothing moved."""
    if not is_centred(sweep, folds):
        return folds, report
    gates = _anchor._Gates(dataclasses.replace(sweep, folds=folds))
    comp, shift = area_shifts(gates, sweep)
    moved = int(np.count_nonzero(shift))
    if not moved:
        return folds, report
    by_gate = shift[comp]
    changed = np.flatnonzero(by_gate)
    at = gates.flat[changed]
    out = np.array(folds, dtype=np.int32, copy=True)
    out.ravel()[at] += by_gate[changed].astype(np.int32)
    # Gates changed in all: those the references changed, give or take the
    # ones this step moves off or back onto the exact fold counts.
    exact = np.asarray(sweep.folds).ravel()[at]
    total = (report.gates_changed + int(np.count_nonzero(gates.folds[changed] == exact))
             - int(np.count_nonzero(out.ravel()[at] == exact)))
    return out, dataclasses.replace(report, gates_changed=total, nearby_components=moved,
                                    nearby_gates=int(changed.size))


def is_centred(sweep, folds):
    """Whether most well-covered range rings of the sweep with these fold
    counts (every VAD_RING_STEP-th, echo in VAD_SECTORS of 8 sectors and
    VAD_RING_GATES gates, as the VAD shift takes them) have a mean within
    CENTRED_FOLDS of zero: the least-squares v = a + b cos(az) + c sin(az)
    of each, from weighted sums over the rays of the dense arrays."""
    step = _anchor.VAD_RING_STEP
    excluded = np.asarray(sweep.excluded, dtype=bool)[:, ::step]
    span = np.float32(2.0 * sweep.nyquist)
    with np.errstate(invalid="ignore"):
        v = (np.asarray(sweep.velocity)[:, ::step].astype(np.float32)
             + np.asarray(folds)[:, ::step].astype(np.float32) * span)
    v[excluded] = 0.0
    az = np.radians(np.asarray(sweep.azimuth, dtype=np.float64))
    c, s = np.cos(az), np.sin(az)
    sector = np.minimum((np.mod(az, 2 * np.pi) / (np.pi / 4)).astype(np.int64), 7)
    weights = np.vstack([np.ones_like(c), c, s, c * c, s * s, c * s, np.eye(8)[sector].T]).astype(np.float32)
    # einsum, not a matrix product: BLAS would wake its threads for this.
    sums = np.einsum("kr,rg->kg", weights, (~excluded).astype(np.float32))
    rhs = np.einsum("kr,rg->gk", weights[:3], v).astype(np.float64)
    n, sc, ss, scc, sss, scs = sums[:6].astype(np.float64)
    rings = np.flatnonzero(((sums[6:] > 0).sum(axis=0) >= _anchor.VAD_SECTORS) & (n >= _anchor.VAD_RING_GATES))
    if rings.size < _anchor.VAD_MIN_RINGS:
        return False
    normal = np.stack([np.stack([n, sc, ss], -1), np.stack([sc, scc, scs], -1), np.stack([ss, scs, sss], -1)], -2)
    try:
        mean = np.linalg.solve(normal[rings], rhs[rings][..., None])[:, 0, 0] / span
    except np.linalg.LinAlgError:
        return False
    return np.count_nonzero(np.abs(mean) < CENTRED_FOLDS) >= CENTRED_SHARE * rings.size


def area_shifts(gates, sweep):
    """Component of each valid gate (echo_components) and the whole folds
    each component moves by (0 for most)."""
    comp, n = gates.components(sweep.rays_wrap_around)
    size = np.bincount(comp, minlength=n)
    large = size >= LARGE_GATES
    small = size < _anchor.MIN_GATES
    inner = np.flatnonzero(small[comp])
    if not large.any() or inner.size == 0:
        return comp, np.zeros(n, dtype=np.int64)
    # Clutter at fold 0 stays where the speckle repair leaves it.
    phase = np.pi / sweep.nyquist * np.asarray(sweep.velocity).ravel()[gates.flat[inner]]
    mine = comp[inner]
    mean_phase = np.arctan2(np.bincount(mine, np.sin(phase), n), np.bincount(mine, np.cos(phase), n))
    at_zero = np.bincount(mine, gates.folds[inner] != 0, n) == 0
    small &= ~(at_zero & (np.abs(mean_phase) < _speckle.NEAR_ZERO * np.pi))
    area, ratio, reference = _pairs(gates, comp, inner[small[mine]], large, sweep.rays_wrap_around)
    if area.size == 0:
        return comp, np.zeros(n, dtype=np.int64)
    wanted = np.rint(ratio).astype(np.int64)
    shift, compared, agreeing = _votes(wanted, area, n)
    close = np.bincount(area, (wanted == shift[area]) & (np.abs(ratio - wanted) <= CLOSE), n)
    distinct = np.unique(area * np.int64(gates.flat.size) + reference) // gates.flat.size
    around = np.bincount(distinct, minlength=n)
    strong = (small & (compared >= MIN_PAIRS) & (agreeing >= MIN_AGREEMENT * compared)
              & (close >= MIN_CLOSE * compared) & (around >= SURROUND * size))
    return comp, np.where(strong, shift, 0)


def _votes(wanted, area, n):
    """Per area (of `n`), the shift that most of its pairs ask for (within
    MAX_SHIFT folds either way), its pairs and how many ask for that shift."""
    width = 2 * _anchor.MAX_SHIFT + 1
    k = np.clip(wanted, -_anchor.MAX_SHIFT, _anchor.MAX_SHIFT) + _anchor.MAX_SHIFT
    counts = np.bincount(area * width + k, minlength=n * width).reshape(n, width)
    best = counts.argmax(axis=1)
    return best - _anchor.MAX_SHIFT, counts.sum(axis=1), counts[np.arange(n), best]


def _pairs(gates, comp, inner, large, wrap):
    """Every pair of a gate `inner` (valid-gate numbers) and a gate of a
    `large` component within reach: the inner gate's component, the folds
    between them (reference minus inner, over twice the Nyquist velocity,
    unrounded) and the reference's valid-gate number."""
    rays, ngates = gates.shape
    ray, gate, v = gates.ray[inner], gates.gate[inner], gates.dealiased[inner]
    end = gates.where.size - 1  # holds -1: no gate
    areas, ratios, references = [], [], []
    for dr in range(-REACH_RAYS, REACH_RAYS + 1):
        r = ray + dr
        if wrap:
            r %= rays
        ray_ok = (r >= 0) & (r < rays)
        for dg in range(-REACH_GATES, REACH_GATES + 1):
            if dr == 0 and dg == 0:
                continue
            g = gate + dg
            ok = ray_ok & (g >= 0) & (g < ngates)
            other = gates.where.take(np.where(ok, r * ngates + g, end))
            mine = np.flatnonzero(other >= 0)
            other = other[mine]
            keep = large[comp[other]]
            mine, other = mine[keep], other[keep]
            areas.append(comp[inner[mine]])
            ratios.append((gates.dealiased[other] - v[mine]) / gates.span)
            references.append(other)
    return np.concatenate(areas), np.concatenate(ratios), np.concatenate(references)
