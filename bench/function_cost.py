"""The cost of one call of varnel's functions on a Parameter: every
elementary function against `varnel.sin(p)`, and `varnel.sin(p)` against
Python's own `math.sin(x)` on a float as the machine's yardstick. Same loop
shape, many short interleaved rounds in one process, best CPU time of each. Prints one
JSON line: nanoseconds per call under "ns", and the ratios "exp_over_sin"
(target: at most 1.5), "worst_over_sin" with the function it is for, and
"sin_over_math_sin", which compares builds run on the same machine.

    python function_cost.py [--rounds N] [--loops N]

Run against an older install that lacks the elementary functions, it times
what there is.
"""

import argparse
import json
import math
import time

import varnel

UNARY = ("sin", "cos", "sqrt", "exp", "log", "tan", "asin", "acos", "atan", "sinh", "cosh", "tanh", "abs",
         "log1p", "expm1", "cbrt")
BINARY = ("pow", "atan2", "hypot")


def per_call(call, loops):
    start = time.thread_time_ns()
    for _ in range(loops):
        call()
    return (time.thread_time_ns() - start) / loops


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=61)
    parser.add_argument("--loops", type=int, default=5_000)
    args = parser.parse_args()
    p, q, x = varnel.Parameter(0.5), varnel.Parameter(0.25), 0.5
    calls = {"math.sin": lambda: math.sin(x)}
    for name in UNARY:
        if hasattr(varnel, name):
            f = getattr(varnel, name)
            calls[name] = lambda f=f: f(p)
    for name in BINARY:
        if hasattr(varnel, name):
            f = getattr(varnel, name)
            calls[name] = lambda f=f: f(p, q)
    best = dict.fromkeys(calls, math.inf)
    for _ in range(args.rounds):
        for name, call in calls.items():
            best[name] = min(best[name], per_call(call, args.loops))
    result = {"ns": {name: round(ns, 1) for name, ns in best.items()},
              "sin_over_math_sin": round(best["sin"] / best["math.sin"], 3)}
    if "exp" in best:
        worst = max((n for n in best if n not in ("math.sin", "sin")), key=best.get)
        result.update(exp_over_sin=round(best["exp"] / best["sin"], 3), worst=worst,
                      worst_over_sin=round(best[worst] / best["sin"], 3))
    print(json.dumps(result))


if __name__ == "__main__":
    main()
