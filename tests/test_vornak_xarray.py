"""vornak.dealias_sweep / dealias_volume on xradar-shaped sweeps and on a real ODIM file."""

import warnings

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
xd = pytest.importorskip("xradar")

import vornak
from vornak import names
from vornak_sweeps import NYQUIST, ODIM_FILE, sweep_dataset, volume_tree, wind


def expected_for(ds, field="VRADH", nyquist=NYQUIST, wrap=True, **params):
    """The array API on the rays sorted by azimuth, put back in the dataset's order."""
    order = np.argsort(ds.azimuth.values % 360, kind="stable")
    vel = ds[field].values
    out = np.empty(vel.shape, np.float32)
    out[order] = vornak.dealias(vel[order], nyquist, rays_wrap_around=wrap, **params)
    return out


def test_sweep_result_attributes_and_values():
    ds = sweep_dataset()
    out = vornak.dealias_sweep(ds)
    assert set(out.data_vars) == set(ds.data_vars) | {names.DEALIASED}
    result = out[names.DEALIASED]
    assert result.dims == ds.VRADH.dims and result.dtype == np.float32
    np.testing.assert_array_equal(result.values, expected_for(ds))
    assert np.isnan(result.values[np.isnan(ds.VRADH.values)]).all()
    attrs = result.attrs
    assert attrs["standard_name"] == "radial_velocity_of_scatterers_away_from_instrument"
    assert attrs["units"] == "m s-1" and attrs["long_name"].startswith("Dealiased radial velocity")
    assert attrs["nyquist_velocity"] == NYQUIST and attrs["source_field"] == "VRADH"
    for part in ("nyquist_velocity=10 m/s", "rays_wrap_around=True", "interval_splits=3", "skip_between_rays=100",
                 "skip_along_ray=100", "centered=True", "of VRADH"):
        assert part in attrs["comment"]
    assert names.DEALIASED not in ds  # the input is left alone


def test_ray_order_round_trips():
    ds = sweep_dataset()
    perm = np.random.default_rng(3).permutation(ds.sizes["azimuth"])
    shuffled = ds.isel(azimuth=perm)
    a = vornak.dealias_sweep(ds, keep_folds=True)
    b = vornak.dealias_sweep(shuffled, keep_folds=True)
    np.testing.assert_array_equal(b[names.DEALIASED].values, a[names.DEALIASED].values[perm])
    np.testing.assert_array_equal(b[names.FOLDS].values, a[names.FOLDS].values[perm])
    np.testing.assert_array_equal(b.azimuth.values, shuffled.azimuth.values)
    # a sweep starting mid-way (as recorded) gives the same as the sorted one
    rolled = ds.roll(azimuth=97)
    np.testing.assert_array_equal(vornak.dealias_sweep(rolled)[names.DEALIASED].values,
                                  a[names.DEALIASED].values[np.roll(np.arange(ds.sizes["azimuth"]), 97)])


def test_fold_counts_kept_on_request_and_transposed_fields():
    ds = sweep_dataset()
    out = vornak.dealias_sweep(ds, keep_folds=True)
    folds = out[names.FOLDS]
    assert folds.dtype == np.int32 and (folds.values[np.isnan(ds.VRADH.values)] == 0).all()
    np.testing.assert_allclose(ds.VRADH.values + folds.values * 2 * NYQUIST, out[names.DEALIASED].values, atol=1e-5)
    flipped = ds.transpose("range", "azimuth")
    out_t = vornak.dealias_sweep(flipped)
    assert out_t[names.DEALIASED].dims == ("range", "azimuth")
    np.testing.assert_array_equal(out_t[names.DEALIASED].values.T, out[names.DEALIASED].values)


def test_nyquist_sources():
    ds = sweep_dataset(nyquist=None)
    with pytest.raises(ValueError, match="^vornak: the sweep carries no Nyquist velocity .* pass nyquist= in m/s"):
        vornak.dealias_sweep(ds)
    explicit = vornak.dealias_sweep(ds, nyquist=NYQUIST)
    np.testing.assert_array_equal(explicit[names.DEALIASED].values, expected_for(ds))
    per_ray = ds.assign(nyquist_velocity=("azimuth", np.full(ds.sizes["azimuth"], NYQUIST)))
    assert vornak.dealias_sweep(per_ray)[names.DEALIASED].attrs["nyquist_velocity"] == NYQUIST
    in_attrs = ds.copy()
    in_attrs["VRADH"].attrs["NI"] = 12.5
    assert vornak.dealias_sweep(in_attrs)[names.DEALIASED].attrs["nyquist_velocity"] == 12.5
    varying = per_ray.copy()
    varying["nyquist_velocity"].values[::2] = 16.0
    with pytest.raises(ValueError, match="varies between rays .10 to 16 m/s.*pass nyquist= explicitly"):
        vornak.dealias_sweep(varying)
    with pytest.raises(ValueError, match="nyquist must be a positive"):
        vornak.dealias_sweep(ds, nyquist=-3)


def test_wrap_around_follows_the_azimuth_coverage():
    full = vornak.dealias_sweep(sweep_dataset())
    assert "rays_wrap_around=True" in full[names.DEALIASED].attrs["comment"]
    sector = sweep_dataset(span=90.0)
    out = vornak.dealias_sweep(sector)
    assert "rays_wrap_around=False" in out[names.DEALIASED].attrs["comment"]
    np.testing.assert_array_equal(out[names.DEALIASED].values, expected_for(sector, wrap=False))
    forced = vornak.dealias_sweep(sector, rays_wrap_around=True)
    np.testing.assert_array_equal(forced[names.DEALIASED].values, expected_for(sector, wrap=True))


def test_rhi_rays_are_ordered_by_elevation():
    ds = sweep_dataset(nrays=60, holes=False)
    rhi = xr.Dataset(
        {"VEL": (("elevation", "range"), ds.VRADH.values[::-1]), "sweep_mode": ((), "rhi"), "nyquist_velocity": ((), NYQUIST)},
        coords={"elevation": ("elevation", np.linspace(60.0, 0.5, 60)), "azimuth": ("elevation", np.full(60, 184.0)),
                "range": ds.range},
    )
    out = vornak.dealias_sweep(rhi, field=None)
    assert "rays_wrap_around=False" in out[names.DEALIASED].attrs["comment"]
    expected = vornak.dealias(rhi.VEL.values[::-1], NYQUIST)[::-1]
    np.testing.assert_array_equal(out[names.DEALIASED].values, expected)


def test_mask_argument():
    ds = sweep_dataset()
    ds["quality_flag"] = ds.DBZH < 0
    ds["quality_flag"].values[:, :10] = True
    out = vornak.dealias_sweep(ds, mask="quality_flag")
    assert np.isnan(out[names.DEALIASED].values[:, :10]).all()
    same = vornak.dealias_sweep(ds, mask=ds["quality_flag"].values)
    np.testing.assert_array_equal(same[names.DEALIASED].values, out[names.DEALIASED].values)
    with pytest.raises(ValueError, match="no mask variable 'nope'"):
        vornak.dealias_sweep(ds, mask="nope")
    with pytest.raises(ValueError, match="mask shape"):
        vornak.dealias_sweep(ds, mask=np.zeros((3, 3), bool))


def test_flag_codes_that_readers_decode_as_numbers_are_excluded():
    ds = sweep_dataset(holes=False)
    vel = ds.VRADH.values.copy()
    # NEXRAD Level II as xradar decodes it: raw 0 "below threshold", raw 1 "range folded"
    nexrad = ds.copy()
    nexrad["VRADH"] = ds.VRADH.copy(data=np.round(vel * 2) / 2)
    nexrad.VRADH.values[:40, :30] = -64.5
    nexrad.VRADH.values[200:220, 60:] = -64.0
    nexrad.VRADH.encoding.update(dtype=np.dtype("uint8"), scale_factor=0.5, add_offset=-64.5)
    out = vornak.dealias_sweep(nexrad)[names.DEALIASED].values
    flags = np.zeros(vel.shape, bool)
    flags[:40, :30] = flags[200:220, 60:] = True
    np.testing.assert_array_equal(np.isnan(out), flags)
    np.testing.assert_array_equal(out, expected_for(nexrad.assign(VRADH=nexrad.VRADH.where(~flags))))
    # the same numbers without that packing are velocities
    nexrad.VRADH.encoding.update(add_offset=-60.0)
    assert not np.isnan(vornak.dealias_sweep(nexrad)[names.DEALIASED].values).any()
    # ODIM "undetect", named in raw units by the field's attributes
    odim = ds.copy()
    odim["VRADH"] = ds.VRADH.copy(data=np.where(flags, 67.0, vel))
    odim.VRADH.attrs["_Undetect"] = 254.0
    odim.VRADH.encoding.update(scale_factor=0.5, add_offset=-60.0)
    np.testing.assert_array_equal(np.isnan(vornak.dealias_sweep(odim)[names.DEALIASED].values), flags)


def test_excluded_gates_in_one_compiled_pass_compare_each_number_as_numpy_does():
    from vornak._xarray import _excluded_gates, _flag_codes, implausible_gates

    nyquist = 8.7  # its bound, 869.9999999999999, rounds up to float32's 870
    bound32 = np.float32(100 * nyquist)
    fill, undetect = -77.7, np.float64(254.0) * 0.1 - 12.7  # neither a float32 number
    picks = [0.0, 3.5, fill, np.float32(fill), undetect, np.float32(undetect), bound32, np.nextafter(bound32, 0),
             np.nextafter(bound32, np.inf), -9999.0, 100 * nyquist, np.nextafter(100 * nyquist, np.inf), np.nan]
    values = np.random.default_rng(3).choice(np.array(picks, dtype=np.float64), (40, 50))
    for dtype in (np.float32, np.float64):
        var = xr.DataArray(values.astype(dtype), dims=("azimuth", "range"), attrs={"_FillValue": fill,
                                                                                  "_Undetect": 254.0})
        var.encoding.update(scale_factor=0.1, add_offset=-12.7)
        implausible = implausible_gates(var.values, var, nyquist)
        vel, excluded, count = _excluded_gates(var.values, var, nyquist)
        np.testing.assert_array_equal(vel, var.values.astype(np.float32))
        np.testing.assert_array_equal(excluded, implausible | _flag_codes(var.values, var) | np.isnan(vel))
        assert count == np.count_nonzero(implausible) and excluded.any() and not excluded.all()


def test_values_that_cannot_be_velocities_never_reach_the_core(monkeypatch):
    ds = sweep_dataset(holes=False)
    clean = vornak.dealias_sweep(ds)
    assert names.IMPLAUSIBLE_GATES not in clean[names.DEALIASED].attrs
    bad = ds.copy(deep=True)
    codes = np.zeros(ds.VRADH.shape, bool)
    codes[100:110, 30:40] = True  # 100 gates, 0.2 % of the sweep
    bad.VRADH.values[codes] = -9999.0
    bad.VRADH.values[5, 5] = 9.96921e36  # netCDF's default fill
    codes[5, 5] = True
    with pytest.warns(UserWarning, match="^vornak: 101 gates of VRADH hold values that cannot be velocities"):
        out = vornak.dealias_sweep(bad)
    assert out[names.DEALIASED].attrs[names.IMPLAUSIBLE_GATES] == 101
    # as if those gates had no echo; before, the other gates of the sweep moved by whole folds
    np.testing.assert_array_equal(out[names.DEALIASED].values, expected_for(ds.assign(VRADH=ds.VRADH.where(~codes))))
    with pytest.warns(UserWarning):  # a fill value left undecoded in the field's attributes
        undecoded = bad.assign(VRADH=bad.VRADH.assign_attrs(_FillValue=99.0))  # within 100 x Nyquist
        undecoded.VRADH.values[codes] = 99.0
        assert np.isnan(vornak.dealias_sweep(undecoded)[names.DEALIASED].values[codes]).all()
    # the core giving up on a sweep is an ordinary error of that sweep
    from vornak import _array

    def core_failure(*args):
        class InternalFailure(BaseException):
            pass

        InternalFailure.__module__ = "_vornak"
        raise InternalFailure("capacity overflow")

    monkeypatch.setattr(_array, "sweep_folds", core_failure)
    with pytest.raises(RuntimeError, match=r"^vornak: the dealiasing of this sweep failed \(capacity overflow\)"):
        vornak.dealias_sweep(ds)


def test_sweep_errors_name_the_fix():
    ds = sweep_dataset(field="velocity")
    with pytest.raises(ValueError, match="has no variable 'VRADH'; this sweep's velocity looks like 'velocity': pass field='velocity'"):
        vornak.dealias_sweep(ds, "VRADH")
    assert names.DEALIASED in vornak.dealias_sweep(ds)  # detected, as the command line does
    with pytest.raises(ValueError, match="no radial-velocity variable found"):
        vornak.dealias_sweep(ds.drop_vars("velocity"), field=None)
    with pytest.raises(TypeError, match="for a whole volume .DataTree. use vornak.dealias_volume"):
        vornak.dealias_sweep(volume_tree(1))
    with pytest.raises(TypeError, match="for one sweep use vornak.dealias_sweep"):
        vornak.dealias_volume(ds)


def test_volume_dealiases_every_velocity_sweep():
    tree = volume_tree(3)
    out = vornak.dealias_volume(tree)
    for i in range(3):
        ds = tree[f"sweep_{i}"].to_dataset()
        np.testing.assert_array_equal(out[f"sweep_{i}"][names.DEALIASED].values, expected_for(ds))
    assert names.DEALIASED not in out["sweep_3"]  # reflectivity only: unchanged
    assert names.DEALIASED not in tree["sweep_0"]
    assert out.attrs["instrument_name"] == "SYNTH"
    with pytest.raises(ValueError, match="no sweep of the volume has a variable 'VRADV'"):
        vornak.dealias_volume(tree, field="VRADV")


def test_real_odim_file_read_with_xradar():
    from vornak import _io

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        plain = xd.open_datatree(str(ODIM_FILE))
    ds = plain["sweep_0"].to_dataset()
    # xradar leaves this file's Nyquist velocity (ODIM how/NI) out; vornak's reader adds it
    with pytest.raises(ValueError, match="carries no Nyquist velocity"):
        vornak.dealias_sweep(ds)
    tree, engine = _io.open_volume(ODIM_FILE)
    assert engine == "odim"
    sweep = tree["sweep_0"].to_dataset()
    assert float(sweep.nyquist_velocity) == pytest.approx(58.6052, abs=1e-3)

    out = vornak.dealias_sweep(sweep, keep_folds=True)
    result = out[names.DEALIASED]
    assert result.dims == sweep.VRADH.dims
    for key in ("units", "long_name", "standard_name", "comment"):
        assert key in result.attrs
    assert "rays_wrap_around=True" in result.attrs["comment"]
    # the "undetect" code (raw 254, decoded 67 m/s) marks gates without echo
    undetect = sweep.VRADH.values == 254 * 0.5 - 60
    assert sweep.VRADH.attrs["_Undetect"] == 254 and undetect.sum() > 70000
    valid = np.isfinite(sweep.VRADH.values) & ~undetect
    assert valid.sum() > 9000
    np.testing.assert_array_equal(np.isfinite(result.values), valid)
    masked = sweep.VRADH.where(~undetect)
    np.testing.assert_array_equal(result.values, expected_for(sweep.assign(VRADH=masked), nyquist=float(sweep.nyquist_velocity)))

    perm = np.random.default_rng(5).permutation(sweep.sizes["azimuth"])
    again = vornak.dealias_sweep(sweep.isel(azimuth=perm))
    np.testing.assert_array_equal(again[names.DEALIASED].values, result.values[perm])


def test_time_series_read_and_dealiased_as_the_command_line_does(tmp_path):
    """ARM-style netCDF: one (time, range) image, the ray grouping said in the result either way."""
    from vornak._files import process_file

    _, _, folded = wind(nrays=200, ngates=60, span=60.0)
    path = tmp_path / "sgpkazr.nc"
    xr.Dataset({"mean_doppler_velocity": (("time", "range"), folded, {"units": "m/s"})},
               coords={"time": np.arange(200.0), "range": 30.0 * np.arange(60)},
               attrs={"nyquist_velocity": "10 m/s"}).to_netcdf(path)
    python = vornak.dealias_volume(vornak.open_radar(path))["sweep_0"][names.DEALIASED]
    written = xr.open_datatree(process_file(path, tmp_path / "out").output)["sweep_0"][names.DEALIASED]
    assert python.attrs["ray_grouping"] == written.attrs["ray_grouping"]
    assert "one image of 200 rays" in python.attrs["ray_grouping"] and python.attrs["nyquist_velocity"] == NYQUIST
    np.testing.assert_array_equal(python.values, written.values)


def test_lazy_dask_sweep_is_one_block_and_equals_eager():
    pytest.importorskip("dask")
    ds = sweep_dataset().chunk({"azimuth": 90, "range": 40})
    out = vornak.dealias_sweep(ds, keep_folds=True)
    lazy = out[names.DEALIASED]
    assert lazy.chunks is not None and [len(c) for c in lazy.chunks] == [1, 1]
    eager = vornak.dealias_sweep(ds.load(), keep_folds=True)
    np.testing.assert_array_equal(lazy.values, eager[names.DEALIASED].values)
    np.testing.assert_array_equal(out[names.FOLDS].values, eager[names.FOLDS].values)
