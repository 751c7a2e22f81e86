"""vornak: fast, exact region-based dealiasing of Doppler radar velocities.

Arrays (NumPy, masked): `fold_counts`, `dealias`. xarray / xradar sweeps and
volumes (extra ``io``): `dealias_sweep`, `dealias_volume`. Command line:
``vornak dealias FILE... -o DIR`` and ``vornak demo``.
"""

__version__ = "0.1.0"

from ._array import dealias, fold_counts
from ._xarray import dealias_sweep, dealias_volume

__all__ = ["__version__", "dealias", "dealias_sweep", "dealias_volume", "fold_counts"]
