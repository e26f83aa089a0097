"""A compiled Function goes to Dask's worker processes by pickle and
evaluates and differentiates blocks of a Dask array there, giving the bits
of a local run. Skipped where dask[distributed] is not installed.

Values (map), Jacobians (map_jacobian) and gradients (map_vjp) each run
over a million rows; each worker process runs a call on one thread."""
import os

import numpy as np
import pytest

import varnel
from varnel import Parameter, Undefined

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")

ROWS = 1_000_000
CHUNK = 250_000
# map_vjp's seeds: the gradient of output lane 0, the sum.
SEEDS = np.array([1.0, 0.0, 0.0, 0.0])


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


def model():
    """q = p * p * w + sin(p) over three lanes and their sum, with w a
    Parameter that is not an input: its value travels in the pickle."""
    p, w = Undefined(dim=3, name="p"), Parameter(1.5, name="w")
    q = p * p * w + varnel.sin(p)
    return varnel.compile([q.x + q.y + q.z, q], p), w


def test_map_over_a_million_rows_on_worker_processes(client):
    f, w = model()
    rows = da.random.default_rng(20).random((ROWS, 3), chunks=(CHUNK, 3))
    values = rows.map_blocks(f.map, dtype=np.float64, chunks=(CHUNK, f.map(np.zeros((1, 3))).shape[1]))
    # Run where the rows were made; only the results come back.
    local_rows, remote_values = client.compute([rows, values], sync=True)
    assert remote_values.shape == (ROWS, 4)
    assert np.array_equal(remote_values, f.map(local_rows))
    # Two worker processes, each with a Function unpickled from this one.
    assert len(client.scheduler_info()["workers"]) == 2


@pytest.mark.parametrize("method, kwargs, tail", [("map_jacobian", {}, (4, 3)),
                                                  ("map_vjp", {"seeds": SEEDS}, (3,))])
def test_gradients_over_a_million_rows_on_worker_processes(client, method, kwargs, tail):
    f, w = model()
    rows = da.random.default_rng(21).random((ROWS, 3), chunks=(CHUNK, 3))
    remote = rows.map_blocks(getattr(f, method), **kwargs, dtype=np.float64, chunks=(CHUNK,) + tail,
                             new_axis=list(range(2, 1 + len(tail))))
    local_rows, got = client.compute([rows, remote], sync=True)
    assert got.shape == (ROWS,) + tail
    assert np.array_equal(got, getattr(f, method)(local_rows, **kwargs))
    # d(sum q)/dp = 2 p w + cos(p), lane by lane, with w's value as pickled.
    expected = 2 * local_rows * 1.5 + np.cos(local_rows)
    assert np.allclose(got[:, 0, :] if method == "map_jacobian" else got, expected, rtol=1e-14, atol=0)


def test_parameters_travel_as_their_values_when_pickled(client):
    f, w = model()
    rows = np.array([[0.5, -0.5, 1.0]])
    w.set_value(3.0)
    remote = client.submit(f.map, rows).result()
    assert np.array_equal(remote, f.map(rows))
    w.set_value(1.5)
    assert not np.array_equal(remote, f.map(rows))


def threads_with(variable, value):
    """varnel.default_threads() on a worker with `variable` set to `value`."""
    before = os.environ.get(variable)
    os.environ[variable] = value
    try:
        return varnel.default_threads()
    finally:
        if before is None:
            del os.environ[variable]
        else:
            os.environ[variable] = before


def test_worker_processes_take_one_thread_per_call(client):
    """Two worker processes on the machine's cores: calls that each took
    every core would oversubscribe them. Dask starts its worker processes
    with OMP_NUM_THREADS=1, which threads=None follows."""
    assert list(client.run(varnel.default_threads).values()) == [1, 1]
    assert list(client.run(threads_with, "VARNEL_NUM_THREADS", "2").values()) == [2, 2]
