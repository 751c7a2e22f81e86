"""Hypothesis strategies for whole sweeps: folded wind fields, speckle, special values.

A case is a dict of the eight arguments of sweep_folds_py. Bulk gate values come
from a NumPy generator seeded by hypothesis, so cases stay reproducible from the
seed while large grids remain cheap to draw; tiny grids are drawn gate by gate
so that failures shrink to a readable sweep.
"""

import math

import numpy as np
from hypothesis import assume
from hypothesis import strategies as st

from . import dealias as ref

INF = float("inf")
NAN = float("nan")
F32_MAX = float(np.finfo(np.float32).max)
I64_MAX = (1 << 63) - 1
I64_MIN = -(1 << 63)

# Gates times occupied intervals that the reference may label per case; sweeps
# needing more labelling passes than that are not drawn.
LABEL_BUDGET = 60_000

# ---------------------------------------------------------------- parameters

nice_nyquists = st.sampled_from([0.5, 1.0, 6.0, 8.0, 8.25, 10.0, 16.0, 22.5])
usual_nyquists = st.one_of(
    st.floats(0.5, 80.0),
    st.floats(0.5, 80.0, width=32).map(float),
    nice_nyquists,
)
odd_nyquists = st.one_of(
    st.sampled_from([1e-30, 1e-40, 1e-300, 5e-324]),  # tiny
    st.sampled_from([1e30, 3e38, 1e300]),  # huge
    st.sampled_from([0.0, -0.0]),
    st.floats(-80.0, -0.5) | st.sampled_from([-10.0, -8.0]),
    st.sampled_from([INF, -INF, NAN]),
)
nyquists = st.sampled_from([usual_nyquists, odd_nyquists]).flatmap(lambda s: s)

huge_splits = st.sampled_from(
    [1 << 20, 1 << 40, (1 << 60) - 1, (1 << 61) - 2, (1 << 61) - 1, 1 << 62, I64_MAX - 1, I64_MAX, I64_MIN, -(1 << 62)]
)
usual_splits = st.one_of(st.integers(1, 6), st.integers(-2, 12))
interval_splits = st.sampled_from([usual_splits] * 7 + [huge_splits]).flatmap(lambda s: s)

skips = st.one_of(
    st.integers(-1, 3),
    st.integers(-1, 45),
    st.sampled_from([100, I64_MAX, I64_MIN, 1 << 40]),
)


# ---------------------------------------------------------------- shapes


def shapes(largest=40):
    wide = st.integers(0, largest)
    return st.one_of(
        st.tuples(st.integers(0, 8), st.integers(0, 8)),
        st.tuples(st.integers(2, 12), st.integers(2, 12)),
        st.tuples(st.integers(2, 12), st.integers(2, 12)),
        st.tuples(st.just(1), wide),
        st.tuples(wide, st.just(1)),
        st.tuples(st.integers(9, largest), st.integers(9, largest)),
    )


# ---------------------------------------------------------------- gate values


def velocity_scale(nyquist):
    """A magnitude that float32 velocities can carry, tied to nyquist where it makes sense."""
    if not math.isfinite(nyquist) or nyquist == 0.0:
        return 10.0
    return min(abs(nyquist), 1e37)


def fold(true_vel, nyquist):
    """Fold true velocities into the Nyquist interval, as the radar measures them."""
    n = abs(nyquist)
    if not math.isfinite(n) or n == 0.0 or n > velocity_scale(nyquist):
        # Nothing a float32 field can hold lies outside such an interval.
        return true_vel
    return np.mod(true_vel + n, 2.0 * n) - n


def special_values(nyquist, splits):
    """Values on and next to the places where the intervals are cut."""
    out = [0.0, -0.0]
    if math.isfinite(nyquist):
        edges = [nyquist, -nyquist]
        if 0 < splits <= 12:
            edges += ref.linspace(-nyquist, nyquist, splits + 1)
        for x in edges:
            with np.errstate(all="ignore"):
                x32 = np.float32(x)
            if np.isfinite(x32):
                out += [float(x32), float(np.nextafter(x32, np.float32(INF))), float(np.nextafter(x32, np.float32(-INF)))]
    return out


def beyond_values(nyquist):
    s = velocity_scale(nyquist)
    return [1.25 * s, -1.25 * s, 3.0 * s, -2.5 * s, 1.0001 * s]


NONFINITE = [NAN, INF, -INF, F32_MAX, -F32_MAX]


@st.composite
def smooth_field(draw, rng, nrays, ngates, nyquist):
    """A wind field folded zero to three times, with optional noise."""
    s = velocity_scale(nyquist)
    times = draw(st.integers(0, 3))
    amplitude = s * (2 * times + 1) * draw(st.floats(0.3, 1.0))
    phase = draw(st.floats(0.0, 2.0 * math.pi))
    offset = s * draw(st.floats(-0.5, 0.5))
    noise = s * draw(st.sampled_from([0.0, 0.0, 0.02, 0.1, 0.3]))
    az = 2.0 * math.pi * np.arange(nrays) / max(nrays, 1)
    rng_gate = np.minimum(1.0, 2.0 * (np.arange(ngates) + 1.0) / max(ngates, 1))
    true = amplitude * np.cos(az[:, None] - phase) * rng_gate[None, :] + offset
    true = true + noise * rng.standard_normal((nrays, ngates))
    with np.errstate(all="ignore"):
        return fold(true, nyquist).astype(np.float32)


@st.composite
def speckle_field(draw, rng, nrays, ngates, nyquist):
    """Salt and pepper: every gate on its own, so many tiny regions."""
    s = velocity_scale(nyquist)
    if draw(st.booleans()):
        values = rng.uniform(-s, s, (nrays, ngates))
    else:
        values = rng.choice(np.array([-0.95, -0.5, 0.0, 0.5, 0.95]) * s, (nrays, ngates))
    with np.errstate(all="ignore"):
        return values.astype(np.float32)


@st.composite
def any_field(draw, rng, nrays, ngates, nyquist):
    field = draw(st.sampled_from([smooth_field, speckle_field]))
    return draw(field(rng, nrays, ngates, nyquist))


@st.composite
def sweep_cases(
    draw,
    field,
    shape=None,
    nyquist=usual_nyquists,
    splits=usual_splits,
    overlays=("cuts", "beyond"),
    mask_density=st.sampled_from([0.0, 0.0, 0.05, 0.2, 0.5]),
    skip=skips,
):
    nrays, ngates = draw(shape if shape is not None else shapes())
    nyq = draw(nyquist)
    n_splits = draw(splits)
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    vel = draw(field(rng, nrays, ngates, nyq))

    if overlays:
        families = draw(st.sets(st.sampled_from(overlays), max_size=len(overlays)))
        pool = []
        if "cuts" in families:
            pool += special_values(nyq, n_splits)
        if "beyond" in families:
            pool += beyond_values(nyq)
        if "nonfinite" in families:
            pool += NONFINITE
        density = draw(st.sampled_from([0.01, 0.05, 0.2, 0.5]))
        if pool:
            hit = rng.random((nrays, ngates)) < density
            with np.errstate(all="ignore"):
                vel[hit] = np.array(pool, np.float64)[rng.integers(0, len(pool), int(hit.sum()))].astype(np.float32)

    mask = rng.random((nrays, ngates)) < draw(mask_density)
    if draw(st.booleans()):
        # What lies under excluded gates must not matter.
        garbage = np.array([NAN, INF, -INF, 1e30, -1e30, 0.0], np.float32)
        vel[mask] = garbage[rng.integers(0, len(garbage), int(mask.sum()))]

    case = dict(
        vel=vel,
        mask=mask,
        nyquist=nyq,
        rays_wrap_around=draw(st.booleans()),
        interval_splits=n_splits,
        skip_between_rays=draw(skip),
        skip_along_ray=draw(skip),
        centered=draw(st.booleans()),
    )
    assume_affordable(case)
    return case


@st.composite
def tiny_cases(draw):
    """Grids up to 4 by 5 drawn gate by gate from a small alphabet of telling values."""
    nrays = draw(st.integers(1, 4))
    ngates = draw(st.integers(1, 5))
    nyq = draw(st.sampled_from([nice_nyquists] * 4 + [odd_nyquists]).flatmap(lambda s: s))
    n_splits = draw(st.sampled_from([st.integers(1, 5)] * 3 + [st.integers(-2, 12)]).flatmap(lambda s: s))
    s = velocity_scale(nyq)
    # Keyed by repr so that 0.0 and -0.0 both stay and the order is fixed.
    alphabet = sorted(
        {repr(v): v for v in special_values(nyq, n_splits) + [0.95 * s, -0.95 * s, 0.3 * s, -0.3 * s, 1.5 * s, NAN]}.items()
    )
    alphabet = [v for _, v in alphabet]
    n = nrays * ngates
    values = draw(st.lists(st.sampled_from(alphabet), min_size=n, max_size=n))
    masked = draw(st.lists(st.sampled_from([False, False, False, True]), min_size=n, max_size=n))
    with np.errstate(all="ignore"):
        vel = np.array(values, np.float64).astype(np.float32).reshape(nrays, ngates)
    case = dict(
        vel=vel,
        mask=np.array(masked, bool).reshape(nrays, ngates),
        nyquist=nyq,
        rays_wrap_around=draw(st.booleans()),
        interval_splits=n_splits,
        skip_between_rays=draw(st.integers(-1, 5)),
        skip_along_ray=draw(st.integers(-1, 6)),
        centered=draw(st.booleans()),
    )
    assume_affordable(case)
    return case


def assume_affordable(case):
    """Keep out sweeps that would take the reference too long.

    The reference labels every interval that holds a gate, one full pass over
    the sweep each; that bounds the gates times occupied intervals it is given.
    """
    vel = case["vel"]
    n = max(vel.size, 1)
    flat_vel = vel.astype(np.float64).ravel().tolist()
    flat_mask = case["mask"].ravel().tolist()
    count = ref.interval_plan(float(case["nyquist"]), case["interval_splits"], flat_vel, flat_mask)[3]
    if count <= 1 or ref.limits_overflow(count):
        return
    limits = ref.interval_limits(float(case["nyquist"]), case["interval_splits"], flat_vel, flat_mask)
    if isinstance(limits, ref.SpacedLimits):
        assume(len(ref.occupied_intervals(flat_vel, flat_mask, limits)) * n <= LABEL_BUDGET)
    else:
        assume(count * n <= LABEL_BUDGET)


# ---------------------------------------------------------------- the suites' cases

# Folded winds with light speckle at usual settings: nearly all reach the fold network.
folded_wind_cases = sweep_cases(smooth_field)

# Many tiny regions, so many boundaries, fusions and long merge runs.
speckle_cases = sweep_cases(speckle_field)

# NaN, infinities, values on every cut, excluded gates with anything under them.
special_value_cases = sweep_cases(
    any_field,
    nyquist=nyquists,
    overlays=("cuts", "beyond", "nonfinite"),
    mask_density=st.sampled_from([0.0, 0.1, 0.4, 0.8, 1.0]),
)

# Nyquist zero, negative, tiny, huge or not finite; splits from -2 up to the capacity limit.
odd_parameter_cases = sweep_cases(
    smooth_field,
    nyquist=odd_nyquists,
    splits=interval_splits,
    overlays=("cuts", "beyond", "nonfinite"),
)

# Splits that ask for 2^61 limits or more while every valid velocity is inside.
capacity_cases = sweep_cases(
    smooth_field,
    shape=st.tuples(st.integers(1, 6), st.integers(1, 6)),
    splits=st.sampled_from([(1 << 61) - 1, 1 << 61, 1 << 62, I64_MAX - 1]),
    overlays=(),
)


@st.composite
def giant_interval_cases(draw):
    """Velocities far larger than nyquist, with both extremes saturating the extension counts.

    The limits then span some 10^19 widths, every finite velocity shares one
    interval, gaps of excluded gates split it into regions, and the jumps across
    their edges amount to huge numbers of folds: float32 overflow of the edge
    statistics, saturated and wrapped shifts, wrapping fold sums.
    """
    nrays, ngates = draw(st.tuples(st.integers(1, 16), st.integers(1, 16)))
    nyq = draw(st.sampled_from([1e-3, 1e-8, 1e-20, 0.5, 3.0]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    # The limits reach about 10^18 nyquist: keep the field inside them.
    scale = nyq * draw(st.sampled_from([10.0, 1e4, 1e9, 1e12, 1e15]))
    vel = (rng.uniform(-scale, scale, (nrays, ngates))).astype(np.float32)
    extremes = draw(st.sampled_from([(F32_MAX, -F32_MAX), (INF, -INF), (INF, -F32_MAX)]))
    flat = vel.reshape(-1)
    spots = rng.choice(flat.size, size=min(2, flat.size), replace=False)
    flat[spots[0]] = extremes[0]
    flat[spots[-1]] = extremes[1]
    mask = rng.random((nrays, ngates)) < draw(st.sampled_from([0.2, 0.4, 0.6]))
    # The extreme gates must stay valid to saturate both counts.
    mask[vel == extremes[0]] = False
    mask[vel == extremes[1]] = False
    case = dict(
        vel=vel,
        mask=mask,
        nyquist=nyq,
        rays_wrap_around=draw(st.booleans()),
        interval_splits=draw(st.integers(3, 12)),
        skip_between_rays=draw(skips),
        skip_along_ray=draw(skips),
        centered=draw(st.booleans()),
    )
    assume_affordable(case)
    return case


@st.composite
def many_interval_cases(draw):
    """Thousands to 2^61 - 1 limits: many splits, or velocities far beyond a small nyquist."""
    nrays, ngates = draw(st.tuples(st.integers(1, 10), st.integers(1, 10)))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    how = draw(st.sampled_from(["splits", "huge splits", "small nyquist", "tiny nyquist"]))
    if how in ("splits", "huge splits"):
        nyq = draw(usual_nyquists)
        n_splits = draw(st.integers(13, 60_000) if how == "splits" else st.integers(1 << 20, (1 << 61) - 2))
        vel = draw(any_field(rng, nrays, ngates, nyq))
    else:
        choices = [0.001, 0.01, 0.05, 0.3] if how == "small nyquist" else [1e-9, 1e-15, 1e-30]
        nyq = draw(st.sampled_from(choices))
        n_splits = draw(st.integers(1, 12))
        vel = draw(any_field(rng, nrays, ngates, 10.0))
    # Some gates exactly on, or next to, values that are limits.
    if draw(st.booleans()):
        pool = special_values(nyq, min(n_splits, 12))
        hit = rng.random((nrays, ngates)) < 0.2
        vel[hit] = np.array(pool, np.float64)[rng.integers(0, len(pool), int(hit.sum()))].astype(np.float32)
    case = dict(
        vel=vel,
        mask=rng.random((nrays, ngates)) < draw(st.sampled_from([0.0, 0.1, 0.3])),
        nyquist=nyq,
        rays_wrap_around=draw(st.booleans()),
        interval_splits=n_splits,
        skip_between_rays=draw(skips),
        skip_along_ray=draw(skips),
        centered=draw(st.booleans()),
    )
    assume_affordable(case)
    return case
