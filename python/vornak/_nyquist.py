"""The Nyquist velocity from a radar file's own metadata, where xradar leaves it out.

Where each format keeps it (value in m/s after the scale shown):

  NEXRAD Level II  message 31: radial data constant block "RAD", halfword `nyquist_vel`, 0.01 m/s;
                   message 1 (before 2008): header bytes 60-61, 0.01 m/s. First radial of each cut.
  UF               field header word 20 of each velocity field (VR, VE, VF, VP, VT) of each ray,
                   divided by that field's scale factor (word 2).
  IRIS/Sigmet RAW  task configuration: PRF (Hz) and wavelength (1/100 cm); with dual PRF the
                   velocities span 2, 3 or 4 times the high PRF's interval.
  ODIM HDF5        `how/NI` of each dataset, else of the file.
  GAMIC HDF5       `how` of each scan: `nyquist_velocity` / `NI`, else its `PRF` with the file's
                   `how/radar_wave_length` (m), single PRF only.
  Rainbow 5        XML header, per slice (else the first slice, else the volume's pargroup):
                   `highprf` (Hz), `stagger` and `lowprf`, with `sensorinfo/wavelen` (m).
  Furuno SCNX      header bytes 80-81 `nyquist_velocity`, 0.01 m/s (format version 10).
  CfRadial 1,      `nyquist_velocity` over the rays of each sweep, or for the whole file (a
  ARM netCDF       variable, or a global attribute such as "5.96 m/s"). CfRadial 2 keeps it
                   in the sweep groups, where xradar finds it.

Every reader takes bytes from files nobody checked: each loop is bounded by
the bytes there are, nothing is allocated beyond what the file holds, and
every failure is a RadarFileError that names the file and the reason.
"""

import bz2
import io
import os
import re
import struct
import xml.etree.ElementTree as ET

import numpy as np

from . import names
from ._errors import RadarFileError
from ._netcdf3 import Classic
from ._optional import require

__all__ = ["nyquist_by_sweep"]

#: Engine name of plain netCDF files read without xradar (ARM's time series).
NETCDF_ENGINE = "netcdf"

# Rays of one sweep whose values differ by more than this share cannot be
# unfolded with one value; such a sweep gets none.
_AGREEMENT = 1e-3


class _Corrupt(Exception):
    """A header that does not hold what its format says; the message is the reason."""


def nyquist_by_sweep(source, engine, *, tree=None, name=None):
    """Nyquist velocity (m/s) of each sweep from the file's own metadata.

    `source` is a path or the file's bytes (gzip already undone), `engine`
    xradar's engine name. Returns {sweep number N of xradar's group
    `sweep_N`: m/s}; empty when the format carries none. With `tree`, the
    DataTree xradar opened from `source`, headers xradar has already decoded
    are taken from it instead of being read again. `name` is how errors call
    the file (default: the path). Raises RadarFileError, or ImportError when
    the format needs an optional package that is not installed (h5py).
    """
    reader = _READERS.get(engine)
    if reader is None:
        return {}
    label = name if name is not None else _label(source)
    try:
        values = _from_tree(tree, engine) if tree is not None else None
        if values is None:
            values = reader(source)
    except _Corrupt as exc:
        raise RadarFileError(f"{label}: cannot read the Nyquist velocity of this {engine} file: {exc}") from None
    except ImportError:  # an optional package missing: not the file's fault
        raise
    except MemoryError:
        raise RadarFileError(f"{label}: cannot read the Nyquist velocity of this {engine} file: "
                             "out of memory") from None
    except Exception as exc:  # the libraries below fail on broken files in many ways
        raise RadarFileError(f"{label}: cannot read the Nyquist velocity of this {engine} file: "
                             f"its header is broken ({type(exc).__name__})") from None
    return {int(k): float(v) for k, v in values.items() if np.isfinite(v) and v > 0}


def _label(source):
    if isinstance(source, (bytes, bytearray, memoryview)):
        return "the decompressed data"
    return os.fspath(source)


def _read(source, limit=-1):
    """The file's bytes, or its first `limit` bytes."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        view = memoryview(source).cast("B")
        return view if limit < 0 else view[:limit]
    try:
        with open(source, "rb") as fh:
            return memoryview(fh.read(limit))
    except OSError as exc:
        raise _Corrupt(f"cannot read the file ({exc.strerror or type(exc).__name__})") from None


def _agreed(values_by_sweep):
    """{sweep: value} for the sweeps whose rays agree on one value."""
    out = {}
    for sweep, (low, high) in values_by_sweep.items():
        if high > 0 and high - low <= _AGREEMENT * high:
            out[sweep] = high
    return out


def _widen(ranges, sweep, value):
    low, high = ranges.get(sweep, (value, value))
    ranges[sweep] = (min(low, value), max(high, value))


# --- NEXRAD Level II -------------------------------------------------------

_NEXRAD_VOLUME_HEADER = 24
_NEXRAD_RECORD = 2432  # fixed size of every message but 31
_NEXRAD_CTM = 12  # bytes before each message header
_NEXRAD_MESSAGE_HEADER = 16
# An LDM record holds 120 radials of at most 2**17 bytes each (the message
# size is a 16-bit count of halfwords), with some status messages.
_NEXRAD_LDM_LIMIT = 1 << 24
_SWEEP_START = (0, 3, 5)  # radial status: start of a cut / of the volume / of the last cut


def _nexrad(source):
    buf = _read(source)
    if len(buf) < _NEXRAD_VOLUME_HEADER or bytes(buf[:4]) not in (b"AR2V", b"ARCH"):
        raise _Corrupt("no Level II volume header")
    starts = []
    if bytes(buf[28:31]) == b"BZh":
        for record in _ldm_records(buf):
            _nexrad_messages(record, 0, starts)
    else:
        _nexrad_messages(buf, _NEXRAD_VOLUME_HEADER, starts)
    # xradar numbers the cuts in the order they start
    return {index: value / 100.0 for index, value in enumerate(starts) if value}


def _ldm_records(buf):
    """Decompressed LDM records: each a 4-byte size, then one bzip2 stream."""
    pos = _NEXRAD_VOLUME_HEADER
    while pos + 4 <= len(buf):
        size = abs(struct.unpack_from(">i", buf, pos)[0])
        pos += 4
        if size == 0 or pos + size > len(buf):
            return  # end of the volume, or a file cut short: keep the cuts before
        decompressor = bz2.BZ2Decompressor()
        try:
            record = decompressor.decompress(buf[pos:pos + size], max_length=_NEXRAD_LDM_LIMIT)
        except OSError:
            raise _Corrupt(f"the compressed record at byte {pos} is corrupt") from None
        if len(record) == _NEXRAD_LDM_LIMIT and not decompressor.eof:
            raise _Corrupt(f"the compressed record at byte {pos} expands beyond what a record holds")
        yield memoryview(record)
        pos += size


def _nexrad_messages(buf, pos, starts):
    """Append the Nyquist velocity (0.01 m/s, 0 if none) of each cut that starts in `buf`."""
    end = len(buf)
    while pos + _NEXRAD_CTM + _NEXRAD_MESSAGE_HEADER <= end:
        halfwords, kind = struct.unpack_from(">HxB", buf, pos + _NEXRAD_CTM)
        length = halfwords * 2 + _NEXRAD_CTM
        if kind != 31:
            length = max(length, _NEXRAD_RECORD)
        if pos + length > end:
            return  # a message cut short ends the walk, as in xradar
        body = pos + _NEXRAD_CTM + _NEXRAD_MESSAGE_HEADER
        if kind == 31 and length >= 72 + _NEXRAD_CTM and buf[body + 21] in _SWEEP_START:
            starts.append(_message_31_nyquist(buf, body, pos + length))
        elif kind == 1 and length >= 90 and struct.unpack_from(">H", buf, body + 12)[0] in _SWEEP_START:
            starts.append(struct.unpack_from(">h", buf, body + 60)[0])
        pos += length


def _message_31_nyquist(buf, body, end):
    """Nyquist velocity (0.01 m/s) from the "RAD" block of a message 31, 0 without one."""
    count = min(struct.unpack_from(">H", buf, body + 30)[0], 10)
    for pointer in struct.unpack_from(f">{count}I", buf, body + 32):
        block = body + pointer
        if pointer and block + 18 <= end and bytes(buf[block:block + 4]) == b"RRAD":
            return struct.unpack_from(">h", buf, block + 16)[0]
    return 0


def _from_tree(tree, engine):
    """The Nyquist velocities from the headers xradar's reader decoded while
    opening the tree, or None when its file object is no longer held (opening
    it again would parse the whole file a second time) or is not shaped as
    this version of xradar shapes it: the header bytes are read then."""
    try:
        return _decoded(tree, engine)
    except Exception:  # private structures of xradar and xarray: any change means "not here"
        return None


def _decoded(tree, engine):
    decoded = _backend_file(tree)
    kind = type(decoded).__name__
    if engine == "nexradlevel2" and kind == "NEXRADLevel2File":
        return _nexrad_decoded(decoded)
    if engine == "iris" and kind == "IrisRawFile":
        return _iris_decoded(decoded.ingest_header, None)
    return None


def _nexrad_decoded(nexrad):
    values = {}
    for index, cut in enumerate(nexrad.msg_31_data_header):
        if cut.get("msg_type") == 31:  # the RAD block moves to the constants once the cut is read
            block = cut.get("msg_31_data_header", {}).get("RAD") or cut.get("sweep_constant_data", {}).get("RAD")
            raw = (block or {}).get("nyquist_vel")
        else:  # message 1 keeps it in the radial header
            raw = cut.get("msg_31_header", {}).get("nyquist_vel")
        if raw:
            values[index] = raw / 100.0
    return values


def _backend_file(tree):
    """The file object behind the lazy variables of an xradar tree, if still open."""
    for node in tree.subtree:
        for var in node.dataset.variables.values():
            data = var._data
            if hasattr(data, "dask"):  # opened with chunks: the lazy array sits in the task graph
                data = next((task for task in dict(data.dask).values() if hasattr(task, "array")), None)
            for _ in range(10):  # a few lazy-indexing wrappers around xradar's array
                store = getattr(data, "datastore", None)
                if store is not None:
                    manager = getattr(store, "_manager", None)
                    cache, key = getattr(manager, "_cache", None), getattr(manager, "_key", None)
                    return cache.get(key) if cache is not None else None
                data = getattr(data, "array", None)
                if data is None:
                    break
    return None


# --- UF (Universal Format) -------------------------------------------------

_UF_VELOCITY_FIELDS = (b"VR", b"VE", b"VF", b"VP", b"VT")


def _uf(source):
    buf = _read(source)
    order = _uf_byte_order(buf)
    ranges = {}
    for start in _uf_records(buf, order):
        _uf_ray(buf, start, order, ranges)
    return _agreed(ranges)


def _uf_byte_order(buf):
    if len(buf) < 8:
        raise _Corrupt("shorter than a UF record header")
    for order in (">", "<"):
        size, = struct.unpack_from(order + "I", buf, 0)
        words, = struct.unpack_from(order + "H", buf, 6)
        if size == 2 * words:
            return order
    raise _Corrupt("the first record's length does not match its UF record size")


def _uf_records(buf, order):
    """Offsets of the records xradar takes as rays: "UF" after a 4-byte length
    that equals twice the record's own size in words."""
    data = np.frombuffer(buf, dtype=np.uint8)
    if data.size < 8:
        return np.empty(0, np.intp)
    found = np.flatnonzero((data[4:-3] == ord("U")) & (data[5:-2] == ord("F")))
    lengths = [struct.unpack_from(order + "I", buf, i)[0] for i in found]
    words = [struct.unpack_from(order + "H", buf, i + 6)[0] for i in found]
    return [int(i) for i, n, w in zip(found, lengths, words) if n == 2 * w]


def _uf_ray(buf, start, order, ranges):
    """Widen the sweep's range of Nyquist velocities by this ray's velocity fields."""
    end = min(len(buf), start + 4 + 2 * struct.unpack_from(order + "H", buf, start + 6)[0])

    def word(position):  # 1-based word of the record, as the UF documents count
        offset = start + 4 + 2 * (position - 1)
        if position < 1 or offset + 2 > end:
            raise _Corrupt(f"the record at byte {start} points outside itself")
        return struct.unpack_from(order + "h", buf, offset)[0]

    sweep = word(10) - 1  # xradar's sweep_N holds sweep number N + 1
    data_header = word(5)
    fields = word(data_header)
    for i in range(max(0, min(fields, (end - start) // 4))):
        entry = data_header + 3 + 2 * i
        word(entry + 1)  # bounds check of the pair
        offset = start + 4 + 2 * (entry - 1)
        if bytes(buf[offset:offset + 2]) not in _UF_VELOCITY_FIELDS:
            continue
        header = word(entry + 1)
        scale = word(header + 1)
        if scale > 0 and word(header) - header >= 20:  # a field header long enough for word 20
            _widen(ranges, sweep, word(header + 19) / scale)


# --- IRIS / Sigmet ---------------------------------------------------------

_IRIS_RECORD = 6144
# Byte offsets in a RAW file: record 0 is the product header, record 1 the
# ingest header (structure identifier 23), in which the task configuration
# starts at byte 492, its DSP part at 132 and its miscellaneous part at 1252.
_IRIS_INGEST = _IRIS_RECORD
_IRIS_SWEEPS = _IRIS_INGEST + 12 + 82  # int16, sweeps completed
_IRIS_PRF = _IRIS_INGEST + 492 + 132 + 136  # int32, Hz
_IRIS_MULTI_PRF = _IRIS_INGEST + 492 + 132 + 144  # uint16, 0..3 for 1:1, 2:3, 3:4, 4:5
_IRIS_WAVELENGTH = _IRIS_INGEST + 492 + 1252  # int32, 1/100 cm


def _iris(source):
    buf = _read(source, 2 * _IRIS_RECORD)
    if len(buf) < 2 * _IRIS_RECORD:
        raise _Corrupt("shorter than the product and ingest headers")
    product, = struct.unpack_from("<h", buf, 0)
    ingest, = struct.unpack_from("<h", buf, _IRIS_INGEST)
    if (product, ingest) != (27, 23):
        raise _Corrupt("no product header and ingest header in the first two records")
    header = {
        "task_configuration": {
            "task_dsp_info": {"prf": struct.unpack_from("<i", buf, _IRIS_PRF)[0],
                              "multi_prf_mode_flag": struct.unpack_from("<H", buf, _IRIS_MULTI_PRF)[0]},
            "task_misc_info": {"wavelength": struct.unpack_from("<i", buf, _IRIS_WAVELENGTH)[0]},
        },
        "ingest_configuration": {"number_sweeps_completed": struct.unpack_from("<h", buf, _IRIS_SWEEPS)[0]},
    }
    size = len(source) if isinstance(source, (bytes, bytearray, memoryview)) else os.path.getsize(source)
    return _iris_decoded(header, size // _IRIS_RECORD - 2)


def _iris_decoded(header, most):
    """The task's Nyquist velocity for each sweep of the ingest header (as
    xradar decodes it); a file holds at most `most` sweeps (one record each)."""
    task = header["task_configuration"]
    dsp = task["task_dsp_info"]
    flag = dsp.get("multi_prf_mode_flag", 0)
    if flag not in (0, 1, 2, 3):  # 1:1, 2:3, 3:4, 4:5
        return {}
    value = task["task_misc_info"]["wavelength"] * dsp["prf"] / 40000.0 * (flag + 1)
    sweeps = int(header["ingest_configuration"]["number_sweeps_completed"])
    return dict.fromkeys(range(max(0, sweeps if most is None else min(sweeps, most))), value)


# --- ODIM and GAMIC HDF5 ---------------------------------------------------

def _hdf5(source):
    h5py = require("h5py", "reading the Nyquist velocity of HDF5 radar files")
    if isinstance(source, (bytes, bytearray, memoryview)):
        source = io.BytesIO(source)
    return h5py.File(source, "r")


def _attr(group, names):
    """The first of the named attributes of `group` that is one finite number."""
    if group is None:
        return None
    for key in names:
        if key in group.attrs:
            value = np.asarray(group.attrs[key])
            if value.dtype.kind in "fiu" and value.size == 1 and np.isfinite(value).all():
                return float(value.ravel()[0])
    return None


def _numbered(f, prefix):
    """(number, group) of the groups named prefix + digits."""
    return [(int(key[len(prefix):]), f[key]) for key in f
            if isinstance(key, str) and key.startswith(prefix) and key[len(prefix):].isascii()
            and key[len(prefix):].isdigit()]


def _odim(source):
    with _hdf5(source) as f:
        default = _attr(f.get("how"), ("NI",))
        values = {}
        for number, group in _numbered(f, "dataset"):
            value = _attr(group.get("how"), ("NI",))
            value = default if value is None else value
            if value is not None:
                values[number - 1] = value  # xradar's sweep_0 is dataset1
    return values


def _gamic(source):
    with _hdf5(source) as f:
        wavelength = _attr(f.get("how"), ("radar_wave_length",))
        values = {}
        for number, group in _numbered(f, "scan"):
            how = group.get("how")
            value = _attr(how, ("nyquist_velocity", "NI"))
            prf = _attr(how, ("PRF",))
            single = how is not None and str(_text(how.attrs.get("unfolding", "None"))).strip() in ("None", "")
            if value is None and wavelength and prf and single and 0 < wavelength < 1:
                value = wavelength * prf / 4.0
            if value is not None:
                values[number] = value
    return values


def _text(value):
    return value.decode("ascii", "replace") if isinstance(value, bytes) else value


# --- Rainbow 5 --------------------------------------------------------------

_RAINBOW_END = b"<!-- END XML -->"
_FLOAT = re.compile(r"^\s*([-+]?(\d+(\.\d*)?|\.\d+)([eE][-+]?\d+)?)\s*$")
_STAGGER = re.compile(r"^\s*(\d)\s*/\s*(\d)\s*$")


def _rainbow(source):
    header = _rainbow_header(source)
    if b"<!DOCTYPE" in header or b"<!ENTITY" in header:
        raise _Corrupt("the XML header declares entities")
    try:
        volume = ET.fromstring(header)
    except (ET.ParseError, LookupError, ValueError):  # LookupError: an unknown encoding declared
        raise _Corrupt("the XML header is not well formed") from None
    wavelength = _number(volume.findtext("sensorinfo/wavelen"))
    slices = volume.findall("scan/slice")
    pargroup = volume.find("scan/pargroup")
    values = {}
    for index, piece in enumerate(slices):
        def setting(key):  # the slice's own, else the first slice's, else the volume's
            for where in (piece, slices[0], pargroup):
                text = where.findtext(key) if where is not None else None
                if text is not None:
                    return text
            return None

        value = _rainbow_nyquist(wavelength, _number(setting("highprf")), _number(setting("lowprf")),
                                 setting("stagger"))
        if value is not None:
            values[index] = value
    return values


def _rainbow_header(source):
    """The bytes before the end-of-XML marker, read no further than it."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        data = bytes(source)
        end = data.find(_RAINBOW_END)
    else:
        data, end = bytearray(), -1
        with open(source, "rb") as fh:
            while end < 0 and (chunk := fh.read(1 << 16)):
                data += chunk
                end = data.find(_RAINBOW_END, max(0, len(data) - len(chunk) - len(_RAINBOW_END)))
    if end < 0:
        raise _Corrupt("no end of the XML header")
    return bytes(data[:end])


def _rainbow_nyquist(wavelength, high, low, stagger):
    if not wavelength or not high or not 0 < wavelength < 1:
        return None
    single = wavelength * high / 4.0
    if stagger is None or stagger.strip() in ("None", ""):
        return single
    ratio = _STAGGER.match(stagger)
    if not ratio or not 0 < int(ratio[1]) < int(ratio[2]):
        return None
    if not low or not 0 < low < high:
        low = high * int(ratio[1]) / int(ratio[2])
    # two PRFs unfold together up to lambda / (4 (1/low - 1/high))
    return wavelength / 4.0 * high * low / (high - low)


def _number(text):
    match = _FLOAT.match(text) if isinstance(text, str) else None
    return float(match[1]) if match else None


# --- Furuno -----------------------------------------------------------------

_FURUNO_SCNX = 10
_FURUNO_NYQUIST = 80  # byte offset of the SCNX header's nyquist_velocity (0.01 m/s)


def _furuno(source):
    buf = _read(source, _FURUNO_NYQUIST + 2)
    if len(buf) < _FURUNO_NYQUIST + 2:
        raise _Corrupt("shorter than a Furuno header")
    version, = struct.unpack_from("<H", buf, 2)
    if version != _FURUNO_SCNX:  # the older SCN header has no Nyquist velocity nor wavelength
        return {}
    raw, = struct.unpack_from("<H", buf, _FURUNO_NYQUIST)
    return {0: raw / 100.0}  # one sweep per file


# --- CfRadial 1 / 2 and ARM netCDF -------------------------------------------

_NYQUIST = names.NYQUIST
_UNITS = re.compile(r"^\s*([-+]?(\d+(\.\d*)?|\.\d+)([eE][-+]?\d+)?)\s*(m/s|m s-1|m s\^-1|)\s*$")


def _netcdf(source):
    size = len(source) if isinstance(source, (bytes, bytearray, memoryview)) else os.path.getsize(source)
    if bytes(_read(source, 4)) == b"\x89HDF":  # netCDF-4
        with _hdf5(source) as f:
            return _netcdf_values(_H5Variables(f, size), size)
    try:
        with Classic(source) as nc:  # not the netCDF C library, which a hostile file can crash
            return _netcdf_values(_ClassicVariables(nc), size)
    except ValueError as exc:
        raise _Corrupt(str(exc)) from None


class _ClassicVariables:
    """The few things read from a classic netCDF file."""

    def __init__(self, nc):
        self.nc = nc

    def values(self, name):
        return self.nc.values(name) if name in self.nc.variables else None

    def dimension(self, name):
        return self.nc.dimensions.get(name)

    def attribute(self, name):
        value = self.nc.attributes.get(name)
        return value.tobytes() if value is not None and value.dtype.kind == "S" else value


class _H5Variables:
    """The same from a netCDF-4 file through h5py: variables and dimensions are datasets there."""

    def __init__(self, f, size):
        self.f, self.size = f, size

    def values(self, name):
        var = self.f.get(name)
        if getattr(var, "shape", None) is None:
            return None
        if var.size > self.size:  # more values than the file has bytes: a corrupt dimension
            raise _Corrupt(f"variable '{name}' claims {var.size} values in a file of {self.size} bytes")
        if var.dtype.kind not in "fiu" or var.ndim > 1:
            raise _Corrupt(f"variable '{name}' is not a numeric variable of one dimension")
        values = np.asarray(var[...], dtype=np.float64).ravel()
        fill = var.attrs.get("_FillValue")
        if fill is not None and np.asarray(fill).dtype.kind in "fiu" and np.asarray(fill).size:
            values[values == float(np.asarray(fill).ravel()[0])] = np.nan
        return values

    def dimension(self, name):
        var = self.f.get(name)
        return len(var) if getattr(var, "ndim", None) == 1 else None

    def attribute(self, name):
        return self.f.attrs.get(name)


def _netcdf_values(nc, size):
    sweeps = nc.dimension("sweep") or 1
    if sweeps > size // 16:  # each sweep has an angle, a number, two ray indices
        raise _Corrupt(f"the sweep dimension claims {sweeps} sweeps in a file of {size} bytes")
    rays = nc.values(_NYQUIST)
    if rays is not None:
        starts, ends = nc.values("sweep_start_ray_index"), nc.values("sweep_end_ray_index")
        if starts is not None and ends is not None:
            return _per_sweep(rays, starts, ends)
        value = _one_value(rays)
    else:  # CfRadial 2 keeps it in each sweep group, which xradar reads as it is
        value = _global_value(nc.attribute(_NYQUIST))
    return dict.fromkeys(range(sweeps), value) if value else {}


def _one_value(values):
    values = values[np.isfinite(values) & (values > 0)]
    if values.size == 0:
        return None
    low, high = float(values.min()), float(values.max())
    return high if high - low <= _AGREEMENT * high else None


def _per_sweep(rays, starts, ends):
    values = {}
    for index, (start, end) in enumerate(zip(starts, ends)):
        if 0 <= start <= end < rays.size and (v := _one_value(rays[int(start):int(end) + 1])):
            values[index] = v
    return values


def _global_value(value):
    if isinstance(value, (bytes, str)):
        match = _UNITS.match(str(_text(value)))
        return float(match[1]) if match else None
    value = np.asarray(value) if value is not None else np.empty(0)
    if value.dtype.kind in "fiu" and value.size == 1:
        return float(value.ravel()[0])
    return None


_READERS = {
    "nexradlevel2": _nexrad,
    "uf": _uf,
    "iris": _iris,
    "odim": _odim,
    "gamic": _gamic,
    "rainbow": _rainbow,
    "furuno": _furuno,
    "cfradial1": _netcdf,
    "cfradial2": _netcdf,
    NETCDF_ENGINE: _netcdf,
}
