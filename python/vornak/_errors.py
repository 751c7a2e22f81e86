"""The error of the file path: a radar file that cannot be read, dealiased or written."""


class RadarFileError(Exception):
    """A radar file that cannot be read or written; the message names the file."""
