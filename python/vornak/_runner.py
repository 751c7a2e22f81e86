"""Many files in one run: in a worker process of our own, one file after
another, or one task per file on a Dask cluster (a local one of worker
processes, or a running scheduler).

The process that reads the keyboard never reads or writes a radar file: it
hands each file to a worker and waits in short, interruptible steps, so
Ctrl-C or SIGTERM stop a run at once, whatever the netCDF library is doing.
The workers are then killed, their unfinished outputs (".part" files, never
under a final name) removed, and `Stopped` says which files were not done.

An input whose output is already complete and was made from the same input
with the same options is skipped (see `_resume`); `force` redoes it.

A local cluster rather than a process pool: the same code then serves a
laptop and a remote cluster, and a worker that dies takes only its task,
which the scheduler gives to another worker, instead of breaking the pool.
"""

import contextlib
import logging
import multiprocessing
import os
import signal

from . import _io, _resume
from ._errors import RadarFileError
from ._files import FileResult, _message, process_file

#: How often the waiting process looks up, in seconds: a signal is handled
#: at the latest this long after it arrives.
POLL_SECONDS = 0.1


class Stopped(BaseException):
    """The run was stopped by SIGINT or SIGTERM; `unfinished` lists the inputs
    that have no output (they are done by a rerun of the same command)."""

    def __init__(self, signum, unfinished=()):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum
        self.unfinished = list(unfinished)

    @property
    def exit_status(self):
        return 128 + self.signum  # 130 for SIGINT, 143 for SIGTERM, as shells report them


class ClusterLost(RuntimeError):
    """The Dask scheduler went away in the middle of a run."""

    def __init__(self, message, unfinished):
        super().__init__(message)
        self.unfinished = list(unfinished)


def run_files(paths, targets, options, on_outcome, on_sweep=None, *, workers=1, scheduler=None, force=False):
    """Process every file into its output (`targets`, input -> output path, see
    `_files.output_paths`), reporting each with `on_outcome(path, FileResult or
    exception)`; one failure does not stop the others. Raises `Stopped` on
    SIGINT/SIGTERM and `ClusterLost` when the scheduler goes away."""
    with _stopped_by_signals():
        todo, index = [], 0
        try:
            for index, path in enumerate(paths):
                output = targets[path]
                if not force and _resume.is_done(path, output, options):
                    on_outcome(path, FileResult(str(output), 0, [], {}, skipped=True))
                else:
                    todo.append(path)
        except Stopped as stop:
            stop.unfinished = todo + list(paths[index:])
            raise
        if not todo:
            return
        if scheduler is None and workers <= 1:
            _run_in_worker_process(todo, targets, options, on_outcome, on_sweep)
        else:
            _run_on_cluster(todo, targets, options, on_outcome, workers=workers, scheduler=scheduler)


@contextlib.contextmanager
def _stopped_by_signals():
    """SIGINT and SIGTERM raise `Stopped` in the main thread while a run lasts."""

    def stop(signum, frame):
        raise Stopped(signum)

    previous = {signum: signal.signal(signum, stop) for signum in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _hold_signals():
    """While a stopped run cleans up, a second Ctrl-C must not cut the cleaning short."""
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, signal.SIG_IGN)


def _remove_parts(paths, targets):
    for path in paths:
        _io.remove_parts(targets[path])


# -- one worker process of our own ------------------------------------------


def _run_in_worker_process(paths, targets, options, on_outcome, on_sweep):
    worker = None
    pending = list(paths)
    try:
        while pending:
            path = pending[0]
            if worker is None:
                worker = _Worker()
            outcome = worker.process(path, targets[path], options, on_sweep)
            if worker.died:
                worker = None
                _io.remove_parts(targets[path])
            pending.pop(0)
            on_outcome(path, outcome)
    except Stopped as stop:
        _hold_signals()
        if worker is not None:
            worker.kill()
        _remove_parts(pending, targets)
        stop.unfinished = pending
        raise
    finally:
        if worker is not None:
            worker.close()


class _Worker:
    """A process that dealiases the files sent to it, one at a time.

    Started with "spawn": a clean interpreter, whatever threads this one has."""

    def __init__(self):
        context = multiprocessing.get_context("spawn")
        self.conn, child = context.Pipe()
        self.proc = context.Process(target=_serve, args=(child,), name="vornak-worker", daemon=True)
        self.proc.start()
        child.close()
        self.died = False

    def process(self, path, output, options, on_sweep):
        self.conn.send((os.fspath(path), os.fspath(output), options))
        while True:
            try:
                ready = self.conn.poll(POLL_SECONDS)
                message = self.conn.recv() if ready else None
            except (EOFError, OSError):
                message = None
                self.proc.join(5)
            if message is not None:
                kind, value = message
                if kind == "done":
                    return value
                if on_sweep is not None:
                    on_sweep()
            elif not self.proc.is_alive():
                self.died = True
                self.proc.join()
                return RadarFileError(f"{path}: the process dealiasing it died ({_exit_reason(self.proc.exitcode)}); "
                                      "the file was left out")

    def kill(self):
        if self.proc.is_alive():
            self.proc.kill()
        self.proc.join(5)

    def close(self):
        self.conn.close()  # the worker sees the end of its input and exits
        self.proc.join(5)
        if self.proc.is_alive():
            self.kill()


def _exit_reason(exitcode):
    if exitcode is not None and exitcode < 0:
        try:
            return f"killed by {signal.Signals(-exitcode).name}"
        except ValueError:
            return f"killed by signal {-exitcode}"
    return f"exit status {exitcode}"


def _serve(conn):
    """The worker process: dealias each (path, output, options) received."""
    import warnings

    # Ctrl-C reaches every process of the terminal: the waiting process
    # decides, and kills this one.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    warnings.simplefilter("ignore", FutureWarning)
    while True:
        try:
            path, output, options = conn.recv()
        except EOFError:
            return
        try:
            outcome = process_file(path, None, options, on_sweep=lambda: conn.send(("sweep", None)), target=output)
        except Exception as exc:  # reported by the waiting process, and the other files go on
            outcome = _portable(path, exc)
        conn.send(("done", outcome))


def _portable(path, exc):
    """A failure as an exception that crosses processes and names the file."""
    text = _message(exc)
    return RadarFileError(text if str(path) in text else f"{path}: {text}")


# -- a Dask cluster ---------------------------------------------------------


def _process_file_remote(path, output, options):
    """process_file for a cluster worker: a failure comes back as a value, so
    that a bad file is reported once, by the caller, and not logged by the worker."""
    import dask

    try:
        # One task writes one file: xarray needs no cluster-wide lock for it,
        # and would otherwise open a client of the scheduler in every worker.
        with dask.config.set(scheduler="synchronous"):
            return process_file(path, None, options, target=output)
    except Exception as exc:
        return _portable(path, exc)


def _run_on_cluster(paths, targets, options, on_outcome, *, workers=None, scheduler=None):
    """One task per file on a local cluster of `workers` processes, or on the
    dask.distributed scheduler at `scheduler`."""
    from ._optional import require

    distributed = require("distributed", "vornak dealias --workers/--scheduler")
    cluster = client = None
    pending = dict.fromkeys(paths)
    _quiet_dask()
    hurry = False  # stopped, or the scheduler gone: nothing left worth waiting for
    try:
        if scheduler is None:
            cluster = _local_cluster(distributed, workers)
            client = distributed.Client(cluster)
        else:
            client = connect(distributed, scheduler)
        futures = {
            client.submit(_process_file_remote, os.path.abspath(p), os.path.abspath(targets[p]), options,
                          pure=False): p
            for p in paths
        }
        for future in distributed.as_completed(futures):
            path = futures[future]
            outcome = _task_outcome(future, path, scheduler)
            pending.pop(path)
            on_outcome(path, outcome)
    except Stopped as stop:
        hurry = True
        _hold_signals()
        _kill_local_workers(cluster)
        stop.unfinished = list(pending)
        raise
    except ClusterLost as lost:
        hurry = True
        lost.unfinished = list(pending)
        raise
    finally:
        _close_quietly(client, cluster, timeout=2 if hurry else 10)
        _remove_parts(paths, targets)  # left by workers that died writing; no task of this run runs now


def _local_cluster(distributed, workers):
    import dask

    # One file per worker at a time, none queued behind it: a worker that
    # dies then counts against the file it was dealiasing only (a file that
    # crashes every worker it meets must not take the files queued with it).
    with dask.config.set({"distributed.scheduler.worker-saturation": 1.0}):
        # the scheduler's HTTP server on a free port: 8787 may be another cluster's
        return distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                        dashboard_address=":0", silence_logs=logging.CRITICAL)


def _task_outcome(future, path, scheduler):
    """The FileResult or exception of one file's task; `ClusterLost` when the
    scheduler is gone (the task cancelled, or its result out of reach)."""
    from concurrent.futures import CancelledError

    from distributed import KilledWorker

    try:
        if future.status == "finished":
            return future.result()
        exc = future.exception() if future.status != "cancelled" else CancelledError()
    except (OSError, CancelledError, TimeoutError):  # CommClosedError is an OSError
        exc = CancelledError()
    if isinstance(exc, CancelledError):
        where = f" at {scheduler}" if scheduler else ""
        raise ClusterLost(f"vornak: error: lost the connection to the Dask scheduler{where}; the outputs written "
                          "so far are kept: rerun the same command to do the rest", ())
    if isinstance(exc, KilledWorker):
        import dask

        tries = dask.config.get("distributed.scheduler.allowed-failures") + 1
        return RadarFileError(f"{path}: the worker process dealiasing it died {tries} times "
                              "(a crash in a reader or too little memory); the file was left out")
    return exc


def _kill_local_workers(cluster):
    """Stop the local cluster's workers at once (SIGKILL) rather than asking them to finish their files."""
    if cluster is None:
        return
    for nanny in list(getattr(cluster, "workers", {}).values()):
        with contextlib.suppress(Exception):
            nanny.autorestart = False
            if nanny.pid:
                os.kill(nanny.pid, signal.SIGKILL)


def _close_quietly(client, cluster, timeout=10):
    """Close the client and the cluster, waiting at most about `timeout`
    seconds for each. A client that did not close in time (its scheduler
    gone, or a loaded machine) is marked closed, or its finaliser would try
    again after the cluster's event loop has ended and print a traceback."""
    if client is not None:
        try:
            client.close(timeout=timeout)
        except Exception:
            client.status = "closed"
    with contextlib.suppress(Exception):
        if cluster is not None:
            cluster.close(timeout=timeout)


def _quiet_dask():
    """Dask's own logging off: its warnings about lost workers, cancelled
    tasks and a scheduler gone would repeat, in screens of tracebacks, what
    vornak reports in one line per file. Some of them come after the run,
    as the client shuts down: the loggers stay quiet in this process."""
    for name in ["distributed", *logging.root.manager.loggerDict]:
        if name == "distributed" or name.startswith("distributed."):
            logging.getLogger(name).setLevel(logging.CRITICAL + 1)


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
