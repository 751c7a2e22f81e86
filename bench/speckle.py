#!/usr/bin/env python3
"""vornak speckle repair: the compiled flood fill against the whole-sweep
labelling in NumPy and scipy.ndimage that it replaced (tests/reference), on
the real sweeps, in one run.

Every velocity sweep of ../shared/data/sweeps, with the fold counts of the
exact core (the seam repaired, as the xarray layer does), at its own Nyquist
velocity and folded again at 6 and 10 m/s. Each call is timed alternately,
minimum of `--repeats`; the folds are checked equal on every sweep.

    python bench/speckle.py [--repeats N] [--data DIR]
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from reference import speckle as reference  # noqa: E402
from vornak import _array, _seam, _speckle  # noqa: E402
from vornak._settings import DEFAULT_SETTINGS  # noqa: E402


def fold(v, nyquist):
    return v - 2.0 * nyquist * np.round(v / (2.0 * nyquist))


def cases(folder):
    for path in sorted(folder.glob("*.npz")):
        data = np.load(path)
        vel, mask, wrap = data["vel"], data["mask"], bool(data["rays_wrap_around"])
        own = float(data["nyquist"])
        for nyquist in ([own] if np.isfinite(own) else []) + [6.0, 10.0]:
            v = np.ascontiguousarray(vel if nyquist == own else fold(vel, nyquist), dtype=np.float32)
            excluded = mask | ~np.isfinite(v)
            folds = _array.sweep_folds(v, excluded, nyquist, wrap, DEFAULT_SETTINGS)
            if wrap:
                folds, _ = _seam.repair_seam(v, excluded, folds, nyquist, DEFAULT_SETTINGS)
            yield f"{path.stem} @ {nyquist:g}", (v, folds, nyquist, excluded, wrap)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--data", type=Path, default=HERE.parent.parent / "shared" / "data" / "sweeps")
    args = parser.parse_args()
    totals = {"compiled": 0.0, "numpy": 0.0}
    count = changed = 0
    for name, case in cases(args.data):
        best = {"compiled": np.inf, "numpy": np.inf}
        for _ in range(args.repeats):
            for key, repair in (("compiled", _speckle.speckle_folds), ("numpy", reference.speckle_folds)):
                start = time.perf_counter()
                result = repair(*case)
                best[key] = min(best[key], time.perf_counter() - start)
                if key == "compiled":
                    got = result
        want = reference.speckle_folds(*case)
        if not (np.array_equal(got[0], want[0]) and got[1] == want[1]):
            raise SystemExit(f"{name}: the compiled repair differs from the reference")
        count += 1
        changed += got[1]
        for key in totals:
            totals[key] += best[key]
        if case[0].size >= 700 * 1000:
            print(f"{name:48s} {case[0].shape}  compiled {best['compiled'] * 1e3:6.2f} ms  "
                  f"numpy {best['numpy'] * 1e3:7.2f} ms  x{best['numpy'] / best['compiled']:5.1f}")
    print(f"{count} sweeps, folds equal on all ({changed} gates put back): compiled {totals['compiled']:.3f} s, "
          f"numpy {totals['numpy']:.3f} s, x{totals['numpy'] / totals['compiled']:.1f}; "
          f"load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
