"""Many files in one run: in this process, or one task per file on a Dask
cluster (a local one of worker processes, or a running scheduler).

A local cluster rather than a process pool: the same code then serves a
laptop and a remote cluster, and a worker that dies takes only its task,
which the scheduler gives to another worker, instead of breaking the pool.
"""

import os

from ._files import _message, process_file


def run_here(paths, outdir, options, on_outcome, on_sweep=None, targets=None):
    """Process the files one after another in this process; `on_outcome(path,
    FileResult or exception)` after each, so that one failure does not stop
    the others. `targets` maps inputs to their output files (see
    `_files.output_paths`)."""
    for path in paths:
        try:
            outcome = process_file(path, outdir, options, on_sweep, target=targets and targets[path])
        except Exception as exc:  # reported, and the other files go on
            outcome = exc
        on_outcome(path, outcome)


def _target(targets, path):
    return None if targets is None else os.path.abspath(targets[path])


def _process_file_remote(path, outdir, options, target=None):
    """process_file for a cluster worker: a failure comes back as a value, so
    that a bad file is reported once, by the caller, and not logged by the worker."""
    try:
        return process_file(path, outdir, options, target=target)
    except Exception as exc:
        return RuntimeError(f"{path}: {_message(exc)}" if path not in str(exc) else _message(exc))


def run_on_cluster(paths, outdir, options, on_outcome, *, workers=None, scheduler=None, targets=None):
    """One task per file on a local cluster of `workers` processes, or on the
    dask.distributed scheduler at `scheduler`."""
    from ._optional import require

    distributed = require("distributed", "vornak dealias --workers/--scheduler")
    if scheduler is None:
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                           dashboard_address=None)
        client = distributed.Client(cluster)
    else:
        cluster, client = None, connect(distributed, scheduler)
    try:
        futures = {
            client.submit(_process_file_remote, os.path.abspath(p), os.path.abspath(outdir), options,
                          _target(targets, p), pure=False): p
            for p in paths
        }
        for future in distributed.as_completed(futures):
            outcome = future.exception() or future.result()
            on_outcome(futures[future], outcome)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


#: Seconds to wait for a scheduler before giving up: it answers within
#: milliseconds when it is there.
CONNECT_SECONDS = 5


def connect(distributed, scheduler):
    """A client of the scheduler at `scheduler`; ConnectionError in one line
    when it cannot be reached within CONNECT_SECONDS."""
    try:
        return distributed.Client(scheduler, timeout=CONNECT_SECONDS)
    except (OSError, ValueError, TypeError) as exc:
        reason = _message(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise ConnectionError(f"vornak: cannot reach the Dask scheduler at {scheduler} ({reason}); "
                              "check the address and that the scheduler is running") from None


def default_workers(nfiles):
    """With more than one file, one worker per core (at most one per file)."""
    return max(1, min(nfiles, os.cpu_count() or 1))
