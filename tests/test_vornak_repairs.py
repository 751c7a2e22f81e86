"""The repairs after the exact fold counts: seam, speckle, noise."""

import warnings

import numpy as np
import pytest

import vornak
from vornak import _array, _noise, _repairs, _seam, _speckle, names
from vornak._jumps import dealiased_jumps, jump_counts
from vornak._settings import DEFAULT_SETTINGS, Settings
from vornak_sweeps import NYQUIST, sweep_dataset, wind
from reference import speckle as speckle_reference


def test_seam_moved_to_the_emptiest_boundary_and_folds_kept_in_ray_order():
    _, true, vel = wind(seed=1)
    vel[200:204] = np.nan  # echo-free rays: the boundary with the fewest contacts
    excluded = np.isnan(vel)
    exact = _array.sweep_folds(vel, excluded, NYQUIST, True, DEFAULT_SETTINGS)
    # what the greedy merge can leave: a sector a fold off from the first ray on
    broken = np.where(excluded, 0, exact + (np.arange(360) < 150)[:, None])
    folds, first = _seam.repair_seam(vel, excluded, broken, NYQUIST, DEFAULT_SETTINGS)
    assert first == 200
    rotated = _array.sweep_folds(np.roll(vel, -first, 0), np.roll(excluded, -first, 0), NYQUIST, True,
                                 DEFAULT_SETTINGS)
    np.testing.assert_array_equal(folds, np.roll(rotated, first, 0))
    np.testing.assert_allclose((vel + 2 * NYQUIST * folds)[~excluded], true[~excluded], atol=1e-3)

    # no seam line: the exact folds as they are; a sweep that does not wrap is never rotated
    again, first = _seam.fold_counts_seamed(vel, NYQUIST, rays_wrap_around=True)
    assert first == 0
    np.testing.assert_array_equal(again, exact)
    sector, _ = _repairs.repair(vel, excluded, broken, NYQUIST, False, Settings(speckle_repair=False))
    np.testing.assert_array_equal(sector, broken)


def test_compiled_seam_jumps_count_what_numpy_counts_on_the_dealiased_sweep():
    rng = np.random.default_rng(3)
    vel = rng.uniform(-NYQUIST, NYQUIST, (40, 30)).astype(np.float32)
    vel[rng.random(vel.shape) < 0.1] = np.nan
    excluded = np.isnan(vel) | (rng.random(vel.shape) < 0.1)
    vel[rng.random(vel.shape) < 0.05] = np.inf  # not excluded: a jump to every finite neighbour, no pair
    folds = rng.integers(-2, 3, vel.shape).astype(np.int32)
    dealiased = np.where(excluded, np.nan, _array.unfold(vel, folds, NYQUIST))
    with np.errstate(invalid="ignore"):
        across = np.abs(np.diff(dealiased.astype(np.float64), axis=0))
    for wrap in (True, False):
        kinds = dealiased_jumps(vel, folds.astype(np.int32 if wrap else np.int64), excluded, NYQUIST, wrap)
        assert tuple(map(sum, zip(*kinds))) == jump_counts(dealiased, NYQUIST, wrap)
        assert kinds[1] == (np.count_nonzero(across > NYQUIST), np.count_nonzero(np.isfinite(across)))
        assert (kinds[2] == (0, 0)) != wrap


def test_speckle_repair_changes_only_scattered_groups_against_their_like_surroundings():
    pytest.importorskip("scipy")
    rng = np.random.default_rng(5)
    nyquist = 8.0
    vel = np.full((200, 200), np.nan, np.float32)
    vel[:100, :100] = -4.0 + rng.normal(0, 0.3, (100, 100))  # solid echo at +12 m/s, one fold up
    speckle = rng.random((100, 200)) < 0.3
    vel[100:][speckle] = rng.normal(0, 0.3, speckle.sum())  # clutter speckle near 0 m/s
    excluded = np.isnan(vel)
    labels, _ = speckle_reference.scattered_groups(~excluded, True)
    assert (labels[:100, :100][1:-1, 1:-1] == 0).all()  # solid echo is no scattered group
    folds = np.zeros(vel.shape, np.int32)
    folds[:100, :100] = 1
    # a fold spread into the speckle, whole groups at a time as the merging does it
    raised = np.isin(labels, np.unique(labels[120:136, 120:150])) & (labels > 0)
    folds[raised] = 1

    repaired, changed = _speckle.speckle_folds(vel, folds, nyquist, excluded, True)
    np.testing.assert_array_equal(repaired[raised], 0)
    np.testing.assert_array_equal(repaired[~raised], folds[~raised])  # the solid echo and the rest untouched
    assert changed == raised.sum()
    # the folds put back where they are, whatever the array's memory order
    np.testing.assert_array_equal(_speckle.speckle_folds(vel, np.asfortranarray(folds), nyquist, excluded, True)[0],
                                  repaired)

    # speckle that is all a fold up (echo at +16 m/s) keeps it: its like surroundings share it
    whole = np.where(excluded, 0, folds | (labels > 0))
    np.testing.assert_array_equal(_speckle.speckle_folds(vel, whole, nyquist, excluded, True)[0], whole)
    # groups at other velocities are never moved, whatever their surroundings
    moved = vel.copy()
    moved[100:][speckle] += 4.0
    np.testing.assert_array_equal(_speckle.speckle_folds(moved, folds, nyquist, excluded, True)[0], folds)


def test_compiled_speckle_repair_equals_the_whole_sweep_labelling():
    pytest.importorskip("scipy")
    rng = np.random.default_rng(11)
    nyquist = 8.0
    vel = np.full((120, 400), np.nan, np.float32)
    vel[30:90, :60] = -4.0 + rng.normal(0, 0.3, (60, 60))  # solid echo a fold up
    vel[60:, 290:] = rng.normal(0, 0.3, (60, 110))  # and solid echo a fold up at +16 m/s ...
    clutter = (rng.random(vel.shape) < 0.3) & np.isnan(vel)
    vel[clutter] = rng.normal(0, 0.4, clutter.sum())
    vel[85:95, 340:350] = np.nan
    vel[89:91, 344:346] = 0.1  # ... round an island
    excluded = np.isnan(vel)
    labels, _ = speckle_reference.scattered_groups(~excluded, True)
    folds = np.where(excluded, 0, (vel < -2) * 1).astype(np.int32)
    folds[60:, 290:][~excluded[60:, 290:]] = 1
    # raised among clutter at 0, and a band of it raised across the first and last ray, which its
    # like gates share only when the rays wrap around
    few = folds.copy()  # a few groups: their surroundings counted gate by gate, not the sweep's in blocks
    few[np.isin(labels, np.unique(labels[66:68, 90:94])) & (labels > 0)] = 1
    folds[np.isin(labels, np.unique(labels[60:75, 80:110])) & (labels > 0)] = 1
    band = np.zeros(vel.shape, bool)
    band[:20, 60:] = band[95:, 60:] = True
    folds[band & clutter] = 1
    # a clutter group a fold up and another kept at it by like gates that share it (the kernel sees both)
    like = (labels > 0) & (np.abs(np.nan_to_num(vel)) < 0.4 * nyquist)
    want, _ = speckle_reference.speckle_folds(vel, folds, nyquist, excluded, True)
    assert (like & (folds != 0) & (want == 0)).any() and (like & (want != 0)).any()
    sample = vornak.sample_sweep()
    order = np.argsort(sample["azimuth"], kind="stable")
    demo = np.ascontiguousarray(sample["velocity"][order], dtype=np.float32)
    demo_nyquist = float(sample["nyquist"])
    demo_folds = _array.sweep_folds(demo, np.isnan(demo), demo_nyquist, True, DEFAULT_SETTINGS)
    for v, f, ny, wrap in ((vel, folds, nyquist, True), (vel, folds, nyquist, False), (vel, few, nyquist, True),
                           (vel.astype(np.float64), folds.astype(np.int64), nyquist, True),
                           (vel, folds.astype(np.int16), nyquist, True), (demo, demo_folds, demo_nyquist, True)):
        got, changed = _speckle.speckle_folds(v, f, ny, np.isnan(v), wrap)
        want, want_changed = speckle_reference.speckle_folds(v, f, ny, np.isnan(v), wrap)
        assert got.dtype == f.dtype and changed == want_changed > 0
        np.testing.assert_array_equal(got, want)
    # tiny sweeps, where every gate is at an edge and windows go round the whole circle
    for _ in range(300):
        shape = tuple(rng.integers(1, [12, 30]))
        v = rng.choice(np.float32([0.0, 1.0, -3.0, 3.2, 6.0, np.nan]), shape)
        f = rng.choice(np.int32([0, 0, 1, -1, 5]), shape)
        gone, wrap = rng.random(shape) < 0.2, bool(rng.integers(2))
        got, want = (ref(v, f, nyquist, gone, wrap) for ref in (_speckle.speckle_folds,
                                                                  speckle_reference.speckle_folds))
        np.testing.assert_array_equal(got[0], want[0])
        assert got[1] == want[1]
    # the sweep's arrays checked before the kernel reads them
    from vornak._speckle import _kernel

    with pytest.raises(ValueError, match="^vornak: .*same shape"):
        _kernel.speckle_folds(np.ascontiguousarray(excluded[:, :10]), vel, folds, nyquist, True, _speckle._about_zero)
    with pytest.raises(ValueError, match="^vornak: .*one about-zero flag per group"):
        _kernel.speckle_folds(excluded, vel, folds, nyquist, True, lambda s, c: np.zeros(0, bool))


def test_speckle_repair_by_default_clears_the_demo_patch_and_keeps_the_storm_beside_it():
    pytest.importorskip("scipy")
    sweep = vornak.sample_sweep()
    order = np.argsort(sweep["azimuth"], kind="stable")
    vel = np.ascontiguousarray(sweep["velocity"][order], dtype=np.float32)
    nyquist = float(sweep["nyquist"])
    excluded = ~np.isfinite(vel)
    exact = _array.sweep_folds(vel, excluded, nyquist, True, DEFAULT_SETTINGS)
    folds, report = _repairs.repair(vel, excluded, exact, nyquist, True, DEFAULT_SETTINGS)
    # south-east of the radar, 40 to 90 km: clutter near 0 m/s raised to +16.5 m/s among the same clutter at 0
    box = ((sweep["azimuth"][order] >= 130) & (sweep["azimuth"][order] <= 175))[:, None] & (
        (sweep["range"] >= 40e3) & (sweep["range"] <= 90e3))[None, :]
    labels, _ = speckle_reference.scattered_groups(~excluded, True)
    clutter = box & (labels > 0) & (np.abs(np.nan_to_num(vel)) < 0.2 * nyquist)
    assert np.count_nonzero(clutter & (exact == 1)) > 250
    assert np.count_nonzero(clutter & (folds != 0)) == 0
    storm = box & (np.nan_to_num(vel) < -0.7 * nyquist) & (exact == 1)  # a real echo near +9 m/s
    assert np.count_nonzero(storm) > 50
    np.testing.assert_array_equal(folds[storm], 1)
    assert report["speckle_gates"] == np.count_nonzero(folds != exact)
    assert not np.array_equal(folds, exact)
    np.testing.assert_array_equal(_repairs.repair(vel, excluded, exact, nyquist, True,
                                                  Settings(speckle_repair=False))[0], exact)

    from vornak import cli  # the command line switches it off as it does the seam repair

    for flags, on in (([], True), (["--no-speckle-repair"], False), (["--speckle-repair"], True)):
        args = cli._parser().parse_args(["dealias", "x.nc", "-o", "out", *flags])
        assert cli._options(args, None).settings.speckle_repair is on


def noisy_sweep(seed=2):
    """A synthetic PPI that is weather in its first quarter and noise elsewhere,
    with a normalized coherent power that tells them apart."""
    ds = sweep_dataset(holes=False, seed=seed)
    rng = np.random.default_rng(seed)
    noise = np.zeros(ds.VRADH.shape, bool)
    noise[90:] = True
    vel = np.where(noise, rng.uniform(-NYQUIST, NYQUIST, noise.shape), ds.VRADH.values)
    ncp = np.where(noise, rng.uniform(0.0, 0.15, noise.shape), 0.9)
    return ds.assign(VRADH=(ds.VRADH.dims, vel), NCP=(ds.VRADH.dims, ncp)), noise


def test_the_sampled_noise_count_is_the_full_count_on_its_rays():
    rng = np.random.default_rng(3)
    vel = rng.uniform(-NYQUIST, NYQUIST, (8 * _noise.SAMPLE_STEP + 1, 50)).astype(np.float32)  # the last ray sampled
    vel[:, :25] = np.linspace(-3, 3, 25, dtype=np.float32)  # weather along the first gates of every ray
    vel[-1] = vel[0]  # alike across the seam: the sweep is less noisy when it wraps
    vel[::7, ::5] = np.nan
    rows = slice(None, None, _noise.SAMPLE_STEP)
    for wrap in (True, False):  # the first and the last ray face each other only when the sweep wraps
        noisy = _noise.noisy_gates(vel, NYQUIST, wrap)
        expected = np.count_nonzero(noisy[rows]) / np.count_nonzero(np.isfinite(vel[rows]))
        assert _noise.sampled_noisy_share(vel, NYQUIST, wrap) == pytest.approx(expected, abs=1e-12)
        filled = np.where(np.isnan(vel), np.float32(5.0), vel)  # excluded gates hold numbers, not NaN
        assert _noise.sampled_noisy_share(filled, NYQUIST, wrap, excluded=np.isnan(vel)) == pytest.approx(expected,
                                                                                                      abs=1e-12)


def test_noise_reported_and_masked_with_the_quality_field_clean_sweeps_left_alone():
    pytest.importorskip("xarray")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        clean = vornak.dealias_sweep(sweep_dataset())
    assert names.NOISE not in clean[names.DEALIASED].attrs

    ds, noise = noisy_sweep()
    with pytest.warns(RuntimeWarning, match="mostly noise.*NCP below 0.2 excluded"):
        out = vornak.dealias_sweep(ds)
    np.testing.assert_array_equal(np.isnan(out[names.DEALIASED].values), noise)
    assert "NCP below 0.2" in out[names.DEALIASED].attrs[names.NOISE]

    with pytest.warns(RuntimeWarning, match="--exclude-below NCP=0.2 removes it"):
        kept = vornak.dealias_sweep(ds, noise_mask=False)
    assert np.isfinite(kept[names.DEALIASED].values).all()
