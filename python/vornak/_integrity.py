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
second for a volume of 60 sweeps), h5py only the variables checked. The
HDF5 library takes one call at a time, so it only reads the stored bytes,
sweep after sweep; their decompression (the one chunk of each compressed
variable, deflated and shuffled as the writer stores it) and the
comparisons then run for two sweeps at a time, beside each other.
"""

import concurrent.futures
import zlib

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
            stored = [(sweep, _stored(h5.get(sweep), names.DEALIASED), _stored(h5.get(sweep), names.FOLDS), ds, field)
                      for sweep, ds, field in sweeps]
        with concurrent.futures.ThreadPoolExecutor(max(1, min(2, len(stored)))) as pool:
            problems = list(pool.map(lambda job: _sweep_problem(*job[1:]), stored))
    except (OSError, zlib.error) as exc:
        raise RadarFileError(f"{source}: the written output cannot be read back: {exc}") from exc
    for (sweep, *_), problem in zip(stored, problems):
        if problem:
            raise RadarFileError(f"{source}: the written output is wrong, so it was not kept: {sweep}: {problem}")


def _sweep_problem(variable, folds, ds, field):
    if variable is None:
        return f"{names.DEALIASED} is missing"
    dealiased = ds[names.DEALIASED]
    expected = np.asarray(dealiased.values)
    velocity = np.transpose(np.asarray(ds[field].values), [ds[field].dims.index(d) for d in dealiased.dims])
    written = _values(variable)
    if written.shape != velocity.shape:
        return f"{names.DEALIASED} has shape {written.shape}, the input's {field} {velocity.shape}"
    written = _in_ray_order(written, dealiased.dims, ds)
    valid = np.isfinite(written)
    if not np.array_equal(valid, np.isfinite(expected)):
        return f"{names.DEALIASED} is valid at {int(valid.sum())} gates, the dealiasing gave {int(np.isfinite(expected).sum())}"
    # double precision on the valid gates only: the rest are compared as missing above
    velocity = np.asarray(velocity[valid], dtype=np.float64)
    if not np.isfinite(velocity).all():
        return f"{names.DEALIASED} has values where {field} has none"
    written = np.asarray(written[valid], dtype=np.float64)
    nyquist = float(dealiased.attrs[names.NYQUIST])
    if folds is not None:
        folds = _in_ray_order(_values(folds), dealiased.dims, ds)[valid]
    else:
        folds = np.rint((written - velocity) / (2 * nyquist))
    error = np.abs(written - folds * 2 * nyquist - velocity)
    if error.size and not error.max() <= TOLERANCE:
        return (f"{names.DEALIASED} - folds x 2 x nyquist differs from {field} by up to {error.max():.3g} m/s "
                f"at {int((error > TOLERANCE).sum())} gates")
    return None


def _in_ray_order(written, dims, ds):
    """The rays of `written` (dimensions `dims`), which the CfRadial2 writer
    put in time order (a stable sort, as xarray's sortby), back in the
    order of the sweep dataset `ds`."""
    ray_dim = next((d for d in dims if d != names.RANGE), None)
    if names.TIME not in ds.coords or ds[names.TIME].dims != (ray_dim,):
        return written
    time = ds[names.TIME].values
    if np.all(time[1:] >= time[:-1]):
        return written  # in time order already
    by_time = np.argsort(time, kind="stable")
    return np.take(written, np.argsort(by_time), axis=dims.index(ray_dim))


#: The attributes that say how a netCDF reader decodes a variable.
_DECODING = ("_FillValue", "missing_value", "scale_factor", "add_offset")


class _Stored:
    """A variable of the written file, read while the file is open: its
    decoding attributes, and its stored values, or the bytes of its one
    chunk as stored, deflated (and shuffled) for `raw` to restore in any
    thread."""

    def __init__(self, dataset):
        self.attrs = {key: dataset.attrs[key] for key in _DECODING if key in dataset.attrs}
        self.shape, self.dtype = dataset.shape, dataset.dtype
        self._values = self._chunk = None
        self._shuffled = _deflated_chunk(dataset)
        if self._shuffled is not None:
            filtered, chunk = dataset.id.read_direct_chunk((0,) * dataset.ndim)
            if filtered == 0:  # no filter of the pipeline was skipped for this chunk
                self._chunk = chunk
        if self._chunk is None:
            self._values = dataset[()]

    def raw(self):
        """The stored values, as h5py reads them."""
        if self._values is not None:
            return self._values
        data = np.frombuffer(zlib.decompress(self._chunk), dtype=np.uint8)
        size = int(np.prod(self.shape)) * self.dtype.itemsize
        if data.size != size:
            raise OSError(f"a chunk of {data.size} bytes where {size} were written")
        if self._shuffled:  # byte k of every value together, for each k: back to values
            data = data.reshape(self.dtype.itemsize, -1).T
        return np.array(data, order="C").view(self.dtype).reshape(self.shape)


def _deflated_chunk(dataset):
    """Whether the values of `dataset` are shuffled, when they are stored in
    one chunk through deflate alone or the shuffle and then deflate (as the
    writer stores them); None for any other layout."""
    from h5py import h5z

    if dataset.chunks is None or dataset.chunks != dataset.shape or dataset.size == 0:
        return None
    plist = dataset.id.get_create_plist()
    codes = [plist.get_filter(i)[0] for i in range(plist.get_nfilters())]
    if codes == [h5z.FILTER_DEFLATE]:
        return False
    if codes == [h5z.FILTER_SHUFFLE, h5z.FILTER_DEFLATE]:
        return True
    return None


def _stored(group, name):
    """The variable `name` of a group, read (`_Stored`), or None."""
    import h5py

    found = group.get(name) if isinstance(group, h5py.Group) else None
    return _Stored(found) if isinstance(found, h5py.Dataset) else None


def _values(variable):
    """A variable's (`_Stored`) values as a netCDF reader gives them: unpacked by its
    `scale_factor` and `add_offset`, NaN where it holds its `_FillValue` or
    `missing_value`; in its own floating-point precision, or in double."""
    raw = variable.raw()
    attrs = variable.attrs
    missing = None
    for key in ("_FillValue", "missing_value"):
        for code in np.atleast_1d(attrs.get(key, [])):
            if not np.isnan(code):  # a NaN code is NaN in the values already
                missing = (raw == code) if missing is None else (missing | (raw == code))
    packed = "scale_factor" in attrs or "add_offset" in attrs
    values = raw.astype(np.float64) if packed or raw.dtype.kind != "f" else raw
    if "scale_factor" in attrs:
        values *= np.float64(np.atleast_1d(attrs["scale_factor"])[0])
    if "add_offset" in attrs:
        values += np.float64(np.atleast_1d(attrs["add_offset"])[0])
    if missing is not None:
        values[missing] = np.nan
    return values
