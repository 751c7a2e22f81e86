#!/usr/bin/env python3
"""What reading the Nyquist velocity from a file's own metadata costs, against
xradar's own read of the same file, for every radar file in a folder.

For each file, in the same repeat: xradar's open (lazy), the Nyquist read as
vornak does it right after the open (from the headers xradar decoded where it
can, else from the header bytes), the load of the data, and the Nyquist read
from the header bytes alone (no xradar tree: the fallback when xradar's file
object is gone). Medians over the repeats after one warm-up; the shares are of
the open, and of the whole read (open + load). "read by vornak" says whether
xradar leaves a velocity sweep without it, the only case in which vornak reads
it. A file xradar has no engine for is read with xarray, as vornak reads ARM's
netCDF time series.

    python bench/nyquist_cost.py [--data DIR] [--repeats N]
"""

import argparse
import statistics
import time
import warnings
from pathlib import Path

import xarray as xr
import xradar as xd

from vornak import _io
from vornak._nyquist import NETCDF_ENGINE, nyquist_by_sweep
from vornak._xarray import find_velocity_field, sweep_nodes, sweep_nyquist

DATA = Path(__file__).resolve().parents[2] / "shared" / "data" / "files"


def opener(path, source):
    try:
        engine = xd.io.discover_engine(source)
    except ValueError:
        return NETCDF_ENGINE, lambda: xr.open_dataset(path)
    return engine, lambda: xd.open_datatree(source, engine=engine)


def leaves_it_out(tree):
    """Whether xradar leaves a velocity sweep without its Nyquist velocity (vornak then reads it)."""
    if not isinstance(tree, xr.DataTree):
        return True
    for _, node in sweep_nodes(tree):
        ds = node.to_dataset(inherit=False)
        field = find_velocity_field(ds)
        if field is not None:
            try:
                if sweep_nyquist(ds, field) is None:
                    return True
            except ValueError:
                pass
    return False


def measure(path, repeats):
    source = _io._source(path)
    engine, open_file = opener(path, source)
    times = {"open": [], "nyquist": [], "read": [], "targeted": []}
    for repeat in range(repeats + 1):
        t0 = time.perf_counter()
        tree = open_file()
        t1 = time.perf_counter()
        values = nyquist_by_sweep(source, engine, tree=tree if isinstance(tree, xr.DataTree) else None)
        t2 = time.perf_counter()
        tree.load()
        t3 = time.perf_counter()
        nyquist_by_sweep(source, engine)
        t4 = time.perf_counter()
        read_by_vornak = leaves_it_out(tree)
        tree.close()
        if repeat:  # the first is the warm-up
            for key, value in zip(times, (t1 - t0, t2 - t1, (t1 - t0) + (t3 - t2), t4 - t3)):
                times[key].append(value)
    median = {key: statistics.median(values) for key, values in times.items()}
    shown = sorted(set(round(v, 2) for v in values.values()))
    return engine, median, read_by_vornak, shown


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", type=Path, default=DATA)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    print("| file | engine | open (s) | open + load (s) | Nyquist read (ms) | share of open | share of read "
          "| from header bytes alone (ms) | share of read | read by vornak | values (m/s) |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for path in sorted(p for p in args.data.iterdir() if p.is_file()):
        engine, t, used, shown = measure(path, args.repeats)
        print(f"| {path.name} | {engine} | {t['open']:.3f} | {t['read']:.3f} | {t['nyquist'] * 1e3:.2f} "
              f"| {t['nyquist'] / t['open']:.2%} | {t['nyquist'] / t['read']:.2%} | {t['targeted'] * 1e3:.2f} "
              f"| {t['targeted'] / t['read']:.2%} | {'yes' if used else 'no: xradar carries it'} "
              f"| {', '.join(map(str, shown)) or 'none'} |", flush=True)


if __name__ == "__main__":
    main()
