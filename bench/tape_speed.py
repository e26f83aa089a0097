"""The compiled path against its peers: one call and one gradient of a mixed
graph (W5M) and of a one-lane chain, values and gradients mapped over the
W4 points, and the mapped rows on one thread and on two. Every engine runs
in this process, round after round, each case once per round, and the best
round counts; CPU time, except for the threaded rows (wall time).

    python tape_speed.py [--smoke] [--json FILE]
    python tape_speed.py --before OTHER_PYTHON   # varnel of another build,
                                                 # interleaved with this one

Peers: CasADi SX Functions (and Function.map) and JAX (jit, vmap, grad) on
the CPU, each skipped when it does not import, and for the W4 rows "C by
hand": w4_by_hand.c, compiled here with the system's C compiler (cc -O2,
the C library's sin and cos; skipped when there is none), the floor that
the W4 targets are also given against, as ratios measured in the same run,
and "C in blocks", the same C laid out as varnel's block interpreter lays
out rows (blocks of 256, one loop per operation): the floor of that
design. JAX runs each case in a
process of its own, which traces, lowers and compiles it once (timed apart
and reported: XLA takes minutes over a 10,000-node graph) and is stopped
when that and its rounds take more than --jax-budget seconds. compare.py
runs this after its own table and puts target_rows() into its targets.
"""

import argparse
import json
import math
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

W5M_STEPS = 8_283  # the mixed graph: 10,013 nodes
CHAIN_NODES = 10_000
W4_POINTS = 10_000
THREADED_POINTS = 1_000_000
# Calls of a W4 case per round (a millisecond or less each): one call alone
# came out 10-50% slower, and by as much again from round to round, as it
# was timed straight after the other cases had taken the caches and the
# branch predictors; twenty time the rows themselves.
W4_CALLS = 20


# --- the graphs, once for every engine ----------------------------------------------


def w5m_recipe(steps, seed=5):
    """Steps of the mixed graph over a 3-lane input: (op, i, j, k) reads the
    values i and j back from the newest and lane k. mul, add, sin and div on
    one to three lanes and lane picks; every value stays within [-1, 1]
    without decaying to 0."""
    rng = random.Random(seed)
    return [(rng.choice(("mul", "add", "sin", "div", "pick")), rng.randrange(6), rng.randrange(6),
             rng.randrange(3)) for _ in range(steps)]


def w5m(x, recipe, sin, dim, pick):
    """Builds the mixed graph from input x in any engine: sin, dim(v) and
    pick(v, k) are the engine's. The output sums the last values' lane 0."""
    recent = [x]
    for op, i, j, k in recipe:
        a, b = recent[-1 - i % len(recent)], recent[-1 - j % len(recent)]
        if dim(a) != dim(b) and 1 not in (dim(a), dim(b)):
            b = pick(b, k % dim(b))
        if op == "mul":
            made = a * b * 0.5 + 0.5
        elif op == "add":
            made = (a + b) * 0.5
        elif op == "sin":
            made = sin(a)
        elif op == "div":
            made = a / (b * b + 2.0)
        else:
            made = pick(a, k % dim(a))
        recent.append(made)
        del recent[:-6]
    out = pick(recent[0], 0)
    for value in recent[1:]:
        out = out + pick(value, 0)
    return out


def chain(x, c, d, nodes):
    y = x
    for _ in range(nodes // 2):
        y = y * c + d
    return y


W5M_X = (0.3, -0.7, 0.9)
CHAIN_X, CHAIN_C, CHAIN_D = 0.1, 0.999, 0.001


def w4_points(count, seed=4):
    rng = random.Random(seed)
    return [[rng.uniform(-1, 1) for _ in range(3)] for _ in range(count)]


# --- the engines: each returns {case: (callable, nodes or points)} -------------------


def varnel_cases(sizes):
    import numpy as np
    import varnel
    from varnel import Parameter, Undefined, sin

    x = Undefined(dim=3, name="x")
    out = w5m(x, w5m_recipe(sizes["w5m"]), sin, lambda v: v.dim, lambda v, k: v[k])
    f = varnel.compile(out, [x])
    y0 = Undefined(name="y")
    c, d = Parameter(CHAIN_C, name="c"), Parameter(CHAIN_D, name="d")
    g = varnel.compile(chain(y0, c, d, sizes["chain"]), [y0])
    p = Undefined(dim=3, name="p")
    q = p * p + sin(p)
    h = varnel.compile(q.x + q.y + q.z, [p])
    points = np.array(w4_points(sizes["w4"]))
    many = np.array(w4_points(sizes["threaded"], seed=9))
    # Nodes as the Functions count them: their instructions.
    n5, nc = int(repr(f).split()[-2]), int(repr(g).split()[-2])
    return {
        "W5M call": (lambda: f(W5M_X), n5),
        "W5M vjp": (lambda: f.vjp(W5M_X), n5),
        "chain call": (lambda: g(CHAIN_X), nc),
        "W4 values": (lambda: h.map(points), sizes["w4"]),
        "W4 gradients": ((lambda: h.map_vjp(points)) if hasattr(h, "map_vjp") else
                         (lambda: [h.vjp(row) for row in points]), sizes["w4"]),
        "rows 1 thread": ((lambda: h.map_vjp(many, threads=1)) if hasattr(h, "map_vjp") else None,
                          sizes["threaded"]),
        "rows 2 threads": ((lambda: h.map_vjp(many, threads=2)) if hasattr(h, "map_vjp") else None,
                           sizes["threaded"]),
    }


def casadi_cases(sizes):
    import casadi
    from casadi import SX

    x = SX.sym("x", 3)
    out = w5m(x, w5m_recipe(sizes["w5m"]), casadi.sin, lambda v: v.shape[0], lambda v, k: v[k])
    f = casadi.Function("f", [x], [out])
    df = casadi.Function("df", [x], [casadi.gradient(out, x)])
    y, c, d = SX.sym("y"), SX.sym("c"), SX.sym("d")
    g = casadi.Function("g", [y, c, d], [chain(y, c, d, sizes["chain"])])
    p = SX.sym("p", 3)
    q = p * p + casadi.sin(p)
    s = q[0] + q[1] + q[2]
    h = casadi.Function("h", [p], [s]).map(sizes["w4"])
    dh = casadi.Function("dh", [p], [casadi.gradient(s, p)]).map(sizes["w4"])
    columns = casadi.DM(w4_points(sizes["w4"])).T
    x0 = casadi.DM(W5M_X)
    return {
        "W5M call": (lambda: f(x0), None),
        "W5M vjp": (lambda: df(x0), None),
        "chain call": (lambda: g(CHAIN_X, CHAIN_C, CHAIN_D), None),
        "W4 values": (lambda: h(columns), sizes["w4"]),
        "W4 gradients": (lambda: dh(columns), sizes["w4"]),
    }


def by_hand_library():
    """w4_by_hand.c compiled and loaded, once; ImportError when no C
    compiler is found, so that its engines are skipped like a peer."""
    import ctypes

    if not hasattr(by_hand_library, "loaded"):
        compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
        if not compiler:
            raise ImportError("no C compiler: neither $CC, cc nor gcc")
        with tempfile.TemporaryDirectory(prefix="w4_by_hand") as folder:
            library = os.path.join(folder, "w4_by_hand.so")
            subprocess.run([compiler, "-O2", "-shared", "-fPIC", "-o", library, os.path.join(HERE, "w4_by_hand.c"),
                            "-lm"], check=True)
            c = ctypes.CDLL(library)  # mapped: it outlives its file
        for name in ("w4_values", "w4_gradients", "w4_values_in_blocks", "w4_gradients_in_blocks"):
            getattr(c, name).argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
        by_hand_library.loaded = c
    return by_hand_library.loaded


def by_hand_cases(sizes, blocks=False):
    """W4 values and gradients by w4_by_hand.c on the same points as
    varnel's, each call making its output array as map does: row by row,
    or with `blocks` laid out as the block interpreter lays them out."""
    import numpy as np

    c = by_hand_library()
    points = np.array(w4_points(sizes["w4"]))
    suffix = "_in_blocks" if blocks else ""

    def run(function, shape):
        out = np.empty(shape)
        function(points.ctypes.data, len(points), out.ctypes.data)
        return out

    return {
        "W4 values": (lambda: run(getattr(c, "w4_values" + suffix), len(points)), sizes["w4"]),
        "W4 gradients": (lambda: run(getattr(c, "w4_gradients" + suffix), points.shape), sizes["w4"]),
    }


# Per JAX case: seconds (wall) of tracing and lowering, and of XLA's compile.
JAX_COMPILE_S = {}


def jax_cases(sizes, only=()):
    """JAX's cases (those in `only`, if given), each traced, lowered and
    compiled once, from the same recipes as the other engines'."""
    os.environ.setdefault("JAX_PLATFORMS", "cpu")
    import jax
    import jax.numpy as jnp

    jax.config.update("jax_enable_x64", True)
    recipe = w5m_recipe(sizes["w5m"])

    def mixed(x):
        return w5m(x, recipe, jnp.sin, lambda v: v.size if v.ndim else 1, lambda v, k: v[k] if v.ndim else v)

    def point(p):
        q = p * p + jnp.sin(p)
        return q[0] + q[1] + q[2]

    x0 = jnp.array(W5M_X)
    scalars = tuple(jnp.asarray(v) for v in (CHAIN_X, CHAIN_C, CHAIN_D))
    points = jnp.array(w4_points(sizes["w4"]))
    made = {
        "W5M call": (mixed, (x0,)),
        "W5M vjp": (jax.grad(mixed), (x0,)),
        "chain call": (lambda y, c, d: chain(y, c, d, sizes["chain"]), scalars),
        "W4 values": (jax.vmap(point), (points,)),
        "W4 gradients": (jax.vmap(jax.grad(point)), (points,)),
    }
    cases = {}
    for case, (function, args) in made.items():
        if only and case not in only:
            continue
        start = time.perf_counter()
        lowered = jax.jit(function).lower(*args)
        traced = time.perf_counter()
        compiled = lowered.compile()
        JAX_COMPILE_S[case] = (traced - start, time.perf_counter() - traced)
        cases[case] = ((lambda compiled=compiled, args=args: compiled(*args).block_until_ready()), None)
    return cases


BY_HAND, IN_BLOCKS = "C by hand", "C in blocks"
ENGINES = {"varnel": varnel_cases, BY_HAND: by_hand_cases, IN_BLOCKS: lambda sizes: by_hand_cases(sizes, blocks=True),
           "casadi": casadi_cases, "jax": jax_cases}
THREADED = ("rows 1 thread", "rows 2 threads")


def measure(run, repeat, threaded):
    clock = time.perf_counter_ns if threaded else time.process_time_ns
    start = clock()
    for _ in range(repeat):
        run()
    return (clock() - start) / repeat


# --- worker and driver ------------------------------------------------------------------


def worker(engines, sizes, rounds, emit, only=()):
    """Measures every case (or those in `only`) of the engines that import,
    `rounds` times; emit gets each round's {engine: {case: ns per unit}},
    after JAX's compile times as {"compile_s": {case: [trace, compile]}}."""
    loaded = {}
    for name in engines:
        try:
            loaded[name] = jax_cases(sizes, only) if name == "jax" else ENGINES[name](sizes)
        except ImportError as error:
            print(f"{name}: not installed ({error})", file=sys.stderr)
    if JAX_COMPILE_S:
        emit({"compile_s": JAX_COMPILE_S})
    for name, cases in loaded.items():
        for case, (run, unit) in list(cases.items()):
            if only and case not in only:
                del cases[case]
            elif run is not None:
                run()  # warm
    # Per node and per point as varnel counts them, for every engine.
    units = {case: unit for case, (_, unit) in (loaded.get("varnel") or varnel_cases(sizes)).items()}
    for _ in range(rounds):
        result = {}
        for name, cases in loaded.items():
            result[name] = {}
            for case, (run, _) in cases.items():
                if run is None:
                    continue
                threaded = case in THREADED
                repeat = 1 if threaded else W4_CALLS if case.startswith("W4") else 200
                result[name][case] = measure(run, repeat, threaded) / units[case]
        emit(result)


def best_of(rounds):
    best = {}
    for result in rounds:
        for engine, cases in result.items():
            for case, ns in cases.items():
                slot = best.setdefault(engine, {})
                slot[case] = min(ns, slot.get(case, math.inf))
    return best


def measure_jax(sizes_flags, rounds, budget, collected, compiles, notes):
    """JAX, case by case, each in a process of its own that is stopped
    after `budget` seconds (at smoke sizes, all cases in one); its rounds go
    into `collected`, its compile times into `compiles` and what was not
    measured into `notes`."""
    for group in ([JAX_ORDER] if "--smoke" in sizes_flags else [(case,) for case in JAX_ORDER]):
        command = [sys.executable, __file__, "--worker", "--engines", "jax", "--rounds", str(rounds)] + sizes_flags
        for case in group:
            command += ["--case", case]
        try:
            run = subprocess.run(command, capture_output=True, text=True, timeout=budget)
        except subprocess.TimeoutExpired:
            notes += [f"jax {case}: not measured, tracing, compiling and timing took more than {budget:g} s"
                      for case in group]
            continue
        if "jax: not installed" in run.stderr:
            print(run.stderr.strip().splitlines()[-1], file=sys.stderr)
            return
        if run.returncode != 0:
            notes += [f"jax {case}: failed: " + (run.stderr.strip().splitlines() or ["?"])[-1][:200]
                      for case in group]
            continue
        for line in run.stdout.splitlines():
            result = json.loads(line)
            if "compile_s" in result:
                compiles.update(result["compile_s"])
            else:
                collected.append(result)


# The cheapest first: the W5M graph may not compile within the budget.
JAX_ORDER = ("W4 values", "W4 gradients", "chain call", "W5M call", "W5M vjp")

# The targets: (case, peer or None, largest ratio varnel/peer, or ns per unit when peer is None).
# The W4 ones also as ratios to C by hand: the C took 26 / 34 ns per
# point on the machine of that day, so 30 / 26 and 45 / 34.
TARGETS = [
    ("W5M call", "casadi", 0.7), ("W5M vjp", "casadi", 0.5), ("chain call", "casadi", 0.5),
    ("W4 values", None, 30.0), ("W4 gradients", None, 45.0),
    ("W4 values", BY_HAND, 1.15), ("W4 gradients", BY_HAND, 1.32),
]


def target_rows(best):
    """[(what, measured, target, met or None when not measured)] for TARGETS."""
    rows = []
    v = best.get("varnel", {})
    for case, peer, limit in TARGETS:
        if peer is None:
            value = v.get(case)
            rows.append((f"varnel {case}, ns/point (CPU)", f"{value:.1f}" if value else "-",
                         f"<= {limit:g}", value <= limit if value else None))
        else:
            theirs = best.get(peer, {}).get(case)
            value = v[case] / theirs if case in v and theirs else None
            rows.append((f"varnel/{peer} {case} (CPU)", f"{value:.2f}x" if value else "-",
                         f"<= {limit:g}x", value <= limit if value else None))
    return rows


def report(best, compiles=None, notes=()):
    engines = [e for e in ("varnel", "before", BY_HAND, IN_BLOCKS, "casadi", "jax") if e in best]
    cases = list(best.get("varnel", {}))
    lines = ["case".ljust(16) + "".join(e.rjust(12) for e in engines) + "   unit"]
    for case in cases:
        unit = "ns/point" if case.startswith(("W4", "rows")) else "ns/node"
        cells = "".join((f"{best[e][case]:12.2f}" if case in best.get(e, {}) else "-".rjust(12)) for e in engines)
        lines.append(case.ljust(16) + cells + "   " + unit + (" (wall)" if case in THREADED else " (CPU)"))
    lines.append("")
    if compiles:
        lines.append("jax, once per case, wall s (trace and lower + XLA compile): " + "; ".join(
            f"{case} {trace:.1f} + {made:.1f}" for case, (trace, made) in compiles.items()))
    lines += list(notes)
    mark = {True: "met", False: "MISSED", None: "not measured"}
    for what, measured, target, met in target_rows(best):
        lines.append(f"target {what}: {measured}, target {target}: {mark[met]}")
    v = best.get("varnel", {})
    if all(c in v for c in THREADED):
        lines.append(f"threaded rows: 2 threads {v['rows 1 thread'] / v['rows 2 threads']:.2f}x faster than 1 (wall)")
    if "before" in best:
        for case in cases:
            if case in best["before"]:
                lines.append(f"before/after {case}: {best['before'][case] / v[case]:.2f}x faster")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes, one round: seconds")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--engines", default=f"varnel,{BY_HAND},{IN_BLOCKS},casadi,jax")
    parser.add_argument("--before", metavar="PYTHON", help="an interpreter with another build of varnel")
    parser.add_argument("--jax-budget", type=float, default=180.0,
                        help="seconds for each JAX case: import, trace, compile and rounds (default 180)")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--case", action="append", default=[], help=argparse.SUPPRESS)
    parser.add_argument("--json", metavar="FILE", help="write the best numbers, compile times and notes here")
    args = parser.parse_args()
    sizes = (dict(w5m=100, chain=100, w4=100, threaded=1000) if args.smoke else
             dict(w5m=W5M_STEPS, chain=CHAIN_NODES, w4=W4_POINTS, threaded=THREADED_POINTS))
    sizes_flags = ["--smoke"] if args.smoke else []
    rounds = 1 if args.smoke else args.rounds
    engines = [e for e in args.engines.split(",") if e]
    if args.worker:
        worker(engines, sizes, rounds, lambda result: print(json.dumps(result), flush=True), args.case)
        return
    collected, compiles, notes = [], {}, []
    here = [e for e in engines if e != "jax"]
    if args.before and "varnel" in here:
        # Round by round, this build and the other one take turns.
        command = [sys.executable, __file__, "--worker", "--engines", "varnel", "--rounds", "1"] + sizes_flags
        before = [args.before, __file__, "--worker", "--engines", "varnel", "--rounds", "1"] + sizes_flags
        for _ in range(rounds):
            for cmd, name in ((before, "before"), (command, "varnel")):
                out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout.splitlines()
                collected.append({name: json.loads(out[-1])["varnel"]})
        here.remove("varnel")
    if here:
        worker(here, sizes, rounds, collected.append)
    if "jax" in engines:
        measure_jax(sizes_flags, rounds, args.jax_budget, collected, compiles, notes)
    best = best_of(collected)
    print(report(best, compiles, notes))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"best": best, "jax_compile_s": compiles, "notes": notes}, f, indent=1)


if __name__ == "__main__":
    main()
