"""The error vornak raises for a radar file it cannot read or write."""


class RadarFileError(Exception):
    """A radar file that cannot be read or written; the message names the file."""
