"""Anchoring: whole folds added after the exact fold counts, only where a reference is strong."""

import numpy as np
import pytest

import vornak
from vornak import _anchor

NYQUIST = 10.0
RANGES = 500.0 + 1000.0 * np.arange(100)
AZIMUTH = 0.5 + np.arange(360.0)


def profile(height=np.linspace(0.0, 12000.0, 25)):
    """A veering wind that strengthens with height: (height, u, v)."""
    return height, 8.0 + 2.0e-3 * height, -6.0 + 1.5e-3 * height


def true_sweep(elevation, prof=None):
    height, u, v = prof or profile()
    h = _anchor.gate_height(RANGES, elevation)
    az = np.radians(AZIMUTH)[:, None]
    east, north = np.interp(h, height, u)[None, :], np.interp(h, height, v)[None, :]
    return (east * np.sin(az) + north * np.cos(az)) * np.cos(np.radians(elevation))


def measured(elevation, excluded=None):
    """SweepInput of the true field folded at NYQUIST, with the exact fold counts."""
    true = true_sweep(elevation)
    vel = (true - 2 * NYQUIST * np.round(true / (2 * NYQUIST))).astype(np.float32)
    excluded = np.zeros(vel.shape, bool) if excluded is None else excluded
    vel[excluded] = np.nan
    folds = np.ma.getdata(vornak.fold_counts(vel, NYQUIST, mask=excluded, rays_wrap_around=True))
    sweep = _anchor.SweepInput(vel, folds, excluded, NYQUIST, AZIMUTH, elevation, RANGES, True)
    true_folds = np.where(excluded, 0, np.round((true - np.nan_to_num(vel)) / (2 * NYQUIST))).astype(np.int32)
    return sweep, true_folds


def offset(sweep, by, where=None):
    folds = sweep.folds.copy()
    where = ~sweep.excluded if where is None else where & ~sweep.excluded
    folds[where] += by
    return _anchor.SweepInput(sweep.velocity, folds, sweep.excluded, sweep.nyquist, sweep.azimuth,
                              sweep.elevation, sweep.ranges, sweep.rays_wrap_around)


def test_components_match_a_graph_search():
    rng = np.random.default_rng(3)
    for _ in range(150):
        rays, ngates = int(rng.integers(2, 10)), int(rng.integers(1, 25))
        excluded = rng.random((rays, ngates)) > rng.uniform(0.2, 0.9)
        if excluded.all():
            continue
        wrap, gap = bool(rng.integers(2)), int(rng.integers(0, 4))
        vel = rng.uniform(-NYQUIST, NYQUIST, (rays, ngates)).astype(np.float32)
        folds = rng.integers(-1, 2, (rays, ngates)).astype(np.int32)
        sweep = _anchor.SweepInput(vel, folds, excluded, NYQUIST, np.arange(rays) * 1.0, 0.5, np.arange(ngates) * 1.0, wrap)
        gates = _anchor._Gates(sweep)
        comp, count = _anchor.echo_components(gates, wrap, gap)
        # Straightforward union of every pair of joined gates.
        v = vel + folds * 2 * NYQUIST
        parent = {}

        def root(x):
            while parent.setdefault(x, x) != x:
                x = parent[x]
            return x

        valid = list(zip(*np.nonzero(~excluded)))
        for r, g in valid:
            root((r, g))
            later = [(r, g2) for g2 in range(g + 1, min(g + gap + 2, ngates)) if not excluded[r, g2]][:1]
            r2 = (r + 1) % rays if wrap else r + 1
            if r2 < rays and r2 != r and not excluded[r2, g]:
                later.append((r2, g))
            for other in later:
                if abs(v[r, g] - v[other]) <= NYQUIST:
                    parent[root((r, g))] = root(other)
        expected = [root(x) for x in valid]
        assert count == len(set(expected))
        assert len(set(zip(comp.tolist(), expected))) == count  # the same partition


def test_blocks_take_the_first_gate_with_echo_of_each_two_by_two():
    rng = np.random.default_rng(5)
    for _ in range(100):
        rays, ngates = int(rng.integers(1, 8)), int(rng.integers(1, 12))  # odd sizes leave half blocks
        excluded = rng.random((rays, ngates)) > rng.uniform(0.1, 0.9)
        vel = rng.uniform(-NYQUIST, NYQUIST, (rays, ngates))
        folds = rng.integers(-3, 4, (rays, ngates))
        sweep = _anchor.SweepInput(vel, folds, excluded, NYQUIST, np.arange(rays) * 1.0, 0.5, np.arange(ngates) * 1.0)
        blocks, (block_ray, block_gate) = _anchor._blocks(sweep)
        reach = max(np.flatnonzero(~excluded.all(axis=0)), default=0) + 1
        assert blocks.excluded.shape == ((rays + 1) // 2, (reach + 1) // 2)
        for (br, bg), empty in np.ndenumerate(blocks.excluded):
            first = [(r, g) for r in (2 * br, 2 * br + 1) for g in (2 * bg, 2 * bg + 1)
                     if r < rays and g < reach and not excluded[r, g]][:1]
            assert empty == (not first)
            if first:
                assert (blocks.velocity[br, bg], blocks.folds[br, bg]) == (np.float32(vel[first[0]]), folds[first[0]])
        # the blocks' gate vectors made in the same call are those made from the blocks afterwards
        lazy, together = _anchor._block_gates(sweep, _anchor._kernel_arrays(sweep))
        after = _anchor._Gates(blocks, (block_ray, block_gate))
        for name in ("ray", "gate", "flat", "folds", "dealiased", "where"):
            mine, theirs = getattr(together, name), getattr(after, name)
            assert mine.dtype == theirs.dtype and np.array_equal(mine, theirs, equal_nan=True), name
        # and the blocks' sweep, its grids made only when read, is the same sweep
        assert together.shape == lazy.shape == blocks.excluded.shape
        for name in ("velocity", "folds", "excluded", "azimuth", "ranges"):
            assert np.array_equal(getattr(lazy, name), getattr(blocks, name)), name
        assert np.array_equal(np.column_stack([block_ray, block_gate]), np.argwhere(~blocks.excluded))


def test_whole_sweep_offsets_are_corrected_by_each_reference():
    sweeps = [measured(e) for e in (0.5, 1.5, 2.5)]
    for (sweep, truth) in sweeps:
        np.testing.assert_array_equal(sweep.folds, truth)  # the exact algorithm gets these right
    broken = [sweeps[0][0], offset(sweeps[1][0], 1), sweeps[2][0]]
    truths = [t for _, t in sweeps]

    by_profile = _anchor.anchor_volume(broken, profile=profile())
    by_volume = _anchor.anchor_volume(broken, volume=True, vad=False)
    by_vad = [_anchor.anchor_sweep(s) for s in broken]
    for results in (by_profile, by_volume, by_vad):
        for (folds, report), truth in zip(results, truths):
            np.testing.assert_array_equal(folds, truth)
        assert results[1][1].sweep_shift == -1 and results[1][1].gates_changed == truths[1].size
    assert by_profile[1][1].reference == "profile" and by_vad[1][1].reference == "vad"
    assert by_volume[1][1].reference == "sweeps at 0.50 and 2.50 deg"
    np.testing.assert_array_equal(broken[1].folds, truths[1] + 1)  # the input is left alone


def test_a_detached_echo_a_fold_off_moves_alone():
    excluded = np.zeros((360, 100), bool)
    excluded[:, 40:50] = True  # an echo-free ring: the outer echo is detached
    outer = np.zeros_like(excluded)
    outer[100:200, 50:] = True
    excluded[:100, 50:] = excluded[200:, 50:] = True  # the outer echo is one band of rays
    sweeps = [measured(e, excluded) for e in (0.5, 1.5)]
    # the upper sweep's outer echo a fold up (so the lower sweep, less folded, is trusted first)
    broken = [sweeps[0][0], offset(sweeps[1][0], 1, outer)]
    for results in (_anchor.anchor_volume(broken, volume=True, vad=False),
                    _anchor.anchor_volume(broken, profile=profile())):
        np.testing.assert_array_equal(results[1][0], sweeps[1][1])
        report = results[1][1]
        assert (report.sweep_shift, report.components_shifted, report.gates_changed) == (0, 1, outer.sum())


def test_a_band_a_fold_off_in_every_sweep_alike_moves_by_the_volumes_own_wind():
    elevations = (0.5, 1.5, 3.0, 6.0, 10.0)
    inner = np.zeros((360, 100), bool)
    inner[:, :40] = True  # echo all round near the radar: the VAD rings
    band = np.zeros_like(inner)
    band[100:200, 50:] = True  # a detached low band, seen by the two lowest sweeps only
    sweeps = [measured(e, ~(inner | band) if e < 2 else ~inner) for e in elevations]
    broken = [offset(s, 1, band) if e < 2 else s for (s, _), e in zip(sweeps, elevations)]
    carried = _anchor.anchor_volume(broken, volume=True, vad=False)
    anchored = _anchor.anchor_volume(broken, volume=True, vad=True)
    for e, (_, truth), (kept, _), (folds, report) in zip(elevations, sweeps, carried, anchored):
        np.testing.assert_array_equal(folds, truth)
        if e < 2:  # the two sweeps agree with each other: only the wind can tell
            np.testing.assert_array_equal(kept[band] - truth[band], 1)
            assert report.reference.endswith(", then the volume's wind profile")
            assert (report.sweep_shift, report.components_shifted, report.gates_changed) == (0, 1, band.sum())


def test_a_weak_reference_keeps_the_fold():
    sweep, truth = measured(1.0)
    broken = offset(sweep, 1)
    height, u, v = profile()
    # co-located with nothing but the lowest gates
    folds, report = _anchor.anchor_sweep(broken, profile=(height[:2] * 1e-3, u[:2], v[:2]))
    np.testing.assert_array_equal(folds, broken.folds)
    assert report.gates_changed == 0
    # a reference that disagrees with itself: the truth at half the gates, a fold above it at the others
    gates = _anchor._Gates(broken)
    true_values = gates.dealiased - gates.span
    rng = np.random.default_rng(0)
    for share_right, moved in ((0.5, False), (0.9, True)):
        reference = true_values + gates.span * (rng.random(true_values.size) > share_right)
        shift, sweep_shift, _, compared = _anchor._agree(gates, reference, True)
        assert compared == gates.flat.size
        assert (sweep_shift, bool(np.all(shift == -1))) == ((-1, True) if moved else (0, False))
        if not moved:
            assert not shift.any()
    # echo in a quarter of the circle: no range ring is covered for a VAD fit
    sector = np.ones(sweep.excluded.shape, bool)
    sector[30:120] = False
    sweep, _ = measured(1.0, sector)
    folds, report = _anchor.anchor_sweep(offset(sweep, 1))
    np.testing.assert_array_equal(folds, offset(sweep, 1).folds)
    assert report.gates_changed == 0


def test_small_areas_move_to_the_echo_beside_them_on_strong_evidence_only():
    area = np.zeros((360, 100), bool)
    area[50, 30:33] = True  # three gates inside the echo
    lone = np.zeros_like(area)
    lone[200, 60] = True  # one gate in a hole, two gates of the echo within reach
    hole = np.zeros_like(area)
    hole[199:202, 58:63] = True
    hole[lone] = hole[199, 62] = hole[201, 62] = False
    across = np.zeros_like(area)
    across[[359, 0], 70] = True  # one area across the last and the first ray
    sweep, truth = measured(1.0, hole)
    folds, report = _anchor.anchor_sweep(offset(sweep, 1, area | lone | across))
    np.testing.assert_array_equal(folds[~lone], truth[~lone])
    assert folds[lone] == truth[lone] + 1  # two pairs: too weak
    assert (report.sweep_shift, report.nearby_components, report.nearby_gates, report.gates_changed) == (0, 2, 5, 5)
    assert "2 small echo areas (5 gates) moved to the fold of the echo beside them" in report.describe()
    # rays that do not wrap around: the area is two, each beside the echo on one side
    sweep.rays_wrap_around = False
    folds, report = _anchor.anchor_sweep(offset(sweep, 1, area | lone | across))
    np.testing.assert_array_equal(folds[~lone], truth[~lone])
    assert (report.nearby_components, report.nearby_gates) == (3, 5)
    # echo in a quarter of the circle: no VAD ring tells whether the echo beside the area is itself right
    sector, _ = measured(1.0, ~((np.arange(360) >= 30) & (np.arange(360) < 120))[:, None] & np.ones((1, 100), bool))
    off = offset(sector, 1, area)
    for nearby in (True, False):
        folds, report = _anchor.anchor_sweep(off, nearby=nearby)
        np.testing.assert_array_equal(folds, off.folds)
        assert report.gates_changed == 0


def test_dealias_sweep_moves_a_small_area_in_azimuth_order_and_says_so(monkeypatch):
    pytest.importorskip("xarray")
    from vornak_sweeps import sweep_dataset

    ds = sweep_dataset(holes=False)
    ds = ds.isel(azimuth=np.random.default_rng(1).permutation(ds.sizes["azimuth"]))  # rays out of order
    right = vornak.dealias_sweep(ds, reference="vad")["VRADDH"]
    assert right.attrs[vornak.names.ANCHOR_NEARBY] == 0
    exact = vornak._array.sweep_folds

    def one_area_off(vel, excluded, *args):  # in azimuth order: ray 100 is at 100.5 deg
        folds = exact(vel, excluded, *args)
        folds[100, 40:43] += 1
        return folds

    monkeypatch.setattr(vornak._array, "sweep_folds", one_area_off)
    moved = vornak.dealias_sweep(ds, reference="vad")["VRADDH"]
    np.testing.assert_array_equal(moved.values, right.values)
    assert moved.attrs[vornak.names.ANCHOR_NEARBY] == 3
    assert moved.attrs[vornak.names.ANCHOR].endswith("then 3 gates of small echo areas moved to the fold of the echo beside them")
    kept = vornak.dealias_sweep(ds, reference=None)["VRADDH"]
    assert np.count_nonzero(kept.values != right.values) == 3


def test_profile_errors_name_the_fix():
    sweep, _ = measured(1.0)
    with pytest.raises(ValueError, match="^vornak: the wind profile's height, u and v differ in length"):
        _anchor.anchor_sweep(sweep, profile=([0, 1000], [1, 2, 3], [1, 2]))
    with pytest.raises(ValueError, match="^vornak: the wind profile needs at least two heights"):
        _anchor.anchor_sweep(sweep, profile=([0.0], [1.0], [1.0]))
    with pytest.raises(TypeError, match="^vornak: a wind profile is"):
        _anchor.anchor_sweep(sweep, profile="sounding.csv")


def test_xarray_volume_anchoring_adds_whole_folds_and_says_so():
    pytest.importorskip("xarray")
    from vornak_sweeps import NYQUIST as SYNTH_NYQUIST
    from vornak_sweeps import sweep_dataset, volume_tree, wind

    tree = volume_tree(nsweeps=2)
    plain = vornak.dealias_volume(tree, anchor=None)
    assert vornak.names.ANCHOR not in plain["sweep_0"]["VRADDH"].attrs
    assert vornak.dealias_volume(tree)["sweep_0"]["VRADDH"].attrs[vornak.names.ANCHOR] == (
        "anchored by vad: sweep shift +0 folds")  # the default
    for anchored in (vornak.dealias_volume(tree, anchor="volume"), vornak.dealias_volume(tree, anchor="vad")):
        for i in range(2):
            new, old = anchored[f"sweep_{i}"]["VRADDH"], plain[f"sweep_{i}"]["VRADDH"]
            np.testing.assert_array_equal(np.isnan(new.values), np.isnan(old.values))
            steps = (new.values - old.values)[np.isfinite(old.values)] / (2 * SYNTH_NYQUIST)
            np.testing.assert_allclose(steps, np.round(steps), atol=1e-4)
            assert new.attrs[vornak.names.ANCHOR].startswith("anchored by")
            assert vornak.names.FOLDS not in anchored[f"sweep_{i}"]
    # One-sided echo (east of the radar, far out, all of it folded once): centring puts it a fold
    # low; the profile the field was made from puts it right.
    ds = sweep_dataset(holes=False)
    _, true, _ = wind()
    r = np.linspace(0.05, 1.0, ds.sizes["range"])
    east = (ds["azimuth"].values > 60) & (ds["azimuth"].values < 120)
    keep = east[:, None] & (r[None, :] > 0.6)
    ds["VRADH"] = ds["VRADH"].where(keep)
    prof = (_anchor.gate_height(ds["range"].values, 0.5), 28.0 * r, np.zeros(r.size))
    plain = vornak.dealias_sweep(ds)["VRADDH"].values
    moved = vornak.dealias_sweep(ds, reference=prof)["VRADDH"]
    np.testing.assert_allclose(plain[keep], true[keep] - 2 * SYNTH_NYQUIST, atol=1e-3)
    np.testing.assert_allclose(moved.values[keep], true[keep], atol=1e-3)
    assert moved.attrs[vornak.names.ANCHOR_SHIFT] == 1
    assert moved.attrs[vornak.names.ANCHOR].startswith("anchored by profile: sweep shift +1 folds")
    # the VAD fit has no ring covered here, so it keeps the folds; lazily too
    for sweep in (ds, ds.chunk({})):
        kept = vornak.dealias_sweep(sweep, reference="vad")["VRADDH"]
        np.testing.assert_allclose(kept.values, plain, atol=1e-6)
    with pytest.raises(ValueError, match="^vornak: anchor must be one of"):
        vornak.dealias_volume(tree, anchor="sounding")
    with pytest.raises(ValueError, match="^vornak: reference must be 'vad' or a wind profile"):
        vornak.dealias_sweep(ds, reference="volume")


def test_command_line_anchor_option(tmp_path):
    pytest.importorskip("xradar")
    import subprocess
    import sys

    import xarray as xr
    from vornak_sweeps import DATA

    source = DATA / "KLIX20050828_180149_sweeps0-1.gz"
    for option, said in (("volume", "anchored by vad: sweep shift +0 folds, 0 echo"),  # its one velocity sweep
                         ("none", None), ("vad", "anchored by vad: sweep shift +0 folds")):
        result = subprocess.run([sys.executable, "-m", "vornak", "dealias", str(source), "-o", str(tmp_path / option),
                                 "-q", "--anchor", option], capture_output=True, text=True, timeout=300)
        assert result.returncode == 0, result.stderr
        tree = xr.open_datatree(tmp_path / option / "KLIX20050828_180149_sweeps0-1.vornak.nc")
        attrs = tree["sweep_1"]["VRADDH"].attrs
        assert attrs[vornak.names.ANCHOR].startswith(said) if said else vornak.names.ANCHOR not in attrs, option
    bad = subprocess.run([sys.executable, "-m", "vornak", "dealias", str(source), "-o", str(tmp_path),
                          "--anchor", "sounding"], capture_output=True, text=True, timeout=300)
    assert bad.returncode == 2 and "--anchor: invalid choice: 'sounding'" in bad.stderr


def test_neighbouring_sweeps_give_their_nearest_ray_and_gate():
    """Against a straightforward nearest search (random azimuths: no ties)."""
    rng = np.random.default_rng(11)
    for _ in range(40):
        sweeps = []
        for _ in range(3):
            rays, ngates = int(rng.integers(1, 12)), int(rng.integers(1, 15))
            azimuth = rng.uniform(-30.0, 400.0, rays)  # unsorted, beyond 0 to 360 too
            ranges = np.sort(rng.uniform(0.0, 8000.0, ngates))
            excluded = rng.random((rays, ngates)) > 0.7
            vel = rng.uniform(-NYQUIST, NYQUIST, (rays, ngates)).astype(np.float32)
            folds = rng.integers(-1, 2, (rays, ngates)).astype(np.int32)
            sweeps.append(_anchor.SweepInput(vel, folds, excluded, NYQUIST, azimuth, rng.uniform(0.5, 5.0), ranges))
        own, *others = [_anchor._Anchored(_anchor._Gates(s), s) for s in sweeps]
        for near in (others[:1], others):
            expected = []
            for r, g in zip(own.gates.ray, own.gates.gate):
                values = []
                for o in near:
                    turn = np.abs((o.ray_azimuth - own.ray_azimuth[r] + 180.0) % 360.0 - 180.0)
                    ray, gate = int(np.argmin(turn)), int(np.argmin(np.abs(o.ground - own.ground[g])))
                    close = (turn[ray] <= 0.75 * max(o.spacing, own.spacing)
                             and abs(o.ground[gate] - own.ground[g]) <= 0.75 * max(o.gate_step, 1.0))
                    k = o.gates.where[ray * o.gates.shape[1] + gate] if close else -1
                    values.append(o.current[k] * np.float32(own.cos_el / o.cos_el) if k >= 0 else np.float32(np.nan))
                a, b = (values + [np.float32(np.nan)])[:2]
                if np.isnan(a) or np.isnan(b):
                    expected.append(b if np.isnan(a) else a)
                else:
                    expected.append(np.float32(0.5) * (a + b) if abs(a - b) <= NYQUIST else np.nan)
            np.testing.assert_array_equal(_anchor.volume_reference(own, near), np.array(expected, np.float32))


def test_vad_sums_and_whole_shift_kernels_match_numpy():
    # The ring sums as a float32 NumPy fit makes them (every 4th gate, rings
    # with echo in 7 of 8 sectors and 24 gates), from float64 velocities and
    # int64 folds; and the whole-sweep shift, narrowed to int32, at the valid gates only.
    rng = np.random.default_rng(5)
    sweep, _ = measured(1.0)
    excluded = rng.random(sweep.excluded.shape) < 0.3
    excluded[:200, 8:12] = True  # rings with echo in too few sectors
    velocity = sweep.velocity.astype(np.float64)
    folds = sweep.folds.astype(np.int64) + rng.integers(-1, 2, sweep.folds.shape)
    rings = _anchor.ray_sectors(sweep)
    normal, rhs = _anchor._kernel.vad_sums(excluded, velocity, folds, 20.0, rings + (4, 24, 7))
    sector, c, s = rings
    present = ~excluded[:, ::4]
    v = np.where(present, velocity[:, ::4].astype(np.float32) + folds[:, ::4].astype(np.float32) * np.float32(20.0), 0)
    w = np.stack([np.ones_like(c), c, s]).astype(np.float32)
    sums = np.einsum("kr,rg->gk", w.astype(np.float64), present.astype(np.float64))
    fitted = (np.stack([np.bincount(sector[present[:, g]], minlength=8) > 0 for g in range(present.shape[1])]).sum(1)
              >= 7) & (present.sum(0) >= 24)
    assert 0 < fitted.sum() < present.shape[1] and normal.shape == (fitted.sum(), 3, 3)
    np.testing.assert_allclose(normal[:, 0, :], sums[fitted], rtol=1e-6)
    np.testing.assert_allclose(rhs, np.einsum("kr,rg->gk", w.astype(np.float64), v.astype(np.float64))[fitted],
                               rtol=1e-5, atol=1e-3)
    folds[0, 0] = 2**32 + 7  # narrowed as NumPy's astype(int32) does
    shifted, changed = _anchor._kernel.shift_valid(excluded, folds, -2)
    expected = folds.astype(np.int32)
    expected[~excluded] -= 2
    np.testing.assert_array_equal(shifted, expected)
    assert shifted.dtype == np.int32 and changed == np.count_nonzero(~excluded)
    assert _anchor._kernel.shift_valid(excluded, folds, 0)[1] == 0


def test_volume_wide_geometry_gives_each_sweep_its_own_values():
    # Sweeps of unequal, odd ray and gate counts, azimuths past either end
    # of the turn (and -0), float32 ranges: the same bits as sweep by sweep.
    def sweep(azimuth, ranges, elevation):
        return _anchor.SweepInput(None, None, None, NYQUIST, azimuth, elevation, ranges)

    sweeps = [sweep(np.r_[-0.0, np.arange(1.0, 7.0) * 51.0], RANGES[:9].astype(np.float32), 0.5),
              sweep(np.array([-10.0, 359.9, 360.0, 725.5, 3.0]), RANGES[:4], 19.5),
              sweep(AZIMUTH[:6], RANGES, 3.1)]
    rays, whole, sizes = _anchor.volume_ray_sectors(sweeps)
    blocks = _anchor._block_rays(whole, sizes)
    for s, r, b, (h, g, c) in zip(sweeps, rays, blocks, _anchor.volume_geometry(sweeps)):
        for got, want in zip(r + b, _anchor.ray_sectors(s) + _anchor._sectors(np.asarray(s.azimuth)[::2])):
            assert got.tobytes() == want.tobytes()
        height = _anchor.gate_height(s.ranges, s.elevation)
        assert h.tobytes() == height.tobytes() and c == np.cos(np.radians(s.elevation))
        assert g.tobytes() == _anchor.ground_range(s.ranges, s.elevation, height).tobytes()
        assert _anchor._wrapped(np.asarray(s.azimuth), 360.0).tobytes() == np.mod(s.azimuth, 360.0).tobytes()


def test_kernels_refuse_malformed_input_and_keep_no_reference():
    import sys

    kernel = _anchor._kernel
    ray, gate = np.array([0, 0, 1]), np.array([0, 2, 1])
    dealiased = np.zeros(3, np.float32)
    split = np.array([20.0, 20.0, 0.0], np.float32)  # two gates a fold up, side by side: components are labelled
    calls = [
        (ValueError, "valid gates must lie inside", lambda: kernel.components(ray, gate + 5, dealiased, 2, 3, True, 4, 1.0)),
        (ValueError, "ray-major order", lambda: kernel.components(ray[::-1].copy(), gate, dealiased, 2, 3, True, 4, 1.0)),
        (TypeError, "'dealiased' as a C-contiguous 1-d array of float32",
         lambda: kernel.components(ray, gate, dealiased.astype(np.float64), 2, 3, True, 4, 1.0)),
        (ValueError, "one reference value per valid gate",
         lambda: kernel.agreement(np.zeros(2, np.float32), dealiased, 20.0, 10, 0.7, 4, 0.3, None)),
        (ValueError, "component number lies outside",
         lambda: kernel.agreement(split, dealiased, 20.0, 1, 1.0, 4, 0.3, lambda: (np.array([0, 0, 7]), 1))),
        (ValueError, "azimuth sector lies outside",
         lambda: kernel.ring_sums(((ray, gate, dealiased, np.array([0, 9]), np.ones(2), np.ones(2), 1, 10.0, None),),
                                  4, 24, 6, None)),
        (ValueError, "same shape", lambda: kernel.blocks(np.zeros((2, 3), bool), np.zeros((2, 2), np.float32),
                                                         np.zeros((2, 3), np.int32))),
        (ValueError, "same shape", lambda: kernel.vad_sums(np.zeros((2, 3), bool), np.zeros((2, 3), np.float32),
                                                           np.zeros((3, 3), np.int32), 20.0,
                                                           (np.zeros(2, np.int64), np.ones(2), np.ones(2), 4, 24, 7))),
        (ValueError, "same shape", lambda: kernel.shift_valid(np.zeros((2, 3), bool), np.zeros((2, 2), np.int32), 1)),
        (TypeError, "one or two neighbouring sweeps",
         lambda: kernel.colocated(ray, gate, np.zeros(2), np.zeros(3), 1.0, 1.0, 10.0, ())),
        (TypeError, "nearby echo rule is a tuple of 10",
         lambda: kernel.nearby_areas(np.zeros((2, 3), bool), np.zeros((2, 3), np.float32), np.zeros((2, 3), np.int32),
                                     20.0, True, 4, 10.0, (100, 20), (np.zeros(2, np.int64), np.ones(2), np.ones(2),
                                                                      4, 24, 7))),
    ]
    for error, said, call in calls:
        with pytest.raises(error, match=f"^vornak: .*{said}"):
            call()
    # the labelling callback's own error passes through
    with pytest.raises(ZeroDivisionError):
        kernel.agreement(split, dealiased, 20.0, 1, 1.0, 4, 0.3, lambda: 1 / 0)
    sweep, _ = measured(1.0)
    arrays = (sweep.excluded, sweep.velocity, sweep.folds)
    before = [sys.getrefcount(a) for a in arrays]
    for _ in range(50):
        blocks, (block_ray, block_gate) = _anchor._blocks(sweep)
        kernel.unblock(*arrays[::2], block_ray, block_gate, np.ones(block_ray.size, np.int64),
                       np.empty(sweep.folds.shape, np.int32))
    assert [sys.getrefcount(a) for a in arrays] == before


def test_the_blocks_gate_vectors_stay_read_only_and_are_still_held_to_smaller_sweeps():
    # The kernels skip checking the gate vectors the blocks come with: sound
    # only while no one can change them, and only within the blocks' bounds.
    kernel = _anchor._kernel
    sweep, _ = measured(1.0)
    blocks, (ray, gate) = _anchor._blocks(sweep)
    rays, ngates = blocks.excluded.shape
    for a in (ray, gate):
        with pytest.raises(ValueError):
            a.flags.writeable = True
        with pytest.raises(ValueError):
            a.view().flags.writeable = True
    assert kernel.along_rays(np.ones(ngates), np.ones(ngates), np.ones(rays), np.ones(rays), ray, gate).size == ray.size
    for few_rays, few_gates in ((rays - 1, ngates), (rays, ngates - 1)):
        with pytest.raises(ValueError, match="^vornak: .*inside the sweep"):
            kernel.along_rays(np.ones(few_gates), np.ones(few_gates), np.ones(few_rays), np.ones(few_rays), ray, gate)
