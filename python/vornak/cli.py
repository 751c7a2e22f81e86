"""The `vornak` command: dealias radar files, or run the demo.

    vornak dealias FILE... -o DIR [--field NAME] [--nyquist M/S] [--plot]
                                  [--anchor vad|volume|none] [--workers N | --scheduler ADDRESS]
    vornak demo [-o demo.png]

Every file is read with xradar, every velocity sweep dealiased, and the
input's data plus `VRADDH` written as CfRadial2 netCDF to DIR. A file that
fails is reported with its name and the reason; the others go on, and the
exit status is 1 when any failed (2 for a wrong command line).
"""

import argparse
import logging
import os
import sys
import warnings
from pathlib import Path

import numpy as np

from . import __version__, names
from ._files import _message, output_name  # noqa: F401  (output_name: part of the command's vocabulary)
from ._settings import DEFAULT_SETTINGS, FileOptions, Settings

EXIT_FAILED = 1
EXIT_USAGE = 2


class _Parser(argparse.ArgumentParser):
    """argparse, with its errors in one line like every other error of vornak."""

    def error(self, message):
        self.exit(EXIT_USAGE, f"vornak: error: {message} (see '{self.prog} --help')\n")


def _parser():
    parser = _Parser(prog="vornak", description="Region-based dealiasing of Doppler radar velocities.")
    parser.add_argument("--version", action="version", version=f"vornak {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    d = sub.add_parser("dealias", help="dealias radar files into CfRadial2 netCDF", description=__doc__.split("\n\n")[2])
    d.add_argument("files", nargs="+", metavar="FILE",
                   help="radar files xradar can read (NEXRAD, ODIM, CfRadial, IRIS, ...), or a folder of the "
                   "real-time chunks of one NEXRAD volume")
    d.add_argument("-o", "--output", required=True, metavar="DIR", help="directory for the results (made if missing)")
    d.add_argument("--field", help="velocity variable (default: VRADH, velocity, VEL, ... whichever the sweep has)")
    d.add_argument("--any-units", action="store_true", help="dealias the --field even when its units are not m/s")
    d.add_argument("--nyquist", type=_speed, metavar="M/S", help="Nyquist velocity, overriding the files' own")
    d.add_argument("--exclude-below", action="append", default=[], metavar="VAR=VALUE", type=_threshold,
                   help="exclude gates where the sweep variable VAR is below VALUE, e.g. SNRH=3 or RHOHV=0.8 (repeatable)")
    d.add_argument("--plot", action="store_true", help="also write a PNG per sweep: folded and dealiased side by side")
    d.add_argument("--keep-folds", action="store_true", help=f"also write the fold counts as {names.FOLDS}")
    d.add_argument("--no-compress", dest="compress", action="store_false",
                   help="write uncompressed netCDF: faster to write, several times larger")
    d.add_argument("--anchor", choices=("vad", "volume", "none"), default="vad",
                   help="add whole folds where the sweep's VAD fit (vad, the default) or also the file's other "
                   "sweeps (volume) show a sweep or a detached echo area a fold off, then to small echo areas "
                   "a fold off the echo beside them; none keeps the exact fold counts (see README, Quality)")
    tuning = d.add_argument_group("tuning (see README)")
    tuning.add_argument("--interval-splits", type=int, default=DEFAULT_SETTINGS.interval_splits, metavar="N")
    tuning.add_argument("--skip-between-rays", type=int, default=DEFAULT_SETTINGS.skip_between_rays, metavar="N")
    tuning.add_argument("--skip-along-ray", type=int, default=DEFAULT_SETTINGS.skip_along_ray, metavar="N")
    tuning.add_argument("--no-centering", dest="centered", action="store_false", help="do not centre the folds on zero")
    steps = d.add_argument_group("after the exact folds (see README)")
    steps.add_argument("--no-seam-repair", dest="seam_repair", action="store_false",
                       help="leave a fold line along the first ray of a full PPI as it is")
    speckle = steps.add_mutually_exclusive_group()
    speckle.add_argument("--no-speckle-repair", dest="speckle_repair", action="store_false",
                         help="leave scattered clutter raised by a fold, which the like gates around it do not "
                         "share, as it is")
    speckle.add_argument("--speckle-repair", action="store_true", default=True, help=argparse.SUPPRESS)
    steps.add_argument("--no-noise-mask", dest="noise_mask", action="store_false",
                       help="dealias a sweep that is mostly noise unmasked (it is still reported)")
    scale = d.add_mutually_exclusive_group()
    scale.add_argument("--workers", type=int, metavar="N",
                       help="process files in N worker processes at once (default: one per usable core when there is "
                       "more than one file; 1 processes them one after another)")
    scale.add_argument("--scheduler", metavar="ADDRESS", help="process files on the dask.distributed cluster at ADDRESS")
    d.add_argument("--force", action="store_true",
                   help="dealias every file again, also those whose output is there and made with the same options")
    d.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no warnings; errors still shown")

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


class _Progress:
    """Progress bars over files and sweeps, on a terminal only (tqdm when
    installed); the lines of the run go to stdout (done) and stderr (errors,
    warnings) either way."""

    def __init__(self, nfiles, quiet):
        self.files = self.sweeps = None
        if quiet or not sys.stderr.isatty():
            return  # a log gets lines, not carriage returns and cursor moves
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

    def write(self, text, out=None):
        out = out or sys.stderr
        if self.files is not None:
            self.files.write(text, file=out)  # clears the bars, writes, redraws them
        else:
            print(text, file=out, flush=True)

    def close(self):
        if self.files is not None:
            self.files.set_postfix_str(f"{self.sweeps.n} sweeps", refresh=False)
            self.sweeps.close()  # its line goes; the file bar keeps the count
            self.files.close()


def _options(args, parser):
    """The run's options, checked before any file is read (a usage error: exit 2)."""
    try:
        settings = Settings(args.interval_splits, args.skip_between_rays, args.skip_along_ray, args.centered,
                            args.seam_repair, args.speckle_repair, args.noise_mask)
        if args.workers is not None and args.workers < 1:
            raise ValueError(f"vornak: --workers must be at least 1, got {args.workers}")
    except (TypeError, ValueError) as exc:
        parser.error(_message(exc).replace("interval_splits", "--interval-splits")
                     .replace("skip_between_rays", "--skip-between-rays").replace("skip_along_ray", "--skip-along-ray"))
    return FileOptions(settings=settings, field=args.field, nyquist=args.nyquist, exclude_below=args.exclude_below,
                       plot=args.plot, keep_folds=args.keep_folds, any_units=args.any_units, compress=args.compress,
                       anchor=None if args.anchor == "none" else args.anchor)


def _output_problem(outdir):
    """Why the results cannot go to `outdir`, or None. Checked before any file
    is read; the directory itself is made only when a first file is written."""
    existing = outdir
    while not existing.exists() and existing.parent != existing:
        existing = existing.parent  # where the missing directories would be made
    if not existing.is_dir():
        which = f"-o {outdir} is" if existing == outdir else f"-o {outdir}: {existing} is"
        return f"{which} a file, not a directory; name a directory for the results"
    if not os.access(existing, os.W_OK | os.X_OK):
        return f"cannot write into {existing} (-o {outdir}): choose a directory you may write to"
    return None


def _dealias(args, options):
    from . import _runner
    from ._files import output_paths
    from ._optional import require_installed

    require_installed("xradar", "vornak dealias")
    if args.plot:
        require_installed("matplotlib", "vornak dealias --plot")
    outdir = Path(args.output)
    problem = _output_problem(outdir)
    try:
        if problem is not None:
            raise ValueError(f"vornak: {problem}")
        targets = output_paths(args.files, outdir)
    except ValueError as exc:
        print(f"vornak: error: {_message(exc)}", file=sys.stderr)
        return EXIT_USAGE
    paths = list(targets)
    progress = _Progress(len(paths), args.quiet)
    failed = []

    def report(path, outcome):
        if isinstance(outcome, BaseException):
            failed.append(path)
            text = _message(outcome).replace(os.path.abspath(path), str(path))  # a worker's absolute path
            progress.write(f"vornak: error: {text if str(path) in text else f'{path}: {text}'}")
            progress.file()
            return
        if outcome.skipped:
            progress.write(f"{path} -> {targets[path]} (done before, with the same input and options)", sys.stdout)
            progress.file()
            return
        if not args.quiet:
            for note in outcome.notes:
                progress.write(f"vornak: warning: {path}: {note}")
        plots = f", {len(outcome.pictures)} picture{'s' if len(outcome.pictures) != 1 else ''}" if outcome.pictures else ""
        nsweeps = outcome.sweeps
        # the output as the user named its directory (a cluster worker is given absolute paths)
        done = f"{path} -> {targets[path]} ({nsweeps} sweep{'s' if nsweeps != 1 else ''}{plots})"
        progress.write(done, sys.stdout)
        progress.file(nsweeps, remote=on_cluster)

    workers = args.workers if args.workers is not None else _runner.default_workers(len(paths))
    on_cluster = args.scheduler is not None  # a cluster's workers report no sweeps as they go
    try:
        _runner.run_files(paths, targets, options, report, progress.sweep, workers=workers,
                          scheduler=args.scheduler, force=args.force)
    except (_runner.Stopped, _runner.ClusterLost) as stop:
        progress.close()
        return _stopped(stop, len(paths))
    except ConnectionError as exc:
        progress.close()
        print(f"vornak: error: {_message(exc)}", file=sys.stderr)
        return EXIT_FAILED
    progress.close()
    total = len(paths)
    if failed:
        print(f"vornak: {len(failed)} of {total} file{'s' if total != 1 else ''} failed; "
              f"{total - len(failed)} dealiased into {outdir}", flush=True)
        return EXIT_FAILED
    print(f"vornak: {total} file{'s' if total != 1 else ''} dealiased into {outdir}", flush=True)
    return 0


def _stopped(stop, total):
    """The summary of a run stopped before its end (a signal, or the scheduler
    lost); its exit status."""
    left = stop.unfinished
    print(str(stop) if isinstance(stop, Exception) else f"vornak: stopped by {stop}", file=sys.stderr)
    first = f" (the first: {left[0]})" if left else ""
    print(f"vornak: {total - len(left)} of {total} file{'s' if total != 1 else ''} finished, {len(left)} not done{first}; "
          "rerun the same command to do the rest", file=sys.stderr)
    return getattr(stop, "exit_status", EXIT_FAILED)


def _demo(args):
    from ._demo import run_demo
    from ._optional import require

    require("matplotlib", "vornak demo")
    run_demo(args.output)
    return 0


def _show_warning(message, category, filename, lineno, file=None, line=None):
    """A warning raised outside the files' own processing (which collects
    them, see `_files.process_file`), in one line."""
    text = str(message).strip().splitlines()
    print(f"vornak: warning: {_message(text[0]) if text else category.__name__}", file=sys.stderr)


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _show_warning
            # library deprecation notices are for developers, not for a run's log
            warnings.simplefilter("ignore", FutureWarning)
            warnings.simplefilter("ignore", DeprecationWarning)
            if getattr(args, "quiet", False):
                warnings.simplefilter("ignore")
                logging.getLogger("distributed").setLevel(logging.ERROR)  # a Dask client's start and stop
            if args.command == "dealias":
                return _dealias(args, _options(args, parser))
            return _demo(args)
    except ImportError as exc:
        print(f"vornak: error: {_message(exc)}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        return 130
