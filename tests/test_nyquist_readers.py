"""The Nyquist velocity read from each format's own header, at its scale."""

import gzip
import warnings

import pytest

import radar_headers as made
from vornak import names
from vornak._errors import RadarFileError
from vornak._nyquist import nyquist_by_sweep
from vornak_sweeps import DATA


def test_uf_volume_is_dealiased_with_the_field_header_nyquist(tmp_path):
    pytest.importorskip("xradar")
    from vornak import _io, dealias_volume

    path = tmp_path / "volume.uf"
    path.write_bytes(made.uf_volume([12.34, 25.0], scale=100))
    tree, engine = _io.open_volume(path)
    assert engine == "uf"
    out = dealias_volume(tree)
    assert [out[f"sweep_{i}"][names.DEALIASED].attrs[names.NYQUIST] for i in (0, 1)] == pytest.approx([12.34, 25.0])
    # word 20 is in the field's own scale; rays that disagree leave the sweep without a value
    assert nyquist_by_sweep(made.uf_volume([7.5, [8.0] * 18 + [16.0] * 18], scale=10), "uf") == {0: 7.5}


def test_nexrad_walk_of_the_records_agrees_with_xradars_headers(tmp_path):
    xd = pytest.importorskip("xradar")
    assert nyquist_by_sweep(made.nexrad_volume([22.56, 31.08]), "nexradlevel2") == pytest.approx({0: 22.56, 1: 31.08})
    path = tmp_path / "KLIX20050828_180149"  # message 1
    path.write_bytes(gzip.decompress((DATA / "KLIX20050828_180149_sweeps0-1.gz").read_bytes()))
    assert nyquist_by_sweep(path, "nexradlevel2") == pytest.approx({1: 25.37})
    for chunks in (None, {}):  # lazy, and Dask-backed
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            tree = xd.open_datatree(str(path), engine="nexradlevel2", chunks=chunks)
        # taken from the headers xradar decoded: the file's bytes are not read again
        assert nyquist_by_sweep(b"", "nexradlevel2", tree=tree) == pytest.approx({1: 25.37})


def test_iris_task_prf_and_wavelength():
    # the first three records of a RAW volume: PRF 570 Hz, wavelength 5.34 cm, single PRF
    head = (DATA / "SUR210819000227_RAWKPJV_records0-2.bin").read_bytes()
    assert nyquist_by_sweep(head, "iris") == pytest.approx({0: 0.0534 * 570 / 4})
    dual = bytearray(head)
    dual[6912] = 2  # 3:4 dual PRF: the velocities span three times the interval
    assert nyquist_by_sweep(bytes(dual), "iris") == pytest.approx({0: 3 * 0.0534 * 570 / 4})


def test_hdf5_how_attributes(tmp_path):
    h5py = pytest.importorskip("h5py")
    with h5py.File(tmp_path / "odim.h5", "w") as f:
        f.create_group("how").attrs["NI"] = 16.0
        f.create_group("dataset1/data1")
        f.create_group("dataset2/how").attrs["NI"] = 48.0
    assert nyquist_by_sweep(tmp_path / "odim.h5", "odim") == {0: 16.0, 1: 48.0}
    gamic = made.gamic_file(tmp_path / "gamic.h5", [{"PRF": 1000.0, "unfolding": "None"}, {"nyquist_velocity": 20.5},
                                                    {"PRF": 1000.0, "unfolding": "3:4"}])
    assert nyquist_by_sweep(gamic, "gamic") == pytest.approx({0: 0.0531 * 1000 / 4, 1: 20.5})


def test_rainbow_slice_prfs(tmp_path):
    path = tmp_path / "volume.vol"
    path.write_bytes(made.rainbow_volume([{"highprf": 1000, "stagger": "None"}, {"stagger": "3/4", "lowprf": 750},
                                          {}]))
    # dual PRF 1000/750 Hz unfolds to lambda / (4 (1/750 - 1/1000)); a slice without settings takes the first's
    assert nyquist_by_sweep(path, "rainbow") == pytest.approx({0: 13.275, 1: 39.825, 2: 13.275})
    entity = path.read_bytes().replace(b"<volume", b'<!DOCTYPE v [<!ENTITY a "b">]><volume', 1)
    with pytest.raises(RadarFileError, match="^the decompressed data: .*declares entities$"):
        nyquist_by_sweep(entity, "rainbow")


def test_furuno_header():
    assert nyquist_by_sweep(made.furuno_scnx(1595), "furuno") == {0: 15.95}
    scn = bytearray(made.furuno_scnx(1595))
    scn[2] = 3  # the older SCN header carries none
    assert nyquist_by_sweep(bytes(scn), "furuno") == {}


@pytest.mark.parametrize("fmt, unlimited", [("NETCDF4", False), ("NETCDF3_CLASSIC", True),
                                             ("NETCDF3_64BIT_OFFSET", False)])
def test_cfradial_and_arm_netcdf(tmp_path, fmt, unlimited):
    pytest.importorskip("netCDF4")
    path = made.cfradial1_file(tmp_path / "cfrad.nc", [8.25, [10.0] * 5 + [20.0] * 5, 19.83], fmt=fmt,
                               unlimited=unlimited)
    assert nyquist_by_sweep(path, "cfradial1") == pytest.approx({0: 8.25, 2: 19.83})
    arm = made.arm_file(tmp_path / "arm.nc", "5.963381 m/s")
    assert nyquist_by_sweep(arm, "netcdf") == pytest.approx({0: 5.963381})
    assert nyquist_by_sweep(made.arm_file(tmp_path / "knots.nc", "11.6 kt"), "netcdf") == {}


def test_errors_name_the_file_and_the_reason(tmp_path):
    path = tmp_path / "cut.uf"
    path.write_bytes(made.uf_volume([10.0])[:5])
    with pytest.raises(RadarFileError, match=f"^{path}: cannot read the Nyquist velocity of this uf file: shorter"):
        nyquist_by_sweep(path, "uf")
    assert nyquist_by_sweep(b"anything", "metek") == {}
    pytest.importorskip("h5py")
    with pytest.raises(RadarFileError, match=r"^x\.h5: .* its header is broken \(OSError\)$"):
        nyquist_by_sweep(b"\x89HDF\r\n\x1a\n" + bytes(100), "odim", name="x.h5")
