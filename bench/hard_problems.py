"""Hard least-squares problems and equation systems, solved by varnel and by
scipy.optimize.least_squares (method="lm" and "trf") in the same run.

The problems are the classic test functions of unconstrained least squares
(Rosenbrock's valley, badly scaled and singular problems, exponential
fits with near-dependent terms), each from its standard start and from 10
and 100 times that start, and NIST's small higher-difficulty regression
problems from both of their starts. Every problem lists the sums of
squares of its known minima (the global one first); a start counts as
solved when the sum of squares it ends at matches the global one (to 6
digits, the precision it is known to, or below 1e-20 where it is 0) and
as "local" when it matches another known minimum. NIST's problems are also
held against their certified parameters: the LRE, as in bench/nist.py.
Equation systems (as many equations as unknowns, a root known) also go
through varnel.solve.

scipy gets varnel's compiled residuals and exact Jacobian, so the solvers
see the same numbers; CPU times are the best of a few runs of the whole
call, compiling included for both.

    .venv/bin/python bench/hard_problems.py              # the table
    .venv/bin/python bench/hard_problems.py --no-scipy   # varnel alone
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import varnel
from varnel import Expression, Undefined, atan2, cos, exp, sin, sqrt

LRE_CAP = 11.0
Residuals = Callable[[Sequence[Expression]], list[Expression]]


@dataclass(frozen=True)
class Hard:
    """A problem: its residuals of the unknowns, its standard start, the
    sums of squares of its known minima (the global one first), and for
    NIST's problems the certified parameters and residual sum of squares
    (then `minima` holds that sum)."""
    name: str
    residuals: Residuals
    start: tuple[float, ...]
    minima: tuple[float, ...]
    certified: tuple[float, ...] | None = None
    # An equation system with a root: solved by varnel.solve as well.
    system: bool = False
    # The starts: the standard one scaled by each factor (1 only where the
    # start is 0, or for NIST's problems, whose second start is its own).
    factors: tuple[float, ...] = (1.0, 10.0, 100.0)


def _sum(terms) -> Expression:
    terms = list(terms)
    total = terms[0]
    for term in terms[1:]:
        total = total + term
    return total


def rosenbrock(x):
    return [10.0 * (x[1] - x[0] * x[0]), 1.0 - x[0]]


def freudenstein_roth(x):
    return [-13.0 + x[0] + ((5.0 - x[1]) * x[1] - 2.0) * x[1],
            -29.0 + x[0] + ((x[1] + 1.0) * x[1] - 14.0) * x[1]]


def powell_badly_scaled(x):
    return [1e4 * x[0] * x[1] - 1.0, exp(-x[0]) + exp(-x[1]) - 1.0001]


def brown_badly_scaled(x):
    return [x[0] - 1e6, x[1] - 2e-6, x[0] * x[1] - 2.0]


BEALE_Y = (1.5, 2.25, 2.625)
# Where x1 runs to -infinity and x2 to 1, x1 (1 - x2^i) tends to c i: the
# infimum of that valley is the least-squares fit of c i to the data.
BEALE_ASYMPTOTE = (sum(y * y for y in BEALE_Y)
                   - sum(i * y for i, y in enumerate(BEALE_Y, 1)) ** 2 / sum(i * i for i in (1, 2, 3)))


def beale(x):
    return [y - x[0] * (1.0 - varnel.pow(x[1], float(i))) for i, y in enumerate(BEALE_Y, 1)]


def jennrich_sampson(x):
    return [2.0 + 2.0 * i - (exp(i * x[0]) + exp(i * x[1])) for i in range(1, 11)]


def helical_valley(x):
    # theta = atan(x2 / x1) / (2 pi), plus 1/2 where x1 < 0: the angle in
    # (-1/4, 3/4) of a turn, which is a quarter turn less the angle of
    # (x2, x1) seen from the other axis.
    theta = 0.25 - atan2(x[0], x[1]) / (2.0 * math.pi)
    return [10.0 * (x[2] - 10.0 * theta), 10.0 * (sqrt(x[0] * x[0] + x[1] * x[1]) - 1.0), x[2]]


BARD_Y = (0.14, 0.18, 0.22, 0.25, 0.29, 0.32, 0.35, 0.39, 0.37, 0.58, 0.73, 0.96, 1.34, 2.10, 4.39)


# Where x2 and x3 run to -infinity the model is the constant x1, so the
# sum of squares falls toward the data's own about their mean: the infimum
# of a valley without a minimum in it.
BARD_ASYMPTOTE = sum((y - sum(BARD_Y) / len(BARD_Y)) ** 2 for y in BARD_Y)


def bard(x):
    return [y - (x[0] + i / ((16 - i) * x[1] + min(i, 16 - i) * x[2])) for i, y in enumerate(BARD_Y, 1)]


GAUSSIAN_Y = (0.0009, 0.0044, 0.0175, 0.0540, 0.1295, 0.2420, 0.3521, 0.3989,
              0.3521, 0.2420, 0.1295, 0.0540, 0.0175, 0.0044, 0.0009)


def gaussian(x):
    out = []
    for i, y in enumerate(GAUSSIAN_Y, 1):
        t = (8 - i) / 2.0
        out.append(x[0] * exp(-0.5 * x[1] * (t - x[2]) * (t - x[2])) - y)
    return out


MEYER_Y = (34780.0, 28610.0, 23650.0, 19630.0, 16370.0, 13720.0, 11540.0, 9744.0,
           8261.0, 7030.0, 6005.0, 5147.0, 4427.0, 3820.0, 3307.0, 2872.0)
MEYER_X = tuple(45.0 + 5.0 * i for i in range(1, 17))


def meyer(x):
    return [x[0] * exp(x[1] / (t + x[2])) - y for t, y in zip(MEYER_X, MEYER_Y)]


def gulf(x):
    out = []
    for i in range(1, 11):
        t = i / 100.0
        y = 25.0 + (-50.0 * math.log(t)) ** (2.0 / 3.0)
        out.append(exp(-varnel.pow(varnel.abs(y - x[1]), x[2]) / x[0]) - t)
    return out


def box_3d(x):
    out = []
    for i in range(1, 11):
        t = 0.1 * i
        out.append(exp(-t * x[0]) - exp(-t * x[1]) - x[2] * (math.exp(-t) - math.exp(-10.0 * t)))
    return out


def powell_singular(x):
    return [x[0] + 10.0 * x[1], math.sqrt(5.0) * (x[2] - x[3]), (x[1] - 2.0 * x[2]) * (x[1] - 2.0 * x[2]),
            math.sqrt(10.0) * (x[0] - x[3]) * (x[0] - x[3])]


def wood(x):
    return [10.0 * (x[1] - x[0] * x[0]), 1.0 - x[0], math.sqrt(90.0) * (x[3] - x[2] * x[2]), 1.0 - x[2],
            math.sqrt(10.0) * (x[1] + x[3] - 2.0), (x[1] - x[3]) / math.sqrt(10.0)]


KOWALIK_Y = (0.1957, 0.1947, 0.1735, 0.1600, 0.0844, 0.0627, 0.0456, 0.0342, 0.0323, 0.0235, 0.0246)
KOWALIK_U = (4.0, 2.0, 1.0, 0.5, 0.25, 0.167, 0.125, 0.1, 0.0833, 0.0714, 0.0625)


def kowalik_osborne(x):
    return [y - x[0] * (u * u + u * x[1]) / (u * u + u * x[2] + x[3]) for u, y in zip(KOWALIK_U, KOWALIK_Y)]


def brown_dennis(x):
    out = []
    for i in range(1, 21):
        t = i / 5.0
        a = x[0] + t * x[1] - math.exp(t)
        b = x[2] + x[3] * math.sin(t) - math.cos(t)
        out.append(a * a + b * b)
    return out


OSBORNE1_Y = (0.844, 0.908, 0.932, 0.936, 0.925, 0.908, 0.881, 0.850, 0.818, 0.784, 0.751, 0.718, 0.685, 0.658,
              0.628, 0.603, 0.580, 0.558, 0.538, 0.522, 0.506, 0.490, 0.478, 0.467, 0.457, 0.448, 0.438, 0.431,
              0.424, 0.420, 0.414, 0.411, 0.406)


def osborne_1(x):
    return [y - (x[0] + x[1] * exp(-t * x[3]) + x[2] * exp(-t * x[4]))
            for t, y in zip((10.0 * i for i in range(33)), OSBORNE1_Y)]


def biggs_exp6(x):
    out = []
    for i in range(1, 14):
        t = 0.1 * i
        y = math.exp(-t) - 5.0 * math.exp(-10.0 * t) + 3.0 * math.exp(-4.0 * t)
        out.append(x[2] * exp(-t * x[0]) - x[3] * exp(-t * x[1]) + x[5] * exp(-t * x[4]) - y)
    return out


OSBORNE2_Y = (1.366, 1.191, 1.112, 1.013, 0.991, 0.885, 0.831, 0.847, 0.786, 0.725, 0.746, 0.679, 0.608, 0.655,
              0.616, 0.606, 0.602, 0.626, 0.651, 0.724, 0.649, 0.649, 0.694, 0.644, 0.624, 0.661, 0.612, 0.558,
              0.533, 0.495, 0.500, 0.423, 0.395, 0.375, 0.372, 0.391, 0.396, 0.405, 0.428, 0.429, 0.523, 0.562,
              0.607, 0.653, 0.672, 0.708, 0.633, 0.668, 0.645, 0.632, 0.591, 0.559, 0.597, 0.625, 0.739, 0.710,
              0.729, 0.720, 0.636, 0.581, 0.428, 0.292, 0.162, 0.098, 0.054)


def osborne_2(x):
    out = []
    for i, y in enumerate(OSBORNE2_Y):
        t = i / 10.0
        model = x[0] * exp(-t * x[4])
        for a, width, centre in ((x[1], x[5], x[8]), (x[2], x[6], x[9]), (x[3], x[7], x[10])):
            model = model + a * exp(-(t - centre) * (t - centre) * width)
        out.append(y - model)
    return out


def watson(x):
    n = len(x)
    out = []
    for i in range(1, 30):
        t = i / 29.0
        slope = _sum((j - 1) * x[j - 1] * t ** (j - 2) for j in range(2, n + 1))
        value = _sum(x[j - 1] * t ** (j - 1) for j in range(1, n + 1))
        out.append(slope - value * value - 1.0)
    return out + [x[0] * 1.0, x[1] - x[0] * x[0] - 1.0]


def penalty_1(x):
    return [math.sqrt(1e-5) * (v - 1.0) for v in x] + [_sum(v * v for v in x) - 0.25]


def extended_rosenbrock(x):
    return [f for k in range(0, len(x), 2) for f in rosenbrock(x[k:k + 2])]


def extended_powell_singular(x):
    return [f for k in range(0, len(x), 4) for f in powell_singular(x[k:k + 4])]


def trigonometric(x):
    n = len(x)
    total = _sum(cos(v) for v in x)
    return [n - total + i * (1.0 - cos(v)) - sin(v) for i, v in enumerate(x, 1)]


def broyden_tridiagonal(x):
    n = len(x)
    out = []
    for i in range(n):
        f = (3.0 - 2.0 * x[i]) * x[i] + 1.0
        if i > 0:
            f = f - x[i - 1]
        if i < n - 1:
            f = f - 2.0 * x[i + 1]
        out.append(f)
    return out


def broyden_banded(x):
    n = len(x)
    out = []
    for i in range(n):
        f = x[i] * (2.0 + 5.0 * x[i] * x[i]) + 1.0
        for j in range(max(0, i - 5), min(n, i + 2)):
            if j != i:
                f = f - x[j] * (1.0 + x[j])
        out.append(f)
    return out


def discrete_boundary_value(x):
    n = len(x)
    h = 1.0 / (n + 1)
    out = []
    for i in range(n):
        t = (i + 1) * h
        f = 2.0 * x[i] + 0.5 * h * h * varnel.pow(x[i] + t + 1.0, 3.0)
        if i > 0:
            f = f - x[i - 1]
        if i < n - 1:
            f = f - x[i + 1]
        out.append(f)
    return out


def brown_almost_linear(x):
    n = len(x)
    total = _sum(x)
    product = x[0]
    for v in x[1:]:
        product = product * v
    return [v + total - (n + 1.0) for v in x[:-1]] + [product - 1.0]


def variably_dimensioned(x):
    weighted = _sum(j * (v - 1.0) for j, v in enumerate(x, 1))
    return [v - 1.0 for v in x] + [weighted, weighted * weighted]


def _ramp(n: int) -> tuple[float, ...]:
    return tuple(1.0 - j / n for j in range(1, n + 1))


def _boundary_start(n: int) -> tuple[float, ...]:
    return tuple((i / (n + 1)) * (i / (n + 1) - 1.0) for i in range(1, n + 1))


# NIST's higher-difficulty problems whose data is short enough to write
# here; both starts each (the second start as a factor-1 problem of its own).
def _rational_growth(b, x):
    return b[0] / (1.0 + exp(b[1] - b[2] * x))


RAT42 = ((9.0, 8.93), (14.0, 10.8), (21.0, 18.59), (28.0, 22.33), (42.0, 39.35), (57.0, 56.11), (63.0, 61.73),
         (70.0, 64.62), (79.0, 67.08))
RAT43 = tuple(zip((float(i) for i in range(1, 16)),
                  (16.08, 33.83, 65.80, 97.20, 191.55, 326.20, 386.87, 520.53, 590.03, 651.92, 724.93, 699.56,
                   689.96, 637.56, 717.41)))
BOXBOD = ((1.0, 109.0), (2.0, 149.0), (3.0, 149.0), (5.0, 191.0), (7.0, 213.0), (10.0, 224.0))
ECKERLE4 = tuple(zip(
    (400.0, 405.0, 410.0, 415.0, 420.0, 425.0, 430.0, 435.0, 436.5, 438.0, 439.5, 441.0, 442.5, 444.0, 445.5,
     447.0, 448.5, 450.0, 451.5, 453.0, 454.5, 456.0, 457.5, 459.0, 460.5, 462.0, 463.5, 465.0, 470.0, 475.0,
     480.0, 485.0, 490.0, 495.0, 500.0),
    (0.0001575, 0.0001699, 0.0002350, 0.0003102, 0.0004917, 0.0008710, 0.0017418, 0.0046400, 0.0065895,
     0.0097302, 0.0149002, 0.0237310, 0.0401683, 0.0712559, 0.1264458, 0.2073413, 0.2902366, 0.3445623,
     0.3698049, 0.3668534, 0.3106727, 0.2078154, 0.1164354, 0.0616764, 0.0337200, 0.0194023, 0.0117831,
     0.0074357, 0.0022732, 0.0008800, 0.0004579, 0.0002345, 0.0001586, 0.0001143, 0.0000710)))


def mgh09(b):
    return [b[0] * (u * u + u * b[1]) / (u * u + u * b[2] + b[3]) - y for u, y in zip(KOWALIK_U, KOWALIK_Y)]


def mgh10(b):
    return [b[0] * exp(b[1] / (x + b[2])) - y for x, y in zip(MEYER_X, MEYER_Y)]


def boxbod(b):
    return [b[0] * (1.0 - exp(-b[1] * x)) - y for x, y in BOXBOD]


def rat42(b):
    return [_rational_growth(b, x) - y for x, y in RAT42]


def rat43(b):
    return [b[0] / varnel.pow(1.0 + exp(b[1] - b[2] * x), 1.0 / b[3]) - y for x, y in RAT43]


def eckerle4(b):
    return [(b[0] / b[1]) * exp(-0.5 * ((x - b[2]) / b[1]) * ((x - b[2]) / b[1])) - y for x, y in ECKERLE4]


def _nist(name: str, residuals: Residuals, starts, certified, rss) -> list[Hard]:
    return [Hard(f"{name}/{k}", residuals, tuple(start), (rss,), tuple(certified), factors=(1.0,))
            for k, start in enumerate(starts, 1)]


PROBLEMS: list[Hard] = [
    Hard("rosenbrock", rosenbrock, (-1.2, 1.0), (0.0,), system=True),
    Hard("freudenstein_roth", freudenstein_roth, (0.5, -2.0), (0.0, 48.9842), system=True),
    Hard("powell_badly_scaled", powell_badly_scaled, (0.0, 1.0), (0.0,), system=True),
    Hard("brown_badly_scaled", brown_badly_scaled, (1.0, 1.0), (0.0,)),
    Hard("beale", beale, (1.0, 1.0), (0.0, BEALE_ASYMPTOTE)),
    Hard("jennrich_sampson", jennrich_sampson, (0.3, 0.4), (124.362,)),
    Hard("helical_valley", helical_valley, (-1.0, 0.0, 0.0), (0.0,), system=True),
    Hard("bard", bard, (1.0, 1.0, 1.0), (8.21487e-3, BARD_ASYMPTOTE)),
    Hard("gaussian", gaussian, (0.4, 1.0, 0.0), (1.12793e-8,)),
    Hard("meyer", meyer, (0.02, 4000.0, 250.0), (87.9458,)),
    Hard("gulf", gulf, (5.0, 2.5, 0.15), (0.0,)),
    Hard("box_3d", box_3d, (0.0, 10.0, 20.0), (0.0,)),
    Hard("powell_singular", powell_singular, (3.0, -1.0, 0.0, 1.0), (0.0,), system=True),
    Hard("wood", wood, (-3.0, -1.0, -3.0, -1.0), (0.0,)),
    Hard("kowalik_osborne", kowalik_osborne, (0.25, 0.39, 0.415, 0.39), (3.07505e-4, 1.02734e-3)),
    Hard("brown_dennis", brown_dennis, (25.0, 5.0, -5.0, -1.0), (85822.2,)),
    Hard("osborne_1", osborne_1, (0.5, 1.5, -1.0, 0.01, 0.02), (5.46489e-5,)),
    Hard("biggs_exp6", biggs_exp6, (1.0, 2.0, 1.0, 1.0, 1.0, 1.0), (0.0, 5.65565e-3)),
    Hard("osborne_2", osborne_2, (1.3, 0.65, 0.65, 0.7, 0.6, 3.0, 5.0, 7.0, 2.0, 4.5, 5.5), (4.01377e-2,)),
    Hard("watson_6", watson, (0.0,) * 6, (2.28767e-3,), factors=(1.0,)),
    Hard("watson_9", watson, (0.0,) * 9, (1.39976e-6,), factors=(1.0,)),
    Hard("penalty_1", penalty_1, (1.0, 2.0, 3.0, 4.0), (2.24997e-5,)),
    Hard("extended_rosenbrock_10", extended_rosenbrock, (-1.2, 1.0) * 5, (0.0,), system=True),
    Hard("extended_powell_singular_8", extended_powell_singular, (3.0, -1.0, 0.0, 1.0) * 2, (0.0,), system=True),
    Hard("trigonometric_10", trigonometric, (0.1,) * 10, (0.0, 2.79506e-5), system=True),
    Hard("broyden_tridiagonal_10", broyden_tridiagonal, (-1.0,) * 10, (0.0,), system=True),
    Hard("broyden_banded_10", broyden_banded, (-1.0,) * 10, (0.0,), system=True),
    Hard("discrete_boundary_value_10", discrete_boundary_value, _boundary_start(10), (0.0,), system=True),
    Hard("brown_almost_linear_10", brown_almost_linear, (0.5,) * 10, (0.0, 1.0), system=True),
    Hard("variably_dimensioned_10", variably_dimensioned, _ramp(10), (0.0,)),
    *_nist("MGH09", mgh09, [(25.0, 39.0, 41.5, 39.0), (0.25, 0.39, 0.415, 0.39)],
           (1.9280693458e-01, 1.9128232873e-01, 1.2305650693e-01, 1.3606233068e-01), 3.0750560385e-04),
    *_nist("MGH10", mgh10, [(2.0, 400000.0, 25000.0), (0.02, 4000.0, 250.0)],
           (5.6096364710e-03, 6.1813463463e+03, 3.4522363462e+02), 8.7945855171e+01),
    *_nist("BoxBOD", boxbod, [(1.0, 1.0), (100.0, 0.75)], (2.1380940889e+02, 5.4723748542e-01), 1.1680088766e+03),
    *_nist("Rat42", rat42, [(100.0, 1.0, 0.1), (75.0, 2.5, 0.07)],
           (7.2462237576e+01, 2.6180768402e+00, 6.7359200066e-02), 8.0565229338e+00),
    *_nist("Rat43", rat43, [(100.0, 10.0, 1.0, 1.0), (700.0, 5.0, 0.75, 1.3)],
           (6.9964151270e+02, 5.2771253025e+00, 7.5962938329e-01, 1.2792483859e+00), 8.7864049080e+03),
    *_nist("Eckerle4", eckerle4, [(1.0, 10.0, 500.0), (1.5, 5.0, 450.0)],
           (1.5543827178e+00, 4.0888321754e+00, 4.5154121844e+02), 1.4635887487e-03),
]


def starts(problem: Hard) -> list[tuple[float, tuple[float, ...]]]:
    """(factor, start) of every start of a problem."""
    return [(f, tuple(f * v for v in problem.start)) for f in problem.factors]


def unknowns_at(start: Sequence[float]) -> list[Expression]:
    return [Undefined(hint=value, name=f"x{k + 1}") for k, value in enumerate(start)]


def lre(value: float, certified: float) -> float:
    """Digits of `value` that match `certified`, 0 to LRE_CAP."""
    if value == certified:
        return LRE_CAP
    error = abs(value - certified) / abs(certified) if certified != 0.0 else abs(value)
    return max(0.0, min(LRE_CAP, -math.log10(error)))


def matches(sum_of_squares: float, minimum: float) -> bool:
    """Whether a sum of squares is a known minimum: to 6 digits, or below
    1e-20 for a minimum of 0."""
    if minimum == 0.0:
        return sum_of_squares <= 1e-20
    return abs(sum_of_squares - minimum) <= 5e-6 * minimum


def verdict(problem: Hard, sum_of_squares: float, x: Sequence[float]) -> str:
    """"solved" at the global minimum (and, for NIST's problems, at the
    certified parameters to 4 digits or more), "local" at another known
    minimum, "failed" otherwise."""
    if math.isfinite(sum_of_squares) and matches(sum_of_squares, problem.minima[0]):
        if problem.certified is None or min(lre(v, c) for v, c in zip(x, problem.certified)) >= 4.0:
            return "solved"
    if any(math.isfinite(sum_of_squares) and matches(sum_of_squares, m) for m in problem.minima[1:]):
        return "local"
    return "failed"


@dataclass
class Outcome:
    sum_of_squares: float
    x: tuple[float, ...]
    verdict: str
    lre: float | None  # NIST's problems: of the worst parameter
    seconds: float
    evaluations: tuple[int, int]
    status: str


def _outcome(problem: Hard, sum_of_squares: float, x, seconds: float, evaluations, status: str) -> Outcome:
    x = tuple(float(v) for v in x)
    worst = None if problem.certified is None else min(lre(v, c) for v, c in zip(x, problem.certified))
    return Outcome(sum_of_squares, x, verdict(problem, sum_of_squares, x), worst, seconds, tuple(evaluations),
                   status)


def run_varnel(problem: Hard, start: Sequence[float], repeat: int = 1, equations: bool = False) -> Outcome:
    """varnel.least_squares from `start`, or varnel.solve with `equations`."""
    x = unknowns_at(start)
    residuals = problem.residuals(x)
    call = varnel.solve if equations else varnel.least_squares
    best = math.inf
    for _ in range(repeat):
        began = time.process_time()
        result = call(residuals, x)
        best = min(best, time.process_time() - began)
    return _outcome(problem, 2.0 * result.cost, (lanes[0] for lanes in result.x), best, result.evaluations,
                    result.status)


def run_scipy(problem: Hard, start: Sequence[float], method: str, repeat: int = 1) -> Outcome:
    import numpy as np
    from scipy.optimize import least_squares

    x = unknowns_at(start)
    residuals = problem.residuals(x)
    best = math.inf
    for _ in range(repeat):
        began = time.process_time()
        f = varnel.compile(residuals, x)
        rows = len(residuals)

        def fun(v: np.ndarray) -> np.ndarray:
            # A point where the model is not finite: infinite residuals,
            # which scipy refuses as a step.
            try:
                return np.array(f(*v.tolist()), dtype=float).ravel()
            except ValueError:
                return np.full(rows, np.inf)

        def jac(v: np.ndarray) -> np.ndarray:
            try:
                return np.array(f.jacobian(*v.tolist()), dtype=float).reshape(rows, len(x))
            except ValueError:
                return np.full((rows, len(x)), np.nan)

        try:
            # Starts where the residuals' squares overflow make NumPy warn
            # inside scipy; the outcome says how the solve ended.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                result = least_squares(fun, np.array(start, dtype=float), jac=jac, method=method)
            outcome = (2.0 * float(result.cost), result.x.tolist(), (result.nfev, result.njev or 0),
                       f"status {result.status}")
        except (ValueError, np.linalg.LinAlgError) as error:
            outcome = (math.nan, [math.nan] * len(x), (0, 0), type(error).__name__)
        best = min(best, time.process_time() - began)
    return _outcome(problem, outcome[0], outcome[1], best, outcome[2], outcome[3])


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=3, help="runs per start; the best CPU time counts")
    parser.add_argument("--no-scipy", action="store_true", help="varnel alone")
    parser.add_argument("--only", default="", help="problems whose name starts with this")
    args = parser.parse_args(argv)
    # One thread for NumPy's BLAS: idle workers would add their CPU time to
    # whichever solver runs next.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    import numpy  # noqa: F401

    solvers: list[tuple[str, Callable[[Hard, Sequence[float]], Outcome]]] = [
        ("varnel", lambda p, s: run_varnel(p, s, args.repeat))]
    if not args.no_scipy:
        import scipy.optimize  # noqa: F401
        solvers += [("lm", lambda p, s: run_scipy(p, s, "lm", args.repeat)),
                    ("trf", lambda p, s: run_scipy(p, s, "trf", args.repeat))]

    def cell(o: Outcome) -> str:
        mark = {"solved": "ok", "local": "loc", "failed": "--"}[o.verdict]
        digits = f" {o.lre:4.1f}" if o.lre is not None else ""
        return f"{mark:>3} {o.sum_of_squares:10.4e}{digits} {'%d/%d' % o.evaluations:>9} {o.seconds * 1e3:7.2f}"

    print(f"{'problem':<28} {'start':>5}  " + "  ".join(f"{name:^37}" for name, _ in solvers))
    totals = {name: [] for name, _ in solvers}
    systems = []
    for problem in PROBLEMS:
        if not problem.name.startswith(args.only):
            continue
        for factor, start in starts(problem):
            outcomes = [(name, run(problem, start)) for name, run in solvers]
            for name, o in outcomes:
                totals[name].append(o)
            label = f"{factor:g}x" if problem.certified is None else "-"
            print(f"{problem.name:<28} {label:>5}  " + "  ".join(cell(o) for _, o in outcomes), flush=True)
            if problem.system:
                systems.append((problem, factor, run_varnel(problem, start, 1, equations=True)))

    print()
    for name, outcomes in totals.items():
        solved = sum(o.verdict == "solved" for o in outcomes)
        local = sum(o.verdict == "local" for o in outcomes)
        lres = [o.lre for o in outcomes if o.lre is not None]
        average = f", NIST average LRE {sum(lres) / len(lres):.2f}" if lres else ""
        cpu = sum(o.seconds for o in outcomes) * 1e3
        print(f"{name:<7} solved {solved}/{len(outcomes)}, at a known local minimum {local}{average}, "
              f"CPU {cpu:.1f} ms")
    print()
    print("varnel.solve on the equation systems:")
    for problem, factor, o in systems:
        print(f"  {problem.name:<28} {factor:>5g}x  {o.status:<14} |f|^2 {o.sum_of_squares:.3e}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
