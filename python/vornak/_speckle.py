"""Speckle: small, scattered groups of gates raised or lowered by a fold that
their surroundings do not share.

Why it happens: between scattered gates (clutter residue, noise, the ragged
edge of an echo) regions are tiny and their boundaries few, a handful of
contacts each. They are merged last, one at a time, each taking the rounded
mean jump to the neighbours that were merged before it. A speckle gate at
0 m/s next to a folded echo at +11 m/s (Nyquist 8.25 m/s) rounds to one fold
up, the next speckle gate takes the fold of the first, and so on: a fold
spreads through the speckle, region by region, until it meets speckle that
took its fold from elsewhere. On the demo sweep that leaves a patch of
clutter at +16.5 m/s interleaved with the same clutter at 0.

The repair: gates that are neither dense nor part of a sizeable dense area
form scattered groups (connected gates). Each group is compared with the
scattered gates around it that measured about the same velocity: where
most of them carry one fold and the group another, the group takes theirs.
Dense echo is never changed, and a group whose like gates do not agree
keeps its fold.
"""

import numpy as np

from ._optional import require

#: A gate is dense when at least this share of its 3 x 3 neighbourhood is valid ...
DENSE_SHARE = 0.55
#: ... and dense gates connected in areas of at least this many gates are solid echo.
SOLID_GATES = 20
#: Surroundings of a group: this many rays and gates beyond its extent.
REACH_RAYS = 25
REACH_GATES = 50
#: Velocity classes of the Nyquist interval; like gates are those of the
#: group's class and the two next to it (about +-0.375 Nyquist).
CLASSES = 8
#: The like gates around a group must number at least this many, and this
#: share of them must carry one fold, for the group to take it.
LIKE_GATES = 20
MAJORITY = 0.67
#: Surroundings are counted in blocks of this many rays and gates.
BLOCK = (5, 10)
#: Folds beyond +-this are counted as this (far beyond any speckle).
FOLD_LIMIT = 4


def _ndimage():
    return require("scipy.ndimage", "the speckle repair")


def scattered_groups(valid, rays_wrap_around):
    """Labels (1..n, 0 elsewhere) of the scattered groups of valid gates, and n.

    Scattered: not in an area of dense echo, where dense means that most of
    a gate's 3 x 3 neighbourhood is valid and an area is a connected set of
    at least `SOLID_GATES` dense gates.
    """
    ndimage = _ndimage()
    valid = np.asarray(valid, dtype=bool)
    dense = valid & (_valid_around(valid, rays_wrap_around) >= DENSE_SHARE * 9)
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
    """Folds with each scattered group given the fold its like surroundings carry.

    `vel` (rays, gates) as measured, `folds` as the dealiasing gave them,
    `excluded` True where a gate took no part. Returns ``(folds, changed)``:
    a new array (the input is not modified) and the number of gates whose
    fold changed.
    """
    ndimage = _ndimage()
    vel = np.asarray(vel, dtype=np.float64)
    folds = np.asarray(folds)
    valid = ~np.asarray(excluded, dtype=bool) & np.isfinite(vel)
    labels, n = scattered_groups(valid, rays_wrap_around)
    out = np.array(folds, copy=True)
    if n == 0:
        return out, 0
    member = labels > 0
    group = labels[member] - 1
    # velocity class of every scattered gate, and of every group: that of
    # its mean velocity taken round the Nyquist interval
    phase = np.pi * vel[member] / nyquist
    cls = _velocity_class(phase)
    mean_phase = np.arctan2(np.bincount(group, np.sin(phase), n), np.bincount(group, np.cos(phase), n))
    group_cls = _velocity_class(mean_phase)
    k = np.clip(folds[member], -FOLD_LIMIT, FOLD_LIMIT).astype(np.intp)
    low = int(k.min())
    k -= low
    kinds = int(k.max()) + 1
    group_fold = np.full(n, -1, dtype=np.intp)
    np.maximum.at(group_fold, group, k)
    lowest = np.full(n, kinds, dtype=np.intp)
    np.minimum.at(lowest, group, k)
    one_fold = lowest == group_fold  # a group already split between folds is left alone

    # scattered gates per (class, fold, block of rays, block of gates)
    rows, cols = np.nonzero(member)
    nbr = -(-vel.shape[0] // BLOCK[0])
    nbg = -(-vel.shape[1] // BLOCK[1])
    counts = np.zeros((CLASSES, kinds, nbr, nbg), dtype=np.int32)
    np.add.at(counts, (cls, k, rows // BLOCK[0], cols // BLOCK[1]), 1)

    extent = ndimage.find_objects(labels)
    r0 = np.array([e[0].start for e in extent]) - REACH_RAYS
    r1 = np.array([e[0].stop for e in extent]) + REACH_RAYS
    g0 = np.maximum(np.array([e[1].start for e in extent]) - REACH_GATES, 0)
    g1 = np.minimum(np.array([e[1].stop for e in extent]) + REACH_GATES, vel.shape[1])
    sums = _window_sums(counts, rays_wrap_around, np.floor_divide(r0, BLOCK[0]), -np.floor_divide(-r1, BLOCK[0]),
                        g0 // BLOCK[1], -(-g1 // BLOCK[1]))  # (classes, kinds, groups)

    like = np.zeros((n, kinds), dtype=np.int64)
    for step in (-1, 0, 1):  # the group's class and its two neighbours, round the interval
        like += sums[(group_cls + step) % CLASSES, :, np.arange(n)]
    like_own = np.abs((cls - group_cls[group] + 1) % CLASSES) <= 2
    np.add.at(like, (group[like_own], k[like_own]), -1)  # the group itself does not vote
    total = like.sum(axis=1)
    best = like.argmax(axis=1)
    top = like[np.arange(n), best]
    change = one_fold & (total >= LIKE_GATES) & (top > MAJORITY * total) & (best != group_fold)
    shift = np.where(change, best - group_fold, 0)
    out[member] = folds[member] + shift[group]
    return out, int(np.count_nonzero(shift[group]))


def _velocity_class(phase):
    """Class 0..CLASSES-1 of a velocity given as its phase in the Nyquist
    interval (-pi .. pi for -nyquist .. +nyquist)."""
    return np.clip(np.floor((phase + np.pi) / (2 * np.pi) * CLASSES), 0, CLASSES - 1).astype(np.intp)
