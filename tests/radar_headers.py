"""Small radar files made byte by byte, each with a known Nyquist velocity in
the place its format keeps it, for the tests of vornak's header readers."""

import bz2
import struct

import numpy as np

# --- UF ---------------------------------------------------------------------

UF_MANDATORY_WORDS = 45


def _uf_record(sweep, ray, azimuth, nyquist, scale, nbins=20):
    """One UF ray (big-endian) with a velocity field VR and a reflectivity field DZ."""
    data_header = UF_MANDATORY_WORDS + 1  # no optional header
    vr_header = data_header + 3 + 2 * 2
    vr_data = vr_header + 21  # 19 words, then word 20 (Nyquist) and word 21
    dz_header = vr_data + nbins
    dz_data = dz_header + 19
    words = dz_data + nbins - 1

    mandatory = struct.pack(
        ">2s9h8s8s3h3hh6h2s5h3h8sh",
        b"UF", words, data_header, data_header, data_header, ray, 1, ray, 1, sweep,
        b"TESTRAD ", b"TESTSITE",
        35, 10, 0, -97, 30, 0, 300,  # latitude, longitude (deg, min, sec/64), altitude
        2020, 5, 17, 12, 0, sweep,  # year, month, day, hour, minute, second
        b"UT", int(azimuth * 64), int(sweep * 64), 1, int(sweep * 64), 10 * 64,  # PPI at 10 deg/s
        20, 5, 17, b"VORNAK  ", -32768,
    )
    data = struct.pack(">3h", 2, 1, 2) + struct.pack(">2sh2sh", b"VR", vr_header, b"DZ", dz_header)

    def field_header(position, scale_factor):
        return struct.pack(">19h", position, scale_factor, 0, 125, 250, nbins, 150, 64, 64, 0, 1, 5 * 64, 64,
                           0, 0, 0, 0, 1000, 16)

    velocity = np.round(np.linspace(-0.9, 0.9, nbins) * nyquist * scale).astype(">i2").tobytes()
    reflectivity = np.full(nbins, 2000, ">i2").tobytes()
    body = (mandatory + data + field_header(vr_data, scale) + struct.pack(">h2s", round(nyquist * scale), b"  ")
            + velocity + field_header(dz_data, 100) + reflectivity)
    assert len(body) == 2 * words
    return struct.pack(">I", len(body)) + body + struct.pack(">I", len(body))


def uf_volume(nyquists, rays=36, scale=100):
    """A UF volume: sweep i (numbered i + 1 in the file) with VR Nyquist velocity
    `nyquists[i]` (m/s, a list for one value per ray) in units of 1/`scale`."""
    records = []
    for sweep, nyquist in enumerate(nyquists, start=1):
        per_ray = nyquist if isinstance(nyquist, list) else [nyquist] * rays
        for ray, value in enumerate(per_ray):
            records.append(_uf_record(sweep, len(records) + 1, ray * 360.0 / len(per_ray), value, scale))
    return b"".join(records)


# --- NEXRAD Level II, message 31 in bzip2 LDM records ----------------------

def _message_31(status, nyquist_hundredths, azimuth):
    """A message 31 radial with only the volume and radial constant blocks."""
    vol = b"RVOL" + struct.pack(">HBBffhHfffffH2x", 44, 2, 0, 33.6, -101.8, 1000, 20, 0, 0, 0, 0, 0, 21)
    rad = b"RRAD" + struct.pack(">HhffhH", 28, 4660, -80.0, -80.0, nyquist_hundredths, 0)
    header_len = 32 + 4 * 10
    body = struct.pack(">4sIHHfBBHBBBBfBbH", b"KTST", 0, 16000, 1, azimuth, 0, 0, 0, 1, status, 1, 0, 0.5, 0, 0, 2)
    body += struct.pack(">10I", header_len, header_len + len(vol), *[0] * 8) + vol + rad
    size_halfwords = (16 + len(body)) // 2
    message_header = struct.pack(">HBBHHIHH", size_halfwords, 0, 31, 1, 16000, 0, 1, 1)
    return bytes(12) + message_header + body


def nexrad_volume(nyquists, rays=4):
    """A Level II volume (AR2V0006) whose cut i has RAD Nyquist `nyquists[i]` m/s."""
    metadata = bytes(2432)  # one empty metadata record in LDM record 0
    radials = b""
    for nyquist in nyquists:
        for ray in range(rays):
            status = 0 if ray == 0 else (2 if ray == rays - 1 else 1)
            radials += _message_31(status, round(nyquist * 100), ray * 360.0 / rays)
    out = b"AR2V0006.001" + struct.pack(">II", 20000, 0) + b"KTST"
    for record in (metadata, radials):
        packed = bz2.compress(record)
        out += struct.pack(">i", len(packed)) + packed
    return out


# --- Rainbow 5 --------------------------------------------------------------

def rainbow_volume(slices, wavelength=0.0531):
    """A Rainbow 5 volume header with one <slice> per dict of settings
    (highprf, lowprf, stagger); the first slice's settings hold for the others
    unless they set their own."""
    parts = []
    for settings in slices:
        items = "".join(f"<{key}>{value}</{key}>" for key, value in settings.items())
        parts.append(f'<slice refid="{len(parts)}">{items}<slicedata><rawdata blobid="{len(parts)}" type="V" '
                     'min="-10" max="10" depth="8" rays="360" bins="10"/></slicedata></slice>')
    xml = (f'<volume version="5.34.16" datetime="2020-05-17T12:00:00" type="vol">'
           f'<sensorinfo type="rainbow" id="T" name="T"><lon>8.0</lon><lat>47.0</lat><alt>500</alt>'
           f'<wavelen>{wavelength}</wavelen></sensorinfo>'
           f'<scan name="test.vol" time="12:00:00" date="2020-05-17"><pargroup refid="p"><numele>{len(slices)}</numele>'
           f'</pargroup>{"".join(parts)}</scan></volume>')
    return b'<?xml version="1.0" encoding="UTF-8"?>\n' + xml.encode() + b"\n<!-- END XML -->\n" + bytes(64)


# --- Furuno SCNX ------------------------------------------------------------

def furuno_scnx(nyquist_hundredths):
    """A Furuno SCNX (format version 10) header and one empty ray."""
    header = bytearray(160)
    struct.pack_into("<HH", header, 0, len(header), 10)
    struct.pack_into("<H", header, 80, nyquist_hundredths)
    return bytes(header) + bytes(16)


# --- GAMIC HDF5 ---------------------------------------------------------------

def gamic_file(path, scans, wavelength=0.0531):
    """A GAMIC-shaped HDF5 file: `scans` is a list of dicts of `scanN/how` attributes."""
    import h5py

    with h5py.File(path, "w") as f:
        f.create_group("what").attrs["object"] = "PVOL"
        f.create_group("how").attrs["radar_wave_length"] = wavelength
        for number, attrs in enumerate(scans):
            how = f.create_group(f"scan{number}/how")
            for key, value in attrs.items():
                how.attrs[key] = value
    return path


# --- CfRadial 1 and ARM netCDF ----------------------------------------------

def cfradial1_file(path, per_sweep, rays=10, fmt="NETCDF4", unlimited=False):
    """A CfRadial 1-shaped file with `nyquist_velocity(time)`: sweep i's rays
    hold `per_sweep[i]` (a list gives one value per ray). With `unlimited`,
    time is the record dimension, shared with the azimuths."""
    import netCDF4

    values = [v if isinstance(v, list) else [v] * rays for v in per_sweep]
    with netCDF4.Dataset(path, "w", format=fmt) as nc:
        nc.createDimension("time", None if unlimited else sum(map(len, values)))
        nc.createVariable("azimuth", "f4", ("time",))[:] = np.arange(sum(map(len, values)), dtype="f4")
        nc.createDimension("sweep", len(values))
        ends = np.cumsum([len(v) for v in values]) - 1
        nc.createVariable("sweep_start_ray_index", "i4", ("sweep",))[:] = ends - [len(v) - 1 for v in values]
        nc.createVariable("sweep_end_ray_index", "i4", ("sweep",))[:] = ends
        var = nc.createVariable("nyquist_velocity", "f4", ("time",), fill_value=-9999.0)
        var[:] = np.concatenate(values)
    return path


def arm_file(path, attribute):
    """An ARM-shaped netCDF time series with a global `nyquist_velocity` attribute."""
    import netCDF4

    with netCDF4.Dataset(path, "w") as nc:
        nc.createDimension("time", 4)
        nc.createDimension("range", 3)
        nc.createVariable("mean_doppler_velocity", "f4", ("time", "range"))[:] = 0.0
        nc.nyquist_velocity = attribute
    return path
