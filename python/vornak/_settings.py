"""The tuning of the dealiasing and the options of the file path, validated once.

`Settings` holds the parameters that shape the fold counts of a sweep;
`FileOptions` adds what the command line decides for each file. Both are
frozen: built and checked once (by `fold_counts`, `dealias_sweep` or the
command line before any file is read), then passed along unchanged.
"""

import dataclasses
import numbers
import operator

import numpy as np


def check_nyquist(nyquist):
    if isinstance(nyquist, (bool, np.bool_)) or not isinstance(nyquist, (numbers.Real, np.ndarray)):
        raise TypeError(f"vornak: nyquist must be a number in m/s, got {type(nyquist).__name__}")
    try:
        value = float(nyquist)
    except (TypeError, ValueError):
        raise TypeError(f"vornak: nyquist must be a single number in m/s, got {nyquist!r}") from None
    if not (np.isfinite(value) and value > 0):
        raise ValueError(f"vornak: nyquist must be a positive, finite velocity in m/s, got {value}")
    return value


def check_flag(name, value):
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"vornak: {name} must be True or False, got {value!r}")
    return bool(value)


def check_count(name, value, smallest):
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"vornak: {name} must be an integer, got {value!r}")
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"vornak: {name} must be an integer, got {value!r}") from None
    if value < smallest:
        raise ValueError(f"vornak: {name} must be at least {smallest}, got {value}")
    return value


@dataclasses.dataclass(frozen=True)
class Settings:
    """The parameters of the region-based dealiasing of one sweep.

    interval_splits: velocity intervals the Nyquist interval is cut into (>= 1);
    skip_between_rays, skip_along_ray: longest run of excluded gates across
    rays and along a ray over which regions still neighbour (>= 0);
    centered: shift the folds so that their mean is within half a fold of 0;
    seam_repair, speckle_repair, noise_mask: the steps that the xarray layer
    and the command line add after the exact fold counts (see README; the
    array functions return the exact fold counts whatever these say).
    """

    interval_splits: int = 3
    skip_between_rays: int = 100
    skip_along_ray: int = 100
    centered: bool = True
    seam_repair: bool = True
    speckle_repair: bool = True
    noise_mask: bool = True

    def __post_init__(self):
        # normalise NumPy integers and booleans to plain ones, rejecting the rest
        for name, smallest in (("interval_splits", 1), ("skip_between_rays", 0), ("skip_along_ray", 0)):
            object.__setattr__(self, name, check_count(name, getattr(self, name), smallest))
        for name in ("centered", "seam_repair", "speckle_repair", "noise_mask"):
            object.__setattr__(self, name, check_flag(name, getattr(self, name)))

    def describe(self):
        """The parameters as written into the comment of a dealiased field."""
        return ", ".join(f"{f.name}={getattr(self, f.name)}" for f in dataclasses.fields(self))


DEFAULT_SETTINGS = Settings()


@dataclasses.dataclass(frozen=True)
class FileOptions:
    """What `vornak dealias` does with every file it is given.

    field: velocity variable, None to detect it in each sweep; nyquist: m/s
    overriding the file's own; exclude_below: (variable, threshold) pairs;
    plot / keep_folds: also write pictures / the fold counts; any_units:
    dealias a field whose units are not m/s; compress: write compressed netCDF;
    anchor: "vad" (the default), "volume" or None (see `dealias_volume`).
    """

    settings: Settings = DEFAULT_SETTINGS
    field: str | None = None
    nyquist: float | None = None
    exclude_below: tuple = ()
    plot: bool = False
    keep_folds: bool = False
    any_units: bool = False
    compress: bool = True
    anchor: str | None = "vad"

    def __post_init__(self):
        if self.anchor not in (None, "volume", "vad"):
            raise ValueError(f"vornak: anchor must be 'volume', 'vad' or None, got {self.anchor!r}")
        if self.nyquist is not None:
            object.__setattr__(self, "nyquist", check_nyquist(self.nyquist))
        object.__setattr__(self, "exclude_below", tuple(tuple(pair) for pair in self.exclude_below))
