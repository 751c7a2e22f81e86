"""Reading radar files (xradar, or xarray for time series), and writing CfRadial2 results.

Where xradar leaves a sweep without its Nyquist velocity although the file
has it (NEXRAD Level II radial blocks, ODIM `how/NI`), it is read here from
the file's own metadata and added as the sweep's `nyquist_velocity`, so the
written file says which value the dealiasing used.
"""

import contextlib
import errno
import glob
import gzip
import os
import secrets
import shutil
import time
import warnings
import zlib

import numpy as np

from . import names
from ._errors import RadarFileError
from ._optional import require
from ._timeseries import one_ray_sweeps, open_time_series
from ._xarray import sweep_nodes, sweep_nyquist

GZIP_MAGIC = b"\x1f\x8b"


def _source(path):
    """What xradar opens: the path, or the decompressed bytes of a gzip file."""
    with open(path, "rb") as fh:
        head = fh.read(2)
    if head == GZIP_MAGIC:
        with gzip.open(path) as fh:
            return fh.read()
    return os.fspath(path)


def open_radar(path, *, chunks=None):
    """Open a radar file as `vornak dealias` does; returns an xarray DataTree.

    Anything xradar reads (NEXRAD Level II, also gzipped, ODIM, CfRadial,
    IRIS, UF, ...), plus netCDF time series of vertically pointing radars
    (ARM), which become one (time, range) sweep. Where xradar leaves the
    Nyquist velocity out although the file has it, it is read from the file's
    own metadata and added as each sweep's `nyquist_velocity`. With `chunks`
    (e.g. ``{}``) the data stay lazy, Dask-backed.
    """
    return open_volume(path, chunks)[0]


def open_volume(path, chunks=None, timings=None):
    """`open_radar`, also returning the reader's name (xradar's engine, or
    "timeseries" for a file read as one (time, range) image). `timings`, a
    dict, receives the seconds spent reading and finding Nyquist velocities."""
    start = time.perf_counter()
    xd = require("xradar", "reading radar files")
    try:
        source = _source(path)
    except OSError as exc:
        raise RadarFileError(f"{path}: cannot read the file: {exc.strerror or exc}") from exc
    except (EOFError, gzip.BadGzipFile, zlib.error) as exc:
        raise RadarFileError(f"{path}: the gzip data is truncated or corrupt: {_short(exc)}") from exc
    try:
        engine = xd.io.discover_engine(source)
    except Exception:
        engine = None  # xradar's message quotes the file's bytes: not repeated here
    if engine is None or (engine == "cfradial1" and isinstance(source, str) and one_ray_sweeps(source)):
        tree = _open_time_series(path, source)
        if tree is not None:
            if timings is not None:
                timings.update(read=time.perf_counter() - start, nyquist=0.0)
            return (tree if chunks is None else tree.chunk(chunks)), "timeseries"
        if engine is None:
            raise RadarFileError(
                f"{path}: not a radar file that xradar can read (no reader recognises its format); "
                "convert it to CfRadial or ODIM, or dealias its velocity array with vornak.dealias"
            )
    kwargs = {} if chunks is None else {"chunks": chunks}
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)
            tree = xd.open_datatree(source, engine=engine, **kwargs)
    except Exception as exc:
        raise RadarFileError(f"{path}: xradar's '{engine}' reader failed: {type(exc).__name__}: {_short(exc)}") from exc
    read = time.perf_counter()
    try:
        _fill_nyquist(tree, source, engine)
    except Exception as exc:  # only a convenience: --nyquist still works
        warnings.warn(f"vornak: {path}: could not read the Nyquist velocity from the file's metadata: {_short(exc)}")
    if timings is not None:
        timings.update(read=read - start, nyquist=time.perf_counter() - read)
    return tree, engine


def _open_time_series(path, source):
    if not isinstance(source, str):
        return None
    try:
        return open_time_series(source, names.VELOCITY_CANDIDATES)
    except ValueError:
        return None


def _short(exc, limit=200):
    """The first line of an exception's message, at most `limit` characters:
    some readers put whole file contents into their messages."""
    text = str(exc).strip().splitlines()
    text = text[0] if text else ""
    return text if len(text) <= limit else text[: limit - 3] + "..."


def _fill_nyquist(tree, source, engine):
    from ._xarray import find_velocity_field

    reader = {"nexradlevel2": _nexrad_nyquist, "odim": _odim_nyquist, "iris": _iris_nyquist}.get(engine)
    if reader is None:
        return
    missing = []
    for index, (path, node) in enumerate(sweep_nodes(tree)):
        ds = node.to_dataset(inherit=False)
        field = find_velocity_field(ds)
        if field is None:
            continue
        try:
            known = sweep_nyquist(ds, field)
        except ValueError:
            known = "varies"  # present but ambiguous: leave it to dealias_sweep to report
        if known is None:
            missing.append((index, path, ds))
    if not missing:
        return
    values = reader(source)
    for index, path, ds in missing:
        value = values.get(index)
        if value is not None and np.isfinite(value) and value > 0:
            ds = ds.drop_vars(names.NYQUIST, errors="ignore")
            ds[names.NYQUIST] = ((), np.float32(value), names.nyquist_attrs())
            tree[path].dataset = ds


def _nexrad_nyquist(source):
    """Nyquist velocity (m/s) per sweep index from NEXRAD Level II headers."""
    from xradar.io.backends.nexrad_level2 import NEXRADLevel2File

    values = {}
    with NEXRADLevel2File(source) as nf:
        for index, sweep in enumerate(nf.msg_31_data_header):
            if sweep.get("msg_type") == 31:
                raw = sweep.get("msg_31_data_header", {}).get("RAD", {}).get("nyquist_vel")
            else:  # legacy message 1 carries it in its header
                raw = sweep.get("msg_31_header", {}).get("nyquist_vel")
            if raw:
                values[index] = raw / 100.0  # stored in units of 0.01 m/s
    return values


def _iris_nyquist(source):
    """Nyquist velocity (m/s) of every sweep of an IRIS/Sigmet RAW file.

    From the task's PRF and wavelength (1/100 cm); with dual PRF the
    velocities are stored over the extended interval, 2, 3 or 4 times wider.
    """
    from xradar.io.backends.iris import IrisRawFile

    task = IrisRawFile(source, loaddata=False).ingest_header["task_configuration"]
    dsp = task["task_dsp_info"]
    flag = dsp.get("multi_prf_mode_flag", 0)
    if flag not in (0, 1, 2, 3):
        return {}
    value = task["task_misc_info"]["wavelength"] * dsp["prf"] / 40000.0 * (flag + 1)
    return _Every(value)


class _Every(dict):
    """The same value for every sweep index."""

    def __init__(self, value):
        super().__init__()
        self.value = value

    def get(self, key, default=None):
        return self.value


def _odim_nyquist(source):
    """Nyquist velocity (m/s) per sweep index from ODIM `how/NI` attributes."""
    h5py = require("h5py", "reading ODIM Nyquist velocities")
    values = {}
    with h5py.File(source, "r") as f:
        default = f["how"].attrs.get("NI") if "how" in f else None
        datasets = sorted((k for k in f if k.startswith("dataset")), key=lambda k: int(k[7:] or 0))
        for index, key in enumerate(datasets):
            how = f[key].get("how")
            value = how.attrs.get("NI") if how is not None and "NI" in how.attrs else default
            if value is not None:
                values[index] = float(np.asarray(value).ravel()[0])
    return values


def _keep_missing_values(tree):
    """Encodings that write back what was read: fields whose packed-integer
    encoding has no fill value but whose data hold NaN are written unpacked
    (packing would turn NaN into numbers), and a `missing_value` that differs
    from the `_FillValue` is dropped (both were decoded to NaN on reading, and
    netCDF cannot encode two)."""
    for node in tree.subtree:
        for var in node.dataset.variables.values():
            enc = var.encoding
            if "missing_value" in enc and "_FillValue" in enc:
                fill, missing = np.asarray(enc["_FillValue"]), np.asarray(enc["missing_value"])
                if not np.array_equal(fill, missing, equal_nan=fill.dtype.kind == "f" and missing.dtype.kind == "f"):
                    enc.pop("missing_value")
            if var.dtype.kind != "f" or np.dtype(enc.get("dtype", var.dtype)).kind not in "iu" or "_FillValue" in enc:
                continue
            if bool(np.isnan(var.values).any()):
                for key in ("dtype", "scale_factor", "add_offset", "missing_value"):
                    enc.pop(key, None)


def _complete_root(tree):
    """Give the root group what CfRadial2 readers look for: the sweep group
    names and fixed angles (xradar's NEXRAD reader leaves them out)."""
    root = tree.to_dataset(inherit=False)
    sweeps = sweep_nodes(tree)
    if names.SWEEP_GROUP_NAME not in root.variables:
        root[names.SWEEP_GROUP_NAME] = (("sweep",), np.array([node.name for _, node in sweeps], dtype=str))
    if names.FIXED_ANGLE not in root.variables:
        angles = [
            float(node[names.FIXED_ANGLE].values) if names.FIXED_ANGLE in node.variables else np.nan for _, node in sweeps
        ]
        root[names.FIXED_ANGLE] = (("sweep",), np.array(angles, dtype=np.float32), {"units": "degrees"})
    tree.dataset = root


def write_cfradial2(tree, path, *, check=None):
    """Write a DataTree as CfRadial2 netCDF (loading lazy data).

    The file is written under a temporary name of its own (`part_path`),
    checked with `check(temporary path)` when given, and only then renamed to
    `path`: a file under a final name is always complete.
    """
    xd = require("xradar", "writing CfRadial2 files")
    tmp = part_path(path)
    try:
        tree = tree.copy()
        _complete_root(tree)
        _keep_missing_values(tree)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)
            # checked by _keep_missing_values: the packed fields left hold no NaN
            warnings.filterwarnings("ignore", "saving variable .* without any _FillValue")
            xd.io.to_cfradial2(tree, tmp)
        if check is not None:
            check(tmp)
        os.replace(tmp, path)  # never leave a half-written file under the final name
    except BaseException as exc:
        # the reason first: removing the temporary file frees the space a full disk lacked
        reason = None if isinstance(exc, RadarFileError) or not isinstance(exc, Exception) else _write_failure(exc, path)
        with contextlib.suppress(OSError):
            os.remove(tmp)
        if reason is None:
            raise
        raise RadarFileError(f"{path}: writing CfRadial2 failed: {reason}") from exc


def part_path(path):
    """A temporary name beside `path` that no other writer uses (two workers
    may write the same output when one is thought dead but is not)."""
    return f"{path}.{os.getpid()}-{secrets.token_hex(4)}.part"


def remove_parts(path):
    """Remove the temporary files of `path` that writers left behind."""
    for part in glob.glob(f"{glob.escape(os.fspath(path))}.*.part"):
        with contextlib.suppress(OSError):
            os.remove(part)


def _write_failure(exc, path):
    """Why a write failed, with the fix when it is a full disk (which the
    netCDF library reports only as an "HDF error")."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        free = shutil.disk_usage(folder).free
    except OSError:
        free = None
    full = getattr(exc, "errno", None) == errno.ENOSPC or (free is not None and free < FULL_DISK_BYTES)
    if full:
        return f"no space left in {folder} ({free if free is not None else 0} bytes free); free some or choose another -o"
    return f"{type(exc).__name__}: {_short(exc)}"


#: Free space below which a failed write is put down to a full disk.
FULL_DISK_BYTES = 1 << 20
