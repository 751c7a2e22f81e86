"""The reference model on hand-worked examples: it must be right before it judges _vornak."""

import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from reference import dealias as ref
from reference.dealias import CapacityOverflow, Edges, Tracker, sweep_folds_2d


def f32v(values):
    return [float(np.float32(v)) for v in values]


def limits_for(nyquist, splits, values, mask=None):
    values = f32v(values)
    mask = mask or [False] * len(values)
    return ref.interval_limits(nyquist, splits, values, mask)


def make_edges(entries):
    edges = Edges()
    for a, b, count, sum_a, sum_b in entries:
        edges.region_a.append(a)
        edges.region_b.append(b)
        edges.count.append(count)
        edges.sum_a.append(sum_a)
        edges.sum_b.append(sum_b)
    return edges


def edge_rows(edges):
    return list(zip(edges.region_a, edges.region_b, edges.count, edges.sum_a, edges.sum_b))


# ---------------------------------------------------------------- number helpers


def test_conversions_saturate_wrap_and_round_ties_to_even():
    assert ref.to_i64(float("nan")) == 0
    assert ref.to_i64(2.0**63) == ref.I64_MAX
    assert ref.to_i64(float("inf")) == ref.I64_MAX
    assert ref.to_i64(-(2.0**63)) == ref.I64_MIN
    assert ref.to_i64(float("-inf")) == ref.I64_MIN
    assert ref.to_i64(-2.9) == -2
    assert [ref.shift_from(x) for x in (0.5, 1.5, 2.5, -0.5, -1.5, 0.49999999999999994)] == [0, 2, 2, 0, -2, 0]
    # Saturated to 2^63 - 1, whose low 32 bits are -1.
    assert ref.shift_from(1e300) == -1
    assert ref.shift_from(2.0**32 + 5) == 5
    assert ref.wrap32(2**31) == -(2**31)
    assert ref.wrap64(ref.I64_MAX + ref.I64_MAX + 1) == -1
    assert math.isinf(ref.div(1.0, 0.0)) and math.isnan(ref.div(0.0, 0.0))


# ---------------------------------------------------------------- interval limits


@pytest.mark.parametrize(
    "values, expected",
    [
        ([-10.0, 0.0, 9.0], [-10, -3.3333, 3.3333, 10]),
        ([-5.0, 12.0], [-10, -3.3333, 3.3333, 10, 16.6667]),
        ([-12.0, 5.0], [-16.6667, -10, -3.3333, 3.3333, 10]),
        ([5.0, 12.0], [3.3333, 10, 16.6667]),
        ([-20.0, -12.0], [-23.3333, -16.6667, -10]),
    ],
)
def test_interval_limits_extend_and_shrink_by_whole_widths(values, expected):
    assert limits_for(10.0, 3, values) == pytest.approx(expected, abs=1e-4)


def test_interval_extension_counts():
    assert ref.interval_plan(10.0, 3, f32v([5.0, 12.0]), [False, False])[1:] == (-2, 1, 3)
    assert ref.interval_plan(10.0, 3, f32v([-20.0, -12.0]), [False, False])[1:] == (2, -3, 3)


def test_top_end_moving_inward_onto_vmax_leaves_those_gates_unlabelled():
    vel = f32v([-9.0, -5.0, 0.0, -1.0, 0.0])
    mask = [False] * 5
    assert ref.interval_plan(8.0, 4, vel, mask)[1:] == (1, -2, 4)
    limits = ref.interval_limits(8.0, 4, vel, mask)
    assert limits == [-12.0, -8.0, -4.0, 0.0]
    labels, _ = ref.find_regions(vel, mask, 1, 5, limits)
    assert labels[2] == 0 and labels[4] == 0 and labels[3] != 0


def test_nyquist_bounds_belong_to_first_interval_and_to_none():
    vel = f32v([-10.0, 10.0, 0.0])
    mask = [False] * 3
    limits = ref.interval_limits(10.0, 3, vel, mask)
    assert len(limits) == 4 and limits[0] == -10.0 and limits[-1] == 10.0
    labels, count = ref.find_regions(vel, mask, 1, 3, limits)
    assert labels == [1, 0, 2] and count == 2


def test_linspace_ends_exactly_and_scales_before_adding():
    values = ref.linspace(-10.0, 10.0, 4)
    step = 20.0 / 3.0
    assert values == [-10.0, step - 10.0, 2.0 * step - 10.0, 10.0]
    assert ref.linspace(1.5, 7.0, 1) == [1.5]
    assert ref.linspace(1.5, 7.0, 0) == []


def test_degenerate_interval_inputs():
    # No interval at all with 0 splits, nothing valid, or a NaN nyquist.
    assert len(limits_for(10.0, 0, [1.0])) == 1
    assert len(limits_for(10.0, 3, [1.0, 2.0], [True, True])) == 4
    nan_limits = limits_for(float("nan"), 3, [1.0, 2.0])
    assert len(nan_limits) == 4 and all(math.isnan(x) for x in nan_limits)
    assert limits_for(10.0, 3, [float("nan")]) == pytest.approx([-10, -3.3333, 3.3333, 10], abs=1e-4)
    # A negative nyquist turns the width negative; the counts then cancel out.
    assert limits_for(-10.0, 3, [-5.0, 5.0]) == []
    # An infinite velocity saturates one count: far too many limits.
    with pytest.raises(CapacityOverflow):
        limits_for(10.0, 3, [1.0, float("inf")])


def test_capacity_overflow_for_2_to_61_limits_or_more():
    with pytest.raises(CapacityOverflow) as info:
        limits_for(10.0, 2**62, [1.0])
    assert info.value.args == ("capacity overflow",)
    with pytest.raises(CapacityOverflow):
        limits_for(10.0, 2**61 - 1, [1.0])
    # One limit fewer is a long but valid run of limits.
    assert len(limits_for(10.0, 2**61 - 2, [1.0])) == 2**61 - 1
    with pytest.raises(CapacityOverflow):
        sweep_folds_2d(np.zeros((2, 2), np.float32), np.zeros((2, 2), bool), 10.0, False, 2**62)
    # 2^63 - 1 splits plus one limit is 2^63 limits, not a wrapped negative count.
    with pytest.raises(CapacityOverflow):
        limits_for(10.0, 2**63 - 1, [1.0])


# ---------------------------------------------------------------- labelling


def test_two_by_three_grid_numbers_regions_by_interval_then_scan_order():
    vel = f32v([0.5, 1.5, 1.5, 1.5, 1.5, 0.5])
    labels, count = ref.find_regions(vel, [False] * 6, 2, 3, [0.0, 1.0, 2.0])
    assert labels == [1, 3, 3, 3, 3, 2]
    assert count == 3


def test_connectivity_is_four_neighbour_and_never_wraps():
    # Corner contact only: two components.
    local, count = ref.label_components([1, 0, 0, 1], 2, 2)
    assert count == 2 and local == [1, 0, 0, 2]
    # The last and the first ray are not joined by labelling.
    local, count = ref.label_components([1, 0, 0, 0, 1, 0], 3, 2)
    assert count == 2 and local == [1, 0, 0, 0, 2, 0]
    # The end of one ray is not next to the start of the following one.
    local, count = ref.label_components([0, 0, 1, 1, 0, 0], 2, 3)
    assert count == 2
    # A U shape whose arms meet only through the bottom row is one component,
    # numbered by its first gate whatever the forest looks like.
    local, count = ref.label_components([1, 0, 1, 1, 0, 1, 1, 1, 1], 3, 3)
    assert count == 1 and local == [1, 0, 1, 1, 0, 1, 1, 1, 1]


def test_find_root_halves_paths():
    parent = [0, 0, 1, 2, 3]
    assert ref.find_root(parent, 4) == 0
    assert parent == [0, 0, 0, 2, 2]


# ---------------------------------------------------------------- edges


def test_two_gate_edges():
    p, q = float(np.float32(3.25)), float(np.float32(-7.5))
    edges = ref.find_edges([1, 2], [p, q], 1, 2, False, 100, 100)
    assert edge_rows(edges) == [(2, 1, 1, q, p), (1, 2, 1, p, q)]


def test_walk_stops_at_own_region():
    edges = ref.find_edges([1, 0, 1, 0, 2], [1.0, 0.0, 2.0, 0.0, 3.0], 1, 5, False, 100, 5)
    assert edge_rows(edges) == [(2, 1, 1, 3.0, 2.0), (1, 2, 1, 2.0, 3.0)]


@pytest.mark.parametrize("gap", [0, 1, 2, 3])
@pytest.mark.parametrize("skip", [-1, 0, 1, 2])
def test_skip_limits_the_gap_across_unlabelled_gates(gap, skip):
    row = [1] + [0] * gap + [2]
    along = ref.find_edges(row, [1.0] * len(row), 1, len(row), False, 100, skip)
    across = ref.find_edges(row, [1.0] * len(row), len(row), 1, False, skip, 100)
    in_contact = gap == 0 or gap <= skip
    assert len(along) == len(across) == (2 if in_contact else 0)


def test_ray_wrap_around():
    labels = [1, 0, 0, 2]  # 4 rays of one gate
    assert len(ref.find_edges(labels, [1.0] * 4, 4, 1, False, 0, 100)) == 0
    assert [e[2] for e in edge_rows(ref.find_edges(labels, [1.0] * 4, 4, 1, True, 0, 100))] == [1, 1]
    # Without the wrap only the walk across the rays between joins them.
    assert len(ref.find_edges(labels, [1.0] * 4, 4, 1, False, 2, 100)) == 2
    # With both walks reaching, the contact counts twice in each orientation.
    assert [e[2] for e in edge_rows(ref.find_edges(labels, [1.0] * 4, 4, 1, True, 2, 100))] == [2, 2]
    # Two rays: previous and next ray are the same ray.
    assert [e[2] for e in edge_rows(ref.find_edges([1, 2], [1.0, 1.0], 2, 1, True, 100, 100))] == [2, 2]
    # One ray wrapping: its only neighbour is itself.
    assert len(ref.find_edges([1, 2], [1.0, 1.0], 1, 2, True, 100, 100)) == 2
    assert len(ref.find_edges([1, 0], [1.0, 1.0], 1, 2, True, 2**63 - 1, 2**63 - 1)) == 0


def test_edge_order_and_symmetry_for_three_touching_regions():
    labels = [1, 2, 3, 3]  # 2 rays of two gates
    edges = ref.find_edges(labels, [1.0, 2.0, 3.0, 4.0], 2, 2, False, 100, 100)
    pairs = list(zip(edges.region_a, edges.region_b))
    assert pairs == [(2, 1), (3, 1), (1, 2), (3, 2), (1, 3), (2, 3)]


def test_velocities_are_widened_exactly_before_summing():
    v = float(np.float32(0.1))
    edges = ref.find_edges([1, 2], [v, 0.0], 1, 2, False, 100, 100)
    assert edges.sum_a[1] == 0.100000001490116119384765625


label_grids = st.integers(1, 7).flatmap(
    lambda nr: st.integers(1, 7).flatmap(
        lambda ng: st.tuples(
            st.just(nr), st.just(ng), st.lists(st.integers(0, 4), min_size=nr * ng, max_size=nr * ng)
        )
    )
)


@given(label_grids, st.booleans(), st.integers(-1, 8), st.integers(-1, 8))
def test_edges_are_symmetric_and_sorted(grid, wrap, skip_rays, skip_gates):
    nr, ng, labels = grid
    edges = ref.find_edges(labels, [1.0] * len(labels), nr, ng, wrap, skip_rays, skip_gates)
    keys = [(b, a) for a, b in zip(edges.region_a, edges.region_b)]
    assert keys == sorted(set(keys))
    counts = {(a, b): c for a, b, c in zip(edges.region_a, edges.region_b, edges.count)}
    for (a, b), c in counts.items():
        assert a != b and counts[(b, a)] == c
    assert sum(1 for a, b in counts if a > b) * 2 == len(edges)


# ---------------------------------------------------------------- fold network


def two_region_edges():
    return make_edges([(2, 1, 40, 360.0, -360.0), (1, 2, 40, -360.0, 360.0)])


def test_smaller_group_is_shifted():
    tracker = Tracker(two_region_edges(), 2, [10, 100], 20.0)
    assert tracker.edge_a == [2] and tracker.edge_b == [1] and tracker.edge_diff == [np.float32(36.0)]
    assert tracker.solve() == [0, 1, 0]
    assert Tracker(two_region_edges(), 2, [100, 10], 20.0).solve() == [0, 0, -1]


def test_equal_sizes_shift_the_first_end():
    assert Tracker(two_region_edges(), 2, [50, 50], 20.0).solve() == [0, 0, -1]


@pytest.mark.parametrize("mean, shift", [(0.5, 0), (1.5, 2), (2.5, 2), (-0.5, 0), (-1.5, -2)])
def test_network_shift_ties_to_even(mean, shift):
    # twice nyquist = 1, so the mean difference is in fold intervals directly;
    # region 2 is larger, so region 1 takes the shift.
    edges = make_edges([(2, 1, 2, 2 * mean, 0.0), (1, 2, 2, 0.0, 2 * mean)])
    assert Tracker(edges, 2, [1, 5], 1.0).solve() == [0, shift, 0]


def three_region_tracker():
    edges = make_edges(
        [
            (2, 1, 10, 90.0, -80.0),
            (3, 1, 6, 42.0, -48.0),
            (1, 2, 10, -80.0, 90.0),
            (3, 2, 8, 56.0, 72.0),
            (1, 3, 6, -48.0, 42.0),
            (2, 3, 8, 72.0, 56.0),
        ]
    )
    return Tracker(edges, 3, [50, 30, 20], 20.0)


def test_three_region_network_step_by_step():
    t = three_region_tracker()
    assert t.edge_diff == [np.float32(8.5), np.float32(4.5), np.float32(-0.8)]
    assert t.step()
    assert t.folds == [0, 0, -1, 0]
    assert t.edge_count == [ref.CONSUMED, 14, ref.CONSUMED]
    assert (t.edge_a[1], t.edge_b[1]) == (1, 3)
    assert t.edge_diff[1] == np.float32(-4.5) - (np.float32(-0.8) + np.float32(8.0))
    assert t.edge_diff[1] == pytest.approx(-11.7, abs=1e-5)
    assert t.group_size == [0, 80, 0, 20] and t.group_members[1] == [1, 2]
    assert t.group_edges == [[], [1], [], [1]]
    assert t.step()
    assert not t.step()
    assert t.folds == [0, 0, -1, -1]


def test_zero_shift_still_merges():
    edges = make_edges([(2, 1, 3, 0.0, 0.0), (1, 2, 3, 0.0, 0.0)])
    t = Tracker(edges, 2, [4, 2], 20.0)
    assert t.step()
    assert t.folds == [0, 0, 0] and t.group_size == [0, 6, 0] and t.group_members[1] == [1, 2]


class RebuildingTracker(Tracker):
    """Forgets its neighbour map before every step."""

    def join(self, best, keeper, absorbed, delta):
        self.mapped_group = -1
        super().join(best, keeper, absorbed, delta)


@given(st.integers(1, 6), st.integers(1, 6), st.data())
def test_keeping_the_neighbour_map_equals_rebuilding_it(nr, ng, data):
    vel = data.draw(st.lists(st.integers(-12, 12).map(float), min_size=nr * ng, max_size=nr * ng))
    mask = [False] * (nr * ng)
    limits = ref.interval_limits(10.0, 5, vel, mask)
    labels, count = ref.find_regions(vel, mask, nr, ng, limits)
    if count < 2:
        return
    sizes = [labels.count(l) for l in range(1, count + 1)]
    edges = ref.find_edges(labels, vel, nr, ng, True, 1, 1)
    if len(edges) == 0:
        return
    assert Tracker(edges, count, sizes, 20.0).solve() == RebuildingTracker(edges, count, sizes, 20.0).solve()


# ---------------------------------------------------------------- driver


def test_centring_takes_the_nearest_integer_of_the_weighted_mean():
    folds = [0, 0, 1]
    ref.centre(folds, [1, 3], 2)
    assert folds == [-1, -1, 0]


@pytest.mark.parametrize("mean, shift", [(0.5, 0), (1.5, 2), (2.5, 2), (-0.5, 0), (-1.5, -2)])
def test_centring_ties_to_even(mean, shift):
    # Two regions of equal size whose folds average to mean.
    low = math.floor(mean)
    folds = [0, low, low + int(2 * (mean - low))]
    ref.centre(folds, [1, 1], 2)
    assert folds[0] == -shift


def test_whole_sweep_one_boundary():
    vel = np.array([[8, 9, -9, -8]], np.float32)
    mask = np.zeros((1, 4), bool)
    for centered in (True, False):
        out = sweep_folds_2d(vel, mask, 10.0, False, 3, 100, 100, centered)
        assert out.dtype == np.int32 and out.tolist() == [[-1, -1, 0, 0]]


def test_whole_sweep_with_excluded_gate():
    vel = np.array([[9, -9, 9, 0]], np.float32)
    mask = np.array([[False, False, False, True]])
    assert sweep_folds_2d(vel, mask, 10.0, False, 3, 100, 100, True).tolist() == [[0, 1, 0, 1]]
    assert sweep_folds_2d(vel, mask, 10.0, False, 3, 100, 100, False).tolist() == [[-1, 0, -1, 0]]


def test_whole_sweep_early_exits_give_zeros_of_the_right_shape():
    for shape in [(0, 0), (0, 5), (5, 0)]:
        assert sweep_folds_2d(np.zeros(shape, np.float32), np.zeros(shape, bool), 10.0, True).shape == shape
    vel = np.array([[8, 9, -9, -8]], np.float32)
    mask = np.zeros((1, 4), bool)
    assert sweep_folds_2d(vel, mask, 10.0, False, 0).tolist() == [[0, 0, 0, 0]]
    assert sweep_folds_2d(vel, ~mask, 10.0, False).tolist() == [[0, 0, 0, 0]]
    assert sweep_folds_2d(vel, mask, float("nan"), False).tolist() == [[0, 0, 0, 0]]
    assert sweep_folds_2d(np.full((3, 3), 2.0, np.float32), np.zeros((3, 3), bool), 10.0, True).tolist() == [[0] * 3] * 3
    # Two regions out of each other's reach: no edge.
    far = np.array([[9, 0, 0, -9]], np.float32)
    gap = np.array([[False, True, True, False]])
    assert sweep_folds_2d(far, gap, 10.0, False, 3, 100, 1).tolist() == [[0, 0, 0, 0]]
    assert sweep_folds_2d(far, gap, 10.0, False, 3, 100, 2).tolist() == [[-1, 0, 0, 0]]


# ---------------------------------------------------------------- many limits


@given(
    st.floats(-100, 100) | st.sampled_from([float("inf"), float("-inf"), float("nan")]),
    st.floats(-100, 100) | st.sampled_from([float("inf"), float("-inf"), float("nan")]),
    st.integers(2, 300),
    st.integers(1, 5),
    st.integers(1, 5),
    st.data(),
)
def test_limits_computed_on_demand_label_like_the_listed_ones(start, end, count, nr, ng, data):
    listed = ref.linspace(start, end, count)
    spaced = ref.SpacedLimits(start, end, count)
    assert [repr(spaced[i]) for i in range(count)] == [repr(x) for x in listed]
    finite = [x for x in listed if math.isfinite(x)] or [0.0]
    gate_values = st.one_of(
        st.sampled_from(finite),
        st.sampled_from(finite).map(lambda x: float(np.nextafter(np.float32(x), np.float32(-np.inf)))),
        st.floats(min(finite) - 1, max(finite) + 1),
        st.sampled_from([float("nan"), float("inf"), float("-inf")]),
    )
    vel = f32v(data.draw(st.lists(gate_values, min_size=nr * ng, max_size=nr * ng)))
    mask = data.draw(st.lists(st.booleans(), min_size=nr * ng, max_size=nr * ng))
    assert ref.find_regions(vel, mask, nr, ng, spaced) == ref.find_regions(vel, mask, nr, ng, listed)


def test_long_limit_runs_are_computed_on_demand():
    vel = f32v([-9.0, 3.0, 7.5, 7.5])
    limits = ref.interval_limits(10.0, 2**40, vel, [False] * 4)
    assert isinstance(limits, ref.SpacedLimits) and len(limits) == 2**40 + 1
    assert limits[0] == -10.0 and limits[2**40] == 10.0
    labels, count = ref.find_regions(vel, [False] * 4, 2, 2, limits)
    # Every distinct velocity lies in an interval of its own, numbered upward.
    assert labels == [1, 2, 3, 3] and count == 3
