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
Quality, has the figures and the cost).
"""

from __future__ import annotations

import copy
from dataclasses import dataclass

import numpy as np

from . import _anchor_nearby, names

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


def ground_range(ranges, elevation):
    """Distance along the ground from the radar to below the gates (m)."""
    r = np.asarray(ranges, dtype=np.float64)
    a = EFFECTIVE_EARTH_RADIUS
    h = gate_height(r, elevation)
    return a * np.arcsin(np.clip(r * np.cos(np.radians(elevation)) / (a + h), -1.0, 1.0))


# ---------------------------------------------------------------- components


class _Gates:
    """The valid gates of one sweep as flat vectors, and a map from flat
    position to valid-gate number (-1 elsewhere) made when first needed."""

    def __init__(self, sweep: SweepInput, valid=None):
        """`valid`: the rays and gates of the valid gates, where known."""
        rays, ngates = sweep.excluded.shape
        self.shape = (rays, ngates)
        self.ray, self.gate = np.nonzero(~np.asarray(sweep.excluded)) if valid is None else valid
        self.flat = self.ray * ngates + self.gate
        self.folds = np.asarray(sweep.folds).ravel()[self.flat]
        self.span = 2.0 * sweep.nyquist
        vel = np.asarray(sweep.velocity).ravel()[self.flat]
        self.dealiased = (vel + self.folds * self.span).astype(np.float32)
        self._where = None
        self._components = None

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
            self._where = np.full(self.shape[0] * self.shape[1] + 1, -1, dtype=np.int32)
            self._where[self.flat] = np.arange(self.flat.size, dtype=np.int32)
        return self._where


def echo_components(gates, wrap, gap=COMPONENT_GAP):
    """Component number of each valid gate of `gates` (a _Gates) and the count.

    Two valid gates are joined when they neighbour each other (along a ray,
    with up to `gap` echo-free gates between; or at the same gate of
    neighbouring rays) and their dealiased velocities differ by no more than
    the Nyquist velocity. A component is thus an echo area the exact
    algorithm left continuous, cut off from the rest by gaps or fold jumps:
    the unit that whole folds move.
    """
    ray, gate, v = gates.ray, gates.gate, gates.dealiased
    if ray.size == 0:
        return np.zeros(0, dtype=np.int64), 0
    rays, ngates = gates.shape
    limit = 0.5 * gates.span
    starts = np.empty(ray.size, dtype=bool)
    starts[0] = True
    starts[1:] = (ray[1:] != ray[:-1]) | (np.diff(gate) > gap + 1) | (np.abs(np.diff(v)) > limit)
    run_of_gate = np.cumsum(starts) - 1
    # Across rays: the same gate of the next ray (past the last ray, the
    # first when rays wrap around, else the -1 after the map's end).
    below = gates.flat + ngates
    if wrap:  # past the last ray: the first (a subtraction; integer division is slow)
        np.subtract(below, rays * ngates, out=below, where=below >= rays * ngates)
    else:
        np.minimum(below, rays * ngates, out=below)
    other = gates.where.take(below)
    has = other >= 0
    mine = np.flatnonzero(has)
    other = other[has]
    close = np.abs(v[mine] - v[other]) <= limit
    a, b = run_of_gate[mine[close]], run_of_gate[other[close]]
    # Two runs side by side give one edge per gate pair, consecutive here:
    # one of each suffices.
    keep = a != b
    keep[1:] &= (a[1:] != a[:-1]) | (b[1:] != b[:-1])
    labels = _connected(int(run_of_gate[-1]) + 1, a[keep], b[keep])
    # Components numbered by their smallest run, as a sort of the labels
    # would: each label is that run, the one run labelled by itself.
    roots = labels == np.arange(labels.size)
    number = np.cumsum(roots) - 1
    return number[labels[run_of_gate]], int(number[-1]) + 1


def _connected(n, a, b):
    """Smallest member of the connected set of each node, edges (a, b)."""
    labels = np.arange(n)
    while a.size:
        la, lb = labels[a], labels[b]
        apart = la != lb
        if not apart.any():
            break
        a, b, la, lb = a[apart], b[apart], la[apart], lb[apart]
        np.minimum.at(labels, np.maximum(la, lb), np.minimum(la, lb))
        while True:  # point every node at its root
            jumped = labels[labels]
            if np.array_equal(jumped, labels):
                break
            labels = jumped
    return labels


# ---------------------------------------------------------------- agreement


def _consensus(wanted, group, groups, min_gates, min_agreement):
    """Whole-fold shift per group that most co-located gates ask for, 0 where
    too few gates have a reference or they disagree. Also the gate counts.
    `group` None: all in one."""
    k = np.clip(wanted, -MAX_SHIFT, MAX_SHIFT) + MAX_SHIFT
    width = 2 * MAX_SHIFT + 1
    counts = np.bincount(k if group is None else group * width + k, minlength=groups * width).reshape(groups, width)
    compared = counts.sum(axis=1)
    best = counts.argmax(axis=1)
    top = counts[np.arange(groups), best]
    strong = (compared >= min_gates) & (top >= min_agreement * compared)
    return np.where(strong, best - MAX_SHIFT, 0), compared


def _agree(gates, reference, wrap, min_gates=MIN_GATES):
    """Per valid gate, the whole folds that bring it to agree with the
    reference (NaN where there is none): a sweep shift, then per component
    (with at least `min_gates` co-located gates)."""
    has = np.flatnonzero(np.isfinite(reference))
    compared = int(has.size)
    if compared == 0:
        return np.zeros(gates.flat.size, dtype=np.int64), 0, 0, 0
    wanted = np.rint((reference[has] - gates.dealiased[has]) / gates.span).astype(np.int64)
    sweep_shift, _ = _consensus(wanted, None, 1, min_gates, MIN_AGREEMENT)
    sweep_shift = int(sweep_shift[0])
    shift = np.full(gates.flat.size, sweep_shift, dtype=np.int64)
    moved = 0
    # A component moves only when most of at least min_gates of its gates ask
    # for it. Gates that ask for a move one by one, none beside another along
    # the ray, are noise: labelling is skipped unless enough come in pairs.
    differ = np.flatnonzero(wanted != sweep_shift)
    paired = np.count_nonzero(np.diff(has[differ]) == 1)
    if paired >= MIN_AGREEMENT * min_gates:
        comp, ncomp = gates.components(wrap)
        own, compared_per = _consensus(wanted - sweep_shift, comp[has], ncomp, min_gates, MIN_AGREEMENT)
        size = np.bincount(comp, minlength=ncomp)
        own = np.where(compared_per >= MIN_COVERED * size, own, 0)
        moved = int(np.count_nonzero(own))
        if moved:
            shift += own[comp]
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


def profile_reference(gates, sweep, profile):
    """Radial velocity the wind profile (height, u, v) gives at each valid gate."""
    height, u, v = profile
    az = np.radians(np.asarray(sweep.azimuth, dtype=np.float64))
    el = np.radians(sweep.elevation)
    h = gate_height(sweep.ranges, sweep.elevation)  # the wind by gate along the ray, then by valid gate
    east = np.interp(h, height, u, left=np.nan, right=np.nan) * np.cos(el)
    north = np.interp(h, height, v, left=np.nan, right=np.nan) * np.cos(el)
    return east[gates.gate] * np.sin(az)[gates.ray] + north[gates.gate] * np.cos(az)[gates.ray]


def _nearest_sorted(values, targets, tolerance, period=None):
    """Index into `values` (sorted) nearest each target, -1 beyond `tolerance`."""
    if values.size == 0:
        return np.full(targets.shape, -1)
    if period is not None:
        values = np.concatenate([values[-1:] - period, values, values[:1] + period])
    pos = np.clip(np.searchsorted(values, targets), 1, values.size - 1)
    left = values[pos - 1]
    right = values[pos]
    take = np.where(targets - left <= right - targets, pos - 1, pos)
    dist = np.abs(values[take] - targets)
    if period is not None:
        take = (take - 1) % (values.size - 2)
    return np.where(dist <= tolerance, take, -1)


def _ray_spacing(azimuth):
    az = np.sort(np.mod(azimuth, 360.0))
    gaps = np.diff(np.concatenate([az, az[:1] + 360.0]))
    return float(np.median(gaps)) if az.size > 1 else 360.0


class _Anchored:
    """A sweep as a reference for its neighbours: its dealiased velocities as
    they stand, its rays by azimuth and its gates by ground range."""

    def __init__(self, gates, sweep):
        self.gates = gates
        self.current = np.append(gates.dealiased, np.float32(np.nan))  # [-1]: no echo
        self.ray_azimuth = az = np.mod(np.asarray(sweep.azimuth, dtype=np.float64), 360.0)
        self.ray_order = np.argsort(az, kind="stable")
        self.azimuth = az[self.ray_order]
        self.spacing = _ray_spacing(az)
        self.ground = ground_range(sweep.ranges, sweep.elevation)
        self.gate_step = float(np.median(np.diff(self.ground))) if self.ground.size > 1 else 1.0
        self.cos_el = np.cos(np.radians(sweep.elevation))
        self.elevation = sweep.elevation

    def shift_by(self, shift):
        if np.any(shift):
            self.current[:-1] = self.gates.dealiased + shift * self.gates.span


def volume_reference(own, others):
    """Radial velocity of the neighbouring sweeps (each an _Anchored) at each
    valid gate of `own` (an _Anchored), by azimuth and ground range, as the
    horizontal wind seen at its elevation. Where two neighbours both have a
    value they must agree within half a fold (their mean is taken); where
    they disagree there is no reference."""
    gates, az, ground, cos_el, spacing = own.gates, own.ray_azimuth, own.ground, own.cos_el, own.spacing
    values = []
    for other in others:
        ray_at = _nearest_sorted(other.azimuth, az, 0.75 * max(other.spacing, spacing), period=360.0)
        ray_at = np.where(ray_at >= 0, other.ray_order[np.maximum(ray_at, 0)], -1)
        gate_at = _nearest_sorted(other.ground, ground, 0.75 * max(other.gate_step, 1.0))
        # Flat position in the other sweep of each ray and gate of this one;
        # past its end (where `where` holds -1) when there is none. The
        # other's valid-gate number -1 then picks the NaN after its values.
        end = other.gates.where.size - 1
        ray_base = np.where(ray_at >= 0, ray_at * other.gates.shape[1], end)
        gate_base = np.where(gate_at >= 0, gate_at, end)
        pos = np.minimum(ray_base[gates.ray] + gate_base[gates.gate], end)
        value = other.current.take(other.gates.where.take(pos))
        value *= np.float32(cos_el / other.cos_el)
        values.append(value)
    if len(values) == 1:
        return values[0]
    a, b = values
    reference = np.where(np.isnan(a), b, a)
    both = np.flatnonzero(~np.isnan(b))
    both = both[~np.isnan(a[both])]
    a, b = a[both], b[both]
    reference[both] = np.where(np.abs(a - b) <= 0.5 * gates.span, 0.5 * (a + b), np.nan)
    return reference


def vad_shift(sweep):
    """Whole-sweep shift that brings the mean radial velocity of the VAD fit
    of every well-covered range ring near zero; 0 where the rings are too few
    or do not agree. Also the number of rings used.

    The sums of the least-squares fit of v = a + b cos(az) + c sin(az) per
    range ring are two weighted sums over the rays, on dense arrays."""
    rings_only = (slice(None), slice(None, None, VAD_RING_STEP))
    excluded = np.asarray(sweep.excluded, dtype=bool)[rings_only]
    span = np.float32(2.0 * sweep.nyquist)
    present = (~excluded).astype(np.float32)
    with np.errstate(invalid="ignore"):
        v = (np.asarray(sweep.velocity)[rings_only].astype(np.float32)
             + np.asarray(sweep.folds)[rings_only].astype(np.float32) * span)
    v[excluded] = 0.0
    az = np.radians(np.asarray(sweep.azimuth, dtype=np.float64))
    c, s = np.cos(az), np.sin(az)
    sector = np.minimum((np.mod(az, 2 * np.pi) / (np.pi / 4)).astype(np.int64), 7)
    weights = np.vstack([np.ones_like(c), c, s, c * c, s * s, c * s, np.eye(8)[sector].T]).astype(np.float32)
    # einsum, not a matrix product: BLAS would wake its threads for this.
    sums = np.einsum("kr,rg->kg", weights, present)  # (14, gates)
    rhs = np.einsum("kr,rg->gk", weights[:3], v).astype(np.float64)  # (gates, 3)
    n, sc, ss, scc, sss, scs = sums[:6].astype(np.float64)
    rings = np.flatnonzero(((sums[6:] > 0).sum(axis=0) >= VAD_SECTORS) & (n >= VAD_RING_GATES))
    if rings.size < VAD_MIN_RINGS:
        return 0, int(rings.size)
    normal = np.stack([
        np.stack([n, sc, ss], -1),
        np.stack([sc, scc, scs], -1),
        np.stack([ss, scs, sss], -1),
    ], -2)[rings]
    try:
        mean = np.linalg.solve(normal, rhs[rings][..., None])[:, 0, 0]
    except np.linalg.LinAlgError:
        return 0, int(rings.size)
    wanted = np.rint(-mean / span).astype(np.int64)
    shift, _ = _consensus(wanted, None, 1, VAD_MIN_RINGS, MIN_AGREEMENT)
    return int(shift[0]), int(rings.size)


def vad_winds(gates, sweep, sectors=PROFILE_SECTORS):
    """Horizontal wind (height, u, v) of every VAD_RING_STEP-th range ring of
    a sweep as it stands (`gates.dealiased`), fitted as v = a + b cos(az) +
    c sin(az) where the ring has echo in `sectors` of 8 azimuth sectors and
    VAD_RING_GATES gates. A first fit, then a second one without the gates
    more than the Nyquist velocity off it, so that echo on another fold than
    the ring's bulk does not bend it."""
    # Ring of each gate position by table: integer division of every gate is slow.
    position = np.arange(gates.shape[1])
    on = np.flatnonzero((position % VAD_RING_STEP == 0)[gates.gate])
    ring = (position // VAD_RING_STEP)[gates.gate[on]]
    nrings = (gates.shape[1] + VAD_RING_STEP - 1) // VAD_RING_STEP
    az = np.radians(np.asarray(sweep.azimuth, dtype=np.float64))
    sector = np.minimum((np.mod(az, 2 * np.pi) / (np.pi / 4)).astype(np.int64), 7)[gates.ray[on]]
    c, s = np.cos(az)[gates.ray[on]], np.sin(az)[gates.ray[on]]
    v = gates.dealiased[on].astype(np.float64)
    coef, good = _ring_fits(ring, nrings, sector, c, s, v, sectors)
    keep = np.abs(v - (coef[ring, 0] + coef[ring, 1] * c + coef[ring, 2] * s)) <= sweep.nyquist
    coef, good = _ring_fits(ring[keep], nrings, sector[keep], c[keep], s[keep], v[keep], sectors)
    ranges = np.asarray(sweep.ranges, dtype=np.float64)[::VAD_RING_STEP][good]
    cos_el = np.cos(np.radians(sweep.elevation))
    return gate_height(ranges, sweep.elevation), coef[good, 2] / cos_el, coef[good, 1] / cos_el


def _ring_fits(ring, nrings, sector, c, s, v, sectors):
    """Least-squares v = a + b cos(az) + c sin(az) of each of `nrings` range
    rings from its gates (ring number, azimuth sector, cosine and sine of the
    azimuth, velocity): the coefficients (nrings, 3), and which rings have
    echo in `sectors` of 8 sectors and VAD_RING_GATES gates."""
    n, sc, ss, scc, sss, scs, sv, svc, svs = (np.bincount(ring, weights=w, minlength=nrings) for w in (
        None, c, s, c * c, s * s, c * s, v, v * c, v * s))
    seen = np.bincount(ring * 8 + sector, minlength=nrings * 8).reshape(nrings, 8)
    good = (np.count_nonzero(seen, axis=1) >= sectors) & (n >= VAD_RING_GATES)
    normal = np.stack([np.stack([n, sc, ss], -1), np.stack([sc, scc, scs], -1), np.stack([ss, scs, sss], -1)], -2)
    normal[~good] = np.eye(3)
    return np.linalg.solve(normal, np.stack([sv, svc, svs], -1)[..., None])[..., 0], good


def volume_profile(winds):
    """One wind profile (height, u, v) from the VAD rings of all sweeps: the
    median of each PROFILE_BIN of height; None with fewer than two bins."""
    if not winds:
        return None
    h, u, v = (np.concatenate(a) for a in zip(*winds))
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


def _whole_shift(sweep, k, reference, compared):
    folds = np.array(sweep.folds, dtype=np.int32, copy=True)
    changed = 0
    if k:
        valid = ~np.asarray(sweep.excluded, dtype=bool)
        np.add(folds, np.int32(k), out=folds, where=valid)
        changed = int(np.count_nonzero(valid))
    return folds, Anchoring(reference, k, 0, changed, compared)


def anchor_sweep(sweep: SweepInput, *, profile=None, vad=True, nearby=True):
    """Anchor one sweep on its own: to a wind profile (height, u, v) where
    given, else by its VAD fit; then (`nearby`) its small echo areas to the
    echo beside them. Returns the new fold counts and an Anchoring."""
    folds, report = _anchor_alone(sweep, profile, vad)
    if nearby:
        return _anchor_nearby.nearby_step(sweep, folds, report)
    return folds, report


def _anchor_alone(sweep, profile, vad):
    """anchor_sweep by its reference alone, without the nearby echo."""
    if profile is not None:
        profile = wind_profile(profile)
        gates = _Gates(sweep)
        reference = profile_reference(gates, sweep, profile)
        shift, k, moved, compared = _agree(gates, reference, sweep.rays_wrap_around)
        return _result(sweep, gates, shift, "profile", k, moved, compared)
    if vad:
        k, rings = vad_shift(sweep)
        return _whole_shift(sweep, k, "vad", rings)
    return _whole_shift(sweep, 0, "none", 0)


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
    gates, shifts, reports = _carry([_blocks(s) for s in sweeps], vad)
    done = [_unblock(s, g, shift, report) for s, g, shift, report in zip(sweeps, gates, shifts, reports)]
    if nearby:
        done = [_anchor_nearby.nearby_step(s, *result) for s, result in zip(sweeps, done)]
    return done


def _blocks(sweep):
    """The sweep on blocks of 2 rays x 2 gates: a block has echo where any of
    its gates has, with the velocity and fold count of the first such gate
    (along the ray, then the next ray). Volume anchoring works on these: a
    quarter of the gates to look up and label, and areas whose wind a few
    gates of noise no longer split."""
    excluded = np.asarray(sweep.excluded, dtype=bool)
    # Gates beyond the farthest echo are left out: often half the sweep.
    with_echo = np.flatnonzero(~excluded.all(axis=0))
    reach = int(with_echo[-1]) + 1 if with_echo.size else 1
    rays, ngates = (n // 2 + n % 2 for n in (excluded.shape[0], reach))
    block, (block_ray, block_gate), (next_ray, next_gate) = _first_echo(excluded[:, :reach], rays, ngates)
    ray, gate = 2 * block_ray + next_ray, 2 * block_gate + next_gate
    vel = np.zeros((rays, ngates), dtype=np.float32)
    fold = np.zeros((rays, ngates), dtype=np.int32)
    vel.ravel()[block] = _at(sweep.velocity, ray, gate)
    fold.ravel()[block] = _at(sweep.folds, ray, gate)
    empty = np.ones((rays, ngates), dtype=bool)
    empty.ravel()[block] = False
    blocks = SweepInput(vel, fold, empty, sweep.nyquist, np.asarray(sweep.azimuth)[::2], sweep.elevation,
                        np.asarray(sweep.ranges)[:reach:2], sweep.rays_wrap_around)
    return blocks, (block_ray, block_gate)


def _first_echo(excluded, rays, ngates):
    """The blocks with echo: flat numbers (in order), block rays and gates,
    and whether the first gate with echo in each is on its second ray and
    at its second gate. The four gates of a block are the four bytes of one
    word, in the order of preference, (0, 0) lowest: a few passes over whole
    words, and the first choice is the lowest byte set."""
    padded = np.ones((rays, 2, 2 * ngates), dtype=bool)  # odd edges: a ray or gate without echo
    padded.reshape(2 * rays, 2 * ngates)[:excluded.shape[0], :excluded.shape[1]] = excluded
    pairs = padded.view("<u2")  # (rays, 2, ngates): the two gates of a block on one ray
    word = pairs[:, 1].astype("<u4")
    word <<= 16
    word |= pairs[:, 0]
    word ^= 0x01010101  # excluded -> echo
    word = word.ravel()
    block = np.flatnonzero(word)
    word = word[block]
    low = word & (~word + np.uint32(1))  # the lowest bit set: in the byte of the first choice
    return block, np.divmod(block, ngates), (low > 0xFFFF, (low & 0xFF00FF00) != 0)


def _at(a, ray, gate):
    """a[ray, gate], by one take where `a` is contiguous."""
    a = np.asarray(a)
    return a.ravel().take(ray * a.shape[1] + gate) if a.flags.c_contiguous else a[ray, gate]


def _unblock(sweep, gates, shift, report):
    """Fold counts of the sweep with the shift of each valid block (`gates`,
    a _Gates of the blocks) added to the gates with echo in it."""
    folds = np.array(sweep.folds, dtype=np.int32, copy=True)
    shifted = np.flatnonzero(shift)
    changed = 0
    if shifted.size:  # (in most sweeps nothing moved)
        excluded = np.asarray(sweep.excluded, dtype=bool)
        for dr, dg in ((0, 0), (0, 1), (1, 0), (1, 1)):  # the gates of the shifted blocks
            ray, gate = 2 * gates.ray[shifted] + dr, 2 * gates.gate[shifted] + dg
            inside = np.flatnonzero((ray < folds.shape[0]) & (gate < folds.shape[1]))
            ray, gate, by = ray[inside], gate[inside], shift[shifted[inside]]
            echo = ~excluded[ray, gate]
            folds[ray[echo], gate[echo]] += by[echo].astype(np.int32)
            changed += int(np.count_nonzero(echo))
    label, k, moved, compared = report
    return folds, Anchoring(label, k, moved, changed, compared)


def _carry(blocks, vad):
    """The valid gates (a _Gates), the shift of each and a report, of every
    sweep (from _blocks): carried from the one trusted most, then (with
    `vad`) against the volume's own wind profile."""
    sweeps = [s for s, _ in blocks]
    gates = [_Gates(s, valid) for s, valid in blocks]
    state = [_Anchored(g, s) for g, s in zip(gates, sweeps)]
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
            k, compared = vad_shift(s) if vad else (0, 0)
            shift, moved, label = np.full(g.flat.size, k, dtype=np.int64), 0, "vad" if vad else "none"
        shifts[i] = shift
        reports[i] = [label, k, moved, compared]
        state[i].shift_by(shift)
    if vad:
        _own_profile(sweeps, gates, state, shifts, reports)
    return gates, shifts, reports


def _own_profile(sweeps, gates, state, shifts, reports):
    """Every sweep as it stands against the wind profile of the VAD fits of
    all sweeps; updates `shifts` and `reports` in place."""
    current = []
    for g, st in zip(gates, state):
        now = copy.copy(g)
        now.dealiased = st.current[:-1]
        current.append(now)
    profile = volume_profile([vad_winds(g, s) for g, s in zip(current, sweeps)])
    if profile is None:
        return
    for i, (s, g) in enumerate(zip(sweeps, current)):
        reference = profile_reference(g, s, profile)
        shift, k, moved, _ = _agree(g, reference, s.rays_wrap_around, PROFILE_MIN_GATES)
        if moved or k:
            shifts[i] += shift
            reports[i][0] += ", then the volume's wind profile"
            reports[i][1] += k
            reports[i][2] += moved
