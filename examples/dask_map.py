"""A compiled Function over a Dask array of a million rows, on a local
cluster of two worker processes: values with Function.map on every block,
gradients with jacobian(flat=True) row by row on a smaller array, both
checked against the same work done here.

The Function travels to the workers by pickle, with the value its Parameter
holds then; each worker runs a standalone copy. Point Client at a real
cluster's scheduler and the same code runs there.

    python examples/dask_map.py        # needs: pip install "dask[distributed]"
"""

import time

import numpy as np

import varnel
from varnel import Parameter, Undefined

try:
    import dask.array as da
    from distributed import Client, LocalCluster
except ImportError:
    raise SystemExit('this example needs Dask: pip install "dask[distributed]"') from None


def jacobians(f, rows):
    """Each row's Jacobian, shape (N, output lanes, input lanes)."""
    return np.stack([f.jacobian(row, flat=True) for row in rows])


def main():
    p, w = Undefined(dim=3, name="p"), Parameter(1.5, name="w")
    q = p * p * w + varnel.sin(p)
    f = varnel.compile([q.x + q.y + q.z, q], p)  # 3 input lanes, 4 output lanes

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        rows = da.random.default_rng(0).random((1_000_000, 3), chunks=(250_000, 3))
        values = rows.map_blocks(f.map, dtype=np.float64, chunks=(250_000, 4))
        start = time.perf_counter()
        local_rows, remote_values = client.compute([rows, values], sync=True)
        print(f"values of {len(remote_values):,} rows on {len(client.scheduler_info()['workers'])} workers: "
              f"{time.perf_counter() - start:.2f} s")
        same = np.array_equal(remote_values, f.map(local_rows))
        print(f"  the same bits as f.map here: {same}")

        few = rows[:20_000]
        grads = few.map_blocks(lambda block: jacobians(f, block), dtype=np.float64, new_axis=2, chunks=(20_000, 4, 3))
        start = time.perf_counter()
        local_few, remote_grads = client.compute([few, grads], sync=True)
        print(f"Jacobians of {len(remote_grads):,} rows: {time.perf_counter() - start:.2f} s")
        print(f"  the same bits as f.jacobian here: {np.array_equal(remote_grads, jacobians(f, local_few))}")
        print(f"  d(sum q)/dp of row 0: {remote_grads[0, 0]}")


if __name__ == "__main__":
    main()
