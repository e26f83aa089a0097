"""The elementary functions of the C math library on values, lane by lane.

Each takes what ``sin`` takes: an Expression, or a number, a sequence of
1..4 numbers or a NumPy scalar or array, which becomes a Constant; with
only Constants the result is folded into a new Constant. The functions of
two operands combine lane counts as the arithmetic operators do. A lane
outside a function's domain, or one that overflows, is NaN or infinite and
raises ValueError, as any lane that is not finite does.
"""

from collections.abc import Sequence
from typing import TypeAlias

from _varnel import Expression

_Operand: TypeAlias = Expression | float | Sequence[float]
"""An operand: a value, or a number or 1..4 numbers that become a Constant."""

def sqrt(x: _Operand, /) -> Expression:
    """Square root; x >= 0. The derivative at 0 is infinite."""

def exp(x: _Operand, /) -> Expression:
    """e to the power x."""

def log(x: _Operand, /) -> Expression:
    """Natural logarithm; x > 0."""

def tan(x: _Operand, /) -> Expression:
    """Tangent, in radians."""

def asin(x: _Operand, /) -> Expression:
    """Arc sine, in radians; -1 <= x <= 1."""

def acos(x: _Operand, /) -> Expression:
    """Arc cosine, in radians; -1 <= x <= 1."""

def atan(x: _Operand, /) -> Expression:
    """Arc tangent, in radians."""

def sinh(x: _Operand, /) -> Expression:
    """Hyperbolic sine."""

def cosh(x: _Operand, /) -> Expression:
    """Hyperbolic cosine."""

def tanh(x: _Operand, /) -> Expression:
    """Hyperbolic tangent."""

def abs(x: _Operand, /) -> Expression:
    """Absolute value; the derivative at 0 is 0."""

def log1p(x: _Operand, /) -> Expression:
    """log(1 + x), exact for small x; x > -1."""

def expm1(x: _Operand, /) -> Expression:
    """exp(x) - 1, exact for small x."""

def cbrt(x: _Operand, /) -> Expression:
    """Cube root, of any sign. The derivative at 0 is infinite."""

def pow(base: _Operand, exponent: _Operand, /) -> Expression:
    """base to the power exponent. A negative base takes integral exponents
    only; the exponent is differentiated only when it is not a Constant."""

def atan2(y: _Operand, x: _Operand, /) -> Expression:
    """The angle of the point (x, y), in radians, in [-pi, pi]."""

def hypot(x: _Operand, y: _Operand, /) -> Expression:
    """sqrt(x * x + y * y) without overflow in between; the derivative at
    the origin is 0."""
