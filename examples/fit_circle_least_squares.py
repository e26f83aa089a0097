"""Fit a circle to noisy points with varnel.least_squares, and say how well
the data pin it down.

The centre (two lanes) and the radius are Parameters; each point's residual
is its distance from the circle, |p - c| - r. One call fits them, in C++,
and writes the fit back into the Parameters (update=True). The standard
errors come with it: the spread of the fitted numbers that the scatter of
the points implies. A second fit shows a robust loss: one point far off
moves the plain fit, hardly the Cauchy one.
"""

import math
import random

import varnel
from varnel import Expression, Parameter, sqrt

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


def distances(centre: Expression, radius: Expression, points: list[tuple[float, float]]) -> list[Expression]:
    """How far each point lies off the circle."""
    out = []
    for point in points:
        offset = centre - point
        out.append(sqrt(offset.x * offset.x + offset.y * offset.y) - radius)
    return out


def show(label: str, result: varnel.SolveResult) -> None:
    (cx, cy), (r,) = result.x
    (ex, ey), (er,) = result.standard_errors
    print(f"{label}: {result.status} after {result.iterations} iterations, cost {result.cost:.6g}")
    print(f"  centre ({cx:.4f} ± {ex:.4f}, {cy:.4f} ± {ey:.4f}), radius {r:.4f} ± {er:.4f}")


def main() -> None:
    points = noisy_points(60, noise=0.05)
    centre, radius = Parameter(0.0, 0.0, name="centre"), Parameter(1.0, name="radius")
    residuals = distances(centre, radius, points)
    print(f"fitting a circle to {len(points)} points from centre {centre.value}, radius {radius.value}")

    result = varnel.least_squares(residuals, [centre, radius], update=True)
    show("least squares", result)
    print(f"  written back: centre {tuple(round(v, 4) for v in centre.value)}, radius {radius.value[0]:.4f}")
    print(f"truth: centre ({TRUE_CENTRE[0]:.4f}, {TRUE_CENTRE[1]:.4f}), radius {TRUE_RADIUS:.4f}")

    # One point thrown far off the circle.
    outlier = points[:-1] + [(TRUE_CENTRE[0] + 6.0, TRUE_CENTRE[1])]
    residuals = distances(centre, radius, outlier)
    show("with an outlier, linear loss", varnel.least_squares(residuals, [centre, radius]))
    show("with an outlier, cauchy loss", varnel.least_squares(residuals, [centre, radius], loss="cauchy",
                                                              f_scale=0.1))


if __name__ == "__main__":
    main()
