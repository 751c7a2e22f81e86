"""The check of a written output before it takes its final name.

The file is opened again and every dealiased sweep read back: `VRADDH` must
have the input field's shape, be valid exactly where the dealiasing left a
value, and differ from the input's velocity by whole folds:
velocity = VRADDH - folds x 2 x nyquist (the folds as written, or recomputed
from the values). A file that fails is an error for that input, never an
output that looks right and is not.

The file is read with h5py, as the HDF5 file that a netCDF-4 file is, its
CF packing and fill values applied as a netCDF reader applies them: the
netCDF library would first read the metadata of every group (a third of a
second for a volume of 60 sweeps), h5py only the variables checked.
"""

import numpy as np

from . import names
from ._errors import RadarFileError

#: Largest difference (m/s) between the input's velocity and VRADDH minus its
#: whole folds: both are float32, so this is far above rounding and far below
#: any velocity error that matters.
TOLERANCE = 1e-3


def check_output(path, sweeps, source):
    """Raise `RadarFileError` (naming `source`) unless the netCDF file at
    `path` holds every dealiased sweep of `sweeps`: (sweep name, the sweep
    dataset as dealiased in memory, velocity field name)."""
    import h5py

    try:
        with h5py.File(path, "r") as h5:
            for sweep, ds, field in sweeps:
                problem = _sweep_problem(h5.get(sweep), ds, field)
                if problem:
                    raise RadarFileError(f"{source}: the written output is wrong, so it was not kept: {sweep}: {problem}")
    except OSError as exc:
        raise RadarFileError(f"{source}: the written output cannot be read back: {exc}") from exc


def _sweep_problem(group, ds, field):
    if not _is_variable(group, names.DEALIASED):
        return f"{names.DEALIASED} is missing"
    dealiased = ds[names.DEALIASED]
    expected = _in_time_order(np.asarray(dealiased.values), dealiased.dims, ds)
    written = _values(group[names.DEALIASED])
    velocity = _in_time_order(np.transpose(np.asarray(ds[field].values), [ds[field].dims.index(d) for d in dealiased.dims]),
                              dealiased.dims, ds)
    if written.shape != velocity.shape:
        return f"{names.DEALIASED} has shape {written.shape}, the input's {field} {velocity.shape}"
    valid = np.isfinite(written)
    if not np.array_equal(valid, np.isfinite(expected)):
        return f"{names.DEALIASED} is valid at {int(valid.sum())} gates, the dealiasing gave {int(np.isfinite(expected).sum())}"
    # double precision on the valid gates only: the rest are compared as missing above
    velocity = np.asarray(velocity[valid], dtype=np.float64)
    if not np.isfinite(velocity).all():
        return f"{names.DEALIASED} has values where {field} has none"
    written = np.asarray(written[valid], dtype=np.float64)
    nyquist = float(dealiased.attrs[names.NYQUIST])
    if _is_variable(group, names.FOLDS):
        folds = _values(group[names.FOLDS])[valid]
    else:
        folds = np.rint((written - velocity) / (2 * nyquist))
    error = np.abs(written - folds * 2 * nyquist - velocity)
    if error.size and not error.max() <= TOLERANCE:
        return (f"{names.DEALIASED} - folds x 2 x nyquist differs from {field} by up to {error.max():.3g} m/s "
                f"at {int((error > TOLERANCE).sum())} gates")
    return None


def _in_time_order(values, dims, ds):
    """`values` (with dimensions `dims`) with the rays in the order the
    CfRadial2 writer puts them: by time (a stable sort, as xarray's sortby)."""
    ray_dim = next((d for d in dims if d != names.RANGE), None)
    if names.TIME not in ds.coords or ds[names.TIME].dims != (ray_dim,):
        return values
    return np.take(values, np.argsort(ds[names.TIME].values, kind="stable"), axis=dims.index(ray_dim))


def _is_variable(group, name):
    import h5py

    return isinstance(group, h5py.Group) and isinstance(group.get(name), h5py.Dataset)


def _values(variable):
    """A variable's values as a netCDF reader gives them: unpacked by its
    `scale_factor` and `add_offset`, NaN where it holds its `_FillValue` or
    `missing_value`; in its own floating-point precision, or in double."""
    raw = variable[()]
    attrs = variable.attrs
    missing = np.zeros(raw.shape, dtype=bool)
    for key in ("_FillValue", "missing_value"):
        for code in np.atleast_1d(attrs.get(key, [])):
            missing |= np.isnan(raw) if np.isnan(code) else (raw == code)
    packed = "scale_factor" in attrs or "add_offset" in attrs
    values = raw.astype(np.float64) if packed or raw.dtype.kind != "f" else raw.copy()
    if "scale_factor" in attrs:
        values *= np.float64(np.atleast_1d(attrs["scale_factor"])[0])
    if "add_offset" in attrs:
        values += np.float64(np.atleast_1d(attrs["add_offset"])[0])
    values[missing] = np.nan
    return values
