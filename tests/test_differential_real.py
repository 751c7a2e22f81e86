"""_vornak.sweep_folds_py against the plain-Python reference on real radar sweeps (see data/ATTRIBUTION.md)."""

from pathlib import Path

import numpy as np
import pytest

import _vornak
from reference import sweep_folds_2d, tally

DATA = Path(__file__).parent / "data"
SWEEPS = [
    "MLL2217907250U_003_sweep0_gates0-80.npz",
    "T_PAZB63_LFPW_20230420065624_sweep0.npz",
    "houkasacrcfrM1_20210922_150006_sweep0_gates200-400.npz",
]

# "tuned" also flips the wrap-around, so both edge walks across the first and last ray are compared.
SETTINGS = {
    "defaults": {},
    "tuned": dict(interval_splits=5, skip_between_rays=10, skip_along_ray=20, centered=False, flip_wrap=True),
}


@pytest.fixture(autouse=True, scope="module")
def _tally(pytestconfig):
    tally.register(pytestconfig)


def load(name):
    with np.load(DATA / name, allow_pickle=False) as z:
        return z["vel"], z["mask"], float(z["nyquist"]), bool(z["rays_wrap_around"])


@pytest.mark.parametrize("settings", sorted(SETTINGS))
@pytest.mark.parametrize("name", SWEEPS)
def test_real_sweep_matches_reference(name, settings):
    vel, mask, nyquist, wrap = load(name)
    kwargs = dict(SETTINGS[settings])
    if kwargs.pop("flip_wrap", False):
        wrap = not wrap
    expected = sweep_folds_2d(vel, mask, nyquist, wrap, **kwargs)
    got = _vornak.sweep_folds_py(vel, mask, nyquist, wrap, **kwargs)
    np.testing.assert_array_equal(got, expected)
    # These sweeps are folded: a result of zeros everywhere would test little.
    assert expected.any()
    tally.record("real sweeps")
