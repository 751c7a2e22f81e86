"""_vornak under stress and abuse: many threads at once, inputs rewritten by
another thread during a call, a sweep of 10^8 gates, tuning values at their
extremes (each in a child process, so that an abort is seen as a failure),
unusual memory layouts, and nothing kept after calls that fail at each point
of the call frame."""

import gc
import itertools
import json
import mmap
import os
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import _vornak

sweep = _vornak.sweep_folds_py

# Children inherit the environment, so under the sanitizer build they run
# with the preloaded runtimes too.
CHILD_TIMEOUT = 300


def run_child(code):
    """Runs `code` in a fresh interpreter; returns (exit status, stdout, stderr)."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=CHILD_TIMEOUT,
    )
    return done.returncode, done.stdout, done.stderr


def noisy_sweep(seed, shape):
    rng = np.random.default_rng(seed)
    vel = rng.uniform(-12, 12, shape).astype(np.float32)
    mask = rng.random(shape) < 0.15
    return vel, mask


def folded_wind(shape, nyquist=10.0, seed=0):
    """A smooth field reaching several Nyquist velocities, folded, with noise."""
    rng = np.random.default_rng(seed)
    rays, gates = shape
    a = np.linspace(0, 2 * np.pi, rays, endpoint=False)[:, None]
    r = np.linspace(0.05, 1.0, gates)[None, :]
    true = 3.2 * nyquist * np.sin(a) * r + rng.normal(0, 0.3, shape)
    folded = (true + nyquist) % (2 * nyquist) - nyquist
    return folded.astype(np.float32), np.zeros(shape, bool)


# -- concurrency -----------------------------------------------------------


def test_eight_threads_match_serial_calls():
    # Different sizes and tuning per call, so that calls of different lengths
    # overlap in every combination.
    cases = []
    for k in range(32):
        vel, mask = noisy_sweep(k, (8 + 3 * (k % 7), 10 + 5 * (k % 5))) if k % 2 else folded_wind((40 + k, 30), seed=k)
        params = dict(interval_splits=2 + k % 4, skip_between_rays=k % 3 * 50,
                      skip_along_ray=(k * 7) % 101, centered=k % 3 != 0)
        cases.append((vel, mask, 10.0, k % 2 == 0, params))
    serial = [sweep(v, m, nyq, wrap, **p) for v, m, nyq, wrap, p in cases]

    calls_per_thread = 300
    mismatches = []

    def work(worker):
        for i in range(calls_per_thread):
            k = (worker * 5 + i) % len(cases)
            v, m, nyq, wrap, p = cases[k]
            if not np.array_equal(sweep(v, m, nyq, wrap, **p), serial[k]):
                mismatches.append((worker, i, k))

    with ThreadPoolExecutor(max_workers=8) as pool:
        list(pool.map(work, range(8)))
    assert mismatches == []


def test_failing_and_succeeding_calls_interleave_across_threads():
    # Core failures unwind with the lock released; every thread must get the
    # lock back and the others must keep running and keep getting results.
    vel, mask = noisy_sweep(1, (30, 40))
    expected = sweep(vel, mask, 10.0, False)
    outcomes = []

    def work(worker):
        for i in range(150):
            if (worker + i) % 3 == 0:
                try:
                    sweep(vel, mask, 10.0, False, interval_splits=2 ** 62)
                except BaseException as error:  # the internal failure is a BaseException
                    outcomes.append(error.args == ("capacity overflow",))
                else:
                    outcomes.append(False)
            else:
                outcomes.append(np.array_equal(sweep(vel, mask, 10.0, False), expected))

    with ThreadPoolExecutor(max_workers=8) as pool:
        list(pool.map(work, range(8)))
    assert len(outcomes) == 8 * 150 and all(outcomes)


def test_inputs_rewritten_during_calls_neither_crash_nor_hang():
    # Another thread rewrites the velocities (NaN, infinities, huge values,
    # values on the limits) and the mask while the core reads them. The
    # results are whatever the core saw, but every call must return a fold
    # array of the right shape.
    code = """
        import threading
        import numpy as np
        import _vornak

        shape = (400, 500)
        rng = np.random.default_rng(5)
        vel = rng.uniform(-10, 10, shape).astype(np.float32)
        mask = np.zeros(shape, bool)
        patterns = [
            rng.uniform(-40, 40, shape).astype(np.float32),
            np.full(shape, np.nan, np.float32),
            np.where(rng.random(shape) < 0.5, np.inf, -np.inf).astype(np.float32),
            np.full(shape, 3e38, np.float32),
            np.where(rng.random(shape) < 0.5, 10.0, -10.0).astype(np.float32),
            rng.uniform(-10, 10, shape).astype(np.float32),
        ]
        masks = [rng.random(shape) < p for p in (0.0, 0.5, 1.0)]
        stop = threading.Event()
        rewrites = 0

        def rewrite():
            global rewrites
            while not stop.is_set():
                for k, pattern in enumerate(patterns):
                    np.copyto(vel, pattern)
                    np.copyto(mask, masks[k % len(masks)])
                    rewrites += 1

        threads = [threading.Thread(target=rewrite) for _ in range(2)]
        for thread in threads:
            thread.start()
        try:
            for i in range(30):
                try:
                    folds = _vornak.sweep_folds_py(vel, mask, 10.0, i % 2 == 0, 2 + i % 5,
                                                   skip_along_ray=i % 4 * 30)
                except BaseException as error:  # infinities ask for endless intervals
                    assert error.args == ("capacity overflow",), error
                else:
                    assert folds.shape == shape and folds.dtype == np.int32
        finally:
            stop.set()
            for thread in threads:
                thread.join()
        print("rewrites", rewrites)
    """
    status, out, err = run_child(code)
    assert status == 0, err
    assert int(out.split()[-1]) > 30  # the rewrites really overlapped the calls


# -- size ------------------------------------------------------------------


@pytest.mark.skipif(os.environ.get("VORNAK_SKIP_HUGE") == "1", reason="VORNAK_SKIP_HUGE=1")
def test_sweep_of_a_hundred_million_gates():
    # A linear ramp folded at 10 m/s: about 1.6 GB at the peak, a few seconds.
    nrays, ngates = 10_000, 10_000
    nyquist = 10.0
    ray = np.arange(nrays, dtype=np.float32)[:, None] * np.float32(0.004)
    gate = np.arange(ngates, dtype=np.float32)[None, :] * np.float32(0.003)
    vel = np.empty((nrays, ngates), np.float32)
    np.add(ray, gate, out=vel)
    np.add(vel, np.float32(nyquist), out=vel)
    np.mod(vel, np.float32(2 * nyquist), out=vel)
    np.subtract(vel, np.float32(nyquist), out=vel)
    mask = np.zeros((nrays, ngates), bool)
    mask[::997, ::13] = True

    folds = sweep(vel, mask, nyquist, False, centered=False)

    assert folds.shape == (nrays, ngates) and folds.dtype == np.int32
    # Every hundredth ray, unfolded, is the ramp itself up to one constant
    # number of folds (rounding of the float32 ramp stays far below a fold);
    # excluded gates carry 0.
    rows = np.arange(0, nrays, 100)
    valid = ~mask[rows]
    assert np.all(folds[rows][~valid] == 0)
    del mask
    truth = ray[rows].astype(np.float64) + gate.astype(np.float64)
    unfolded = vel[rows].astype(np.float64) + 2 * nyquist * folds[rows]
    offset = np.round((unfolded - truth) / (2 * nyquist))[valid]
    assert np.all(offset == offset[0])
    assert np.abs((unfolded - truth)[valid] - offset * 2 * nyquist).max() < 0.01
    assert folds.max() - folds.min() >= 3


# -- tuning values at their extremes -----------------------------------------

EXTREMES = {
    "0": 0, "-1": -1, "2**62": 2 ** 62, "-2**63": -(2 ** 63), "2**63-1": 2 ** 63 - 1,
    "2**63": 2 ** 63, "nan": float("nan"), "inf": float("inf"), "-inf": float("-inf"),
    "1e-300": 1e-300, "1e300": 1e300,
}
INTEGER_PARAMETERS = ["interval_splits", "skip_between_rays", "skip_along_ray"]


def outcome_in_child(name, literal):
    """Calls the function with `name` set to `literal` on three sweeps (inside,
    beyond and partly excluded around the Nyquist interval) in a child; returns
    one outcome per sweep and the child's standard error."""
    code = f"""
        import json
        import numpy as np
        import _vornak

        rng = np.random.default_rng(11)
        inside = rng.uniform(-9.9, 9.9, (12, 15)).astype(np.float32)
        beyond = (inside * np.float32(3.5)).astype(np.float32)
        sweeps = [(inside, np.zeros(inside.shape, bool)),
                  (beyond, rng.random(inside.shape) < 0.3),
                  (np.where(rng.random(inside.shape) < 0.2, np.nan, inside).astype(np.float32),
                   np.zeros(inside.shape, bool))]
        args = dict(nyquist=10.0, rays_wrap_around=True)
        args[{name!r}] = {literal}
        outcomes = []
        for vel, mask in sweeps:
            try:
                folds = _vornak.sweep_folds_py(vel, mask, **args)
            except BaseException as error:
                outcomes.append(["raised", type(error).__name__,
                                 type(error).__bases__[0].__name__, [str(a) for a in error.args]])
            else:
                outcomes.append(["folds", list(folds.shape), str(folds.dtype),
                                 int(folds.min()), int(folds.max())])
        print(json.dumps(outcomes))
    """
    status, out, err = run_child(code)
    assert status == 0, f"{name}={literal}: the child ended with {status}\n{err}"
    return json.loads(out), err


def expected_kind(name, value):
    if isinstance(value, float) and name != "nyquist":
        return "TypeError"
    if isinstance(value, int) and name != "nyquist" and not -(2 ** 63) <= value < 2 ** 63:
        return "OverflowError"
    return "folds or capacity failure"


@pytest.mark.parametrize("name", INTEGER_PARAMETERS + ["nyquist"])
def test_extreme_values_return_or_raise_and_never_abort(name):
    literals = {key: (f"float({key!r})" if isinstance(v, float) and key in ("nan", "inf", "-inf") else key)
                for key, v in EXTREMES.items()}

    def check(key):
        value = EXTREMES[key]
        outcomes, err = outcome_in_child(name, literals[key])
        kind = expected_kind(name, value)
        for outcome in outcomes:
            if kind == "TypeError":
                assert outcome[:2] == ["raised", "TypeError"], (key, outcome)
                assert outcome[3][0].startswith(f"argument '{name}': "), (key, outcome)
            elif kind == "OverflowError":
                assert outcome[:2] == ["raised", "OverflowError"], (key, outcome)
                assert not outcome[3][0].startswith("argument"), (key, outcome)
            elif outcome[0] == "raised":
                # The only failure the core can reach from here, raised as the
                # module's internal failure (a direct BaseException subclass).
                assert outcome[2:] == ["BaseException", ["capacity overflow"]], (key, outcome)
                assert "capacity overflow" in err
            else:
                assert outcome[1:3] == [[12, 15], "int32"], (key, outcome)
        return key, outcomes

    with ThreadPoolExecutor(max_workers=2) as pool:
        results = dict(pool.map(check, EXTREMES))
    if name == "interval_splits":
        # 2^62 equal intervals over velocities inside the Nyquist interval
        # need more than 2^61 limits.
        inside, _, with_nan = results["2**62"]
        assert inside[0] == with_nan[0] == "raised", results["2**62"]


@pytest.mark.parametrize("velocities, nyquist, splits", [
    ([-3.0, 2.0, 9.5, 4.0], 10.0, 2 ** 63 - 1),  # 2^63 limits: the count wraps negative
    ([-30.0, 2.0, 29.5, 4.0], 10.0, 2 ** 62),    # extensions of ~2^62 each push it past 2^64
    ([-3.0, 2.0, 9.5, 4.0], 1e-300, 3),          # ~10^300 extensions saturate at 2^63 - 1
    ([-3.0, 2.0, 9.5, 4.0], 0.0, 3),             # infinitely many, saturated likewise
], ids=["splits-2**63-1", "splits-2**62-beyond", "nyquist-1e-300", "nyquist-0"])
def test_overflowing_interval_counts_are_the_capacity_failure(velocities, nyquist, splits):
    # Such sweeps cannot be dealiased; all zeros would pass the folded
    # velocities off as dealiased. A size that overflows is the capacity
    # failure.
    vel = np.array([velocities], np.float32)
    mask = np.zeros(vel.shape, bool)
    with pytest.raises(BaseException) as info:
        sweep(vel, mask, nyquist, False, splits)
    assert info.value.args == ("capacity overflow",)


@pytest.mark.parametrize("outlier", [np.inf, -np.inf, 3e38, -1e20])
def test_one_far_outlier_does_not_silently_zero_the_sweep(outlier):
    # One gate beyond about 6e19 m/s (an infinity from a decoding fault, say)
    # asks for more intervals than 64 bits count. Up to about 1.5e19 the gate
    # is merely its own region; from 2^61 limits on the call fails for
    # capacity; beyond that the count wraps and every gate gets 0. Either the
    # capacity failure or treating the gate like a NaN is sound, but not
    # passing the folded field off as dealiased.
    vel, mask = folded_wind((60, 40))
    unusable = vel.copy()
    unusable[5, 7] = np.nan
    expected = sweep(unusable, mask, 10.0, True)
    assert expected.min() < 0 < expected.max()
    vel[5, 7] = outlier
    try:
        folds = sweep(vel, mask, 10.0, True)
    except BaseException as error:  # the internal failure
        assert error.args == ("capacity overflow",)
    else:
        assert np.array_equal(folds, expected)


# -- memory layouts ----------------------------------------------------------


def test_offset_views_of_one_byte_buffer():
    # vel and mask carved out of one bytes object at odd offsets: read-only,
    # vel misaligned, the two next to each other in memory.
    vel, mask = noisy_sweep(9, (17, 23))
    expected = sweep(vel, mask, 10.0, True, 4)
    for offset in (1, 2, 3, 5):
        raw = bytes(offset) + vel.tobytes() + mask.tobytes() + bytes(3)
        shifted_vel = np.frombuffer(raw, np.float32, vel.size, offset).reshape(vel.shape)
        shifted_mask = np.frombuffer(raw, np.bool_, mask.size, offset + vel.nbytes).reshape(mask.shape)
        assert not shifted_vel.flags.writeable and not shifted_vel.flags.aligned
        assert np.array_equal(sweep(shifted_vel, shifted_mask, 10.0, True, 4), expected)
    # A misaligned vel in a writeable buffer, mask at an odd address too.
    raw = bytearray(vel.nbytes + mask.nbytes + 2)
    shifted_vel = np.frombuffer(raw, np.float32, vel.size, 1).reshape(vel.shape)
    shifted_mask = np.frombuffer(raw, np.bool_, mask.size, 1 + vel.nbytes).reshape(mask.shape)
    shifted_vel[...] = vel
    shifted_mask[...] = mask
    assert np.array_equal(sweep(shifted_vel, shifted_mask, 10.0, True, 4), expected)


def test_single_row_views_at_any_offset():
    # A one-ray view is contiguous whatever its row stride; one starting mid
    # buffer at a misaligned address reads just its own gates.
    vel, mask = noisy_sweep(4, (6, 40))
    raw = bytearray(vel.nbytes + 3)
    wide = np.frombuffer(raw, np.float32, vel.size, 3).reshape(vel.shape)
    wide[...] = vel
    for r in range(vel.shape[0]):
        assert np.array_equal(sweep(wide[r:r + 1], mask[r:r + 1], 10.0, False),
                              sweep(vel[r:r + 1].copy(), mask[r:r + 1].copy(), 10.0, False))


@pytest.mark.parametrize("shape", [(0, 0), (0, 7), (9, 0), (0, 2 ** 40), (2 ** 40, 0)])
def test_zero_size_inputs(shape):
    vel = np.empty(shape, np.float32)
    mask = np.empty(shape, bool)
    for params in ({}, {"interval_splits": 2 ** 62}, {"interval_splits": -(2 ** 63), "centered": False}):
        folds = sweep(vel, mask, float("nan"), True, **params)
        assert folds.shape == shape and folds.dtype == np.int32 and folds.strides == (0, 0)
        assert folds.size == 0 and folds.sum() == 0


def test_empty_inputs_from_an_empty_buffer():
    vel = np.frombuffer(b"", np.float32).reshape(0, 3)
    mask = np.frombuffer(b"", np.bool_).reshape(0, 3)
    assert sweep(vel, mask, 10.0, False).shape == (0, 3)


def lazy_array(shape, dtype):
    """An array over anonymous memory that is never touched, so a huge shape
    costs address space only."""
    nbytes = int(np.prod(shape)) * np.dtype(dtype).itemsize
    return np.ndarray(shape, dtype, buffer=mmap.mmap(-1, nbytes))


def test_more_gates_than_a_signed_32_bit_index_is_the_capacity_failure(capfd):
    # 2^31 gates: nothing is read or allocated before the failure.
    shape = (2 ** 16, 2 ** 15)
    try:
        vel = lazy_array(shape, np.float32)
        mask = lazy_array(shape, np.bool_)
    except (OSError, ValueError, MemoryError) as error:
        pytest.skip(f"cannot map 10 GiB of address space: {error}")
    with pytest.raises(BaseException) as info:
        sweep(vel, mask, 10.0, False)
    assert type(info.value).__bases__ == (BaseException,)
    assert info.value.args == ("capacity overflow",)
    assert "capacity overflow" in capfd.readouterr().err


def test_result_memory_outlives_its_holders_in_any_order():
    # The fold buffer is freed once, by whichever holder goes last: a view,
    # a buffer export, or an array over that export. (Under AddressSanitizer
    # a read after the free or a second free ends the run.)
    vel, mask = noisy_sweep(8, (30, 40))
    expected = sweep(vel, mask, 10.0, False)
    for order in itertools.permutations(range(3)):
        folds = sweep(vel, mask, 10.0, False)
        holders = [folds[5:, ::2], memoryview(folds), np.frombuffer(folds, np.int32)]
        del folds
        gc.collect()
        for k in order:
            view, exported, over_export = holders
            assert view is None or np.array_equal(view, expected[5:, ::2])
            assert exported is None or exported.tolist() == expected.tolist()
            assert over_export is None or np.array_equal(over_export, expected.ravel())
            del view, exported, over_export
            holders[k] = None
            gc.collect()


# -- nothing kept after failures ----------------------------------------------


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def under_address_sanitizer():
    """AddressSanitizer holds freed memory back for a while (its quarantine),
    so resident memory says nothing about leaks under it."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


class RaisingFloat:
    def __float__(self):
        raise ValueError("no velocity here")


class CausedIndex:
    """__index__ raising a TypeError with a cause: the frame re-raises it
    prefixed, taking the cause over."""

    def __init__(self):
        self.cause = KeyError("origin")

    def __index__(self):
        raise TypeError("no integer here") from self.cause


class FakeNumpyBool:
    __module__ = "numpy"

    def __bool__(self):
        raise ZeroDivisionError("no truth here")


FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"


def failure_sites():
    """(label, call, exception type) for every way a call can fail, in the
    order the frame meets them. Big arrays, so that a buffer kept per call
    shows in resident memory at once."""
    shape = (600, 700)
    vel, mask = noisy_sweep(2, shape)
    objects = {
        "vel": vel, "mask": mask, "nyquist": float(str(10.5)), "bogus": object(),
        "float": RaisingFloat(), "index": CausedIndex(), "numpy_bool": FakeNumpyBool(),
        "vel64": vel.astype(np.float64), "mask8": mask.view(np.uint8), "small_mask": mask[:, :10].copy(),
        "big": 2 ** 63, "splits": int("4611686018427387904"),  # 2**62, an int object of its own
    }
    o = objects
    sites = [
        ("positional", lambda: sweep(o["vel"], o["mask"], o["nyquist"], False, 3, 100, 100, True, o["bogus"]), TypeError),
        ("keyword", lambda: sweep(o["vel"], o["mask"], o["nyquist"], False, bogus=o["bogus"]), TypeError),
        ("unencodable", lambda: sweep(o["vel"], o["mask"], o["nyquist"], False, **{"\udc80": o["bogus"]}), TypeError),
        ("twice", lambda: sweep(o["vel"], o["mask"], o["nyquist"], False, vel=o["vel"]), TypeError),
        ("missing", lambda: sweep(o["vel"], mask=o["mask"]), TypeError),
        ("vel", lambda: sweep(o["vel64"], o["mask"], o["nyquist"], False), TypeError),
        ("mask", lambda: sweep(o["vel"], o["mask8"], o["nyquist"], False), TypeError),
        ("nyquist", lambda: sweep(o["vel"], o["mask"], o["float"], False), ValueError),
        ("rays_wrap_around", lambda: sweep(o["vel"], o["mask"], o["nyquist"], o["bogus"]), TypeError),
        ("numpy bool", lambda: sweep(o["vel"], o["mask"], o["nyquist"], o["numpy_bool"]), ZeroDivisionError),
        ("interval_splits", lambda: sweep(o["vel"], o["mask"], o["nyquist"], False, o["index"]), TypeError),
        ("skip_between_rays", lambda: sweep(o["vel"], o["mask"], o["nyquist"], False, skip_between_rays=o["big"]), OverflowError),
        ("centered", lambda: sweep(o["vel"], o["mask"], o["nyquist"], False, centered=o["bogus"]), TypeError),
        ("shapes", lambda: sweep(o["vel"], o["small_mask"], o["nyquist"], False), ValueError),
        ("vel contiguity", lambda: sweep(o["vel"][:, ::2], o["mask"][:, ::2].copy(), o["nyquist"], False), ValueError),
        ("mask contiguity", lambda: sweep(o["vel"][:, :350].copy(), o["mask"][:, ::2], o["nyquist"], False), ValueError),
        ("core", lambda: sweep(o["vel"], o["mask"], o["nyquist"], False, o["splits"]), BaseException),
    ]
    return objects, sites


def test_failing_calls_keep_references_and_memory_flat(capfd):
    objects, sites = failure_sites()
    cause = objects["index"].cause

    def run(site, times):
        _, call, kind = site
        for _ in range(times):
            try:
                call()
            except kind as error:
                if kind is BaseException:
                    assert error.args == ("capacity overflow",)
            else:
                pytest.fail(f"{site[0]}: no failure")

    for site in sites:  # warm up: first-use set-ups, allocator caches
        run(site, 20)
    gc.collect()
    refs = {name: sys.getrefcount(obj) for name, obj in objects.items()}
    cause_refs = sys.getrefcount(cause)
    tracked = len(gc.get_objects())
    start = resident_bytes()

    for site in sites:
        # Each core failure allocates and releases the 1.6 MB result first.
        run(site, 60 if site[2] is BaseException else 1500)
        gc.collect()
        assert {name: sys.getrefcount(obj) for name, obj in objects.items()} == refs, site[0]
        assert sys.getrefcount(cause) == cause_refs, site[0]
    growth = resident_bytes() - start
    assert len(gc.get_objects()) - tracked < 100
    # One result buffer kept per core failure alone would be 96 MB.
    if not under_address_sanitizer():
        assert growth < 8 * 1024 * 1024, f"resident memory grew by {growth} bytes"
    capfd.readouterr()

    # And the frame still works with the very same objects.
    folds = sweep(objects["vel"], objects["mask"], objects["nyquist"], False)
    assert folds.shape == objects["vel"].shape


def test_calls_nested_in_conversions_keep_both_frames_sound():
    # __index__ of the outer call's interval_splits runs a whole inner call,
    # a successful one and a failing one, while the outer holds its views.
    vel, mask = noisy_sweep(3, (20, 30))
    inner_vel, inner_mask = noisy_sweep(4, (10, 12))
    seen = []

    class Reentrant:
        def __index__(self):
            seen.append(sweep(inner_vel, inner_mask, 10.0, False))
            try:
                sweep(inner_vel, inner_mask, 10.0, False, interval_splits=2 ** 62)
            except BaseException as error:
                seen.append(error.args)
            return 3

    refs = sys.getrefcount(vel), sys.getrefcount(inner_vel)
    for _ in range(50):
        assert np.array_equal(sweep(vel, mask, 10.0, False, Reentrant()), sweep(vel, mask, 10.0, False))
    assert np.array_equal(seen[0], sweep(inner_vel, inner_mask, 10.0, False))
    assert seen[1] == ("capacity overflow",)
    assert (sys.getrefcount(vel), sys.getrefcount(inner_vel)) == refs
