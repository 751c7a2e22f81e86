"""The repairs that the xarray layer and the command line run after the exact
fold counts of a sweep: the seam of a sweep that wraps around (`_seam`, by
default) and clutter speckle raised by a fold (`_speckle`, by default). Each
is a separate step on top; the array functions `fold_counts` / `dealias` return
the exact folds alone."""

from . import _seam, _speckle


def repair(vel, excluded, folds, nyquist, rays_wrap_around, settings):
    """Folds after the repairs that `settings` asks for, and what they did:
    ``(folds, {"first_ray": int, "speckle_gates": int})``.

    `vel` (float32, C-ordered, rays in scan order) and `excluded` as
    `_array.sweep_folds` takes them, `folds` what it returned for them.
    first_ray: the ray the kept computation started from (0: the seam stayed
    between the last and the first ray); speckle_gates: gates whose fold the
    speckle repair changed.
    """
    first = changed = 0
    if settings.seam_repair and rays_wrap_around:
        folds, first = _seam.repair_seam(vel, excluded, folds, nyquist, settings)
    if settings.speckle_repair:
        folds, changed = _speckle.speckle_folds(vel, folds, nyquist, excluded, rays_wrap_around)
    return folds, {"first_ray": first, "speckle_gates": changed}
