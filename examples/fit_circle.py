"""Fit a circle to noisy points by gradient descent.

The centre is one two-lane Parameter and the radius a one-lane Parameter.
Each step builds the loss, clears the old gradients, pushes the new ones
back into both Parameters and lets an SGD optimizer apply the update.
"""

import math
import random

from varnel import Constant, Expression, Parameter
from varnel.optim import SGD

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


def circle_loss(centre: Expression, radius: Expression,
                points: list[tuple[float, float]]) -> Expression:
    """Mean squared algebraic distance: (|p - c|^2 - r^2)^2 over the points."""
    total = Constant(0.0)
    for point in points:
        offset = centre - Constant(point)
        squared = offset * offset
        residual = squared.x + squared.y - radius * radius
        total = total + residual * residual
    return total / len(points)


def main() -> None:
    points = noisy_points(60, noise=0.05)
    centre = Parameter(0.0, 0.0, name="centre")
    radius = Parameter(1.0, name="radius")
    optimizer = SGD([centre, radius], lr=0.01)

    print(f"fitting a circle to {len(points)} points")
    print(f"{'step':>5}  {'loss':>12}")
    for step in range(121):
        loss = circle_loss(centre, radius, points)
        optimizer.zero_grad()
        loss.backward()
        if step % 10 == 0:
            print(f"{step:5d}  {loss.eval()[0]:12.6f}")
        optimizer.step()

    cx, cy = centre.value
    print(f"centre ({cx:.4f}, {cy:.4f}), radius {abs(radius.value[0]):.4f}")
    print(f"truth  ({TRUE_CENTRE[0]:.4f}, {TRUE_CENTRE[1]:.4f}), radius {TRUE_RADIUS:.4f}")


if __name__ == "__main__":
    main()
