"""Runs workloads of one engine in this interpreter and reports the timings.

    python runner.py ENGINE --probe
    python runner.py ENGINE --reps N --budget SECONDS < cases.json

cases.json is a list of {"id", "workload", "params"}. For each case the runner
prints a line "@@start {json}" before it and "@@result {json}" after it, so
the driver can tell which case a crashed process was in; anything else an
engine prints is ignored. Each phase reports the best of the repetitions, in
nanoseconds (per call for the phases a workload lists in `per_call`).
"""

import argparse
import gc
import importlib
import json
import os
import platform
import resource
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "engines")]


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
    clock = time.perf_counter_ns
    best, done, started = {}, 0, time.monotonic()
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
                run = cls(**case["params"])
            except NotImplementedError as reason:
                return {"status": "n/a", "reason": str(reason)}
            for _ in range(2 if persistent else 0):
                for phase in run.phases:
                    getattr(run, phase)()
        if hasattr(run, "timed"):
            times = run.timed(clock)
        else:
            times = {}
            for phase in run.phases:
                step = getattr(run, phase)
                t0 = clock()
                step()
                times[phase] = clock() - t0
            for phase in getattr(run, "per_call", ()):
                times[phase] /= run.calls
        for phase, ns in times.items():
            best[phase] = min(ns, best.get(phase, ns))
        if check is None or not persistent:
            check = run.check()
        phases, notes = list(run.phases), getattr(run, "notes", "")
        formula = getattr(run, "formula", "")
        if not persistent:
            run = None
        done += 1
    run = None
    gc.collect()
    return {"status": "ok", "ns": best, "phases": phases, "reps": done, "check": check,
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
