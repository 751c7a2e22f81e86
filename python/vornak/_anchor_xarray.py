"""Anchoring of dealiased xarray sweeps: the whole-fold step of `_anchor` run
on the sweeps that `dealias_sweep` made, in their azimuth order.

Each sweep's `VRADDH` (and `VRADDH_FOLDS`) is replaced by the anchored one,
and its attributes say what anchored it and by how much. Only PPIs are
anchored: the references place gates by azimuth and ground range.
"""

import numpy as np

from . import _anchor, _array, names
from ._xarray import _ray_order, covers_full_circle

#: What `anchor=` accepts besides None.
MODES = ("volume", "vad")


def check_mode(anchor):
    if anchor is not None and anchor not in MODES:
        raise ValueError(f"vornak: anchor must be one of {', '.join(map(repr, MODES))} or None, got {anchor!r}")
    return anchor


def _sweep_input(ds):
    """The arrays of one dealiased sweep in azimuth order, and that order;
    None when the sweep is no PPI with ranges."""
    dealiased = ds[names.DEALIASED]
    field = dealiased.attrs["source_field"]
    var = ds[field]
    gate_dim = names.RANGE if names.RANGE in var.dims else var.dims[1]
    ray_dim = next(d for d in var.dims if d != gate_dim)
    order, angle = _ray_order(ds, ray_dim)
    if angle != names.AZIMUTH or names.RANGE not in ds.coords or names.FOLDS not in ds.variables:
        return None, None
    azimuth = np.asarray(ds[names.AZIMUTH].values, dtype=np.float64)[order]
    if names.FIXED_ANGLE in ds.variables:
        elevation = float(ds[names.FIXED_ANGLE].values)
    else:
        elevation = float(np.nanmedian(np.asarray(ds[names.ELEVATION].values, dtype=np.float64)))
    with np.errstate(over="ignore", invalid="ignore"):
        vel = np.asarray(var.transpose(ray_dim, gate_dim).values, dtype=np.float32)[order]
    out = np.asarray(dealiased.transpose(ray_dim, gate_dim).values)[order]
    folds = np.asarray(ds[names.FOLDS].transpose(ray_dim, gate_dim).values, dtype=np.int32)[order]
    sweep = _anchor.SweepInput(vel, folds, ~np.isfinite(out), float(dealiased.attrs[names.NYQUIST]), azimuth,
                               elevation, np.asarray(ds[names.RANGE].values, dtype=np.float64),
                               covers_full_circle(azimuth))
    return sweep, (order, ray_dim, gate_dim, var.dims)


def anchor_sweeps(datasets, *, volume=True, profile=None, keep_folds=True):
    """The dealiased sweep datasets (each with `VRADDH_FOLDS`) anchored:
    to `profile` where given, else to one another (`volume`), else each by
    its VAD fit. Returns new datasets in the same order."""
    prepared = [_sweep_input(ds) for ds in datasets]
    ppis = [i for i, (sweep, _) in enumerate(prepared) if sweep is not None]
    results = _anchor.anchor_volume([prepared[i][0] for i in ppis], profile=profile, volume=volume, vad=True)
    out = []
    for i, ds in enumerate(datasets):
        ds = ds.copy()
        if i in ppis:
            folds, report = results[ppis.index(i)]
            ds = _replace(ds, prepared[i], folds, report)
        else:
            ds[names.DEALIASED].attrs[names.ANCHOR] = "not anchored: no PPI"
        if not keep_folds:
            ds = ds.drop_vars(names.FOLDS)
        out.append(ds)
    return out


def _replace(ds, prepared, folds_sorted, report):
    sweep, (order, ray_dim, gate_dim, dims) = prepared
    folds = np.empty_like(folds_sorted)
    folds[order] = folds_sorted  # back to the dataset's own ray order
    vel = np.empty_like(sweep.velocity)
    vel[order] = sweep.velocity
    excluded = np.empty_like(sweep.excluded)
    excluded[order] = sweep.excluded
    with np.errstate(invalid="ignore", over="ignore"):
        dealiased = _array.unfold(vel, folds, sweep.nyquist)
    dealiased[excluded] = np.nan
    attrs = dict(ds[names.DEALIASED].attrs)
    attrs.update({names.ANCHOR: report.describe(), names.ANCHOR_SHIFT: report.sweep_shift,
                  names.ANCHOR_GATES: report.gates_changed, names.ANCHOR_NEARBY: report.nearby_gates})
    encoding = ds[names.DEALIASED].encoding
    ds[names.DEALIASED] = ((ray_dim, gate_dim), dealiased)
    ds[names.DEALIASED] = ds[names.DEALIASED].transpose(*dims).assign_attrs(attrs)
    ds[names.DEALIASED].encoding = encoding
    fold_attrs = ds[names.FOLDS].attrs
    ds[names.FOLDS] = ((ray_dim, gate_dim), folds)
    ds[names.FOLDS] = ds[names.FOLDS].transpose(*dims).assign_attrs(fold_attrs)
    return ds
