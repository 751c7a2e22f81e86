"""What a netCDF or HDF5 radar file is, from one read of its header.

xradar finds a file's reader by asking each in turn; its netCDF and HDF5
readers (CfRadial 1 and 2, GAMIC, IMD, ODIM) each open the file to read the
same header, so a file none of them takes, an ARM time series, is opened five
times before it is read. Here the header is read once and each of those
readers' tests is made on it; the other readers, which look at a few bytes,
are still asked themselves. A file whose header cannot be read this way is
left to the readers' own tests.
"""

import dataclasses

from ._timeseries import one_ray_count

HDF5_MAGIC = b"\x89HDF\r\n\x1a\n"
NETCDF_MAGIC = b"CDF"  # classic, 64-bit offsets and CDF-5 alike


@dataclasses.dataclass(frozen=True)
class Header:
    """Root attributes, variable and group names of a netCDF/HDF5 file, and
    its number of sweeps when it is a time series listed ray by ray."""

    attrs: dict
    variables: frozenset
    groups: frozenset
    one_ray_sweeps: int


def read_header(path):
    """The header of the netCDF/HDF5 file at `path`, or None for another
    kind of file or one the netCDF library cannot open."""
    header, handle = open_header(path)
    if handle is not None:
        handle.close()
    return header


def open_header(path):
    """`read_header`, and the netCDF4 Dataset it was read from, still open
    (None with no header): a file that xradar does not take is read on by
    xarray from it rather than opened again. The caller closes it."""
    try:
        with open(path, "rb") as fh:
            head = fh.read(8)
    except OSError:
        return None, None
    if head != HDF5_MAGIC and head[:3] != NETCDF_MAGIC:
        return None, None
    try:
        import netCDF4  # without it, the readers' own tests (h5netcdf, scipy) decide
    except ImportError:
        return None, None
    nc = None
    try:
        nc = netCDF4.Dataset(path)
        attrs = {key: _text(nc.getncattr(key)) for key in nc.ncattrs()}
        return Header(attrs, frozenset(nc.variables), frozenset(nc.groups), one_ray_count(nc)), nc
    except Exception:  # noqa: BLE001  (whatever the library says, the readers' own tests decide)
        if nc is not None:
            nc.close()
        return None, None


def _text(value):
    return value.decode(errors="replace") if isinstance(value, bytes) else value


def _conventions(header, keys):
    return " ".join(str(header.attrs.get(key, "")) for key in keys).lower()


def _cfradial1(header):
    return ("radial" in _conventions(header, ("Conventions", "conventions", "version"))
            and "sweep_start_ray_index" in header.variables)


def _cfradial2(header):
    return ("radial" in _conventions(header, ("Conventions", "conventions"))
            and bool(header.groups)
            and {"sweep_group_name", "time_coverage_start"} <= header.variables
            and "sweep_start_ray_index" not in header.variables)


#: xradar's header-reading engines and what each takes, tested on one header.
HEADER_TESTS = {
    "cfradial1": _cfradial1,
    "cfradial2": _cfradial2,
    "gamic": lambda header: {"what", "scan0"} <= header.groups,
    "imd": lambda header: {"radialAzim", "elevationAngle"} <= header.variables,
    "odim": lambda header: str(header.attrs.get("Conventions", "")).startswith("ODIM_H5"),
}
