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


def nearby_step(sweep, folds, report, *, own=False, rays=None, arrays=None):
    """`folds` (rays, gates) of `sweep` (a SweepInput) with its small echo
    areas moved to the large echo beside them, and `report` (an Anchoring)
    saying so; both as given where nothing moved. `own`: `folds` is an int32
    array of the caller's own, changed in place rather than copied. `rays`:
    the sweep's ray_sectors, `arrays` its excluded gates and velocities as
    _kernel_arrays gives them, where known."""
    found = moving_areas(sweep, folds, rays, arrays)
    # The sweep's centring decides only where an area would move: checked last.
    if found is None or not is_centred(*found[3:], sweep.nyquist):
        return folds, report
    at, area, shift = found[:3]
    folds_at = np.asarray(folds).ravel()[at]
    kept = _clutter(sweep, at, area, shift.size, folds_at)
    moved = shift.size - int(np.count_nonzero(kept))
    if not moved:
        return folds, report
    if kept.any():
        changed = np.flatnonzero(~kept[area])
        at, area, folds_at = at[changed], area[changed], folds_at[changed]
    mine = own and isinstance(folds, np.ndarray) and folds.dtype == np.int32 and folds.flags.c_contiguous
    out = folds if mine else np.array(folds, dtype=np.int32, copy=True)
    flat = out.reshape(-1)  # a view: `out` is C-contiguous
    flat[at] = folds_at + shift[area].astype(np.int32)
    # Gates changed in all: those the references changed, give or take the
    # ones this step moves off or back onto the exact fold counts.
    exact = np.asarray(sweep.folds).ravel()[at]
    total = report.gates_changed + int(np.count_nonzero(folds_at == exact)) - int(np.count_nonzero(flat[at] == exact))
    return out, dataclasses.replace(report, gates_changed=total, nearby_components=moved, nearby_gates=int(at.size))


def moving_areas(sweep, folds, rays=None, arrays=None):
    """The small areas of the sweep with these fold counts that the echo
    beside them would move, by one kernel call (nearby_areas): the flat
    positions of their gates (in flat order), the area of each, each area's
    whole folds, and the least-squares sums of the VAD fit of the sweep's
    well-covered rings (every VAD_RING_STEP-th, echo in VAD_SECTORS of 8
    sectors and VAD_RING_GATES gates, as the VAD shift takes them). None
    where no area would move, and where fewer than VAD_MIN_RINGS rings are
    well covered (the sweep is then not centred: is_centred).

    The areas are echo_components; each gate of an area of fewer than
    MIN_GATES is paired with every gate of an area of at least LARGE_GATES
    in reach, the folds between them being reference minus small over twice
    the Nyquist velocity, in float32."""
    if arrays is None:
        excluded, velocity, folds = _anchor._kernel_arrays(sweep, folds)
    else:
        excluded, velocity = arrays
        folds = np.ascontiguousarray(folds)
        if folds.dtype not in _anchor._FOLD_TYPES:
            folds = folds.astype(np.int64)
    rings = ((_anchor.ray_sectors(sweep) if rays is None else rays)
             + (_anchor.VAD_RING_STEP, _anchor.VAD_RING_GATES, _anchor.VAD_SECTORS))
    span = 2.0 * sweep.nyquist
    # With fewer than VAD_MIN_RINGS rings the sweep is not centred: the
    # kernel then does not look for the areas.
    return _anchor._kernel.nearby_areas(excluded, velocity, folds, span, sweep.rays_wrap_around,
                                        _anchor.COMPONENT_GAP, 0.5 * span, _rule(), rings, _anchor.VAD_MIN_RINGS)


def _rule():
    """The constants of the step, as nearby_areas takes them."""
    return (LARGE_GATES, _anchor.MIN_GATES, REACH_RAYS, REACH_GATES, MIN_PAIRS, MIN_AGREEMENT, SURROUND, CLOSE,
            MIN_CLOSE, _anchor.MAX_SHIFT)


def is_centred(normal, rhs, nyquist):
    """Whether at least CENTRED_SHARE of the rings (their least-squares
    sums `normal`, `rhs`) fit v = a + b cos(az) + c sin(az) with a mean
    within CENTRED_FOLDS of zero; not with fewer than VAD_MIN_RINGS."""
    if rhs.shape[0] < _anchor.VAD_MIN_RINGS:
        return False
    try:
        mean = np.linalg.solve(normal, rhs[..., None])[:, 0, 0] / np.float32(2.0 * nyquist)
    except np.linalg.LinAlgError:
        return False
    return np.count_nonzero(np.abs(mean) < CENTRED_FOLDS) >= CENTRED_SHARE * rhs.shape[0]


def _clutter(sweep, at, area, areas, folds_at):
    """Per area (of `areas`; `at`, `area`: the flat positions of their gates
    in flat order and the area of each), whether it is clutter at fold 0 and
    so kept where it is:
    all its gates at fold 0 and its mean velocity, as measured, within the
    speckle repair's NEAR_ZERO of zero."""
    phase = np.pi / sweep.nyquist * np.asarray(sweep.velocity).ravel()[at]
    mean_phase = np.arctan2(np.bincount(area, np.sin(phase), areas), np.bincount(area, np.cos(phase), areas))
    at_zero = np.bincount(area, folds_at != 0, areas) == 0
    return at_zero & (np.abs(mean_phase) < _speckle.NEAR_ZERO * np.pi)
