"""Sweeps for the benchmark: the real ones on disk and generated ones.

Every generated sweep is a pure function of its shape and seed, so the timing
process and the fresh processes that measure memory see the same gates.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np

# The real sweep without a Nyquist velocity (JMA) spans about -60..+69 m/s and
# looks unfolded: it is folded here at this Nyquist velocity and used as such.
JMA_NYQUIST = 20.0

SYNTHETIC_NYQUIST = 10.0


@dataclass
class Sweep:
    name: str
    vel: np.ndarray  # float32 (nrays, ngates), C-contiguous
    mask: np.ndarray  # bool, True = excluded
    nyquist: float
    rays_wrap_around: bool
    note: str = ""

    @property
    def gates(self) -> int:
        return self.vel.size

    @property
    def shape(self) -> str:
        return f"{self.vel.shape[0]}x{self.vel.shape[1]}"


def fold(v: np.ndarray, nyquist: float) -> np.ndarray:
    """Velocities as a radar with this Nyquist velocity measures them."""
    return v - 2.0 * nyquist * np.round(v / (2.0 * nyquist))


def _smooth_field(rng, az, rr, terms: int) -> np.ndarray:
    """A sum of a few low-frequency separable waves, about unit amplitude."""
    field = np.zeros((az.shape[0], rr.shape[1]))
    for _ in range(terms):
        m = rng.integers(1, 4)
        k = rng.uniform(0.5, 3.0)
        a = np.cos(m * az + rng.uniform(0, 2 * math.pi))
        b = np.cos(math.pi * k * rr + rng.uniform(0, 2 * math.pi))
        field += a * b
    return field / math.sqrt(terms / 4)


def smooth(nrays: int, ngates: int, seed: int = 0, nyquist: float = SYNTHETIC_NYQUIST) -> Sweep:
    """A PPI of a veering wind that strengthens with range, with a vortex,
    noise and gaps, folded up to three times at `nyquist`."""
    rng = np.random.default_rng(seed)
    az = np.linspace(0.0, 2 * math.pi, nrays, endpoint=False)[:, None]
    rr = ((np.arange(ngates) + 0.5) / ngates)[None, :]
    speed = 1.2 * nyquist + 4.3 * nyquist * rr  # up to 5.5 Nyquist: three folds
    veer = 0.6 + 1.2 * rr
    v = speed * np.cos(az - veer)
    # A vortex of 2 Nyquist at a third of the range, 20 degrees across.
    d_az = np.angle(np.exp(1j * (az - 1.0))) / 0.17
    d_rr = (rr - 0.35) / 0.04
    v += 2.0 * nyquist * d_az * np.exp(-(d_az**2 + d_rr**2) / 2)
    v += rng.normal(0.0, 0.08 * nyquist, size=v.shape)
    echo = _smooth_field(rng, az, rr, 6)
    mask = (echo < -0.6) | (rng.random(v.shape) < 0.03)
    vel = fold(v, nyquist).astype(np.float32)
    vel[mask] = np.nan
    return Sweep(f"smooth {nrays}x{ngates}", np.ascontiguousarray(vel), mask, nyquist, True,
                 "smooth wind, folded up to 3 times, noise, gaps")


def salt_and_pepper(nrays: int, ngates: int, seed: int = 0,
                    nyquist: float = SYNTHETIC_NYQUIST) -> Sweep:
    """Velocities uniform over the Nyquist interval, nothing masked."""
    rng = np.random.default_rng(seed + 1000)
    vel = rng.uniform(-nyquist, nyquist, size=(nrays, ngates)).astype(np.float32)
    mask = np.zeros(vel.shape, dtype=bool)
    return Sweep(f"salt-and-pepper {nrays}x{ngates}", vel, mask, nyquist, True,
                 "uniform velocities")


def sparse(nrays: int, ngates: int, seed: int = 0, valid: float = 0.02,
           nyquist: float = SYNTHETIC_NYQUIST) -> Sweep:
    """The smooth field with only a random `valid` share of its gates kept."""
    base = smooth(nrays, ngates, seed, nyquist)
    rng = np.random.default_rng(seed + 2000)
    mask = rng.random(base.vel.shape) >= valid
    vel = base.vel.copy()
    vel[mask] = np.nan
    mask |= base.mask
    return Sweep(f"sparse {nrays}x{ngates}", vel, mask, nyquist, True,
                 f"{valid:.0%} of the smooth sweep's gates kept")


GENERATORS = {"smooth": smooth, "salt-and-pepper": salt_and_pepper, "sparse": sparse}


def generated(kind: str, nrays: int, ngates: int, seed: int = 0) -> Sweep:
    return GENERATORS[kind](nrays, ngates, seed)


def real(path: Path) -> Sweep:
    with np.load(path) as data:
        vel = np.ascontiguousarray(data["vel"], dtype=np.float32)
        mask = np.ascontiguousarray(data["mask"], dtype=bool)
        nyquist = float(data["nyquist"])
        wrap = bool(data["rays_wrap_around"])
    note = ""
    if not math.isfinite(nyquist):
        nyquist = JMA_NYQUIST
        vel = np.where(mask, np.float32(np.nan), fold(vel, nyquist)).astype(np.float32)
        note = f"no Nyquist in file: folded at {JMA_NYQUIST:g} m/s"
    return Sweep(path.stem, vel, mask, nyquist, wrap, note)


def real_sweeps(directory: Path) -> list[Sweep]:
    return [real(p) for p in sorted(directory.glob("*.npz"))]
