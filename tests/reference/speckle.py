"""The speckle repair in NumPy and scipy.ndimage, whole-sweep labelling: what
the compiled `vornak._speckle.speckle_folds` is checked against, gate for
gate (the story of the repair is told there)."""

import numpy as np

from vornak._speckle import (BLOCK, DENSE_SHARE, FOLD_LIMIT, LIKE_GATES, NEAR_ZERO, REACH_GATES, REACH_RAYS,
                             SOLID_GATES, SUPPORT)


def _ndimage():
    from scipy import ndimage

    return ndimage


def scattered_groups(valid, rays_wrap_around):
    """Labels (1..n, 0 elsewhere) of the scattered groups of valid gates, and n.

    Scattered: not in an area of dense echo, where dense means that most of
    a gate's 3 x 3 neighbourhood is valid (of the part within the sweep: echo
    that fills the sweep to its edges is dense there too) and an area is a
    connected set of at least `SOLID_GATES` dense gates.
    """
    ndimage = _ndimage()
    valid = np.asarray(valid, dtype=bool)
    around = _valid_around(np.ones_like(valid), rays_wrap_around)
    dense = valid & (_valid_around(valid, rays_wrap_around) >= DENSE_SHARE * around)
    areas, _ = ndimage.label(dense)
    size = np.bincount(areas.ravel())
    size[0] = 0
    solid = dense & (size[areas] >= SOLID_GATES)
    return ndimage.label(valid & ~solid)


def _valid_around(valid, rays_wrap_around):
    """Valid gates in the 3 x 3 neighbourhood of every gate (itself included)."""
    if rays_wrap_around:
        padded = np.concatenate([valid[-1:], valid, valid[:1]])
    else:
        padded = np.pad(valid, ((1, 1), (0, 0)))
    rows = padded[:-2].astype(np.uint8) + padded[1:-1] + padded[2:]
    count = rows.copy()
    count[:, 1:] += rows[:, :-1]
    count[:, :-1] += rows[:, 1:]
    return count


def _rectangle_sums(table, lo_r, hi_r, lo_g, hi_g):
    return table[..., hi_r, hi_g] - table[..., lo_r, hi_g] - table[..., hi_r, lo_g] + table[..., lo_r, lo_g]


def _window_sums(counts, rays_wrap_around, lo_r, hi_r, lo_g, hi_g):
    """Sums of `counts` (..., block rays, block gates) over one block window
    [lo_r, hi_r) x [lo_g, hi_g) per group; for a sweep that wraps around the
    ray indices may run past either end and are taken round the circle."""
    nbr = counts.shape[-2]
    table = np.zeros(counts.shape[:-2] + (nbr + 1, counts.shape[-1] + 1), dtype=np.int64)
    table[..., 1:, 1:] = counts.cumsum(-2).cumsum(-1)
    if not rays_wrap_around:
        return _rectangle_sums(table, np.clip(lo_r, 0, nbr), np.clip(hi_r, 0, nbr), lo_g, hi_g)
    whole = (hi_r - lo_r) >= nbr
    lo_r, hi_r = np.where(whole, 0, lo_r), np.where(whole, nbr, hi_r)
    before = lo_r < 0  # the window's part before the first ray lies at the end
    after = hi_r > nbr  # and its part after the last ray at the start
    sums = _rectangle_sums(table, np.clip(lo_r, 0, nbr), np.clip(hi_r, 0, nbr), lo_g, hi_g)
    sums += np.where(before, _rectangle_sums(table, np.where(before, lo_r + nbr, 0),
                                             np.where(before, np.minimum(hi_r, 0) + nbr, 0), lo_g, hi_g), 0)
    sums += np.where(after, _rectangle_sums(table, np.where(after, np.maximum(lo_r, nbr) - nbr, 0),
                                            np.where(after, hi_r - nbr, 0), lo_g, hi_g), 0)
    return sums


def speckle_folds(vel, folds, nyquist, excluded, rays_wrap_around):
    """Folds with clutter speckle that took a fold (up or down) put back to 0.

    `vel` (rays, gates) as measured, `folds` as the dealiasing gave them,
    `excluded` True where a gate took no part. Returns ``(folds, changed)``:
    a new array (the input is not modified) and the number of gates whose
    fold changed.

    Only a like gate that carries a fold can be put back, so only the groups
    holding one are looked at (a few in most sweeps): a sweep without such a
    gate is not even divided into groups.
    """
    vel = np.asarray(vel, dtype=np.float64)
    folds = np.asarray(folds)
    out = np.array(folds, copy=True)
    valid = ~np.asarray(excluded, dtype=bool) & np.isfinite(vel)
    # like gates: all valid ones about zero
    like = valid & (np.abs(np.where(valid, vel, 0.0)) < 2 * NEAR_ZERO * nyquist)
    lifted = like & (folds != 0)
    if not lifted.any():
        return out, 0
    labels, n = scattered_groups(valid, rays_wrap_around)
    chosen = np.zeros(n + 1, dtype=bool)
    chosen[labels[lifted]] = True
    chosen[0] = False
    if not chosen.any():
        return out, 0
    # the gates of the chosen groups in row-major order, as a whole-sweep pass takes them (same sums)
    at = np.flatnonzero(chosen[labels])
    m = int(np.count_nonzero(chosen))
    number = np.zeros(n + 1, dtype=np.intp)
    number[chosen] = np.arange(m)
    group = number[labels.ravel()[at]]
    gate_vel, gate_folds, gate_like = vel.ravel()[at], folds.ravel()[at], like.ravel()[at]
    # mean velocity of every group, taken round the Nyquist interval
    phase = np.pi * gate_vel / nyquist
    mean_phase = np.arctan2(np.bincount(group, np.sin(phase), m), np.bincount(group, np.cos(phase), m))
    k = np.clip(gate_folds, -FOLD_LIMIT, FOLD_LIMIT).astype(np.intp) + FOLD_LIMIT
    group_fold = np.full(m, -1, dtype=np.intp)
    np.maximum.at(group_fold, group, k)
    lowest = np.full(m, 2 * FOLD_LIMIT + 1, dtype=np.intp)
    np.minimum.at(lowest, group, k)
    # a group already split between folds is left alone
    raised = (lowest == group_fold) & (group_fold != FOLD_LIMIT) & (np.abs(mean_phase) < NEAR_ZERO * np.pi)
    if not raised.any():
        return out, 0

    # like gates per (fold, block of rays, block of gates)
    rows, cols = np.nonzero(like)
    nbr = -(-vel.shape[0] // BLOCK[0])
    nbg = -(-vel.shape[1] // BLOCK[1])
    cell = ((np.clip(folds[like], -FOLD_LIMIT, FOLD_LIMIT) + FOLD_LIMIT).astype(np.intp) * nbr + rows // BLOCK[0]) * nbg
    counts = np.bincount(cell + cols // BLOCK[1], minlength=(2 * FOLD_LIMIT + 1) * nbr * nbg)
    counts = counts.reshape(2 * FOLD_LIMIT + 1, nbr, nbg)

    candidates = np.flatnonzero(raised)
    r0, r1, g0, g1 = _extents(at // vel.shape[1], at % vel.shape[1], group, m)
    r0, r1 = r0[candidates] - REACH_RAYS, r1[candidates] + REACH_RAYS
    g0 = np.maximum(g0[candidates] - REACH_GATES, 0)
    g1 = np.minimum(g1[candidates] + REACH_GATES, vel.shape[1])
    sums = _window_sums(counts, rays_wrap_around, np.floor_divide(r0, BLOCK[0]), -np.floor_divide(-r1, BLOCK[0]),
                        g0 // BLOCK[1], -(-g1 // BLOCK[1]))  # (folds, candidates)
    # the group itself does not vote
    own = np.bincount(group[gate_like], minlength=m)[candidates]
    total = sums.sum(axis=0) - own
    same = sums[group_fold[candidates], np.arange(candidates.size)] - own
    supported = (total >= LIKE_GATES) & (same > SUPPORT * total)
    lowered = np.zeros(m, dtype=bool)
    lowered[candidates[~supported]] = True
    back = lowered[group] & gate_like  # a gate of the group that measured another velocity keeps its fold
    np.put(out, at, np.where(back, 0, gate_folds))  # flat indices in row-major order, whatever the layout
    return out, int(np.count_nonzero(back & (gate_folds != 0)))


def _extents(rows, cols, group, m):
    """First and one-past-last ray and gate of each of `m` groups, from their gates."""
    r0 = np.full(m, np.iinfo(np.intp).max, dtype=np.intp)
    g0 = r0.copy()
    r1 = np.full(m, -1, dtype=np.intp)
    g1 = r1.copy()
    np.minimum.at(r0, group, rows)
    np.minimum.at(g0, group, cols)
    np.maximum.at(r1, group, rows)
    np.maximum.at(g1, group, cols)
    return r0, r1 + 1, g0, g1 + 1
