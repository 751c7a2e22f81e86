"""Neighbour jumps: pairs of neighbouring valid gates whose velocities differ
by more than the Nyquist velocity. In a well dealiased sweep they are rare
(shear, noise); folding leaves lines of them, noise a scatter everywhere."""

import numpy as np

from ._anchor_kernel import kernel as _kernel


def _pairs(vel, rays_wrap_around):
    vel = np.asarray(vel, dtype=np.float64)
    yield np.abs(np.diff(vel, axis=1))
    yield np.abs(np.diff(vel, axis=0))
    if rays_wrap_around and vel.shape[0] > 2:
        yield np.abs(vel[0] - vel[-1])


def jump_counts(vel, nyquist, rays_wrap_around):
    """(jumps, pairs): neighbouring valid gate pairs, along rays and across
    rays, differing by more than `nyquist`, and all such pairs. NaN gates
    take part in no pair."""
    jumps = pairs = 0
    with np.errstate(invalid="ignore"):
        for diff in _pairs(vel, rays_wrap_around):
            valid = np.isfinite(diff)
            pairs += int(np.count_nonzero(valid))
            jumps += int(np.count_nonzero(diff > nyquist))
    return jumps, pairs


def dealiased_jumps(vel, folds, excluded, nyquist, rays_wrap_around):
    """`jump_counts` of the dealiased sweep, ``vel + folds * 2 * nyquist`` as
    float32 and NaN where `excluded`, pair kind by pair kind: ((jumps, pairs)
    along rays, across rays, between the last and the first ray), in one
    compiled pass that never holds the dealiased sweep."""
    counts = _kernel.neighbour_jumps(np.ascontiguousarray(vel, dtype=np.float32), np.ascontiguousarray(folds),
                                     np.ascontiguousarray(excluded, dtype=bool), 2.0 * nyquist, float(nyquist),
                                     bool(rays_wrap_around))
    return counts[0:2], counts[2:4], counts[4:6]
