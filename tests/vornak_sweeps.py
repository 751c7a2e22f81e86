"""Synthetic sweeps for the vornak package tests: a smooth wind field folded
at a chosen Nyquist velocity, as arrays and as xradar-shaped datasets."""

from pathlib import Path

import numpy as np

DATA = Path(__file__).parent / "data"
ODIM_FILE = DATA / "T_PAZE63_C_LFPW_20230420065446.h5"
NYQUIST = 10.0


def wind(nrays=360, ngates=120, start=0.5, span=360.0, seed=0):
    """(azimuth in degrees, true velocity, velocity folded at NYQUIST), float32."""
    rng = np.random.default_rng(seed)
    azimuth = (start + np.arange(nrays) * span / nrays) % 360.0
    a = np.radians(azimuth)[:, None]
    r = np.linspace(0.05, 1.0, ngates)[None, :]
    true = 28.0 * np.sin(a) * r + 6.0 * np.cos(2 * a) * r + rng.normal(0, 0.2, (nrays, ngates))
    folded = (true + NYQUIST) % (2 * NYQUIST) - NYQUIST
    return azimuth.astype(np.float32), true.astype(np.float32), folded.astype(np.float32)


def sweep_dataset(nrays=360, ngates=120, span=360.0, nyquist=NYQUIST, field="VRADH", holes=True, seed=0):
    """One PPI sweep shaped as xradar returns it (rays along azimuth)."""
    import xarray as xr

    azimuth, _, folded = wind(nrays, ngates, span=span, seed=seed)
    if holes:  # missing gates as NaN, as xradar decodes fill values
        folded[: nrays // 8, ngates // 2 :] = np.nan
    rng = 125.0 + 250.0 * np.arange(ngates)
    ds = xr.Dataset(
        {
            field: (("azimuth", "range"), folded.astype(np.float64), {"units": "meters per seconds",
                                                                   "standard_name": "radial_velocity_of_scatterers_away_from_instrument_h"}),
            "DBZH": (("azimuth", "range"), np.full((nrays, ngates), 20.0)),
            "sweep_mode": ((), "azimuth_surveillance"),
            "sweep_fixed_angle": ((), 0.5),
        },
        coords={
            "azimuth": ("azimuth", azimuth, {"units": "degrees"}),
            "elevation": ("azimuth", np.full(nrays, 0.5, np.float32)),
            "range": ("range", rng.astype(np.float32), {"units": "meters"}),
        },
    )
    if nyquist is not None:
        ds["nyquist_velocity"] = ((), nyquist)
    return ds


def volume_tree(nsweeps=3, **kwargs):
    """A DataTree of `nsweeps` synthetic sweeps plus one reflectivity-only sweep."""
    import xarray as xr

    nodes = {"/": xr.Dataset(attrs={"instrument_name": "SYNTH"})}
    for i in range(nsweeps):
        nodes[f"/sweep_{i}"] = sweep_dataset(seed=i, **kwargs)
    nodes[f"/sweep_{nsweeps}"] = sweep_dataset(seed=nsweeps, **kwargs).drop_vars("VRADH")
    return xr.DataTree.from_dict(nodes)
