"""What `varnel.compile` costs on large graphs and on many tiny ones.

    .venv/bin/python bench/compile_speed.py

Cases (CPU seconds, time.process_time, best of --rounds in one process):
- network: the residuals of sparse_network.py's 10,000-point network
  (about 30,000 residuals, 270,000 nodes) compiled as one Function of the
  points, as the sparse solve compiles them;
- first: that compile once in a fresh process, with its minor page faults
  (getrusage), where every large block is a fresh mapping;
- W5M: tape_speed.py's mixed graph of 10,013 nodes;
- tiny: 3,000 Functions, one per residual of the network with its two
  points as inputs (a few nodes each), as a solver of a dense problem makes
  them; per Function.

Compare two builds by running this script against each in turn, e.g. with
PYTHONPATH naming a copy of the other build's installed modules.
--once CASE (network, w5m or tiny) builds that case and compiles it once,
for counting instructions under callgrind:

    valgrind --tool=callgrind --collect-atstart=no \\
        --toggle-collect='varnel::symbolic::Function::Function*' \\
        .venv/bin/python bench/compile_speed.py --once network
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import varnel  # noqa: E402
from sparse_network import network  # noqa: E402
from tape_speed import W5M_STEPS, w5m, w5m_recipe  # noqa: E402


def best(rounds, call):
    times = []
    for _ in range(rounds):
        start = time.process_time()
        call()
        times.append(time.process_time() - start)
    return min(times)


def first_compile():
    points, residuals, _, _ = network(100, 100)
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    start = time.process_time()
    varnel.compile(residuals, points)
    seconds = time.process_time() - start
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
    return {"seconds": seconds, "page_faults": faults}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--first", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--once", choices=("network", "w5m", "tiny"))
    args = parser.parse_args()
    if args.first:
        print(json.dumps(first_compile()))
        return

    points, residuals, _, pairs = network(100, 100)
    x = varnel.Undefined(dim=3, name="x")
    out = w5m(x, w5m_recipe(W5M_STEPS), varnel.sin, lambda v: v.dim, lambda v, k: v[k])
    tiny = [(residuals[k], [points[i], points[j]]) for k, (i, j) in enumerate(pairs[:3000])]
    cases = {
        "network": lambda: varnel.compile(residuals, points),
        "w5m": lambda: varnel.compile(out, [x]),
        "tiny": lambda: [varnel.compile(r, inputs) for r, inputs in tiny],
    }
    if args.once:
        cases[args.once]()
        return
    network_s, w5m_s, tiny_s = (best(args.rounds, cases[case]) for case in ("network", "w5m", "tiny"))
    firsts = [json.loads(subprocess.run([sys.executable, __file__, "--first"], check=True, capture_output=True,
                                        text=True).stdout) for _ in range(args.rounds)]

    print(f"network, 30k residuals   best of {args.rounds}: {network_s * 1e3:8.1f} ms")
    print(f"network, first compile   best of {args.rounds}: {min(f['seconds'] for f in firsts) * 1e3:8.1f} ms, "
          f"page faults {min(f['page_faults'] for f in firsts)}")
    print(f"W5M, 10,013 nodes        best of {args.rounds}: {w5m_s * 1e3:8.2f} ms")
    print(f"tiny, 3,000 Functions    best of {args.rounds}: {tiny_s / len(tiny) * 1e6:8.2f} us each")


if __name__ == "__main__":
    main()
