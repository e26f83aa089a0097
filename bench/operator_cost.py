"""The cost of one `p * q` on two varnel Parameters against Python's own
`a * b` on two floats: the same loop shape, interleaved rounds in one
process, best CPU time of each. Prints one JSON line:
{"pq_ns": ..., "ab_ns": ..., "ratio": ...}.

    python operator_cost.py [--rounds N] [--loops N]
"""

import argparse
import json
import time

import _varnel


def per_op(p, q, loops):
    start = time.thread_time_ns()
    for _ in range(loops):
        p * q
    return (time.thread_time_ns() - start) / loops


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--loops", type=int, default=100_000)
    args = parser.parse_args()
    p, q = _varnel.Parameter(1.5), _varnel.Parameter(2.5)
    a, b = 1.5, 2.5
    pq, ab = [], []
    for _ in range(args.rounds):
        pq.append(per_op(p, q, args.loops))
        ab.append(per_op(a, b, args.loops))
    print(json.dumps({"pq_ns": min(pq), "ab_ns": min(ab), "ratio": min(pq) / min(ab)}))


if __name__ == "__main__":
    main()
