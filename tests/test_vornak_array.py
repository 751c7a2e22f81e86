"""vornak.fold_counts / vornak.dealias: what the array layer hands to _vornak, what it returns, and its errors."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _vornak
import vornak
from vornak_sweeps import NYQUIST, wind

PARAMS = dict(rays_wrap_around=True, interval_splits=3, skip_between_rays=100, skip_along_ray=100, centered=True)


def core(vel32, excluded, nyquist=NYQUIST, **params):
    """The extension on already converted arrays, excluded gates set to 0 as the layer documents."""
    p = {**PARAMS, **params}
    folds = _vornak.sweep_folds_py(vel32, excluded, nyquist, p["rays_wrap_around"], p["interval_splits"],
                                   p["skip_between_rays"], p["skip_along_ray"], p["centered"])
    folds[excluded] = 0
    return folds


@pytest.fixture(scope="module")
def folded():
    _, true, folded = wind(ngates=90)
    folded[40:60, 10:30] = np.nan  # a hole
    return true, folded


def test_recovers_a_folded_wind_field(folded):
    true, vel = folded
    out = vornak.dealias(vel, NYQUIST, rays_wrap_around=True)
    assert out.dtype == np.float32 and type(out) is np.ndarray
    valid = np.isfinite(vel)
    np.testing.assert_allclose(out[valid], true[valid], atol=1e-4)
    assert np.isnan(out[~valid]).all()
    assert (vornak.fold_counts(vel, NYQUIST, rays_wrap_around=True) != 0).sum() > vel.size // 4


def conversions(vel):
    """(name, input as a user may hold it, the float32 it stands for, extra excluded gates)."""
    nan = np.isnan(vel)
    filled = np.where(nan, -9999.0, vel)
    big = vel.astype(">f4")
    wide = np.zeros((vel.shape[0], vel.shape[1] * 2), np.float64)
    wide[:, ::2] = vel
    fortran = np.asfortranarray(vel.astype(np.float64))
    return [
        ("float64", vel.astype(np.float64), vel, nan),
        ("float16", vel.astype(np.float16), vel.astype(np.float16).astype(np.float32), nan),
        ("big-endian", big, vel, nan),
        ("strided view", wide[:, ::2], vel, nan),
        ("Fortran order", fortran, vel, nan),
        ("masked, fill under mask", np.ma.MaskedArray(filled, mask=nan), vel, nan),
        ("nested lists", vel.tolist(), vel, nan),
    ]


@pytest.mark.parametrize("case", range(7))
def test_equal_to_the_extension_on_the_converted_arrays(folded, case):
    _, vel = folded
    name, given, vel32, nan = conversions(vel)[case]
    excluded = nan | ~np.isfinite(vel32)
    expected = core(np.ascontiguousarray(np.where(excluded, np.nan if "masked" not in name else -9999.0, vel32),
                                         dtype=np.float32), excluded)
    got = vornak.fold_counts(given, NYQUIST, **PARAMS)
    np.testing.assert_array_equal(np.ma.getdata(got), expected, err_msg=name)
    assert np.ma.getdata(got).dtype == np.int32


def test_inputs_are_not_modified(folded):
    _, vel = folded
    big = vel.astype(">f8")
    masked = np.ma.MaskedArray(np.nan_to_num(vel), mask=np.isnan(vel))
    before = (big.copy(), masked.data.copy(), masked.mask.copy())
    vornak.dealias(big, NYQUIST, **PARAMS)
    vornak.dealias(masked, NYQUIST, **PARAMS)
    np.testing.assert_array_equal(big, before[0])
    np.testing.assert_array_equal(masked.data, before[1])
    np.testing.assert_array_equal(masked.mask, before[2])


def test_masks_merge_and_results_are_masked_where_excluded(folded):
    _, vel = folded
    nan = np.isnan(vel)
    own = np.zeros(vel.shape, bool)
    own[:30, :] = True
    given = np.zeros(vel.shape, bool)
    given[:, 70:] = True
    data = np.where(nan, 0.0, vel)
    data[5, 5] = np.inf  # infinite in the masked part, and one valid gate made infinite below
    data[100, 3] = -np.inf
    excluded = nan | own | given | ~np.isfinite(data)

    out = vornak.dealias(np.ma.MaskedArray(data, mask=own | nan), NYQUIST, mask=given, **PARAMS)
    folds = vornak.fold_counts(np.ma.MaskedArray(data, mask=own | nan), NYQUIST, mask=given, **PARAMS)
    assert isinstance(out, np.ma.MaskedArray) and out.dtype == np.float32
    np.testing.assert_array_equal(np.ma.getmaskarray(out), excluded)
    np.testing.assert_array_equal(np.ma.getmaskarray(folds), excluded)
    expected = core(np.ascontiguousarray(data, dtype=np.float32), excluded)
    np.testing.assert_array_equal(folds.data, expected)
    np.testing.assert_array_equal(out.data[~excluded], (data[~excluded] + expected[~excluded] * 2 * NYQUIST).astype(np.float32))
    # excluded gates keep their input value under the mask: nothing is lost
    np.testing.assert_array_equal(out.data[excluded], data.astype(np.float32)[excluded])

    # a plain array with a mask gives a masked result too; without, a plain one
    assert isinstance(vornak.dealias(data, NYQUIST, mask=given, **PARAMS), np.ma.MaskedArray)
    assert type(vornak.dealias(data, NYQUIST, **PARAMS)) is np.ndarray


def test_dealias_is_velocity_plus_folds_in_double_precision(folded):
    _, vel = folded
    folds = vornak.fold_counts(vel, 7.3, rays_wrap_around=True, centered=False, interval_splits=5)
    out = vornak.dealias(vel, 7.3, rays_wrap_around=True, centered=False, interval_splits=5)
    np.testing.assert_array_equal(out, (vel.astype(np.float64) + folds * 14.6).astype(np.float32))


def test_tuning_parameters_reach_the_core(folded):
    _, vel = folded
    nan = np.isnan(vel)
    for params in (dict(centered=False), dict(interval_splits=7), dict(skip_between_rays=0, skip_along_ray=0),
                   dict(rays_wrap_around=False)):
        got = vornak.fold_counts(vel, NYQUIST, **{**PARAMS, **params})
        np.testing.assert_array_equal(got, core(vel, nan, **params), err_msg=str(params))


def test_empty_and_all_excluded_sweeps():
    assert vornak.fold_counts(np.zeros((0, 5)), NYQUIST).shape == (0, 5)
    out = vornak.dealias(np.full((4, 6), np.nan), NYQUIST)
    assert out.shape == (4, 6) and np.isnan(out).all()


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda v: vornak.fold_counts(v[0], NYQUIST), ValueError, "2-D array of one sweep, shaped (rays, gates); got 1 dimension"),
        (lambda v: vornak.fold_counts(v[None], NYQUIST), ValueError, "got 3 dimension(s), shape (1, 36, 20)"),
        (lambda v: vornak.dealias(v, 0.0), ValueError, "nyquist must be a positive, finite velocity in m/s, got 0.0"),
        (lambda v: vornak.dealias(v, -8.0), ValueError, "got -8.0"),
        (lambda v: vornak.dealias(v, float("nan")), ValueError, "positive, finite"),
        (lambda v: vornak.dealias(v, np.inf), ValueError, "positive, finite"),
        (lambda v: vornak.dealias(v, "8.25"), TypeError, "nyquist must be a number in m/s, got str"),
        (lambda v: vornak.dealias(v, np.array([8.0, 9.0])), TypeError, "nyquist must be a single number"),
        (lambda v: vornak.dealias(v, NYQUIST, mask=np.zeros((20, 36), bool)), ValueError,
         "mask shape (20, 36) does not match velocity shape (36, 20)"),
        (lambda v: vornak.dealias(v, NYQUIST, mask=np.zeros(v.shape)), TypeError, "mask must be boolean"),
        (lambda v: vornak.dealias(v.astype(complex), NYQUIST), TypeError, "velocity must be real-valued (m/s), got dtype complex128"),
        (lambda v: vornak.dealias(v > 0, NYQUIST), TypeError, "got dtype bool"),
        (lambda v: vornak.dealias(np.array([["a", "b"]], dtype=object), NYQUIST), TypeError, "must hold real numbers"),
        (lambda v: vornak.dealias(v, NYQUIST, interval_splits=0), ValueError, "interval_splits must be at least 1, got 0"),
        (lambda v: vornak.dealias(v, NYQUIST, skip_along_ray=-1), ValueError, "skip_along_ray must be at least 0, got -1"),
        (lambda v: vornak.dealias(v, NYQUIST, skip_between_rays=2.5), TypeError, "skip_between_rays must be an integer"),
        (lambda v: vornak.dealias(v, NYQUIST, rays_wrap_around="yes"), TypeError, "rays_wrap_around must be True or False"),
        (lambda v: vornak.dealias(v, NYQUIST, centered=1), TypeError, "centered must be True or False"),
    ],
)
def test_errors_say_what_to_fix_before_the_core_runs(monkeypatch, call, error, text):
    class NoCore:
        def sweep_folds_py(*args):
            raise AssertionError("the core ran")

    monkeypatch.setattr(vornak._array, "_core", lambda: NoCore)
    vel = wind(nrays=36, ngates=20)[2]
    with pytest.raises(error) as info:
        call(vel)
    assert str(info.value).startswith("vornak: ")
    assert text in str(info.value)


def test_numpy_scalars_and_integer_masks_are_accepted(folded):
    _, vel = folded
    mask = np.isnan(vel).astype(np.uint8)
    got = vornak.fold_counts(vel, np.float32(NYQUIST), mask=mask, rays_wrap_around=np.bool_(True),
                             interval_splits=np.int64(3))
    np.testing.assert_array_equal(got.data, core(vel, mask.astype(bool)))


def test_import_needs_only_numpy_and_optional_parts_name_their_extra():
    # Block every optional dependency: importing vornak and the array API must still work.
    script = textwrap.dedent(
        """
        import sys
        class Block:
            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] in {"xarray", "xradar", "matplotlib", "dask", "distributed", "tqdm", "netCDF4", "h5py"}:
                    raise ImportError("blocked " + name)
        sys.meta_path.insert(0, Block())
        import numpy as np, vornak
        print(vornak.fold_counts(np.array([[8.0, 9.0, -9.0, -8.0]]), 10.0).tolist())
        try:
            vornak.dealias_sweep(None)
        except ImportError as exc:
            print(exc)
        """
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0] == "[[-1, -1, 0, 0]]"
    assert lines[1].startswith("vornak: ") and "pip install 'vornak[io]'" in lines[1]
