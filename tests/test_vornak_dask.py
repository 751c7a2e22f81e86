"""A volume dealiased lazily on a dask.distributed LocalCluster equals the eager result."""

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

import vornak
from vornak import names
from vornak_sweeps import volume_tree


def test_local_cluster_of_two_workers_matches_eager():
    tree = volume_tree(4)
    eager = vornak.dealias_volume(tree, keep_folds=True)
    lazy_in = tree.chunk({"azimuth": 60, "range": 50})
    lazy = vornak.dealias_volume(lazy_in, keep_folds=True)
    for i in range(4):
        var = lazy[f"sweep_{i}"].dataset[names.DEALIASED].variable
        assert var.chunks is not None and [len(c) for c in var.chunks] == [1, 1]  # one block per sweep
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        assert len(client.scheduler_info()["workers"]) == 2
        computed = lazy.compute()
    for i in range(4):
        for name in (names.DEALIASED, names.FOLDS):
            got = computed[f"sweep_{i}"][name].values
            np.testing.assert_array_equal(got, eager[f"sweep_{i}"][name].values)
    assert names.DEALIASED not in computed["sweep_4"]
