"""Dealiasing of plain and masked NumPy arrays: the layer over `_vornak`.

`_vornak.sweep_folds_py` accepts exactly one layout (C-contiguous native
float32 velocities and a bool mask of the same shape); everything a radar
scientist may hold (float64, masked arrays, NaN fill values, big-endian data
read from files, strided views) is converted here, once, and every argument
is checked before the core runs so that errors name what to fix.
"""

import numpy as np

from ._settings import Settings, check_flag, check_nyquist


def _core():
    try:
        import _vornak
    except ImportError as exc:
        raise ImportError(
            "vornak: the compiled extension _vornak is missing; reinstall vornak with `pip install .` "
            "from the source tree so that it is built"
        ) from exc
    return _vornak


def _velocity_array(velocity):
    """The velocity data as an ndarray and the input's own mask (or None)."""
    if isinstance(velocity, np.ma.MaskedArray):
        data, own_mask = np.ma.getdata(velocity), np.ma.getmaskarray(velocity)
    else:
        data, own_mask = np.asarray(velocity), None
    kind = data.dtype.kind
    if kind == "O":
        try:
            data = data.astype(np.float64)
        except (TypeError, ValueError):
            raise TypeError("vornak: velocity must hold real numbers (m/s); this object array does not") from None
    elif kind not in "fiu":
        raise TypeError(f"vornak: velocity must be real-valued (m/s), got dtype {data.dtype}")
    if data.ndim != 2:
        raise ValueError(
            f"vornak: velocity must be a 2-D array of one sweep, shaped (rays, gates); got {data.ndim} "
            f"dimension(s), shape {data.shape}"
        )
    return data, own_mask


def _mask_array(mask, shape):
    if isinstance(mask, np.ma.MaskedArray):
        mask = np.ma.filled(mask, True)  # a masked mask entry excludes its gate
    mask = np.asarray(mask)
    if mask.dtype.kind not in "biu":
        raise TypeError(f"vornak: mask must be boolean (True = excluded gate), got dtype {mask.dtype}")
    if mask.shape != shape:
        raise ValueError(f"vornak: mask shape {mask.shape} does not match velocity shape {shape}")
    return mask.astype(bool, copy=False)


def _prepare(velocity, nyquist, mask, rays_wrap_around, settings):
    data, own_mask = _velocity_array(velocity)
    given_mask = None if mask is None else _mask_array(mask, data.shape)
    nyquist = check_nyquist(nyquist)
    rays_wrap_around = check_flag("rays_wrap_around", rays_wrap_around)
    if not isinstance(settings, Settings):
        settings = Settings(**settings)
    # One copy at most: to native-endian, C-ordered float32. float64 values
    # beyond the float32 range become infinite and are excluded below.
    with np.errstate(over="ignore", invalid="ignore"):
        vel = np.ascontiguousarray(data, dtype=np.float32)
    excluded = ~np.isfinite(vel)
    if own_mask is not None:
        excluded |= own_mask
    if given_mask is not None:
        excluded |= given_mask
    masked = own_mask is not None or given_mask is not None
    return vel, excluded, nyquist, rays_wrap_around, settings, masked


class CoreFailure(RuntimeError):
    """The core gave up on one sweep (its InternalFailure), as an ordinary error of that sweep."""


def is_core_failure(exc):
    # The extension's InternalFailure derives from BaseException, so that no
    # `except Exception` hides it, and is not exported: known by its type's name.
    return type(exc).__module__ == "_vornak" and type(exc).__name__ == "InternalFailure"


def sweep_folds(vel, excluded, nyquist, rays_wrap_around, settings):
    """The core's fold counts of a prepared sweep (float32 C-ordered, bool mask),
    0 at excluded gates."""
    folds = _core().sweep_folds_py(
        vel, excluded, nyquist, rays_wrap_around, settings.interval_splits,
        settings.skip_between_rays, settings.skip_along_ray, settings.centered,
    )
    # Excluded gates carry the core's no-region slot, which is no fold of
    # theirs; 0 keeps `vel + folds * 2 * nyquist` equal to the input there.
    folds[excluded] = 0
    return folds


def fold_counts(
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
    """Number of Nyquist folds to add to each gate of one sweep.

    Parameters
    ----------
    velocity : array-like, shape (rays, gates)
        Measured radial velocity in m/s, rays in scan order (consecutive rays
        are neighbours). Any real dtype; masked, NaN and infinite gates are
        excluded.
    nyquist : float
        Nyquist (unambiguous) velocity in m/s, positive.
    mask : array-like of bool, optional
        True where a gate is excluded (clutter, low signal, ...); merged
        with the mask of a masked array and with non-finite values.
    rays_wrap_around : bool
        True when the last ray neighbours the first (a full 360-degree PPI).
    interval_splits : int
        Number of velocity intervals the Nyquist interval is cut into before
        gates are grouped into regions (>= 1).
    skip_between_rays, skip_along_ray : int
        Longest run of excluded gates, across rays and along a ray, over
        which two regions still count as neighbours (>= 0).
    centered : bool
        Shift all folds so that their gate-weighted mean is within half a
        fold of zero.

    Returns
    -------
    numpy.ndarray or numpy.ma.MaskedArray of int32, shape (rays, gates)
        ``velocity + folds * 2 * nyquist`` is the dealiased velocity.
        Excluded gates hold 0; the result is masked there when the input was
        a masked array or a mask was given.
    """
    settings = {"interval_splits": interval_splits, "skip_between_rays": skip_between_rays,
                "skip_along_ray": skip_along_ray, "centered": centered}
    vel, excluded, nyquist, wrap, settings, masked = _prepare(velocity, nyquist, mask, rays_wrap_around, settings)
    folds = sweep_folds(vel, excluded, nyquist, wrap, settings)
    return np.ma.MaskedArray(folds, mask=excluded) if masked else folds


def dealias(
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
    """Dealiased radial velocity of one sweep, float32 in m/s.

    Takes the parameters of `fold_counts`. Returns ``velocity + folds * 2 *
    nyquist`` as float32 (computed in double precision); excluded gates keep
    their input value and are masked when the input was a masked array or a
    mask was given.
    """
    settings = {"interval_splits": interval_splits, "skip_between_rays": skip_between_rays,
                "skip_along_ray": skip_along_ray, "centered": centered}
    vel, excluded, nyquist, wrap, settings, masked = _prepare(velocity, nyquist, mask, rays_wrap_around, settings)
    folds = sweep_folds(vel, excluded, nyquist, wrap, settings)
    out = unfold(vel, folds, nyquist)
    return np.ma.MaskedArray(out, mask=excluded) if masked else out


def unfold(vel, folds, nyquist):
    """``vel + folds * 2 * nyquist`` in double precision, returned as float32."""
    return (vel.astype(np.float64) + folds * (2.0 * nyquist)).astype(np.float32)
