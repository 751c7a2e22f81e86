"""The `vornak` command end to end: files in, CfRadial2 and pictures out, failures reported."""

import re
import shutil
import subprocess
import sys
import warnings

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
xd = pytest.importorskip("xradar")

import vornak
from vornak import cli, names
from vornak_sweeps import DATA, ODIM_FILE

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
    assert f"vornak: error: {corrupt}: not a radar file that xradar can read" in result.stderr
    assert "vornak: 1 of 2 files failed" in result.stderr
    assert f"{good} -> {out / 'T_PAZE63_C_LFPW_20230420065446.vornak.nc'} (1 sweep, 1 picture)" in result.stderr
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
    source = DATA / "KLIX20050828_180149_sweeps0-1.gz"
    result = run("dealias", source, "-o", tmp_path, "-q")
    assert result.returncode == 0, result.stderr
    tree = read_back(tmp_path / "KLIX20050828_180149_sweeps0-1.vornak.nc")
    assert names.DEALIASED not in tree["sweep_0"]  # the reflectivity-only cut
    sweep = tree["sweep_1"].to_dataset()
    result_var = sweep[names.DEALIASED]
    # Nyquist velocity from the message 1 headers, which xradar does not expose
    assert result_var.attrs["nyquist_velocity"] == pytest.approx(25.37)
    flags = np.isin(sweep.VRADH.values, [-64.5, -64.0])  # below threshold, range folded
    assert flags.mean() > 0.5
    np.testing.assert_array_equal(np.isnan(result_var.values), flags | np.isnan(sweep.VRADH.values))
    assert np.nanmax(np.abs(result_var.values)) > 25.37  # something was unfolded


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


def test_valid_files_exit_zero_and_nyquist_override(inputs, tmp_path):
    good, _ = inputs
    result = run("dealias", good, "-o", tmp_path, "--nyquist", "30", "-q")
    assert result.returncode == 0, result.stderr
    tree = read_back(tmp_path / "T_PAZE63_C_LFPW_20230420065446.vornak.nc")
    assert tree["sweep_0"][names.DEALIASED].attrs["nyquist_velocity"] == 30.0


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


def test_usage_errors(inputs, tmp_path):
    good, _ = inputs
    assert run("dealias", good).returncode == 2  # no -o
    result = run("dealias", good, "-o", tmp_path, "--nyquist", "-3")
    assert result.returncode == 2 and "expected a positive velocity in m/s, got '-3'" in result.stderr
    result = run("dealias", good, "-o", tmp_path, "--field", "VRADV", "-q")
    assert result.returncode == 1
    assert f"{good}: no sweep has a variable 'VRADV'; name it with --field" in result.stderr
    missing = tmp_path / "nothing_here.nc"
    result = run("dealias", missing, "-o", tmp_path, "-q")
    assert result.returncode == 1 and f"{missing}: cannot read the file" in result.stderr


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


def test_files_on_a_local_cluster(inputs, tmp_path):
    pytest.importorskip("distributed")
    good, corrupt = inputs
    result = run("dealias", good, corrupt, "-o", tmp_path, "--workers", "2", "-q")
    assert result.returncode == 1, result.stderr
    assert "not a radar file that xradar can read" in result.stderr and "Traceback" not in result.stderr
    assert "vornak: 1 of 2 files failed" in result.stderr
    tree = read_back(tmp_path / "T_PAZE63_C_LFPW_20230420065446.vornak.nc")
    assert np.isfinite(tree["sweep_0"][names.DEALIASED].values).sum() > 9000
