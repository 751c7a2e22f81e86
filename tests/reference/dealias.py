"""Plain-Python model of the dealiasing core, one gate and one slot at a time.

Every step of the C++ core is repeated here in the same order and with the same
number formats, so that the extension can be compared with it bit for bit.
It is deliberately slow: no vectorisation, no shortcut that could hide a
difference, but one: a run of more limits than LISTED_LIMITS is computed on
demand and only the intervals that hold a gate are labelled (an empty interval
adds no region), which the self-tests check against the listed run. Python
floats are IEEE doubles; the few float32 roundings and the
C library's rint/ceil go through NumPy scalars. Integer widths are modelled by
explicit wrapping, since Python integers never overflow.
"""

import math

import numpy as np

I32_MIN = -(1 << 31)
I32_MAX = (1 << 31) - 1
I64_MIN = -(1 << 63)
I64_MAX = (1 << 63) - 1

# No buffer may exceed the largest allocation size, PTRDIFF_MAX bytes.
ISIZE_MAX = (1 << 63) - 1

CONSUMED = -999


class CapacityOverflow(Exception):
    """A size computation of the core overflowed; the extension reports the same text."""

    def __init__(self):
        super().__init__("capacity overflow")


# ---------------------------------------------------------------- number helpers


def wrap32(x):
    """Two's-complement wrap of an integer to signed 32 bits."""
    return ((x - I32_MIN) & 0xFFFFFFFF) + I32_MIN


def wrap64(x):
    """Two's-complement wrap of an integer to signed 64 bits."""
    return ((x - I64_MIN) & 0xFFFFFFFFFFFFFFFF) + I64_MIN


def to_i64(x):
    """Double to signed 64 bits: truncation, saturation at both ends, NaN gives 0."""
    if x != x:
        return 0
    if x >= 2.0**63:
        return I64_MAX
    if x < -(2.0**63):
        return I64_MIN
    return int(x)


def div(a, b):
    """IEEE double division: a zero divisor gives an infinity or NaN, not an exception."""
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def rint(x):
    """Round to nearest, ties to even, as C's rint in the default rounding mode."""
    return float(np.rint(np.float64(x)))


def ceil(x):
    return float(np.ceil(np.float64(x)))


def f32(x):
    """Round a double once to float32 (overflow gives an infinity)."""
    with np.errstate(all="ignore"):
        return np.float32(x)


def f32_add(x, y):
    with np.errstate(all="ignore"):
        return np.float32(x) + np.float32(y)


def f32_neg(x):
    return -np.float32(x)


def shift_from(ratio):
    """rint, saturated to 64 bits, then its low 32 bits."""
    return wrap32(to_i64(rint(ratio)))


# ---------------------------------------------------------------- intervals


def linspace(start, end, count):
    if count == 0:
        return []
    if count == 1:
        return [start]
    step = div(end - start, float(count - 1))
    values = []
    for i in range(count - 1):
        values.append(float(i) * step + start)
    # The last value is the end itself, not start + (count - 1) * step.
    values.append(end)
    return values


def interval_plan(nyquist, interval_splits, vel, mask):
    """Width, extension counts and number of limits, before anything is allocated.

    Returns (w, below, above, count); count is the exact sum. (Wrapped to 64
    bits, an astronomically large count, from one infinite velocity say, would
    come back as no limits at all and the sweep as dealiased with no fold.)
    """
    w = div(nyquist + nyquist, float(interval_splits))
    vmin = float("inf")
    vmax = float("-inf")
    for i in range(len(vel)):
        if mask[i]:
            continue
        # Velocities are float32 values held exactly as doubles, so comparing
        # them here is the same as comparing them as float32.
        v = vel[i]
        if v < vmin:
            vmin = v
        if v > vmax:
            vmax = v
    above = 0
    below = 0
    if vmin < -nyquist or vmax > nyquist:
        above = to_i64(ceil(div(vmax - nyquist, w)))
        below = to_i64(ceil(div(-(vmin + nyquist), w)))
    count = interval_splits + below + above + 1
    return w, below, above, count


def limits_overflow(count):
    """True when the byte size of count doubles overflows 64 bits: from 2^61 limits on.

    Fewer limits are never listed when there are many (see SpacedLimits), so
    no allocation bounds them below that.
    """
    return count * 8 > (1 << 64) - 1


# Up to this many limits are listed; beyond it they are computed on demand.
LISTED_LIMITS = 256


class SpacedLimits:
    """The values linspace(start, end, count) holds, computed one at a time.

    Stands in for the list when it would be too long to build in Python.
    """

    def __init__(self, start, end, count):
        assert count >= 2
        self.start = start
        self.end = end
        self.count = count
        self.step = div(end - start, float(count - 1))

    def __len__(self):
        return self.count

    def __getitem__(self, i):
        if not 0 <= i < self.count:
            raise IndexError(i)
        if i == self.count - 1:
            return self.end
        return float(i) * self.step + self.start


def interval_limits(nyquist, interval_splits, vel, mask):
    w, below, above, count = interval_plan(nyquist, interval_splits, vel, mask)
    if count <= 0:
        return []
    if limits_overflow(count):
        raise CapacityOverflow()
    start = -nyquist - float(below) * w
    end = nyquist + float(above) * w
    if count > LISTED_LIMITS:
        return SpacedLimits(start, end, count)
    return linspace(start, end, count)


def occupied_intervals(vel, mask, limits):
    """Ascending numbers of the intervals that hold at least one valid gate.

    With a finite start and a finite non-negative step the values before the
    last one never decrease, so a binary search finds the only interval that
    can hold a velocity. Otherwise (negative, infinite or NaN step) every
    interval but the last is empty or NaN-bounded, and the first and the last
    are checked directly. Each candidate is confirmed with the membership test
    itself.
    """
    last = len(limits) - 2
    searchable = math.isfinite(limits.start) and math.isfinite(limits.step) and limits.step >= 0.0
    found = set()
    for i in range(len(vel)):
        if mask[i]:
            continue
        v = vel[i]
        candidates = {0, last}
        if searchable and limits[0] <= v:
            lo, hi = 0, last
            while lo < hi:
                mid = (lo + hi + 1) // 2
                if limits[mid] <= v:
                    lo = mid
                else:
                    hi = mid - 1
            candidates.add(lo)
        for k in candidates:
            if limits[k] <= v and v < limits[k + 1]:
                found.add(k)
    return sorted(found)


# ---------------------------------------------------------------- labelling


def find_root(parent, x):
    while True:
        p = parent[x]
        if p == x:
            return x
        # Path halving: hang x under its grandparent and continue from there.
        parent[x] = parent[p]
        x = parent[x]


def label_components(inside, nrays, ngates):
    n = nrays * ngates
    parent = [-1] * n
    for i in range(n):
        if inside[i] == 1:
            parent[i] = i

    def join(i, j):
        a = find_root(parent, i)
        b = find_root(parent, j)
        if a != b:
            parent[b] = a

    for r in range(nrays):
        for g in range(ngates):
            i = r * ngates + g
            if inside[i] != 1:
                continue
            if g > 0 and inside[i - 1] == 1:
                join(i, i - 1)
            if r > 0 and inside[i - ngates] == 1:
                join(i, i - ngates)

    root_label = [0] * n
    local = [0] * n
    count = 0
    for i in range(n):
        if inside[i] != 1:
            continue
        root = find_root(parent, i)
        if root_label[root] == 0:
            count = wrap32(count + 1)
            root_label[root] = count
        local[i] = root_label[root]
    return local, count


def find_regions(vel, mask, nrays, ngates, limits):
    n = nrays * ngates
    labels = [0] * n
    inside = [0] * n
    offset = 0
    if isinstance(limits, SpacedLimits):
        # An interval that holds no gate adds no region: only the occupied ones
        # are labelled, still in ascending order.
        intervals = occupied_intervals(vel, mask, limits)
    else:
        intervals = range(len(limits) - 1)
    for k in intervals:
        lo = limits[k]
        hi = limits[k + 1]
        for i in range(n):
            if not mask[i] and lo <= vel[i] and vel[i] < hi:
                inside[i] = 1
            else:
                inside[i] = 0
        local, count = label_components(inside, nrays, ngates)
        if count >= 1:
            for i in range(n):
                if local[i] != 0:
                    labels[i] = wrap32(offset + local[i])
            offset = wrap32(offset + count)
    return labels, offset


# ---------------------------------------------------------------- edges


class Edges:
    def __init__(self):
        self.region_a = []
        self.region_b = []
        self.count = []
        self.sum_a = []
        self.sum_b = []

    def __len__(self):
        return len(self.region_a)


def _walk(labels, nrays, ngates, r, g, ray_step, gate_step, skip, wrap):
    """First labelled gate met from (r, g) in one direction: (label, index) or None."""
    candidates = 1 + max(skip, 0)
    d = 1
    while d <= candidates:
        rr = r + ray_step * d
        gg = g + gate_step * d
        if gg < 0 or gg >= ngates:
            return None
        if wrap:
            rr = rr % nrays
        elif rr < 0 or rr >= nrays:
            return None
        j = rr * ngates + gg
        if labels[j] != 0:
            return labels[j], j
        d += 1
    return None


def find_edges(labels, vel, nrays, ngates, rays_wrap_around, skip_between_rays, skip_along_ray):
    nr = wrap32(nrays)
    ng = wrap32(ngates)
    edges = Edges()
    if nr <= 0 or ng <= 0:
        return edges

    # Samples: (vel_a, region_a, region_b, vel_b) in scan order.
    samples = []
    directions = (
        (-1, 0, skip_between_rays),  # previous ray
        (1, 0, skip_between_rays),  # next ray
        (0, -1, skip_along_ray),  # previous gate
        (0, 1, skip_along_ray),  # next gate
    )
    for r in range(nr):
        for g in range(ng):
            i = r * ng + g
            a = labels[i]
            if a == 0:
                continue
            v_a = vel[i]
            for ray_step, gate_step, skip in directions:
                found = _walk(labels, nr, ng, r, g, ray_step, gate_step, skip, rays_wrap_around)
                if found is None:
                    continue
                b, j = found
                if b != a:
                    samples.append((v_a, a, b, vel[j]))

    if not samples:
        return edges
    # Python's sort is stable: equal keys keep scan order.
    order = sorted(range(len(samples)), key=lambda k: (samples[k][2], samples[k][1]))
    pos = 0
    while pos < len(order):
        first = samples[order[pos]]
        run_a = first[1]
        run_b = first[2]
        count = 0
        sum_a = 0.0
        sum_b = 0.0
        while pos < len(order) and samples[order[pos]][1] == run_a and samples[order[pos]][2] == run_b:
            s = samples[order[pos]]
            count += 1
            sum_a = sum_a + s[0]
            sum_b = sum_b + s[3]
            pos += 1
        edges.region_a.append(run_a)
        edges.region_b.append(run_b)
        edges.count.append(wrap32(count))
        edges.sum_a.append(sum_a)
        edges.sum_b.append(sum_b)
    return edges


# ---------------------------------------------------------------- fold network


def _remove_first(lst, value):
    for k in range(len(lst)):
        if lst[k] == value:
            del lst[k]
            return


class Tracker:
    def __init__(self, edges, region_count, sizes, twice_nyquist):
        n = wrap32(region_count + 1)
        if n < 0:
            raise CapacityOverflow()
        if len(sizes) != n - 1:
            raise IndexError("sizes must hold one entry per region")
        self.group_size = [0] * n
        for l in range(1, n):
            self.group_size[l] = sizes[l - 1]
        self.group_members = [[i] for i in range(n)]
        self.folds = [0] * n
        e_total = len(edges)
        s = e_total >> 1
        self.edge_a = [0] * s
        self.edge_b = [0] * s
        self.edge_diff = [np.float32(0)] * s
        self.edge_count = [0] * s
        self.group_edges = [[] for _ in range(n)]
        k = 0
        for i in range(e_total):
            a = edges.region_a[i]
            b = edges.region_b[i]
            if a < b:
                continue
            if k >= s:
                raise IndexError("more qualifying edges than slots")
            self.edge_a[k] = a
            self.edge_b[k] = b
            self.edge_diff[k] = f32(div(edges.sum_a[i] - edges.sum_b[i], twice_nyquist))
            self.edge_count[k] = edges.count[i]
            self.group_edges[a].append(k)
            self.group_edges[b].append(k)
            k += 1
        self.is_neighbour = [False] * n
        self.neighbour_edge = [0] * n
        self.mapped_group = -1

    def solve(self):
        while self.step():
            pass
        return self.folds

    def step(self):
        """One merge step; False once every slot is consumed (or there is none)."""
        s = len(self.edge_count)
        if s == 0:
            return False
        best = 0
        largest = self.edge_count[0]
        for k in range(1, s):
            # Strictly greater: the lowest slot holding the maximum wins.
            if self.edge_count[k] > largest:
                largest = self.edge_count[k]
                best = k
        if largest < 0:
            return False
        a = self.edge_a[best]
        b = self.edge_b[best]
        ratio = div(float(self.edge_diff[best]), float(self.edge_count[best]))
        shift = shift_from(ratio)
        if self.group_size[a] > self.group_size[b]:
            self.join(best, a, b, shift)
        else:
            self.join(best, b, a, wrap32(-shift))
        return True

    def _swap_ends(self, e):
        self.edge_a[e], self.edge_b[e] = self.edge_b[e], self.edge_a[e]
        self.edge_diff[e] = f32_neg(self.edge_diff[e])

    def join(self, best, keeper, absorbed, delta):
        if delta != 0:
            for r in self.group_members[absorbed]:
                self.folds[r] = wrap32(self.folds[r] + delta)
            for e in self.group_edges[absorbed]:
                p = wrap64(self.edge_count[e] * delta)
                if self.edge_a[e] == absorbed:
                    self.edge_diff[e] = f32(float(self.edge_diff[e]) + float(p))
                else:
                    self.edge_diff[e] = f32(float(self.edge_diff[e]) - float(p))

        self.group_members[keeper].extend(self.group_members[absorbed])
        self.group_members[absorbed] = []

        self.group_size[keeper] = wrap32(self.group_size[keeper] + self.group_size[absorbed])
        self.group_size[absorbed] = 0

        self.edge_count[best] = CONSUMED

        _remove_first(self.group_edges[absorbed], best)
        _remove_first(self.group_edges[keeper], best)

        self.is_neighbour[absorbed] = False

        if self.mapped_group != keeper:
            for g in range(len(self.is_neighbour)):
                self.is_neighbour[g] = False
            for e in self.group_edges[keeper]:
                if self.edge_b[e] == keeper:
                    self._swap_ends(e)
                other = self.edge_b[e]
                self.is_neighbour[other] = True
                self.neighbour_edge[other] = e

        for e in list(self.group_edges[absorbed]):
            if self.edge_b[e] == absorbed:
                self._swap_ends(e)
            self.edge_a[e] = keeper
            other = self.edge_b[e]
            if not self.is_neighbour[other]:
                self.is_neighbour[other] = True
                self.neighbour_edge[other] = e
            else:
                f = self.neighbour_edge[other]
                self.edge_count[f] = wrap32(self.edge_count[f] + self.edge_count[e])
                self.edge_count[e] = CONSUMED
                self.edge_diff[f] = f32_add(self.edge_diff[e], self.edge_diff[f])
                _remove_first(self.group_edges[absorbed], e)
                _remove_first(self.group_edges[other], e)

        self.group_edges[keeper].extend(self.group_edges[absorbed])
        self.group_edges[absorbed] = []

        self.mapped_group = keeper


# ---------------------------------------------------------------- driver


def centre(folds, sizes, region_count):
    total = 0
    for s in sizes:
        total = wrap64(total + s)
    if total <= 0:
        return
    weighted = 0
    for l in range(1, region_count + 1):
        weighted = wrap64(weighted + wrap64(sizes[l - 1] * folds[l]))
    shift = shift_from(div(float(weighted), float(total)))
    if shift != 0:
        for l in range(len(folds)):
            folds[l] = wrap32(folds[l] - shift)


def sweep_folds(
    vel,
    nrays,
    ngates,
    mask,
    nyquist,
    rays_wrap_around,
    interval_splits,
    skip_between_rays,
    skip_along_ray,
    centered,
):
    """Per-gate fold counts of a flattened sweep, as a list of Python ints.

    vel: n float32 velocities (any sequence; values are rounded to float32);
    mask: n truth values, true = excluded. Raises CapacityOverflow where the
    core fails with "capacity overflow".
    """
    n = nrays * ngates
    if n * 4 > ISIZE_MAX:
        raise CapacityOverflow()
    vel = [float(f32(v)) for v in vel]
    mask = [bool(m) for m in mask]
    nyquist = float(nyquist)
    result = [0] * n
    if n == 0:
        return result

    limits = interval_limits(nyquist, interval_splits, vel, mask)
    if len(limits) < 2:
        return result

    labels, region_count = find_regions(vel, mask, nrays, ngates, limits)
    if region_count < 2:
        return result

    sizes = [0] * region_count
    for i in range(n):
        if labels[i] != 0:
            sizes[labels[i] - 1] += 1

    edges = find_edges(labels, vel, nrays, ngates, rays_wrap_around, skip_between_rays, skip_along_ray)
    if len(edges) == 0:
        return result

    if wrap32(region_count + 1) < 0:
        raise CapacityOverflow()
    tracker = Tracker(edges, region_count, sizes, nyquist + nyquist)
    folds = tracker.solve()

    if centered:
        centre(folds, sizes, region_count)

    for i in range(n):
        result[i] = folds[labels[i]]
    return result


def sweep_folds_2d(
    vel,
    mask,
    nyquist,
    rays_wrap_around,
    interval_splits=3,
    skip_between_rays=100,
    skip_along_ray=100,
    centered=True,
):
    """The same computation on 2-D arrays, with the extension's argument order and result."""
    vel = np.asarray(vel, dtype=np.float32)
    mask = np.asarray(mask, dtype=bool)
    if vel.ndim != 2 or vel.shape != mask.shape:
        raise ValueError("vel and mask must be 2-D arrays of one shape")
    nrays, ngates = vel.shape
    flat = sweep_folds(
        vel.ravel().tolist(),
        nrays,
        ngates,
        mask.ravel().tolist(),
        nyquist,
        bool(rays_wrap_around),
        int(interval_splits),
        int(skip_between_rays),
        int(skip_along_ray),
        bool(centered),
    )
    return np.array(flat, dtype=np.int32).reshape(nrays, ngates)
