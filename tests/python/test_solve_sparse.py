"""The sparse way of varnel.least_squares and varnel.solve: the ``jacobian``
keyword, agreement with the dense way on random sparse problems and on
residuals that share sub-expressions, the sparse result's fields, a network
without anchors reported rather than solved wrongly, and the memory of a
large network in a fresh process."""
import importlib.util
import json
import math
import random
import subprocess
import sys
from pathlib import Path

import pytest

import varnel
from error_checks import check_raises
from varnel import Parameter, Undefined, least_squares, solve

np = pytest.importorskip("numpy")
scipy_sparse = pytest.importorskip("scipy.sparse")

ROOT = Path(__file__).resolve().parents[2]
# The benchmark's network, loaded under a name of its own so that bench/
# stays off sys.path.
_spec = importlib.util.spec_from_file_location("bench_sparse_network", ROOT / "bench" / "sparse_network.py")
bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bench)


def random_sparse(seed, count=40):
    """Residuals that each reach two or three of many unknowns, some through
    a sub-expression several share, and every unknown observed on its own
    (full rank): data made at known values with a little noise, so the
    minimum's residuals are small but not zero, and hints near them."""
    rng = random.Random(seed)
    truth = [(rng.uniform(-1, 1), rng.uniform(-1, 1)) if k % 4 == 0 else (rng.uniform(-1, 1),)
             for k in range(count)]
    unknowns = [Undefined(hint=tuple(v + rng.uniform(-0.1, 0.1) for v in t) if len(t) == 2
                          else t[0] + rng.uniform(-0.1, 0.1)) for t in truth]

    def scalar(k):
        u = unknowns[k]
        return u.y if k % 4 == 0 else u

    shared = [varnel.sin(scalar(rng.randrange(count))) * scalar(rng.randrange(count)) for _ in range(count // 5)]
    models = list(unknowns)
    for i in range(2 * count):
        r = 0.8 * varnel.cos(scalar(rng.randrange(count))) + \
            scalar(rng.randrange(count)) * scalar(rng.randrange(count))
        models.append(r + rng.choice(shared) if i % 3 == 0 else r)
    exact = varnel.compile(models, unknowns)(*truth)
    residuals = [m - tuple(v + rng.uniform(-0.01, 0.01) for v in e) for m, e in zip(models, exact)]
    return residuals, unknowns


def flat(x):
    return np.array([lane for value in x for lane in value])


@pytest.mark.parametrize("loss", ["linear", "huber", "arctan"])
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_sparse_problems_agree_with_the_dense_way(seed, loss):
    residuals, unknowns = random_sparse(seed)
    dense = least_squares(residuals, unknowns, loss=loss, f_scale=0.4, jacobian="dense")
    sparse = least_squares(residuals, unknowns, loss=loss, f_scale=0.4, jacobian="sparse")
    assert (dense.layout, sparse.layout) == ("dense", "sparse")
    assert dense.success and sparse.success, sparse.message
    assert sparse.cost == pytest.approx(dense.cost, rel=1e-10)
    assert flat(sparse.x) == pytest.approx(flat(dense.x), abs=1e-7)
    assert flat(sparse.standard_errors) == pytest.approx(flat(dense.standard_errors), rel=1e-6)
    assert sparse.covariance is None
    j = sparse.jacobian
    assert isinstance(j, scipy_sparse.csr_array) and j.shape == dense.jacobian.shape
    assert j.toarray() == pytest.approx(dense.jacobian, abs=1e-6)
    # Only what the graph can reach is stored: a few entries per row.
    assert j.nnz < 0.1 * j.shape[0] * j.shape[1]



def large_residual_ring(seed, count=12):
    """Points on a ring tied to their neighbours, each coordinate also in a
    residual c * u**2 + b with b > 0: every residual's square is convex, so
    the minimum is unique, and its residuals are large. Near it the
    residuals' curvature outweighs J^T J, so the steps converge linearly
    and the cost stops telling them apart long before the gradient does."""
    rng = random.Random(seed)
    unknowns = [Undefined(hint=(rng.uniform(-2, 2), rng.uniform(-2, 2))) for _ in range(count)]
    residuals = []
    for k, u in enumerate(unknowns):
        residuals.append(rng.uniform(0.5, 3.0) * (u.x * u.x) + rng.uniform(0.5, 2.0))
        residuals.append(rng.uniform(0.5, 3.0) * (u.y * u.y) + rng.uniform(0.5, 2.0))
        residuals.append(unknowns[(k + 1) % count] - u - (rng.uniform(-1, 1), rng.uniform(-1, 1)))
    return residuals, unknowns


@pytest.mark.parametrize("seed", [0, 1, 3, 5])
def test_a_large_residual_problem_is_solved_to_its_gradients_rounding(seed):
    residuals, unknowns = large_residual_ring(seed)
    fit = least_squares(residuals, unknowns, jacobian="sparse")
    assert fit.success, fit.message
    j = fit.jacobian.toarray()
    r = np.array(fit.residuals)
    cosines = np.abs(j.T @ r) / (np.linalg.norm(j, axis=0) * np.linalg.norm(r))
    assert cosines.max() < 1e-12
    assert fit.iterations < 400

def test_residuals_that_share_sub_expressions_have_every_block_right():
    # Every residual goes through the same hub, and the hub's unknowns
    # appear in every row of the Jacobian.
    hub_a, hub_b = Undefined(hint=0.55, name="a"), Undefined(hint=0.45, name="b")
    hub = varnel.exp(hub_a) * hub_b
    leaves = [Undefined(hint=0.1 * k, name=f"u{k}") for k in range(120)]
    rng = random.Random(5)
    values = [0.1 * k + rng.uniform(-0.05, 0.05) for k in range(120)]
    hub_value = math.exp(0.5) * 0.4
    residuals = [hub * u + u * u - (hub_value * v + v * v + rng.uniform(-0.01, 0.01)) for u, v in zip(leaves, values)]
    residuals += [u - (v + rng.uniform(-0.01, 0.01)) for u, v in zip(leaves, values)]
    residuals += [hub - hub_value, hub_a + hub_b - 0.9]
    unknowns = [hub_a, hub_b, *leaves]
    dense = least_squares(residuals, unknowns, jacobian="dense")
    sparse = least_squares(residuals, unknowns, jacobian="sparse")
    assert dense.success and sparse.success
    assert flat(sparse.x) == pytest.approx(flat(dense.x), abs=1e-8)
    assert flat(sparse.standard_errors) == pytest.approx(flat(dense.standard_errors), rel=1e-6)
    j = sparse.jacobian.toarray()
    assert j == pytest.approx(dense.jacobian, abs=1e-9)
    assert (j[:120, 0] != 0).all() and (j[:120, 1] != 0).all()
    assert sparse.jacobian.nnz == 120 * 3 + 120 + 2 + 2


def test_auto_takes_the_sparse_way_for_a_large_sparse_problem_and_dense_otherwise():
    points, residuals, truth, _ = bench.network(12, 12)
    result = least_squares(residuals, points)
    assert result.layout == "sparse" and result.success
    assert bench.rms_error(result.x, truth) < 1e-9
    assert result.standard_errors is not None and result.covariance is None
    small = bench.network(4, 4)
    assert least_squares(small[1], small[0]).layout == "dense"
    # solve takes the keyword too, and the equations hold.
    equations = solve(residuals, points, jacobian="sparse")
    assert equations.status == "solved" and equations.layout == "sparse"
    assert max(abs(r) for r in equations.residuals) <= 1e-10


@pytest.mark.parametrize("way", ["sparse", "dense"])
def test_an_unanchored_network_is_solved_but_reported_undetermined(way):
    points, residuals, _, _ = bench.network(6, 6, anchored=False)
    result = least_squares(residuals, points, jacobian=way)
    assert result.success and result.cost < 1e-20
    # Shifting or turning the whole network changes no residual: the
    # errors of the points are not defined, and none are given.
    assert result.standard_errors is None and result.covariance is None
    assert "the residuals leave 3 directions of the unknowns undetermined" in result.message


def collinear_chain(points, seed):
    """Points near a line, each tied by distances to the next two: at the
    solution (the points on the line) J loses rank across the line, its
    least singular values falling with the distance from it."""
    rng = random.Random(seed)
    chain = [Undefined(hint=(i + rng.uniform(-0.1, 0.1), rng.uniform(-0.1, 0.1))) for i in range(points)]
    residuals = []
    for i in range(points):
        for step in (1, 2):
            if i + step < points:
                d = chain[i + step] - chain[i]
                residuals.append(varnel.sqrt(d.x * d.x + d.y * d.y) - float(step))
    return chain, residuals + [chain[0] - (0.0, 0.0), chain[1].y - 0.0]


@pytest.mark.parametrize("seed", [3, 7, 11])
def test_the_sparse_way_converges_where_j_loses_rank_at_the_solution(seed):
    # Steps across the line need a damping below those singular values
    # squared; at a floor of 1e-12 they crawled to the iteration limit.
    chain, residuals = collinear_chain(60, seed)
    result = least_squares(residuals, chain, jacobian="sparse")
    assert result.status == "xtol" and result.iterations < 300
    assert result.cost < 1e-24


@pytest.mark.parametrize("seed", [0, 2, 17, 27])
def test_the_sparse_step_keeps_what_the_normal_equations_lose_near_the_line(seed):
    # Near the solution J's least singular values squared fall below what
    # J^T J resolves: from the normal equations alone these chains crawled
    # to the iteration limit or stopped short (seed 17 at a cost of 1e-16).
    chain, residuals = collinear_chain(60, seed)
    sparse = least_squares(residuals, chain, jacobian="sparse")
    dense = least_squares(residuals, chain, jacobian="dense")
    assert sparse.status == "xtol" and sparse.cost < 1e-24
    # Where the points are, across the line, the cost hardly tells (it is
    # quartic there): the two ways' solutions agree in cost, not in x.
    assert sparse.evaluations[0] < 2 * dense.evaluations[0]


@pytest.mark.parametrize(("points", "seed"), [(120, 2), (120, 6), (200, 0), (200, 3), (200, 11), (200, 12), (200, 18)])
def test_a_refused_step_near_the_line_leaves_the_damping_low_enough_to_cross_it(points, seed):
    # A Gauss-Newton step that the residuals' curvature turns into a rise
    # of the cost sent the damping to 1e-6: the steps across the line then
    # fell below xtol short of the minimum, at costs of 1e-24 to 4e-22.
    # Seed 12 of 200 points also needs the damping to fall to a third after
    # fair steps (ratios of 0.4 to 0.7), where Nielsen's update left it
    # within a few percent of where it was.
    chain, residuals = collinear_chain(points, seed)
    result = least_squares(residuals, chain, jacobian="sparse")
    assert result.status == "xtol" and result.cost < 1e-24
    assert result.iterations < 200


def test_update_writes_parameters_in_the_sparse_way():
    slope, offset = Parameter(0.0, name="slope"), Parameter(0.0, name="offset")
    residuals = [slope * float(t) + offset - (3.0 * t - 2.0) for t in range(6)]
    result = least_squares(residuals, [slope, offset], jacobian="sparse", update=True)
    assert result.success
    assert slope.value == pytest.approx((3.0,), abs=1e-12) and offset.value == pytest.approx((-2.0,), abs=1e-12)


@pytest.mark.parametrize("way", ["sparse", "dense"])
def test_residuals_not_finite_at_the_start_are_refused_as_evaluation_refuses_them(way):
    x = Parameter(1.0, name="x")
    others = [Undefined(hint=0.5 * k) for k in range(4)]
    residuals = [varnel.log(x - 1.0)] + [u - 1.0 for u in others]
    check_raises(lambda: least_squares(residuals, [x, *others], jacobian=way, update=True), ValueError,
                 "symbolic value lanes must be finite")
    assert x.value == (1.0,)


def test_a_step_to_residuals_not_finite_is_refused_and_the_solve_goes_on():
    # From 10, Gauss-Newton's first step on log(u) - log(c) lands below 0,
    # where the logarithm is not finite: the step is refused, not followed.
    targets = [0.05 * (k + 1) for k in range(30)]
    unknowns = [Undefined(hint=10.0) for _ in targets]
    residuals = [varnel.log(u) - math.log(c) for u, c in zip(unknowns, targets)]
    fit = least_squares(residuals, unknowns, jacobian="sparse")
    assert fit.success, fit.message
    assert flat(fit.x) == pytest.approx(targets, rel=1e-12)
    residual_evaluations, jacobian_evaluations = fit.evaluations
    assert residual_evaluations > jacobian_evaluations  # the refused steps'


def test_leaf_residuals_and_parameters_that_are_not_unknowns_in_the_sparse_way():
    # A residual that is an unknown, one that is a Parameter no unknown
    # reaches, and a Parameter read by many: each solve reads its value of
    # the moment, as the dense way does.
    a = Parameter(0.5, name="a")
    unknowns = [Undefined(hint=0.3 * k) for k in range(25)]
    residuals = [unknowns[0], a]
    residuals += [v - u - a for u, v in zip(unknowns, unknowns[1:])]
    residuals += [u - a * float(k) for k, u in enumerate(unknowns)]
    for value in (0.5, 2.0):
        a.set_value(value)
        sparse = least_squares(residuals, unknowns, jacobian="sparse")
        dense = least_squares(residuals, unknowns, jacobian="dense")
        assert sparse.success and dense.success, sparse.message
        assert flat(sparse.x) == pytest.approx([value * k for k in range(25)], abs=1e-12)
        assert flat(sparse.x) == pytest.approx(flat(dense.x), abs=1e-12)
        assert sparse.residuals[1] == value
        assert np.array(sparse.residuals) == pytest.approx(np.array(dense.residuals), abs=1e-12)
        assert sparse.jacobian.toarray() == pytest.approx(dense.jacobian, abs=0)


@pytest.mark.parametrize("call", [least_squares, solve])
def test_an_unknown_layout_is_refused_before_any_evaluation(call):
    x = Parameter(1.0, name="x")
    check_raises(lambda: call([x - 1.0], x, jacobian="csr"), ValueError,
                 "jacobian must be one of auto, dense, sparse, got 'csr'")
    assert x.value == (1.0,)


# A large network in a process of its own: the solve's peak memory above
# what the graph already holds stays proportional to the Jacobian's
# nonzeros, where a dense Jacobian would take 8 bytes for each of lanes x
# unknown lanes entries (480 GB at 100,000 points). Per nonzero of J (4 per
# distance row): its pattern and values and their working copies (about 50
# bytes), the per-residual compiled functions (about 130), J^T J's lower
# triangle with the places of its products and a scaled copy (about 60),
# and the sparse factor with its selected inverse, 20 bytes for each of
# its entries: 9.7 per nonzero of J at 10,000 points, 14.8 at 100,000
# (its fill grows as n log n on a 2-D network, which no ordering avoids).
# Measured: 620 bytes per nonzero at 10,000 points, 714 at 100,000; the
# bound leaves room for the slow growth of the fill and for the allocator.
# 10,000 points are solved to the end; 100,000 take one step (one
# factorisation, then another and the selected inverse for the standard
# errors: every array the full solve has, at its size), as the full solve
# takes minutes there (bench/sparse_network.py --scaling). Even so that
# case is not quick: about 37 s of CPU, the factorisations most of it.
BYTES_PER_NONZERO = 2_000


@pytest.mark.parametrize(("points", "max_iterations"), [(10_000, None), (100_000, 1)])
def test_the_memory_of_a_large_network_follows_its_nonzeros(points, max_iterations):
    command = [sys.executable, str(ROOT / "bench" / "sparse_network.py"), "--one", "varnel", str(points)]
    if max_iterations is not None:
        command += ["--max-iterations", str(max_iterations)]
    out = subprocess.run(command, capture_output=True, text=True, timeout=900)
    assert out.returncode == 0, out.stderr[-2000:]
    r = json.loads(out.stdout.splitlines()[-1])
    assert r["layout"] == "sparse" and r["points"] >= points
    if max_iterations is None:
        assert r["status"] in {"xtol", "gtol", "ftol", "precision"}
        assert r["rms_error"] < 1e-6
    else:
        assert (r["status"], r["iterations"]) == ("max_iterations", max_iterations)
    dense_bytes = 8.0 * r["residual_lanes"] * 2 * r["points"]
    assert 0 < r["peak_bytes"] < BYTES_PER_NONZERO * r["nonzeros"]
    assert r["peak_bytes"] < dense_bytes / 20
