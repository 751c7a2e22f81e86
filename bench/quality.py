#!/usr/bin/env python3
"""vornak quality benchmark: how many gates come back on their true fold.

Cases (bench/quality_cases.py): the JMA truth sweep and the pseudo-truth PPIs
folded at 6 to 20 m/s, and recorded NEXRAD volumes without truth. Every
variant is a function case -> fold counts; `VARIANTS` maps names to them, so
other post-steps plug in by adding an entry (`per_volume` caches a step that
needs the whole volume). Figures, per folding:

- exact: share of valid gates (over all sweeps of the kind, gate-weighted)
  whose fold count is the true one; one off: share one fold off;
- sweeps off: sweeps whose most common fold error is not zero (the whole
  sweep shifted);
- on recorded volumes: share of neighbouring gate pairs differing by more than
  the Nyquist velocity, and share of co-located gates of adjacent sweeps
  (same azimuth and ground range) differing by more than it;
- cost: anchoring a volume over dealiasing its sweeps, timed in the same run.

"anchored: volume + VAD" is the best anchoring a user has without a wind
profile of their own: the volume's sweeps carried from one another, then held
against the wind profile that their own VAD fits make. "anchored: profile"
takes a profile fitted to the truth (`truth_profile`): a ceiling. Every
anchored variant ends with the nearby echo step (small echo areas put on the
fold of the large echo beside them); the rows "no nearby echo" leave it out.

    python bench/quality.py [--data DIR] [--quick] [--json FILE] [--figure PNG]
"""

from __future__ import annotations

import argparse
import functools
import json
import sys
import time
from pathlib import Path

import numpy as np

import vornak
from vornak import _anchor, _seam, _speckle

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import quality_cases as Q  # noqa: E402


# ---------------------------------------------------------------- variants


@functools.lru_cache(maxsize=None)
def core_folds(case: Q.Case) -> np.ndarray:
    """The exact algorithm with default parameters (0 where masked)."""
    folds = vornak.fold_counts(case.vel, case.nyquist, mask=case.mask, rays_wrap_around=case.rays_wrap_around)
    return np.ma.getdata(folds)


def sweep_input(case: Q.Case, folds=None) -> _anchor.SweepInput:
    return _anchor.SweepInput(case.vel, core_folds(case) if folds is None else folds, case.mask, case.nyquist,
                              case.azimuth, case.fixed_angle, case.ranges, case.rays_wrap_around)


def per_volume(step):
    """Turns step(volume) -> [folds per case] into a variant case -> folds,
    computed once per volume."""
    done = {}

    def variant(case):
        key = id(case.volume)
        if key not in done:
            done[key] = (case.volume, dict(zip(map(id, case.volume.cases), step(case.volume))))
        return done[key][1][id(case)]

    variant.step = step
    return variant


def truth_profile(volume: Q.Volume):
    """Wind profile (height, u, v) from a VAD fit of the true fields of the
    volume, every range ring with echo in 6 of 8 sectors, the median per
    250 m of height. Optimistic: it is fitted to the very velocities the
    anchored sweeps should come back to, at the same time and at every
    gate, folded bands included; a sounding or a model is not that close.
    A ceiling for the profile reference, not what a user has."""
    heights, us, vs = [], [], []
    for case in volume.cases:
        if case.truth is None:
            return None
        valid = ~case.mask
        ray, gate = np.nonzero(valid)
        az = np.radians(case.azimuth)[ray]
        cos_el = np.cos(np.radians(case.fixed_angle))
        x = np.stack([np.ones_like(az), np.sin(az) * cos_el, np.cos(az) * cos_el], -1)
        y = case.truth[valid]
        ng = case.vel.shape[1]
        normal = np.zeros((ng, 3, 3))
        rhs = np.zeros((ng, 3))
        for i in range(3):
            rhs[:, i] = np.bincount(gate, weights=x[:, i] * y, minlength=ng)
            for j in range(3):
                normal[:, i, j] = np.bincount(gate, weights=x[:, i] * x[:, j], minlength=ng)
        sectors = np.bincount(gate * 8 + np.minimum((az / (np.pi / 4)).astype(int), 7), minlength=ng * 8)
        good = ((sectors.reshape(ng, 8) > 0).sum(1) >= 6) & (normal[:, 0, 0] >= 30)
        sol = np.linalg.solve(normal[good] + 1e-9 * np.eye(3), rhs[good][..., None])[..., 0]
        heights.append(_anchor.gate_height(case.ranges[good], case.fixed_angle))
        us.append(sol[:, 1])
        vs.append(sol[:, 2])
    h, u, v = (np.concatenate(a) for a in (heights, us, vs))
    if h.size < 3:
        return None
    bins = np.floor(h / 250.0).astype(int)
    keys = np.unique(bins)
    mid = np.array([np.median(h[bins == k]) for k in keys])
    return mid, np.array([np.median(u[bins == k]) for k in keys]), np.array([np.median(v[bins == k]) for k in keys])


def _anchored(vol, **kwargs):
    return [f for f, _ in _anchor.anchor_volume([sweep_input(c) for c in vol.cases], **kwargs)]


def _profile_anchored(volume):
    profile = truth_profile(volume)
    if profile is None:
        return [core_folds(c) for c in volume.cases]
    return _anchored(volume, profile=profile)


def unwrap_phase_folds(case: Q.Case) -> np.ndarray:
    """scikit-image's phase unwrapping, centred like vornak (mean fold rounded
    to zero). Masked gates hold 0: with NaN under the mask it never returns."""
    from skimage.restoration import unwrap_phase

    phase = np.ma.MaskedArray(np.where(case.mask, 0.0, case.vel * np.pi / case.nyquist), mask=case.mask)
    unwrapped = unwrap_phase(phase, wrap_around=(case.rays_wrap_around, False))
    folds = np.rint((np.ma.getdata(unwrapped) * case.nyquist / np.pi - np.nan_to_num(case.vel)) / (2 * case.nyquist))
    valid = ~case.mask
    if valid.any():
        folds -= np.rint(folds[valid].mean())
    return np.where(case.mask, 0, folds).astype(np.int32)


def seam_repaired(case: Q.Case) -> np.ndarray:
    """The seam repair of the xarray path (a no-op unless a seam line shows)."""
    folds, _ = _seam.fold_counts_seamed(case.vel, case.nyquist, mask=case.mask, rays_wrap_around=case.rays_wrap_around)
    return np.ma.getdata(folds)


def speckle_repaired(case: Q.Case) -> np.ndarray:
    """The speckle repair of the xarray path after the exact algorithm."""
    return _speckle.speckle_folds(case.vel, core_folds(case), case.nyquist, case.mask, case.rays_wrap_around)[0]


def both_repaired(case: Q.Case) -> np.ndarray:
    return _speckle.speckle_folds(case.vel, seam_repaired(case), case.nyquist, case.mask, case.rays_wrap_around)[0]


VARIANTS = {
    "vornak": core_folds,
    "seam repair": seam_repaired,
    "speckle repair": speckle_repaired,
    "seam + speckle repair": both_repaired,
    "anchored: VAD": per_volume(lambda vol: _anchored(vol, volume=False, vad=True)),
    "anchored: VAD, no nearby echo": per_volume(lambda vol: _anchored(vol, volume=False, vad=True, nearby=False)),
    "anchored: volume": per_volume(lambda vol: _anchored(vol, volume=True, vad=False)),
    "anchored: volume + VAD": per_volume(lambda vol: _anchored(vol, volume=True, vad=True)),
    "anchored: volume + VAD, no nearby echo": per_volume(
        lambda vol: _anchored(vol, volume=True, vad=True, nearby=False)),
    "anchored: profile": per_volume(_profile_anchored),
    "unwrap_phase": unwrap_phase_folds,
}

#: Variants run only where they make sense.
ONLY_FOR = {"anchored: profile": ("truth", "pseudo-truth"), "unwrap_phase": ("truth", "pseudo-truth", "real")}


# ---------------------------------------------------------------- metrics


def truth_counts(case, folds):
    err = (folds - case.true_folds())[~case.mask]
    vals, counts = np.unique(err, return_counts=True)
    modal = int(vals[counts.argmax()]) if err.size else 0
    return int((err == 0).sum()), int((np.abs(err) == 1).sum()), int(err.size), modal != 0


def dealiased(case, folds):
    return np.where(case.mask, np.nan, case.vel.astype(np.float64) + folds * 2.0 * case.nyquist)


def colocated_disagreement(a: Q.Case, fa, b: Q.Case, fb):
    """Gates of sweep `a` whose co-located gate in sweep `b` (nearest ray by
    azimuth within a ray spacing, nearest gate by ground range within a gate)
    differs by more than the Nyquist velocity, after the elevation cosine."""
    va, vb = dealiased(a, fa), dealiased(b, fb)
    az_b = np.mod(b.azimuth, 360.0)
    order = np.argsort(az_b)
    spacing = np.median(np.diff(np.sort(az_b)))
    az_a = np.mod(a.azimuth, 360.0)
    d = np.abs(((az_a[:, None] - az_b[order][None, :]) + 180.0) % 360.0 - 180.0)
    near = d.argmin(axis=1)
    ray_ok = d[np.arange(az_a.size), near] <= spacing
    rays = order[near]
    ga, gb = _anchor.ground_range(a.ranges, a.fixed_angle), _anchor.ground_range(b.ranges, b.fixed_angle)
    gi = np.clip(np.searchsorted(gb, ga), 1, gb.size - 1)
    gi = np.where(np.abs(gb[gi - 1] - ga) <= np.abs(gb[gi] - ga), gi - 1, gi)
    gate_ok = np.abs(gb[gi] - ga) <= np.median(np.diff(gb))
    other = vb[rays][:, gi] * (np.cos(np.radians(a.fixed_angle)) / np.cos(np.radians(b.fixed_angle)))
    ok = ray_ok[:, None] & gate_ok[None, :] & np.isfinite(va) & np.isfinite(other)
    return int((np.abs(va - other)[ok] > a.nyquist).sum()), int(ok.sum())


# ---------------------------------------------------------------- running


def anchoring_cost(volume, repeats=7):
    """Anchoring by VAD (every sweep on its own, the default), the same
    without the nearby echo step, and by the volume (volume + VAD) over the
    core calls that dealias the volume's sweeps. The four alternate within
    each repeat and the least time of each is taken: the machine is shared,
    and interference only adds time."""
    inputs = [sweep_input(c) for c in volume.cases]

    def core():
        for c in volume.cases:
            vornak.fold_counts(c.vel, c.nyquist, mask=c.mask, rays_wrap_around=c.rays_wrap_around)

    def vad():
        for s in inputs:
            _anchor.anchor_sweep(s, vad=True)

    def vad_alone():
        for s in inputs:
            _anchor.anchor_sweep(s, vad=True, nearby=False)

    def by_volume():
        _anchor.anchor_volume(inputs, volume=True, vad=True)

    times = {core: [], vad: [], vad_alone: [], by_volume: []}
    for _ in range(repeats + 1):  # the first round warms up
        for fn in times:
            t0 = time.perf_counter()
            fn()
            times[fn].append(time.perf_counter() - t0)
    return tuple(min(times[fn][1:]) for fn in (core, vad, vad_alone, by_volume))


def run(volumes, variants):
    rows = {}  # (kind, nyquist label, variant) -> sums
    harm = {}  # (kind, variant) -> [sweeps worse than vornak by > 0.1 point, worst change, its case]
    real = {}
    costs = []
    for volume in volumes:
        label = volume.name.rsplit("@ ", 1)[-1] if volume.kind != "real" else volume.name
        for name, fn in variants.items():
            if volume.kind not in ONLY_FOR.get(name, ("truth", "pseudo-truth", "real")):
                continue
            folds = [fn(c) for c in volume.cases]
            if volume.kind == "real":
                jumps = pairs = 0
                for c, f in zip(volume.cases, folds):
                    share = Q.jump_share(dealiased(c, f), c.nyquist, c.rays_wrap_around)
                    n = c.valid
                    jumps += share * n
                    pairs += n
                bad = total = 0
                order = sorted(range(len(volume.cases)), key=lambda i: volume.cases[i].fixed_angle)
                for i, j in zip(order, order[1:]):
                    b, t = colocated_disagreement(volume.cases[i], folds[i], volume.cases[j], folds[j])
                    bad += b
                    total += t
                real[(label, name)] = (jumps / pairs if pairs else 0.0, bad / total if total else float("nan"))
                continue
            acc = rows.setdefault((volume.kind, label, name), [0, 0, 0, 0, 0])
            for c, f in zip(volume.cases, folds):
                exact, off, n, shifted = truth_counts(c, f)
                base = truth_counts(c, core_folds(c))[0]
                change = 100.0 * (exact - base) / n
                worse = harm.setdefault((volume.kind, name), [0, 0.0, ""])
                if change < -0.1:
                    worse[0] += 1
                if change < worse[1]:
                    worse[1:] = [change, c.name]
                acc[0] += exact
                acc[1] += off
                acc[2] += n
                acc[3] += shifted
                acc[4] += 1
        if len(volume.cases) > 1 or volume.kind == "truth":
            costs.append((volume.name, sum(c.valid for c in volume.cases), anchoring_cost(volume)))
    return rows, harm, real, costs


def tables(rows, harm, real, costs, variants):
    out = []
    for kind in ("truth", "pseudo-truth"):
        labels = sorted({k[1] for k in rows if k[0] == kind}, key=float)
        if not labels:
            continue
        sweeps = rows[(kind, labels[0], "vornak")][4]
        gates = rows[(kind, labels[0], "vornak")][2]
        out.append(f"\n**{kind}** ({sweeps} sweeps, {gates} valid gates per folding): exact share, "
                   "one-fold-off share, sweeps whose most common error is a whole fold\n")
        out.append("| variant | " + " | ".join(f"{n} m/s" for n in labels) + " |")
        out.append("|---|" + "---|" * len(labels))
        for name in variants:
            cells = []
            for n in labels:
                acc = rows.get((kind, n, name))
                if acc is None:
                    cells.append("")
                    continue
                cells.append(f"{100 * acc[0] / acc[2]:.2f} % / {100 * acc[1] / acc[2]:.2f} % / {acc[3]}")
            if any(cells):
                out.append(f"| {name} | " + " | ".join(cells) + " |")
    if harm:
        out.append("\n**never worse?** sweeps (of all foldings) whose exact share drops by more than 0.1 point "
                   "against vornak, and the largest drop\n")
        out.append("| variant | truth | pseudo-truth |")
        out.append("|---|---|---|")
        for name in variants:
            if name == "vornak":
                continue
            cells = []
            for kind in ("truth", "pseudo-truth"):
                h = harm.get((kind, name))
                cells.append("" if h is None else f"{h[0]}, {h[1]:+.2f} points" + (f" ({h[2]})" if h[1] < -0.1 else ""))
            out.append(f"| {name} | " + " | ".join(cells) + " |")
    if real:
        names = [n for n in variants if any(k[1] == n for k in real)]
        vols = sorted({k[0] for k in real})
        out.append("\n**recorded volumes** (no truth): neighbour pairs differing by more than the Nyquist "
                   "velocity / co-located gates of adjacent sweeps differing by more than it\n")
        out.append("| variant | " + " | ".join(vols) + " |")
        out.append("|---|" + "---|" * len(vols))
        for name in names:
            cells = []
            for v in vols:
                j, c = real.get((v, name), (float("nan"), float("nan")))
                cells.append(f"{100 * j:.3f} % / " + ("-" if c != c else f"{100 * c:.3f} %"))
            out.append(f"| {name} | " + " | ".join(cells) + " |")
    if costs:
        out.append("\n**cost**: anchoring by VAD (each sweep, the default; without the nearby echo step in "
                   "brackets) and by the volume (volume + VAD) against the core calls that dealias the volume's "
                   "sweeps, least of 7 alternating runs each\n")
        out.append("| volume | valid gates | core ms | VAD ms | VAD / core | volume ms | volume / core |")
        out.append("|---|---|---|---|---|---|---|")
        for name, gates, (core, vad, vad_alone, by_volume) in costs:
            out.append(f"| {name} | {gates} | {1e3 * core:.1f} | {1e3 * vad:.1f} ({1e3 * vad_alone:.1f}) "
                       f"| {vad / core:.2f} x ({vad_alone / core:.2f} x) | {1e3 * by_volume:.1f} | {by_volume / core:.2f} x |")
    return "\n".join(out)


#: The sweep of the README picture: volume name prefix, sweep, folded at (m/s).
FIGURE_CASE = ("KLIX", "sweep5", 10.0)


def figure(path, data, which=FIGURE_CASE):
    """Folded, vornak, anchored and true velocity of one pseudo-truth sweep."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    prefix, sweep, folded_at = which
    volume = next(v for v in Q.pseudo_truth_volumes(data, (folded_at,)) if v.name.startswith(prefix))
    case = next(c for c in volume.cases if c.source.endswith(sweep))
    base = core_folds(case)
    anchored = VARIANTS["anchored: volume + VAD"](case)
    panels = [(f"folded at {folded_at:g} m/s", case.vel), ("vornak", dealiased(case, base)),
              ("anchored (volume + VAD)", dealiased(case, anchored)), ("recorded (pseudo-truth)", case.truth)]
    order = np.argsort(np.mod(case.azimuth, 360.0))  # rays drawn by azimuth
    panels = [(title, field[order]) for title, field in panels]
    # Cell corners: halfway between neighbouring rays and gates.
    az = np.mod(case.azimuth[order], 360.0)
    az_edges = np.radians(np.concatenate([[az[0] - (az[0] + 360.0 - az[-1]) / 2], (az[:-1] + az[1:]) / 2,
                                          [az[-1] + (az[0] + 360.0 - az[-1]) / 2]]))
    rr = case.ranges / 1000.0
    step = rr[1] - rr[0]
    r_edges = np.maximum(np.append(rr - step / 2, rr[-1] + step / 2), 0.0)
    x = r_edges[None, :] * np.sin(az_edges)[:, None]
    y = r_edges[None, :] * np.cos(az_edges)[:, None]
    reach = rr[np.flatnonzero((~case.mask).any(axis=0)).max()]
    fig, axes = plt.subplots(1, 4, figsize=(18, 4.8), constrained_layout=True)
    for ax, (title, field) in zip(axes, panels):
        exact = ""
        if title.startswith(("vornak", "anchored")):
            folds = base if title == "vornak" else anchored
            e, _, n, _ = truth_counts(case, folds)
            exact = f": {100 * e / n:.1f} % exact"
        m = ax.pcolormesh(x, y, np.ma.masked_invalid(field), cmap="RdBu_r", vmin=-40, vmax=40, shading="flat")
        ax.set_title(title + exact)
        ax.set_aspect("equal")
        ax.set_xlim(-reach, reach)
        ax.set_ylim(-reach, reach)
        ax.set_xlabel("km east")
    axes[0].set_ylabel("km north")
    fig.colorbar(m, ax=axes, label="radial velocity, m/s", shrink=0.9)
    fig.suptitle(f"{case.source} ({case.fixed_angle:.1f} deg), folded at {folded_at:g} m/s")
    fig.savefig(path, dpi=80)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=Q.DEFAULT_DATA)
    parser.add_argument("--quick", action="store_true", help="fold at 6 and 10 m/s only, no unwrap_phase")
    parser.add_argument("--json", type=Path)
    parser.add_argument("--figure", type=Path, help="write the README picture here")
    args = parser.parse_args(argv)
    if not args.data.is_dir():
        sys.exit(f"vornak: no sweep directory {args.data}; pass --data DIR")
    nyquists = (6.0, 10.0) if args.quick else Q.FOLD_NYQUISTS
    variants = dict(VARIANTS)
    if args.quick:
        variants.pop("unwrap_phase")
    t0 = time.perf_counter()
    rows, harm, real, costs = run(Q.all_volumes(args.data, nyquists), variants)
    print(f"vornak quality benchmark ({'quick' if args.quick else 'full'}), {time.perf_counter() - t0:.0f} s")
    print(tables(rows, harm, real, costs, variants))
    if args.json:
        args.json.write_text(json.dumps({
            "truth": {" | ".join(k): v for k, v in rows.items()},
            "worse": {" | ".join(k): v for k, v in harm.items()},
            "real": {" | ".join(k): v for k, v in real.items()},
            "cost": costs,
        }, indent=1))
    if args.figure:
        figure(args.figure, args.data)


if __name__ == "__main__":
    main()
