"""_vornak.sweep_folds_py against the plain-Python reference, bit for bit, on generated sweeps.

VORNAK_DIFF_SCALE multiplies the number of examples per test (default 1).
"""

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings

import _vornak
from reference import CapacityOverflow, sweep_folds_2d, tally
from reference import strategies as cases

SCALE = float(os.environ.get("VORNAK_DIFF_SCALE", "1"))


def examples(n):
    return settings(
        max_examples=max(10, int(n * SCALE)),
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much, HealthCheck.data_too_large],
    )


@pytest.fixture(autouse=True, scope="module")
def _tally(pytestconfig):
    tally.register(pytestconfig)


def check_same(case):
    """Run both sides on one case and demand the same folds, or the same capacity failure."""
    args = (
        case["vel"],
        case["mask"],
        case["nyquist"],
        case["rays_wrap_around"],
        case["interval_splits"],
        case["skip_between_rays"],
        case["skip_along_ray"],
        case["centered"],
    )
    try:
        expected = sweep_folds_2d(*args)
    except CapacityOverflow as failure:
        with pytest.raises(BaseException) as info:
            _vornak.sweep_folds_py(*args)
        assert not isinstance(info.value, Exception), "a core failure must not be an ordinary Exception"
        assert info.value.args == failure.args
        tally.record("capacity overflow")
        return None
    got = _vornak.sweep_folds_py(*args)
    assert type(got) is np.ndarray
    assert got.dtype == np.int32 and got.shape == case["vel"].shape
    np.testing.assert_array_equal(got, expected)
    tally.record("with folds" if got.any() else "all zero")
    return got


@examples(1500)
@given(cases.folded_wind_cases)
def test_folded_wind_fields(case):
    check_same(case)


@examples(1000)
@given(cases.speckle_cases)
def test_speckle(case):
    check_same(case)


@examples(1000)
@given(cases.special_value_cases)
def test_nan_inf_excluded_and_cut_values(case):
    check_same(case)


@examples(600)
@given(cases.odd_parameter_cases)
def test_odd_nyquist_and_splits(case):
    check_same(case)


@examples(1500)
@given(cases.tiny_cases())
def test_tiny_sweeps_gate_by_gate(case):
    check_same(case)


@examples(50)
@given(cases.capacity_cases)
def test_capacity_overflow(case):
    assert check_same(case) is None


@examples(600)
@given(cases.giant_interval_cases())
def test_huge_fold_counts(case):
    check_same(case)


# ---------------------------------------------------------------- regressions
# Cases where the two sides once disagreed, kept by name.


def case_of(vel, mask=None, nyquist=10.0, wrap=False, splits=3, skip_rays=100, skip_gates=100, centered=True):
    vel = np.asarray(vel, np.float32)
    return dict(
        vel=vel,
        mask=np.zeros(vel.shape, bool) if mask is None else np.asarray(mask, bool),
        nyquist=nyquist,
        rays_wrap_around=wrap,
        interval_splits=splits,
        skip_between_rays=skip_rays,
        skip_along_ray=skip_gates,
        centered=centered,
    )


@pytest.mark.parametrize("splits", [(1 << 60) - 1, 1 << 60, (1 << 61) - 2])
def test_regression_2_to_60_limits_and_more_are_computed(splits):
    # Below 2^61 limits there is no capacity failure, however long the run of
    # limits: the sides once disagreed from 2^60 limits on, where a listed
    # run of doubles would no longer fit the largest allocation.
    case = case_of([[1.0, -1.0, 7.0], [2.0, 0.5, -9.5]], splits=splits, centered=False)
    assert check_same(case) is not None


def test_regression_2_to_61_limits_are_the_capacity_failure():
    assert check_same(case_of([[1.0, -1.0], [2.0, 0.5]], splits=(1 << 61) - 1)) is None


@examples(300)
@given(cases.many_interval_cases())
def test_thousands_of_intervals(case):
    check_same(case)
