"""One radar file from disk to a dealiased CfRadial2 file: read, Nyquist,
dealias, write, and the pictures.

`process_file` is what the command line runs for every file, in this process
or on a cluster worker; it raises `RadarFileError` naming the file and the
reason, and reports the time spent in each step.
"""

import dataclasses
import functools
import time
from pathlib import Path

import numpy as np

from . import _io, _resume, names
from ._errors import RadarFileError
from ._integrity import check_output
from ._settings import FileOptions
from ._timeseries import RAY_GROUPING
from ._xarray import _dealias_sweep, velocity_sweeps

#: File name endings dropped from an input's name to make its output's.
SUFFIXES = (".gz", ".nc", ".h5", ".hdf5", ".hdf", ".cdf")
OUTPUT_SUFFIX = ".vornak.nc"


@dataclasses.dataclass
class FileResult:
    """What became of one input file: its output, the sweeps dealiased, the
    pictures written, and the seconds spent in each step."""

    output: str
    sweeps: int
    pictures: list
    timings: dict
    skipped: bool = False  # its output was already there, made from the same input and options


def output_name(path):
    name = Path(path).name
    for suffix in SUFFIXES:
        if name.lower().endswith(suffix):
            name = name[: -len(suffix)]
            break
    return name + OUTPUT_SUFFIX


def process_file(path, outdir, options=FileOptions(), on_sweep=None, target=None):
    """Dealias every velocity sweep of one file into `outdir` (or `target`)."""
    timings = {}
    record = _source_record(path, options)
    tree, _ = _io.open_volume(path, timings=timings)
    todo = velocity_sweeps(tree, options.field)
    if not todo:
        wanted = f"variable '{options.field}'" if options.field else "radial-velocity variable (VRADH, velocity, VEL, ...)"
        raise RadarFileError(f"{path}: no sweep has a {wanted}; name it with --field")
    start = time.perf_counter()
    dealiased = []
    for node_path, ds, field in todo:
        sweep = node_path.strip("/")
        try:
            ds = ds.load()
            mask = quality_mask(ds, options.exclude_below)
            result = _dealias_sweep(ds, field, options.nyquist, options.settings, mask=mask,
                                    keep_folds=options.keep_folds)
        except (ValueError, TypeError) as exc:
            raise RadarFileError(f"{path}: {sweep}: {_message(exc)}") from exc
        if RAY_GROUPING in ds.attrs:
            result[names.DEALIASED].attrs[RAY_GROUPING] = ds.attrs[RAY_GROUPING]
        tree[node_path].dataset = result
        dealiased.append((sweep, result, field))
        if on_sweep is not None:
            on_sweep()
    timings["dealias"] = time.perf_counter() - start
    output = Path(target) if target is not None else Path(outdir) / output_name(path)
    start = time.perf_counter()
    tree.attrs = {**tree.attrs, **record}
    _io.write_cfradial2(tree, output, check=functools.partial(check_output, sweeps=dealiased, source=path))
    timings["write"] = time.perf_counter() - start
    pictures = []
    if options.plot:
        start = time.perf_counter()
        pictures = [_plot_sweep(path, tree, ds, field, sweep, output) for sweep, ds, field in dealiased]
        timings["plot"] = time.perf_counter() - start
    return FileResult(str(output), len(todo), pictures, timings)


def _source_record(path, options):
    """The input and options that make the output, read before the input is
    (an unreadable file is reported by the reader)."""
    try:
        return _resume.source_record(path, options)
    except OSError:
        return {}


def picture_path(output, sweep):
    """The picture `--plot` writes of one sweep of an output."""
    stem = Path(output).name
    stem = stem[: -len(OUTPUT_SUFFIX)] if stem.endswith(OUTPUT_SUFFIX) else Path(output).stem
    return Path(output).parent / f"{stem}.{sweep}.png"


def quality_mask(ds, thresholds):
    """Gates whose quality variables fall below their thresholds (or are missing)."""
    mask = None
    for name, value in thresholds:
        if name not in ds.data_vars:
            raise ValueError(f"vornak: --exclude-below names '{name}', which this sweep does not have")
        with np.errstate(invalid="ignore"):
            low = ~(ds[name] >= value)  # NaN quality excludes the gate too
        mask = low if mask is None else (mask | low)
    return mask


def _message(exc):
    text = str(exc)
    return text[len("vornak: ") :] if text.startswith("vornak: ") else text


def _plot_sweep(path, tree, ds, field, sweep, output):
    from . import _plot
    from ._xarray import _ray_order, _scan_is_rhi

    var = ds[field]
    ray_dim = var.dims[0] if var.dims[1] == names.RANGE else var.dims[1]
    rhi = _scan_is_rhi(ds)
    order, _ = _ray_order(ds, ray_dim)  # drawn in scan-angle order, as dealiased
    folded = np.asarray(var.transpose(ray_dim, names.RANGE).values, dtype=np.float64)[order]
    dealiased = np.asarray(ds[names.DEALIASED].transpose(ray_dim, names.RANGE).values, dtype=np.float64)[order]
    folded[~np.isfinite(dealiased)] = np.nan  # show the gates that were dealiased, flags hidden
    nyquist = float(ds[names.DEALIASED].attrs[names.NYQUIST])
    fixed = float(ds[names.FIXED_ANGLE].values) if names.FIXED_ANGLE in ds.variables else float("nan")
    names_given = (tree.attrs.get(key) for key in ("instrument_name", "site_name", "source"))
    radar = next((str(n) for n in names_given if n is not None and str(n).strip() not in ("", "None", "radar")), "")
    when = str(np.asarray(ds[names.TIME].values).min())[:19] if names.TIME in ds.coords else ""
    pointing = str(ds[names.SWEEP_MODE].values) == "vertical_pointing" if names.SWEEP_MODE in ds.variables else False
    kind = "time series" if pointing else "RHI" if rhi else "PPI"
    png = picture_path(output, sweep)
    _plot.plot_sweep(
        png, folded, dealiased, nyquist,
        azimuth=ds[names.AZIMUTH].values[order] if names.AZIMUTH in ds.variables and not pointing else None,
        elevation=ds[names.ELEVATION].values[order] if names.ELEVATION in ds.variables else None,
        rng=ds[names.RANGE].values, rhi=rhi,
        title=f"{Path(path).name} {sweep}: {radar} {kind} at {fixed:.1f}\u00b0, {when}".replace("  ", " "),
        subtitle=f"{field} dealiased into {names.DEALIASED}",
    )
    return str(png)
