"""NIST's nonlinear regression reference problems, solved by varnel and by
scipy.optimize.least_squares(method="lm") in the same run.

Each problem is solved from both of its starting points, with the model
written in varnel and the parameters as Undefined unknowns whose hints are
the starting values. The accuracy is the log relative error (LRE): the
number of digits of the worst parameter that match NIST's certified value,
capped at 11; a start counts as solved at LRE >= 4. The standard errors
and the residual sum of squares (RSS) are held against NIST's certified
ones the same way. scipy gets varnel's
compiled residuals and exact Jacobian (varnel.compile, timed with it, as
varnel's call compiles too), so both solvers see the same numbers and the
comparison is of the methods and of where they run. Times are the best
CPU time of a few runs, summed over every start.

    .venv/bin/python bench/nist.py                 # the table
    .venv/bin/python bench/nist.py --repeat 5      # best of 5 for the times

The data files are read from ../shared/data/nist beside the repository
(--data DIR names another folder); they are not part of it.
"""

from __future__ import annotations

import argparse
import math
import os
import pathlib
import re
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import varnel
from varnel import Expression, Undefined, atan, cos, exp, sin

DATA = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "nist"
LRE_CAP = 11.0
SOLVED = 4.0
PI = math.pi

Model = Callable[[Sequence[Expression], Sequence[float]], Expression]


def _rational(numerator: Sequence[Expression], denominator: Sequence[Expression], x: float) -> Expression:
    """(n0 + n1 x + n2 x^2 + ...) / (1 + d0 x + d1 x^2 + ...) by Horner's rule."""
    top = numerator[-1]
    for b in reversed(numerator[:-1]):
        top = top * x + b
    bottom = denominator[-1]
    for b in reversed(denominator[:-1]):
        bottom = bottom * x + b
    return top / (bottom * x + 1.0)


def _enso(b: Sequence[Expression], x: float) -> Expression:
    a = 2.0 * PI * x
    return (b[0] + b[1] * math.cos(a / 12.0) + b[2] * math.sin(a / 12.0)
            + b[4] * cos(a / b[3]) + b[5] * sin(a / b[3])
            + b[7] * cos(a / b[6]) + b[8] * sin(a / b[6]))


def _gauss(b: Sequence[Expression], x: float) -> Expression:
    return (b[0] * exp(-b[1] * x) + b[2] * exp(-((x - b[3]) * (x - b[3])) / (b[4] * b[4]))
            + b[5] * exp(-((x - b[6]) * (x - b[6])) / (b[7] * b[7])))


def _lanczos(b: Sequence[Expression], x: float) -> Expression:
    return b[0] * exp(-b[1] * x) + b[2] * exp(-b[3] * x) + b[4] * exp(-b[5] * x)


# The models as NIST writes them, of the parameters b and one data row's
# predictors, in NIST's order: the lower difficulty, then the average.
# Integral powers are products.
MODELS: dict[str, Model] = {
    "Misra1a": lambda b, x: b[0] * (1.0 - exp(-b[1] * x[0])),
    "Chwirut2": lambda b, x: exp(-b[0] * x[0]) / (b[1] + b[2] * x[0]),
    "Chwirut1": lambda b, x: exp(-b[0] * x[0]) / (b[1] + b[2] * x[0]),
    "Lanczos3": lambda b, x: _lanczos(b, x[0]),
    "Gauss1": lambda b, x: _gauss(b, x[0]),
    "Gauss2": lambda b, x: _gauss(b, x[0]),
    "DanWood": lambda b, x: b[0] * varnel.pow(x[0], b[1]),
    "Misra1b": lambda b, x: b[0] * (1.0 - varnel.pow(1.0 + b[1] * x[0] / 2.0, -2.0)),
    "Kirby2": lambda b, x: _rational(b[0:3], b[3:5], x[0]),
    "Hahn1": lambda b, x: _rational(b[0:4], b[4:7], x[0]),
    "Nelson": lambda b, x: b[0] - b[1] * x[0] * exp(-b[2] * x[1]),
    "MGH17": lambda b, x: b[0] + b[1] * exp(-x[0] * b[3]) + b[2] * exp(-x[0] * b[4]),
    "Lanczos1": lambda b, x: _lanczos(b, x[0]),
    "Lanczos2": lambda b, x: _lanczos(b, x[0]),
    "Gauss3": lambda b, x: _gauss(b, x[0]),
    "Misra1c": lambda b, x: b[0] * (1.0 - varnel.pow(1.0 + 2.0 * b[1] * x[0], -0.5)),
    "Misra1d": lambda b, x: b[0] * b[1] * x[0] * varnel.pow(1.0 + b[1] * x[0], -1.0),
    "Roszman1": lambda b, x: b[0] - b[1] * x[0] - atan(b[2] / (x[0] - b[3])) / PI,
    "ENSO": lambda b, x: _enso(b, x[0]),
}


@dataclass
class Problem:
    name: str
    starts: tuple[list[float], list[float]]
    certified: list[float]
    certified_errors: list[float]
    certified_rss: float
    responses: list[float]
    predictors: list[tuple[float, ...]]

    def residuals(self, b: Sequence[Expression]) -> list[Expression]:
        model = MODELS[self.name]
        responses = self.responses
        if self.name == "Nelson":  # the model is of log(y)
            responses = [math.log(y) for y in responses]
        return [model(b, x) - y for x, y in zip(self.predictors, responses)]


def load(path: pathlib.Path) -> Problem:
    """Reads one NIST file: the starts and certified values from the lines
    'bN = start1 start2 value deviation', the data from the line range the
    header gives."""
    lines = path.read_text().splitlines()
    first, last = map(int, re.search(r"Data\s+\(lines\s+(\d+)\s+to\s+(\d+)\)", "\n".join(lines[:12])).groups())
    starts: tuple[list[float], list[float]] = ([], [])
    certified, errors = [], []
    rss = math.nan
    for line in lines[:first]:
        if line.startswith("Residual Sum of Squares:"):
            rss = float(line.split(":")[1])
        match = re.match(r"\s*b\d+\s*=\s*(.*)", line)
        if match:
            s1, s2, value, deviation = map(float, match.group(1).split())
            starts[0].append(s1)
            starts[1].append(s2)
            certified.append(value)
            errors.append(deviation)
    responses, predictors = [], []
    for line in lines[first - 1:last]:
        numbers = [float(v) for v in line.split()]
        responses.append(numbers[0])
        predictors.append(tuple(numbers[1:]))
    return Problem(path.stem, starts, certified, errors, rss, responses, predictors)


def load_all(data: pathlib.Path = DATA) -> list[Problem]:
    return [load(data / f"{name}.dat") for name in MODELS]


def lre(value: float, certified: float) -> float:
    """Digits of `value` that match `certified`, 0 to LRE_CAP."""
    if value == certified:
        return LRE_CAP
    error = abs(value - certified) / abs(certified) if certified != 0.0 else abs(value)
    return max(0.0, min(LRE_CAP, -math.log10(error)))


def worst_lre(values: Sequence[float], certified: Sequence[float]) -> float:
    return min(lre(v, c) for v, c in zip(values, certified))


def unknowns_at(start: Sequence[float]) -> list[Expression]:
    return [Undefined(hint=value, name=f"b{k + 1}") for k, value in enumerate(start)]


@dataclass
class Outcome:
    lre: float
    error_lre: float | None
    rss_lre: float
    seconds: float
    evaluations: tuple[int, int]


def solve_varnel(problem: Problem, start: Sequence[float], repeat: int) -> Outcome:
    b = unknowns_at(start)
    residuals = problem.residuals(b)
    best = math.inf
    for _ in range(repeat):
        began = time.process_time()
        result = varnel.least_squares(residuals, b)
        best = min(best, time.process_time() - began)
    values = [lanes[0] for lanes in result.x]
    error_lre = None
    if result.standard_errors is not None:
        error_lre = worst_lre([lanes[0] for lanes in result.standard_errors], problem.certified_errors)
    return Outcome(worst_lre(values, problem.certified), error_lre, lre(2.0 * result.cost, problem.certified_rss),
                   best, result.evaluations)


def solve_scipy(problem: Problem, start: Sequence[float], repeat: int) -> Outcome:
    import numpy as np
    from scipy.optimize import least_squares

    b = unknowns_at(start)
    residuals = problem.residuals(b)
    best = math.inf
    for _ in range(repeat):
        # From the same residual expressions as varnel's call: compiling
        # them is part of either solve.
        began = time.process_time()
        f = varnel.compile(residuals, b)

        def fun(x: np.ndarray) -> np.ndarray:
            # A point where the model is not finite: infinite residuals,
            # which MINPACK refuses as a step, as varnel's solver does.
            try:
                return np.array(f(*x.tolist())).ravel()
            except ValueError:
                return np.full(len(residuals), np.inf)

        def jac(x: np.ndarray) -> np.ndarray:
            return np.array(f.jacobian(*x.tolist()))

        result = least_squares(fun, np.array(start), jac=jac, method="lm")
        best = min(best, time.process_time() - began)
    return Outcome(worst_lre(result.x.tolist(), problem.certified), None, lre(2.0 * result.cost, problem.certified_rss),
                   best, (result.nfev, result.njev or 0))


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", type=pathlib.Path, default=DATA, help="folder of the NIST .dat files")
    parser.add_argument("--repeat", type=int, default=3, help="runs per start; the best CPU time counts")
    parser.add_argument("--no-scipy", action="store_true", help="varnel alone")
    args = parser.parse_args(argv)

    problems = load_all(args.data)
    with_scipy = not args.no_scipy
    # Loaded before any timing: varnel's results are NumPy arrays, and scipy
    # runs on them. One thread for NumPy's BLAS: neither solver uses it, and
    # idle workers would add their CPU time to whichever solver runs next.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    import numpy  # noqa: F401
    if with_scipy:
        import scipy.optimize  # noqa: F401
    header = f"{'problem':<10} {'start':>5}  {'varnel LRE':>10} {'s.e. LRE':>8} {'RSS LRE':>7} {'evals':>9} {'ms':>7}"
    if with_scipy:
        header += f"  {'scipy LRE':>9} {'evals':>9} {'ms':>7}"
    print(header)
    rows = []
    for problem in problems:
        for index, start in enumerate(problem.starts):
            mine = solve_varnel(problem, start, args.repeat)
            theirs = solve_scipy(problem, start, args.repeat) if with_scipy else None
            rows.append((problem, index, mine, theirs))
            line = (f"{problem.name:<10} {index + 1:>5}  {mine.lre:>10.1f} "
                    f"{'-' if mine.error_lre is None else f'{mine.error_lre:.1f}':>8} {mine.rss_lre:>7.1f} "
                    f"{'%d/%d' % mine.evaluations:>9} {mine.seconds * 1e3:>7.2f}")
            if theirs is not None:
                line += f"  {theirs.lre:>9.1f} {'%d/%d' % theirs.evaluations:>9} {theirs.seconds * 1e3:>7.2f}"
            print(line, flush=True)

    def summary(label: str, outcomes: list[Outcome]) -> str:
        lres = [o.lre for o in outcomes]
        solved = sum(value >= SOLVED for value in lres)
        seconds = sum(o.seconds for o in outcomes)
        return (f"{label:<7} solved {solved}/{len(lres)}, average LRE {sum(lres) / len(lres):.2f}, "
                f"lowest {min(lres):.1f}, CPU {seconds * 1e3:.1f} ms")

    mine = [row[2] for row in rows]
    print()
    print(summary("varnel", mine))
    errors = [(row[0].name, o.error_lre) for row, o in zip(rows, mine) if row[0].name != "Lanczos1"]
    worst = min(errors, key=lambda item: item[1] if item[1] is not None else -1.0)
    print(f"        standard errors: lowest LRE {worst[1] if worst[1] is None else round(worst[1], 1)} "
          f"({worst[0]}; Lanczos1 not counted)")
    sums = [(row[0].name, o.rss_lre) for row, o in zip(rows, mine) if row[0].name != "Lanczos1"]
    lowest = min(sums, key=lambda item: item[1])
    print(f"        residual sums of squares: lowest LRE {lowest[1]:.1f} ({lowest[0]}; Lanczos1 not counted)")
    if with_scipy:
        theirs = [row[3] for row in rows]
        print(summary("scipy", theirs))
        ratio = sum(o.seconds for o in theirs) / sum(o.seconds for o in mine)
        print(f"CPU time: scipy / varnel = {ratio:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
