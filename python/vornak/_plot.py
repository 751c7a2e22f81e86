"""Pictures: the folded and the dealiased velocity of one sweep side by side."""

import numpy as np

from ._optional import require

CMAP = "RdBu_r"  # diverging: towards the radar blue, away red, calm white
NO_DATA = "#d9d9d9"


def _angle_edges(angles):
    """Cell edges between consecutive ray angles (degrees), ends extrapolated."""
    a = np.asarray(angles, dtype=np.float64)
    if a.size == 1:
        return np.array([a[0] - 0.5, a[0] + 0.5])
    mid = (a[:-1] + a[1:]) / 2
    return np.concatenate([[a[0] - (mid[0] - a[0])], mid, [a[-1] + (a[-1] - mid[-1])]])


def _range_edges(rng):
    r = np.asarray(rng, dtype=np.float64)
    step = np.diff(r).mean() if r.size > 1 else 1.0
    return np.concatenate([r - step / 2, [r[-1] + step / 2]])


def _geometry(azimuth, elevation, rng, rhi):
    """Cell corner coordinates in km: (x, y) of a PPI, (distance, height) of an RHI.

    Not xradar's `georeference`: it gives the gate centres, and a flat-shaded
    mesh needs the corners between them.
    """
    r = _range_edges(rng) / 1000.0
    if rhi:
        el = np.radians(_angle_edges(elevation))[:, None]
        return r[None, :] * np.cos(el), r[None, :] * np.sin(el)
    az = np.radians(_angle_edges(np.unwrap(np.asarray(azimuth, dtype=np.float64), period=360)))[:, None]
    return r[None, :] * np.sin(az), r[None, :] * np.cos(az)


def colour_limit(dealiased, nyquist):
    """The one colour scale of both panels, +-this many m/s: the largest
    dealiased speed (99.9th percentile, so a stray gate does not wash out the
    rest), rounded up, and never less than the Nyquist velocity."""
    finite = np.abs(dealiased[np.isfinite(dealiased)])
    top = np.percentile(finite, 99.9) if finite.size else nyquist
    step = 5.0 if top > 10 else 2.0
    return float(max(nyquist, np.ceil(top / step) * step))


def _extent(x, y, valid):
    """Half-width (km) that holds the valid data, rounded up to 25 km."""
    xc, yc = (x[:-1, :-1] + x[1:, 1:]) / 2, (y[:-1, :-1] + y[1:, 1:]) / 2
    if not valid.any():
        return float(np.abs(np.concatenate([x.ravel(), y.ravel()])).max())
    reach = np.percentile(np.hypot(xc[valid], yc[valid]), 99.5)
    return float(np.ceil(reach * 1.05 / 25.0) * 25.0)


def plot_sweep(path, folded, dealiased, nyquist, **kwargs):
    """Write a PNG with the folded and the dealiased velocity as PPIs (or RHIs).

    `folded` and `dealiased` are (rays, gates) arrays in m/s, NaN where there
    is no data; rays are drawn in the order given, so sort them by angle first.
    Keyword arguments as for `sweep_figure`.
    """
    fig = sweep_figure(folded, dealiased, nyquist, **kwargs)
    import matplotlib.pyplot as plt

    fig.savefig(path, dpi=110, facecolor="white")
    plt.close(fig)
    return path


def sweep_figure(folded, dealiased, nyquist, *, azimuth, elevation, rng, rhi=False, title="", subtitle=""):
    """The figure of `plot_sweep`: two panels in one colour scale, so that a
    velocity has one colour in both, the Nyquist interval marked on the
    colour bars. With `azimuth` None the rays are a time series of a
    vertically pointing radar, drawn as time (ray number) against range."""
    require("matplotlib", "plotting")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    folded = np.asarray(folded, dtype=np.float64)
    dealiased = np.asarray(dealiased, dtype=np.float64)
    pointing = azimuth is None
    if pointing:
        r = _range_edges(rng) / 1000.0
        t = np.arange(folded.shape[0] + 1, dtype=np.float64) - 0.5
        x, y = np.broadcast_to(t[:, None], (t.size, r.size)), np.broadcast_to(r[None, :], (t.size, r.size))
    else:
        x, y = _geometry(azimuth, elevation, rng, rhi)
    valid = np.isfinite(folded)
    half = _extent(x, y, valid) if not pointing else 0.0
    limit = colour_limit(dealiased, nyquist)

    fig, axes = plt.subplots(1, 2, figsize=(13.5, 6.6), layout="constrained")
    panels = [
        (axes[0], folded, f"Measured (folded), Nyquist \u00b1{nyquist:.2f} m/s"),
        (axes[1], dealiased, "Dealiased by vornak"),
    ]
    for ax, data, label in panels:
        ax.set_facecolor(NO_DATA)
        mesh = ax.pcolormesh(x, y, np.ma.masked_invalid(data), cmap=CMAP, vmin=-limit, vmax=limit, shading="flat",
                             rasterized=True)
        cbar = fig.colorbar(mesh, ax=ax, shrink=0.86, pad=0.02, extend="both")
        cbar.set_label("radial velocity (m/s), + away from radar")
        for edge in (-nyquist, nyquist):  # the interval the measured velocities are folded into
            cbar.ax.axhline(edge, color="k", lw=1.2, ls="--")
        ax.set_title(label, fontsize=13)
        if pointing:
            ax.set_xlabel("ray (time order)")
            ax.set_ylabel("range (km)")
        elif rhi:
            ax.set_xlim(0, half)
            ax.set_ylim(0, min(half, max(5.0, float(np.nanmax(np.where(valid, (y[:-1, :-1] + y[1:, 1:]) / 2, np.nan), initial=5.0)) * 1.2)))
            ax.set_xlabel("distance from radar (km)")
            ax.set_ylabel("height above radar (km)")
        else:
            ax.set_xlim(-half, half)
            ax.set_ylim(-half, half)
            ax.set_aspect("equal")
            ax.set_xlabel("east of radar (km)")
            ax.set_ylabel("north of radar (km)")
            step = 50 if half > 120 else 25 if half > 50 else 10
            for ring in np.arange(step, half * 1.5, step):
                ax.add_patch(plt.Circle((0, 0), ring, fill=False, lw=0.6, ls="--", color="0.35", alpha=0.6))
            ax.plot(0, 0, marker="+", color="k", ms=9)
        ax.grid(False)
    if title:
        fig.suptitle(title + (f"\n{subtitle}" if subtitle else ""), fontsize=14)
    return fig
