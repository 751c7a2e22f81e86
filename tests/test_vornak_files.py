"""The file path: time series of vertically pointing radars read as one image,
the command line's use of the machine's cores, and the output written group by
group beside the dealiasing."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
xradar = pytest.importorskip("xradar")

import vornak  # noqa: E402
from vornak import _files, _io, _runner, cli, names  # noqa: E402
from vornak._sniff import read_header  # noqa: E402

NYQUIST = 6.0


def fall_speeds(nrays, ngates):
    """Smooth true velocities over (time, range) reaching about three Nyquist
    velocities, and their folded measurement."""
    t, r = np.meshgrid(np.linspace(0, 1, nrays), np.linspace(0, 1, ngates), indexing="ij")
    true = (-16.0 * r + 2.0 * np.sin(6 * t)).astype(np.float32)
    folded = ((true + NYQUIST) % (2 * NYQUIST) - NYQUIST).astype(np.float32)
    return true, folded


def test_time_series_files_are_one_image(tmp_path):
    nrays, ngates = 40, 30
    true, folded = fall_speeds(nrays, ngates)
    times = np.datetime64("2020-02-05T10:00:00", "ns") + np.arange(nrays).astype("timedelta64[s]")
    # CfRadial 1 that lists every ray as a sweep of its own
    cfradial = xr.Dataset(
        {"VEL": (("time", "range"), folded, {"units": "m/s"}),
         "nyquist_velocity": (("time",), np.full(nrays, NYQUIST, np.float32)),
         "sweep_start_ray_index": (("sweep",), np.arange(nrays, dtype=np.int32)),
         "sweep_end_ray_index": (("sweep",), np.arange(nrays, dtype=np.int32)),
         "sweep_number": (("sweep",), np.arange(nrays, dtype=np.int32)),
         "fixed_angle": (("sweep",), np.full(nrays, 90.0, np.float32)),
         "sweep_mode": (("sweep",), np.array(["vertical_pointing"] * nrays)),
         "latitude": 36.6, "longitude": -97.5, "altitude": 300.0},
        coords={"time": times, "range": np.arange(ngates, dtype=np.float32) * 60.0,
                "azimuth": ("time", np.zeros(nrays, np.float32)), "elevation": ("time", np.full(nrays, 90.0, np.float32))},
        attrs={"Conventions": "CF/Radial instrument_parameters", "version": "1.4"},
    )
    cfradial.to_netcdf(tmp_path / "vpt.nc")
    # ARM netCDF: the Nyquist velocity as a global attribute with its unit
    arm = xr.Dataset({"mean_doppler_velocity_copol": (("time", "range"), folded, {"units": "m/s"})},
                     coords={"time": times, "range": np.arange(ngates, dtype=np.float32) * 30.0},
                     attrs={"nyquist_velocity": f"{NYQUIST} m/s"})
    arm.to_netcdf(tmp_path / "kazr.cdf")

    def engine(path):
        """The reader chosen from one read of the header, which must be the one xradar's readers' own tests choose."""
        header = read_header(str(path))
        assert header is not None
        chosen = _io._discover_engine(xradar, str(path), header)
        assert chosen == _io._discover_engine(xradar, str(path))
        return chosen

    chosen = {name: engine(tmp_path / name) for name in ("vpt.nc", "kazr.cdf")}
    for name, field in (("vpt.nc", "VEL"), ("kazr.cdf", "mean_doppler_velocity_copol")):
        tree = vornak.open_radar(tmp_path / name)
        assert [node.name for node in tree.children.values()] == ["sweep_0"]
        result = _files.process_file(tmp_path / name, tmp_path)
        assert result.sweeps == 1
        out = xr.open_datatree(result.output)["sweep_0"].to_dataset()
        dealiased = out[names.DEALIASED]
        assert dealiased.dims == ("time", "range") and dealiased.shape == (nrays, ngates)
        assert dealiased.attrs["nyquist_velocity"] == pytest.approx(NYQUIST)
        assert f"image of {nrays} rays" in dealiased.attrs["ray_grouping"]
        assert out[field].shape == (nrays, ngates)
        # one image: every ray's folds agree with its neighbours, up to the centring of the whole
        offset = np.round((dealiased.values - true) / (2 * NYQUIST))
        assert np.unique(offset).size == 1
    chosen["cfradial2"] = engine(_files.process_file(vornak.sample_volume(), tmp_path).output)
    chosen["odim"] = engine(Path(__file__).parent / "data" / "T_PAZE63_C_LFPW_20230420065446.h5")
    assert chosen == {"vpt.nc": "cfradial1", "kazr.cdf": None, "cfradial2": "cfradial2", "odim": "odim"}


def test_more_than_one_file_uses_the_workers_asked_for(monkeypatch, tmp_path):
    started = []
    real = _runner._run_in_worker_processes

    def run(paths, targets, options, on_outcome, on_sweep, workers=1):
        started.append(workers)
        return real(paths, targets, options, on_outcome, on_sweep, workers)

    monkeypatch.setattr(_runner, "_run_in_worker_processes", run)
    files = [tmp_path / "a.nc", tmp_path / "b.nc"]
    for path in files:
        path.write_bytes(open(vornak.sample_volume(), "rb").read())
    assert cli.main(["dealias", *map(str, files), "-o", str(tmp_path / "out"), "-q", "--workers", "2"]) == 0
    assert started == [2] and len(list((tmp_path / "out").glob("*.vornak.nc"))) == 2
    assert cli.main(["dealias", *map(str, files), "-o", str(tmp_path / "out"), "-q", "--force"]) == 0
    assert started[-1] == _runner.default_workers(2)  # by default, one worker per core
    assert cli.main(["dealias", *map(str, files), "-o", str(tmp_path / "out"), "-q", "--workers", "1", "--force"]) == 0
    assert started[-1] == 1
    if hasattr(os, "sched_setaffinity"):  # a batch job allowing one core gets one worker, whatever the machine has
        one_core = ("import os; os.sched_setaffinity(0, {min(os.sched_getaffinity(0))}); "
                    "from vornak import _runner; print(_runner.default_workers(4))")
        assert subprocess.run([sys.executable, "-c", one_core], capture_output=True, text=True).stdout.strip() == "1"


def test_gzipped_nexrad_opens_lazily_with_its_nyquist():
    pytest.importorskip("dask")
    from vornak_sweeps import DATA

    out = vornak.dealias_volume(vornak.open_radar(DATA / "KLIX20050828_180149_sweeps0-1.gz", chunks={}))
    dealiased = out["sweep_1"][names.DEALIASED]
    assert dealiased.chunks is not None  # still lazy
    assert dealiased.attrs["nyquist_velocity"] == pytest.approx(25.37)
    assert np.isfinite(dealiased.values).any()


def test_written_folds_of_rays_out_of_time_order_pass_the_check(tmp_path):
    from vornak._settings import FileOptions
    from vornak_sweeps import DATA

    # xradar gives NEXRAD rays by azimuth; the CfRadial2 writer puts them by time
    result = _files.process_file(DATA / "KLIX20050828_180149_sweeps0-1.gz", tmp_path, FileOptions(keep_folds=True))
    sweep = xr.open_datatree(result.output)["sweep_1"].to_dataset()
    nyquist = sweep[names.DEALIASED].attrs[names.NYQUIST]
    unfolded = sweep.VRADH + 2 * nyquist * sweep[names.FOLDS]
    valid = np.isfinite(sweep[names.DEALIASED].values)
    assert np.count_nonzero(sweep[names.FOLDS].values[valid]) > 500  # folds to check, not zeros
    np.testing.assert_allclose(unfolded.values[valid], sweep[names.DEALIASED].values[valid], atol=1e-3)


def _netcdf_contents(path):
    """Every group of a netCDF file, in order: its dimensions, attributes and
    variables (type, dimensions, filters, chunks, attributes, raw values)."""
    netCDF4 = pytest.importorskip("netCDF4")

    def walk(group):
        group.set_auto_maskandscale(False)
        variables = {name: (str(v.dtype), v.dimensions, v.filters(), v.chunking(),
                            {k: _raw(v.getncattr(k)) for k in v.ncattrs()}, _raw(v[...]))
                     for name, v in group.variables.items()}
        yield group.path, {k: len(d) for k, d in group.dimensions.items()}, \
            {k: _raw(group.getncattr(k)) for k in group.ncattrs()}, variables
        for sub in group.groups.values():
            yield from walk(sub)

    with netCDF4.Dataset(path) as nc:
        return list(walk(nc))


def _raw(values):
    values = np.asarray(values)
    return (values.dtype.str, values.tobytes()) if values.dtype.kind in "fiub" else values.tolist()  # NaN equals NaN


@pytest.mark.parametrize("compression", [1, None])
def test_the_file_written_group_by_group_is_the_one_xradars_writer_writes(tmp_path, compression):
    from vornak._writer import GroupWriter
    from vornak_sweeps import DATA

    tree = vornak.dealias_volume(vornak.open_radar(DATA / "KLIX20050828_180149_sweeps0-1.gz"), keep_folds=True)
    _io.write_cfradial2(tree, tmp_path / "whole.nc", compression)
    with GroupWriter(tree, tmp_path / "groups.nc", compression) as writer:
        for node in reversed(list(tree.subtree)):  # handed over in any order, written in the tree's
            if node.path != "/":
                writer.put(node.path)
        writer.finish()
    assert _netcdf_contents(tmp_path / "groups.nc") == _netcdf_contents(tmp_path / "whole.nc")


class _DecodedInPython(xr.backends.BackendArray):
    """Values decoded when first read, in Python, as xradar's readers of binary formats give them;
    `fails`: a damaged record, found once `before` is set."""

    def __init__(self, values, fails=False, before=None):
        self.values, self.shape, self.dtype, self.fails, self.before = values, values.shape, values.dtype, fails, before

    def __getitem__(self, key):
        from xarray.core import indexing

        if self.fails:
            self.before.wait(10)
            raise EOFError("record 7 ends early")
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC, self.values.__getitem__)


def _read_in_python(monkeypatch, tmp_path, damaged=None):
    """A one-sweep file as a reader in Python gives it: moments decoded lazily, the rays not in time
    order (the scan began at the 100th), a packed field whose encoding needs its values; its path."""
    import threading

    from vornak._writer import GroupWriter
    from vornak_sweeps import sweep_dataset
    from xarray.core import indexing

    def open_volume(path, timings):
        timings.update(read=0.0, nyquist=0.0)
        sweep = sweep_dataset(seed=3)
        began = np.datetime64("2024-01-01T00:00:00", "ms")
        sweep = sweep.assign_coords(time=("azimuth", began + np.roll(np.arange(360), 100).astype("timedelta64[s]")))
        sweep["ZDR"] = (("azimuth", "range"), np.linspace(-2, 6, 360 * 120, dtype=np.float32).reshape(360, 120))
        sweep["CLASS"] = (("azimuth", "range"), np.arange(360 * 120, dtype=np.int16).reshape(360, 120) % 7)
        sweep["RHOHV"] = (sweep["ZDR"] / 8).where(sweep["azimuth"] > 5)
        sweep["RHOHV"].encoding = {"dtype": "int16", "scale_factor": 0.001}  # packed, no fill value: NaN unpacks it
        for name, var in sweep.data_vars.items():
            if var.ndim == 2:
                array = _DecodedInPython(var.values, name == damaged, damaged and waiting)
                sweep[name] = xr.Variable(var.dims, indexing.LazilyIndexedArray(array), var.attrs, var.encoding)
        root = xr.Dataset({"latitude": 50.0, "longitude": 8.0, "altitude": 100.0}, attrs={"history": ""})
        return xr.DataTree.from_dict({"/": root, "/sweep_0": sweep}), "iris"

    stream, take, waiting = GroupWriter.stream, GroupWriter._take, threading.Event()
    streamed = []
    monkeypatch.setattr(GroupWriter, "stream", lambda *args: streamed.append(stream(*args)) or streamed[-1])
    monkeypatch.setattr(GroupWriter, "_take", lambda writer, key: (waiting.set() if key[1:] == (damaged,) else None)
                        or take(writer, key))
    monkeypatch.setattr(_io, "open_volume", open_volume)
    path = tmp_path / "sweep.RAW"
    path.write_bytes(b"")
    return path, streamed, waiting


@pytest.mark.parametrize("keep_folds", [False, True])
def test_a_sweep_written_moment_by_moment_is_the_file_written_at_once(tmp_path, monkeypatch, keep_folds):
    # each moment goes to the writer as it is decoded, the dealiased fields last: none may be lost,
    # written twice or land on the wrong rays
    from vornak._settings import FileOptions

    path, streamed, _ = _read_in_python(monkeypatch, tmp_path)
    by_moment = _files.process_file(path, tmp_path / "by_moment", FileOptions(keep_folds=keep_folds)).output
    at_once = _files.process_file(path, tmp_path / "at_once", FileOptions(keep_folds=keep_folds), write_beside=False)
    assert len(streamed) == 1 and streamed[0] is not None
    by_moment, at_once = _netcdf_contents(by_moment), _netcdf_contents(at_once.output)
    assert by_moment == at_once
    assert [list(variables) for *_, variables in by_moment] == [list(variables) for *_, variables in at_once]


def test_a_moment_failing_to_decode_while_the_writer_waits_for_it_leaves_nothing(tmp_path, monkeypatch):
    import threading

    from vornak._settings import FileOptions

    path, _, waiting = _read_in_python(monkeypatch, tmp_path, damaged="ZDR")
    with pytest.raises(vornak.RadarFileError, match=f"^{path}: the file's data cannot be decoded: EOFError: record 7 "
                                                    "ends early$"):
        _files.process_file(path, tmp_path / "out", FileOptions())
    assert waiting.is_set() and list((tmp_path / "out").iterdir()) == []
    assert not [t for t in threading.enumerate() if t.name == "vornak-writer"]


def test_a_sweep_failing_after_others_were_handed_to_the_writer_leaves_nothing(tmp_path, monkeypatch):
    import threading

    from vornak._settings import FileOptions
    from vornak_sweeps import volume_tree

    dealias = _files._dealias_sweep
    calls = []

    def second_fails(ds, field, *args, **kwargs):
        calls.append(field)
        if len(calls) == 2:
            raise ValueError("vornak: broken on purpose")
        return dealias(ds, field, *args, **kwargs)

    monkeypatch.setattr(_files, "_dealias_sweep", second_fails)
    tree = volume_tree(2)
    tree.dataset = xr.Dataset({"sweep_group_name": ("sweep", ["sweep_0", "sweep_1", "sweep_2"]),
                               "time_coverage_start": "2024-01-01T00:00:00Z", "latitude": 50.0, "longitude": 8.0,
                               "altitude": 100.0}, attrs={"history": ""})
    for node in tree.children.values():
        node.dataset = node.to_dataset().assign_coords(time=("azimuth", np.arange(360).astype("datetime64[s]")))
    path = tmp_path / "two_sweeps.nc"
    xradar.io.to_cfradial2(tree, str(path))
    with pytest.raises(vornak.RadarFileError, match=f"^{path}: sweep_1: broken on purpose$"):
        _files.process_file(path, tmp_path / "out", FileOptions(nyquist=10.0))
    assert list((tmp_path / "out").iterdir()) == []  # its folder made, the temporary file gone
    assert not [t for t in threading.enumerate() if t.name == "vornak-writer"]


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="open files listed by /proc")
def test_a_dealiased_file_is_closed_when_its_output_is_written(tmp_path):
    # a handle left for the collector crashed the netCDF library when the same file was opened again;
    # in a process of its own, so that no other test's handles count
    # read through the netCDF library, where the crash was; an ARM time series is read on from the header's handle
    arm = xr.Dataset({"mean_doppler_velocity_copol": (("time", "range"), fall_speeds(20, 10)[1], {"units": "m/s"})},
                     coords={"time": np.arange(20).astype("datetime64[s]"), "range": np.arange(10.0)},
                     attrs={"nyquist_velocity": f"{NYQUIST} m/s"})
    arm.to_netcdf(tmp_path / "kazr.cdf")
    inputs = [vornak.sample_volume(), str(tmp_path / "kazr.cdf")]
    script = (
        "import os, sys\n"
        "from vornak import _files\n"
        "inputs = {os.path.realpath(p) for p in sys.argv[2:]}\n"
        "for path in sys.argv[2:]:\n"
        "    _files.process_file(path, sys.argv[1])\n"
        "fds = [os.path.realpath(f'/proc/self/fd/{fd}') for fd in os.listdir('/proc/self/fd')]\n"
        "print(sorted(set(fds) & inputs))\n"
    )
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path), *inputs], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]", done.stdout
