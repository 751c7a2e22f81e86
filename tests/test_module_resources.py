"""_vornak under load and failure: the internal-failure exception, the
interpreter lock around the core, and nothing kept or leaked between calls."""

import gc
import os
import sys
import threading
import time

import numpy as np
import pytest

import _vornak

sweep = _vornak.sweep_folds_py
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def small_sweep(seed=0, shape=(4, 8)):
    rng = np.random.default_rng(seed)
    vel = rng.uniform(-10, 10, shape).astype(np.float32)
    mask = rng.random(shape) < 0.2
    return vel, mask


def capacity_failure(vel, mask):
    try:
        sweep(vel, mask, 10.0, False, interval_splits=2 ** 62)
    except Exception as error:  # noqa: BLE001 - must not be reached
        pytest.fail(f"the internal failure was caught as an Exception: {error!r}")
    except BaseException as error:
        return error
    pytest.fail("interval_splits=2**62 did not fail")


def test_capacity_failure_is_the_internal_failure(capfd):
    vel, mask = small_sweep()
    error = capacity_failure(vel, mask)
    assert type(error).__bases__ == (BaseException,)
    assert error.args == ("capacity overflow",)
    assert "capacity overflow" in capfd.readouterr().err
    # One class for the process, and the call frame is usable afterwards.
    assert type(capacity_failure(vel, mask)) is type(error)
    assert sweep(vel, mask, 10.0, False).shape == vel.shape


def test_failures_release_the_inputs():
    vel, mask = small_sweep()
    before = sys.getrefcount(vel), sys.getrefcount(mask)
    for _ in range(200):
        capacity_failure(vel, mask)
        with pytest.raises(ValueError):
            sweep(vel, mask[:, :4], 10.0, False)
        with pytest.raises(ValueError):
            sweep(vel, mask[:, ::-1], 10.0, False)
        with pytest.raises(TypeError):
            sweep(vel, mask, 10.0, False, centered=None)
        with pytest.raises(TypeError):
            sweep(vel, mask.astype(np.uint8), 10.0, False)
    assert (sys.getrefcount(vel), sys.getrefcount(mask)) == before


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_many_calls_keep_memory_and_references_flat():
    vel, mask = small_sweep(seed=1)
    nyquist = float("1" + "0" * 1)  # a float object of its own, not a constant
    splits = 10 ** 20 // 10 ** 19 + 1  # an int object of its own
    refs = [sys.getrefcount(obj) for obj in (vel, mask, nyquist, splits)]
    expected = sweep(vel, mask, nyquist, False, splits).tolist()

    for _ in range(20_000):  # let the allocators reach their steady state
        sweep(vel, mask, nyquist, False, splits)
    gc.collect()
    start = resident_bytes()
    for _ in range(100_000):
        sweep(vel, mask, nyquist, False, splits)
    gc.collect()
    growth = resident_bytes() - start

    # Leaking the result buffer, its owner or a view would cost >= 3 MB here.
    # AddressSanitizer holds freed memory in quarantine, so RSS says nothing
    # under it (its own checks cover the frees there).
    if not UNDER_ASAN:
        assert growth < 2 * 1024 * 1024, f"resident memory grew by {growth} bytes"
    assert [sys.getrefcount(obj) for obj in (vel, mask, nyquist, splits)] == refs
    assert sweep(vel, mask, nyquist, False, splits).tolist() == expected


def slow_sweep():
    """A sweep whose core run lasts at least a quarter of a second."""
    rng = np.random.default_rng(7)
    size = 64
    while True:
        vel = rng.uniform(-10, 10, (size, size)).astype(np.float32)
        mask = np.zeros(vel.shape, bool)
        started = time.perf_counter()
        sweep(vel, mask, 10.0, False)
        if time.perf_counter() - started >= 0.25 or size >= 4096:
            return vel, mask
        size = int(size * 1.5)


def test_lock_is_released_while_the_core_runs():
    vel, mask = slow_sweep()
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        time.sleep(0.01)
        started = time.perf_counter()
        sweep(vel, mask, 10.0, False)
        ended = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    # Had the call held the lock, the ticker could only have run in the
    # first switch interval (5 ms) of the call at most; look past it.
    margin = 0.1 * (ended - started)
    inside = [t for t in ticks if started + margin < t < ended - margin]
    assert len(inside) > 100, f"{len(inside)} ticks during a {ended - started:.3f} s call"


def test_concurrent_calls_match_serial_calls():
    sweeps = [small_sweep(seed, (30, 40)) for seed in range(8)]
    expected = [sweep(vel, mask, 10.0, True).tolist() for vel, mask in sweeps]
    results = [None] * len(sweeps)

    def work(index):
        vel, mask = sweeps[index]
        for _ in range(20):
            results[index] = sweep(vel, mask, 10.0, True).tolist()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(sweeps))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == expected
