"""One radar file from disk to a dealiased CfRadial2 file: read, Nyquist,
dealias, write, and the pictures.

`process_file` is what the command line runs for every file, in this process
or on a cluster worker; it raises `RadarFileError` naming the file and the
reason, and reports the time spent in each step.
"""

import contextlib
import dataclasses
import functools
import os
import time
import warnings
from pathlib import Path

import numpy as np

from . import _io, _resume, names
from ._array import CoreFailure
from ._errors import RadarFileError
from ._integrity import check_output
from ._settings import FileOptions
from ._writer import READERS_BESIDE_WRITER, GroupWriter
from ._xarray import _dealias_sweep, sweep_nodes, velocity_sweeps

#: File name endings dropped from an input's name to make its output's.
SUFFIXES = (".gz", ".nc", ".h5", ".hdf5", ".hdf", ".cdf")
OUTPUT_SUFFIX = ".vornak.nc"


@dataclasses.dataclass
class FileResult:
    """What became of one input file: its output, the sweeps dealiased, the
    pictures written, the seconds spent in each step, and the warnings."""

    output: str
    sweeps: int
    pictures: list
    timings: dict
    notes: list = dataclasses.field(default_factory=list)  # warnings for the user, one line each
    skipped: bool = False  # its output was already there, made from the same input and options


def output_name(path):
    name = Path(path).name
    for suffix in SUFFIXES:
        if name.lower().endswith(suffix):
            name = name[: -len(suffix)]
            break
    return name + OUTPUT_SUFFIX


def output_paths(paths, outdir):
    """The output file of every input, in the inputs' order: `outdir/NAME.vornak.nc`.

    Inputs of one name from different directories (a/vol.nc, b/vol.nc) keep
    as many of their nearest parent directories in the name as tell each
    apart (a_vol.vornak.nc, b_vol.vornak.nc), so that no output replaces another;
    a path given twice is dealiased once. Inputs that still map to one output
    (vol.gz and vol.nc side by side) are a ValueError naming them.
    """
    unique = list({os.path.realpath(p): p for p in reversed(paths)}.values())[::-1]
    chosen = {p: output_name(p) for p in unique}
    for group in _clashes(chosen).values():
        # parent directories, nearest first
        parents = {p: list(Path(os.path.abspath(p)).parent.parts[1:])[::-1] for p in group}
        for p in group:
            for depth in range(1, len(parents[p]) + 1):
                if all(parents[q][:depth] != parents[p][:depth] for q in group if q != p):
                    chosen[p] = "_".join(parents[p][:depth][::-1] + [chosen[p]])
                    break
    for name, group in _clashes(chosen).items():
        every = "both" if len(group) == 2 else "all"
        raise ValueError(f"vornak: {' and '.join(map(str, group))} would {every} be written to "
                         f"{Path(outdir) / name}; rename one or dealias them in separate runs")
    return {p: Path(outdir) / chosen[p] for p in unique}


def _clashes(chosen):
    """Output name -> the inputs that map to it, for names of more than one input."""
    by_name = {}
    for path, name in chosen.items():
        by_name.setdefault(name, []).append(path)
    return {name: group for name, group in by_name.items() if len(group) > 1}


def process_file(path, outdir, options=FileOptions(), on_sweep=None, target=None, write_beside=True):
    """Dealias every velocity sweep of one file into `outdir` (or `target`).

    With `write_beside`, each sweep is written in a thread of its own while
    the next is dealiased: faster where a core is free for it, and only in
    the way where every core has a file of its own.

    The warnings of the readers and of the dealiasing are collected, one line
    each, into the result's `notes` rather than printed where they arise (on
    a cluster, that would be a worker's log)."""
    notes = []
    with _noting(notes):
        result = _process_file(path, outdir, options, on_sweep, target, notes, write_beside)
    result.notes = notes
    return result


def _process_file(path, outdir, options, on_sweep, target, notes, write_beside=True):
    timings = {}
    record = _source_record(path, options)
    tree, engine = _io.open_volume(path, timings=timings)
    try:
        return _dealias_file(path, outdir, options, on_sweep, target, notes, write_beside, timings, record, tree,
                             engine)
    finally:
        # the reader's files closed now, not when collected: a later open of the same file (another
        # name for it, a rerun in this process) in the netCDF library beside a stale handle crashed it
        tree.close()


def _dealias_file(path, outdir, options, on_sweep, target, notes, write_beside, timings, record, tree, engine):
    start = time.perf_counter()
    # decoded here (the writer needs every variable and checks them for NaN): all at once, unless the
    # reader decodes in Python, which may go on beside the writer: then the sweeps to dealias one at a time
    per_sweep = write_beside and engine in READERS_BESIDE_WRITER
    if not per_sweep:
        tree = _load(path, tree)
    todo = velocity_sweeps(tree, options.field)  # names and attributes only
    if per_sweep:
        velocity = {node_path for node_path, _, _ in todo}
        _load(path, tree, [node for node in tree.subtree if node.path not in velocity])
    timings["read"] += time.perf_counter() - start
    if not todo:
        raise RadarFileError(_nothing_to_dealias(path, tree, options.field))
    output = Path(target) if target is not None else Path(outdir) / output_name(path)
    tree.attrs = {**tree.attrs, **record}
    start = time.perf_counter()
    # each sweep is written as soon as it is dealiased, beside the next, unless there is no next or
    # anchoring the volume changes them all at the end
    streamed = write_beside and options.anchor != "volume" and len(todo) > 1
    # a single sweep decoded in Python: its moments are written one by one as they are decoded, beside the next
    by_moment = per_sweep and options.anchor != "volume" and len(todo) == 1
    with GroupWriter(tree, output, _io.COMPRESSION_LEVEL if options.compress else None,
                     on_start=functools.partial(_make_folder, path, output)) as writer:
        if streamed or by_moment:
            writer.put_rest({node_path for node_path, _, _ in todo})
        timings["write"] = time.perf_counter() - start
        dealiased = _dealias_sweeps(path, tree, todo, options, notes, writer if streamed or by_moment else None,
                                    on_sweep, timings, by_moment)
        start = time.perf_counter()
        if not streamed and not by_moment:
            writer.put_rest(set())
        writer.finish(check=functools.partial(check_output, sweeps=dealiased, source=path))
        timings["write"] += time.perf_counter() - start
    pictures = []
    if options.plot:
        start = time.perf_counter()
        pictures = [_plot_sweep(path, tree, ds, field, sweep, output) for sweep, ds, field in dealiased]
        timings["plot"] = time.perf_counter() - start
    return FileResult(str(output), len(todo), pictures, timings, notes)


def _dealias_sweeps(path, tree, todo, options, notes, writer, on_sweep, timings, by_moment=False):
    """Dealias every sweep of `todo`, each put back into `tree` (and handed
    to `writer` when given; `by_moment`: its moments handed over as they are
    decoded); returns (sweep name, dataset, field) of each. Sweeps not
    decoded yet are decoded first, that time counted as read."""
    timings["dealias"] = 0.0
    dealiased = []
    late = [names.DEALIASED] + ([names.FOLDS] if options.keep_folds else [])
    for node_path, ds, field in todo:
        sweep = node_path.strip("/")
        start = time.perf_counter()
        decoded = writer.stream(node_path, ds, field, late, functools.partial(_load, path)) if by_moment else None
        ds = _load(path, ds) if decoded is None else decoded
        timings["read"] += time.perf_counter() - start
        start = time.perf_counter()
        try:
            check_units(ds[field], options.any_units)
            mask = quality_mask(ds, options.exclude_below)
            with _noting(notes, f"{sweep}: "):
                result = _dealias_sweep(ds, field, options.nyquist, options.settings, mask=mask,
                                        keep_folds=options.keep_folds or options.anchor == "volume",
                                        vad=options.anchor == "vad")
        except (ValueError, TypeError, CoreFailure) as exc:
            raise RadarFileError(f"{path}: {sweep}: {_message(exc)}") from exc
        if names.NOISE in result[names.DEALIASED].attrs:
            notes.append(f"{sweep}: {result[names.DEALIASED].attrs[names.NOISE]}")
        tree[node_path].dataset = result
        if writer is not None:
            writer.put(node_path)
        dealiased.append((sweep, result, field))
        timings["dealias"] += time.perf_counter() - start
        if on_sweep is not None:
            on_sweep()
    if options.anchor == "volume":
        from ._anchor_xarray import anchor_sweeps

        start = time.perf_counter()
        anchored = anchor_sweeps([result for _, result, _ in dealiased], keep_folds=options.keep_folds)
        for (node_path, _, _), result in zip(todo, anchored):
            tree[node_path].dataset = result
        dealiased = [(sweep, result, field) for (sweep, _, field), result in zip(dealiased, anchored)]
        timings["dealias"] += time.perf_counter() - start
    return dealiased


def _make_folder(path, output):
    """The output's folder, made only once a file has something to write."""
    try:
        output.parent.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        reason = exc.strerror or exc
        raise RadarFileError(f"{path}: cannot make the output directory {output.parent}: {reason}") from exc


def _load(path, data, parts=None):
    """`data` (a tree or a dataset) with its values decoded: all, or those of the tree nodes `parts`."""
    try:
        if parts is None:
            return data.load()
        for node in parts:
            node.dataset = node.to_dataset(inherit=False).load()
        return data
    except Exception as exc:  # a reader decodes lazily: a damaged record shows only now
        raise RadarFileError(f"{path}: the file's data cannot be decoded: {type(exc).__name__}: {_io._short(exc)}") from exc


def _nothing_to_dealias(path, tree, field):
    """Why a file that was read has no sweep to dealias, and what to do."""
    if not sweep_nodes(tree):
        return (f"{path}: xradar found no complete sweep in the file; it is truncated or still being "
                "written: dealias it once it is complete")
    if field is not None:
        return f"{path}: no sweep has a variable '{field}'; name the velocity with --field"
    return f"{path}: no sweep has a radial-velocity variable (VRADH, velocity, VEL, ...); name it with --field"


def check_units(var, any_units=False):
    """A ValueError unless `var` is a velocity in m/s (or says no units)."""
    units = var.attrs.get("units")
    if any_units or units is None or names.is_velocity_unit(units):
        return
    raise ValueError(f"vornak: '{var.name}' is in {units!r}, not a velocity in m s-1; name the velocity "
                     "with --field, or pass --any-units to dealias it anyway")


@contextlib.contextmanager
def _noting(notes, prefix=""):
    """Collect the warnings raised inside into `notes`, one line each, once."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for noise in (FutureWarning, DeprecationWarning, PendingDeprecationWarning, ResourceWarning):
            warnings.simplefilter("ignore", noise)
        # the writer's, on packed fields: checked by _io.keep_missing_values, the ones left hold no NaN
        warnings.filterwarnings("ignore", "saving variable .* without any _FillValue")
        try:
            yield
        finally:
            for warning in caught:
                text = prefix + _io._short(_message(warning.message))
                if text not in notes:
                    notes.append(text)


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
