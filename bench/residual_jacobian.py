"""Residuals and their Jacobian from Python, the inner step of every
least-squares fit: 1,000 points of y = a * exp(-b * t) + c, the residuals
as 1,000 outputs of a compiled Function of the inputs a, b and c.

Times, per residual-and-Jacobian step, best CPU time of many interleaved
rounds in one process:
  tuples              r(a, b, c) and r.jacobian(a, b, c), turned into arrays
  flat                r(v, flat=True) and r.jacobian(v, flat=True)
  value_and_jacobian  r.value_and_jacobian(v, flat=True): one forward pass
  jax                 jit(jacfwd) and the values, when jax is installed
and prints one JSON line: microseconds per step under "us", and
"value_and_jacobian_over_tuples" and, with jax, "value_and_jacobian_over_jax".
The target is at most 100 us for value_and_jacobian.

    python residual_jacobian.py [--rounds N] [--loops N] [--points N]
"""

import argparse
import json
import math
import time

import numpy as np

import varnel
from varnel import Undefined


def per_call(call, loops):
    start = time.thread_time_ns()
    for _ in range(loops):
        call()
    return (time.thread_time_ns() - start) / loops / 1000


def problem(points):
    rng = np.random.default_rng(0)
    t = np.linspace(0.0, 4.0, points)
    y = 2.0 * np.exp(-1.3 * t) + 0.5 + rng.normal(0.0, 0.01, points)
    return t, y


def varnel_calls(t, y, v):
    a, b, c = Undefined(name="a"), Undefined(name="b"), Undefined(name="c")
    r = varnel.compile([a * varnel.exp(-b * float(ti)) + c - float(yi) for ti, yi in zip(t, y)], [a, b, c])
    lanes = [float(x) for x in v]

    def tuples():
        return np.array(r(*lanes)).ravel(), np.array(r.jacobian(*lanes))

    def flat():
        return r(v, flat=True), r.jacobian(v, flat=True)

    def value_and_jacobian():
        return r.value_and_jacobian(v, flat=True)

    # Every path gives the same bits.
    want_values, want_jacobian = value_and_jacobian()
    for call in (tuples, flat):
        values, jacobian = call()
        assert np.array_equal(values, want_values) and np.array_equal(jacobian, want_jacobian)
    return {"tuples": tuples, "flat": flat, "value_and_jacobian": value_and_jacobian}, want_values, want_jacobian


def jax_call(t, y, v, values, jacobian):
    try:
        import jax
    except ImportError:
        return None
    jax.config.update("jax_enable_x64", True)
    import jax.numpy as jnp

    tj, yj = jnp.asarray(t), jnp.asarray(y)

    def residuals(p):
        return p[0] * jnp.exp(-p[1] * tj) + p[2] - yj

    step = jax.jit(lambda p: (residuals(p), jax.jacfwd(residuals)(p)))
    vj = jnp.asarray(v)
    got_values, got_jacobian = step(vj)
    assert np.allclose(got_values, values) and np.allclose(got_jacobian, jacobian)

    def call():
        out = step(vj)
        out[1].block_until_ready()
        return out

    return call


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=31)
    parser.add_argument("--loops", type=int, default=200)
    parser.add_argument("--points", type=int, default=1000)
    args = parser.parse_args()
    t, y = problem(args.points)
    v = np.array([1.5, 1.0, 0.2])
    calls, values, jacobian = varnel_calls(t, y, v)
    peer = jax_call(t, y, v, values, jacobian)
    if peer is not None:
        calls["jax"] = peer
    best = dict.fromkeys(calls, math.inf)
    for _ in range(args.rounds):
        for name, call in calls.items():
            best[name] = min(best[name], per_call(call, args.loops))
    result = {"points": args.points, "us": {name: round(us, 1) for name, us in best.items()},
              "value_and_jacobian_over_tuples": round(best["value_and_jacobian"] / best["tuples"], 3),
              "target_us": 100, "meets_target": best["value_and_jacobian"] <= 100}
    if "jax" in best:
        result["value_and_jacobian_over_jax"] = round(best["value_and_jacobian"] / best["jax"], 3)
    else:
        result["jax"] = "not installed: skipped"
    print(json.dumps(result))


if __name__ == "__main__":
    main()
