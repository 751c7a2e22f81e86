"""Noise-only sweeps: told apart from folded weather gate by gate.

Taken round the Nyquist interval (where a fold is no difference), weather
changes little from one gate to the next, folded or not; noise (no signal,
every gate unmasked, velocities spread over the whole interval) differs
from most of its neighbours by half the Nyquist velocity or more. A sweep in
which a good part of the gates does is mostly noise: the user is told, with
the file's quality field and the lowest threshold of it that removes the
noise, and by default that threshold is applied.
"""

import dataclasses

import numpy as np


def noisy_gates(vel, nyquist, rays_wrap_around):
    """Valid gates that differ by more than half the Nyquist velocity, taken
    round the Nyquist interval, from at least half of their valid neighbours
    (along and across rays), or that have no valid neighbour at all.

    Round the interval, a fold is no difference: weather, folded or not,
    changes little from gate to gate, noise by half the Nyquist velocity
    or more at every other pair.
    """
    vel = np.asarray(vel, dtype=np.float32)  # velocities as measured: float32 is exact enough for a half-Nyquist test
    valid = np.isfinite(vel)
    far = np.zeros(vel.shape, dtype=np.int8)
    near = np.zeros(vel.shape, dtype=np.int8)

    def count(a, b, valid_a, valid_b, into_a, into_b):
        big, pair = _far_pairs(a, b, valid_a, valid_b, nyquist)
        for into in (into_a, into_b):
            far[into] += big
            near[into] += pair

    count(vel[:, 1:], vel[:, :-1], valid[:, 1:], valid[:, :-1], np.s_[:, 1:], np.s_[:, :-1])
    count(vel[1:], vel[:-1], valid[1:], valid[:-1], np.s_[1:], np.s_[:-1])
    if rays_wrap_around and vel.shape[0] > 2:
        count(vel[0], vel[-1], valid[0], valid[-1], np.s_[0], np.s_[-1])
    return valid & (2 * far >= near)


def _far_pairs(a, b, valid_a, valid_b, nyquist):
    """Which gate pairs differ by more than half the Nyquist velocity round
    the interval (False where either is missing), and which are both valid."""
    span, limit = np.float32(2.0 * nyquist), np.float32(0.5 * nyquist)
    diff = a - b
    with np.errstate(invalid="ignore"):
        diff -= span * np.rint(diff / span)  # round the interval: a whole fold is no difference
        big = np.abs(diff) > limit  # False where either gate is missing (NaN)
    return big, valid_a & valid_b


def noisy_share(vel, nyquist, rays_wrap_around):
    """Share of the valid gates that are noisy (0 without valid gates)."""
    valid = np.count_nonzero(np.isfinite(vel))
    return np.count_nonzero(noisy_gates(vel, nyquist, rays_wrap_around)) / valid if valid else 0.0


#: Rays apart of the sample that decides whether a sweep needs the full
#: count: noise covers areas of many neighbouring rays, never single rays
#: between weather.
SAMPLE_STEP = 8


def sampled_noisy_share(vel, nyquist, rays_wrap_around, step=SAMPLE_STEP, excluded=None):
    """`noisy_share` over every `step`-th ray only, each gate of them judged
    against all its neighbours as `noisy_gates` does (in compiled code, in
    float32 as there); gates `excluded` count as missing."""
    from ._anchor import _kernel

    vel = np.ascontiguousarray(vel, dtype=np.float32)
    if excluded is not None:
        excluded = np.ascontiguousarray(excluded, dtype=bool)
    noisy, valid = _kernel.sampled_noise(vel, excluded, float(np.float32(2.0 * nyquist)),
                                         float(np.float32(0.5 * nyquist)), bool(rays_wrap_around), step)
    return noisy / valid if valid else 0.0


#: A sweep with more than this share of noisy gates is mostly noise (measured:
#: at most 10 % on the recorded weather sweeps, 14 % on weather folded at
#: 6 m/s; 35 % to 61 % on the DOW8, KaSACR, XSAPR and KAZR sweeps; noise alone
#: gives about 69 %).
NOISY_SHARE = 0.25
#: A quality threshold works when it leaves at most this share of noisy gates.
CLEAN_SHARE = 0.05


#: Standard quality fields, in order of preference: kind, names (any case),
#: words of their standard_name, thresholds to try (lowest first), unit.
QUALITY_FIELDS = (
    ("normalized coherent power", ("NCP", "NCPH", "SQI", "SQIH", "SQIV", "normalized_coherent_power"),
     ("normalized_coherent_power", "signal_quality"), (0.1, 0.2, 0.3, 0.4, 0.5, 0.6), ""),
    ("signal-to-noise ratio", ("SNR", "SNRH", "SNRV", "SNRHC", "SNRVC", "signal_to_noise_ratio",
                               "signal_to_noise_ratio_copol"),
     ("signal_to_noise", "signal_noise_ratio"), (0.0, 3.0, 5.0, 10.0, 15.0, 20.0), " dB"),
)


def quality_fields(ds, shape_like):
    """(kind, variable name, thresholds, unit) of the standard quality fields of
    a sweep dataset that have the dimensions of `shape_like`, in order of preference."""
    found = []
    variables = ds.variables  # as variables: a DataArray built for each would cost more than the search
    for kind, wanted, words, thresholds, unit in QUALITY_FIELDS:
        upper = {name.upper() for name in wanted}
        for name in ds.data_vars:
            var = variables[name]
            standard = str(var.attrs.get("standard_name", "")).lower()
            if set(var.dims) != set(shape_like.dims) or var.dtype.kind not in "fiu":
                continue
            if name.upper() in upper or any(word in standard for word in words):
                found.append((kind, name, thresholds, unit))
                break
    return found


def working_threshold(vel, quality, thresholds, nyquist, rays_wrap_around):
    """The lowest threshold of `quality` (same shape as `vel`, NaN where no
    gate) that leaves a clean sweep: ``(threshold, share of the valid gates
    kept, noisy share of those)``, or None."""
    valid = np.isfinite(vel)
    for threshold in thresholds:
        with np.errstate(invalid="ignore"):
            kept = valid & (quality >= threshold)
        if not kept.any():
            return None
        share = noisy_share(np.where(kept, vel, np.nan), nyquist, rays_wrap_around)
        if share <= CLEAN_SHARE:
            return threshold, np.count_nonzero(kept) / np.count_nonzero(valid), share
    return None


@dataclasses.dataclass(frozen=True)
class NoiseFinding:
    """A sweep found to be mostly noise, and the quality threshold that removes it.

    share: noisy share of the valid gates; field, threshold, unit: the quality
    field and the lowest threshold of it that leaves a clean sweep (None when
    the sweep has no standard quality field or none of them works); kept:
    share of the valid gates at or above it; applied: the threshold was used.
    """

    share: float
    field: str | None = None
    threshold: float | None = None
    unit: str = ""
    kept: float = 0.0
    applied: bool = False

    def option(self):
        return f"--exclude-below {self.field}={self.threshold:g}"

    def describe(self):
        what = (f"mostly noise: {100 * self.share:.0f} % of the gates differ from most of their neighbours by "
                "more than half the Nyquist velocity (weather: 10 % at most)")
        if self.field is None:
            return what + "; exclude the noise with a quality threshold (--exclude-below VAR=VALUE) or a mask"
        kept = f"which keeps {100 * self.kept:.0f} % of the gates"
        if self.applied:
            return (f"{what}; gates with {self.field} below {self.threshold:g}{self.unit} excluded, {kept} "
                    "(noise_mask=False or --no-noise-mask keeps them all; a mask or --exclude-below chooses "
                    "another threshold)")
        return f"{what}; {self.option()} removes it, {kept}"


def assess(vel, nyquist, rays_wrap_around, qualities, excluded=None):
    """A NoiseFinding for a mostly-noise sweep, else None.

    `vel`: (rays, gates) in scan order, NaN where excluded (or `excluded`
    True there: most sweeps are weather, told by a sample of rays without
    a NaN copy of the whole sweep); `qualities`: a
    function giving (name, values like `vel`, thresholds, unit) of its
    quality fields, in order of preference (see `quality_fields`), called
    only for a sweep that is mostly noise. A sweep whose sample of rays is
    far below NOISY_SHARE is weather without the full count.
    """
    if (vel.shape[0] >= 8 * SAMPLE_STEP and
            sampled_noisy_share(vel, nyquist, rays_wrap_around, excluded=excluded) <= NOISY_SHARE / 2):
        return None
    if excluded is not None:
        vel = np.where(excluded, np.float32(np.nan), vel)
    share = noisy_share(vel, nyquist, rays_wrap_around)
    if share <= NOISY_SHARE:
        return None
    for name, values, thresholds, unit in qualities():
        found = working_threshold(vel, values, thresholds, nyquist, rays_wrap_around)
        if found is not None:
            return NoiseFinding(share, name, found[0], unit, found[1])
    return NoiseFinding(share)
