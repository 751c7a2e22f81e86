"""Seam repair for sweeps that wrap around: where the first ray starts.

Regions are grouped ray by ray and never across the boundary between the
last and the first ray; only the boundary comparison reaches across it. A
region of echo that crosses it is cut in two there, and when the folds
decided around the rest of the circle do not close, the two halves end up a
fold apart: a radial line of jumps along the first ray (a whole sector one
fold off). Where the boundary falls is an accident of the scan, so when such
a line is seen the rays are rotated to put the boundary between the two rays
that share the fewest valid gates, dealiased again, and the folds rotated
back; the repair is kept only if it leaves fewer jumps in the whole sweep.

Rotating a sweep that has no seam line changes the order in which equally
strong boundaries are merged and so, case by case, improves or spoils the
result at random; hence the repair runs only where the line is there.
"""

import numpy as np

from . import _array
from ._jumps import dealiased_jumps
from ._settings import Settings

#: A seam line: at least this many of the gate pairs facing across the first
#: ray boundary jump by more than the Nyquist velocity, ...
LINE_PAIRS = 20
#: ... at least this share of them, ...
LINE_SHARE = 0.25
#: ... and this many times the share of jumps across the other ray boundaries.
LINE_CONTRAST = 10.0


def seam_contacts(valid):
    """Valid gate pairs across each ray boundary of a wrapping sweep.

    Entry r counts the gates valid in both ray r - 1 and ray r (entry 0: the
    last and the first ray).
    """
    valid = np.asarray(valid, dtype=bool)
    return np.count_nonzero(valid & np.roll(valid, 1, axis=0), axis=1)


def best_first_ray(valid):
    """The ray to put first so that the seam crosses the fewest valid gates
    (0 when the present seam is already among the least crossed)."""
    contacts = seam_contacts(valid)
    if contacts.size == 0 or contacts[0] == contacts.min():
        return 0
    return int(np.argmin(contacts))


def has_seam_line(across, wrap):
    """True when the first and the last ray of a dealiased wrapping sweep
    disagree by more than the Nyquist velocity along a good part of their
    common gates, far more often than neighbouring rays elsewhere do.
    `across` and `wrap`: (jumps, pairs) across the other ray boundaries and
    across the first, as `dealiased_jumps` counts them."""
    share = _line_share(*wrap)
    return bool(share) and share >= LINE_CONTRAST * (across[0] / max(across[1], 1))


def _broken_across(first, last, nyquist):
    """`_line_share` of two dealiased rays (NaN where no gate)."""
    with np.errstate(invalid="ignore"):
        seam = np.abs(np.asarray(first, dtype=np.float64) - np.asarray(last, dtype=np.float64))
    return _line_share(int(np.count_nonzero(seam > nyquist)), int(np.count_nonzero(np.isfinite(seam))))


def _line_share(broken, pairs):
    """The share of the gate pairs across a ray boundary that disagree by
    more than the Nyquist velocity when they make a line (at least
    LINE_PAIRS of them and LINE_SHARE of the pairs), else 0."""
    share = broken / max(pairs, 1)
    return share if broken >= LINE_PAIRS and share >= LINE_SHARE else 0.0


def repair_seam(vel, excluded, folds, nyquist, settings):
    """Folds of the core, rotated to a better seam where a seam line shows.

    `vel` (float32, C-ordered) and `excluded` as `_array.sweep_folds` takes
    them for a wrapping sweep, `folds` what it returned for them. Returns
    ``(folds, first_ray)``: the folds to use, in the input's ray order, and
    the ray the kept computation started from (0: the folds given).
    """
    if vel.shape[0] < 3:
        return folds, 0
    ends = np.where(excluded[[0, -1]], np.nan, _array.unfold(vel[[0, -1]], folds[[0, -1]], nyquist))
    if not _broken_across(ends[0], ends[1], nyquist):
        return folds, 0  # the first test of has_seam_line, on the two rays alone: most sweeps end here
    along, across, wrap = dealiased_jumps(vel, folds, excluded, nyquist, True)
    if not has_seam_line(across, wrap):
        return folds, 0
    first = best_first_ray(~excluded)
    if first == 0:
        return folds, 0
    rotated = np.ascontiguousarray(np.roll(vel, -first, axis=0))
    moved = _array.sweep_folds(rotated, np.roll(excluded, -first, axis=0), nyquist, True, settings)
    moved = np.roll(moved, first, axis=0)
    if _total_jumps(dealiased_jumps(vel, moved, excluded, nyquist, True)) >= _total_jumps((along, across, wrap)):
        return folds, 0
    return moved, first


def _total_jumps(kinds):
    return sum(jumps for jumps, _ in kinds)


def fold_counts_seamed(
    velocity,
    nyquist,
    *,
    mask=None,
    rays_wrap_around=False,
    interval_splits=3,
    skip_between_rays=100,
    skip_along_ray=100,
    centered=True,
):
    """`vornak.fold_counts`, with a seam line of a wrapping sweep repaired.

    Returns ``(folds, first_ray)``: the folds in the input's ray order, as
    `fold_counts` returns them, and the ray the kept computation started
    from. With first_ray 0 (no wrap-around, no seam line, or no better
    seam) the folds are exactly those of `fold_counts`.
    """
    settings = Settings(interval_splits, skip_between_rays, skip_along_ray, centered)
    vel, excluded, nyquist, wrap, settings, masked = _array._prepare(velocity, nyquist, mask, rays_wrap_around, settings)
    folds = _array.sweep_folds(vel, excluded, nyquist, wrap, settings)
    first = 0
    if wrap:
        folds, first = repair_seam(vel, excluded, folds, nyquist, settings)
    return (np.ma.MaskedArray(folds, mask=excluded) if masked else folds), first
