"""The header of a classic netCDF file (CDF-1, CDF-2 and CDF-5), read in
Python, and the values of its one-dimensional variables.

The netCDF C library, given a hostile classic file, can crash the process;
this reader only raises ValueError, whose message holds no text of the file.
Every count in the header is checked against the bytes the file has before
anything is read or allocated.
"""

import math
import os
import struct

import numpy as np

__all__ = ["Classic"]

_DIMENSION, _VARIABLE, _ATTRIBUTE = 10, 11, 12
_TYPES = {1: ">i1", 2: "S1", 3: ">i2", 4: ">i4", 5: ">f4", 6: ">f8",  # classic
          7: ">u1", 8: ">u2", 9: ">u4", 10: ">i8", 11: ">u8"}  # CDF-5
_STREAMING = 0xFFFFFFFF


class _Bytes:
    """Ranges of the file, read as the header walk needs them."""

    def __init__(self, source):
        if isinstance(source, (bytes, bytearray, memoryview)):
            self.data, self.file, self.size = bytes(source), None, len(source)
        else:
            self.file = open(source, "rb")
            self.size = os.fstat(self.file.fileno()).st_size
            self.data = b""

    def get(self, offset, count):
        if offset < 0 or count < 0 or offset + count > self.size:
            raise ValueError(f"the header points beyond the file's {self.size} bytes")
        if self.file is None:
            return self.data[offset:offset + count]
        if offset + count > len(self.data) and offset < 1 << 20:  # the header: read once, growing
            self.file.seek(len(self.data))
            self.data += self.file.read(max(offset + count - len(self.data), 1 << 16))
        if offset + count <= len(self.data):
            return self.data[offset:offset + count]
        self.file.seek(offset)
        return self.file.read(count)

    def close(self):
        if self.file is not None:
            self.file.close()


class Classic:
    """Dimensions, global attributes and variables of a classic netCDF file."""

    def __init__(self, source):
        self._bytes = _Bytes(source)
        try:
            self._read_header()
        except BaseException:
            self._bytes.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._bytes.close()

    def _read_header(self):
        magic = self._bytes.get(0, 4)
        if magic[:3] != b"CDF" or magic[3] not in (1, 2, 5):
            raise ValueError("not a classic netCDF file")
        self._count_format = ">Q" if magic[3] == 5 else ">I"
        self._offset_format = ">I" if magic[3] == 1 else ">Q"
        self._pos = 4
        self.numrecs = self._unpack(self._count_format)
        self.dimensions = dict(self._list(_DIMENSION, self._dimension))
        self.attributes = dict(self._list(_ATTRIBUTE, self._attribute))
        self.variables = dict(self._list(_VARIABLE, self._variable))
        records = [v for v in self.variables.values() if v["record"]]
        self._record_size = sum(v["vsize"] for v in records)
        if len(records) == 1:  # a lone record variable is not padded
            var = records[0]
            var["vsize"] = self._record_size = var["count"] * np.dtype(var["dtype"]).itemsize
        if self.numrecs == _STREAMING or (self._count_format == ">Q" and self.numrecs == 2**64 - 1):
            self.numrecs = 0 if not records else (self._bytes.size - min(v["begin"] for v in records)) \
                // max(self._record_size, 1)

    def _unpack(self, fmt):
        size = struct.calcsize(fmt)
        value, = struct.unpack(fmt, self._bytes.get(self._pos, size))
        self._pos += size
        return value

    def _list(self, tag, item):
        kind = self._unpack(">I")
        count = self._unpack(self._count_format)
        if kind == 0 and count == 0:
            return []
        if kind != tag:
            raise ValueError(f"a header list has tag {kind}, not {tag}")
        if count > (self._bytes.size - self._pos) // 8:  # every entry takes at least 8 bytes
            raise ValueError(f"the header lists {count} entries, more than the file holds")
        return [item() for _ in range(count)]

    def _name(self):
        length = self._unpack(self._count_format)
        raw = self._bytes.get(self._pos, length)
        self._pos += length + (-length % 4)
        return raw.decode("utf-8", "replace")

    def _dimension(self):
        return self._name(), self._unpack(self._count_format)

    def _attribute(self):
        name = self._name()
        dtype = self._dtype(self._unpack(">I"))
        count = self._unpack(self._count_format)
        length = count * dtype.itemsize
        values = np.frombuffer(self._bytes.get(self._pos, length), dtype)
        self._pos += length + (-length % 4)
        return name, values

    def _variable(self):
        name = self._name()
        ndims = self._unpack(self._count_format)
        if ndims > (self._bytes.size - self._pos) // 4:
            raise ValueError("a variable has more dimensions than the file holds")
        dimids = [self._unpack(self._count_format) for _ in range(ndims)]
        attributes = dict(self._list(_ATTRIBUTE, self._attribute))
        dtype = self._dtype(self._unpack(">I"))
        vsize = self._unpack(self._count_format)
        begin = self._unpack(self._offset_format)
        lengths = list(self.dimensions.values())
        if any(d >= len(lengths) for d in dimids):
            raise ValueError("a variable names a dimension the file does not have")
        shape = [lengths[d] for d in dimids]
        record = bool(shape) and shape[0] == 0
        count = math.prod(shape[1:] if record else shape)
        return name, {"dtype": dtype.str, "shape": shape, "record": record, "count": count, "vsize": vsize,
                      "begin": begin, "attributes": attributes}

    @staticmethod
    def _dtype(code):
        if code not in _TYPES:
            raise ValueError(f"unknown netCDF type {code}")
        return np.dtype(_TYPES[code])

    def values(self, name):
        """The values of a variable of at most one dimension, as float64 (NaN at its fill value).
        Error messages name variables and numbers, never other text of the file."""
        var = self.variables[name]
        dtype = np.dtype(var["dtype"])
        if dtype.kind not in "fiu" or len(var["shape"]) > 1:
            raise ValueError(f"variable '{name}' is not a numeric variable of one dimension")
        if var["record"]:
            if self.numrecs > self._bytes.size // max(dtype.itemsize, 1):
                raise ValueError(f"the header claims {self.numrecs} records, more than the file holds")
            raw = b"".join(self._bytes.get(var["begin"] + i * self._record_size, dtype.itemsize)
                           for i in range(self.numrecs))
        else:
            raw = self._bytes.get(var["begin"], var["count"] * dtype.itemsize)
        values = np.frombuffer(raw, dtype).astype(np.float64)
        fill = var["attributes"].get("_FillValue")
        if fill is not None and fill.dtype.kind in "fiu" and fill.size:
            values[values == float(fill[0])] = np.nan
        return values
