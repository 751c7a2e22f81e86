"""The `vornak` command end to end: files in, CfRadial2 and pictures out, failures reported."""

import os
import re
import shutil
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
xd = pytest.importorskip("xradar")

import vornak
from vornak import cli, names
from vornak._files import _nothing_to_dealias, output_paths
from vornak_sweeps import DATA, ODIM_FILE, wind

PNG = b"\x89PNG\r\n\x1a\n"


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "vornak", *map(str, args)], capture_output=True, text=True,
                          timeout=300, cwd=cwd)


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("in")
    good = folder / ODIM_FILE.name
    shutil.copy(ODIM_FILE, good)
    corrupt = folder / "broken_volume.h5"
    corrupt.write_bytes(ODIM_FILE.read_bytes()[:3000])  # an HDF5 file cut short
    return good, corrupt


def read_back(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        assert xd.io.discover_engine(str(path)) == "cfradial2"
        return xd.open_datatree(str(path)).load()


def test_one_valid_and_one_corrupt_file(inputs, tmp_path):
    pytest.importorskip("matplotlib")
    good, corrupt = inputs
    out = tmp_path / "out"
    result = run("dealias", corrupt, good, "-o", out, "--plot", "--keep-folds")
    assert result.returncode == 1, result.stderr
    # redirected: lines, no progress bars; errors on stderr, what was done on stdout
    assert result.stderr == (f"vornak: error: {corrupt}: not a radar file that xradar can read (no reader "
                             "recognises its format); convert it to CfRadial or ODIM, or dealias its velocity "
                             "array with vornak.dealias\n")
    assert result.stdout == (f"{good} -> {out / 'T_PAZE63_C_LFPW_20230420065446.vornak.nc'} (1 sweep, 1 picture)\n"
                             f"vornak: 1 of 2 files failed; 1 dealiased into {out}\n")
    assert sorted(p.name for p in out.iterdir()) == ["T_PAZE63_C_LFPW_20230420065446.sweep_0.png",
                                                    "T_PAZE63_C_LFPW_20230420065446.vornak.nc"]
    png = out / "T_PAZE63_C_LFPW_20230420065446.sweep_0.png"
    assert png.read_bytes()[:8] == PNG and png.stat().st_size > 30_000

    tree = read_back(out / "T_PAZE63_C_LFPW_20230420065446.vornak.nc")
    sweep = tree["sweep_0"].to_dataset().sortby("azimuth")
    original = xd.open_datatree(str(good))["sweep_0"].to_dataset().sortby("azimuth")
    result_var = sweep[names.DEALIASED]
    assert result_var.attrs["standard_name"] == names.VELOCITY_STANDARD_NAME
    assert result_var.attrs["nyquist_velocity"] == pytest.approx(58.6052, abs=1e-3)
    moments = {name for name, var in original.data_vars.items() if "range" in var.dims}
    assert moments == {"DBZH", "DBTH", "VRADH"} and moments <= set(sweep.data_vars)  # the input's data are all there
    np.testing.assert_array_equal(sweep.VRADH.values, original.VRADH.values)
    folds = sweep[names.FOLDS].values
    valid = np.isfinite(result_var.values)
    assert 9000 < valid.sum() < 11000  # ODIM "undetect" gates (VRADH 67 m/s) are no velocities
    np.testing.assert_allclose((sweep.VRADH.values + folds * 2 * result_var.attrs["nyquist_velocity"])[valid],
                               result_var.values[valid], atol=1e-4)


def test_nexrad_level2_gzip(tmp_path):
    import gzip

    import vornak

    source = DATA / "KLIX20050828_180149_sweeps0-1.gz"
    # the same volume as real-time chunks, the first one holding the volume header
    volume = gzip.decompress(source.read_bytes())
    chunks = tmp_path / "KLIX_chunks"
    chunks.mkdir()
    cuts = [0, 24 + 300 * 2432, 24 + 700 * 2432, len(volume)]
    for number, (start, end) in enumerate(zip(cuts, cuts[1:])):
        (chunks / f"20050828-180149-{number + 1:03d}-{'SIE'[min(number, 2)]}").write_bytes(volume[start:end])
    result = run("dealias", source, chunks, "-o", tmp_path, "-q")
    assert result.returncode == 0, result.stderr
    tree = read_back(tmp_path / "KLIX20050828_180149_sweeps0-1.vornak.nc")
    xr.testing.assert_identical(tree, read_back(tmp_path / "KLIX_chunks.vornak.nc"))
    # the Python path: the same file opened as the command line does, the field detected the same way
    python = vornak.dealias_volume(vornak.open_radar(source))["sweep_1"].to_dataset()
    written = tree["sweep_1"].to_dataset()
    by_azimuth = [np.argsort(ds.azimuth.values) for ds in (python, written)]
    np.testing.assert_array_equal(python[names.DEALIASED].values[by_azimuth[0]],
                                  written[names.DEALIASED].values[by_azimuth[1]])
    assert python[names.DEALIASED].attrs.items() <= written[names.DEALIASED].attrs.items()
    assert names.DEALIASED not in tree["sweep_0"]  # the reflectivity-only cut
    sweep = tree["sweep_1"].to_dataset()
    result_var = sweep[names.DEALIASED]
    # Nyquist velocity from the message 1 headers, which xradar does not expose
    assert result_var.attrs["nyquist_velocity"] == pytest.approx(25.37)
    flags = np.isin(sweep.VRADH.values, [-64.5, -64.0])  # below threshold, range folded
    assert flags.mean() > 0.5
    np.testing.assert_array_equal(np.isnan(result_var.values), flags | np.isnan(sweep.VRADH.values))
    assert np.nanmax(np.abs(result_var.values)) > 25.37  # something was unfolded


def test_values_that_cannot_be_velocities_are_excluded_and_counted(tmp_path):
    netCDF4 = pytest.importorskip("netCDF4")
    source = Path(vornak.sample_volume())
    gates = (slice(35, 45), slice(15, 35))  # 200 gates of echo
    for name, codes in (("codes.nc", (-999.0, 1e20)), ("holes.nc", (-9999.0, -9999.0))):  # -9999: the _FillValue
        shutil.copy(source, tmp_path / name)
        with netCDF4.Dataset(tmp_path / name, "r+") as nc:
            vel = nc["velocity"][:]
            assert not np.ma.getmaskarray(vel)[gates].any()
            vel[gates] = codes[0]
            vel[40, 25] = codes[1]
            nc["velocity"][:] = vel
    # the file with codes first: a failure there used to stop the run
    result = run("dealias", tmp_path / "codes.nc", tmp_path / "holes.nc", "-o", tmp_path / "out", "--workers", "1")
    assert result.returncode == 0, result.stderr
    assert result.stderr == (f"vornak: warning: {tmp_path / 'codes.nc'}: sweep_0: 200 gates of velocity hold values "
                             "that cannot be velocities (fill values, missing-value codes or beyond 100 x the "
                             "Nyquist velocity); excluded\n")
    codes, holes = (read_back(tmp_path / "out" / f"{name}.vornak.nc")["sweep_0"][names.DEALIASED]
                    for name in ("codes", "holes"))
    assert codes.attrs[names.IMPLAUSIBLE_GATES] == 200 and names.IMPLAUSIBLE_GATES not in holes.attrs
    np.testing.assert_array_equal(codes.values, holes.values)  # as if those gates had no echo


def test_a_failure_inside_the_core_fails_its_file_only(inputs, tmp_path, monkeypatch):
    import _vornak
    from vornak import _array

    vel = np.zeros((10, 10), np.float32)
    vel[0, 0] = 1e20
    try:  # the core's own InternalFailure, which derives from BaseException
        _vornak.sweep_folds_py(vel, np.zeros(vel.shape, bool), 1.0, False, 3, 100, 100, True)
    except BaseException as exc:
        failure = exc
    assert _array.is_core_failure(failure) and not isinstance(failure, Exception)
    calls = []

    def failing_once(*args):
        calls.append(1)
        if len(calls) == 1:
            raise failure
        return _array.sweep_folds.__wrapped__(*args)

    failing_once.__wrapped__ = _array.sweep_folds
    monkeypatch.setattr(_array, "sweep_folds", failing_once)
    good, _ = inputs
    from vornak import _files

    # in-process, as a worker runs it: the failure is the file's, the next file goes on
    with pytest.raises(vornak.RadarFileError) as failed:
        _files.process_file(good, tmp_path / "out")
    assert str(failed.value) == (f"{good}: sweep_0: the dealiasing of this sweep failed ("
                                 "capacity overflow); check its velocities and its Nyquist velocity (58.6052 m/s)")
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").iterdir())
    assert Path(_files.process_file(good, tmp_path / "out").output).exists()


def test_cfradial1(tmp_path):
    pytest.importorskip("matplotlib")
    source = vornak.sample_volume()
    result = run("dealias", source, "-o", tmp_path, "-q", "--plot")
    assert result.returncode == 0, result.stderr
    sweep = read_back(tmp_path / "MLL2217907250U_003_gates0-160_cfradial1.vornak.nc")["sweep_0"].to_dataset()
    result_var = sweep[names.DEALIASED]
    assert result_var.attrs["source_field"] == "velocity" and result_var.attrs["nyquist_velocity"] == 8.25
    valid = np.isfinite(sweep.velocity.values)
    np.testing.assert_array_equal(np.isfinite(result_var.values), valid)
    folds = np.round((result_var.values[valid] - sweep.velocity.values[valid]) / 16.5)
    assert set(np.unique(folds)) <= {-2, -1, 0, 1, 2} and (folds != 0).mean() > 0.05
    assert (tmp_path / "MLL2217907250U_003_gates0-160_cfradial1.sweep_0.png").read_bytes()[:8] == PNG


def test_valid_files_exit_zero_nyquist_override_and_compression(inputs, tmp_path):
    good, _ = inputs
    result = run("dealias", good, "-o", tmp_path, "--nyquist", "30", "-q")
    assert result.returncode == 0, result.stderr
    written = tmp_path / "T_PAZE63_C_LFPW_20230420065446.vornak.nc"
    tree = read_back(written)
    assert tree["sweep_0"][names.DEALIASED].attrs["nyquist_velocity"] == 30.0
    assert run("dealias", good, "-o", tmp_path / "plain", "--nyquist", "30", "-q", "--no-compress").returncode == 0
    plain = tmp_path / "plain" / written.name
    assert written.stat().st_size < plain.stat().st_size / 2  # compressed by default, losslessly
    xr.testing.assert_identical(tree["sweep_0"].to_dataset(), read_back(plain)["sweep_0"].to_dataset())


def test_quality_threshold_excludes_gates(inputs, tmp_path):
    good, _ = inputs
    assert run("dealias", good, "-o", tmp_path / "all", "-q").returncode == 0
    result = run("dealias", good, "-o", tmp_path / "qc", "-q", "--exclude-below", "DBZH=15")
    assert result.returncode == 0, result.stderr
    every = read_back(tmp_path / "all" / "T_PAZE63_C_LFPW_20230420065446.vornak.nc")["sweep_0"].to_dataset()
    kept = read_back(tmp_path / "qc" / "T_PAZE63_C_LFPW_20230420065446.vornak.nc")["sweep_0"].to_dataset()
    weak = ~(kept.DBZH.values >= 15)
    assert weak.any() and np.isnan(kept[names.DEALIASED].values[weak]).all()
    assert 0 < np.isfinite(kept[names.DEALIASED].values).sum() < np.isfinite(every[names.DEALIASED].values).sum()
    result = run("dealias", good, "-o", tmp_path, "-q", "--exclude-below", "SNRH=3")
    assert result.returncode == 1
    assert f"{good}: sweep_0: --exclude-below names 'SNRH', which this sweep does not have" in result.stderr
    assert run("dealias", good, "-o", tmp_path, "--exclude-below", "SNRH").returncode == 2


def one_line(result):
    assert result.stderr.count("\n") == 1 and result.stderr.startswith("vornak: error: "), result.stderr
    return result.stderr


def test_usage_errors(inputs, tmp_path):
    good, corrupt = inputs
    assert run("dealias", good).returncode == 2  # no -o
    result = run("dealias", good, "-o", tmp_path, "--nyquist", "-3")
    assert result.returncode == 2 and "expected a positive velocity in m/s, got '-3'" in one_line(result)
    for bad in (["--interval-splits", "0"], ["--skip-along-ray", "-1"], ["--workers", "0"]):
        result = run("dealias", corrupt, "-o", tmp_path / "never", *bad)  # refused before the file is read
        assert result.returncode == 2 and bad[0] in one_line(result) and "broken" not in result.stderr
    result = run("dealias", good, "-o", tmp_path / "out", "--field", "VRADV", "-q")
    assert result.returncode == 1
    assert f"{good}: no sweep has a variable 'VRADV'; name the velocity with --field" in result.stderr
    result = run("dealias", good, "-o", tmp_path / "out", "--field", "DBZH")
    assert result.returncode == 1
    assert "'DBZH' is in 'dBZ', not a velocity in m s-1; name the velocity with --field, or pass --any-units" \
        in result.stderr
    assert not (tmp_path / "out").exists()  # every file failed: no output directory
    missing = tmp_path / "nothing_here.nc"
    result = run("dealias", missing, "-o", tmp_path, "-q")
    assert result.returncode == 1 and f"{missing}: cannot read the file" in result.stderr
    # the output directory is checked before any file is read
    (tmp_path / "a_file").write_text("")
    for target in ("a_file", "a_file/sub"):
        result = run("dealias", corrupt, "-o", tmp_path / target)
        assert result.returncode == 2 and "a_file is a file, not a directory" in one_line(result)
    if os.geteuid() != 0:  # root may write anywhere
        locked = tmp_path / "locked"
        locked.mkdir(mode=0o555)
        result = run("dealias", corrupt, "-o", locked / "out")
        assert result.returncode == 2 and f"cannot write into {locked}" in one_line(result)
    # a scheduler that is not there: one line, within seconds
    result = run("dealias", good, "-o", tmp_path / "out", "--scheduler", "tcp://127.0.0.1:9")
    assert result.returncode == 1 and "cannot reach the Dask scheduler at tcp://127.0.0.1:9" in one_line(result)


def test_a_truncated_nexrad_file_is_called_truncated(tmp_path):
    import gzip

    volume = gzip.decompress((DATA / "KLIX20050828_180149_sweeps0-1.gz").read_bytes())
    cut = tmp_path / "KLIX_cut"
    cut.write_bytes(volume[: 24 + 100 * 2432])  # within the first sweep
    result = run("dealias", cut, "-o", tmp_path / "out")
    assert result.returncode == 1
    assert "the file is truncated or still being written" in one_line(result) and "--field" not in result.stderr
    # a message-31 volume cut short: xradar drops the incomplete sweeps and finds none
    assert "no complete sweep" in _nothing_to_dealias("cut", xr.DataTree(), None)


def test_demo_prints_the_table_and_writes_the_picture(tmp_path):
    pytest.importorskip("matplotlib")
    result = run("demo", "-o", tmp_path / "demo.png")
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "MLL2217907250U.003.nc" in out and "Nyquist 8.25 m/s" in out
    rows = dict(re.split(r"\s{2,}", line.strip(), maxsplit=1) for line in out.splitlines()[1:] if line.startswith("  "))
    gates, valid = int(rows["gates"].replace(",", "")), int(rows["valid gates"].replace(",", ""))
    assert gates == 360 * 492 and 0 < valid < gates
    before = int(out.split("jumps > Nyquist, before")[1].split()[0].replace(",", ""))
    after = int(out.split("jumps > Nyquist, after")[1].split()[0].replace(",", ""))
    assert after < before / 2
    assert (tmp_path / "demo.png").read_bytes()[:8] == PNG


def test_output_names():
    assert cli.output_name("/data/KLIX20050828_180149.gz") == "KLIX20050828_180149.vornak.nc"
    assert cli.output_name("KLBB20160601_150025_V06") == "KLBB20160601_150025_V06.vornak.nc"
    assert cli.output_name("x/MLL2217907250U.003.nc") == "MLL2217907250U.003.vornak.nc"
    # one name in several directories: as many parent directories as tell them apart
    paths = ["/d/x/day/vol.h5", "/d/y/day/vol.h5", "/d/z/vol.h5", "/d/KLBB_V06", "/d/KLBB_V06"]
    assert {p: t.name for p, t in output_paths(paths, "out").items()} == {
        "/d/x/day/vol.h5": "x_day_vol.vornak.nc", "/d/y/day/vol.h5": "y_day_vol.vornak.nc",
        "/d/z/vol.h5": "z_vol.vornak.nc", "/d/KLBB_V06": "KLBB_V06.vornak.nc"}  # a path given twice: once
    with pytest.raises(ValueError, match="^vornak: /d/vol.gz and /d/vol.nc would both be written to out/vol.vornak.nc"):
        output_paths(["/d/vol.gz", "/d/vol.nc"], "out")


def test_files_in_two_worker_processes(inputs, tmp_path):
    good, corrupt = inputs
    same_name = tmp_path / "b" / good.name  # another volume of the same name: both kept
    same_name.parent.mkdir()
    shutil.copy(good, same_name)
    out = tmp_path / "out"
    result = run("dealias", good, corrupt, same_name, "-o", out, "--workers", "2", "-q")
    assert result.returncode == 1, result.stderr
    assert "not a radar file that xradar can read" in result.stderr and "Traceback" not in result.stderr
    assert "vornak: 1 of 3 files failed; 2 dealiased" in result.stdout
    written = sorted(p.name for p in out.iterdir())
    assert written == sorted([f"{good.parent.name}_{good.stem}.vornak.nc", f"b_{good.stem}.vornak.nc"])
    for name in written:
        tree = read_back(out / name)
        assert np.isfinite(tree["sweep_0"][names.DEALIASED].values).sum() > 9000


def test_both_plot_panels_share_one_colour_scale_with_the_nyquist_marked():
    pytest.importorskip("matplotlib")
    from vornak import _plot

    azimuth, true, folded = wind(nrays=90, ngates=40)
    fig = _plot.sweep_figure(folded, true, 10.0, azimuth=azimuth, elevation=np.full(90, 0.5), rng=250.0 * np.arange(40))
    panels = [ax for ax in fig.axes if ax.collections and ax.get_label() != "<colorbar>"]
    limits = {ax.collections[0].get_clim() for ax in panels}
    top = np.abs(true).max()
    assert len(panels) == 2 and len(limits) == 1
    low, high = limits.pop()
    assert low == -high and top <= high < top + 5  # one velocity, one colour: the scale of the dealiased field
    for bar in (ax for ax in fig.axes if ax.get_label() == "<colorbar>"):
        assert sorted(line.get_ydata()[0] for line in bar.lines) == [-10.0, 10.0]
