"""Compiled functions: a graph frozen once, then evaluated, differentiated
and mapped over rows of inputs without walking it again."""

from collections.abc import Sequence
from types import GenericAlias
from typing import Any, Generic, Literal, SupportsFloat, TypeAlias, TypeVar, final, overload

import numpy
from numpy.typing import ArrayLike, NDArray

from _varnel import Expression

_Lanes: TypeAlias = tuple[float, ...]
"""One value's lanes: one float per lane, lane 0 first."""

_LaneInput: TypeAlias = SupportsFloat | Sequence[SupportsFloat] | NDArray[numpy.floating[Any] | numpy.integer[Any]]
"""One value's lanes as accepted: a number (NumPy's too), or 1..4 numbers
in a sequence or a NumPy array."""

_Array: TypeAlias = NDArray[numpy.float64]
"""What map and flat=True return."""

_Values = TypeVar("_Values", covariant=True)
"""What a call returns: one lane tuple, or one per output."""

_Gradients = TypeVar("_Gradients", covariant=True)
"""What vjp returns: one lane tuple, or one per input."""

class _FunctionType(type):
    """The binding library's metaclass of ``Function``."""

@final
class Function(Generic[_Values, _Gradients], metaclass=_FunctionType):
    """The outputs of a graph as a function of some of its leaves.

    Made by :func:`compile`. Constants are baked in; Parameters that are not
    inputs are read at every call, so ``set_value`` is seen without compiling
    again. Made from one output Expression, calls return one lane tuple;
    made from a sequence, a tuple with one lane tuple per output. The same
    holds for the inputs and the gradients ``vjp`` returns.

    With ``flat=True``, a call, ``vjp``, ``jacobian`` and
    ``value_and_jacobian`` take one vector of every input lane (n numbers)
    and return NumPy arrays: values of shape (m,), gradients of shape (n,),
    the Jacobian of shape (m, n).

    A Function pickles (every protocol) with its tape, constants and the
    values its Parameters hold then; unpickled, in this process or another,
    it is standalone: the same bits, with frozen copies of the Parameters
    (``set_value`` on the originals is not seen, and ``vjp`` adds their
    gradients into the copies). ``copy.copy`` shares the graph.
    """

    def __init__(self, *args: object, **kwargs: object) -> None:
        """Always raises TypeError: Functions are made by ``compile``."""
    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """``Function[values, gradients]`` for annotations read at run time."""
    @overload
    def __call__(self, *input_values: _LaneInput, flat: Literal[False] = False) -> _Values:
        """The outputs' lanes for these input values, one argument per input."""
    @overload
    def __call__(self, input_vector: ArrayLike, /, *, flat: Literal[True]) -> _Array:
        """Every output lane, shape (m,), for a vector of every input lane."""
    @overload
    def vjp(
        self,
        *input_values: _LaneInput,
        seeds: _LaneInput | Sequence[_LaneInput] | None = None,
        flat: Literal[False] = False,
    ) -> _Gradients:
        """The gradient of the seeded outputs with respect to each input.

        ``seeds`` holds one seed per output (one seed for a Function of one
        output); without it every output must have one lane and gets 1.0.
        Like ``backward``, also adds into the ``grad`` of every Parameter
        below the outputs that is not an input.
        """
    @overload
    def vjp(self, input_vector: ArrayLike, /, *, seeds: ArrayLike | None = None, flat: Literal[True]) -> _Array:
        """The gradient, shape (n,), for a vector of every input lane and
        (when given) a vector of every output lane's seed."""
    @overload
    def jacobian(self, *input_values: _LaneInput, flat: Literal[False] = False) -> tuple[_Lanes, ...]:
        """One row per output lane, one column per input lane."""
    @overload
    def jacobian(self, input_vector: ArrayLike, /, *, flat: Literal[True]) -> _Array:
        """The Jacobian, shape (m, n), for a vector of every input lane."""
    @overload
    def value_and_jacobian(
        self, *input_values: _LaneInput, flat: Literal[False] = False
    ) -> tuple[_Values, tuple[_Lanes, ...]]:
        """The call's values and ``jacobian``'s rows, from one forward pass."""
    @overload
    def value_and_jacobian(self, input_vector: ArrayLike, /, *, flat: Literal[True]) -> tuple[_Array, _Array]:
        """Every output lane, shape (m,), and the Jacobian, shape (m, n), for
        a vector of every input lane: what least-squares solvers ask for."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickles the tape, constants and current Parameter values."""
    def __copy__(self) -> Function[_Values, _Gradients]:
        """Another Function over the same graph."""
    def map(self, rows: ArrayLike, /, *, threads: int | None = None) -> _Array:
        """Evaluates every row of what ``numpy.asarray`` makes a 2-D float64
        array of shape (N, input lanes) into a NumPy array of shape
        (N, output lanes), in blocks of rows, without the interpreter lock,
        on ``threads`` threads (None: up to :func:`varnel.default_threads`,
        where the work is large enough to gain, else 1). Needs NumPy."""
    def map_vjp(
        self, rows: ArrayLike, /, seeds: ArrayLike | None = None, *, accumulate: bool = False, threads: int | None = None
    ) -> _Array:
        """Each row's gradient with respect to the inputs, shape
        (N, input lanes). ``seeds`` has shape (m,) (every row alike) or
        (N, m); without it every output must have one lane and gets 1.0.
        With ``accumulate=True``, adds the sum over rows into the ``grad`` of
        the Parameters below the outputs that are not inputs."""
    def map_jacobian(self, rows: ArrayLike, /, *, threads: int | None = None) -> _Array:
        """Each row's Jacobian, shape (N, output lanes, input lanes)."""

@overload
def compile(outputs: Expression, inputs: Expression) -> Function[_Lanes, _Lanes]: ...
@overload
def compile(outputs: Expression, inputs: Sequence[Expression] = ()) -> Function[_Lanes, tuple[_Lanes, ...]]: ...
@overload
def compile(outputs: Sequence[Expression], inputs: Expression) -> Function[tuple[_Lanes, ...], _Lanes]: ...
@overload
def compile(
    outputs: Sequence[Expression], inputs: Sequence[Expression] = ()
) -> Function[tuple[_Lanes, ...], tuple[_Lanes, ...]]: ...

def _load_function(form: bytes | bytearray | memoryview, single_output: bool, single_input: bool) -> Function[Any, Any]:
    """The Function pickling saved as ``form``; ValueError for bytes that are
    not such a form, are damaged, or hold other than one output (one input)
    where ``single_output`` (``single_input``) is set."""
