"""Real radar data shipped with the package (see data/ATTRIBUTION), for the
demo, the README's examples and first steps."""

from importlib import resources

import numpy as np

SAMPLE_SWEEP = "MLL2217907250U_003_sweep0.npz"
SAMPLE_VOLUME = "MLL2217907250U_003_gates0-160_cfradial1.nc"


def sample_sweep():
    """A folded C-band PPI (Nyquist 8.25 m/s) as a dict of arrays: `velocity`
    (360 rays x 492 gates, NaN without echo), `azimuth`, `elevation`, `range`,
    `nyquist`, `time`."""
    with resources.files("vornak").joinpath("data", SAMPLE_SWEEP).open("rb") as fh:
        with np.load(fh, allow_pickle=False) as z:
            return {key: z[key] for key in z.files}


def sample_volume():
    """Path of a small CfRadial 1 file of the same radar (the sweep's first
    40 km), for `open_radar`, `dealias_volume` and ``vornak dealias``."""
    return str(resources.files("vornak").joinpath("data", SAMPLE_VOLUME))
