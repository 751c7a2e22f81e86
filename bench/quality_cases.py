"""The cases of the quality benchmark, built in one place.

- truth: the JMA sweep, which is an unfolded wind field, folded at each
  Nyquist velocity of `FOLD_NYQUISTS`;
- pseudo-truth: PPIs recorded at a Nyquist velocity of 20 m/s or more whose
  neighbouring gates almost never jump by more than that Nyquist velocity
  (`is_pseudo_truth`, decided from the raw data alone, no dealiaser run),
  folded the same way; sweeps of one volume stay together so that volume
  references can be measured;
- real: the NEXRAD volumes as recorded, with their own folds and no truth,
  and the most folded single sweep (MLL, 8.25 m/s).

A case is one sweep; a volume holds the cases of one scan at one Nyquist
velocity (a single sweep is a volume of one). Post-steps get a case and may
reach its volume through `case.volume`.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
DEFAULT_DATA = HERE.parent.parent / "shared" / "data" / "sweeps"

#: Nyquist velocities (m/s) the truth and pseudo-truth sweeps are folded at.
FOLD_NYQUISTS = (6.0, 8.0, 10.0, 13.0, 16.0, 20.0)

#: Pseudo-truth selection: recorded Nyquist velocity at least this (m/s) ...
PSEUDO_TRUTH_MIN_NYQUIST = 20.0
#: ... and at most this share of neighbouring valid gate pairs (along rays and
#: across rays) differing by more than the recorded Nyquist velocity.
PSEUDO_TRUTH_MAX_JUMP_SHARE = 0.002

#: Gate centre ranges (first gate, spacing in m) by file name prefix, as the
#: files state them (NEXRAD headers, ODIM where/rstart and rscale, CfRadial range).
GATE_RANGES = {
    "KLBB": (2125.0, 250.0),
    "KLOT": (2125.0, 250.0),
    "KLIX": (-375.0, 250.0),
    "T_PAZ": (480.0, 960.0),
    "JMA": (125.0, 250.0),
    "MLL": (250.0, 500.0),
}

TRUTH_SWEEP = "JMA47937_20230801T2000_VEL_sweep0"
REAL_FOLDED = ("KLBB20160601_150025", "KLIX20050828_180149", "KLOT20260328_201457", "MLL2217907250U_003")


@dataclass(eq=False)
class Case:
    name: str
    kind: str  # "truth", "pseudo-truth" or "real"
    source: str  # the .npz stem
    vel: np.ndarray  # float32 (rays, gates), folded as measured, NaN where masked
    mask: np.ndarray  # bool, True = no echo / excluded
    nyquist: float
    rays_wrap_around: bool
    azimuth: np.ndarray  # degrees per ray
    elevation: np.ndarray  # degrees per ray
    fixed_angle: float
    ranges: np.ndarray  # gate centre ranges, m
    truth: np.ndarray | None = None  # true velocity (float64), NaN where masked
    volume: Volume | None = field(default=None, repr=False)

    @property
    def valid(self) -> int:
        return int((~self.mask).sum())

    def true_folds(self) -> np.ndarray:
        """Folds that turn `vel` into `truth` (0 where masked)."""
        folds = np.rint((np.nan_to_num(self.truth) - np.nan_to_num(self.vel)) / (2.0 * self.nyquist))
        return np.where(self.mask, 0, folds).astype(np.int32)


@dataclass(eq=False)
class Volume:
    name: str
    kind: str
    cases: list[Case]

    def __post_init__(self):
        for case in self.cases:
            case.volume = self


def fold(v: np.ndarray, nyquist: float) -> np.ndarray:
    """Velocities as a radar with this Nyquist velocity measures them."""
    return v - 2.0 * nyquist * np.round(v / (2.0 * nyquist))


@dataclass
class Raw:
    stem: str
    vel: np.ndarray
    mask: np.ndarray
    nyquist: float
    wrap: bool
    azimuth: np.ndarray
    elevation: np.ndarray
    fixed_angle: float
    ranges: np.ndarray | None


def _gate_ranges(stem: str, ngates: int) -> np.ndarray | None:
    for prefix, (first, step) in GATE_RANGES.items():
        if stem.startswith(prefix):
            return first + step * np.arange(ngates)
    return None  # not needed: no such sweep is a case


def load_raw(path: Path) -> Raw:
    with np.load(path) as d:
        mask = np.ascontiguousarray(d["mask"], dtype=bool)
        vel = np.where(mask, np.nan, d["vel"]).astype(np.float32)
        return Raw(path.stem, vel, mask, float(d["nyquist"]), bool(d["rays_wrap_around"]),
                   np.asarray(d["azimuth"], np.float64), np.asarray(d["elevation"], np.float64),
                   float(d["fixed_angle"]), _gate_ranges(path.stem, vel.shape[1]))


def jump_share(vel: np.ndarray, nyquist: float, wrap: bool) -> float:
    """Share of neighbouring valid gate pairs (along and across rays) that
    differ by more than the Nyquist velocity."""
    v = vel.astype(np.float64)
    across = np.vstack([v, v[:1]]) if wrap else v
    jumps = pairs = 0
    for d in (np.diff(v, axis=1), np.diff(across, axis=0)):
        ok = np.isfinite(d)
        pairs += int(ok.sum())
        jumps += int((np.abs(d[ok]) > nyquist).sum())
    return jumps / pairs if pairs else 0.0


def is_pseudo_truth(raw: Raw) -> bool:
    return (math.isfinite(raw.nyquist) and raw.nyquist >= PSEUDO_TRUTH_MIN_NYQUIST and raw.wrap
            and jump_share(raw.vel, raw.nyquist, raw.wrap) <= PSEUDO_TRUTH_MAX_JUMP_SHARE)


def volume_key(stem: str) -> str:
    """Sweeps of one scan: the NEXRAD file, or the 5-minute Meteo-France cycle
    (its elevations come in separate files, A to E, within five minutes)."""
    if stem.startswith("T_PAZ"):
        stamp = stem.split("_")[3]  # e.g. 20230420065446
        minute = int(stamp[10:12])
        return f"Meteo-France {stamp[:10]}{minute - minute % 5:02d}"
    return stem.rsplit("_sweep", 1)[0]


def _folded_case(raw: Raw, kind: str, nyquist: float) -> Case:
    truth = np.where(raw.mask, np.nan, raw.vel.astype(np.float64))
    vel = np.where(raw.mask, np.nan, fold(truth, nyquist)).astype(np.float32)
    return Case(f"{raw.stem} @ {nyquist:g}", kind, raw.stem, vel, raw.mask, nyquist, raw.wrap,
                raw.azimuth, raw.elevation, raw.fixed_angle, raw.ranges, truth)


def _recorded_case(raw: Raw) -> Case:
    return Case(raw.stem, "real", raw.stem, raw.vel, raw.mask, raw.nyquist, raw.wrap,
                raw.azimuth, raw.elevation, raw.fixed_angle, raw.ranges)


def truth_volumes(data: Path = DEFAULT_DATA, nyquists=FOLD_NYQUISTS) -> list[Volume]:
    path = data / f"{TRUTH_SWEEP}.npz"
    if not path.exists():
        return []
    raw = load_raw(path)
    return [Volume(f"JMA @ {n:g}", "truth", [_folded_case(raw, "truth", n)]) for n in nyquists]


def pseudo_truth_volumes(data: Path = DEFAULT_DATA, nyquists=FOLD_NYQUISTS) -> list[Volume]:
    groups: dict[str, list[Raw]] = {}
    for path in sorted(data.glob("*.npz")):
        raw = load_raw(path)
        if is_pseudo_truth(raw):
            groups.setdefault(volume_key(raw.stem), []).append(raw)
    volumes = []
    for n in nyquists:
        for key, raws in groups.items():
            volumes.append(Volume(f"{key} @ {n:g}", "pseudo-truth", [_folded_case(r, "pseudo-truth", n) for r in raws]))
    return volumes


def real_volumes(data: Path = DEFAULT_DATA) -> list[Volume]:
    groups: dict[str, list[Raw]] = {}
    for path in sorted(data.glob("*.npz")):
        key = volume_key(path.stem)
        if key in REAL_FOLDED:
            groups.setdefault(key, []).append(load_raw(path))
    return [Volume(key, "real", [_recorded_case(r) for r in raws]) for key, raws in groups.items()]


def all_volumes(data: Path = DEFAULT_DATA, nyquists=FOLD_NYQUISTS) -> list[Volume]:
    return truth_volumes(data, nyquists) + pseudo_truth_volumes(data, nyquists) + real_volumes(data)
