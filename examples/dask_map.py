"""A compiled Function over a Dask array of a million rows, on a local
cluster of two worker processes: values with Function.map, each row's
Jacobian with map_jacobian and each row's gradient of one output lane with
map_vjp, every block mapped on a worker, all checked against the same work
done here.

The Function travels to the workers by pickle, with the value its Parameter
holds then; each worker runs a standalone copy. Dask starts its worker
processes with OMP_NUM_THREADS=1, so each call there runs on one thread
(varnel.default_threads() follows it) and the cluster's own processes and
threads share the cores. Point Client at a real cluster's scheduler and the
same code runs there.

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

ROWS = 1_000_000
CHUNK = 250_000


def main():
    p, w = Undefined(dim=3, name="p"), Parameter(1.5, name="w")
    q = p * p * w + varnel.sin(p)
    f = varnel.compile([q.x + q.y + q.z, q], p)  # 3 input lanes, 4 output lanes
    seeds = np.array([1.0, 0.0, 0.0, 0.0])  # map_vjp: the gradient of the sum, lane 0

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        print(f"threads per call on each worker: {client.run(varnel.default_threads)}")
        rows = da.random.default_rng(0).random((ROWS, 3), chunks=(CHUNK, 3))
        work = {
            "values": (rows.map_blocks(f.map, dtype=np.float64, chunks=(CHUNK, 4)), f.map),
            "Jacobians": (rows.map_blocks(f.map_jacobian, dtype=np.float64, new_axis=2, chunks=(CHUNK, 4, 3)),
                          f.map_jacobian),
            "gradients": (rows.map_blocks(f.map_vjp, seeds=seeds, dtype=np.float64, chunks=(CHUNK, 3)),
                          lambda block: f.map_vjp(block, seeds)),
        }
        for what, (remote, local) in work.items():
            start = time.perf_counter()
            # The rows are made on the workers; both come back here.
            local_rows, result = client.compute([rows, remote], sync=True)
            print(f"{what} of {len(result):,} rows on {len(client.scheduler_info()['workers'])} workers: "
                  f"{time.perf_counter() - start:.2f} s, shape {result.shape}; "
                  f"the same bits as here: {np.array_equal(result, local(local_rows))}")
        print(f"d(sum q)/dp of row 0: {result[0]}")


if __name__ == "__main__":
    main()
