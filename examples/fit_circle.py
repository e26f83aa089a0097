"""Fit a circle to noisy points by gradient descent.

The centre is one two-lane Parameter and the radius a one-lane Parameter.
Each step builds the loss, clears the old gradients, pushes the new ones
back into both Parameters and lets an SGD optimizer apply the update.
With matplotlib installed it also draws the fit into fit_circle.png in the
current directory.
"""

import math
import random

from varnel import Constant, Expression, Parameter, plot_fit
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
    losses = []
    for step in range(121):
        loss = circle_loss(centre, radius, points)
        optimizer.zero_grad()
        loss.backward()
        losses.append(loss.eval()[0])
        if step % 10 == 0:
            print(f"{step:5d}  {losses[-1]:12.6f}")
        optimizer.step()

    cx, cy = centre.value
    print(f"centre ({cx:.4f}, {cy:.4f}), radius {abs(radius.value[0]):.4f}")
    print(f"truth  ({TRUE_CENTRE[0]:.4f}, {TRUE_CENTRE[1]:.4f}), radius {TRUE_RADIUS:.4f}")

    r = abs(radius.value[0])
    angles = [2.0 * math.pi * k / 200 for k in range(201)]
    circle = ([cx + r * math.cos(a) for a in angles], [cy + r * math.sin(a) for a in angles])
    distances = [math.hypot(px - cx, py - cy) - r for px, py in points]  # off the circle
    try:
        plot_fit([px for px, _ in points], [py for _, py in points], circle, distances, losses,
                 path="fit_circle.png", title="a circle by gradient descent")
    except ImportError:
        print("no picture of the fit: matplotlib is not installed (pip install matplotlib)")
    else:
        print("wrote fit_circle.png: the points and the circle, the distances off it, the loss per step")


if __name__ == "__main__":
    main()
