"""varnel.least_squares and varnel.solve on hard problems: the classic test
functions of least squares from their standard starts and from 10 and 100
times them, NIST's higher-difficulty problems against their certified
values, equation systems with singular or badly scaled Jacobians, and
starts that overflow. The problems and their known minima live in
bench/hard_problems.py, which runs the wider set against scipy."""
import importlib.util
import math
import sys
from pathlib import Path

import pytest

import varnel
from varnel import Undefined, exp

ROOT = Path(__file__).resolve().parents[2]


def load_hard_problems():
    spec = importlib.util.spec_from_file_location("bench_hard_problems", ROOT / "bench" / "hard_problems.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up
    spec.loader.exec_module(module)
    return module


hard = load_hard_problems()
BY_NAME = {problem.name: problem for problem in hard.PROBLEMS}


def start_of(name, factor=1.0):
    return [factor * v for v in BY_NAME[name].start]


# Starts that reach the global minimum. Among them the ones a first region
# 100 times the scaled start used to throw onto a plateau or an asymptote
# (gulf 1x, powell_badly_scaled 10x, BoxBOD's first start in the NIST list
# below), and Meyer's exponential, whose 100x start needs some 300 steps.
GLOBAL = [("rosenbrock", 1), ("rosenbrock", 100), ("powell_badly_scaled", 1), ("brown_badly_scaled", 100),
          ("beale", 1), ("jennrich_sampson", 1), ("helical_valley", 10), ("bard", 1), ("gaussian", 100),
          ("powell_badly_scaled", 10), ("meyer", 100), ("gulf", 1), ("box_3d", 1), ("powell_singular", 1), ("wood", 1),
          ("kowalik_osborne", 100), ("osborne_1", 10), ("biggs_exp6", 1), ("osborne_2", 1), ("watson_6", 1),
          ("penalty_1", 10), ("variably_dimensioned_10", 10)]


@pytest.mark.parametrize("name, factor", GLOBAL, ids=[f"{n}-{f}x" for n, f in GLOBAL])
def test_classic_problems_reach_their_global_minimum(name, factor):
    outcome = hard.run_varnel(BY_NAME[name], start_of(name, factor))
    assert outcome.verdict == "solved", (outcome.sum_of_squares, outcome.status)
    assert outcome.status in {"xtol", "gtol", "ftol", "precision"}


NIST = [problem.name for problem in hard.PROBLEMS if problem.certified is not None]


@pytest.mark.parametrize("name", NIST)
def test_nist_higher_difficulty_problems_match_their_certified_values(name):
    problem = BY_NAME[name]
    outcome = hard.run_varnel(problem, problem.start)
    assert outcome.lre >= 9.0, outcome
    assert hard.lre(outcome.sum_of_squares, problem.minima[0]) >= 9.0


# Where the start leads to another known minimum, the solve converges there
# and says so; varnel.solve calls it not a root.
LOCAL = [("freudenstein_roth", 1, 48.9842), ("bard", 10, hard.BARD_ASYMPTOTE),
         ("trigonometric_10", 1, 2.79506e-5)]


@pytest.mark.parametrize("name, factor, minimum", LOCAL, ids=[n for n, _, _ in LOCAL])
def test_a_start_toward_a_local_minimum_converges_there(name, factor, minimum):
    problem = BY_NAME[name]
    outcome = hard.run_varnel(problem, start_of(name, factor))
    assert hard.matches(outcome.sum_of_squares, minimum) and outcome.verdict == "local"
    assert outcome.status in {"xtol", "gtol", "ftol", "precision"}
    if problem.system:
        assert hard.run_varnel(problem, start_of(name, factor), equations=True).status == "not_solved"


SYSTEMS = [(name, factor) for name in ("rosenbrock", "helical_valley", "powell_singular", "extended_rosenbrock_10",
                                        "extended_powell_singular_8", "broyden_tridiagonal_10", "broyden_banded_10",
                                        "discrete_boundary_value_10", "brown_almost_linear_10")
           for factor in (1, 100)] + [("powell_badly_scaled", 1)]


@pytest.mark.parametrize("name, factor", SYSTEMS, ids=[f"{n}-{f}x" for n, f in SYSTEMS])
def test_solve_finds_the_root_of_square_systems(name, factor):
    x = hard.unknowns_at(start_of(name, factor))
    result = varnel.solve(BY_NAME[name].residuals(x), x)
    assert result.success and result.status == "solved", result
    assert max(abs(r) for r in result.residuals) <= 1e-10


def test_solve_reports_a_singular_jacobian_at_a_point_that_is_no_root():
    # x^2 + 1 has no real root; the least-squares point is x = 0, where the
    # Jacobian is 0.
    x = Undefined(hint=0.7, name="x")
    result = varnel.solve([x * x + 1.0], x)
    assert not result.success and result.status == "not_solved"
    assert "above tolerance" in result.message and "no solution near the start" in result.message
    assert abs(result.x[0]) < 1e-6 and result.cost == pytest.approx(0.5, rel=1e-9)


@pytest.mark.parametrize("layout", ["dense", "sparse"])
def test_a_cost_that_overflows_at_the_start_is_reported_not_converged(layout):
    # exp(400) is finite, its square is not: no cost or gradient to follow.
    x = hard.unknowns_at(start_of("jennrich_sampson", 100))
    result = varnel.least_squares(BY_NAME["jennrich_sampson"].residuals(x), x, jacobian=layout)
    assert not result.success and result.status == "not_finite"
    assert "overflow" in result.message
    assert result.covariance is None and result.standard_errors is None
    assert [lanes[0] for lanes in result.x] == start_of("jennrich_sampson", 100)


def test_steps_that_overflow_are_refused_and_the_solve_goes_on():
    # b sets a trust region about 1000 long, in which the Gauss-Newton step
    # of exp(a) - 2 from a = -40 (about 5e17) runs far past where exp and
    # then the squares overflow: those steps are refused and the region
    # shrinks until a step lands.
    a, b = Undefined(hint=-40.0, name="a"), Undefined(hint=1000.0, name="b")
    result = varnel.least_squares([exp(a) - 2.0, b - 1000.5], [a, b])
    assert result.success
    assert result.x[0][0] == pytest.approx(math.log(2.0), rel=1e-14) and result.x[1][0] == 1000.5
    residual_evaluations, jacobian_evaluations = result.evaluations
    assert jacobian_evaluations < residual_evaluations - 5  # the refused steps


def test_a_valley_to_infinity_stops_at_the_iteration_limit_unconverged():
    x = hard.unknowns_at(start_of("beale", 10))
    result = varnel.least_squares(BY_NAME["beale"].residuals(x), x, max_iterations=60)
    assert result.status == "max_iterations" and not result.success and result.iterations == 60
    assert 2.0 * result.cost > hard.BEALE_ASYMPTOTE


@pytest.mark.parametrize("sum_of_squares, minimum, expected", [
    (48.98425, 48.9842, True), (48.9852, 48.9842, False), (1e-21, 0.0, True), (1e-19, 0.0, False)])
def test_the_bench_matches_known_minima_to_the_digits_they_are_known_to(sum_of_squares, minimum, expected):
    assert hard.matches(sum_of_squares, minimum) is expected


def test_the_bench_table_runs_without_scipy(capsys, monkeypatch):
    # main() pins NumPy's BLAS threads in the environment; this test's
    # process gets its own back.
    monkeypatch.setenv("OPENBLAS_NUM_THREADS", "1")
    assert hard.main(["--only", "rosenbrock", "--no-scipy", "--repeat", "1"]) == 0
    lines = capsys.readouterr().out.splitlines()
    rows = [line.split() for line in lines if line.startswith("rosenbrock ")]
    assert [row[1] for row in rows] == ["1x", "10x", "100x"] and all(row[2] == "ok" for row in rows)
    assert any(line.startswith("varnel  solved 3/3") for line in lines)
