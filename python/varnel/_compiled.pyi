"""Compiled functions: a graph frozen once, then evaluated, differentiated
and mapped over rows of inputs without walking it again."""

from collections.abc import Sequence
from typing import Any, TypeAlias, final, overload

from _varnel import Expression

_Lanes: TypeAlias = tuple[float, ...]
"""One value's lanes: one float per lane, lane 0 first."""

_LaneInput: TypeAlias = float | Sequence[float]
"""One value's lanes as accepted: a number, or 1..4 numbers."""

class _FunctionType(type):
    """The binding library's metaclass of ``Function``."""

@final
class Function(metaclass=_FunctionType):
    """The outputs of a graph as a function of some of its leaves.

    Made by :func:`compile`. Constants are baked in; Parameters that are not
    inputs are read at every call, so ``set_value`` is seen without compiling
    again. Made from one output Expression, calls return one lane tuple;
    made from a sequence, a tuple with one lane tuple per output. The same
    holds for the inputs and the gradients ``vjp`` returns.
    """

    def __init__(self, *args: object, **kwargs: object) -> None:
        """Always raises TypeError: Functions are made by ``compile``."""
    def __call__(self, *input_values: _LaneInput) -> Any:
        """The outputs' lanes for these input values, one argument per input."""
    def vjp(self, *input_values: _LaneInput, seeds: _LaneInput | Sequence[_LaneInput] | None = None) -> Any:
        """The gradient of the seeded outputs with respect to each input.

        ``seeds`` holds one seed per output (one seed for a Function of one
        output); without it every output must have one lane and gets 1.0.
        Like ``backward``, also adds into the ``grad`` of every Parameter
        below the outputs that is not an input.
        """
    def jacobian(self, *input_values: _LaneInput) -> tuple[_Lanes, ...]:
        """One row per output lane, one column per input lane."""
    def map(self, rows: Any, /) -> Any:
        """Evaluates every row of a 2-D float64 buffer of shape (N, input
        lanes) into a NumPy array of shape (N, output lanes). Needs NumPy."""

@overload
def compile(outputs: Expression, inputs: Expression | Sequence[Expression] = ()) -> Function: ...
@overload
def compile(outputs: Sequence[Expression], inputs: Expression | Sequence[Expression] = ()) -> Function: ...
