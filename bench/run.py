#!/usr/bin/env python3
"""vornak benchmark: `_vornak.sweep_folds_py` against a floor pass and two
other approaches, over real and generated sweeps, all in one run.

Every time is a median over several runs after a warm-up, and is reported as
a ratio to the floor pass measured on the same sweep in the same run: one
NumPy elementwise pass that reads vel and mask and writes a new int32 array
of the sweep's shape. The machine is shared, so absolute times drift; ratios
taken side by side (the timed functions alternate within each repeat) do not.

    python bench/run.py [--quick] [--data DIR] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import resource
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np

import _vornak

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import sweeps as S  # noqa: E402

DEFAULT_DATA = HERE.parent.parent / "shared" / "data" / "sweeps"
SIZE = (720, 1832)  # the sweep users dealias every few minutes


# ---------------------------------------------------------------- timing

def floor_pass(vel: np.ndarray, mask: np.ndarray) -> np.ndarray:
    """One elementwise pass: reads both inputs, writes a fresh int32 array."""
    return np.add(vel, mask, out=np.empty(vel.shape, np.int32), casting="unsafe")


def call(s: S.Sweep, **params) -> np.ndarray:
    return _vornak.sweep_folds_py(s.vel, s.mask, s.nyquist, s.rays_wrap_around, **params)


def time_side_by_side(funcs: dict, repeats: int, min_sample: float = 0.004) -> dict:
    """Median seconds per call of each function. Each is warmed up once; a
    fast one is looped so that a sample lasts at least `min_sample`; slow
    ones get three samples at most (over 0.1 s), or two (over 2 s). Within a repeat the
    functions run one after another, so load changes hit all of them alike."""
    loops, counts = {}, {}
    for name, fn in funcs.items():
        t0 = time.perf_counter()
        fn()
        first = time.perf_counter() - t0
        loops[name] = max(1, math.ceil(min_sample / max(first, 1e-9)))
        counts[name] = repeats if first < 0.1 else min(repeats, 3 if first < 2.0 else 2)
    samples = {name: [] for name in funcs}
    for r in range(max(counts.values())):
        for name, fn in funcs.items():
            if r >= counts[name]:
                continue
            k = loops[name]
            t0 = time.perf_counter()
            for _ in range(k):
                fn()
            samples[name].append((time.perf_counter() - t0) / k)
    return {name: statistics.median(v) for name, v in samples.items()}


# ---------------------------------------------------------------- comparisons

def interval_masks(s: S.Sweep) -> list[np.ndarray]:
    """The three intervals of the default split of the Nyquist interval, as
    uint8 masks (values beyond it go to the outer intervals)."""
    third = s.nyquist / 3.0
    ok = ~s.mask
    v = np.where(ok, s.vel, 0.0)
    return [np.ascontiguousarray((ok & lo).astype(np.uint8))
            for lo in (v < -third, (v >= -third) & (v < third), v >= third)]


def opencv_labelling(masks):
    import cv2

    def run():
        return sum(cv2.connectedComponents(m, connectivity=4, ltype=cv2.CV_32S)[0] - 1
                   for m in masks)
    return run


def phase_unwrapping(s: S.Sweep):
    from skimage.restoration import unwrap_phase
    # Masked gates hold NaN in the sweeps; unwrap_phase must not see NaN even
    # under its mask (its sort never ends), so they become zero.
    phase = np.ma.masked_array(
        np.where(s.mask, 0.0, s.vel.astype(np.float64) * (math.pi / s.nyquist)), s.mask)
    wrap = (s.rays_wrap_around, False)
    return lambda: unwrap_phase(phase, wrap_around=wrap)


def region_count(masks) -> int:
    return opencv_labelling(masks)()


# ---------------------------------------------------------------- memory

MEMORY_CHILD = r"""
import ctypes, json, sys
sys.path.insert(0, {here!r})
import numpy as np, _vornak, sweeps as S
case = json.loads(sys.argv[1])
if case.get("path"):
    s = S.real(__import__("pathlib").Path(case["path"]))
else:
    s = S.generated(case["kind"], *case["shape"])
vel, mask = s.vel, s.mask
params = case.get("params", {{}})
# Map the code and touch the call path once on a tiny sweep.
_vornak.sweep_folds_py(np.zeros((4, 4), np.float32), np.zeros((4, 4), bool), 1.0, True)
ctypes.CDLL("libc.so.6").malloc_trim(0)

def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1]) * 1024

with open("/proc/self/clear_refs", "w") as f:  # peak := current resident set
    f.write("5")
before = status("VmRSS")
assert status("VmHWM") <= before + (1 << 16), "peak reset not supported"
if case.get("floor"):
    out = np.add(vel, mask, out=np.empty(vel.shape, np.int32), casting="unsafe")
else:
    out = _vornak.sweep_folds_py(vel, mask, s.nyquist, s.rays_wrap_around, **params)
peak = status("VmHWM")
print(json.dumps({{"extra": peak - before - out.nbytes, "gates": vel.size}}))
"""


def peak_extra_bytes(case: dict) -> float:
    """Peak resident memory of one call beyond inputs and output, per gate, in
    a fresh process: the peak is reset to the current resident set just before
    the call (/proc/self/clear_refs), read back after it (VmHWM), and the
    output's bytes taken off. Large blocks are mapped and unmapped directly
    (fixed mmap threshold), so freed memory is not reused unseen."""
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="65536")
    code = MEMORY_CHILD.format(here=str(HERE))
    out = subprocess.run([sys.executable, "-c", code, json.dumps(case)], env=env,
                         capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        raise RuntimeError(f"memory child failed for {case}: {out.stderr.strip()[-400:]}")
    result = json.loads(out.stdout.strip().splitlines()[-1])
    return result["extra"] / result["gates"]


# ---------------------------------------------------------------- threads

def system_time() -> float:
    """The process's system CPU seconds (getrusage: finer than os.times'
    clock ticks)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_stime


def _one_then_two(first, second) -> tuple[float, float, float, float, float]:
    """Wall time of `first` then `second` on this thread, wall time of both on
    two threads at once, the process CPU time of the latter over the former,
    and the process system time (page faults, the allocator's calls) of each."""
    s0, c0, t0 = system_time(), time.process_time(), time.perf_counter()
    first()
    second()
    one, one_cpu = time.perf_counter() - t0, time.process_time() - c0
    one_sys = system_time() - s0
    threads = [threading.Thread(target=f) for f in (first, second)]
    s0, c0, t0 = system_time(), time.process_time(), time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    two, two_cpu = time.perf_counter() - t0, time.process_time() - c0
    two_sys = system_time() - s0
    return one, two, two_cpu / one_cpu, one_sys, two_sys


def spin(block=os.urandom(1 << 22), times=40):
    """Work that shares nothing between threads: SHA-256 over a preallocated
    block, which hashlib computes without the interpreter lock."""
    import hashlib
    for _ in range(times):
        hashlib.sha256(block).digest()


def two_thread_ratio(a: S.Sweep, b: S.Sweep,
                     rounds: int) -> tuple[float, float, float, float, float]:
    """Throughput of two threads, each dealiasing its own sweep, over one
    thread dealiasing both in turn (median of per-round ratios, a round lasting
    about a second); the process
    CPU time of the two calls with two threads over one thread, near 1 when
    the calls do not slow each other down; and, measured within the same
    rounds, the same throughput ratio for `spin`: what the machine's other
    work left to two threads at that moment; and the system time per call
    with one thread and with two (milliseconds, medians): each call's output
    is fresh memory, as the calls' results are kept until the round ends, and
    its page faults cost more when two threads take them at once."""
    t0 = time.perf_counter()
    call(a), call(b)
    # Several calls per thread and round for short calls, so that thread
    # start-up and scheduling jitter do not dominate a round.
    k = max(1, math.ceil(0.6 / (time.perf_counter() - t0)))
    spin()
    ratios, cpu, machine, sys_one, sys_two = [], [], [], [], []

    def calls(s):
        return lambda: [call(s) for _ in range(k)]
    for _ in range(rounds):
        one, two, cpu_ratio, one_sys, two_sys = _one_then_two(calls(a), calls(b))
        ratios.append(one / two)
        cpu.append(cpu_ratio)
        sys_one.append(one_sys / (2 * k) * 1e3)
        sys_two.append(two_sys / (2 * k) * 1e3)
        one, two, *_ = _one_then_two(spin, spin)
        machine.append(one / two)
    return (statistics.median(ratios), statistics.median(cpu), statistics.median(machine),
            statistics.median(sys_one), statistics.median(sys_two))


# ---------------------------------------------------------------- stages

def build_stage_harness(build_dir: Path) -> Path | None:
    """bench/stages.cpp compiled with the core's sources and release flags;
    rebuilt when any of them is newer than the binary."""
    root = HERE.parent
    sources = [HERE / "stages.cpp", *sorted((root / "core" / "src").glob("*.cpp"))]
    headers = sorted((root / "core" / "include" / "vornak").glob("*.hpp"))
    exe = build_dir / "stages"
    newest = max(p.stat().st_mtime for p in sources + headers)
    if exe.exists() and exe.stat().st_mtime >= newest:
        return exe
    build_dir.mkdir(parents=True, exist_ok=True)
    cxx = os.environ.get("CXX", "g++")
    cmd = [cxx, "-std=c++20", "-O3", "-DNDEBUG", "-g", "-ffp-contract=off", "-fno-fast-math",
           "-I", str(root / "core" / "include"), *map(str, sources), "-o", str(exe)]
    print("  building the per-stage harness", file=sys.stderr, flush=True)
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        print(f"  per-stage harness not built ({cxx}):\n{done.stderr[-2000:]}", file=sys.stderr)
        return None
    return exe


def stage_times(exe: Path, s: S.Sweep, params: dict, repeats: int, work: Path) -> dict:
    """Median milliseconds of each core stage, from the harness."""
    path = work / "sweep.bin"
    with open(path, "wb") as f:
        np.array([*s.vel.shape, params.get("interval_splits", 3),
                  params.get("skip_between_rays", 100), params.get("skip_along_ray", 100),
                  int(s.rays_wrap_around)], np.int64).tofile(f)
        np.array([s.nyquist], np.float64).tofile(f)
        s.vel.tofile(f)
        s.mask.astype(np.uint8).tofile(f)
    out = subprocess.run([str(exe), str(path), str(repeats)], capture_output=True, text=True,
                         timeout=900)
    path.unlink()
    if out.returncode != 0:
        raise RuntimeError(f"stage harness failed: {out.stderr.strip()}")
    lines = out.stdout.strip().splitlines()
    counts = lines[0].split()
    result = {"regions": int(counts[1]), "boundaries": int(counts[3])}
    for line in lines[1:]:
        name, ms = line.rsplit("\t", 1)
        result[name] = float(ms)
    return result


def stage_table(rows: dict) -> str:
    names = list(next(iter(rows.values())))
    lines = ["| stage | " + " | ".join(rows) + " |", "|---|" + "---|" * len(rows)]
    for name in names:
        cells = []
        for r in rows.values():
            if name in ("regions", "boundaries"):
                cells.append(str(r[name]))
            elif name == "whole sweep_folds":
                cells.append(f"{fmt(r[name])} ms")
            else:
                staged = sum(v for k, v in r.items()
                             if k not in ("regions", "boundaries", "whole sweep_folds"))
                cells.append(f"{fmt(r[name])} ms ({r[name] / staged:.0%})")
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


# ---------------------------------------------------------------- table

COLUMNS = ["part", "case", "shape", "regions/gate", "floor ms", "call ms", "ns/gate",
           "call/floor", "cv2/floor", "unwrap/floor", "other"]


def fmt(x, digits=3):
    if x is None:
        return ""
    if isinstance(x, str):
        return x
    if x == 0:
        return "0"
    mag = math.floor(math.log10(abs(x)))
    return f"{x:.{max(0, digits - 1 - mag)}f}"


class Table:
    def __init__(self):
        self.rows = []

    def add(self, **row):
        self.rows.append(row)
        cells = [fmt(row.get(c)) for c in COLUMNS]
        print("  " + " | ".join(cells), file=sys.stderr, flush=True)

    def markdown(self) -> str:
        lines = ["| " + " | ".join(COLUMNS) + " |", "|" + "---|" * len(COLUMNS)]
        for row in self.rows:
            lines.append("| " + " | ".join(fmt(row.get(c)) for c in COLUMNS) + " |")
        return "\n".join(lines)


def compare(table, part, s, repeats, with_unwrap=True, note=None):
    masks = interval_masks(s)
    funcs = {"floor": lambda: floor_pass(s.vel, s.mask), "call": lambda: call(s),
             "cv2": opencv_labelling(masks)}
    if with_unwrap:
        funcs["unwrap"] = phase_unwrapping(s)
    t = time_side_by_side(funcs, repeats)
    row = dict(part=part, case=s.name, shape=s.shape,
               **{"regions/gate": region_count(masks) / s.gates,
                  "floor ms": t["floor"] * 1e3, "call ms": t["call"] * 1e3,
                  "ns/gate": t["call"] / s.gates * 1e9, "call/floor": t["call"] / t["floor"],
                  "cv2/floor": t["cv2"] / t["floor"],
                  "unwrap/floor": t["unwrap"] / t["floor"] if with_unwrap else None,
                  "other": note if note is not None else s.note})
    table.add(**row)
    return row


# ---------------------------------------------------------------- main

def machine() -> str:
    load = os.getloadavg()
    return (f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, "
            f"Python {platform.python_version()}, NumPy {np.__version__}, "
            f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="fewer repeats, one real sweep per source, scaling up to 10^6 gates")
    ap.add_argument("--data", type=Path, default=DEFAULT_DATA, help="directory of sweep .npz files")
    ap.add_argument("--json", type=Path, help="also write the rows and target checks here")
    ap.add_argument("--stages", type=Path, metavar="BUILD_DIR",
                    help="also time each core stage with bench/stages.cpp, built here")
    args = ap.parse_args(argv)

    np.seterr(invalid="ignore")  # the floor pass casts the NaN of masked gates
    import cv2
    cv2.setNumThreads(1)  # the call runs on one thread: compare like with like

    repeats = 3 if args.quick else 7
    started = time.perf_counter()
    print(f"# vornak benchmark ({'quick' if args.quick else 'full'}): {machine()}", file=sys.stderr)
    table = Table()
    results = {}

    # (1) real sweeps and the two generated sizes.
    real = S.real_sweeps(args.data) if args.data.is_dir() else []
    if not real:
        print(f"  no sweeps in {args.data}: real sweeps skipped", file=sys.stderr)
    if args.quick:
        seen, picked = set(), []
        for s in real:
            source = s.name.split("_")[0]
            if source not in seen:
                seen.add(source)
                picked.append(s)
        real = picked
    for s in real:
        compare(table, "1 real", s, repeats, with_unwrap=not args.quick)
    for shape in [(360, 1000), SIZE]:
        row = compare(table, "1 synthetic", S.smooth(*shape), repeats)
        results[f"smooth {shape}"] = row

    # (2) per-gate time against size.
    sizes = [(100, 100), (250, 400), (720, 1389), (2500, 4000)]
    if args.quick:
        sizes = sizes[:3]
    for kind in ("smooth", "salt-and-pepper"):
        for shape in sizes:
            s = S.generated(kind, *shape)
            t = time_side_by_side({"floor": lambda: floor_pass(s.vel, s.mask),
                                   "call": lambda: call(s)}, repeats)
            row = dict(part="2 scaling", case=kind, shape=s.shape,
                       **{"floor ms": t["floor"] * 1e3, "call ms": t["call"] * 1e3,
                          "ns/gate": t["call"] / s.gates * 1e9,
                          "call/floor": t["call"] / t["floor"],
                          "other": f"{s.gates:.1e} gates; floor {t['floor'] / s.gates * 1e9:.2f} ns/gate"})
            table.add(**row)
            results[f"scaling {kind} {s.gates}"] = row

    # (3) adversarial cases at the common size, against the salt-and-pepper call.
    pepper = S.salt_and_pepper(*SIZE)
    smooth = S.smooth(*SIZE)
    sparse = S.sparse(*SIZE)
    cases = {
        "salt-and-pepper": (pepper, {}),
        "salt-and-pepper, interval_splits 10^5": (pepper, {"interval_splits": 10**5}),
        "salt-and-pepper, interval_splits 2^40": (pepper, {"interval_splits": 2**40}),
        "smooth, interval_splits 10^5": (smooth, {"interval_splits": 10**5}),
        "smooth, interval_splits 2^40": (smooth, {"interval_splits": 2**40}),
        "sparse, default skips": (sparse, {}),
        "sparse, skips 10^6": (sparse, {"skip_between_rays": 10**6, "skip_along_ray": 10**6}),
    }
    funcs = {"floor": lambda: floor_pass(pepper.vel, pepper.mask)}
    for name, (s, params) in cases.items():
        funcs[name] = (lambda s=s, p=params: call(s, **p))
    t = time_side_by_side(funcs, repeats)
    for name, (s, params) in cases.items():
        row = dict(part="3 adversarial", case=name, shape=s.shape,
                   **{"floor ms": t["floor"] * 1e3, "call ms": t[name] * 1e3,
                      "ns/gate": t[name] / s.gates * 1e9, "call/floor": t[name] / t["floor"],
                      "other": f"{t[name] / t['salt-and-pepper']:.2f} x salt-and-pepper call"})
        table.add(**row)
        results[f"adversarial {name}"] = row

    # (4) peak memory beyond inputs and output, each case in a fresh process.
    memory_cases = {
        "floor pass (method check)": {"kind": "smooth", "shape": SIZE, "floor": True},
        "smooth": {"kind": "smooth", "shape": SIZE},
        "salt-and-pepper": {"kind": "salt-and-pepper", "shape": SIZE},
        "salt-and-pepper, interval_splits 10^5": {"kind": "salt-and-pepper", "shape": SIZE,
                                                  "params": {"interval_splits": 10**5}},
        "smooth, interval_splits 10^5": {"kind": "smooth", "shape": SIZE,
                                         "params": {"interval_splits": 10**5}},
        "smooth, interval_splits 2^40": {"kind": "smooth", "shape": SIZE,
                                         "params": {"interval_splits": 2**40}},
        "sparse, skips 10^6": {"kind": "sparse", "shape": SIZE,
                               "params": {"skip_between_rays": 10**6, "skip_along_ray": 10**6}},
    }
    biggest = max(real, key=lambda s: s.gates, default=None)
    if biggest is not None:
        memory_cases[f"real: {biggest.name}"] = {"path": str(args.data / (biggest.name + ".npz"))}
    for name, case in memory_cases.items():
        per_gate = peak_extra_bytes(case)
        shape = "x".join(map(str, case["shape"])) if "shape" in case else biggest.shape
        table.add(part="4 memory", case=name, shape=shape,
                  other=f"{per_gate:.1f} B/gate beyond inputs and output")
        results[f"memory {name}"] = per_gate

    # (5) two threads on distinct sweeps against one.
    rounds = 3 if args.quick else 5
    for kind in ("smooth", "salt-and-pepper"):
        a, b = S.generated(kind, *SIZE, seed=1), S.generated(kind, *SIZE, seed=2)
        ratio, cpu, spare, sys_one, sys_two = two_thread_ratio(a, b, rounds)
        table.add(part="5 threads", case=kind, shape=a.shape,
                  other=f"{ratio:.2f} x one thread's throughput; CPU time per call "
                        f"{cpu:.2f} x one thread's; system time per call {sys_one:.1f} ms with "
                        f"one thread, {sys_two:.1f} with two; SHA-256 in the same rounds "
                        f"{spare:.2f} x")
        results[f"threads {kind}"] = ratio
        results[f"threads {kind} machine"] = spare

    stages = None
    if args.stages:
        exe = build_stage_harness(args.stages)
        if exe is not None:
            stages = {}
            for name, (s, params) in {"smooth": (smooth, {}), "salt-and-pepper": (pepper, {}),
                                      "salt-and-pepper, splits 10^5":
                                      (pepper, {"interval_splits": 10**5})}.items():
                stages[name] = stage_times(exe, s, params, 3 if args.quick else 5, args.stages)
                print(f"  stages {name}: {stages[name]}", file=sys.stderr, flush=True)

    checks = target_checks(results, args.quick)
    print()
    print(f"vornak benchmark ({'quick' if args.quick else 'full'}), {machine()}, "
          f"{time.perf_counter() - started:.0f} s")
    print()
    print(table.markdown())
    print()
    print("| target | measured | limit | |")
    print("|---|---|---|---|")
    for c in checks:
        print(f"| {c['target']} | {fmt(c['measured'])} | {fmt(c['limit'])} | "
              f"{verdict(c)} |")
    if stages:
        print()
        print(f"Core stages on {SIZE[0]}x{SIZE[1]} gates (C++ harness, median ms, share of the "
              "stages' sum; the whole call timed separately):")
        print()
        print(stage_table(stages))
    if args.json:
        args.json.write_text(json.dumps({"machine": machine(), "rows": table.rows,
                                         "checks": checks, "stages": stages},
                                        indent=1, default=str))
    return 0


def verdict(c: dict) -> str:
    if c["met"]:
        return "met"
    factor = c["limit"] / c["measured"] if c["higher_is_better"] else c["measured"] / c["limit"]
    return f"missed by a factor of {fmt(factor)}"


def target_checks(r: dict, quick: bool) -> list[dict]:
    checks = []

    def check(target, measured, limit, higher_is_better=False):
        met = measured >= limit if higher_is_better else measured <= limit
        checks.append(dict(target=target, measured=measured, limit=limit, met=met,
                           higher_is_better=higher_is_better))

    size = f"{SIZE}"
    check("smooth 720x1832: call / floor", r[f"smooth {size}"]["call/floor"], 8)
    pepper = r["adversarial salt-and-pepper"]
    check("salt-and-pepper 720x1832: call / floor", pepper["call/floor"], 120)
    for name in ("salt-and-pepper, interval_splits 10^5", "salt-and-pepper, interval_splits 2^40",
                 "smooth, interval_splits 10^5", "smooth, interval_splits 2^40",
                 "sparse, skips 10^6"):
        check(f"{name}: call / salt-and-pepper call",
              r[f"adversarial {name}"]["call ms"] / pepper["call ms"], 3)
    hi = 10**7 if not quick else None
    for kind in ("smooth", "salt-and-pepper"):
        keys = sorted(k for k in r if k.startswith(f"scaling {kind} "))
        by_gates = {int(k.rsplit(" ", 1)[1]): r[k]["call/floor"] for k in keys}
        lo = min(by_gates, key=lambda g: abs(math.log10(g) - 5))
        top = max(by_gates) if hi is None else min(by_gates, key=lambda g: abs(math.log10(g) - 7))
        check(f"{kind}: (call/floor at {top:.0e} gates) / (call/floor at {lo:.0e})",
              by_gates[top] / by_gates[lo], 1.3)
    check("memory smooth (B/gate)", r["memory smooth"], 24)
    check("memory salt-and-pepper (B/gate)", r["memory salt-and-pepper"], 100)
    check("memory salt-and-pepper, interval_splits 10^5 (B/gate)",
          r["memory salt-and-pepper, interval_splits 10^5"], 160)
    for kind in ("smooth", "salt-and-pepper"):
        spare = r[f"threads {kind} machine"]
        check(f"two threads / one thread, {kind} (SHA-256 got {spare:.2f} x in the same rounds)",
              r[f"threads {kind}"], 1.8, higher_is_better=True)
    return checks


if __name__ == "__main__":
    sys.exit(main())
