"""The check of a written output before it takes its final name.

The file is opened again and every dealiased sweep read back: `VRADDH` must
have the input field's shape, be valid exactly where the dealiasing left a
value, and differ from the input's velocity by whole folds:
velocity = VRADDH - folds x 2 x nyquist (the folds as written, or recomputed
from the values). A file that fails is an error for that input, never an
output that looks right and is not.
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
    import netCDF4

    try:
        with netCDF4.Dataset(path) as nc:
            for sweep, ds, field in sweeps:
                problem = _sweep_problem(nc.groups.get(sweep), ds, field)
                if problem:
                    raise RadarFileError(f"{source}: the written output is wrong, so it was not kept: {sweep}: {problem}")
    except OSError as exc:
        raise RadarFileError(f"{source}: the written output cannot be read back: {exc}") from exc


def _sweep_problem(group, ds, field):
    if group is None or names.DEALIASED not in group.variables:
        return f"{names.DEALIASED} is missing"
    expected = _in_time_order(ds[names.DEALIASED], ds)
    written = _values(group.variables[names.DEALIASED])
    velocity = np.asarray(_in_time_order(ds[field], ds).transpose(*expected.dims).values, dtype=np.float64)
    if written.shape != velocity.shape:
        return f"{names.DEALIASED} has shape {written.shape}, the input's {field} {velocity.shape}"
    valid = np.isfinite(written)
    if not np.array_equal(valid, np.isfinite(np.asarray(expected.values))):
        return f"{names.DEALIASED} is valid at {int(valid.sum())} gates, the dealiasing gave {int(np.isfinite(expected.values).sum())}"
    if not np.isfinite(velocity[valid]).all():
        return f"{names.DEALIASED} has values where {field} has none"
    nyquist = float(expected.attrs[names.NYQUIST])
    if names.FOLDS in group.variables:
        folds = _values(group.variables[names.FOLDS])[valid]
    else:
        folds = np.rint((written[valid] - velocity[valid]) / (2 * nyquist))
    error = np.abs(written[valid] - folds * 2 * nyquist - velocity[valid])
    if error.size and not error.max() <= TOLERANCE:
        return (f"{names.DEALIASED} - folds x 2 x nyquist differs from {field} by up to {error.max():.3g} m/s "
                f"at {int((error > TOLERANCE).sum())} gates")
    return None


def _in_time_order(var, ds):
    """The rays of `var` in the order the CfRadial2 writer puts them: by time
    (a stable sort, as xarray's sortby)."""
    ray_dim = next((d for d in var.dims if d != names.RANGE), None)
    if names.TIME not in ds.coords or ds[names.TIME].dims != (ray_dim,):
        return var
    return var.isel({ray_dim: np.argsort(ds[names.TIME].values, kind="stable")})


def _values(variable):
    variable.set_auto_maskandscale(True)
    return np.ma.filled(np.ma.asarray(variable[:], dtype=np.float64), np.nan)
