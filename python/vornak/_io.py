"""Reading radar files (xradar, or xarray for time series), and writing CfRadial2 results.

Where xradar leaves a sweep without its Nyquist velocity although the file
has it (NEXRAD Level II radial blocks, UF field headers, ODIM `how/NI`, ...),
it is read from the file's own metadata (`_nyquist`) and added as the sweep's
`nyquist_velocity`, so the written file says which value the dealiasing used.
"""

import contextlib
import errno
import functools
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
from ._errors import RadarFileError  # noqa: F401  (also imported from here)
from ._nyquist import nyquist_by_sweep
from ._optional import require
from ._sniff import HEADER_TESTS, open_header
from ._timeseries import one_ray_sweeps, open_time_series
from ._xarray import sweep_nodes, sweep_nyquist

GZIP_MAGIC = b"\x1f\x8b"


#: First bytes of a NEXRAD Level II volume (its volume header) and so of the
#: first real-time chunk of a volume.
NEXRAD_MAGIC = b"AR2V"


def _source(path):
    """What xradar opens: the path, the decompressed bytes of a gzip file, or
    the real-time chunks of a NEXRAD volume in a folder, put back together."""
    if os.path.isdir(path):
        return _nexrad_chunks(path)
    with open(path, "rb") as fh:
        head = fh.read(2)
    if head == GZIP_MAGIC:
        with gzip.open(path) as fh:
            return fh.read()
    return os.fspath(path)


def _nexrad_chunks(folder):
    """The volume made of a folder of NEXRAD Level II real-time chunks.

    The chunks of a volume (its first, "S", starting with the volume header,
    then the "I" and "E" ones) are consecutive pieces of one Level II file:
    concatenated in the order of their names (their sequence numbers), they
    are that file, and a volume still arriving reads as far as it goes.
    """
    names_ = sorted(entry.name for entry in os.scandir(folder) if entry.is_file() and not entry.name.startswith("."))
    if not names_:
        raise RadarFileError(
            f"{folder}: an empty folder; give radar files, or a folder of the chunks of one NEXRAD volume"
        )
    pieces = []
    for name in names_:
        with open(os.path.join(folder, name), "rb") as fh:
            data = fh.read()
        if data[:2] == GZIP_MAGIC:
            data = gzip.decompress(data)
        pieces.append(data)
    starts = [name for name, data in zip(names_, pieces) if data[:4] == NEXRAD_MAGIC]
    if starts != names_[:1]:
        raise RadarFileError(
            f"{folder}: a folder is read as the real-time chunks of one NEXRAD volume, which this is not "
            f"(the first chunk, and only it, starts with the volume header); give its files instead: {folder}/*"
        )
    return b"".join(pieces)


def open_radar(path, *, chunks=None):
    """Open a radar file as `vornak dealias` does; returns an xarray DataTree.

    Anything xradar reads (NEXRAD Level II, also gzipped or as a folder of
    the real-time chunks of one volume, ODIM, CfRadial, IRIS, UF, ...), plus
    netCDF time series of vertically pointing radars
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
    header, handle = open_header(source) if isinstance(source, str) else (None, None)
    # a lazy tree may travel to other processes, so it opens the file by its name
    lend = handle if chunks is None else None
    tree = None
    try:
        try:
            engine = _discover_engine(xd, source, header)
        except Exception:
            engine = None  # xradar's message quotes the file's bytes: not repeated here
        time_series = engine is None or (engine == "cfradial1" and isinstance(source, str)
                                          and _one_ray_sweeps(source, header))
        if time_series:
            tree = _open_time_series(path, source, lend)
    finally:
        if handle is not None and (tree is None or lend is None) and handle.isopen():
            handle.close()  # else the time series read from it holds it
    if time_series:
        if tree is not None:
            if timings is not None:
                timings.update(read=time.perf_counter() - start, nyquist=0.0)
            return (tree if chunks is None else tree.chunk(chunks)), "timeseries"
        if engine is None:
            raise RadarFileError(
                f"{path}: not a radar file that xradar can read (no reader recognises its format); "
                "convert it to CfRadial or ODIM, or dealias its velocity array with vornak.dealias"
            )
    # xarray cannot open bytes (a decompressed gzip file) lazily: those are chunked after opening
    kwargs = {} if chunks is None or not isinstance(source, str) else {"chunks": chunks}
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)
            tree = xd.open_datatree(source, engine=engine, **kwargs)
            if chunks is not None and not kwargs:
                tree = tree.chunk(chunks)
    except Exception as exc:
        truncated = "; the file is truncated or still being written" if isinstance(exc, EOFError) else ""
        raise RadarFileError(
            f"{path}: xradar's '{engine}' reader failed: {type(exc).__name__}: {_short(exc)}{truncated}"
        ) from exc
    read = time.perf_counter()
    try:
        _fill_nyquist(tree, source, engine, path)
    except Exception as exc:  # only a convenience: --nyquist still works
        warnings.warn(f"vornak: {path}: could not read the Nyquist velocity from the file's metadata: {_short(exc)}")
    if timings is not None:
        timings.update(read=read - start, nyquist=time.perf_counter() - read)
    return tree, engine


def _discover_engine(xd, source, header=None):
    """xradar's `discover_engine`, its list of engines looked up once per
    process (each look-up reads every installed package's entry points).
    With the file's `header` (`_sniff.open_header`), the engines that would
    each read it again are tested on it instead."""
    from xarray.backends import plugins

    for engine in _xradar_engines(xd):
        test = HEADER_TESTS.get(engine) if header is not None else None
        if test(header) if test is not None else plugins.get_backend(engine).guess_can_open(source):
            return engine
    return None


def _one_ray_sweeps(source, header):
    return header.one_ray_sweeps if header is not None else one_ray_sweeps(source)


@functools.cache
def _xradar_engines(xd):
    return tuple(xd.io.list_xradar_engines())


def _open_time_series(path, source, handle=None):
    if not isinstance(source, str):
        return None
    try:
        return open_time_series(source, names.VELOCITY_CANDIDATES, handle)
    except ValueError:
        return None


def _short(exc, limit=200):
    """The first line of an exception's message, at most `limit` characters:
    some readers put whole file contents into their messages."""
    text = str(exc).strip().splitlines()
    text = text[0] if text else ""
    return text if len(text) <= limit else text[: limit - 3] + "..."


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


def keep_missing_values(dataset):
    """Encodings that write back what was read: fields whose packed-integer
    encoding has no fill value but whose data hold NaN are written unpacked
    (packing would turn NaN into numbers), and a `missing_value` that differs
    from the `_FillValue` is dropped (both were decoded to NaN on reading, and
    netCDF cannot encode two). Changes the encodings of `dataset`'s variables."""
    for var in dataset.variables.values():
        enc = var.encoding
        if "missing_value" in enc and "_FillValue" in enc:
            fill, missing = np.asarray(enc["_FillValue"]), np.asarray(enc["missing_value"])
            if not np.array_equal(fill, missing, equal_nan=fill.dtype.kind == "f" and missing.dtype.kind == "f"):
                enc.pop("missing_value")
        if var.dtype.kind != "f" or np.dtype(enc.get("dtype", var.dtype)).kind not in "iu" or "_FillValue" in enc:
            continue
        values = var.values
        if values.size and np.isnan(values.min()):  # the minimum is NaN when any value is: one pass, no mask
            for key in ("dtype", "scale_factor", "add_offset", "missing_value"):
                enc.pop(key, None)


def complete_root(tree):
    """The root group of `tree` with what CfRadial2 readers look for: the
    sweep group names and fixed angles (xradar's NEXRAD reader leaves them out)."""
    root = tree.to_dataset(inherit=False)
    sweeps = sweep_nodes(tree)
    if names.SWEEP_GROUP_NAME not in root.variables:
        root[names.SWEEP_GROUP_NAME] = (("sweep",), np.array([node.name for _, node in sweeps], dtype=str))
    if names.FIXED_ANGLE not in root.variables:
        angles = [
            float(node[names.FIXED_ANGLE].values) if names.FIXED_ANGLE in node.variables else np.nan for _, node in sweeps
        ]
        root[names.FIXED_ANGLE] = (("sweep",), np.array(angles, dtype=np.float32), {"units": "degrees"})
    return root


#: zlib level of the files written. Radar fields (long runs of one fill
#: value, bytes that change slowly along a ray) shrink several times already
#: at level 1; higher levels cost more writing time than they save in size.
COMPRESSION_LEVEL = 1


def compress(dataset, level):
    """Ask for zlib compression (with the byte shuffle) of every numeric array
    of `dataset`, each array one chunk: a sweep is read whole, and the small
    chunks some inputs were written with compress worse (a CfRadial 1 volume:
    1.66 MB in the input's chunks, 1.28 MB in one)."""
    for var in dataset.variables.values():
        if var.ndim and var.dtype.kind in "fiub":
            var.encoding.pop("contiguous", None)
            var.encoding.update(zlib=True, complevel=level, shuffle=True,
                                chunksizes=tuple(max(1, n) for n in var.shape))


def write_cfradial2(tree, path, compression=COMPRESSION_LEVEL, *, check=None):
    """Write a DataTree as CfRadial2 netCDF (loading lazy data), its arrays
    compressed at zlib level `compression` (None or 0: uncompressed).

    The file is written under a temporary name of its own (`part_path`),
    checked with `check(temporary path)` when given, and only then renamed to
    `path`: a file under a final name is always complete.
    """
    xd = require("xradar", "writing CfRadial2 files")
    tmp = part_path(path)
    try:
        tree = tree.copy()
        tree.dataset = complete_root(tree)
        for node in tree.subtree:
            keep_missing_values(node.dataset)
            if compression:
                compress(node.dataset, compression)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)
            # checked by keep_missing_values: the packed fields left hold no NaN
            warnings.filterwarnings("ignore", "saving variable .* without any _FillValue")
            xd.io.to_cfradial2(tree, tmp)
        if check is not None:
            check(tmp)
        os.replace(tmp, path)  # never leave a half-written file under the final name
        remove_parts(path)  # left by writers of earlier runs that were killed writing it
    except BaseException as exc:
        # the reason first: removing the temporary file frees the space a full disk lacked
        failure = write_error(exc, path)
        with contextlib.suppress(OSError):
            os.remove(tmp)
        if failure is None:
            raise
        raise failure from exc


def write_error(exc, path):
    """The `RadarFileError` naming `path` and the reason that a failed write
    is reported as, or None for one that is already that or no error (Ctrl-C)."""
    if isinstance(exc, RadarFileError) or not isinstance(exc, Exception):
        return None
    return RadarFileError(f"{path}: writing CfRadial2 failed: {write_failure(exc, path)}")


def part_path(path):
    """A temporary name beside `path` that no other writer uses (two workers
    may write the same output when one is thought dead but is not)."""
    return f"{path}.{os.getpid()}-{secrets.token_hex(4)}.part"


def remove_parts(path):
    """Remove the temporary files of `path` that writers left behind."""
    for part in glob.glob(f"{glob.escape(os.fspath(path))}.*.part"):
        with contextlib.suppress(OSError):
            os.remove(part)


def write_failure(exc, path):
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
