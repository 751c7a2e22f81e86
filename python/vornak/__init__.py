"""vornak: fast, exact region-based dealiasing of Doppler radar velocities.

Arrays (NumPy, masked): `fold_counts`, `dealias`. xarray / xradar sweeps and
volumes (extra ``io``): `open_radar`, `dealias_sweep`, `dealias_volume`. Command line:
``vornak dealias FILE... -o DIR`` and ``vornak demo``.
"""

__version__ = "0.1.0"

from ._array import dealias, fold_counts
from ._errors import RadarFileError
from ._io import open_radar
from ._samples import sample_sweep, sample_volume
from ._settings import Settings
from ._xarray import dealias_sweep, dealias_volume

__all__ = [
    "__version__", "RadarFileError", "Settings", "dealias", "dealias_sweep", "dealias_volume", "fold_counts",
    "open_radar", "sample_sweep", "sample_volume",
]
