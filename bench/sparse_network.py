"""A large sparse problem: a 2-D network of points on a grid, tied by the
distances to their right, lower and lower-right neighbours, with one point
fixed and the y of another, solved from hints perturbed by up to 0.15.

    .venv/bin/python bench/sparse_network.py              # 10,000 points, against SciPy
    .venv/bin/python bench/sparse_network.py --scaling    # 1,000 .. 100,000 points
    .venv/bin/python bench/sparse_network.py --quick      # 1,000 points: seconds

Each size runs in a fresh process, so that one size's memory does not hide
the next one's. Times are CPU seconds of this process (time.process_time),
for building the residual Expressions in Python and for the least_squares
call (compiling, finding the blocks, every step, the standard errors, the
result), SciPy imported beforehand.
Memory: the process's peak resident size over the call, above its size
before it (the high-water mark VmHWM against /proc/self/statm), and that per nonzero of the
Jacobian. SciPy's least_squares(method="trf", jac_sparsity=...) runs on the
same residuals through varnel's compiled function (its Jacobian by finite
differences over the sparsity pattern), each run in a process of its own:
at its default tolerances, where it stops short of the accuracy varnel
reaches, and at ftol=xtol=gtol=1e-10, where it reaches an RMS error below
1e-6; each with its BLAS as it comes and on one thread
(OPENBLAS_NUM_THREADS=1, OMP_NUM_THREADS=1), since process_time counts the
CPU its BLAS threads spend waiting.
"""

import argparse
import json
import math
import os
import random
import resource
import subprocess
import sys
import time

import varnel
from varnel import Undefined


def network(width, height, anchored=True, seed=0):
    """The points (Undefined, dimension 2), the residual Expressions, the
    true positions, and the pairs of point indices each distance ties."""
    rng = random.Random(seed)
    points, truth = [], []
    for y in range(height):
        for x in range(width):
            truth.append((float(x), float(y)))
            points.append(Undefined(hint=(x + rng.uniform(-0.15, 0.15), y + rng.uniform(-0.15, 0.15))))
    residuals, pairs = [], []
    for y in range(height):
        for x in range(width):
            k = y * width + x
            for dx, dy in ((1, 0), (0, 1), (1, 1)):
                if x + dx < width and y + dy < height:
                    j = k + dy * width + dx
                    d = points[j] - points[k]
                    residuals.append(varnel.sqrt(d.x * d.x + d.y * d.y) - math.hypot(dx, dy))
                    pairs.append((k, j))
    if anchored:
        residuals.append(points[0] - (0.0, 0.0))
        residuals.append(points[1].y - 0.0)
    return points, residuals, truth, pairs


def rms_error(x, truth):
    total = sum((a - b) ** 2 for value, t in zip(x, truth) for a, b in zip(value, t))
    return math.sqrt(total / (2 * len(truth)))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_bytes():
    # VmHWM, the high-water mark of this process's own memory: ru_maxrss
    # would start from the parent's peak when the parent spawned this
    # process without copying its memory (vfork), as subprocess does.
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def shape(points):
    width = int(math.sqrt(points))
    return width, (points + width - 1) // width


def run_varnel(points, max_iterations=None):
    # The result's Jacobian is a SciPy csr_array; SciPy's first import (a
    # few tenths of a second, once per process) is made before the clock.
    import scipy.sparse  # noqa: F401

    width, height = shape(points)
    start = time.process_time()
    unknowns, residuals, truth, _ = network(width, height)
    build = time.process_time() - start
    before = resident_bytes()
    start = time.process_time()
    wall = time.perf_counter()
    options = {} if max_iterations is None else {"max_iterations": max_iterations}
    result = varnel.least_squares(residuals, unknowns, **options)
    solve = time.process_time() - start
    wall = time.perf_counter() - wall
    peak = max(0, peak_bytes() - before)
    nonzeros = result.jacobian.nnz
    return {
        "points": width * height, "residual_lanes": len(result.residuals), "nonzeros": nonzeros,
        "build_cpu": build, "solve_cpu": solve, "solve_wall": wall, "iterations": result.iterations,
        "status": result.status, "layout": result.layout, "rms_error": rms_error(result.x, truth),
        "peak_bytes": peak, "bytes_per_nonzero": peak / nonzeros,
    }


# SciPy's tolerances that reach an RMS error below 1e-6 on the network.
TIGHT = 1e-10


def run_scipy(points, tight=False):
    import numpy as np
    import scipy.optimize
    import scipy.sparse

    width, height = shape(points)
    unknowns, residuals, truth, pairs = network(width, height)
    function = varnel.compile(residuals, unknowns)
    x0 = np.array([lane for u in unknowns for lane in u.hint])
    rows = len(residuals) + 1  # the first anchor has two lanes
    sparsity = scipy.sparse.lil_array((rows, len(x0)), dtype=np.int8)
    for row, (k, j) in enumerate(pairs):
        sparsity[row, [2 * k, 2 * k + 1, 2 * j, 2 * j + 1]] = 1
    sparsity[rows - 3, 0] = sparsity[rows - 2, 1] = sparsity[rows - 1, 3] = 1
    tolerances = {"ftol": TIGHT, "xtol": TIGHT, "gtol": TIGHT} if tight else {}
    start = time.process_time()
    fit = scipy.optimize.least_squares(lambda x: function(x, flat=True), x0, method="trf",
                                       jac_sparsity=sparsity.tocsr(), **tolerances)
    solve = time.process_time() - start
    x = fit.x.reshape(-1, 2)
    return {"points": width * height, "solve_cpu": solve, "status": fit.status, "nfev": fit.nfev,
            "rms_error": rms_error(x, truth)}


def in_subprocess(kind, points, options=(), one_thread=False):
    env = dict(os.environ)
    if one_thread:
        env.update(OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    out = subprocess.run([sys.executable, __file__, "--one", kind, str(points), *options], capture_output=True,
                         text=True, check=True, env=env)
    return json.loads(out.stdout.splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--points", type=int, default=10_000, help="points of the network compared with SciPy")
    parser.add_argument("--scaling", action="store_true", help="time 1,000 .. 100,000 points (varnel only)")
    parser.add_argument("--quick", action="store_true", help="1,000 points, and SciPy on them")
    parser.add_argument("--no-scipy", action="store_true", help="leave SciPy out")
    parser.add_argument("--one", nargs=2, metavar=("KIND", "POINTS"), help=argparse.SUPPRESS)
    parser.add_argument("--max-iterations", type=int, help="with --one varnel: stop after that many steps")
    parser.add_argument("--tight", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        kind, points = args.one
        result = (run_varnel(int(points), args.max_iterations) if kind == "varnel"
                  else run_scipy(int(points), args.tight))
        print(json.dumps(result))
        return

    sizes = [1_000, 3_000, 10_000, 30_000, 100_000] if args.scaling else [1_000 if args.quick else args.points]
    print(f"{'points':>8} {'lanes':>8} {'nonzeros':>9} {'build s':>8} {'solve s':>8} {'wall s':>7} "
          f"{'iter':>5} {'rms error':>10} {'peak MB':>8} {'B/nz':>6}")
    rows = []
    for points in sizes:
        r = in_subprocess("varnel", points)
        rows.append(r)
        print(f"{r['points']:>8} {r['residual_lanes']:>8} {r['nonzeros']:>9} {r['build_cpu']:>8.2f} "
              f"{r['solve_cpu']:>8.3f} {r['solve_wall']:>7.3f} {r['iterations']:>5} {r['rms_error']:>10.2e} "
              f"{r['peak_bytes'] / 1e6:>8.1f} {r['bytes_per_nonzero']:>6.0f}", flush=True)
    if args.scaling or args.no_scipy:
        return
    for tight in (False, True):
        for one_thread in (False, True):
            s = in_subprocess("scipy", sizes[0], ["--tight"] if tight else [], one_thread)
            ratio = s["solve_cpu"] / rows[0]["solve_cpu"]
            tolerances = f"ftol=xtol=gtol={TIGHT:g}" if tight else "default tolerances"
            threads = "BLAS on one thread" if one_thread else "BLAS threads as they come"
            print(f"scipy trf, jac_sparsity, {tolerances}, {threads}, {s['points']} points: "
                  f"{s['solve_cpu']:.2f} s CPU, {s['nfev']} evaluations, rms error {s['rms_error']:.2e}: "
                  f"varnel is {ratio:.1f}x faster", flush=True)


if __name__ == "__main__":
    main()
