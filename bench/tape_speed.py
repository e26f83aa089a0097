"""The compiled path against its peers: one call and one gradient of a mixed
graph (W5M) and of a one-lane chain, values and gradients mapped over the
W4 points, and the mapped rows on one thread and on two. Every engine runs
in this process, round after round, each case once per round, and the best
round counts; CPU time, except for the threaded rows (wall time).

    python tape_speed.py [--smoke] [--json FILE]
    python tape_speed.py --before OTHER_PYTHON   # varnel of another build,
                                                 # interleaved with this one

Peers: CasADi SX Functions (and Function.map) and JAX (jit, vmap, grad) on
the CPU, each skipped when it does not import. compare.py runs this after
its own table; the targets it prints are the issue's.
"""

import argparse
import json
import math
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

W5M_STEPS = 8_283  # the mixed graph: 10,013 nodes
CHAIN_NODES = 10_000
W4_POINTS = 10_000
THREADED_POINTS = 1_000_000


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


def jax_cases(sizes):
    os.environ.setdefault("JAX_PLATFORMS", "cpu")
    import jax
    import jax.numpy as jnp

    jax.config.update("jax_enable_x64", True)
    f = jax.jit(lambda x: w5m(x, w5m_recipe(sizes["w5m"]), jnp.sin, lambda v: v.size if v.ndim else 1,
                              lambda v, k: v[k] if v.ndim else v))
    df = jax.jit(jax.grad(lambda x: f(x)))
    g = jax.jit(lambda y, c, d: chain(y, c, d, sizes["chain"]))

    def point(p):
        q = p * p + jnp.sin(p)
        return q[0] + q[1] + q[2]

    h, dh = jax.jit(jax.vmap(point)), jax.jit(jax.vmap(jax.grad(point)))
    x0 = jnp.array(W5M_X)
    points = jnp.array(w4_points(sizes["w4"]))
    ready = lambda call: (lambda: call().block_until_ready())
    cases = {
        "W5M call": (ready(lambda: f(x0)), None),
        "W5M vjp": (ready(lambda: df(x0)), None),
        "chain call": (ready(lambda: g(CHAIN_X, CHAIN_C, CHAIN_D)), None),
        "W4 values": (ready(lambda: h(points)), sizes["w4"]),
        "W4 gradients": (ready(lambda: dh(points)), sizes["w4"]),
    }
    for run, _ in cases.values():
        run()  # compiled before the clock starts
    return cases


ENGINES = {"varnel": varnel_cases, "casadi": casadi_cases, "jax": jax_cases}
THREADED = ("rows 1 thread", "rows 2 threads")


def measure(run, repeat, threaded):
    clock = time.perf_counter_ns if threaded else time.process_time_ns
    start = clock()
    for _ in range(repeat):
        run()
    return (clock() - start) / repeat


# --- worker and driver ------------------------------------------------------------------


def worker(engines, sizes, rounds, emit):
    """Measures every case of the engines that import, `rounds` times; emit
    gets each round's {engine: {case: ns per unit}}."""
    loaded = {}
    for name in engines:
        try:
            loaded[name] = ENGINES[name](sizes)
        except ImportError as error:
            print(f"{name}: not installed ({error})", file=sys.stderr)
    for name, cases in loaded.items():
        for case, (run, unit) in cases.items():
            if run is not None:
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
                repeat = 1 if threaded or case.startswith("W4") else 200
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


# The targets: (case, peer or None, largest ratio varnel/peer, or ns per unit when peer is None).
TARGETS = [
    ("W5M call", "casadi", 0.7), ("W5M vjp", "casadi", 0.5), ("chain call", "casadi", 0.5),
    ("W4 values", None, 30.0), ("W4 gradients", None, 45.0),
]


def report(best, before=None):
    engines = [e for e in ("varnel", "before", "casadi", "jax") if e in best]
    cases = list(best.get("varnel", {}))
    lines = ["case".ljust(16) + "".join(e.rjust(12) for e in engines) + "   unit"]
    for case in cases:
        unit = "ns/point" if case.startswith(("W4", "rows")) else "ns/node"
        cells = "".join((f"{best[e][case]:12.2f}" if case in best.get(e, {}) else "-".rjust(12)) for e in engines)
        lines.append(case.ljust(16) + cells + "   " + unit + (" (wall)" if case in THREADED else " (CPU)"))
    lines.append("")
    v = best.get("varnel", {})
    for case, peer, limit in TARGETS:
        if case not in v:
            continue
        if peer is None:
            lines.append(f"target {case}: {v[case]:.1f} ns/point <= {limit:g}: {'met' if v[case] <= limit else 'MISSED'}")
        elif case in best.get(peer, {}):
            ratio = v[case] / best[peer][case]
            lines.append(f"target {case}: {ratio:.2f}x {peer} <= {limit:g}x: {'met' if ratio <= limit else 'MISSED'}")
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
    parser.add_argument("--engines", default="varnel,casadi,jax")
    parser.add_argument("--before", metavar="PYTHON", help="an interpreter with another build of varnel")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--json", metavar="FILE", help="write the best numbers here")
    args = parser.parse_args()
    sizes = (dict(w5m=100, chain=100, w4=100, threaded=1000) if args.smoke else
             dict(w5m=W5M_STEPS, chain=CHAIN_NODES, w4=W4_POINTS, threaded=THREADED_POINTS))
    rounds = 1 if args.smoke else args.rounds
    engines = [e for e in args.engines.split(",") if e]
    if args.worker:
        worker(engines, sizes, rounds, lambda result: print(json.dumps(result), flush=True))
        return
    collected = []
    if args.before:
        # Round by round, this build and the other one take turns.
        command = [sys.executable, __file__, "--worker", "--engines", "varnel", "--rounds", "1"]
        before = [args.before, __file__, "--worker", "--engines", "varnel", "--rounds", "1"]
        if args.smoke:
            command.append("--smoke")
            before.append("--smoke")
        for _ in range(rounds):
            for cmd, name in ((before, "before"), (command, "varnel")):
                out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout.splitlines()
                collected.append({name: json.loads(out[-1])["varnel"]})
        others = [e for e in engines if e != "varnel"]
        if others:
            worker(others, sizes, rounds, collected.append)
    else:
        worker(engines, sizes, rounds, collected.append)
    best = best_of(collected)
    print(report(best))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(best, f, indent=1)


if __name__ == "__main__":
    main()
