"""The `vornak` command: dealias radar files, or run the demo.

    vornak dealias FILE... -o DIR [--field NAME] [--nyquist M/S] [--plot]
                                  [--workers N | --scheduler ADDRESS]
    vornak demo [-o demo.png]

Every file is read with xradar, every velocity sweep dealiased, and the
input's data plus `VRADDH` written as CfRadial2 netCDF to DIR. A file that
fails is reported with its name and the reason; the others go on, and the
exit status is 1 when any failed (2 for a wrong command line).
"""

import argparse
import os
import sys
import warnings
from pathlib import Path

import numpy as np

from . import __version__, names
from ._array import DEFAULTS

EXIT_FAILED = 1
EXIT_USAGE = 2
SUFFIXES = (".gz", ".nc", ".h5", ".hdf5", ".hdf", ".cdf")


def _parser():
    parser = argparse.ArgumentParser(prog="vornak", description="Region-based dealiasing of Doppler radar velocities.")
    parser.add_argument("--version", action="version", version=f"vornak {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    d = sub.add_parser("dealias", help="dealias radar files into CfRadial2 netCDF", description=__doc__.split("\n\n")[2])
    d.add_argument("files", nargs="+", metavar="FILE", help="radar files xradar can read (NEXRAD, ODIM, CfRadial, IRIS, ...)")
    d.add_argument("-o", "--output", required=True, metavar="DIR", help="directory for the results (made if missing)")
    d.add_argument("--field", help="velocity variable (default: VRADH, velocity, VEL, ... whichever the sweep has)")
    d.add_argument("--nyquist", type=_speed, metavar="M/S", help="Nyquist velocity, overriding the files' own")
    d.add_argument("--exclude-below", action="append", default=[], metavar="VAR=VALUE", type=_threshold,
                   help="exclude gates where the sweep variable VAR is below VALUE, e.g. SNRH=3 or RHOHV=0.8 (repeatable)")
    d.add_argument("--plot", action="store_true", help="also write a PNG per sweep: folded and dealiased side by side")
    d.add_argument("--keep-folds", action="store_true", help=f"also write the fold counts as {names.FOLDS}")
    tuning = d.add_argument_group("tuning (see README)")
    tuning.add_argument("--interval-splits", type=int, default=DEFAULTS["interval_splits"], metavar="N")
    tuning.add_argument("--skip-between-rays", type=int, default=DEFAULTS["skip_between_rays"], metavar="N")
    tuning.add_argument("--skip-along-ray", type=int, default=DEFAULTS["skip_along_ray"], metavar="N")
    tuning.add_argument("--no-centering", dest="centered", action="store_false", help="do not centre the folds on zero")
    scale = d.add_mutually_exclusive_group()
    scale.add_argument("--workers", type=int, metavar="N", help="process files on a local Dask cluster of N workers")
    scale.add_argument("--scheduler", metavar="ADDRESS", help="process files on the dask.distributed cluster at ADDRESS")
    d.add_argument("-q", "--quiet", action="store_true", help="no progress bar")

    m = sub.add_parser("demo", help="dealias a real sweep shipped with vornak and write a picture")
    m.add_argument("-o", "--output", default="demo.png", metavar="PNG", help="picture to write (default: demo.png)")
    return parser


def _speed(text):
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not (np.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"expected a positive velocity in m/s, got {text!r}")
    return value


def _threshold(text):
    name, sep, value = text.partition("=")
    try:
        if not sep or not name.strip():
            raise ValueError
        return name.strip(), float(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected VAR=VALUE such as SNRH=3, got {text!r}") from None


def _quality_mask(ds, thresholds):
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


def output_name(path):
    name = Path(path).name
    for suffix in SUFFIXES:
        if name.lower().endswith(suffix):
            name = name[: -len(suffix)]
            break
    return name + ".vornak.nc"


def process_file(path, outdir, options, on_sweep=None):
    """Dealias one file; returns (output path, sweeps done, pictures written)."""
    from . import _io
    from ._xarray import dealias_sweep, find_velocity_field, sweep_nodes

    tree, _ = _io.open_volume(path)
    todo = []
    for node_path, node in sweep_nodes(tree):
        ds = node.to_dataset(inherit=False)
        field = options["field"] or find_velocity_field(ds)
        if field is not None and field in ds.data_vars:
            todo.append((node_path, ds, field))
    if not todo:
        wanted = f"variable '{options['field']}'" if options["field"] else "radial-velocity variable (VRADH, velocity, VEL, ...)"
        raise _io.RadarFileError(f"{path}: no sweep has a {wanted}; name it with --field")
    pictures = []
    params = {k: options[k] for k in ("interval_splits", "skip_between_rays", "skip_along_ray", "centered")}
    for node_path, ds, field in todo:
        sweep = node_path.strip("/")
        try:
            ds = ds.load()
            mask = _quality_mask(ds, options["exclude_below"])
            result = dealias_sweep(ds, field, options["nyquist"], mask=mask, keep_folds=options["keep_folds"], **params)
        except (ValueError, TypeError) as exc:
            raise _io.RadarFileError(f"{path}: {sweep}: {_message(exc)}") from exc
        tree[node_path].dataset = result
        if options["plot"]:
            pictures.append(_plot_sweep(path, tree, result, field, sweep, outdir))
        if on_sweep is not None:
            on_sweep()
    target = Path(outdir) / output_name(path)
    _io.write_cfradial2(tree, target)
    return str(target), len(todo), pictures


def _process_file_remote(path, outdir, options):
    """process_file for a cluster worker: a failure comes back as a value, so
    that a bad file is reported once, here, and not logged by the worker."""
    try:
        return process_file(path, outdir, options)
    except Exception as exc:
        return RuntimeError(f"{path}: {_message(exc)}" if path not in str(exc) else _message(exc))


def _plot_sweep(path, tree, ds, field, sweep, outdir):
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
    kind = "RHI" if rhi else "PPI"
    png = Path(outdir) / f"{output_name(path)[: -len('.vornak.nc')]}.{sweep}.png"
    _plot.plot_sweep(
        png, folded, dealiased, nyquist,
        azimuth=ds[names.AZIMUTH].values[order], elevation=ds[names.ELEVATION].values[order],
        rng=ds[names.RANGE].values, rhi=rhi,
        title=f"{Path(path).name} {sweep}: {radar} {kind} at {fixed:.1f}\u00b0, {when}".replace("  ", " "),
        subtitle=f"{field} dealiased into {names.DEALIASED}",
    )
    return str(png)


class _Progress:
    """Progress over files and sweeps (tqdm when installed, else plain lines)."""

    def __init__(self, nfiles, quiet):
        self.quiet = quiet
        self.files = self.sweeps = None
        if quiet:
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        self.files = tqdm(total=nfiles, unit="file", desc="files", position=0, file=sys.stderr)
        self.sweeps = tqdm(unit="sweep", desc="sweeps", position=1, leave=False, file=sys.stderr)

    def sweep(self):
        if self.sweeps is not None:
            self.sweeps.update(1)

    def file(self, done_sweeps=0, remote=False):
        if self.files is not None:
            self.files.update(1)
            if remote:
                self.sweeps.update(done_sweeps)

    def write(self, text):
        if self.files is not None:
            self.files.write(text, file=sys.stderr)
        else:
            print(text, file=sys.stderr)

    def close(self):
        if self.files is not None:
            self.files.set_postfix_str(f"{self.sweeps.n} sweeps", refresh=False)
            self.sweeps.close()  # its line goes; the file bar keeps the count
            self.files.close()


def _dealias(args):
    from ._optional import require

    require("xradar", "vornak dealias")
    outdir = Path(args.output)
    try:
        outdir.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        print(f"vornak: error: cannot make the output directory {outdir}: {exc.strerror or exc}", file=sys.stderr)
        return EXIT_FAILED
    if args.plot:
        require("matplotlib", "vornak dealias --plot")
    options = {
        "field": args.field,
        "nyquist": args.nyquist,
        "plot": args.plot,
        "keep_folds": args.keep_folds,
        "exclude_below": args.exclude_below,
        "interval_splits": args.interval_splits,
        "skip_between_rays": args.skip_between_rays,
        "skip_along_ray": args.skip_along_ray,
        "centered": args.centered,
    }
    progress = _Progress(len(args.files), args.quiet)
    failed = []

    def report(path, outcome):
        if isinstance(outcome, BaseException):
            failed.append(path)
            text = _message(outcome)
            progress.write(f"vornak: error: {text if str(path) in text else f'{path}: {text}'}")
        else:
            target, nsweeps, pictures = outcome
            plots = f", {len(pictures)} picture{'s' if len(pictures) != 1 else ''}" if pictures else ""
            progress.write(f"{path} -> {target} ({nsweeps} sweep{'s' if nsweeps != 1 else ''}{plots})")

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        if args.workers is not None or args.scheduler is not None:
            _on_cluster(args, outdir, options, progress, report)
        else:
            for path in args.files:
                try:
                    outcome = process_file(path, outdir, options, progress.sweep)
                except Exception as exc:  # reported, and the other files go on
                    outcome = exc
                report(path, outcome)
                progress.file()
    progress.close()
    total = len(args.files)
    if failed:
        print(f"vornak: {len(failed)} of {total} file{'s' if total != 1 else ''} failed", file=sys.stderr)
        return EXIT_FAILED
    return 0


def _on_cluster(args, outdir, options, progress, report):
    """One task per file on a dask.distributed cluster (local or remote)."""
    from ._optional import require

    distributed = require("distributed", "vornak dealias --workers/--scheduler")
    if args.workers is not None:
        if args.workers < 1:
            raise SystemExit(f"vornak: error: --workers must be at least 1, got {args.workers}")
        cluster = distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None)
        client = distributed.Client(cluster)
    else:
        cluster, client = None, distributed.Client(args.scheduler)
    try:
        futures = {
            client.submit(_process_file_remote, os.path.abspath(p), str(outdir.resolve()), options, pure=False): p
            for p in args.files
        }
        for future in distributed.as_completed(futures):
            path = futures[future]
            outcome = future.exception() or future.result()
            report(path, outcome)
            progress.file(0 if isinstance(outcome, BaseException) else outcome[1], remote=True)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def _demo(args):
    from ._demo import run_demo
    from ._optional import require

    require("matplotlib", "vornak demo")
    run_demo(args.output)
    return 0


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        return _dealias(args) if args.command == "dealias" else _demo(args)
    except ImportError as exc:
        print(f"vornak: error: {_message(exc)}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        return 130
