"""Noise-only sweeps: told apart from folded weather by what dealiasing
cannot remove.

Folding leaves lines of neighbour jumps that dealiasing removes; noise (no
signal, every gate unmasked, velocities spread over the whole Nyquist
interval) jumps against its neighbours everywhere, before and after. A sweep
in which many gates still jump against most of their neighbours once
dealiased is mostly noise: the user is told, with the quality field of the
file and a threshold that removes it.
"""

import numpy as np


def noisy_gates(dealiased, nyquist, rays_wrap_around):
    """Valid gates that differ by more than the Nyquist velocity from at
    least two of their valid neighbours (along and across rays); NaN where
    no gate."""
    vel = np.asarray(dealiased, dtype=np.float64)
    valid = np.isfinite(vel)
    jumps = np.zeros(vel.shape, dtype=np.int8)
    with np.errstate(invalid="ignore"):
        along = np.abs(np.diff(vel, axis=1)) > nyquist
        jumps[:, :-1] += along
        jumps[:, 1:] += along
        across = np.abs(np.diff(vel, axis=0)) > nyquist
        jumps[:-1] += across
        jumps[1:] += across
        if rays_wrap_around and vel.shape[0] > 2:
            seam = np.abs(vel[0] - vel[-1]) > nyquist
            jumps[0] += seam
            jumps[-1] += seam
    return valid & (jumps >= 2)


def noisy_share(dealiased, nyquist, rays_wrap_around):
    """Share of the valid gates that are noisy (0 without valid gates)."""
    valid = np.count_nonzero(np.isfinite(dealiased))
    return np.count_nonzero(noisy_gates(dealiased, nyquist, rays_wrap_around)) / valid if valid else 0.0


#: A dealiased sweep with more than this share of noisy gates is mostly noise
#: (measured: at most 0.6 % on the recorded PPIs, 5.6 % on weather folded at
#: 6 m/s; 7.6 % to 16 % on the DOW8, KaSACR, XSAPR and KAZR sweeps).
NOISY_SHARE = 0.07
#: A threshold works when it leaves at most this share of noisy gates.
CLEAN_SHARE = 0.02


def is_noisy(dealiased, nyquist, rays_wrap_around):
    return noisy_share(dealiased, nyquist, rays_wrap_around) > NOISY_SHARE


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
    for kind, wanted, words, thresholds, unit in QUALITY_FIELDS:
        upper = {name.upper() for name in wanted}
        for name, var in ds.data_vars.items():
            standard = str(var.attrs.get("standard_name", "")).lower()
            if set(var.dims) != set(shape_like.dims) or var.dtype.kind not in "fiu":
                continue
            if name.upper() in upper or any(word in standard for word in words):
                found.append((kind, name, thresholds, unit))
                break
    return found


def working_threshold(dealias, vel, excluded, quality, thresholds, nyquist, rays_wrap_around):
    """The lowest threshold of `quality` (same shape as `vel`) that leaves a
    clean sweep: ``(threshold, share of the valid gates kept, noisy share)``,
    or None. `dealias(vel, excluded)` returns the dealiased velocities."""
    valid = np.count_nonzero(~excluded)
    for threshold in thresholds:
        with np.errstate(invalid="ignore"):
            low = excluded | ~(quality >= threshold)
        kept = np.count_nonzero(~low)
        if kept == 0:
            return None
        out = np.where(low, np.nan, dealias(vel, low))
        share = noisy_share(out, nyquist, rays_wrap_around)
        if share <= CLEAN_SHARE:
            return threshold, kept / valid, share
    return None
