"""Smoke run of the comparison suite under bench/: every workload at tiny
sizes, varnel in this interpreter; peers that this environment lacks must be
reported as not installed and skipped, not break the run."""

import importlib.util
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench"
# Loaded under its own name, so that bench/ does not go on sys.path for the
# rest of the session.
_spec = importlib.util.spec_from_file_location("bench_workloads", BENCH / "workloads.py")
workloads = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(workloads)

PEERS = ("micrograd", "torch", "casadi")
CASES = [workloads.case_id(w, p) for w, ps in workloads.SMOKE.items() if w != "W1S" for p in ps]


@pytest.fixture(scope="module")
def smoke(tmp_path_factory):
    results = tmp_path_factory.mktemp("bench-results")
    proc = subprocess.run([sys.executable, str(BENCH / "compare.py"), "--smoke", "--results", str(results)],
                          capture_output=True, text=True, timeout=240)
    assert proc.returncode == 0, proc.stderr[-2000:]
    data = json.loads((results / "results-smoke.json").read_text())
    return proc.stdout, data, results


@pytest.mark.parametrize("case", CASES)
def test_every_workload_has_a_varnel_row_with_numbers(smoke, case):
    stdout, data, _ = smoke
    result = data["results"]["varnel"][case]
    assert result["status"] == "ok", result
    phases = set(result["ns"])
    assert "backward" in phases and phases & {"build", "setup"}
    assert all(ns > 0 for ns in result["ns"].values())
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(case))
    total = next(line.split() for line in lines[start + 1:] if line.split()[:1] == ["total"])
    assert float(total[1].replace(",", "")) > 0


def test_table_survival_and_results_files(smoke):
    stdout, data, results = smoke
    assert stdout.splitlines()[0].split()[:3] == ["workload", "phase", "varnel"]
    assert "Survival: " in stdout and "varnel ok in" in stdout
    assert "Targets:" in stdout
    assert (results / "table-smoke.md").read_text().count("| W") == len(CASES)
    # The engines that did run computed the same numbers as varnel.
    assert " !" not in stdout and "differ from the reference" not in stdout


@pytest.mark.parametrize("peer", PEERS)
def test_peer_runs_or_is_reported_not_installed(smoke, peer):
    stdout, data, _ = smoke
    if data["info"]["engines"][peer]["ok"]:
        assert f"{peer} ns/node" in stdout.splitlines()[0]
        assert all(data["results"][peer][case]["status"] in ("ok", "n/a") for case in CASES)
    else:
        skipped = next(line for line in stdout.splitlines() if line.startswith("not installed (skipped): "))
        assert peer in skipped and f"{peer} ns/node" not in stdout


def test_pass_scratch_prints_every_case_against_its_baseline():
    proc = subprocess.run([sys.executable, str(BENCH / "pass_scratch.py"), "--sizes", "100", "--turns", "1",
                           "--rounds", "1", "--baseline", sys.executable],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    header, *rows = proc.stdout.splitlines()
    assert header.split() == ["case", "nodes", "pass", "ns/node", "baseline", "ratio"]
    assert [row.split()[:3] for row in rows] == [[case, "100", phase] for case in
                                                 ("same", "rebuilt", "dropped", "alive")
                                                 for phase in ("eval", "backward")]
    assert all(float(value) > 0 for row in rows for value in row.split()[3:])


def test_residual_jacobian_times_every_path_that_agrees():
    # The script checks that every path gives the bits of value_and_jacobian
    # (and JAX, when installed, close numbers) before it times them.
    proc = subprocess.run([sys.executable, str(BENCH / "residual_jacobian.py"), "--rounds", "1", "--loops", "2",
                           "--points", "50"], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    result = json.loads(proc.stdout)
    assert {"tuples", "flat", "value_and_jacobian"} <= set(result["us"]) and result["points"] == 50
    assert all(us > 0 for us in result["us"].values())
    assert ("jax" in result["us"]) == (result.get("jax") != "not installed: skipped")


ISSUE_TARGETS = ["varnel/casadi W5M call", "varnel/casadi W5M vjp", "varnel/casadi chain call",
                 "varnel W4 values, ns/point", "varnel W4 gradients, ns/point",
                 "varnel/C by hand W4 values", "varnel/C by hand W4 gradients",
                 "varnel value_and_jacobian, 1,000 residuals"]


@pytest.mark.parametrize("what", ISSUE_TARGETS)
def test_targets_of_the_compiled_path_are_reported(smoke, what):
    stdout, data, _ = smoke
    targets = stdout.split("\nTargets:")[1].split("\nMachine:")[0]
    line = next(line for line in targets.splitlines() if line.startswith(what))
    if what.startswith("varnel/C by hand"):
        measured_here = bool(os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc"))
    else:
        measured_here = what.startswith("varnel W4") or "residuals" in what or data["info"]["engines"]["casadi"]["ok"]
    assert line.endswith(("met", "MISSED") if measured_here else "not measured"), line


def test_jax_cases_stop_at_their_budget():
    """However slow tracing and compiling are, each JAX case ends within
    its budget and is reported as not measured (or JAX as not installed)."""
    budget = 0.5
    proc = subprocess.run([sys.executable, str(BENCH / "tape_speed.py"), "--smoke", "--engines", "jax",
                           "--jax-budget", str(budget)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    if "jax: not installed" in proc.stderr:
        assert "not measured, tracing" not in proc.stdout
        return
    for case in ("W4 values", "W4 gradients", "chain call", "W5M call", "W5M vjp"):
        assert f"jax {case}: not measured, tracing, compiling and timing took more than {budget:g} s" in proc.stdout
