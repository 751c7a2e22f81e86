"""Anchoring: whole folds added after the exact fold counts.

The region comparison fixes folds only relative to each other within one
sweep, and centring rounds the mean fold to zero. Two errors remain that no
single sweep can reveal: a whole sweep one fold off (one-sided echo, whose
true mean fold is not zero), and detached echo areas (bands separated by
echo-free gaps) on the wrong fold. Both are put right here by whole folds,
by agreement with a reference:

- a wind profile the user gives (u, v by height above the radar);
- the other sweeps of the same volume, carried sweep to sweep by elevation
  from the sweep trusted most (highest Nyquist velocity, least folding);
- a VAD fit of the sweep itself (whole-sweep shift only: the fitted mean
  radial velocity of every well-covered range ring should be near zero);
- after the volume, the wind profile that the VAD fits of all its sweeps
  make together (median u, v by height): echo a fold off in every sweep
  alike, which the sweeps cannot reveal to one another, is moved by it.
- last, for echo areas too small for any of these, the large echo of the
  same sweep right beside them (`_anchor_nearby`).

A shift is made only where the reference is strong: enough co-located gates,
and most of them asking for the same whole number of folds. Otherwise the
fold counts are kept as they are. Everything works on the valid gates only,
as flat vectors; a volume on blocks of 2 x 2 gates (bench/README.md,
Quality, has the figures and the cost). The work per gate (blocks, echo
components, co-located values, agreement, VAD ring sums, the nearby echo)
is done in compiled code, the extension `vornak._vornak_anchor`
(core/src/anchor_*.cpp).
"""

from __future__ import annotations

import itertools
import math
from dataclasses import dataclass

import numpy as np

from . import _anchor_nearby, names

from ._anchor_kernel import kernel as _kernel

#: Effective earth radius (4/3 model), m: heights and ground ranges of gates.
EFFECTIVE_EARTH_RADIUS = 4.0 / 3.0 * 6371000.0

#: Echo-free gates along a ray that still leave two echoes one component.
COMPONENT_GAP = 4

#: Fewest co-located gates for a reference to count, for a component and a sweep.
MIN_GATES = 20
#: Least share of a component's gates that must have a reference.
MIN_COVERED = 0.3
#: Least share of the co-located gates that must ask for the chosen shift.
MIN_AGREEMENT = 0.7

#: VAD: range rings used need echo in at least this many of 8 azimuth sectors
#: and this many gates; the sweep needs this many such rings.
VAD_SECTORS = 7
VAD_RING_GATES = 24
VAD_MIN_RINGS = 8
#: VAD: every this many gates a range ring is fitted. Neighbouring rings see
#: nearly the same wind, and the fit over all gates would cost as much as
#: dealiasing a sparse sweep.
VAD_RING_STEP = 4

#: The volume's own wind profile: range rings used need echo in this many of
#: 8 azimuth sectors (fewer than for the VAD shift: a ring's wind is fitted
#: well from less of the circle than its mean is), heights binned by
#: PROFILE_BIN m, and a component moves with this many co-located blocks.
PROFILE_SECTORS = 6
PROFILE_BIN = 250.0
PROFILE_MIN_GATES = 12

#: Volume anchoring works on blocks of 2 x 2 gates: a component moves with
#: this many co-located blocks (some 40 gates).
BLOCK_MIN_GATES = 10

#: Largest shift considered, in folds either way.
MAX_SHIFT = 4


@dataclass(frozen=True)
class Anchoring:
    """What anchored one sweep and by how much."""

    reference: str  # "profile", "sweeps at E1 and E2 deg", "vad" or "none"
    sweep_shift: int  # whole folds added to every gate
    components_shifted: int  # detached echo components moved beyond the sweep shift
    gates_changed: int  # gates whose fold count changed
    gates_compared: int  # gates that had a reference value (blocks of 2 x 2 gates by the volume; VAD: rings)
    nearby_components: int = 0  # small echo areas then moved to the large echo beside them
    nearby_gates: int = 0  # their gates

    def describe(self) -> str:
        nearby = (f", then {self.nearby_components} small echo areas ({self.nearby_gates} gates) moved to the "
                  "fold of the echo beside them" if self.nearby_components else "")
        return (
            f"anchored by {self.reference}: sweep shift {self.sweep_shift:+d} folds, "
            f"{self.components_shifted} echo components shifted{nearby}, {self.gates_changed} gates changed "
            f"({self.gates_compared} gates compared)"
        )


@dataclass
class SweepInput:
    """One sweep to anchor: its measured velocities and exact fold counts,
    with the geometry that places its gates."""

    velocity: np.ndarray  # (rays, gates) as measured
    folds: np.ndarray  # (rays, gates) int, from fold_counts
    excluded: np.ndarray  # (rays, gates) bool
    nyquist: float
    azimuth: np.ndarray  # (rays,) degrees
    elevation: float  # degrees
    ranges: np.ndarray  # (gates,) gate centre ranges, m
    rays_wrap_around: bool = True


# ---------------------------------------------------------------- geometry


def gate_height(ranges, elevation):
    """Height of gates above the radar (m), 4/3 earth model."""
    r = np.asarray(ranges, dtype=np.float64)
    a = EFFECTIVE_EARTH_RADIUS
    return np.sqrt(r * r + a * a + 2.0 * r * a * np.sin(np.radians(elevation))) - a


def ground_range(ranges, elevation, height=None):
    """Distance along the ground from the radar to below the gates (m);
    `height`: their gate_height, where known."""
    r = np.asarray(ranges, dtype=np.float64)
    a = EFFECTIVE_EARTH_RADIUS
    h = gate_height(r, elevation) if height is None else height
    return a * np.arcsin(np.clip(r * np.cos(np.radians(elevation)) / (a + h), -1.0, 1.0))


# ---------------------------------------------------------------- components


class _Gates:
    """The valid gates of one sweep as flat vectors, and a map from flat
    position to valid-gate number (-1 elsewhere) made when first needed."""

    def __init__(self, sweep: SweepInput, valid=None, values=None, shape=None):
        """`valid`: the rays and gates of the valid gates (ray-major), where
        known; `values`: with them, their flat positions, fold counts,
        dealiased velocities and the map by flat position, as the kernels
        gates and positions make them (the blocks' come with the blocks);
        `shape`: the sweep's, where known."""
        self.span = 2.0 * sweep.nyquist
        self._components = None
        if values is not None:
            self.shape = np.shape(sweep.excluded) if shape is None else shape
            self.ray, self.gate = valid
            self.flat, self.folds, self.dealiased, self._where = values
            return
        excluded, velocity, folds = _kernel_arrays(sweep)
        self.shape = excluded.shape
        if valid is None:
            self.ray, self.gate = _kernel.echo_cells(excluded)
        else:
            self.ray, self.gate = (np.ascontiguousarray(a, dtype=np.int64) for a in valid)
        self.flat, self.folds, self.dealiased = _kernel.gates(velocity, folds, self.span, self.ray, self.gate)
        self._where = None

    def components(self, wrap):
        """echo_components of these gates, labelled once: a component moved
        as a whole stays one unit for a later reference."""
        if self._components is None:
            self._components = echo_components(self, wrap)
        return self._components

    @property
    def where(self):
        """Valid-gate number by flat position, one -1 past the end."""
        if self._where is None:
            self._where = _kernel.positions(self.flat, self.shape[0] * self.shape[1])
        return self._where


_VELOCITY_TYPES = (np.dtype(np.float32), np.dtype(np.float64))
_FOLD_TYPES = (np.dtype(np.int32), np.dtype(np.int64))


def _kernel_arrays(sweep, folds=None):
    """The excluded gates, velocities and fold counts (`folds` where given,
    else the sweep's) of a sweep as the kernels read them: C-contiguous
    bool, float32 or float64, int32 or int64 (other types widened, as
    NumPy's arithmetic would)."""
    excluded = np.ascontiguousarray(sweep.excluded, dtype=bool)
    velocity = np.ascontiguousarray(sweep.velocity)
    if velocity.dtype not in _VELOCITY_TYPES:
        velocity = velocity.astype(np.float64)
    folds = np.ascontiguousarray(sweep.folds if folds is None else folds)
    if folds.dtype not in _FOLD_TYPES:
        folds = folds.astype(np.int64)
    return excluded, velocity, folds


def echo_components(gates, wrap, gap=COMPONENT_GAP):
    """Component number of each valid gate of `gates` (a _Gates) and the count.

    Two valid gates are joined when they neighbour each other (along a ray,
    with up to `gap` echo-free gates between; or at the same gate of
    neighbouring rays) and their dealiased velocities differ by no more than
    the Nyquist velocity. A component is thus an echo area the exact
    algorithm left continuous, cut off from the rest by gaps or fold jumps:
    the unit that whole folds move. Components are numbered in the order a
    ray-major scan meets their first gate.
    """
    return _kernel.components(gates.ray, gates.gate, gates.dealiased, gates.shape[0], gates.shape[1], wrap, gap,
                              0.5 * gates.span)


# ---------------------------------------------------------------- agreement


def _agree(gates, reference, wrap, min_gates=MIN_GATES):
    """Per valid gate, the whole folds that bring it to agree with the
    reference (NaN where there is none): a sweep shift, then per component
    (with at least `min_gates` co-located gates). A shift counts where most
    (MIN_AGREEMENT) of at least `min_gates` co-located gates ask for it, up
    to MAX_SHIFT folds; a component moves only where MIN_COVERED of its
    gates have a reference. Gates that ask for a move one by one, none
    beside another along the ray, are noise: the components are labelled
    only where enough come in pairs. Returns the shift per gate, the sweep
    shift, the components moved and the gates compared."""
    shift, sweep_shift, moved, compared = _kernel.agreement(
        reference, gates.dealiased, gates.span, min_gates, MIN_AGREEMENT, MAX_SHIFT, MIN_COVERED,
        lambda: gates.components(wrap))
    return shift, sweep_shift, moved, compared


# ---------------------------------------------------------------- references


def wind_profile(profile):
    """(height, u, v) as float64 arrays sorted by height, from a tuple of
    three arrays or a dataset with variables `u` and `v` along `height`
    (m above the radar; m/s towards east and north)."""
    if hasattr(profile, "variables"):
        missing = [n for n in (names.PROFILE_HEIGHT, names.PROFILE_U, names.PROFILE_V) if n not in profile.variables]
        if missing:
            raise ValueError(
                f"vornak: the wind profile dataset lacks {', '.join(missing)}: it needs variables "
                f"'{names.PROFILE_U}' and '{names.PROFILE_V}' (m/s) along '{names.PROFILE_HEIGHT}' (m above the radar)"
            )
        profile = tuple(profile[n].values for n in (names.PROFILE_HEIGHT, names.PROFILE_U, names.PROFILE_V))
    try:
        height, u, v = (np.asarray(a, dtype=np.float64).ravel() for a in profile)
    except (TypeError, ValueError):
        raise TypeError(
            "vornak: a wind profile is (height, u, v): three arrays of equal length in m and m/s, "
            "or a dataset with variables u and v along height"
        ) from None
    if not (height.size == u.size == v.size):
        raise ValueError(f"vornak: the wind profile's height, u and v differ in length ({height.size}, {u.size}, {v.size})")
    ok = np.isfinite(height) & np.isfinite(u) & np.isfinite(v)
    if ok.sum() < 2:
        raise ValueError("vornak: the wind profile needs at least two heights with finite u and v")
    order = np.argsort(height[ok], kind="stable")
    return height[ok][order], u[ok][order], v[ok][order]


def profile_reference(gates, sweep, profile, gate_heights=None, rays=None, cos_el=None):
    """Radial velocity the wind profile (height, u, v) gives at each valid
    gate; `gate_heights`: the gate_height of the sweep's ranges, `rays` its
    ray_sectors and `cos_el` the cosine of its elevation, where known."""
    height, u, v = profile
    if rays is None:
        az = np.radians(np.asarray(sweep.azimuth, dtype=np.float64))
        cos_az, sin_az = np.cos(az), np.sin(az)
    else:
        cos_az, sin_az = rays[1:3]
    if cos_el is None:
        cos_el = np.cos(np.radians(sweep.elevation))
    # the wind by gate along the ray, then by valid gate
    h = gate_height(sweep.ranges, sweep.elevation) if gate_heights is None else gate_heights
    east = np.interp(h, height, u, left=np.nan, right=np.nan) * cos_el
    north = np.interp(h, height, v, left=np.nan, right=np.nan) * cos_el
    return _kernel.along_rays(east, north, sin_az, cos_az, gates.ray, gates.gate)


def _wrapped(angle, period):
    """np.mod(angle, period), the same values in a new array; where every
    angle already lies in [0, period) (as azimuths mostly do) without the
    floating-point remainder, which costs some ten times an addition (the
    addition turns -0 into 0, as np.mod does)."""
    if angle.size and angle.min() >= 0.0 and angle.max() < period:
        return angle + 0.0
    return np.mod(angle, period)


def _ray_spacing(azimuth):
    """Median azimuth step between rays, from the azimuths in [0, 360) sorted."""
    return _kernel.median_gap(azimuth, 360.0) if azimuth.size > 1 else 360.0


def volume_geometry(sweeps):
    """gate_height, ground_range and the cosine of the elevation of every
    sweep (the same values), each element-wise step once for the volume:
    the sweeps' ranges end to end, each with its elevation's sine and
    cosine."""
    ranges = [np.asarray(s.ranges, dtype=np.float64) for s in sweeps]
    sizes = [r.size for r in ranges]
    el = [np.radians(s.elevation) for s in sweeps]
    sin_el, cos_el = np.repeat([np.sin(e) for e in el], sizes), [np.cos(e) for e in el]
    r = np.concatenate(ranges)
    a = EFFECTIVE_EARTH_RADIUS
    height = np.sqrt(r * r + a * a + 2.0 * r * a * sin_el) - a
    ground = a * np.arcsin(np.clip(r * np.repeat(cos_el, sizes) / (a + height), -1.0, 1.0))
    ends = list(itertools.accumulate(sizes))
    return [(height[end - size:end], ground[end - size:end], c) for size, end, c in zip(sizes, ends, cos_el)]


#: The value past a sweep's last valid gate, where a co-located gate has no echo.
_NO_ECHO = np.full(1, np.nan, dtype=np.float32)


class _Anchored:
    """A sweep as a reference for its neighbours: its dealiased velocities as
    they stand, its rays by azimuth and its gates by ground range."""

    def __init__(self, gates, sweep, geometry=None):
        """`geometry`: the sweep's gate_height, ground_range and cosine of
        its elevation, where known."""
        self.gates = gates
        self.current = np.concatenate((gates.dealiased, _NO_ECHO))  # [-1]: no echo
        self.ray_azimuth = az = _wrapped(np.asarray(sweep.azimuth, dtype=np.float64), 360.0)
        self.ray_order = np.argsort(az, kind="stable")
        self.azimuth = az[self.ray_order]
        self.spacing = _ray_spacing(self.azimuth)
        if geometry is None:
            height = gate_height(sweep.ranges, sweep.elevation)
            geometry = height, ground_range(sweep.ranges, sweep.elevation, height), np.cos(np.radians(sweep.elevation))
        self.height, self.ground, self.cos_el = geometry
        self.gate_step = _kernel.median_gap(self.ground, None) if self.ground.size > 1 else 1.0
        self.elevation = sweep.elevation

    def shift_by(self, shift, moves):
        """`moves`: the sweep shift or a component moved, without which
        `shift` is all zero (with it, where the moves cancel, the values
        come back as they were)."""
        if moves:
            self.current[:-1] = self.gates.dealiased + shift * self.gates.span


def volume_reference(own, others):
    """Radial velocity of the neighbouring sweeps (each an _Anchored) at each
    valid gate of `own` (an _Anchored), by azimuth and ground range, as the
    horizontal wind seen at its elevation. Where two neighbours both have a
    value they must agree within half a fold (their mean is taken); where
    they disagree there is no reference. Each gate takes the nearest ray of
    a neighbour by azimuth (within 3/4 of the larger ray spacing) and its
    nearest gate by ground range (within 3/4 of its gate spacing)."""
    neighbours = tuple((o.azimuth, o.ray_order, o.spacing, o.ground, o.gate_step, o.gates.shape[1], o.gates.where,
                        o.current, o.cos_el) for o in others)
    return _kernel.colocated(own.gates.ray, own.gates.gate, own.ray_azimuth, own.ground, own.spacing, own.cos_el,
                             0.5 * own.gates.span, neighbours)


def ray_sectors(sweep):
    """Per ray of the sweep: its azimuth sector (of 8), and the cosine and
    sine of its azimuth, as the ring kernels take them."""
    return _sectors(sweep.azimuth)


def _sectors(azimuth):
    """ray_sectors of rays at these azimuths (degrees)."""
    az = np.radians(np.asarray(azimuth, dtype=np.float64))
    sector = np.minimum((_wrapped(az, 2 * np.pi) / (np.pi / 4)).astype(np.int64), 7)
    return sector, np.cos(az), np.sin(az)


def volume_ray_sectors(sweeps):
    """ray_sectors of every sweep (the same values), each element-wise
    function called once for the volume; the arrays of each sweep are views
    of the volume's."""
    sizes = [np.shape(s.azimuth)[0] for s in sweeps]
    whole = _sectors(np.concatenate([np.asarray(s.azimuth, dtype=np.float64) for s in sweeps]))
    ends = list(itertools.accumulate(sizes))
    return [tuple(a[end - size:end] for a in whole) for size, end in zip(sizes, ends)], whole, sizes


def vad_shift(sweep, rays=None):
    """Whole-sweep shift that brings the mean radial velocity of the VAD fit
    of every well-covered range ring near zero; 0 where the rings are too few
    or do not agree. Also the number of rings used. `rays`: the sweep's
    ray_sectors, where known.

    The sums of the least-squares fit of v = a + b cos(az) + c sin(az) per
    range ring are taken by one kernel call from the cells of the rings
    alone, their terms in float32 (summed in double)."""
    span = np.float32(2.0 * sweep.nyquist)
    rings = (ray_sectors(sweep) if rays is None else rays) + (VAD_RING_STEP, VAD_RING_GATES, VAD_SECTORS)
    normal, rhs = _kernel.vad_sums(*_kernel_arrays(sweep), float(span), rings)
    if rhs.shape[0] < VAD_MIN_RINGS:
        return 0, int(rhs.shape[0])
    try:
        mean = np.linalg.solve(normal, rhs[..., None])[:, 0, 0]
    except np.linalg.LinAlgError:
        return 0, int(rhs.shape[0])
    wanted = np.rint(-mean / span).astype(np.int64)
    return _kernel.consensus(wanted, VAD_MIN_RINGS, MIN_AGREEMENT, MAX_SHIFT), int(rhs.shape[0])


def vad_winds(gates, sweeps, sectors=PROFILE_SECTORS, heights=None, rays=None):
    """Horizontal wind (height, u, v) of every VAD_RING_STEP-th range ring of
    each sweep (`gates`: a _Gates per sweep, `dealiased` as it stands),
    fitted as v = a + b cos(az) + c sin(az) where the ring has echo in
    `sectors` of 8 azimuth sectors and VAD_RING_GATES gates. A first fit,
    then a second one without the gates more than the Nyquist velocity off
    it, so that echo on another fold than the ring's bulk does not bend it.
    The rings of all sweeps are summed in one call and solved in one.
    `heights`: the gate_height of each sweep's ranges, `rays` their
    ray_sectors, where known."""
    rings = tuple(_rings(g, s, r) for g, s, r in zip(gates, sweeps, rays or [None] * len(sweeps)))
    first, fitted = _ring_fits(rings, sectors)
    coef, fitted = _ring_fits(tuple(r[:8] + (f,) for r, f in zip(rings, fitted)), sectors, first)
    winds = []
    end = 0
    for i, (sweep, good) in enumerate(zip(sweeps, fitted)):
        start, end = end, end + int(np.count_nonzero(good))
        if heights is None:
            ring_heights = gate_height(np.asarray(sweep.ranges, dtype=np.float64)[::VAD_RING_STEP][good], sweep.elevation)
        else:  # the same values: the height of each gate on its own
            ring_heights = heights[i][::VAD_RING_STEP][good]
        cos_el = np.cos(np.radians(sweep.elevation))
        winds.append((ring_heights, coef[start:end, 2] / cos_el, coef[start:end, 1] / cos_el))
    return winds


def _rings(gates, sweep, rays=None):
    """The range rings of one sweep as ring_sums takes them: its valid gates,
    the azimuth sector (of 8), cosine and sine of each ray (`rays`, its
    ray_sectors, where known), the ring count, the Nyquist velocity and no
    previous fit."""
    count = (gates.shape[1] + VAD_RING_STEP - 1) // VAD_RING_STEP
    return (gates.ray, gates.gate, gates.dealiased) + (ray_sectors(sweep) if rays is None else rays) + (
        count, sweep.nyquist, None)


def _ring_fits(rings, sectors, previous=None):
    """Least-squares v = a + b cos(az) + c sin(az) of the range rings of the
    sweeps (from _rings) with echo in `sectors` of 8 sectors and
    VAD_RING_GATES gates: the coefficients (3 per ring fitted, sweep after
    sweep) and which rings of each sweep are. With `previous` coefficients
    (and the rings they fitted in `rings`), only the gates within the
    Nyquist velocity of that fit count."""
    normal, rhs, fitted = _kernel.ring_sums(rings, VAD_RING_STEP, VAD_RING_GATES, sectors, previous)
    return np.linalg.solve(normal, rhs[..., None])[..., 0], fitted


def volume_profile(winds):
    """One wind profile (height, u, v) from the VAD rings of all sweeps: the
    median of each PROFILE_BIN of height; None with fewer than two bins."""
    if not winds:
        return None
    return _binned_median(*(np.concatenate(a) for a in zip(*winds)))


def _volume_winds(gates, sweeps, heights, rays, cos_el):
    """vad_winds of all sweeps end to end (height, u, v), as volume_profile
    joins them: `heights`, `rays` and `cos_el` (the cosine of each sweep's
    elevation) as known. Each wind component is divided once for the volume,
    by the cosines repeated per ring (the same quotients)."""
    rings = tuple(_rings(g, s, r) for g, s, r in zip(gates, sweeps, rays))
    first, fitted = _ring_fits(rings, PROFILE_SECTORS)
    coef, fitted = _ring_fits(tuple(r[:8] + (f,) for r, f in zip(rings, fitted)), PROFILE_SECTORS, first)
    h = np.concatenate([height[::VAD_RING_STEP][good] for height, good in zip(heights, fitted)])
    cos_rings = np.repeat(cos_el, [np.count_nonzero(good) for good in fitted])
    return h, coef[:, 2] / cos_rings, coef[:, 1] / cos_rings


def _binned_median(h, u, v):
    """volume_profile of the rings' winds (height, u, v) end to end."""
    bins = np.floor(h / PROFILE_BIN).astype(np.int64)
    keys, counts = np.unique(bins, return_counts=True)
    if keys.size < 2:
        return None
    starts = np.cumsum(counts) - counts
    low, high = starts + (counts - 1) // 2, starts + counts // 2

    def median(a):  # of each bin: its values sorted within the bins, the middle one or two
        a = a[np.lexsort((a, bins))]
        return 0.5 * (a[low] + a[high])

    return median(h), median(u), median(v)


# ---------------------------------------------------------------- drivers


def _result(sweep, gates, shift, reference, sweep_shift, moved, compared):
    changed = np.flatnonzero(shift)
    folds = np.array(sweep.folds, dtype=np.int32, copy=True)
    if changed.size:
        folds.ravel()[gates.flat[changed]] += shift[changed].astype(np.int32)
    return folds, Anchoring(reference, sweep_shift, moved, int(changed.size), compared)


def _whole_shift(sweep, k, reference, compared, own=False):
    """The sweep's folds shifted by `k` at its valid gates: a new int32 array,
    or, `own` and no shift, the sweep's own folds where they are one already."""
    mine = isinstance(sweep.folds, np.ndarray) and sweep.folds.dtype == np.int32 and sweep.folds.flags.c_contiguous
    if own and k == 0 and mine:
        return sweep.folds, Anchoring(reference, 0, 0, 0, compared)
    excluded, _, folds = _kernel_arrays(sweep)
    folds, changed = _kernel.shift_valid(excluded, folds, k)
    return folds, Anchoring(reference, k, 0, changed, compared)


def anchor_sweep(sweep: SweepInput, *, profile=None, vad=True, nearby=True, own=False):
    """Anchor one sweep on its own: to a wind profile (height, u, v) where
    given, else by its VAD fit; then (`nearby`) its small echo areas to the
    echo beside them. Returns the new fold counts and an Anchoring. `own`:
    the sweep's folds are the caller's, to be returned as they are where
    nothing changes them (never changed in place)."""
    rays = ray_sectors(sweep)
    folds, report = _anchor_alone(sweep, profile, vad, rays, own)
    if nearby:
        return _anchor_nearby.nearby_step(sweep, folds, report, own=folds is not sweep.folds, rays=rays)
    return folds, report


def _anchor_alone(sweep, profile, vad, rays=None, own=False):
    """anchor_sweep by its reference alone, without the nearby echo; `own`
    as there."""
    if profile is not None:
        profile = wind_profile(profile)
        gates = _Gates(sweep)
        reference = profile_reference(gates, sweep, profile)
        shift, k, moved, compared = _agree(gates, reference, sweep.rays_wrap_around)
        return _result(sweep, gates, shift, "profile", k, moved, compared)
    if vad:
        k, rings = vad_shift(sweep, rays)
        return _whole_shift(sweep, k, "vad", rings, own)
    return _whole_shift(sweep, 0, "none", 0, own)


def trust_order(sweeps, gates):
    """Index of the sweep to start from: highest Nyquist velocity, then the
    least share of gates the exact algorithm had to unfold."""

    def key(i):
        folded = np.count_nonzero(gates[i].folds) / max(gates[i].flat.size, 1)
        return (-sweeps[i].nyquist, folded)

    return min(range(len(sweeps)), key=key)


def _outward(by_elevation, start):
    """Sweep indices outward from `start`, alternately above and below."""
    pos = by_elevation.index(start)
    above, below = by_elevation[pos + 1:], by_elevation[:pos][::-1]
    order = []
    for k in range(max(len(above), len(below))):
        order += above[k:k + 1] + below[k:k + 1]
    return order


def anchor_volume(sweeps, *, profile=None, volume=True, vad=True, nearby=True):
    """Anchor the sweeps of one volume. References, in order of preference:
    `profile` (height above the radar in m, u, v in m/s), the other sweeps
    (`volume`), the sweep's own VAD fit (`vad`). Returns [(folds, Anchoring)]
    in the order of `sweeps`.

    With the volume as reference, the sweep trusted most is anchored by its
    VAD fit (or kept), then the others outward by elevation, each against
    its neighbours below and above as they stand (anchored or not): where
    both have a co-located gate they must agree within half a fold. With
    `vad` too, every sweep is then held against the wind profile that the
    VAD fits of all sweeps so anchored make together: echo that the sweeps
    agree on but that is a fold off in all of them (a band detached in
    each) moves where the volume's wind says. Last (`nearby`), the small
    echo areas of every sweep go to the echo beside them."""
    sweeps = list(sweeps)
    if not sweeps:
        return []
    if profile is not None:
        profile = wind_profile(profile)
    if profile is not None or not volume or len(sweeps) == 1:
        return [anchor_sweep(s, profile=profile, vad=vad, nearby=nearby) for s in sweeps]
    rays, volume_rays, ray_counts = volume_ray_sectors(sweeps)
    # A block's ray is the first of its two: the same sector and trigonometry.
    block_rays = _block_rays(volume_rays, ray_counts) if vad else None
    arrays = [_kernel_arrays(s) for s in sweeps]
    gates, shifts, reports = _carry([_block_gates(s, a) for s, a in zip(sweeps, arrays)], vad, block_rays)
    # The fold counts of all sweeps in one buffer: one allocation a volume,
    # which the allocator keeps for the next volume rather than handing a
    # dozen back to the system and faulting their pages in again (each
    # sweep's array is a view of it).
    sizes = [math.prod(np.shape(s.excluded)) for s in sweeps]
    whole = np.empty(sum(sizes), dtype=np.int32)
    ends = list(itertools.accumulate(sizes))
    out = [whole[end - size:end].reshape(np.shape(s.excluded)) for s, size, end in zip(sweeps, sizes, ends)]
    done = []
    for s, g, shift, report, o, r, a in zip(sweeps, gates, shifts, reports, out, rays, arrays):
        result = _unblock(a, g, shift, report, o)
        # The nearby echo step right after: it reads the fold counts just
        # written, while they are still in the cache.
        done.append(_anchor_nearby.nearby_step(s, *result, own=True, rays=r, arrays=a[:2]) if nearby else result)
    return done


def _block_rays(whole, sizes):
    """The ray_sectors of each sweep's blocks (every second ray), from those
    of the volume (`whole`) and the ray count of each sweep: one gather of
    each array for the volume."""
    take = np.concatenate([np.arange(end - size, end, 2) for size, end in zip(sizes, itertools.accumulate(sizes))])
    picked = tuple(a[take] for a in whole)
    counts = [(size + 1) // 2 for size in sizes]
    ends = list(itertools.accumulate(counts))
    return [tuple(a[end - count:end] for a in picked) for count, end in zip(counts, ends)]


def _blocks(sweep, arrays=None):
    """The sweep on blocks of 2 rays x 2 gates: a block has echo where any of
    its gates has, with the velocity and fold count of the first such gate
    (along the ray, then the next ray). Volume anchoring works on these: a
    quarter of the gates to look up and label, and areas whose wind a few
    gates of noise no longer split."""
    vel, fold, empty, block_ray, block_gate, reach = _kernel.blocks(*(arrays or _kernel_arrays(sweep)))
    return _block_sweep(sweep, vel, fold, empty, reach), (block_ray, block_gate)


def _block_gates(sweep, arrays):
    """_blocks of the sweep (its _kernel_arrays) and a _Gates of its blocks,
    in one kernel call. The blocks' grids are made only where asked for (the
    VAD shift of the sweep a volume starts from, or of one its neighbours
    cannot anchor): the gate vectors are all the others need, and the grids
    would be a pass of their own over every block."""
    block_ray, block_gate, reach, values = _kernel.blocks(*arrays, 2.0 * sweep.nyquist)
    blocks = _LazyBlocks(sweep, arrays, reach)
    return blocks, _Gates(blocks, (block_ray, block_gate), values, blocks.shape)


class _LazyBlocks(SweepInput):
    """The SweepInput of a sweep's blocks (as _blocks makes it) whose
    velocity, folds and excluded grids are made when first read."""

    def __init__(self, sweep, arrays, reach):
        self._arrays = arrays
        self._grids = None
        self.shape = ((np.shape(sweep.excluded)[0] + 1) // 2, (reach + 1) // 2)
        self.nyquist, self.elevation, self.rays_wrap_around = sweep.nyquist, sweep.elevation, sweep.rays_wrap_around
        self.azimuth, self.ranges = _block_geometry(sweep, reach)

    def _grid(self, k):
        if self._grids is None:
            self._grids = _kernel.blocks(*self._arrays)[:3]
        return self._grids[k]

    velocity = property(lambda self: self._grid(0))
    folds = property(lambda self: self._grid(1))
    excluded = property(lambda self: self._grid(2))


def _block_sweep(sweep, vel, fold, empty, reach):
    """The SweepInput of the blocks the kernel made of `sweep`."""
    azimuth, ranges = _block_geometry(sweep, reach)
    return SweepInput(vel, fold, empty, sweep.nyquist, azimuth, sweep.elevation, ranges, sweep.rays_wrap_around)


def _block_geometry(sweep, reach):
    """The azimuths and ranges of a sweep's blocks: every second ray's and
    gate's, up to the echo's `reach`."""
    return np.asarray(sweep.azimuth)[::2], np.asarray(sweep.ranges)[:reach:2]


def _unblock(arrays, gates, shift, report, out):
    """Fold counts of the sweep (its _kernel_arrays) into `out` (int32),
    with the shift of each valid block (`gates`, a _Gates of the blocks)
    added to the gates with echo in it."""
    excluded, _, folds = arrays
    changed = _kernel.unblock(excluded, folds, gates.ray, gates.gate, shift, out)
    label, k, moved, compared = report
    return out, Anchoring(label, k, moved, changed, compared)


def _carry(blocks, vad, rays=None):
    """The valid gates (a _Gates), the shift of each and a report, of every
    sweep (from _block_gates): carried from the one trusted most, then (with
    `vad`) against the volume's own wind profile. `rays`: the ray_sectors
    of each, where known."""
    rays = rays or [None] * len(blocks)
    sweeps = [s for s, _ in blocks]
    gates = [g for _, g in blocks]
    state = [_Anchored(g, s, geo) for g, s, geo in zip(gates, sweeps, volume_geometry(sweeps))]
    shifts = [np.zeros(g.flat.size, dtype=np.int64) for g in gates]
    reports = [None] * len(sweeps)  # (reference, sweep shift, components moved, gates compared)
    start = trust_order(sweeps, gates)
    by_elevation = sorted(range(len(sweeps)), key=lambda i: sweeps[i].elevation)
    for i in [start] + _outward(by_elevation, start):
        s, g = sweeps[i], gates[i]
        at = by_elevation.index(i)
        near = [state[by_elevation[j]] for j in (at - 1, at + 1) if 0 <= j < len(by_elevation)]
        compared = 0
        if i != start:
            reference = volume_reference(state[i], near)
            shift, k, moved, compared = _agree(g, reference, s.rays_wrap_around, BLOCK_MIN_GATES)
            label = "sweeps at " + " and ".join(f"{o.elevation:.2f}" for o in near) + " deg"
        if i == start or (compared < BLOCK_MIN_GATES and vad):
            k, compared = vad_shift(s, rays[i]) if vad else (0, 0)
            shift, moved, label = np.full(g.flat.size, k, dtype=np.int64), 0, "vad" if vad else "none"
        shifts[i] = shift
        reports[i] = [label, k, moved, compared]
        state[i].shift_by(shift, k or moved)
    if vad:
        _own_profile(sweeps, gates, state, shifts, reports, rays)
    return gates, shifts, reports


class _Current:
    """A _Gates with its dealiased velocities as the sweep now stands: its
    components as labelled so far, else labelled anew from these."""

    def __init__(self, gates, dealiased):
        self.ray, self.gate, self.shape, self.span = gates.ray, gates.gate, gates.shape, gates.span
        self.dealiased = dealiased
        self._components = gates._components

    def components(self, wrap):
        if self._components is None:
            self._components = echo_components(self, wrap)
        return self._components


def _own_profile(sweeps, gates, state, shifts, reports, rays):
    """Every sweep as it stands against the wind profile of the VAD fits of
    all sweeps; updates `shifts` and `reports` in place."""
    current = [_Current(g, st.current[:-1]) for g, st in zip(gates, state)]
    profile = _binned_median(*_volume_winds(current, sweeps, [st.height for st in state], rays,
                                            [st.cos_el for st in state]))
    if profile is None:
        return
    for i, (s, g) in enumerate(zip(sweeps, current)):
        reference = profile_reference(g, s, profile, state[i].height, rays[i], state[i].cos_el)
        shift, k, moved, _ = _agree(g, reference, s.rays_wrap_around, PROFILE_MIN_GATES)
        if moved or k:
            shifts[i] += shift
            reports[i][0] += ", then the volume's wind profile"
            reports[i][1] += k
            reports[i][2] += moved
