"""Files whose rays form one (time, range) image rather than sweeps.

A vertically pointing radar writes a time series of rays: ARM's cloud radars
as plain netCDF (a Doppler velocity over time and range, the Nyquist velocity
beside it), others as CfRadial 1 files that list every ray as a sweep of its
own. Opened sweep by sweep, such a file costs a second per ray and gives the
dealiasing no neighbours; read here with xarray directly, it becomes one
sweep group `sweep_0` whose rays are the file's times, dealiased as one image.
"""

import numpy as np

from . import names
from ._optional import require

#: Attribute of the sweep group (and of the dealiased field) that says how
#: the rays of the file were grouped.
RAY_GROUPING = "ray_grouping"

# CfRadial 1 coordinates and per-sweep variables that have no place in the
# one-sweep group: the sweep dimension collapses into a single sweep.
_SWEEP_VARIABLES = ("sweep_number", "sweep_mode", "fixed_angle", "sweep_start_ray_index", "sweep_end_ray_index",
                    "target_scan_rate", "rays_are_indexed", "ray_angle_res", "polarization_mode", "prt_mode",
                    "follow_mode", "pulse_width_mode")


def one_ray_sweeps(path):
    """Number of sweeps of a CfRadial 1 file when every sweep is one ray
    (a time series listed ray by ray), else 0. Reads only the sweep indices."""
    netCDF4 = require("netCDF4", "reading netCDF radar files")
    try:
        with netCDF4.Dataset(path) as nc:
            return one_ray_count(nc)
    except (OSError, KeyError, ValueError):
        return 0


def one_ray_count(nc):
    """`one_ray_sweeps` of an open netCDF4 Dataset."""
    start, end = nc.variables.get("sweep_start_ray_index"), nc.variables.get("sweep_end_ray_index")
    if start is None or end is None or start.size < 2:
        return 0
    start, end = np.asarray(start[:]), np.asarray(end[:])
    return int(start.size) if start.shape == end.shape and np.all(end - start == 0) else 0


def open_time_series(path, velocity_names, handle=None):
    """The file as a tree with one (time, range) sweep, or None when it has no
    Doppler velocity over (time, range). `velocity_names` are the variable
    names recognised as radial velocity. `handle`, the file already open as a
    netCDF4 Dataset, is read from instead of opening it again; the tree then
    holds it (it is closed when no time series is found)."""
    xr = require("xarray", "reading netCDF radar files")
    try:
        source = path if handle is None else xr.backends.NetCDF4DataStore(handle)
        ds = xr.open_dataset(source, decode_timedelta=False)
    except (OSError, ValueError) as exc:
        raise ValueError(f"not a netCDF file that xarray can read ({type(exc).__name__})") from None
    field = _velocity_over_time(ds, velocity_names)
    if field is None:
        ds.close()
        return None
    nsweeps = ds.sizes.get("sweep", 0)
    image_vars = [name for name, var in ds.data_vars.items() if var.dims == (names.TIME, names.RANGE)]
    per_ray = [name for name, var in ds.variables.items()
               if var.dims == (names.TIME,) and name not in (names.TIME,)]
    sweep = ds[image_vars + per_ray]
    sweep = sweep.drop_vars([v for v in sweep.variables if v in _SWEEP_VARIABLES], errors="ignore")
    angle = _fixed_angle(ds)
    added = {names.SWEEP_MODE: ((), "vertical_pointing"),
             names.FIXED_ANGLE: ((), np.float32(angle), {"units": "degrees"})}
    if names.NYQUIST not in sweep.variables:
        nyquist = _global_nyquist(ds)
        if nyquist is not None:
            added[names.NYQUIST] = ((), np.float32(nyquist), names.nyquist_attrs())
    sweep = sweep.assign(added)  # one merge: each assignment alone merges the whole sweep again
    coords = [c for c in (names.AZIMUTH, names.ELEVATION) if c in sweep.variables]
    sweep = sweep.set_coords(coords)
    rays = ds.sizes[names.TIME]
    if nsweeps > 1:
        grouping = f"the file's {nsweeps} one-ray sweeps dealiased as one (time, range) image of {rays} rays"
    else:
        grouping = f"the file's (time, range) field dealiased as one image of {rays} rays"
    sweep.attrs = {RAY_GROUPING: grouping}
    root = xr.Dataset(attrs={k: v for k, v in ds.attrs.items() if not k.startswith("_")})
    for name in ("latitude", "longitude", "altitude"):
        if name in ds.variables and ds[name].ndim == 0:
            root[name] = ds[name]
    root[names.SWEEP_GROUP_NAME] = (("sweep",), np.array(["sweep_0"]))
    root[names.FIXED_ANGLE] = (("sweep",), np.array([angle], dtype=np.float32), {"units": "degrees"})
    root.attrs.setdefault("history", "")
    tree = xr.DataTree.from_dict({"/": root, "/sweep_0": sweep})
    tree.set_close(ds.close)  # the selections above do not carry the file's closing along
    return tree


def _velocity_over_time(ds, velocity_names):
    candidates = [n for n in velocity_names if n in ds.data_vars]
    candidates += [n for n in ds.data_vars if n.startswith(names.ARM_VELOCITY_PREFIX) and n not in candidates]
    for name in candidates:
        if ds[name].dims == (names.TIME, names.RANGE) and ds[name].dtype.kind in "fiu":
            return name
    return None


def _fixed_angle(ds):
    for name in ("fixed_angle", names.ELEVATION):
        if name in ds.variables:
            values = np.asarray(ds[name].values, dtype=np.float64).ravel()
            values = values[np.isfinite(values)]
            if values.size:
                return float(np.median(values))
    return 90.0  # a zenith-pointing cloud radar that does not say


def _global_nyquist(ds):
    """The Nyquist velocity of a file-wide attribute ("5.96 m/s" or a number), read
    as the header reader reads it."""
    from ._nyquist import _global_value

    value = _global_value(ds.attrs.get(names.NYQUIST))
    return value if value is not None and np.isfinite(value) and value > 0 else None
