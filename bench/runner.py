"""Runs workloads of one engine in this interpreter and reports the timings.

    python runner.py ENGINE --probe
    python runner.py ENGINE --reps N --budget SECONDS < cases.json

cases.json is a list of {"id", "workload", "params"}. For each case the runner
prints a line "@@start {json}" before it and "@@result {json}" after it, so
the driver can tell which case a crashed process was in; anything else an
engine prints is ignored. Each phase reports the best of the repetitions, in
nanoseconds (per call for the phases a workload lists in `per_call`): CPU time
of the process ("ns"), wall time ("wall_ns"), and the time the garbage
collector took within the run with the best CPU time ("gc_ns").
"""

import argparse
import gc
import importlib
import json
import operator
import os
import platform
import resource
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "engines")]


# Time spent in the garbage collector so far, in ns.
_collector = {"total": 0, "since": 0}


def _time_collector(phase, info):
    now = time.perf_counter_ns()
    if phase == "start":
        _collector["since"] = now
    else:
        _collector["total"] += now - _collector["since"]


gc.callbacks.append(_time_collector)


class Stamp:
    """Wall, CPU and collector time in ns: a reading of `clock`, or sums,
    differences and quotients of readings, as the workloads compute them."""
    __slots__ = ("wall", "cpu", "gc")

    def __init__(self, wall, cpu, gc_ns):
        self.wall, self.cpu, self.gc = wall, cpu, gc_ns

    def _apply(self, other, op):
        if isinstance(other, Stamp):
            return Stamp(op(self.wall, other.wall), op(self.cpu, other.cpu), op(self.gc, other.gc))
        return Stamp(op(self.wall, other), op(self.cpu, other), op(self.gc, other))

    def __add__(self, other):
        return self._apply(other, operator.add)

    __radd__ = __add__

    def __sub__(self, other):
        return self._apply(other, operator.sub)

    def __truediv__(self, other):
        return self._apply(other, operator.truediv)


def clock():
    return Stamp(time.perf_counter_ns(), time.process_time_ns(), _collector["total"])


def emit(tag, payload):
    sys.stdout.write(f"@@{tag} {json.dumps(payload)}\n")
    sys.stdout.flush()


def load(engine):
    return importlib.import_module(f"{engine}_engine")


def probe(engine):
    try:
        module = load(engine)
    except ImportError as error:
        return {"ok": False, "reason": "not installed", "detail": str(error)}
    return {"ok": True, "version": str(module.VERSION), "python": platform.python_version(),
            "w2_formula": getattr(module, "W2_FORMULA", "")}


def workload_class(module, workload):
    return getattr(module, "W1" if workload == "W1S" else workload)


def run_case(module, case, reps, budget, min_time=2.0, max_reps=50):
    """Best time per phase over at least `reps` runs; quick cases go on
    repeating for `min_time` seconds (at most `max_reps` runs), since on a
    shared machine the best of a few short runs is still noisy; slow ones
    stop once `budget` seconds are spent (after two runs)."""
    cls = workload_class(module, case["workload"])
    params = dict(case["params"])
    # W2 runs both ways: the previous step's graph dropped before the next
    # build, or kept alive (as `loss = ...` in a loop keeps it) meanwhile.
    drop_previous = params.pop("previous", "kept") == "dropped"
    best, wall, collector, done, started = {}, {}, {}, 0, time.monotonic()
    check = None
    # A persistent workload is a loop a user runs (W2's training steps): one
    # instance, two untimed steps to reach the loop's steady state (the
    # previous step's graph alive while the next one is built, as in a
    # training loop), then one step per run. Its numbers are read after the
    # first timed step, so every engine reports the same step.
    persistent = getattr(cls, "persistent", False)
    run = None
    for rep in range(max(reps, max_reps)):
        elapsed = time.monotonic() - started
        if done >= reps and (elapsed > min_time or done >= max_reps):
            break
        if done >= 2 and elapsed > budget:
            break
        if run is None or not persistent:
            gc.collect()
            try:
                run = cls(**params)
            except NotImplementedError as reason:
                return {"status": "n/a", "reason": str(reason)}
            for _ in range(2 if persistent else 0):
                for phase in run.phases:
                    if phase == "build" and drop_previous:
                        run.loss = None
                    getattr(run, phase)()
        if hasattr(run, "timed"):
            times = run.timed(clock)
        else:
            times = {}
            for phase in run.phases:
                step = getattr(run, phase)
                t0 = clock()
                if phase == "build" and drop_previous:
                    run.loss = None
                step()
                times[phase] = clock() - t0
            for phase in getattr(run, "per_call", ()):
                times[phase] /= run.calls
        for phase, spent in times.items():
            if phase not in best or spent.cpu < best[phase]:
                best[phase], collector[phase] = spent.cpu, spent.gc
            wall[phase] = min(spent.wall, wall.get(phase, spent.wall))
        if check is None or not persistent:
            check = run.check()
        phases, notes = list(run.phases), getattr(run, "notes", "")
        formula = getattr(run, "formula", "")
        if not persistent:
            run = None
        done += 1
    run = None
    gc.collect()
    return {"status": "ok", "ns": best, "wall_ns": wall, "gc_ns": collector, "phases": phases, "reps": done, "check": check,
            "notes": notes, "formula": formula}


def warm_up(module):
    """One small untimed chain first, so that no case pays for the engine's
    lazy initialisation."""
    for sin in (True, False):
        try:
            run = module.W1(depth=50, sin=sin)
        except NotImplementedError:
            continue
        for phase in run.phases:
            getattr(run, phase)()
        return


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("engine")
    parser.add_argument("--probe", action="store_true")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--budget", type=float, default=20.0,
                        help="stop repeating a case after this many seconds (2 runs at least)")
    parser.add_argument("--min-time", type=float, default=2.0,
                        help="keep repeating a quick case for this many seconds (50 runs at most)")
    args = parser.parse_args()
    if args.probe:
        emit("probe", probe(args.engine))
        return
    module = load(args.engine)
    warm_up(module)
    for case in json.load(sys.stdin):
        emit("start", {"id": case["id"]})
        try:
            result = run_case(module, case, args.reps, args.budget,
                              min_time=args.min_time if args.reps > 1 else 0.0)
        except (Exception, RecursionError) as error:
            result = {"status": "failed", "reason": f"{type(error).__name__}: {error}"[:200]}
        result["id"] = case["id"]
        result["maxrss_kb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        emit("result", result)


if __name__ == "__main__":
    main()
