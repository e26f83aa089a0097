"""A compiled Function goes to Dask's worker processes by pickle and
evaluates and differentiates blocks of a Dask array there, giving the bits
of a local run. Skipped where dask[distributed] is not installed.

Values run over a million rows with Function.map. Gradients run row by row
in Python (jacobian with flat=True) until a mapped gradient exists, so over
fewer rows, to keep the test in seconds."""
import numpy as np
import pytest

import varnel
from varnel import Parameter, Undefined

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")

ROWS = 1_000_000
GRADIENT_ROWS = 20_000
CHUNK = 250_000


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


def jacobians(f, rows):
    """Each row's Jacobian, shape (N, output lanes, input lanes)."""
    return np.stack([f.jacobian(row, flat=True) for row in rows])


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


def test_jacobians_on_worker_processes(client):
    f, w = model()
    rows = da.random.default_rng(21).random((GRADIENT_ROWS, 3), chunks=(GRADIENT_ROWS // 2, 3))
    remote = rows.map_blocks(lambda block: jacobians(f, block), dtype=np.float64, new_axis=2,
                             chunks=(GRADIENT_ROWS // 2, 4, 3))
    local_rows, remote_jacobians = client.compute([rows, remote], sync=True)
    assert np.array_equal(remote_jacobians, jacobians(f, local_rows))
    # d(sum q)/dp = 2 p w + cos(p), lane by lane.
    expected = 2 * local_rows * 1.5 + np.cos(local_rows)
    assert np.allclose(remote_jacobians[:, 0, :], expected, rtol=1e-14, atol=0)


def test_parameters_travel_as_their_values_when_pickled(client):
    f, w = model()
    rows = np.array([[0.5, -0.5, 1.0]])
    w.set_value(3.0)
    remote = client.submit(f.map, rows).result()
    assert np.array_equal(remote, f.map(rows))
    w.set_value(1.5)
    assert not np.array_equal(remote, f.map(rows))
