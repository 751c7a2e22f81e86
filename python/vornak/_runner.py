"""Many files in one run: in worker processes of our own, each taking the
next file as it comes free, or one task per file on a running Dask cluster.

The process that reads the keyboard never reads or writes a radar file: it
hands each file to a worker and waits in short, interruptible steps, so
Ctrl-C or SIGTERM stop a run at once, whatever the netCDF library is doing.
The workers are then killed, their unfinished outputs (".part" files, never
under a final name) removed, and `Stopped` says which files were not done.

An input whose output is already complete and was made from the same input
with the same options is skipped (see `_resume`); `force` redoes it.

Plain processes rather than a local Dask cluster when no scheduler is
named: they start in a fraction of the cluster's two seconds and no
scheduler stands between them and the waiting process. Unlike a pool of
the standard library's, a worker that dies takes only its file, never
the run.
"""

import contextlib
import logging
import multiprocessing
import multiprocessing.connection
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
                    _io.remove_parts(output)  # of writers killed after another had finished it
                    on_outcome(path, FileResult(str(output), 0, [], {}, skipped=True))
                else:
                    todo.append(path)
        except Stopped as stop:
            stop.unfinished = todo + list(paths[index:])
            raise
        if not todo:
            return
        if scheduler is None:
            _run_in_worker_processes(todo, targets, options, on_outcome, on_sweep, max(1, workers))
        else:
            _run_on_cluster(todo, targets, options, on_outcome, scheduler)


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


# -- worker processes of our own ---------------------------------------------


def _run_in_worker_processes(paths, targets, options, on_outcome, on_sweep, workers=1):
    """Each file in one of `workers` processes of our own, as they come free.

    A worker that dies (a crash in a reader, too little memory) takes only
    its file, which is reported as left out; a fresh one takes its place.
    With several workers the largest files go first, so that the run does
    not end with one worker on a large file while the others wait."""
    pending = list(paths) if workers == 1 else _largest_first(paths)
    idle, busy = [], {}  # busy: worker -> the input it is dealiasing
    try:
        while pending or busy:
            while pending and len(busy) < workers:
                worker = _next_worker(idle, workers)
                path = pending.pop(0)
                worker.send(path, targets[path], options)
                busy[worker] = path
            ready = multiprocessing.connection.wait([w.conn for w in busy] + [w.proc.sentinel for w in busy],
                                                    POLL_SECONDS)
            for worker in [w for w in busy if w.conn in ready or w.proc.sentinel in ready]:
                outcome = worker.collect(busy[worker], on_sweep)
                if outcome is None:
                    continue  # a sweep done, the file not yet
                path = busy.pop(worker)
                if worker.died:
                    _io.remove_parts(targets[path])
                else:
                    idle.append(worker)
                on_outcome(path, outcome)
    except Stopped as stop:
        _hold_signals()
        for worker in busy:  # all at once: while one is waited for, another could finish its file
            if worker.proc.is_alive():
                worker.proc.kill()
        for worker in busy:
            worker.kill()
        finished = set()
        for worker, path in busy.items():
            outcome = worker.sent_outcome()  # a file finished just before the stop is reported as such
            if outcome is not None:
                finished.add(path)
                on_outcome(path, outcome)
        left = {*busy.values(), *pending} - finished
        unfinished = [p for p in paths if p in left]
        _remove_parts(unfinished, targets)
        stop.unfinished = unfinished
        raise
    finally:
        workers_left = [*idle, *busy]
        for worker in workers_left:
            worker.conn.close()  # each sees the end of its input and exits, all at once
        for worker in workers_left:
            worker.close()


def _largest_first(paths):
    def size(path):
        try:
            return os.stat(path).st_size
        except OSError:  # reported by its worker like any file it cannot read
            return 0
    return sorted(paths, key=size, reverse=True)


def _next_worker(idle, workers=1):
    """An idle worker still alive (one can die between two files), else a new
    one; it writes beside its dealiasing when the `workers` leave a core free."""
    while idle:
        worker = idle.pop()
        if worker.proc.is_alive():
            return worker
        worker.close()
    return _Worker(spare_core=workers < usable_cores())


class _Worker:
    """A process that dealiases the files sent to it, one at a time.

    Started with "spawn": a clean interpreter, whatever threads this one has."""

    def __init__(self, spare_core=False):
        context = multiprocessing.get_context("spawn")
        self.conn, child = context.Pipe()
        self.proc = context.Process(target=_serve, args=(child, spare_core), name="vornak-worker", daemon=True)
        self.proc.start()
        child.close()
        self.died = False

    def send(self, path, output, options):
        self.conn.send((os.fspath(path), os.fspath(output), options))

    def collect(self, path, on_sweep):
        """The outcome of the file being dealiased once it is there, else None
        (reporting each sweep done to `on_sweep`)."""
        while True:
            try:
                if not self.conn.poll():
                    break
                kind, value = self.conn.recv()
            except (EOFError, OSError):  # its end of the pipe closed: it is gone, or going
                self.kill()
                break
            if kind == "done":
                return value
            if on_sweep is not None:
                on_sweep()
        if self.proc.is_alive():
            return None
        self.died = True
        self.proc.join()
        return RadarFileError(f"{path}: the process dealiasing it died ({_exit_reason(self.proc.exitcode)}); "
                              "the file was left out")

    def sent_outcome(self):
        """The outcome of its file if the worker sent it before it was stopped, else None."""
        try:
            while self.conn.poll():
                kind, value = self.conn.recv()
                if kind == "done":
                    return value
        except Exception:  # nothing, or a message torn by the kill: no outcome
            pass
        return None

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


def _serve(conn, spare_core=False):
    """The worker process: dealias each (path, output, options) received,
    writing beside the dealiasing when a core is left for it (`spare_core`)."""
    import warnings

    # Ctrl-C reaches every process of the terminal: the waiting process
    # decides, and kills this one.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    warnings.simplefilter("ignore", FutureWarning)
    while True:
        try:
            path, output, options = conn.recv()
        except EOFError:
            # Every output is closed and renamed: nothing is left to flush,
            # and tearing down the interpreter's modules would keep the
            # waiting process most of a second.
            os._exit(0)
        try:
            outcome = process_file(path, None, options, on_sweep=lambda: conn.send(("sweep", None)), target=output,
                                   write_beside=spare_core)
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
            return process_file(path, None, options, target=output, write_beside=False)  # the cores are the cluster's
    except Exception as exc:
        return _portable(path, exc)


def _run_on_cluster(paths, targets, options, on_outcome, scheduler):
    """One task per file on the dask.distributed cluster at `scheduler`."""
    from ._optional import require

    distributed = require("distributed", "vornak dealias --scheduler")
    client = None
    pending = dict.fromkeys(paths)
    _quiet_dask()
    hurry = False  # stopped, or the scheduler gone: nothing left worth waiting for
    try:
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
        stop.unfinished = list(pending)
        raise
    except ClusterLost as lost:
        hurry = True
        lost.unfinished = list(pending)
        raise
    finally:
        _close_quietly(client, timeout=2 if hurry else 10)
        _remove_parts(paths, targets)  # left by workers that died writing; no task of this run runs now


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


def _close_quietly(client, timeout=10):
    """Close the client, waiting at most about `timeout` seconds. A client
    that did not close in time (its scheduler gone, or a loaded machine) is
    marked closed, or its finaliser would try again after the cluster's
    event loop has ended and print a traceback."""
    if client is not None:
        try:
            client.close(timeout=timeout)
        except Exception:
            client.status = "closed"


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


def usable_cores():
    """The cores this process may run on: a batch job or `taskset` can allow
    fewer than the machine has, and a worker per machine core would then
    share them."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # no affinity where the platform has none
        return os.cpu_count() or 1


def default_workers(nfiles):
    """With more than one file, one worker per usable core (at most one per file)."""
    return max(1, min(nfiles, usable_cores()))
