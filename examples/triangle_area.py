"""The gradient of a triangle's area with respect to its corners.

The corners a, b and c are three-lane Parameters. The graph has no square
root, so it computes the squared area A2 = |n|^2 / 4 with the normal
n = (b - a) x (c - a); backward gives dA2/da, dA2/db and dA2/dc, which are
checked against the closed form worked out by hand:

    dA2/db = (v x n) / 2,   dA2/dc = (n x u) / 2,   dA2/da = -(dA2/db + dA2/dc)

with u = b - a and v = c - a. (The area itself is sqrt(A2), whose gradient
is the same direction divided by 2 sqrt(A2).)
"""

import math

from varnel import Expression, Parameter, gradcheck, vec3

Vec = tuple[float, float, float]


def cross(u: Expression, v: Expression) -> Expression:
    """The cross product of two three-lane values, built from their lanes."""
    return vec3(u.y * v.z - u.z * v.y,
                u.z * v.x - u.x * v.z,
                u.x * v.y - u.y * v.x)


def squared_area(a: Expression, b: Expression, c: Expression) -> Expression:
    """A2 = |(b - a) x (c - a)|^2 / 4 as a one-lane value."""
    n = cross(b - a, c - a)
    squares = n * n
    return 0.25 * (squares.x + squares.y + squares.z)


def sub(p: Vec, q: Vec) -> Vec:
    return (p[0] - q[0], p[1] - q[1], p[2] - q[2])


def plain_cross(u: Vec, v: Vec) -> Vec:
    return (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])


def closed_form(a: Vec, b: Vec, c: Vec) -> tuple[Vec, Vec, Vec]:
    """dA2/da, dA2/db and dA2/dc in plain Python."""
    u, v = sub(b, a), sub(c, a)
    n = plain_cross(u, v)
    db = tuple(0.5 * x for x in plain_cross(v, n))
    dc = tuple(0.5 * x for x in plain_cross(n, u))
    da = tuple(-(x + y) for x, y in zip(db, dc))
    return (da[0], da[1], da[2]), (db[0], db[1], db[2]), (dc[0], dc[1], dc[2])


def lanes(text: str, values: Vec) -> str:
    return f"{text} (" + ", ".join(f"{x:+.9f}" for x in values) + ")"


def main() -> None:
    points: tuple[Vec, Vec, Vec] = ((0.5, -1.0, 0.25), (2.0, 0.5, -1.0), (0.5, 3.0, 1.5))
    a, b, c = (Parameter(p, name=name) for p, name in zip(points, "abc"))
    area2 = squared_area(a, b, c)
    area2.backward()
    (value,) = area2.eval()
    print(f"triangle {points}")
    print(f"area {math.sqrt(value):.9f}, squared area {value:.9f}")

    for corner, expected in zip((a, b, c), closed_form(*points)):
        grad = corner.grad
        assert grad is not None, f"corner {corner.name} got no gradient"
        print(lanes(f"dA2/d{corner.name} backward   ", (grad[0], grad[1], grad[2])))
        print(lanes(f"dA2/d{corner.name} closed form", expected))
        for got, want in zip(grad, expected):
            assert math.isclose(got, want, rel_tol=1e-12, abs_tol=1e-12), (got, want)

    check = gradcheck(area2, [a, b, c])
    print(f"finite differences agree: {check.ok} (worst relative error {check.max_rel_error:.1e})")
    assert check.ok
    print("backward matches the closed form")


if __name__ == "__main__":
    main()
