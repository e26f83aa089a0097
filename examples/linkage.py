"""A four-bar linkage from a rough sketch: varnel.solve finds where the
joints must be.

The frame holds A at (0, 0) and D at (4, 0). The crank AB (length 2) makes
60 degrees with the frame, the coupler BC is 3.5 long and the rocker CD 2.5.
The joints B and C are Undefined points whose hints are where the sketch
drew them; the constraints are equations in them: squared distances, and
the crank's angle as "the cross product against the dot product" of AD
and AB, which holds at 60 degrees and needs no inverse tangent. A linkage
assembles in two ways; the hints pick one, and moving C's hint below the
frame picks the other.
"""

import math

import varnel
from varnel import Expression, Undefined, vec2

A = (0.0, 0.0)
D = (4.0, 0.0)
CRANK, COUPLER, ROCKER = 2.0, 3.5, 2.5
ANGLE = math.radians(60.0)


def squared(v: Expression) -> Expression:
    return v.x * v.x + v.y * v.y


def constraints(b: Expression, c: Expression) -> list[Expression]:
    ab = b - vec2(*A)
    ad = vec2(D[0] - A[0], D[1] - A[1])
    cross = ad.x * ab.y - ad.y * ab.x
    dot = ad.x * ab.x + ad.y * ab.y
    return [
        squared(ab) - CRANK**2,
        squared(c - b) - COUPLER**2,
        squared(c - vec2(*D)) - ROCKER**2,
        cross * math.cos(ANGLE) - dot * math.sin(ANGLE),
    ]


def show(label: str, hint_c: tuple[float, float]) -> None:
    b = Undefined(hint=(1.0, 1.5), name="B")
    c = Undefined(hint=hint_c, name="C")
    result = varnel.solve(constraints(b, c), [b, c])
    (bx, by), (cx, cy) = result.x
    print(f"{label}: C sketched at {hint_c}")
    print(f"  {result.status} after {result.iterations} iterations, largest residual "
          f"{max(abs(r) for r in result.residuals):.1e}")
    print(f"  B = ({bx:.6f}, {by:.6f})   C = ({cx:.6f}, {cy:.6f})")
    lengths = (math.dist(A, (bx, by)), math.dist((bx, by), (cx, cy)), math.dist((cx, cy), D))
    angle = math.degrees(math.atan2(by - A[1], bx - A[0]))
    print(f"  AB {lengths[0]:.6f}  BC {lengths[1]:.6f}  CD {lengths[2]:.6f}  crank angle {angle:.6f} degrees")


def main() -> None:
    show("C above the frame", (3.0, 2.5))
    show("C below the frame", (3.0, -1.0))


if __name__ == "__main__":
    main()
