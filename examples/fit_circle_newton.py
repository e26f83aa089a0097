"""Fit a circle to noisy points by Gauss-Newton steps on a compiled function.

The unknowns, the centre (two lanes) and the radius, are Undefined inputs.
The graph of the residuals, one per point, is built once and
compiled; every step then only calls the compiled function for the
residuals and their Jacobian and solves the 3-by-3 normal equations.
With matplotlib installed it also draws the fit into fit_circle_newton.png
in the current directory.
"""

import math
import random

import varnel
from varnel import Expression, Undefined, vec2

TRUE_CENTRE = (1.5, -0.5)
TRUE_RADIUS = 2.0


def noisy_points(count: int, noise: float, seed: int = 7) -> list[tuple[float, float]]:
    rng = random.Random(seed)
    points = []
    for _ in range(count):
        angle = rng.uniform(0.0, 2.0 * math.pi)
        radius = TRUE_RADIUS + rng.gauss(0.0, noise)
        points.append((TRUE_CENTRE[0] + radius * math.cos(angle),
                       TRUE_CENTRE[1] + radius * math.sin(angle)))
    return points


def residuals(centre: Expression, radius: Expression, points: list[tuple[float, float]]) -> list[Expression]:
    """How far each point lies off the circle: (|p - c|^2 - r^2) / (2 r),
    which is |p - c| - r to first order near the circle, with no square root
    (fit_circle_least_squares.py fits the distances themselves, with sqrt)."""
    out = []
    for px, py in points:
        offset = centre - vec2(px, py)
        squared = offset * offset
        out.append((squared.x + squared.y - radius * radius) / (2 * radius))
    return out


def solve3(a: list[list[float]], b: list[float]) -> list[float]:
    """Gaussian elimination with partial pivoting for a 3-by-3 system."""
    m = [row[:] + [rhs] for row, rhs in zip(a, b)]
    for col in range(3):
        pivot = max(range(col, 3), key=lambda r: abs(m[r][col]))
        m[col], m[pivot] = m[pivot], m[col]
        for r in range(col + 1, 3):
            factor = m[r][col] / m[col][col]
            m[r] = [x - factor * y for x, y in zip(m[r], m[col])]
    x = [0.0, 0.0, 0.0]
    for r in (2, 1, 0):
        x[r] = (m[r][3] - sum(m[r][k] * x[k] for k in range(r + 1, 3))) / m[r][r]
    return x


def main() -> None:
    points = noisy_points(60, noise=0.05)
    centre, radius = Undefined(dim=2, name="centre"), Undefined(name="radius")
    f = varnel.compile(residuals(centre, radius, points), [centre, radius])
    print(f"fitting a circle to {len(points)} points: {f!r}")

    c, r = [0.0, 0.0], 1.0
    costs = []
    print(f"{'step':>4}  {'sum of squares':>16}")
    for step in range(8):
        res = [lanes[0] for lanes in f(c, r)]
        costs.append(sum(x * x for x in res))
        print(f"{step:4d}  {costs[-1]:16.10f}")
        jac = f.jacobian(c, r)  # one row per residual: d/dcx, d/dcy, d/dr
        jtj = [[sum(row[i] * row[j] for row in jac) for j in range(3)] for i in range(3)]
        jtr = [-sum(row[i] * x for row, x in zip(jac, res)) for i in range(3)]
        dcx, dcy, dr = solve3(jtj, jtr)
        c, r = [c[0] + dcx, c[1] + dcy], r + dr

    print(f"centre ({c[0]:.4f}, {c[1]:.4f}), radius {abs(r):.4f}")
    print(f"truth  ({TRUE_CENTRE[0]:.4f}, {TRUE_CENTRE[1]:.4f}), radius {TRUE_RADIUS:.4f}")

    angles = [2.0 * math.pi * k / 200 for k in range(201)]
    circle = ([c[0] + r * math.cos(a) for a in angles], [c[1] + r * math.sin(a) for a in angles])
    try:
        varnel.plot_fit([x for x, _ in points], [y for _, y in points], circle,
                        [lanes[0] for lanes in f(c, r)], costs,
                        path="fit_circle_newton.png", title="a circle by Gauss-Newton steps")
    except ImportError:
        print("no picture of the fit: matplotlib is not installed (pip install matplotlib)")
    else:
        print("wrote fit_circle_newton.png: the points and the circle, the residuals, the cost per step")


if __name__ == "__main__":
    main()
