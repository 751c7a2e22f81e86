"""Writing the CfRadial2 output one group at a time, in a thread of its own,
while the sweeps still to come are decoded and dealiased.

The netCDF library lets go of the interpreter while it compresses and
writes a variable, so on two cores the writing of one sweep runs beside the
work on the next. The file holds what xradar's CfRadial2 writer makes of the
same tree: every group goes through xradar's own steps (the sweep made
CfRadial2, attributes encoded) and xarray's netCDF store, in the tree's
order, into one open file.

The netCDF library is not thread-safe: while the writer runs, no other
thread may use it. The caller hands over only data already in memory, and
reads with the netCDF library (CfRadial 1 and 2 inputs) before the writer
starts; `READERS_BESIDE_WRITER` are xradar's readers that decode in Python
and so may go on reading beside it.

A sweep may also be handed over before it is decoded (`stream`): its
group is defined at once from the variables' shapes, types and encodings,
and each variable is written as soon as the caller has decoded it, beside
the decoding of the next; the dealiased fields, known last, are defined and
written at the end.

Where xradar's steps cannot be had one group at a time (another version of
xradar), the whole tree is written at the end by xradar's own writer.
"""

import contextlib
import functools
import os
import threading

import numpy as np

from . import _io

#: Encoded values (bytes) held for writing at most, beyond one group's: a
#: run of groups defined together is written once its values reach this.
RUN_BYTES = 64 << 20

#: xradar's readers that decode the file in Python, without the netCDF or
#: HDF5 library: their sweeps may be decoded while the writer writes.
READERS_BESIDE_WRITER = frozenset({"nexradlevel2", "iris", "uf", "furuno", "rainbow", "datamet", "metek"})


@functools.cache
def _xradar_steps():
    """xradar's steps of one group of its CfRadial2 writer, or None (looked
    up once: the version is read from the package's metadata on disk)."""
    try:
        from importlib.metadata import version

        from xarray.backends.netCDF4_ import NetCDF4DataStore
        from xradar.io.export.cfradial2 import _encode_bool_attrs, _resolve_attrs_encoding
        from xradar.model import conform_cfradial2_sweep_group

        return NetCDF4DataStore, conform_cfradial2_sweep_group, _encode_bool_attrs, _resolve_attrs_encoding, version("xradar")
    except (ImportError, AttributeError, ValueError):
        return None


class GroupWriter:
    """A CfRadial2 file written group by group as `put` hands the groups over.

    Written under a temporary name (`_io.part_path`); `finish(check)` waits
    for the last group, calls `check(temporary path)` and only then gives
    the file its name. `abort()` (or leaving a `with` block by an exception)
    stops the writer and removes the temporary file.
    """

    def __init__(self, tree, path, compression=_io.COMPRESSION_LEVEL, on_start=None):
        self.path = path
        self._on_start = on_start  # called before the file is begun (making its folder)
        self.tmp = _io.part_path(path)
        self._tree = tree
        self._compression = compression
        self._steps = _xradar_steps()
        self._ready = {}
        self._streamed = {}  # node path -> the moments handed over one by one
        self._order = [node.path for node in tree.subtree]
        self._done = threading.Condition()
        self._error = None
        self._stopped = False
        self._thread = None
        if self._steps is None:
            return
        self._root = _root_dataset(tree, compression, self._steps)
        self._root_coords = tree.to_dataset(inherit=False).coords.to_dataset()
        self._thread = threading.Thread(target=self._write, name="vornak-writer", daemon=True)

    def put(self, node_path, start=True):
        """Hand over the group `node_path` as the tree now holds it. The file
        is begun at the first group put with `start`: a temporary file lives
        no longer than it must (a worker killed leaves it)."""
        self._raise_failure()
        if self._steps is None:
            return
        if start:
            self._start()
        # as xradar's writer sees it, with the coordinates it inherits; decoded here: only this thread reads the input
        dataset = self._tree[node_path].to_dataset(inherit="all_coords")
        moments = self._streamed.get(node_path)
        key = node_path if moments is None else (node_path, _DEALIASED)
        if moments is not None:
            dataset = dataset.drop_vars(moments)  # written already
        dataset = dataset.copy().load()
        _io.keep_missing_values(dataset)
        if self._compression:
            _io.compress(dataset, self._compression)
        with self._done:
            self._ready[key] = dataset
            self._done.notify()

    def stream(self, node_path, dataset, field, late, load):
        """Hand over the sweep `node_path` while decoding it: `dataset` is its
        group as the tree holds it (the same variables), `field` its
        velocity, `late` the names of the variables that its dealiasing will
        add. Each moment is decoded with `load(variable)` in the order the
        writer writes them and handed over at once; returns `dataset`, decoded. `put(node_path)` hands over
        the dealiased group. None (nothing handed over) where the sweep
        cannot be written this way: decode and `put` it as any other."""
        self._raise_failure()
        if self._steps is None or field not in dataset.data_vars or any(name in dataset.variables for name in late):
            return None
        group = self._tree[node_path].to_dataset(inherit="all_coords")
        moments = [name for name, var in dataset.data_vars.items() if _streamable(var)]
        if not moments:
            return None
        for name, var in group.variables.items():
            if name not in moments:
                load(var)  # small: coordinates and sweep metadata, and fields whose encoding needs their values
        template = group.copy()
        for name in moments:
            template[name] = _placeholder(group.variables[name])
        for name in late:  # where the dealiasing puts them
            template[name] = (group[field].dims, np.broadcast_to(np.float32(0), group[field].shape))
        _io.keep_missing_values(template)
        if self._compression:
            _io.compress(template, self._compression)
        self._streamed[node_path] = moments
        self._start()
        with self._done:
            self._ready[node_path] = _Streamed(template, moments, late)
            self._done.notify()
        for name in moments:
            var = load(dataset.variables[name])
            self._raise_failure()
            with self._done:
                self._ready[node_path, name] = var.values
                self._done.notify()
        return dataset

    def put_rest(self, written):
        """Hand over every group of the tree not in `written` (paths), as the
        tree holds them, without beginning the file."""
        for node in self._tree.subtree:
            if node.path != "/" and node.path not in written:
                self.put(node.path, start=False)

    def _start(self, thread=True):
        """Begin the file: in the writer's thread, or (`thread` False) in this one, at once."""
        if self._thread is None or self._thread.ident is None:
            if self._on_start is not None:
                self._on_start()
                self._on_start = None
            if self._thread is None:
                return
            if thread:
                self._thread.start()
            else:
                missing = [p for p in self._order[1:] if p not in self._ready]
                if missing:
                    raise RuntimeError(f"vornak: the groups {missing} were never handed to the writer")
                self._thread = None  # all handed over already: a thread would only be waited for
                self._write()

    def finish(self, check=None):
        """Wait for the file, check it and give it its name; a `RadarFileError` when it fails."""
        try:
            if self._steps is None:
                self._start()
                _io.write_cfradial2(self._tree, self.path, self._compression, check=check)
                return
            self._start(thread=False)
            if self._thread is not None:
                self._thread.join()
            self._raise_failure()
            if check is not None:
                check(self.tmp)
            os.replace(self.tmp, self.path)  # never a half-written file under the final name
            _io.remove_parts(self.path)  # left by writers of earlier runs that were killed writing it
        except BaseException as exc:
            failure = _io.write_error(exc, self.path)  # before the temporary file frees the space it took
            self.abort()
            if failure is None:
                raise
            raise failure from exc

    def abort(self):
        """Stop writing (after the group being written) and remove the temporary file."""
        with self._done:
            self._stopped = True
            self._done.notify()
        if self._thread is not None and self._thread.ident is not None:
            self._thread.join()
        with contextlib.suppress(OSError):
            os.remove(self.tmp)

    def __enter__(self):
        return self

    def __exit__(self, kind, exc, traceback):
        if exc is not None:
            self.abort()

    def _raise_failure(self):
        if self._error is not None:
            raise _io.write_error(self._error, self.path) or self._error

    def _take(self, key):
        """What was handed over under `key` (waiting for it), or None once stopped."""
        with self._done:
            while key not in self._ready and not self._stopped:
                self._done.wait()
            return None if self._stopped else self._ready.pop(key)

    def _next_run(self, node_paths):
        """The groups handed over of `node_paths`, from the first on (waiting
        for the first): [(path, dataset)], or None once stopped."""
        with self._done:
            while node_paths[0] not in self._ready and not self._stopped:
                self._done.wait()
            if self._stopped:
                return None
            run = []
            for node_path in node_paths:
                if node_path not in self._ready:
                    break
                run.append((node_path, self._ready.pop(node_path)))
            return run

    def _write(self):
        store_type, conform, encode_bools, resolve_encoding, _ = self._steps
        store = None
        try:
            store = store_type.open(self.tmp, mode="w", format="NETCDF4")
            values = _define(self._root, store)
            todo = self._order[1:]
            while todo:
                # the groups handed over so far are all defined before their values are written
                run = self._next_run(todo)
                if run is None:
                    return
                todo = todo[len(run):]
                streams = []
                for node_path, dataset in run:
                    if isinstance(dataset, _Streamed):
                        streams.append((node_path, dataset))
                        values += dataset.define(self._group(node_path, dataset.template), store.get_child_store(node_path))
                    else:
                        values += _define(self._group(node_path, dataset), store.get_child_store(node_path))
                    if sum(getattr(source, "nbytes", 0) for source, _, _ in values) >= RUN_BYTES:
                        values = _write_values(values)  # a bounded share of the encoded copies held
                values = _write_values(values)
                for node_path, streamed in streams:
                    # each moment as it is decoded, then the dealiased fields
                    for name in streamed.moments:
                        decoded = self._take((node_path, name))
                        if decoded is None:
                            return
                        encoded, target, region = streamed.values(name, decoded, store)
                        # no chunk cache: compressed as it is written, beside the decoding of the next,
                        # not all together when the file is next flushed
                        target.get_array().set_var_chunk_cache(size=0)
                        _write_values([(encoded, target, region)])
                    dealiased = self._take((node_path, _DEALIASED))
                    if dealiased is None:
                        return
                    values += streamed.define_late(self._group(node_path, dealiased), store.get_child_store(node_path))
            _write_values(values)
        except BaseException as exc:
            self._error = exc
            with self._done:
                self._done.notify()  # to a caller waiting in `stream`
        finally:
            if store is not None:
                try:
                    store.close()
                except BaseException as exc:
                    self._error = self._error or exc

    def _group(self, node_path, dataset):
        """A group's dataset as xradar's CfRadial2 writer makes it."""
        _, conform, encode_bools, resolve_encoding, _ = self._steps
        if "sweep" in node_path:
            dataset = conform(dataset, optional=False)
        dataset = encode_bools(resolve_encoding(dataset))
        # as in the tree xradar writes: the group holds no copy of what it inherits
        return _as_child(self._root_coords, node_path.rsplit("/", 1)[-1], dataset)


#: The key under which a streamed sweep's dealiased group is handed over.
_DEALIASED = object()


def _streamable(var):
    """Whether a sweep's variable can be defined before it is decoded: a
    field along the range whose encoding needs no look at its values
    (`_io.keep_missing_values` reads those of packed fields without a fill value)."""
    if "range" not in var.dims or var.dtype.kind not in "fiu":
        return False
    packed = np.dtype(var.encoding.get("dtype", var.dtype)).kind in "iu"
    return not (var.dtype.kind == "f" and packed and "_FillValue" not in var.encoding)


def _placeholder(var):
    """`var` without its values: its dimensions, type, attributes and encoding."""
    import xarray as xr

    return xr.Variable(var.dims, np.broadcast_to(np.zeros((), var.dtype), var.shape), dict(var.attrs),
                       dict(var.encoding))


class _Streamed:
    """A sweep defined from a template (its moments and the fields to come
    without values), its moments written as they arrive, the rest of the
    group defined at the end.

    Defined then are the variables from the first dealiased field on, in the
    group's order: the dealiased fields and the coordinates that follow them
    in xradar's group. So the file holds every variable in the order a
    single definition gives, and the library leaves define mode once more."""

    def __init__(self, template, moments, late):
        self.template = template
        self.moments = moments
        self.late = late
        self._targets = {}  # moment -> (variable of the file, dtype and shape of its encoded values)
        self._defined = {}  # moment -> dimensions, attributes and encoding as xarray's store receives it
        self._rest = None  # the names defined at the end, in order
        self._ray_order = None

    def define(self, dataset, store):
        """Define the group but the variables that come from the first
        dealiased field on; returns the values to write now."""

        def early(variables, attrs):
            order = list(variables)
            cut = min(order.index(name) for name in self.late)
            if any(order.index(name) > cut for name in self.moments):
                raise RuntimeError(f"vornak: the variables {order} cannot be written one by one")
            self._rest = order[cut:]
            self._defined = {name: (variables[name].dims, dict(variables[name].attrs), dict(variables[name].encoding))
                             for name in self.moments}
            return {name: variables[name] for name in order[:cut]}, attrs

        values = []
        for source, target, region in _define(dataset, store, encoder=early):
            if target.variable_name in self._defined:
                self._targets[target.variable_name] = (target, (source.dtype, source.shape))
            else:
                values.append((source, target, region))
        self._ray_order = _ray_order(self.template, dataset)
        self.template = None
        return values

    def values(self, name, decoded, store):
        """(values, variable, None) to write the moment `name` from its decoded values."""
        import xarray as xr

        dims, attrs, encoding = self._defined.pop(name)
        target, (dtype, shape) = self._targets.pop(name)
        if self._ray_order is not None and "time" in dims:
            decoded = np.take(decoded, self._ray_order, axis=dims.index("time"))
        encoded = store.encode({name: xr.Variable(dims, decoded, attrs, encoding)}, {})[0][name].data
        if encoded.dtype != dtype or encoded.shape != shape:
            raise RuntimeError(f"vornak: {name} decoded as {encoded.dtype} {encoded.shape}, defined as {dtype} {shape}")
        return encoded, target, None

    def define_late(self, dataset, store):
        """Define the rest of the group (`dataset` holding all but the moments); returns its values."""

        def late(variables, attrs):
            order = list(variables)
            rest = order[order.index(self.late[0]):] if self.late[0] in variables else None
            if rest != self._rest:
                raise RuntimeError(f"vornak: defined late {rest}, expected {self._rest}")
            return {name: variables[name] for name in rest}, {}

        return _define(dataset, store, encoder=late)


def _ray_order(template, conformed):
    """The order in which xradar's group holds the sweep's rays (sorted by
    time, a stable sort) as indices into the rays of `template`, or None
    where that is their order already."""
    time = template["time"]
    if time.ndim != 1:
        raise RuntimeError(f"vornak: the sweep's time has the dimensions {time.dims}, not one along its rays")
    order = np.lexsort((time.values,))
    expected, held = time.values[order], conformed["time"].values
    if expected.dtype != held.dtype or expected.tobytes() != held.tobytes():  # bit for bit: NaT is not equal to NaT
        raise RuntimeError("vornak: the sweep's rays are not in the order its group holds them")
    return None if np.array_equal(order, np.arange(order.size)) else order


def _define(dataset, store, encoder=None):
    """Define one group in `store` (its dimensions, variables and attributes,
    encoded as xarray writes them); returns its values to write, [(values,
    variable, region)], in order.

    The values are written apart (`_write_values`), once every group handed
    over so far is defined (up to `RUN_BYTES` of values): in a netCDF-4 file
    the first write after a definition ends define mode, which writes the
    metadata of the whole file again and flushes it. xarray's store writes
    each variable as soon as it is defined, which did that once per
    variable: a file of 60 sweeps took twice as long (0.9 s more)."""
    from xarray.backends.common import ArrayWriter

    class Later(ArrayWriter):
        __slots__ = ("values",)

        def __init__(self):
            super().__init__()
            self.values = []

        def add(self, source, target, region=None):
            self.values.append((source, target, region))

    writer = Later()
    # not in warnings.catch_warnings(), whose filters are the whole process's: the caller's apply
    # (`_files` ignores xarray's FutureWarnings and its word on packed fields without a fill value)
    dataset.dump_to_store(store, writer=writer, encoder=encoder)
    return writer.values


def _write_values(values):
    """Write the values `_define` left; returns an empty list to collect the next."""
    from xarray.backends.common import ArrayWriter

    writer = ArrayWriter()
    for source, target, region in values:
        writer.add(source, target, region)
    writer.sync()  # values that stayed lazy (none from `put`, which decodes them), as xarray's own writer does
    return []


def _as_child(root_coords, name, dataset):
    import xarray as xr

    scratch = xr.DataTree(root_coords)
    scratch[name] = xr.DataTree(dataset)
    return scratch[name].to_dataset(inherit=False)


def _root_dataset(tree, compression, steps):
    """The root group as xradar's CfRadial2 writer writes it."""
    import numpy as np
    import xarray as xr

    _, _, encode_bools, resolve_encoding, xradar_version = steps
    root = xr.DataTree(_io.complete_root(tree)).to_dataset()  # the tree's order: data variables, then coordinates
    _io.keep_missing_values(root)
    if compression:
        _io.compress(root, compression)
    root = encode_bools(resolve_encoding(root))
    sweep_names = [name for name in tree.children if name.startswith("sweep_")]
    sweep_names.sort(key=lambda x: int(x.split("_", 1)[1]) if x[6:].isdigit() else 0)
    group_names = root.variables.get("sweep_group_name")
    if group_names is not None and group_names.dtype.kind not in "USO" and group_names.size == len(sweep_names):
        root = root.assign(sweep_group_name=xr.DataArray(np.array(sweep_names, dtype=str), dims=group_names.dims,
                                                         attrs=group_names.attrs))
    root.attrs["Conventions"] = "Cf/Radial"
    root.attrs["version"] = "2.0"
    root.attrs["history"] = root.attrs.get("history", "") + f": xradar v{xradar_version} CfRadial2 export"
    return root
