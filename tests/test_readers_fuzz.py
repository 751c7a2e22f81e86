"""The header readers on hostile bytes: truncated, bit-flipped and spliced
radar files and random bytes end in a result or a RadarFileError naming the
file, within a time bound and without allocating beyond what the file holds.

Brief by default; VORNAK_FUZZ_EXAMPLES sets the examples per format
(`make fuzz-readers`).
"""

import bz2
import gzip
import math
import os
import signal
import struct
import tempfile
import tracemalloc
from pathlib import Path

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import radar_headers as made
from vornak._errors import RadarFileError
from vornak._nyquist import nyquist_by_sweep
from vornak_sweeps import DATA, ODIM_FILE

EXAMPLES = int(os.environ.get("VORNAK_FUZZ_EXAMPLES", "25"))
SECONDS = 10.0  # per input; the largest seed reads in milliseconds
NAME = "fuzzed-input"


def _written(make, suffix):
    with tempfile.TemporaryDirectory() as folder:
        return Path(make(Path(folder) / f"seed{suffix}")).read_bytes()


def _seeds():
    """Small valid files of each format the readers take."""
    klix = gzip.decompress((DATA / "KLIX20050828_180149_sweeps0-1.gz").read_bytes())
    record = 2432  # message 1 records; the two cuts start at records 117 and 484
    klix = klix[:24] + klix[24 + 117 * record:24 + 127 * record] + klix[24 + 484 * record:24 + 494 * record]
    seeds = {
        "nexradlevel2": [made.nexrad_volume([22.56, 31.08]), klix],
        "uf": [made.uf_volume([12.34, 25.0], rays=4)],
        "iris": [(DATA / "SUR210819000227_RAWKPJV_records0-2.bin").read_bytes()],
        "rainbow": [made.rainbow_volume([{"highprf": 1000, "stagger": "None"}, {"stagger": "3/4", "lowprf": 750}])],
        "furuno": [made.furuno_scnx(1595)],
    }
    try:  # the formats read through h5py (netCDF-4 among them), where it is installed
        import h5py  # noqa: F401
        import netCDF4  # noqa: F401
    except ImportError:
        return seeds
    seeds["odim"] = [ODIM_FILE.read_bytes()]
    seeds["gamic"] = [_written(lambda p: made.gamic_file(p, [{"PRF": 1000.0, "unfolding": "None"}]), ".h5")]
    seeds["cfradial1"] = [
        _written(lambda p: made.cfradial1_file(p, [8.25, 10.0], fmt=fmt, unlimited=fmt != "NETCDF4"), ".nc")
        for fmt in ("NETCDF4", "NETCDF3_CLASSIC", "NETCDF3_64BIT_OFFSET")]
    seeds["netcdf"] = [_written(lambda p: made.arm_file(p, "5.96 m/s"), ".nc")]
    return seeds


SEEDS = _seeds()
ALL = [seed for group in SEEDS.values() for seed in group]


@st.composite
def hostile(draw, engine):
    seed = draw(st.sampled_from(SEEDS[engine]))
    kind = draw(st.sampled_from(["truncated", "flipped", "spliced", "random", "other format"]))
    if kind == "truncated":
        return seed[:draw(st.integers(0, len(seed)))]
    if kind == "flipped":  # mostly in the headers, where the readers look
        span = min(len(seed), draw(st.sampled_from([64, 1024, 16384, len(seed)])))
        data = bytearray(seed)
        for bit in draw(st.lists(st.integers(0, 8 * span - 1), min_size=1, max_size=24)):
            data[bit // 8] ^= 1 << (bit % 8)
        return bytes(data)
    if kind == "spliced":
        other = draw(st.sampled_from(ALL))
        return seed[:draw(st.integers(0, len(seed)))] + other[draw(st.integers(0, len(other))):]
    if kind == "random":  # random bytes, half of them behind the format's magic
        return seed[:draw(st.sampled_from([0, 4, 16, 64]))] + draw(st.binary(max_size=4096))
    return draw(st.sampled_from(ALL))


class _Hang(BaseException):
    """Raised by the timer: not an Exception, so no reader can swallow it."""


def _alarm(signum, frame):
    raise _Hang()


def check(data, engine, via_path):
    """The reader's outcome on `data` is a result or a RadarFileError naming the file."""
    folder = tempfile.TemporaryDirectory() if via_path else None
    if via_path:
        source = Path(folder.name) / "input"
        source.write_bytes(data)
    else:
        source = data
    previous = signal.signal(signal.SIGALRM, _alarm)
    signal.setitimer(signal.ITIMER_REAL, SECONDS)
    tracemalloc.start()
    try:
        values = nyquist_by_sweep(source, engine, name=NAME)
    except RadarFileError as exc:
        message = str(exc)
        assert message.startswith(f"{NAME}: cannot read the Nyquist velocity of this {engine} file: "), message
        assert message.isprintable() and len(message) < 300, message  # one line, none of the file's bytes
        return
    except _Hang:
        pytest.fail(f"{engine} reader still running after {SECONDS} s on {len(data)} bytes")
    finally:
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        if folder is not None:
            folder.cleanup()
    # one decompressed Level II record (16 MiB) is the most any reader holds beyond the file
    assert peak < (1 << 24) + 64 * len(data) + (4 << 20), f"{engine}: {peak} bytes for a {len(data)}-byte file"
    assert all(type(k) is int and type(v) is float and math.isfinite(v) and v > 0 for k, v in values.items())


@pytest.mark.parametrize("engine", sorted(SEEDS))
def test_hostile_bytes(engine):
    @settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize=EXAMPLES <= 25,
              suppress_health_check=list(HealthCheck))
    @given(data=hostile(engine), via_path=st.booleans())
    def run(data, via_path):
        check(data, engine, via_path)

    run()


def test_seeds_read_as_made():
    """The unmutated seeds give their values: the fuzzing starts from files the readers accept."""
    for engine, group in SEEDS.items():
        for seed in group:
            assert nyquist_by_sweep(seed, engine), engine


def test_compressed_record_that_expands_without_bound():
    bomb = bz2.compress(bytes(20 << 20))  # 20 MiB of zeros in a few hundred bytes
    data = b"AR2V0006.001" + bytes(12) + struct.pack(">i", len(bomb)) + bomb
    with pytest.raises(RadarFileError, match="expands beyond what a record holds"):
        nyquist_by_sweep(data, "nexradlevel2", name=NAME)


def test_netcdf_dimension_larger_than_the_file(tmp_path):
    h5py = pytest.importorskip("h5py")
    with h5py.File(tmp_path / "claims.nc", "w") as f:  # a dataset never written: only its shape is stored
        f.create_dataset("nyquist_velocity", shape=(1 << 30,), dtype="f8")
    with pytest.raises(RadarFileError, match="claims 1073741824 values in a file of"):
        nyquist_by_sweep(tmp_path / "claims.nc", "cfradial1")
