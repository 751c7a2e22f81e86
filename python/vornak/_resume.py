"""Which input and which settings made an output, so that a rerun redoes only
what changed.

Every output carries, in its root attributes, the input it was made from
(absolute path, size, modification time, a hash of its first bytes) and the
vornak version and options that shape its data. An output whose record
matches the input and options of the present run is complete (outputs only
get their final name once written and checked) and is skipped.
"""

import dataclasses
import datetime
import hashlib
import os

from . import names

#: Bytes of the input hashed: enough to tell two radar files apart (their
#: headers carry the volume's time), cheap on thousands of files.
HEAD_BYTES = 1 << 16

#: FileOptions that do not change what is written into the netCDF output.
_NOT_IN_OUTPUT = ("plot", "settings")


def source_record(path, options):
    """The root attributes that say which input and options make an output.

    Taken before the input is read: an input changed while it is processed
    looks newer than its output on the next run.
    """
    from . import __version__

    path = os.path.abspath(path)
    info = os.stat(path)
    with open(path, "rb") as fh:
        head = hashlib.sha256(fh.read(HEAD_BYTES)).hexdigest()
    mtime = datetime.datetime.fromtimestamp(info.st_mtime_ns / 1e9, datetime.timezone.utc)
    return {
        names.SOURCE_FILE: path,
        names.SOURCE_SIZE: str(info.st_size),
        names.SOURCE_MTIME: mtime.isoformat(timespec="microseconds"),
        names.SOURCE_HEAD_SHA256: head,
        names.MADE_BY: __version__,
        names.MADE_WITH: describe_options(options),
    }


def describe_options(options):
    """The options that shape an output's data, as one line."""
    fields = [f"{f.name}={getattr(options, f.name)!r}" for f in dataclasses.fields(options) if f.name not in _NOT_IN_OUTPUT]
    return ", ".join([options.settings.describe(), *fields])


def is_done(path, output, options):
    """True when `output` exists and was made from this very input with these
    options (and, with --plot, its pictures are there too)."""
    try:
        record = source_record(path, options)
    except OSError:
        return False  # an unreadable input is processed, and reported there
    written = output_record(output, record)
    if written != record:
        return False
    if not options.plot:
        return True
    try:
        return all(p.exists() for p in expected_pictures(output))
    except OSError:
        return False


def output_record(output, like):
    """The attributes named in `like` as the output file has them, or None
    when there is no complete, readable output."""
    if not os.path.exists(output):
        return None
    import netCDF4

    try:
        with netCDF4.Dataset(output) as nc:
            return {key: str(nc.getncattr(key)) for key in like if key in nc.ncattrs()}
    except OSError:
        return None  # not a netCDF file (any more): made again


def expected_pictures(output):
    """The pictures `--plot` writes beside an output: one per dealiased sweep."""
    import netCDF4

    from ._files import picture_path

    with netCDF4.Dataset(output) as nc:
        sweeps = [name for name, group in nc.groups.items() if names.DEALIASED in group.variables]
    return [picture_path(output, sweep) for sweep in sweeps]
