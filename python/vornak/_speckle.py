"""Speckle: small, scattered groups of gates raised or lowered by a fold that
their surroundings do not share.

Why it happens: between scattered gates (clutter residue, noise, the ragged
edge of an echo) regions are tiny and their boundaries few, a handful of
contacts each, found across up to a hundred excluded gates. They are merged
last, one at a time, each taking the rounded mean jump to the neighbours that
were merged before it. Clutter at 0 m/s beside the edge of an echo at +15 m/s
(Nyquist 8.25 m/s) rounds one fold up, +16.5 m/s being nearer; the next
clutter gate takes the fold of the first, and so on: the fold spreads through
the clutter, region by region, until it meets clutter that kept fold 0. On
the demo sweep that leaves a patch of clutter at +16.5 m/s interleaved with
the same clutter at 0.

Nearness to the echo cannot tell such speckle from a small real feature; its
own kind can. Gates that are neither dense nor part of a sizeable dense area
form scattered groups (connected gates). A group whose velocity is about
zero, as measured, and that carries a fold is clutter raised along with its
neighbours unless the gates around it that measured about zero too carry the
same fold: a ragged edge or a patch of echo at a whole number of folds keeps
it (its like surroundings share it), raised clutter among clutter at fold 0
returns to 0 (its gates that measured about zero; a gate of it that
measured another velocity keeps its fold). Groups at other velocities,
groups at fold 0 and dense echo are never changed: moving them by a fold
majority of their surroundings spoils as many sweeps as it mends.

Here the groups are found by flood fill from the like gates that carry a
fold, in compiled code (`vornak._vornak_anchor.speckle_folds`): only the
groups holding such a gate can change, so a sweep is never labelled whole.
The constants below are those of the kernel, for the other steps that
share them.
"""

import numpy as np

from ._anchor_kernel import kernel as _kernel

#: A gate is dense when at least this share of its 3 x 3 neighbourhood is valid ...
DENSE_SHARE = 0.55
#: ... and dense gates connected in areas of at least this many gates are solid echo.
SOLID_GATES = 20
#: A group is clutter-like when its mean velocity is within this share of the
#: Nyquist velocity of zero; gates within twice that are like it.
NEAR_ZERO = 0.2
#: Surroundings of a group: this many rays and gates beyond its extent.
REACH_RAYS = 25
REACH_GATES = 50
#: A raised clutter-like group keeps its fold when at least this many like
#: gates surround it and more than this share of them carry the same fold.
LIKE_GATES = 10
SUPPORT = 0.75
#: Surroundings are counted in blocks of this many rays and gates.
BLOCK = (5, 10)
#: Folds beyond +-this are counted as this (far beyond any speckle).
FOLD_LIMIT = 4


def speckle_folds(vel, folds, nyquist, excluded, rays_wrap_around):
    """Folds with clutter speckle that took a fold (up or down) put back to 0.

    `vel` (rays, gates) as measured, `folds` as the dealiasing gave them,
    `excluded` True where a gate took no part. Returns ``(folds, changed)``:
    a new array of the dtype of `folds` (the input is not modified) and the
    number of gates whose fold changed.
    """
    vel = np.asarray(vel)
    if vel.dtype not in (np.float32, np.float64):
        vel = vel.astype(np.float64)
    folds = np.asarray(folds)
    kind = folds.dtype
    if kind not in (np.int32, np.int64):
        folds = folds.astype(np.int64)
    out, changed = _kernel.speckle_folds(np.ascontiguousarray(excluded, dtype=bool), np.ascontiguousarray(vel),
                                         np.ascontiguousarray(folds), float(nyquist), bool(rays_wrap_around),
                                         _about_zero)
    return (out if out.dtype == kind else out.astype(kind)), changed


def _about_zero(sin_sums, cos_sums):
    """Which group means, as sums of the sines and cosines of their phases,
    are within NEAR_ZERO of the Nyquist velocity of zero: NumPy's arctangent
    decides, as it did when the repair was written in NumPy."""
    return np.abs(np.arctan2(sin_sums, cos_sums)) < NEAR_ZERO * np.pi
