"""CPU time of eval and backward passes repeated the ways the scratch a
thread keeps between passes matters to them:

  same     one graph, walked again and again: its scratch is kept for it
  rebuilt  a new graph of the same size for every pass, bound to the same
           name, so the previous graph is released just before the pass
  dropped  as rebuilt, but the previous graph is released before the new
           one is built
  alive    a new graph for every pass while the previous one still lives

Every case runs in processes of its own, for this interpreter's varnel and,
with --baseline, for another interpreter's (another build of varnel),
taking turns, all in one run. Prints CPU nanoseconds per node of a pass
(the best of every round of every turn; the process's CPU time, so the
kernel's work to map fresh memory counts) and the ratio of this build's
time to the baseline's.

    python bench/pass_scratch.py [--baseline PYTHON] [--turns N] [--rounds N] [--sizes 1e3,1e5]
"""

import argparse
import json
import subprocess
import sys
import time

CASES = ("same", "rebuilt", "dropped", "alive")


def graph(vn, steps):
    """A chain of `steps` steps, three nodes each, over one Parameter."""
    p = vn.Parameter(0.5)
    y = p
    for _ in range(steps):
        y = vn.sin(y) * 0.5 + p
    return y


def best_of(rounds, setup, timed):
    best = None
    for _ in range(rounds):
        subject = setup()
        start = time.process_time_ns()
        timed(subject)
        spent = time.process_time_ns() - start
        best = spent if best is None else min(best, spent)
    return best


def run_case(case, nodes, rounds):
    import _varnel as vn

    steps = max(1, nodes // 4)  # sin, *, + and a constant a step
    state = {"y": graph(vn, steps)}
    state["y"].backward()  # the first pass of the process is not timed

    def setup():
        if case == "rebuilt":
            state["y"] = graph(vn, steps)  # releases the previous graph
        elif case == "dropped":
            state["y"] = None
            state["y"] = graph(vn, steps)
        elif case == "alive":
            state["previous"] = state["y"]
            state["y"] = graph(vn, steps)
        return state["y"]

    per_node = 4 * steps
    return {
        "eval": best_of(rounds, setup, lambda y: y.eval()) / per_node,
        "backward": best_of(rounds, setup, lambda y: y.backward()) / per_node,
    }


def measure(python, case, nodes, rounds):
    out = subprocess.run([python, __file__, "--worker", case, str(nodes), str(rounds)],
                         capture_output=True, text=True, check=True).stdout
    return json.loads(out)


def best(results):
    return {phase: min(result[phase] for result in results) for phase in results[0]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--baseline", help="an interpreter with the varnel to compare against")
    parser.add_argument("--turns", type=int, default=3, help="processes per case and build")
    parser.add_argument("--rounds", type=int, default=5, help="timed passes per process")
    parser.add_argument("--sizes", default="1e3,2e4,1e5,1e6", help="nodes per graph")
    parser.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        case, nodes, rounds = args.worker
        print(json.dumps(run_case(case, int(nodes), int(rounds))))
        return
    sizes = [int(float(size)) for size in args.sizes.split(",")]
    header = f"{'case':8} {'nodes':>8} {'pass':9} {'ns/node':>8}"
    if args.baseline:
        header += f" {'baseline':>9} {'ratio':>6}"
    print(header)
    for nodes in sizes:
        for case in CASES:
            mine, theirs = [], []
            for _ in range(args.turns):
                mine.append(measure(sys.executable, case, nodes, args.rounds))
                if args.baseline:
                    theirs.append(measure(args.baseline, case, nodes, args.rounds))
            mine, theirs = best(mine), theirs and best(theirs)
            for phase in ("eval", "backward"):
                line = f"{case:8} {nodes:>8} {phase:9} {mine[phase]:8.1f}"
                if theirs:
                    line += f" {theirs[phase]:9.1f} {mine[phase] / theirs[phase]:6.2f}"
                print(line, flush=True)


if __name__ == "__main__":
    main()
