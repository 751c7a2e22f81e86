"""Dealiasing of xarray sweeps and volumes as xradar returns them.

One sweep is one call of the core: the field is rechunked to a single block
per sweep and handed to `xarray.apply_ufunc`, so the same code runs eagerly,
lazily on Dask and on a `dask.distributed` cluster.
"""

import dataclasses
import warnings

import numpy as np

from . import _array, names
from . import _anchor
from ._anchor import wind_profile
from ._optional import require
from ._repairs import repair
from ._settings import Settings, check_flag, check_nyquist
from ._timeseries import RAY_GROUPING

__all__ = ["dealias_sweep", "dealias_volume", "find_velocity_field", "sweep_nyquist", "covers_full_circle", "velocity_sweeps"]


def _xr():
    return require("xarray", "dealiasing xarray sweeps")


def find_velocity_field(ds):
    """Name of the radial-velocity variable of a sweep, or None."""
    for name in names.VELOCITY_CANDIDATES:
        if name in ds.data_vars and ds[name].ndim == 2:
            return name
    for name, var in ds.data_vars.items():
        if var.ndim == 2 and str(var.attrs.get("standard_name", "")).startswith(names.VELOCITY_STANDARD_NAME):
            return name
    for name, var in ds.data_vars.items():  # ARM's other channels, as the time-series reader takes them
        if var.ndim == 2 and name.startswith(names.ARM_VELOCITY_PREFIX):
            return name
    return None


def _finite_values(value):
    arr = np.asarray(value)
    if arr.dtype.kind == "O":
        arr = np.array([v for v in arr.ravel() if isinstance(v, (int, float, np.number))], dtype=np.float64)
    elif arr.dtype.kind not in "fiu":
        return np.empty(0)
    arr = np.asarray(arr, dtype=np.float64).ravel()
    return arr[np.isfinite(arr) & (arr > 0)]


def sweep_nyquist(ds, field):
    """The Nyquist velocity of a sweep in m/s, or None when it carries none.

    Looks at the sweep's `nyquist_velocity` variable (per ray or scalar),
    then at the field's attributes. Rays with different Nyquist velocities
    (staggered or mixed PRF) cannot be unfolded with one value: that is an
    error asking for an explicit value.
    """
    candidates = []
    if names.NYQUIST in ds.variables:
        candidates.append((f"variable '{names.NYQUIST}'", ds[names.NYQUIST].values))
    attrs = ds[field].attrs if field in ds.variables else {}
    for key in names.NYQUIST_ATTRS:
        if key in attrs:
            candidates.append((f"attribute '{field}.{key}'", attrs[key]))
    for source, value in candidates:
        values = _finite_values(value)
        if values.size == 0:
            continue
        low, high = float(values.min()), float(values.max())
        if high - low > 1e-3 * high:
            raise ValueError(
                f"vornak: the sweep's {source} varies between rays ({low:g} to {high:g} m/s); "
                "rays of different Nyquist velocities cannot be unfolded together: pass nyquist= explicitly"
            )
        return high
    return None


def covers_full_circle(azimuth):
    """True when the azimuths of a sweep go round the whole circle evenly.

    A full PPI has no gap between neighbouring rays, the one across north
    included, much larger than its typical ray spacing.
    """
    az = np.sort(np.mod(np.asarray(azimuth, dtype=np.float64), 360.0))
    az = az[np.isfinite(az)]
    if az.size < 3:
        return False
    gaps = np.diff(np.concatenate([az, az[:1] + 360.0]))
    step = np.median(gaps)
    return bool(step > 0 and gaps.max() <= max(3.0 * step, 2.0) and 360.0 / step >= 0.9 * az.size)


def _scan_is_rhi(ds):
    mode = ds[names.SWEEP_MODE].values.item() if names.SWEEP_MODE in ds.variables else ""
    mode = (mode.decode(errors="replace") if isinstance(mode, bytes) else str(mode)).strip().lower()
    if mode in names.RHI_MODES:
        return True
    if mode in names.PPI_MODES:
        return False
    # No (known) sweep_mode: the angle that changes more is the scanning one.
    if names.AZIMUTH in ds.coords and names.ELEVATION in ds.coords:
        az = np.unwrap(np.radians(np.asarray(ds[names.AZIMUTH].values, dtype=np.float64)))
        el = np.radians(np.asarray(ds[names.ELEVATION].values, dtype=np.float64))
        return bool(np.ptp(el) > np.ptp(az)) if az.size else False
    return False


def _ray_order(ds, ray_dim):
    """Permutation putting rays in scan-angle order, and the angle's name."""
    angle = names.ELEVATION if _scan_is_rhi(ds) else names.AZIMUTH
    if angle not in ds.coords or ds[angle].dims != (ray_dim,):
        return np.arange(ds.sizes[ray_dim]), None
    values = np.asarray(ds[angle].values, dtype=np.float64)
    if angle == names.AZIMUTH:
        values = np.mod(values, 360.0)
    return np.argsort(values, kind="stable"), angle


def _kernel(vel, *mask, order, nyquist, rays_wrap_around, settings, with_folds, vad_azimuth=None, report=None,
            noise=None, screened=False):
    """One sweep (rays, gates) in the dataset's ray order -> dealiased (and
    folds), and the whole folds the sweep's VAD fit added when `vad_azimuth`
    (the azimuths in the dataset's ray order) is given; `report`, a dict,
    receives what the repairs did. `noise(scan_vel, scan_excluded, report)`,
    when given, returns gates to exclude as well (dataset order) or None.
    `screened`: `mask` is the gate screen's own array of the sweep's excluded
    gates, the ones not finite as float32 among them, and is changed here."""
    with np.errstate(over="ignore", invalid="ignore"):
        vel = np.ascontiguousarray(vel, dtype=np.float32)
    if screened:
        excluded = np.ascontiguousarray(mask[0], dtype=bool)
    else:
        excluded = ~np.isfinite(vel)
        if mask:
            excluded |= np.asarray(mask[0], dtype=bool)
    scan_vel, scan_excluded = (vel, excluded) if order is None else (vel[order], excluded[order])
    if noise is not None:
        low = noise(scan_vel, scan_excluded, report)
        if low is not None:
            excluded |= low
            scan_excluded = excluded if order is None else excluded[order]
    try:
        folds = _array.sweep_folds(scan_vel, scan_excluded, nyquist, rays_wrap_around, settings)
        folds, done = repair(scan_vel, scan_excluded, folds, nyquist, rays_wrap_around, settings)
    except BaseException as exc:
        if not _array.is_core_failure(exc):
            raise
        reason = str(exc).split(" (at ")[0]
        raise _array.CoreFailure(
            f"vornak: the dealiasing of this sweep failed ({reason}); check its velocities and "
            f"its Nyquist velocity ({nyquist:g} m/s)"
        ) from None
    if report is not None:
        report.update(done)
    shift = 0
    if vad_azimuth is not None:
        # In scan order: the nearby echo step pairs neighbouring rays. Neither
        # it nor the VAD fit needs the elevation or the gate ranges.
        azimuth = vad_azimuth if order is None else vad_azimuth[order]
        sweep = _anchor.SweepInput(scan_vel, folds, scan_excluded, nyquist, azimuth, 0.0, np.zeros(vel.shape[1]),
                                   rays_wrap_around)
        folds, anchoring = _anchor.anchor_sweep(sweep, vad=True, own=True)
        shift = anchoring.sweep_shift
        if report is not None:
            report["nearby_gates"] = anchoring.nearby_gates
    if order is not None:
        scan_folds, folds = folds, np.empty(vel.shape, dtype=np.int32)
        folds[order] = scan_folds  # back to the dataset's own ray order
    # as _array.unfold computes it, NaN (the CF fill value of the dealiased field) where excluded
    out = _anchor._kernel.unfold(vel, np.ascontiguousarray(folds), excluded, 2.0 * nyquist)
    results = (out, folds) if with_folds else (out,)
    return results + (np.int32(shift),) if vad_azimuth is not None else (results if with_folds else out)


def _comment(field, nyquist, rays_wrap_around, settings):
    from . import __version__

    return (
        f"{names.METHOD} (vornak {__version__}) of {field} with nyquist_velocity={nyquist:g} m/s, "
        f"rays_wrap_around={rays_wrap_around}, {settings.describe()}"
    )


def dealias_sweep(
    ds,
    field=None,
    nyquist=None,
    *,
    rays_wrap_around=None,
    interval_splits=3,
    skip_between_rays=100,
    skip_along_ray=100,
    centered=True,
    mask=None,
    keep_folds=False,
    reference=None,
    seam_repair=True,
    speckle_repair=True,
    noise_mask=True,
):
    """Dealias one sweep dataset; returns a new dataset with `VRADDH` added.

    Parameters
    ----------
    ds : xarray.Dataset
        One sweep as xradar returns it: the field has dimensions (rays,
        range), rays along `azimuth` (PPI), `elevation` (RHI) or `time`.
    field : str or None
        Radial-velocity variable; None (the default) picks the first
        recognised one (VRADH, VRAD, velocity, VEL, ... or a radial-velocity
        standard_name), as the command line does.
    nyquist : float, optional
        Nyquist velocity in m/s; by default the sweep's `nyquist_velocity`
        variable or the field's `nyquist_velocity` / `NI` attribute.
    rays_wrap_around : bool, optional
        By default True exactly when the sweep is a PPI whose azimuths cover
        the full circle.
    interval_splits, skip_between_rays, skip_along_ray, centered
        As for `vornak.fold_counts`.
    mask : str or array-like of bool, optional
        Gates to exclude besides NaN ones (True = excluded): the name of a
        boolean variable of the sweep, or an array / DataArray shaped like
        the field (e.g. ``ds.RHOHV < 0.8``).
    keep_folds : bool
        Also add the per-gate fold counts as `VRADDH_FOLDS`.
    reference : None, "vad" or a wind profile
        Anchor the result by whole folds (a PPI only; see README, Quality):
        to a wind profile, (height above the radar in m, u, v in m/s) or a
        dataset with variables `u` and `v` along `height`, or to the sweep's
        own VAD fit ("vad"); then echo areas of a few gates a fold off the
        large echo beside them are moved to it. The attributes `anchoring`
        and `anchor_nearby_gates_changed` of `VRADDH` say what was changed.
        The fold counts of the exact algorithm are kept as they are where
        the reference is weak.
    seam_repair, speckle_repair, noise_mask : bool
        The steps after the exact fold counts (see README, "After the exact
        folds"): a seam line along the first ray of a full PPI repaired by
        moving the seam; small scattered groups of clutter at about 0 m/s
        raised by a fold that the like gates around them do not share put
        back to fold 0; a sweep that is mostly noise masked with the lowest
        working threshold of its quality field (normalized coherent power or
        signal-to-noise ratio; not when `mask` is given), with a warning
        either way. The attributes `seam`, `speckle_gates_changed` and
        `noise` of `VRADDH` say what they did (in-memory sweeps; Dask-backed
        ones are repaired alike, without the attributes, and not masked).

    Rays are sorted by azimuth (by elevation for an RHI) for the core, and the
    result is put back in the dataset's own ray order. Dask-backed fields stay
    lazy, with one block per sweep.
    """
    settings = Settings(interval_splits, skip_between_rays, skip_along_ray, centered, seam_repair, speckle_repair,
                        noise_mask)
    if isinstance(reference, str) and reference != "vad":
        raise ValueError(
            f"vornak: reference must be 'vad' or a wind profile (height, u, v), got {reference!r}; to anchor "
            "sweeps to the other sweeps of their volume use dealias_volume(tree, anchor='volume')"
        )
    vad = isinstance(reference, str)  # "vad", the only text accepted
    if reference is None or vad:
        out = _dealias_sweep(ds, field, nyquist, settings, rays_wrap_around=rays_wrap_around, mask=mask,
                             keep_folds=keep_folds, vad=vad)
        _warn_noise(out)
        return out
    from ._anchor_xarray import anchor_sweeps

    profile = wind_profile(reference)
    out = _dealias_sweep(ds, field, nyquist, settings, rays_wrap_around=rays_wrap_around, mask=mask, keep_folds=True)
    _warn_noise(out)
    return anchor_sweeps([out], volume=False, profile=profile, keep_folds=keep_folds)[0]


def _warn_noise(out):
    text = out[names.DEALIASED].attrs.get(names.NOISE)
    if text:
        warnings.warn(f"vornak: {text}", RuntimeWarning, stacklevel=3)


def _dealias_sweep(ds, field, nyquist, settings, *, rays_wrap_around=None, mask=None, keep_folds=False, vad=False):
    """`dealias_sweep` with its tuning already validated as one `Settings`."""
    xr = _xr()
    if not isinstance(ds, xr.Dataset):
        raise TypeError(
            f"vornak: dealias_sweep takes one sweep as an xarray.Dataset, got {type(ds).__name__}; "
            "for a whole volume (DataTree) use vornak.dealias_volume"
        )
    field = _velocity_name(ds, field)
    var = ds[field]
    if var.ndim != 2:
        raise ValueError(f"vornak: '{field}' must have 2 dimensions (rays, range), has {var.dims}")
    if var.dtype.kind not in "fiu":
        raise TypeError(f"vornak: '{field}' must hold real numbers, has dtype {var.dtype}")
    gate_dim = names.RANGE if names.RANGE in var.dims else var.dims[1]
    ray_dim = next(d for d in var.dims if d != gate_dim)

    if nyquist is None:
        nyquist = sweep_nyquist(ds, field)
        if nyquist is None:
            raise ValueError(
                f"vornak: the sweep carries no Nyquist velocity (no '{names.NYQUIST}' variable or attribute "
                f"of '{field}'); pass nyquist= in m/s (--nyquist on the command line)"
            )
    nyquist = check_nyquist(nyquist)
    order, angle = _ray_order(ds, ray_dim)
    if rays_wrap_around is None:
        rays_wrap_around = angle == names.AZIMUTH and covers_full_circle(ds[names.AZIMUTH].values)
    rays_wrap_around = check_flag("rays_wrap_around", rays_wrap_around)
    if order is not None and np.array_equal(order, np.arange(order.size)):
        order = None  # already in scan order: no reordering copies

    given = None if mask is None else _mask_like(ds, var, mask)
    kwargs = {"order": order, "nyquist": nyquist, "rays_wrap_around": rays_wrap_around, "settings": settings,
              "with_folds": keep_folds}
    # The VAD fit needs a PPI: azimuths that turn. It adds the shift it made
    # to the kernel's results.
    vad_azimuth = None
    if vad and angle == names.AZIMUTH:
        vad_azimuth = kwargs["vad_azimuth"] = np.asarray(ds[names.AZIMUTH].values, dtype=np.float64)
    fields = 2 if keep_folds else 1
    count = fields + (vad_azimuth is not None)
    dims = (ray_dim, gate_dim)
    report = {}
    if var.chunks is None and (given is None or given.chunks is None):
        # in memory: NumPy on the arrays themselves, without xarray's alignment
        vel, excluded, nimplausible = _excluded_gates(_in_order(var, dims), var, nyquist)
        if given is not None:
            excluded |= np.asarray(_in_order(given, dims), dtype=bool)
        kwargs["noise"] = _noise_check(ds, var, dims, order, nyquist, rays_wrap_around,
                                       apply=settings.noise_mask and mask is None)
        results = _kernel(vel, excluded, **kwargs, report=report, screened=True)
        results = results if count > 1 else (results,)
        shift = results[-1] if vad_azimuth is not None else None
        results = [xr.Variable(dims, r) for r in results[:fields]]
    else:
        excluded = _flag_codes(var, var)
        implausible = implausible_gates(var, var, nyquist)
        excluded = implausible if excluded is None else (excluded | implausible)
        nimplausible = None  # lazy: not counted
        if given is not None:
            excluded = excluded | given
        inputs = [x.transpose(*dims) for x in [var, excluded]]
        # the core needs the whole sweep at once: one block per sweep
        inputs = [x.chunk({ray_dim: -1, gate_dim: -1}) for x in inputs]
        results = xr.apply_ufunc(
            _kernel, *inputs, kwargs=kwargs,
            input_core_dims=[list(dims)] * len(inputs),
            output_core_dims=[list(dims)] * fields + [[]] * (count - fields),
            dask="parallelized", output_dtypes=[np.float32] + [np.int32] * (count - 1),
            keep_attrs=False,
        )
        results = results if count > 1 else (results,)
        shift = results[-1] if vad_azimuth is not None else None
        results = [r.variable for r in results[:fields]]
    comment = _comment(field, nyquist, rays_wrap_around, settings)
    dealiased = results[0].transpose(*var.dims)
    dealiased.attrs = names.dealiased_attrs(field, nyquist, comment)
    if RAY_GROUPING in ds.attrs:
        dealiased.attrs[RAY_GROUPING] = ds.attrs[RAY_GROUPING]
    if nimplausible:
        dealiased.attrs[names.IMPLAUSIBLE_GATES] = np.int64(nimplausible)
        warnings.warn(f"vornak: {nimplausible} gates of {field} hold values that cannot be velocities (fill values, "
                      f"missing-value codes or beyond {IMPLAUSIBLE_FACTOR:g} x the Nyquist velocity); excluded",
                      stacklevel=3)
    dealiased.attrs.update(_repair_attrs(ds, report, order, angle, rays_wrap_around, settings))
    dealiased.encoding = {"dtype": "float32", "_FillValue": np.float32(np.nan)}
    if vad:
        dealiased.attrs.update(_vad_attrs(shift, report))
    new = {names.DEALIASED: dealiased}
    if keep_folds:
        new[names.FOLDS] = results[1].transpose(*var.dims)
        new[names.FOLDS].attrs = names.folds_attrs(comment)
    return _with_variables(ds, new)


def _with_variables(ds, new):
    """A shallow copy of `ds` with the variables `new` (name -> Variable)
    added, or put in place of its own of that name.

    They lie on the sweep's own dimensions, so the merge that `update` makes
    (alignment, indexes: a good part of the Python around the kernels of a
    sweep) has nothing to do: the copy takes them directly. A variable of
    other sizes still goes through `update`, and so does every variable
    where xarray lacks the private `_replace` this relies on."""
    out = ds.copy()
    same_sizes = all(ds.sizes.get(dim) == size for var in new.values() for dim, size in zip(var.dims, var.shape))
    if not same_sizes or not hasattr(out, "_replace") or not hasattr(out, "_variables"):
        out.update(new)
        return out
    return out._replace(variables={**out._variables, **new})


def _repair_attrs(ds, report, order, angle, rays_wrap_around, settings):
    """What the repairs did, for the attributes of the dealiased field (known
    only for a sweep computed here, not for a Dask-backed one)."""
    attrs = {}
    if "first_ray" in report and settings.seam_repair and rays_wrap_around:
        first = report["first_ray"]
        if first:
            ray = first if order is None else order[first]
            attrs[names.SEAM] = (f"moved to the ray at {angle} {float(ds[angle].values[ray]):.2f} deg: the first and "
                                 "the last ray disagreed by a fold along most of their gates")
        else:
            attrs[names.SEAM] = "left between the last and the first ray"
    if "speckle_gates" in report and settings.speckle_repair:
        attrs[names.SPECKLE_CHANGED] = np.int64(report["speckle_gates"])
    if report.get("noise"):
        attrs[names.NOISE] = report["noise"]
    return attrs


def _noise_check(ds, var, dims, order, nyquist, rays_wrap_around, apply):
    """The kernel's noise step for a sweep in memory: it reports a sweep
    that is mostly noise and, when `apply`, returns the gates below the
    working quality threshold."""
    from . import _noise

    def qualities():
        scan = slice(None) if order is None else order
        return [(name, np.asarray(_in_order(ds[name], dims), dtype=np.float64)[scan], thresholds, unit)
                for _, name, thresholds, unit in _noise.quality_fields(ds, var)]

    def check(scan_vel, scan_excluded, report):
        found = _noise.assess(scan_vel, nyquist, rays_wrap_around, qualities, excluded=scan_excluded)
        if found is None:
            return None
        low = None
        if found.field is not None and apply:
            found = dataclasses.replace(found, applied=True)
            with np.errstate(invalid="ignore"):
                low = ~(np.asarray(_in_order(ds[found.field], dims)) >= found.threshold)
        report["noise"] = found.describe()
        return low

    return check


def _in_order(da, dims):
    """The values of a DataArray with its dimensions in `dims` order."""
    return np.transpose(np.asarray(da.values), [da.dims.index(d) for d in dims])


def _vad_attrs(shift, report):
    """What the VAD anchoring did: the shift when known, which it is not
    until a Dask-backed sweep is computed, and the gates that the nearby
    echo step moved (`report`, of a sweep computed here)."""
    if shift is None:
        return {names.ANCHOR: "not anchored: no PPI"}
    if getattr(shift, "chunks", None) is not None:
        return {names.ANCHOR: "anchored by vad (computed lazily: the sweep shift is not recorded)"}
    k = int(np.asarray(shift))
    attrs = {names.ANCHOR: f"anchored by vad: sweep shift {k:+d} folds", names.ANCHOR_SHIFT: k}
    if "nearby_gates" in report:
        attrs[names.ANCHOR_NEARBY] = np.int64(report["nearby_gates"])
        if report["nearby_gates"]:
            attrs[names.ANCHOR] += (f", then {report['nearby_gates']} gates of small echo areas moved to the "
                                    "fold of the echo beside them")
    return attrs


def _velocity_name(ds, field):
    """The velocity variable to dealias: `field`, or the one detected when None."""
    if field is None:
        field = find_velocity_field(ds)
        if field is None:
            raise ValueError(
                f"vornak: no radial-velocity variable found in the sweep (variables: {sorted(ds.data_vars)}); "
                "name it with field="
            )
    if field not in ds.data_vars:
        found = find_velocity_field(ds)
        hint = f"; this sweep's velocity looks like '{found}': pass field='{found}'" if found else ""
        raise ValueError(f"vornak: the sweep has no variable '{field}'{hint}")
    return field


#: Measured velocities lie within the Nyquist interval, or a little beyond
#: it; a gate beyond this many Nyquist velocities holds no velocity.
IMPLAUSIBLE_FACTOR = 100.0

#: Numbers that files use for "no data" in float fields.
MISSING_CODES = (-99999.0, -9999.0, -999.0, -32768.0, -32767.0)


def implausible_gates(values, var, nyquist):
    """Gates of `values` (the data of `var`, as a NumPy, Dask or xarray
    array) whose values cannot be velocities: fill values and missing-value
    codes left in the data (the field's own `_FillValue` / `missing_value`
    when they were not decoded to NaN, the usual codes such as -9999) and
    values beyond IMPLAUSIBLE_FACTOR Nyquist velocities, such as netCDF's
    default fill 9.97e36. Fed to the core, one of them shifts every gate of
    its sweep by whole folds, or overflows the core's velocity intervals."""
    bound, codes = _implausible_codes(var, nyquist)
    with np.errstate(invalid="ignore"):
        bad = abs(values) > bound
        for code in codes:
            bad = bad | (values == code)
    return bad


def _implausible_codes(var, nyquist):
    """The bound of `implausible_gates` and the codes within it (the others are beyond it already)."""
    bound = IMPLAUSIBLE_FACTOR * nyquist
    codes = list(MISSING_CODES)
    for key in ("_FillValue", "missing_value"):
        codes += [float(v) for v in np.atleast_1d(var.attrs.get(key, [])) if np.isfinite(v)]
    return bound, {c for c in codes if abs(c) <= bound}


def _excluded_gates(values, var, nyquist):
    """A sweep in memory as the kernel takes it: its velocities as float32,
    the gates it excludes (not finite as float32, `implausible_gates`,
    `_flag_codes`) and the count of the implausible ones; one compiled pass
    when `values` are float32 or float64, each number compared in the type
    NumPy compares it in."""
    if not (isinstance(values, np.ndarray) and values.dtype in (np.float32, np.float64)):
        excluded = implausible_gates(values, var, nyquist)
        count = np.count_nonzero(excluded)
        flags = _flag_codes(values, var)
        with np.errstate(over="ignore", invalid="ignore"):
            vel = np.asarray(values, dtype=np.float32)
        excluded = excluded | ~np.isfinite(vel)
        return vel, (excluded if flags is None else excluded | flags), count
    bound, codes = _implausible_codes(var, nyquist)
    codes = list(codes)
    flags = _flag_values(var)
    if flags is not None:
        codes += flags
    with np.errstate(over="ignore"):
        compared = [float(np.asarray(c, dtype=np.result_type(values, c))) for c in [bound, *codes]]
    return _anchor._kernel.codes_and_bound(np.ascontiguousarray(values), compared[0],
                                           np.array(compared[1:], dtype=np.float64),
                                           len(codes) - (0 if flags is None else len(flags)))


def _flag_codes(values, var):
    """Gates of `values` (the data of `var`) that hold a flag code, not a
    velocity, as readers decode them; None when its reader leaves none.

    xradar's ODIM reader keeps the "undetect" code (no echo) as a number and
    names it in the `_Undetect` attribute, in raw units. Its NEXRAD Level II
    reader decodes raw 0 ("below threshold") and 1 ("range folded") of the
    velocity moment like data; that packing is recognised by its unsigned
    bytes with `add_offset` = -129 * `scale_factor` and no fill value.
    """
    codes = _flag_values(var)
    if codes is None:
        return None
    found = values == codes[0]
    for code in codes[1:]:
        found = found | (values == code)
    return found


def _flag_values(var):
    """The flag codes of `_flag_codes` as numbers, or None."""
    if var.dtype.kind != "f":
        return None
    enc = var.encoding
    scale, offset = enc.get("scale_factor"), enc.get("add_offset")
    raw = var.attrs.get("_Undetect")
    if raw is not None:
        return [np.float64(raw) * (1.0 if scale is None else scale) + (0.0 if offset is None else offset)]
    packed = np.dtype(enc.get("dtype", var.dtype))
    if (
        packed == np.uint8
        and "_FillValue" not in enc
        and scale is not None
        and offset is not None
        and np.isclose(offset, -129.0 * scale)
    ):
        return [offset, offset + scale]
    return None


def _mask_like(ds, var, mask):
    xr = _xr()
    if isinstance(mask, str):
        if mask not in ds.variables:
            raise ValueError(f"vornak: the sweep has no mask variable '{mask}'")
        mask = ds[mask]
    if not isinstance(mask, xr.DataArray):
        mask = np.asarray(mask)
        if mask.shape != var.shape:
            raise ValueError(f"vornak: mask shape {mask.shape} does not match the field's shape {var.shape} {var.dims}")
        mask = xr.DataArray(mask, dims=var.dims)
    if set(mask.dims) != set(var.dims):
        raise ValueError(f"vornak: mask dimensions {mask.dims} do not match the field's {var.dims}")
    if mask.dtype.kind not in "biu":
        raise TypeError(f"vornak: mask must be boolean (True = excluded gate), got dtype {mask.dtype}")
    return mask


def dealias_volume(
    tree,
    field=None,
    nyquist=None,
    *,
    interval_splits=3,
    skip_between_rays=100,
    skip_along_ray=100,
    centered=True,
    anchor="vad",
    profile=None,
    seam_repair=True,
    speckle_repair=True,
    noise_mask=True,
    **kwargs,
):
    """Dealias every sweep of an xradar DataTree; returns a new tree.

    `field` None (the default) picks each sweep's radial-velocity variable.
    Sweeps without the field (reflectivity-only cuts of a NEXRAD volume, for
    instance) are left as they are; a volume in which no sweep has it is an
    error. Other keyword arguments go to `dealias_sweep`. Open files with
    `vornak.open_radar` to have the Nyquist velocity that xradar leaves out
    read from the file itself.

    `anchor` "vad" (the default) shifts a PPI by whole folds where the VAD
    fit of the sweep shows it off as a whole, then echo areas of a few gates
    a fold off the large echo beside them (the quality benchmark found it
    never worse than no anchoring); None leaves the exact fold counts as
    they are. "volume" also moves sweeps and detached echo areas to agree
    with the neighbouring sweeps in elevation, then with the wind profile
    the VAD fits of all the volume's sweeps make, and `profile`, a wind profile
    as for `dealias_sweep`'s `reference`, is preferred to both when given:
    they fix more but can misplace an area where the reference is wrong
    (see README, Quality), and they compute Dask-backed sweeps. The
    attribute `anchoring` of each `VRADDH` says what anchored it and by how
    much.
    """
    xr = _xr()
    if isinstance(tree, xr.Dataset):
        raise TypeError("vornak: dealias_volume takes an xarray.DataTree; for one sweep use vornak.dealias_sweep")
    if not isinstance(tree, xr.DataTree):
        raise TypeError(f"vornak: dealias_volume takes an xarray.DataTree, got {type(tree).__name__}")
    settings = Settings(interval_splits, skip_between_rays, skip_along_ray, centered, seam_repair, speckle_repair,
                        noise_mask)
    from ._anchor_xarray import anchor_sweeps, check_mode

    anchor = check_mode(anchor)
    profile = None if profile is None else wind_profile(profile)
    # The VAD fit is of one sweep: it runs with the core, lazily too. The
    # other references need every sweep's result first.
    vad = anchor == "vad" and profile is None
    anchoring = (anchor is not None or profile is not None) and not vad
    keep_folds = kwargs.pop("keep_folds", False)
    out = tree.copy()
    done = []
    for path, ds, name in velocity_sweeps(tree, field):
        done.append((path, _dealias_sweep(ds, name, nyquist, settings, keep_folds=keep_folds or anchoring, vad=vad,
                                          **kwargs)))
        _warn_noise(done[-1][1])
    if not done:
        wanted = f"a variable '{field}'" if field is not None else "a radial-velocity variable"
        raise ValueError(f"vornak: no sweep of the volume has {wanted}; name the velocity with field=")
    if anchoring:
        anchored = anchor_sweeps([ds for _, ds in done], volume=anchor != "vad", profile=profile, keep_folds=keep_folds)
        done = [(path, ds) for (path, _), ds in zip(done, anchored)]
    for path, ds in done:
        out[path].dataset = ds
    return out


def velocity_sweeps(tree, field=None):
    """(path, dataset, velocity name) of every sweep of a tree that has the
    velocity `field` (detected in each sweep when None), in sweep order."""
    found = []
    for path, node in sweep_nodes(tree):
        ds = node.to_dataset(inherit=False)
        name = field if field is not None else find_velocity_field(ds)
        if name is not None and name in ds.data_vars:
            found.append((path, ds, name))
    return found


def sweep_nodes(tree):
    """(path, node) of every sweep group of a DataTree, in sweep order.

    Not xradar's `get_sweep_keys`: that keeps the order of the tree, which
    lists sweep_10 before sweep_2 in some files, and needs xradar.
    """
    nodes = [(node.path, node) for node in tree.subtree if node.name and node.name.startswith("sweep_")]

    def number(item):
        tail = item[1].name.rsplit("_", 1)[-1]
        return (0, int(tail)) if tail.isdigit() else (1, item[0])

    return sorted(nodes, key=number)
