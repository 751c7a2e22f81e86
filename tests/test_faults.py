"""Runs of many files under real faults: signals, killed workers, a lost
scheduler, a full disk, a wrong output. Each test makes the fault happen and
checks that no output is lost, torn or left half-written."""

import glob
import os
import shutil
import signal
import subprocess
import sys
import time
import warnings
from contextlib import nullcontext
from pathlib import Path

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
xd = pytest.importorskip("xradar")

import vornak
from vornak import _resume, names
from vornak._settings import FileOptions, Settings
from vornak_sweeps import ODIM_FILE

NYQUIST = 58.6052  # the ODIM file's own


def start(*args, **kwargs):
    """`vornak` in a session of its own, as a shell runs it (Ctrl-C reaches the whole group)."""
    return subprocess.Popen([sys.executable, "-m", "vornak", *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True, **kwargs)


def run(*args, **kwargs):
    proc = start(*args, **kwargs)
    out, err = proc.communicate(timeout=300)
    return proc.returncode, out + err


@pytest.fixture
def volumes(tmp_path):
    """Eight inputs (the ODIM volume under different names) and their outputs' folder."""
    folder = tmp_path / "in"
    folder.mkdir()
    paths = [folder / f"vol_{i:02d}.h5" for i in range(8)]
    for path in paths:
        shutil.copy(ODIM_FILE, path)
    return paths, tmp_path / "out"


def output_of(path, outdir):
    return outdir / (path.name[: -len(".h5")] + ".vornak.nc")


def assert_sound(output):
    """A complete output: it reads, and VRADDH is VRADH plus whole folds."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        sweep = xd.open_datatree(str(output))["sweep_0"].to_dataset().load()
    dealiased, velocity = sweep[names.DEALIASED].values, sweep.VRADH.values
    valid = np.isfinite(dealiased)
    assert valid.sum() > 9000
    folds = (dealiased[valid] - velocity[valid]) / (2 * NYQUIST)
    np.testing.assert_allclose(folds, np.rint(folds), atol=1e-4)


def no_parts(outdir):
    return not glob.glob(f"{outdir}/*.part")


def test_rerun_skips_what_is_done_and_redoes_what_changed(volumes):
    paths, out = volumes
    a, b = paths[:2]
    status, log = run("dealias", a, b, "-o", out, "--workers", "1", "-q")
    assert status == 0, log
    first = {p: os.stat(output_of(p, out)).st_mtime_ns for p in (a, b)}

    os.utime(a, ns=(time.time_ns(), time.time_ns()))  # a newer input
    status, log = run("dealias", a, b, "-o", out, "--workers", "1", "-q")
    assert status == 0, log
    assert f"{b} -> {output_of(b, out)} (done before, with the same input and options)" in log
    assert f"{a} -> {output_of(a, out)} (1 sweep)" in log
    assert os.stat(output_of(b, out)).st_mtime_ns == first[b] and os.stat(output_of(a, out)).st_mtime_ns > first[a]

    status, log = run("dealias", a, b, "-o", out, "--workers", "1", "-q", "--force")
    assert status == 0 and log.count("(1 sweep)") == 2, log

    # what each output records decides: options that change the data redo it, --plot needs its pictures
    output = output_of(b, out)
    assert _resume.is_done(b, output, FileOptions())
    assert not _resume.is_done(b, output, FileOptions(keep_folds=True))
    assert not _resume.is_done(b, output, FileOptions(settings=Settings(interval_splits=4)))
    assert not _resume.is_done(b, output, FileOptions(nyquist=30.0))
    assert not _resume.is_done(b, output, FileOptions(plot=True))
    assert not _resume.is_done(a, output, FileOptions())  # another input's output
    output.write_bytes(output.read_bytes()[:5000])  # torn by hand (vornak never leaves one)
    assert not _resume.is_done(b, output, FileOptions())


@pytest.mark.parametrize("signum, group, workers", [
    (signal.SIGINT, True, 1),  # Ctrl-C: the whole process group gets it
    (signal.SIGTERM, False, 1),  # kill: only the command
    (signal.SIGINT, True, 2),
])
def test_signal_while_writing_stops_the_run_cleanly(volumes, signum, group, workers):
    pytest.importorskip("distributed")
    paths, out = volumes
    proc = start("dealias", *paths, "-o", out, "--workers", workers, "-q")
    deadline = time.monotonic() + 120
    while no_parts(out) and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.002)
    assert not no_parts(out), "no output was being written"
    sent = time.monotonic()
    (os.killpg if group else os.kill)(proc.pid, signum)
    done, err = proc.communicate(timeout=30)
    assert time.monotonic() - sent < 3, "the run did not stop at once"
    assert proc.returncode == 128 + signum, err
    assert f"vornak: stopped by {signal.Signals(signum).name}" in err and "Traceback" not in err
    assert len(err.splitlines()) <= len(paths) + 2, err  # a line per finished file and the summary, nothing more
    assert no_parts(out)
    finished = [p for p in paths if f"{p} -> " in done]
    assert sorted(out.glob("*.nc")) == sorted(output_of(p, out) for p in finished)
    assert f"{len(finished)} of {len(paths)} files finished" in err
    for path in finished:
        assert_sound(output_of(path, out))

    if signum == signal.SIGINT and workers == 1:  # the rerun does the rest only
        status, log = run("dealias", *paths, "-o", out, "--workers", "1", "-q")
        assert status == 0 and log.count("(done before") == len(finished), log
        assert len(list(out.glob("*.nc"))) == len(paths) and no_parts(out)


# Loaded into every Python of the tests below (as sitecustomize): the file
# named crash_* kills its worker whenever it is checked after writing; vol_03 waits there once, its .part on disk, for the test to kill
# the worker.
FAULTS_PRELOAD = '''
import os, pathlib, signal, time
import vornak._files as files

marks = pathlib.Path(os.environ["VORNAK_TEST_FAULTS"])
real_check = getattr(files.check_output, "real", files.check_output)

def check_output(part, sweeps, source):
    name = pathlib.Path(source).name
    if name.startswith("crash"):
        os.kill(os.getpid(), signal.SIGKILL)
    mark = marks / "writing"
    if name == "vol_03.h5" and not mark.exists():
        mark.write_text(f"{os.getpid()} {part}")
        time.sleep(120)
    return real_check(part, sweeps, source)

check_output.real = real_check
files.check_output = check_output
'''


def faults_site(tmp_path):
    """The environment that loads FAULTS_PRELOAD into every Python started with it."""
    site = tmp_path / "site"
    site.mkdir()
    (site / "sitecustomize.py").write_text(FAULTS_PRELOAD)
    return dict(os.environ, VORNAK_TEST_FAULTS=str(tmp_path),
                PYTHONPATH=os.pathsep.join(filter(None, [str(site), os.environ.get("PYTHONPATH")])))


def test_killed_workers_of_a_run_of_two_lose_only_their_files(volumes, tmp_path):
    paths, out = volumes
    paths = paths[:6] + [paths[0].with_name("crash_vol.h5")]
    shutil.copy(ODIM_FILE, paths[-1])
    proc = start("dealias", *paths, "-o", out, "--workers", "2", "-q", env=faults_site(tmp_path))
    mark = tmp_path / "writing"
    deadline = time.monotonic() + 120
    while not mark.exists() and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.1)
    pid, part = mark.read_text().split()
    assert os.path.exists(part)  # killed in the middle of its file, the output half made
    os.kill(int(pid), signal.SIGKILL)
    done, err = proc.communicate(timeout=120)

    assert proc.returncode == 1, err
    lost = [paths[3], paths[-1]]
    for path in lost:
        assert f"vornak: error: {path}: the process dealiasing it died (killed by SIGKILL); the file was left out" in err
    assert "vornak: 2 of 7 files failed" in done and "Traceback" not in err
    assert len(err.splitlines()) == 2, err  # the failed files' lines, nothing else
    kept = [p for p in paths if p not in lost]
    for path in kept:  # every other file done once, by the workers left or started after
        assert done.count(f"{path} -> ") == 1
        assert_sound(output_of(path, out))
    assert sorted(out.iterdir()) == sorted(output_of(p, out) for p in kept)  # no .part, no other file


def test_a_file_that_kills_its_worker_process_is_reported_and_the_run_goes_on(volumes, tmp_path):
    paths, out = volumes
    crash = paths[0].with_name("crash_vol.h5")
    shutil.copy(ODIM_FILE, crash)
    status, log = run("dealias", paths[0], crash, paths[1], "-o", out, "--workers", "1", "-q", env=faults_site(tmp_path))
    assert status == 1, log
    assert f"vornak: error: {crash}: the process dealiasing it died (killed by SIGKILL); the file was left out" in log
    assert "vornak: 1 of 3 files failed" in log and "Traceback" not in log
    assert sorted(out.iterdir()) == sorted(output_of(p, out) for p in paths[:2])  # no .part of the crashed file
    for path in paths[:2]:
        assert_sound(output_of(path, out))


def free_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_scheduler_lost_keeps_finished_outputs_and_a_rerun_resumes(volumes, tmp_path):
    pytest.importorskip("distributed")
    paths, out = volumes
    address = f"tcp://127.0.0.1:{free_port()}"
    dask = [sys.executable, "-m", "distributed.cli.dask_scheduler"]
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    scheduler = subprocess.Popen([*dask, "--host", "127.0.0.1", "--port", address.rsplit(":", 1)[1],
                                  "--no-dashboard"], **quiet)
    workers = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", address, "--nworkers", "2",
                                "--nthreads", "1", "--no-dashboard"], **quiet)
    try:
        proc = start("dealias", *paths, "-o", out, "--scheduler", address, "-q")
        done = ""
        for line in proc.stdout:  # the scheduler goes once the first file is reported done
            done += line
            if " -> " in line:
                break
        scheduler.kill()
        rest, err = proc.communicate(timeout=60)
        done += rest
    finally:
        for p in (scheduler, workers):
            with pytest.raises(ProcessLookupError) if p.poll() is not None else nullcontext():
                os.killpg(p.pid, signal.SIGKILL)
            p.wait()
    assert proc.returncode == 1, err
    assert f"vornak: error: lost the connection to the Dask scheduler at {address}" in err
    assert "Traceback" not in err and len(err.splitlines()) <= len(paths) + 2, err
    finished = [p for p in paths if f"{p} -> " in done]
    assert 0 < len(finished) < len(paths)  # workers cut off mid-write may leave a .part: the rerun clears it
    for path in finished:
        assert_sound(output_of(path, out))

    status, log = run("dealias", *paths, "-o", out, "--workers", "1", "-q")
    assert status == 0 and log.count("(done before") >= len(finished) and no_parts(out), log
    for path in paths:
        assert_sound(output_of(path, out))


def _shift_one_gate(sweep):
    values = sweep["VRADDH"][:]
    i, j = np.argwhere(~np.ma.getmaskarray(values) & np.isfinite(np.ma.filled(values, np.nan)))[500]
    values[i, j] += 1.0  # off by a fraction of a fold
    sweep["VRADDH"][:] = values


def _drop_gates(sweep):
    values = np.ma.filled(sweep["VRADDH"][:], np.nan)
    values[np.isfinite(values).cumsum(axis=None).reshape(values.shape) <= 100] = np.nan
    sweep["VRADDH"][:] = values


def _miscount_folds(sweep):
    folds = sweep["VRADDH_FOLDS"][:]
    folds[100:110] += 1
    sweep["VRADDH_FOLDS"][:] = folds


@pytest.mark.parametrize("corrupt, keep_folds, problem", [
    (_shift_one_gate, False, "VRADDH - folds x 2 x nyquist differs from VRADH by up to 1 m/s at 1 gates"),
    (_drop_gates, False, "VRADDH is valid at"),
    (_miscount_folds, True, "VRADDH - folds x 2 x nyquist differs from VRADH"),
    (lambda sweep: sweep.renameVariable("VRADDH", "VRADDH_OLD"), False, "VRADDH is missing"),
])
def test_a_wrong_output_is_an_error_and_not_kept(tmp_path, monkeypatch, corrupt, keep_folds, problem):
    netCDF4 = pytest.importorskip("netCDF4")
    from vornak import _files
    from vornak._errors import RadarFileError
    from vornak._files import process_file

    check = _files.check_output

    def check_faulty_file(part, **kwargs):  # the file on disk goes wrong after it is written
        with netCDF4.Dataset(part, "a") as nc:
            corrupt(nc.groups["sweep_0"])
        check(part, **kwargs)

    monkeypatch.setattr(_files, "check_output", check_faulty_file)
    with pytest.raises(RadarFileError, match=f"^{ODIM_FILE}: the written output is wrong, so it was not kept: "
                                             f"sweep_0: {problem}"):
        process_file(ODIM_FILE, tmp_path, FileOptions(keep_folds=keep_folds))
    assert list(tmp_path.iterdir()) == []


@pytest.fixture
def small_disk(tmp_path):
    """A 600 kB tmpfs: room for one small output, not for two."""
    folder = tmp_path / "small_disk"
    folder.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=600k", "tmpfs", str(folder)], capture_output=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.decode().strip()}")
    yield folder
    subprocess.run(["umount", str(folder)], check=True)


def test_full_disk_fails_the_file_and_leaves_nothing_partial(small_disk, tmp_path):
    small = tmp_path / "MLL2217907250U_003_gates0-160_cfradial1.nc"  # a 430 kB output, written plain
    shutil.copy(vornak.sample_volume(), small)
    status, log = run("dealias", small, ODIM_FILE, "-o", small_disk, "--workers", "1", "-q", "--no-compress")
    assert status == 1, log
    assert (f"vornak: error: {ODIM_FILE}: {small_disk}/T_PAZE63_C_LFPW_20230420065446.vornak.nc: writing CfRadial2 "
            f"failed: no space left in {small_disk}") in log and "choose another -o" in log
    assert [p.name for p in small_disk.iterdir()] == ["MLL2217907250U_003_gates0-160_cfradial1.vornak.nc"]


# One process dealiasing the shared sample files over and over, as the
# worker of a long run does: resident memory after each file, and its time.
SOAK = """
import json, sys, time, warnings
from pathlib import Path
warnings.simplefilter("ignore")
from vornak._files import process_file

files, out, count = sorted(Path(sys.argv[1]).iterdir()), Path(sys.argv[2]), int(sys.argv[3])
for i in range(count):
    start = time.perf_counter()
    process_file(files[i % len(files)], out)
    seconds = time.perf_counter() - start
    rss = int(next(l for l in open("/proc/self/status") if l.startswith("VmRSS")).split()[1])
    print(json.dumps([i + 1, rss, seconds]), flush=True)
"""


@pytest.mark.soak
def test_two_hundred_files_in_one_process_keep_memory_and_time_flat(tmp_path):
    import json

    shared = Path(__file__).resolve().parents[1].parent / "shared" / "data" / "files"
    if not shared.is_dir():
        pytest.skip(f"the shared sample files are not at {shared}")
    result = subprocess.run([sys.executable, "-c", SOAK, str(shared), str(tmp_path), "200"], capture_output=True,
                            text=True, timeout=3600)
    assert result.returncode == 0, result.stderr[-2000:]
    records = [json.loads(line) for line in result.stdout.splitlines()]
    rss = {n: kb for n, kb, _ in records}
    seconds = {n: s for n, _, s in records}
    cycle = len(list(shared.iterdir()))  # the same files at the same place in each round
    early, late = range(20 - cycle + 1, 21), range(200 - cycle + 1, 201)
    peak_early, peak_late = max(rss[n] for n in early), max(rss[n] for n in late)
    time_early, time_late = sum(seconds[n] for n in early), sum(seconds[n] for n in late)
    print(f"resident memory {peak_early / 1024:.0f} MiB around file 20, {peak_late / 1024:.0f} MiB at file 200; "
          f"{time_early / cycle:.2f} s per file around file 20, {time_late / cycle:.2f} s at file 200")
    assert peak_late <= 1.10 * peak_early
    assert time_late <= 1.5 * time_early
