"""Reading radar files with xradar, and writing CfRadial2 results.

Where xradar leaves a sweep without its Nyquist velocity although the file
has it (NEXRAD Level II radial blocks, UF field headers, ODIM `how/NI`, ...),
it is read from the file's own metadata (`_nyquist`) and added as the sweep's
`nyquist_velocity`, so the written file says which value the dealiasing used.
"""

import gzip
import os
import warnings

import numpy as np

from . import names
from ._errors import RadarFileError  # noqa: F401  (also imported from here)
from ._nyquist import nyquist_by_sweep
from ._optional import require
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


def open_volume(path, chunks=None):
    """Open any radar file xradar reads; returns (DataTree, xradar engine name).

    With `chunks` (e.g. ``{}``) the data stay lazy, Dask-backed.
    """
    xd = require("xradar", "reading radar files")
    try:
        source = _source(path)
    except OSError as exc:
        raise RadarFileError(f"{path}: cannot read the file: {exc.strerror or exc}") from exc
    except (EOFError, gzip.BadGzipFile) as exc:
        raise RadarFileError(f"{path}: the gzip data is truncated or corrupt: {exc}") from exc
    try:
        engine = xd.io.discover_engine(source)
    except Exception as exc:
        raise RadarFileError(f"{path}: not a radar file that xradar can read ({exc})") from exc
    kwargs = {} if chunks is None else {"chunks": chunks}
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)
            tree = xd.open_datatree(source, engine=engine, **kwargs)
    except Exception as exc:
        raise RadarFileError(f"{path}: xradar's '{engine}' reader failed: {type(exc).__name__}: {exc}") from exc
    try:
        _fill_nyquist(tree, source, engine, path)
    except Exception as exc:  # only a convenience: --nyquist still works
        warnings.warn(f"vornak: {path}: could not read the Nyquist velocity from the file's metadata: {exc}")
    return tree, engine


def _fill_nyquist(tree, source, engine, name):
    from ._xarray import find_velocity_field

    missing = []
    for path, node in sweep_nodes(tree):
        index = _sweep_number(node.name)
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
    values = nyquist_by_sweep(source, engine, tree=tree, name=name)
    for index, path, ds in missing:
        value = values.get(index)
        if value is not None and np.isfinite(value) and value > 0:
            ds = ds.drop_vars(names.NYQUIST, errors="ignore")
            ds[names.NYQUIST] = ((), np.float32(value), names.nyquist_attrs())
            tree[path].dataset = ds


def _sweep_number(group):
    """N of xradar's sweep group `sweep_N` (None for another name)."""
    tail = group.rsplit("_", 1)[-1]
    return int(tail) if tail.isdigit() else None


def _keep_missing_values(tree):
    """Write unpacked the fields whose packed-integer encoding has no fill
    value but whose data hold NaN: packing them would turn NaN into numbers."""
    for node in tree.subtree:
        for var in node.dataset.data_vars.values():
            enc = var.encoding
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


def write_cfradial2(tree, path):
    """Write a DataTree as CfRadial2 netCDF (loading lazy data)."""
    xd = require("xradar", "writing CfRadial2 files")
    tmp = f"{path}.part"
    try:
        tree = tree.copy()
        _complete_root(tree)
        _keep_missing_values(tree)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)
            # checked by _keep_missing_values: the packed fields left hold no NaN
            warnings.filterwarnings("ignore", "saving variable .* without any _FillValue")
            xd.io.to_cfradial2(tree, tmp)
        os.replace(tmp, path)  # never leave a half-written file under the final name
    except Exception as exc:
        if os.path.exists(tmp):
            os.remove(tmp)
        raise RadarFileError(f"{path}: writing CfRadial2 failed: {type(exc).__name__}: {exc}") from exc
