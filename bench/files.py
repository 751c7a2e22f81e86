#!/usr/bin/env python3
"""vornak file benchmark: `vornak dealias` on whole radar files against what
a user pays anyway to read and write them with xradar, in one run.

For every file: xradar's open of the file with every variable decoded
(`open`), and xradar's CfRadial2 writer on that tree (`write`), each timed
alone; then vornak's own processing of the file, split into read, Nyquist,
dealias (with the core calls apart) and write. The ratio total / (open +
write) is what the file path adds on top of the reader and the writer;
`own/sweep` is vornak's work beyond the core call and xradar's decode, per
sweep. xradar's writer does not compress, vornak's does by default: `plain`
repeats both figures with `--no-compress`, the like-for-like comparison. Times are medians over `--repeats` runs after a warm-up, all in this
process after the imports (a CLI run pays its imports once: `imports` below).
The many-files part times the command line on copies of the files with one
worker process and with two.

    python bench/files.py [--quick] [--data DIR] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

t0 = time.perf_counter()
import numpy as np  # noqa: E402
import xarray as xr  # noqa: E402
import xradar as xd  # noqa: E402

import vornak  # noqa: E402
from vornak import _array, _files, _io  # noqa: E402
from vornak._settings import FileOptions  # noqa: E402

IMPORTS = time.perf_counter() - t0
HERE = Path(__file__).resolve().parent
DEFAULT_DATA = HERE.parent.parent / "shared" / "data" / "files"
LONG = 20.0  # seconds: a baseline that takes longer is run once


class CoreTimer:
    """Counts the seconds spent in the core calls of the file path."""

    def __init__(self):
        self.seconds = 0.0
        self.calls = 0
        self._inner = _array.sweep_folds

    def __enter__(self):
        def timed(*args, **kwargs):
            start = time.perf_counter()
            try:
                return self._inner(*args, **kwargs)
            finally:
                self.seconds += time.perf_counter() - start
                self.calls += 1

        _array.sweep_folds = timed
        return self

    def __exit__(self, *exc):
        _array.sweep_folds = self._inner


def xradar_open(path):
    """What a user runs to read the file: xradar's own open, data decoded."""
    source = _io._source(path)
    engine = xd.io.discover_engine(source)
    return xd.open_datatree(source, engine=engine).load()


def time_baseline(path, outdir, repeats):
    """Median seconds of xradar's open and of its CfRadial2 write, the median
    processor seconds of both together, and the size written."""
    opens, writes, cpus = [], [], []
    for _ in range(repeats + 1):  # the first is a warm-up
        cpu = time.process_time()
        start = time.perf_counter()
        tree = xradar_open(path)
        opens.append(time.perf_counter() - start)
        target = Path(outdir) / "baseline.nc"
        start = time.perf_counter()
        xd.io.to_cfradial2(tree, str(target))
        writes.append(time.perf_counter() - start)
        cpus.append(time.process_time() - cpu)
        size = target.stat().st_size
        target.unlink()
        if opens[0] + writes[0] > LONG:  # minutes per run: one run tells enough
            return opens[-1], writes[-1], cpus[-1], size
    return statistics.median(opens[1:]), statistics.median(writes[1:]), statistics.median(cpus[1:]), size


def time_xarray_baseline(path, outdir, repeats):
    opens, writes, cpus = [], [], []
    for _ in range(repeats + 1):
        cpu = time.process_time()
        start = time.perf_counter()
        ds = xr.open_dataset(path).load()
        opens.append(time.perf_counter() - start)
        for var in ds.variables.values():  # xarray cannot write back both (ARM files have them)
            if "missing_value" in var.encoding and "_FillValue" in var.encoding:
                del var.encoding["missing_value"]
        target = Path(outdir) / "baseline.nc"
        start = time.perf_counter()
        ds.to_netcdf(target)
        writes.append(time.perf_counter() - start)
        cpus.append(time.process_time() - cpu)
        size = target.stat().st_size
        target.unlink()
    return statistics.median(opens[1:]), statistics.median(writes[1:]), statistics.median(cpus[1:]), size


def time_vornak(path, outdir, repeats, options):
    runs = []
    for _ in range(repeats + 1):
        with CoreTimer() as core:
            cpu = time.process_time()
            start = time.perf_counter()
            result = _files.process_file(path, outdir, options)
            total = time.perf_counter() - start
            cpu = time.process_time() - cpu
        run = dict(result.timings, total=total, cpu=cpu, core=core.seconds, sweeps=result.sweeps,
                   size=Path(result.output).stat().st_size)
        Path(result.output).unlink()
        runs.append(run)
    keys = ("read", "nyquist", "dealias", "core", "write", "total", "cpu")
    figures = {k: statistics.median(r[k] for r in runs[1:]) for k in keys}
    figures.update(sweeps=runs[-1]["sweeps"], size=runs[-1]["size"])
    return figures


def many_small_sweeps(folder, nsweeps=60, nrays=360, ngates=60):
    """A CfRadial2 volume of a few MB with many small sweeps (generated winds)."""
    rng = np.random.default_rng(7)
    root = xr.Dataset(
        {"latitude": 50.0, "longitude": 8.0, "altitude": 100.0,
         "sweep_group_name": (("sweep",), np.array([f"sweep_{i}" for i in range(nsweeps)])),
         "sweep_fixed_angle": (("sweep",), np.linspace(0.5, 30, nsweeps).astype(np.float32)),
         "time_coverage_start": "2024-01-01T00:00:00Z", "time_coverage_end": "2024-01-01T00:05:00Z"},
        attrs={"Conventions": "Cf/Radial", "instrument_name": "SYNTH", "history": ""},
    )
    nodes = {"/": root}
    az = (np.arange(nrays) + 0.5) * 360.0 / nrays
    rng_m = 250.0 + 500.0 * np.arange(ngates)
    for i in range(nsweeps):
        wind = 25.0 * np.sin(np.radians(az))[:, None] * (0.5 + rng_m[None, :] / rng_m[-1])
        vel = wind + rng.normal(0, 1.0, wind.shape)
        folded = (vel + 8.0) % 16.0 - 8.0
        ds = xr.Dataset(
            {"VRADH": (("azimuth", "range"), folded.astype(np.float32), {"units": "m s-1", "nyquist_velocity": 8.0,
                                                                          "standard_name": "radial_velocity_of_scatterers_away_from_instrument_h"}),
             "DBZH": (("azimuth", "range"), rng.normal(20, 5, wind.shape).astype(np.float32), {"units": "dBZ"}),
             "nyquist_velocity": ((), np.float32(8.0)),
             "sweep_mode": ((), "azimuth_surveillance"),
             "sweep_number": ((), i),
             "sweep_fixed_angle": ((), np.float32(root.sweep_fixed_angle.values[i])),
             "elevation": (("azimuth",), np.full(nrays, root.sweep_fixed_angle.values[i], np.float32)),
             "time": (("azimuth",), np.datetime64("2024-01-01T00:00:00", "ns") + np.arange(nrays).astype("timedelta64[ms]") * 20)},
            coords={"azimuth": az.astype(np.float32), "range": rng_m.astype(np.float32)},
        )
        ds = ds.set_coords(["elevation", "time"])
        nodes[f"/sweep_{i}"] = ds
    path = Path(folder) / f"SYNTH_{nsweeps}sweeps.nc"
    xd.io.to_cfradial2(xr.DataTree.from_dict(nodes), str(path))
    return path


def cli_throughput(paths, outdir, workers, one_core=False):
    """Seconds for `vornak dealias` over `paths` with `workers` workers;
    `one_core`: the run allowed a single core, as a batch job of one core
    would be (one worker then has no second core to write beside it on)."""
    shutil.rmtree(outdir, ignore_errors=True)
    pin = (lambda: os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})) if one_core else None
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "vornak", "dealias", *map(str, paths), "-o", str(outdir), "-q",
                           "--workers", str(workers)], capture_output=True, text=True, preexec_fn=pin)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError(f"vornak dealias failed: {done.stderr[-500:]}")
    return seconds


def mb(nbytes):
    return f"{nbytes / 1e6:.1f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="one repeat, fewer copies for the throughput part")
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA)
    parser.add_argument("--json", type=Path)
    parser.add_argument("--workers-only", action="store_true", help="only the many-files part")
    args = parser.parse_args()
    repeats = 1 if args.quick else 3
    warnings.simplefilter("ignore")
    work = Path(tempfile.mkdtemp(prefix="vornak-bench-files-"))
    try:
        files = sorted(p for p in args.data.iterdir() if p.is_file()) if args.data.is_dir() else []
        files.append(many_small_sweeps(work))
        print(f"imports (numpy, xarray, xradar, vornak): {IMPORTS:.2f} s, paid once per run\n")
        head = (f"{'file':<44} {'MB':>5} {'sw':>3} {'open':>6} {'write':>6} | {'read':>6} {'nyq':>5} {'deal':>6} "
                f"{'core':>5} {'write':>6} {'total':>6} | {'ratio':>5} {'cpu':>5} {'own/sw':>7} | {'plain':>5} {'own/sw':>7} | "
                f"{'out MB':>6} {'xr MB':>6}")
        print(head)
        print("-" * len(head))
        rows = []
        for path in [] if args.workers_only else files:
            name = path.name if len(path.name) <= 44 else path.name[:41] + "..."
            try:
                figures = time_vornak(path, work, repeats, FileOptions())
            except vornak.RadarFileError as exc:
                print(f"{name:<44} vornak: {exc}")
                continue
            plain = time_vornak(path, work, repeats, FileOptions(compress=False))
            try:
                opened, written, base_cpu, xr_size = time_baseline(path, work, repeats)
            except Exception:  # a file xradar does not read: the user's reader and writer are xarray's
                opened, written, base_cpu, xr_size = time_xarray_baseline(path, work, repeats)
                name = name[:40] + " (xr)"
            base = opened + written
            ratio = figures["total"] / base
            # beyond the core and beyond what xradar's decode and writer cost anyway
            own = figures["total"] - figures["core"] - opened - written
            own_per_sweep = own / max(figures["sweeps"], 1)
            plain_ratio = plain["total"] / base
            plain_own = (plain["total"] - plain["core"] - opened - written) / max(plain["sweeps"], 1)
            cpu_ratio = figures["cpu"] / base_cpu
            row = dict(file=path.name, mb=path.stat().st_size / 1e6, open=opened, xradar_write=written, **figures,
                       ratio=ratio, cpu_ratio=cpu_ratio, own_per_sweep=own_per_sweep, xradar_size=xr_size,
                       plain_total=plain["total"], plain_ratio=plain_ratio, plain_own_per_sweep=plain_own)
            rows.append(row)
            print(f"{name:<44} {mb(path.stat().st_size):>5} {figures['sweeps']:>3} {opened:6.2f} {written:6.2f} | "
                  f"{figures['read']:6.2f} {figures['nyquist']:5.2f} {figures['dealias']:6.2f} {figures['core']:5.2f} "
                  f"{figures['write']:6.2f} {figures['total']:6.2f} | {ratio:5.2f} {cpu_ratio:5.2f} {own_per_sweep * 1e3:5.1f}ms | "
                  f"{plain_ratio:5.2f} {plain_own * 1e3:5.1f}ms | {mb(figures['size']):>6} {mb(xr_size):>6}")
        print("\nratio = vornak total / (xradar open + xradar CfRadial2 write); target <= 1.15")
        print("cpu = the same ratio in processor seconds of this process (less moved by other work on the machine)")
        print("own/sw = (vornak total - core calls - xradar open - xradar write) per sweep; target <= 2 ms")
        print("plain = ratio and own/sw of vornak writing uncompressed (--no-compress), as xradar's writer does\n")

        copies = 2 if args.quick else 4
        batch = []
        for path in files:
            for i in range(copies):
                folder = work / "many"
                folder.mkdir(parents=True, exist_ok=True)
                target = folder / f"copy{i}_{path.name}"
                if not target.exists():
                    os.link(path, target) if path.stat().st_dev == folder.stat().st_dev else shutil.copy(path, target)
                batch.append(target)
        # A run's start (the waiting process's imports, each worker's start and
        # imports) is paid once, whatever the number of files: timed on the
        # smallest file (one worker) and on two copies of it (two workers).
        smallest = min(batch, key=lambda p: p.stat().st_size)
        start1 = cli_throughput([smallest], work / "start1", 1)
        original = smallest.name.split("_", 1)[1]  # copy{i}_{name}
        start2 = cli_throughput([p for p in batch if p.name.split("_", 1)[1] == original][:2], work / "start2", 2)
        one = cli_throughput(batch, work / "out1", 1)
        two = cli_throughput(batch, work / "out2", 2)
        single = cli_throughput(batch, work / "out3", 1, one_core=True) if hasattr(os, "sched_setaffinity") else None
        print(f"many files: {len(batch)} files, `vornak dealias --workers 1` {one:.1f} s, --workers 2 {two:.1f} s: "
              f"throughput x{one / two:.2f} (target >= 1.8 on 2 cores)")
        print(f"  a run's start and smallest file: {start1:.2f} s (one worker), {start2:.2f} s (two copies, two workers); "
              f"beyond it x{(one - start1) / (two - start2):.2f}")
        if single is not None:
            print(f"  --workers 1 allowed one core (no writer beside it): {single:.1f} s, two workers x{single / two:.2f}")
        if args.json:
            args.json.write_text(json.dumps({"imports": IMPORTS, "files": rows, "workers1": one, "workers2": two,
                                             "workers1_one_core": single, "start1": start1, "start2": start2},
                                            indent=1, default=float))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
