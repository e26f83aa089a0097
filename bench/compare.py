"""Runs the comparison suite: every workload in varnel and its peers, each
engine in its own subprocess, then prints the table and writes it, with the
raw numbers and a bar chart, into the results folder.

    python compare.py [--smoke] [--engines varnel,micrograd,torch,casadi]
                      [--python ENGINE=/path/to/python ...]

compare.sh makes the environments and calls this with the right interpreter
for each engine; an engine whose interpreter cannot import it is reported as
'not installed' and skipped.
"""

import argparse
import datetime
import json
import math
import os
import platform
import shutil
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import tape_speed  # noqa: E402
import workloads as wl  # noqa: E402

ENGINES = ("varnel", "micrograd", "torch", "casadi")
REFERENCE = "varnel"
RUNNER = os.path.join(HERE, "runner.py")


# --- running the engines -----------------------------------------------------


def describe_exit(code):
    if code is not None and code < 0:
        try:
            return f"crashed ({signal.Signals(-code).name})"
        except ValueError:
            return f"crashed (signal {-code})"
    return f"exited with code {code}"


def run_batch(python, engine, cases, reps, budget, timeout, log):
    """Runs cases in one subprocess of `engine`; a case during which the
    process dies or runs out of time is marked failed and the rest go on in
    a fresh process. Returns {case id: result}."""
    results, todo = {}, list(cases)
    while todo:
        command = [python, RUNNER, engine, "--reps", str(reps), "--budget", str(budget)]
        proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, cwd=HERE)
        timed_out = threading.Event()

        def expire():
            timed_out.set()
            proc.kill()

        timer = threading.Timer(timeout, expire)
        timer.start()
        stderr_lines = []
        drain = threading.Thread(target=lambda: stderr_lines.extend(proc.stderr), daemon=True)
        drain.start()
        current = None
        started = time.monotonic()
        try:
            proc.stdin.write(json.dumps(todo))
            proc.stdin.close()
            for line in proc.stdout:
                if line.startswith("@@start "):
                    current, started = json.loads(line[8:])["id"], time.monotonic()
                elif line.startswith("@@result "):
                    result = json.loads(line[9:])
                    results[result["id"]] = result
                    log(f"  {engine:<10} {result['id']:<34} {result['status']}"
                        f" ({time.monotonic() - started:.1f} s)")
                    current = None
            proc.wait()
        finally:
            timer.cancel()
        drain.join(timeout=5)
        todo = [c for c in todo if c["id"] not in results]
        if not todo:
            break
        if current is None:  # died before or between cases: nothing to blame
            reason = describe_exit(proc.returncode)
            tail = "".join(stderr_lines).strip().splitlines()[-1:] or [""]
            for case in todo:
                results[case["id"]] = {"id": case["id"], "status": "failed",
                                       "reason": f"{reason} {tail[0]}".strip()[:200]}
            break
        reason = (f"timed out after {timeout:.0f} s" if timed_out.is_set()
                  else describe_exit(proc.returncode))
        results[current] = {"id": current, "status": "failed", "reason": reason}
        log(f"  {engine:<10} {current:<34} {reason}")
        todo = [c for c in todo if c["id"] != current]
    return results


def probe(python, engine):
    if not python or not os.path.exists(python):
        return {"ok": False, "reason": "not installed", "detail": f"no interpreter {python}"}
    try:
        out = subprocess.run([python, RUNNER, engine, "--probe"], capture_output=True,
                             text=True, timeout=300, cwd=HERE).stdout
    except subprocess.TimeoutExpired:
        return {"ok": False, "reason": "not installed", "detail": "probe timed out"}
    except OSError as error:
        return {"ok": False, "reason": "not installed", "detail": str(error)}
    for line in out.splitlines():
        if line.startswith("@@probe "):
            return json.loads(line[8:])
    return {"ok": False, "reason": "not installed", "detail": out[-200:]}


# --- the table -----------------------------------------------------------------


def fmt_ns(value):
    if value >= 100:
        return f"{value:,.0f}"
    return f"{value:.3g}"


def fmt_ratio(value):
    return f"{value:.3g}x"


def cost(result, phase, measure="ns"):
    """CPU ns of a phase, or of the total (every phase but forward and
    setup); `measure` "wall_ns" or "gc_ns" gives wall or collector time."""
    ns = result.get(measure, {})
    if phase == "total":
        return sum(v for k, v in ns.items() if k not in ("forward", "setup", "compile"))
    return ns.get(phase)


def checks_agree(a, b, tolerance=1e-6):
    return len(a) == len(b) and all(
        math.isclose(x, y, rel_tol=tolerance, abs_tol=1e-9) for x, y in zip(a, b))


def compare_checks(cases, results, engines):
    """Per case, the engines whose numbers differ from the first engine that
    computes the same formula. Returns {(case id, engine): reference}."""
    bad = {}
    for case in cases:
        groups = {}
        for engine in engines:
            r = results[engine].get(case["id"], {})
            if r.get("status") == "ok":
                groups.setdefault(r.get("formula", ""), []).append((engine, r["check"]))
        for members in groups.values():
            ref_engine, ref = members[0]
            for engine, check in members[1:]:
                if not checks_agree(ref, check):
                    bad[(case["id"], engine)] = (ref_engine, ref, check)
    return bad


def survival_cell(results, engine, cases):
    runs = [(c, results[engine][c["id"]]) for c in cases if c["id"] in results[engine]]
    parts = []
    for case, r in runs:
        if r["status"] == "ok":
            seconds = sum(r["ns"].values()) / 1e9
            memory = f", peak RSS {r['maxrss_kb'] / 1024:,.0f} MiB" if r.get("maxrss_kb") else ""
            text = f"ok in {seconds:.3g} s{memory}"
        elif r["status"] in ("n/a", "not installed"):
            text = r["status"]
        else:
            text = "FAILED: " + r.get("reason", "")
        parts.append(f"{case['label']}: {text}" if len(runs) > 1 else text)
    return "; ".join(parts) or "-"


def build_rows(cases, survival, results, engines, bad):
    """Rows of [workload, phase, cell per engine]."""
    rows = []
    for case in cases:
        nodes = case["nodes"]
        per_engine = {e: results[e].get(case["id"], {}) for e in engines}
        present = [p for p in wl.PHASES
                   if any(r.get("status") == "ok" and p in r.get("phases", ()) for r in per_engine.values())]
        ref = per_engine.get(REFERENCE, {})
        for phase in present + ["total"]:
            row = [case["id"] if phase == present[0] else "", phase]
            for engine in engines:
                r = per_engine[engine]
                status = r.get("status")
                if status is None:
                    row.append("-")
                elif status == "not installed":
                    row.append("not installed" if phase == present[0] else "")
                elif status == "n/a":
                    row.append("n/a (" + r.get("reason", "") + ")" if phase == present[0] else "")
                elif status != "ok":
                    row.append(("FAILED: " + r.get("reason", ""))[:40] if phase == present[0] else "")
                elif phase != "total" and phase not in r["phases"]:
                    row.append("in build" if phase == "forward" else "-")
                else:
                    ns = cost(r, phase)
                    cell = fmt_ns(ns / nodes)
                    if engine != REFERENCE and ref.get("status") == "ok":
                        ref_ns = cost(ref, phase) if (phase == "total" or phase in ref["phases"]) else None
                        if ref_ns:
                            cell += f" ({fmt_ratio(ns / ref_ns)})"
                    cell += f" · wall {fmt_ns(cost(r, phase, 'wall_ns') / nodes)}"
                    collector = cost(r, phase, "gc_ns")
                    if collector and collector >= 0.01 * ns:
                        cell += f" · gc {fmt_ns(collector / nodes)}"
                    if phase == "total" and (case["id"], engine) in bad:
                        cell += " !"
                    row.append(cell)
            rows.append(row)
    return rows


def survival_lines(survival, results, engines, nodes_of):
    return [f"{key} ({wl.short(nodes_of[key])} nodes), each engine in its own process: " + "; ".join(
        f"{e} {survival_cell(results, e, group)}" for e in engines) for key, group in survival.items()]


def render_text(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    line = lambda r: "  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip()
    out = [line(header), line(["-" * w for w in widths])]
    for r in rows:
        if r[0] and out and len(out) > 2:
            out.append("")
        out.append(line(r))
    return "\n".join(out)


def render_markdown(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out)


# --- targets -------------------------------------------------------------------


def operator_cost(python):
    """One `p * q` against Python's `a * b`, measured by operator_cost.py
    in varnel's interpreter; None when it cannot run."""
    try:
        out = subprocess.run([python, os.path.join(HERE, "operator_cost.py")], capture_output=True,
                             text=True, timeout=300, cwd=HERE).stdout
        return json.loads(out.strip().splitlines()[-1])
    except (OSError, subprocess.TimeoutExpired, ValueError, IndexError):
        return None


def targets(cases, results, skip=(), operator=None):
    """[(what, measured text, target text, met or None)] for the performance
    targets the suite is run against."""
    out = []

    def matching(name, **params):
        return [c for c in cases if c["workload"] == name
                and all(c["params"].get(k) == v for k, v in params.items())]

    def ratio(engine, selected, phase, minimum, reference=lambda case: case):
        """Peer time over varnel time, optionally against another varnel case."""
        if engine in skip or engine not in results:
            return
        for case in selected:
            ref_case = reference(case)
            r = results[engine].get(case["id"], {})
            ref = results[REFERENCE].get(ref_case["id"], {})
            what = f"{engine}/varnel {case['id']} {phase}"
            if ref_case is not case:
                what += f" (varnel: {ref_case['id']})"
            if r.get("status") != "ok" or ref.get("status") != "ok":
                out.append((what, r.get("status", "-"), f">= {minimum}x", None))
                continue
            value = cost(r, phase) / cost(ref, phase)
            out.append((what, fmt_ratio(value), f">= {minimum}x", value >= minimum))

    depths = sorted({c["params"]["depth"] for c in cases if c["workload"] == "W1"})
    middle = depths[len(depths) // 2] if depths else None
    ratio("micrograd", matching("W1", sin=False, depth=middle), "total", 12)
    ratio("micrograd", matching("W2", previous="dropped"), "total", 30)
    ratio("torch", matching("W1", sin=True, depth=depths[-1] if depths else None), "total", 15)
    vec3 = matching("W4", variant="vec3")
    ratio("torch", matching("W4"), "total", 15, reference=lambda case: vec3[0] if vec3 else case)
    ratio("casadi", matching("W1"), "build", 1)
    ratio("casadi", matching("W3"), "build", 1)
    # W5: varnel's call may cost at most 5 times the compiled Function call.
    for case in ([] if "casadi" in skip or "casadi" not in results else matching("W5")):
        r, ref = results["casadi"].get(case["id"], {}), results[REFERENCE].get(case["id"], {})
        if r.get("status") == "ok" and ref.get("status") == "ok":
            for phase in ("forward", "backward"):
                value = cost(ref, phase) / cost(r, phase)
                out.append((f"varnel/casadi-Function-call {case['id']} {phase}", fmt_ratio(value),
                            "<= 5x", value <= 5))
    compiled_targets(out, matching, results, skip)
    if operator:
        out.append(("varnel p * q over Python a * b (CPU, same loop and process)",
                    f"{fmt_ratio(operator['ratio'])} ({operator['pq_ns']:.0f} / {operator['ab_ns']:.0f} ns)",
                    "<= 4x", operator["ratio"] <= 4))
    # Absolute figures on the plain chains that bracket 1e5 nodes.
    for case in matching("W1", sin=False):
        if case["params"]["depth"] < middle:
            continue
        r = results[REFERENCE].get(case["id"], {})
        if r.get("status") != "ok":
            continue
        for phase, limit in (("build", 200), ("forward", 50), ("backward", 100)):
            value = cost(r, phase) / case["nodes"]
            out.append((f"varnel {phase} ns/node {case['id']} ({wl.short(case['nodes'])} nodes)",
                        fmt_ns(value), f"<= {limit}", value <= limit))
    return out


def compiled_targets(out, matching, results, skip):
    """Compiled functions: W5F against CasADi's Function calls and against
    varnel's own eval, W4M against PyTorch eager per point."""
    def ns(engine, case, phase):
        r = results.get(engine, {}).get(case["id"], {})
        ok = r.get("status") == "ok" and (phase == "total" or phase in r["phases"])
        return cost(r, phase) if ok else None

    for case in matching("W5F"):
        if "casadi" not in skip:
            for phase, limit in (("forward", 1.0), ("backward", 0.8)):
                ours, theirs = ns(REFERENCE, case, phase), ns("casadi", case, phase)
                value = ours / theirs if ours and theirs else None
                out.append((f"varnel/casadi {case['id']} {phase}", fmt_ratio(value) if value else "-",
                            f"<= {limit}x", value <= limit if value else None))
        evals = [ns(REFERENCE, c, "forward") for c in matching("W5", nodes=case["params"]["nodes"])]
        made = ns(REFERENCE, case, "compile")
        value = made / evals[0] if made and evals and evals[0] else None
        out.append((f"varnel compile/eval {case['id']}", fmt_ratio(value) if value else "-",
                    "<= 2x", value <= 2 if value else None))
    vec3 = matching("W4", variant="vec3")
    for case in ([] if "torch" in skip else matching("W4M")):
        for phase in ("build", "total"):
            theirs = ns("torch", vec3[0], phase) if vec3 else None
            ours = ns(REFERENCE, case, "forward")
            value = theirs / ours if ours and theirs else None
            out.append((f"torch {vec3[0]['id'] if vec3 else 'W4 vec3'} {phase}/varnel {case['id']} forward",
                        fmt_ratio(value) if value else "-", ">= 50x", value >= 50 if value else None))


def render_targets(rows):
    widths = [max(len(str(r[i])) for r in rows) for i in range(3)]
    mark = {True: "met", False: "MISSED", None: "not measured"}
    return "\n".join(f"{r[0]:<{widths[0]}}  {r[1]:>{widths[1]}}  target {r[2]:<{widths[2]}}  {mark[r[3]]}"
                     for r in rows)


# --- results folder --------------------------------------------------------------


def compiled_path(python, smoke, json_path, log):
    """The table of tape_speed.py, run by varnel's interpreter, where the
    peers of the compiled path (CasADi, JAX) are installed, and its target
    rows."""
    command = [python, os.path.join(HERE, "tape_speed.py"), "--json", json_path] + (["--smoke"] if smoke else [])
    run = subprocess.run(command, capture_output=True, text=True, cwd=HERE)
    for line in run.stderr.splitlines():
        if "not installed" in line:
            log(line)
    if run.returncode != 0:
        return "(failed: " + (run.stderr.strip().splitlines() or ["?"])[-1][:200] + ")", []
    with open(json_path) as f:
        best = json.load(f)["best"]
    return run.stdout.rstrip(), [(what, measured, target, met)
                                 for what, measured, target, met in tape_speed.target_rows(best)]


def residual_jacobian(python, smoke):
    """The residual-and-Jacobian step of residual_jacobian.py as a target
    row, and its figures per path."""
    command = [python, os.path.join(HERE, "residual_jacobian.py")] + (
        ["--rounds", "1", "--loops", "2"] if smoke else [])
    run = subprocess.run(command, capture_output=True, text=True, cwd=HERE)
    what = "varnel value_and_jacobian, 1,000 residuals, us per step (CPU)"
    try:
        result = json.loads(run.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return (what, "failed: " + (run.stderr.strip().splitlines() or ["?"])[-1][:120], "<= 100", None), {}
    us = result["us"]["value_and_jacobian"]
    return (what, f"{us:.0f}", f"<= {result['target_us']}", result["meets_target"]), result["us"]


def machine():
    info = {"platform": platform.platform(), "cores": os.cpu_count()}
    try:
        with open("/proc/cpuinfo") as f:
            info["cpu"] = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "?")
        with open("/proc/meminfo") as f:
            kb = int(next(l for l in f if l.startswith("MemTotal")).split()[1])
            info["memory"] = f"{kb / 1048576:.0f} GiB"
    except (OSError, StopIteration, ValueError):
        pass
    return info


def chart(path, cases, results, engines):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    labels = [c["id"] for c in cases]
    fig, ax = plt.subplots(figsize=(max(10, 0.9 * len(labels) + 3), 6.5))
    shown = [e for e in engines if any(results[e].get(c["id"], {}).get("status") == "ok" for c in cases)]
    width = 0.8 / max(len(shown), 1)
    for k, engine in enumerate(shown):
        xs, ys = [], []
        for i, case in enumerate(cases):
            r = results[engine].get(case["id"], {})
            if r.get("status") == "ok":
                xs.append(i + (k - (len(shown) - 1) / 2) * width)
                ys.append(cost(r, "total") / case["nodes"])
        ax.bar(xs, ys, width=width, label=engine)
    ax.set_yscale("log")
    ax.set_ylabel("ns per graph node (build + backward; W5 per call; log scale)")
    ax.set_xticks(range(len(labels)))
    ax.set_xticklabels(labels, rotation=35, ha="right", fontsize=8)
    ax.set_title("Cost per graph node, lower is better")
    ax.grid(axis="y", which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


# --- main ----------------------------------------------------------------------------


def make_cases(sizes, only):
    cases, survival = [], {}
    for workload, params_list in sizes.items():
        if only and workload.rstrip("S") not in only:
            continue
        for params in params_list:
            case = {"id": wl.case_id(workload, params), "workload": workload, "params": dict(params),
                    "nodes": wl.nodes(workload, params)}
            if workload == "W1S":
                # micrograd also tries the chain at the interpreter's own
                # recursion limit, where a user who does not raise it stands.
                default = dict(case, id=case["id"] + " default limit", label="default limit",
                               params=dict(params, recursion="default"), engines=("micrograd",))
                survival[case["id"]] = [dict(case, label="limit raised"), default]
            else:
                cases.append(case)
    return cases, survival


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes, one repetition: seconds")
    parser.add_argument("--engines", default=",".join(ENGINES))
    parser.add_argument("--only", default="", help="workloads to run, e.g. W1,W3 (default all)")
    parser.add_argument("--python", action="append", default=[], metavar="ENGINE=PATH",
                        help="interpreter for an engine (default: this one)")
    parser.add_argument("--reps", type=int, help="repetitions per case, best taken (default 5, smoke 1)")
    parser.add_argument("--budget", type=float, default=20.0, help="seconds per case before repeating stops")
    parser.add_argument("--timeout", type=float, help="seconds per case (default 900, smoke 120)")
    parser.add_argument("--survival-timeout", type=float, help="seconds per survival run (default 600, smoke 60)")
    parser.add_argument("--results", default=os.path.join(HERE, "results"))
    args = parser.parse_args()

    engines = [e.strip() for e in args.engines.split(",") if e.strip()]
    unknown = set(engines) - set(ENGINES)
    if unknown or REFERENCE not in engines:
        parser.error(f"engines are {', '.join(ENGINES)} and must include {REFERENCE}")
    pythons = {e: sys.executable for e in engines}
    for item in args.python:
        engine, _, path = item.partition("=")
        pythons[engine] = os.path.abspath(path) if os.sep in path else (shutil.which(path) or path)
    reps = args.reps or (1 if args.smoke else 5)
    timeout = args.timeout or (120 if args.smoke else 900)
    survival_timeout = args.survival_timeout or (60 if args.smoke else 600)
    only = {w.strip() for w in args.only.split(",") if w.strip()}
    cases, survival = make_cases(wl.SMOKE if args.smoke else wl.FULL, only)
    log = lambda text: print(text, file=sys.stderr, flush=True)

    info = {"machine": machine(), "date": datetime.datetime.now().isoformat(timespec="seconds"),
            "smoke": args.smoke, "reps": reps, "engines": {}}
    results = {e: {} for e in engines}
    t_start = time.monotonic()
    for engine in engines:
        found = probe(pythons[engine], engine)
        info["engines"][engine] = found
        if not found["ok"]:
            log(f"{engine}: not installed ({found.get('detail', '')[:120]})")
            for case in cases + [c for g in survival.values() for c in g]:
                results[engine][case["id"]] = {"status": "not installed"}
            continue
        log(f"{engine} {found['version']} on Python {found['python']}")
        # One fresh process per case: what a case leaves behind (the
        # allocator's thresholds after a large graph, the collector's
        # generations, the caches) must not change the next case's numbers.
        for case in cases:
            results[engine].update(run_batch(pythons[engine], engine, [case], reps, args.budget, timeout, log))
        # Each survival run gets a process of its own and a time limit.
        for case in (c for g in survival.values() for c in g):
            if engine in case.get("engines", (engine,)):
                results[engine].update(
                    run_batch(pythons[engine], engine, [case], 1, 0, survival_timeout, log))

    missing = [e for e in engines if not info["engines"][e]["ok"]]
    engines = [e for e in engines if e not in missing]
    bad = compare_checks(cases, results, engines)
    header = ["workload", "phase"] + [
        f"{e} ns/node" + (" (peer/varnel)" if e != REFERENCE else "") for e in engines]
    rows = build_rows(cases, survival, results, engines, bad)
    table = render_text(header, rows)
    nodes_of = {key: group[0]["nodes"] for key, group in survival.items()}
    survived = survival_lines(survival, results, engines, nodes_of)
    operator = None if REFERENCE in missing else operator_cost(pythons[REFERENCE])
    target_rows = targets(cases, results, skip=missing, operator=operator)
    notes = [
        "ns/node: CPU nanoseconds of the process per graph node (operator nodes of the workload, the same count",
        "for every engine), best of the repetitions; 'wall' is the best wall time, 'gc' the garbage collector's",
        "time within the best run (shown from 1% of the CPU time). W5 forward/backward/build are per call.",
        "(Nx) = the peer's CPU time over varnel's: above 1 varnel is faster.",
        "total = every phase but forward, setup and compile (build + backward [+ update]).",
        "W2 previous dropped: the last step's graph is released before the next build; kept: it stays alive",
        "while the next one is built, as `loss = ...` in a training loop keeps it.",
        "micrograd and torch compute values while building (forward 'in build'); varnel's backward runs its own",
        "forward; casadi's forward/backward each make a Function and call it once (W5: made once in setup).",
        f"W2 formula: varnel {info['engines'].get('varnel', {}).get('w2_formula', '')}; peers ReLU and hinge as in the demo.",
        "micrograd has no sin: the sin rows and W4 are n/a for it. Garbage collector on, as users run it.",
        "W5 eager engines rebuild per call, timed over a sample of the calls.",
    ]
    if bad:
        notes.append("! = numbers differ from the reference engine: " + "; ".join(
            f"{cid} {e} vs {ref}: {got} != {want}" for (cid, e), (ref, want, got) in bad.items()))
    engines_line = ", ".join(
        f"{e} {v['version']} (Python {v['python']})" if v["ok"] else f"{e} not installed"
        for e, v in info["engines"].items())
    m = info["machine"]
    machine_line = f"{m.get('cpu', '?')}, {m['cores']} cores, {m.get('memory', '?')}, {m['platform']}"

    print(table)
    print()
    if missing:
        print("not installed (skipped): " + ", ".join(missing))
        print()
    if survived:
        print("Survival: " + "\n".join(survived))
        print()
    os.makedirs(args.results, exist_ok=True)
    suffix = "-smoke" if args.smoke else ""
    if REFERENCE not in missing:
        compiled, compiled_targets = compiled_path(pythons[REFERENCE], args.smoke,
                                                   os.path.join(args.results, f"tape{suffix}.json"), log)
        residual_target, residual_us = residual_jacobian(pythons[REFERENCE], args.smoke)
        target_rows += compiled_targets + [residual_target]
        notes.append("Residuals and Jacobian (bench/residual_jacobian.py), us per step: " + ", ".join(
            f"{path} {us:g}" for path, us in residual_us.items()))
    else:
        compiled = "(varnel not installed)"

    print("\n".join(notes))
    print()
    print("Targets:" + (" (smoke sizes and one run: not a measurement)" if args.smoke else ""))
    print(render_targets(target_rows) if target_rows else "(none measured)")
    print()
    print(f"Machine: {machine_line}")
    print(f"Engines: {engines_line}")
    print(f"Wall time: {time.monotonic() - t_start:.0f} s")

    print()
    print("Compiled path (bench/tape_speed.py: W5M mixed graph, one-lane chain, W4 rows, threads):")
    print(compiled)
    with open(os.path.join(args.results, f"results{suffix}.json"), "w") as f:
        json.dump({"info": info, "cases": cases, "survival": survival, "results": results}, f, indent=1)
    with open(os.path.join(args.results, f"table{suffix}.md"), "w") as f:
        f.write(f"Machine: {machine_line}  \nEngines: {engines_line}  \nDate: {info['date']}\n\n")
        f.write(render_markdown(header, rows) + "\n\n")
        if missing:
            f.write("Not installed (skipped): " + ", ".join(missing) + "\n\n")
        if survived:
            f.write("Survival: " + "\n".join(survived) + "\n\n")
        f.write("\n".join(notes) + "\n\nTargets:\n\n")
        f.write("\n".join(f"- {r[0]}: {r[1]} (target {r[2]}, "
                          f"{ {True: 'met', False: 'MISSED', None: 'not measured'}[r[3]] })" for r in target_rows))
        f.write("\n\nCompiled path (bench/tape_speed.py):\n\n```\n" + compiled + "\n```\n")
    png = os.path.join(args.results, f"chart{suffix}.png")
    drawn = chart(png, cases, results, engines)
    print(f"Results: {args.results}/ (table{suffix}.md, results{suffix}.json"
          + (f", chart{suffix}.png)" if drawn else "; no chart: matplotlib not installed)"))


if __name__ == "__main__":
    main()
