"""Value graphs of short float vectors with reverse-mode differentiation.

Every value has one to four float lanes. Leaves are made with ``Constant``,
``Parameter`` and ``Undefined``; expressions with the operators of
``Expression`` and with ``vec2``, ``vec3``, ``vec4``, ``sin`` and ``cos``.
Operations whose operands are all constants are folded into a new constant.
"""

from collections.abc import Sequence
from typing import Any, ClassVar, Final, SupportsFloat, SupportsIndex, TypeAlias, final, overload

import numpy
from numpy.typing import NDArray

__version__: Final[str]

_Lanes: TypeAlias = tuple[float, ...]
"""Lane values as the module returns them: one float per lane, lane 0 first."""

_Number: TypeAlias = SupportsFloat
"""One lane as accepted: a Python or NumPy number."""

_LaneSequence: TypeAlias = Sequence[SupportsFloat] | NDArray[numpy.bool_ | numpy.integer[Any] | numpy.floating[Any]]
"""1..4 lanes as accepted: a sequence of numbers or a NumPy array."""

_LaneInput: TypeAlias = _Number | _LaneSequence
"""A lane value as accepted in one argument: a number, or 1..4 numbers."""

_Operand: TypeAlias = Expression | _LaneInput
"""An operand: a value, or a number or 1..4 numbers that become a Constant."""

_Name: TypeAlias = str | bytes | bytearray
"""A node name: a str (stored as UTF-8) or raw bytes."""

class _ExpressionType(type):
    """The binding library's metaclass of ``Expression``."""

@final
class Expression(metaclass=_ExpressionType):
    """One node of a value graph; the only way to reach it from Python.

    Instances come only from the module's functions, operators and
    properties; the class has no constructor. Two objects may share one
    node: compare ``id`` to tell, never ``is`` or ``==``.
    """

    def __init__(self, *args: object, **kwargs: object) -> None:
        """Always raises TypeError: values are made by the module's functions."""
    @property
    def id(self) -> int:
        """The node's process-wide id, 1 or more, unique per node."""
    @property
    def kind(self) -> str:
        """"Constant", "Parameter", "Undefined" or "Expression"."""
    @property
    def op(self) -> str:
        """The operator of an expression ("Add", "Sin", ...); "None" on a leaf."""
    @property
    def dim(self) -> int:
        """The number of lanes, 1 to 4."""
    @property
    def dimension(self) -> int:
        """The number of lanes, 1 to 4 (same as ``dim``)."""
    @property
    def name(self) -> str:
        """The name given at creation, or the empty str."""
    @property
    def is_constant(self) -> bool:
        """Whether the node is a Constant."""
    @property
    def is_parameter(self) -> bool:
        """Whether the node is a Parameter."""
    @property
    def is_undefined(self) -> bool:
        """Whether the node is an Undefined input."""
    @property
    def is_expression(self) -> bool:
        """Whether the node is an expression (has operands)."""
    @property
    def is_leaf(self) -> bool:
        """Whether the node is a Constant, Parameter or Undefined."""
    @property
    def value(self) -> _Lanes:
        """The lanes of a Constant or Parameter; RuntimeError on other kinds."""
    @property
    def hint(self) -> _Lanes | None:
        """The hint of an Undefined made with one, else None."""
    @property
    def grad(self) -> _Lanes | None:
        """The accumulated gradient of a Parameter, or None when it has none."""
    @property
    def inputs(self) -> tuple[Expression, ...]:
        """The operands in order, as new objects; the empty tuple on a leaf."""
    @property
    def x(self) -> Expression:
        """Lane 0 as a one-lane value."""
    @property
    def y(self) -> Expression:
        """Lane 1 as a one-lane value; IndexError below two lanes."""
    @property
    def z(self) -> Expression:
        """Lane 2 as a one-lane value; IndexError below three lanes."""
    @property
    def w(self) -> Expression:
        """Lane 3 as a one-lane value; IndexError below four lanes."""
    def __getitem__(self, index: SupportsIndex, /) -> Expression:
        """Lane ``index`` as a one-lane value; no negative indexes."""
    @property
    def _component_index(self) -> int:
        """The lane a Component node selects; -1 on any other node."""
    __array_ufunc__: ClassVar[None]
    """None: NumPy leaves operators with an Expression to its reflected methods."""
    def eval(self) -> _Lanes:
        """Evaluate the graph below this value from its leaves' current values."""
    @overload
    def set_value(self, lane: _Number, /, *lanes: _Number) -> None:
        """Give a Parameter new lanes, as 1..4 numbers."""
    @overload
    def set_value(self, lanes: _LaneSequence, /) -> None:
        """Give a Parameter new lanes, as one sequence of 1..4 numbers."""
    def backward(self, seed: _LaneInput | None = None) -> None:
        """Add the gradient of this value to every Parameter below it.

        Without a seed the value must have one lane and the seed is 1.0;
        otherwise the seed has the value's lane count.
        """
    def zero_grad(self) -> None:
        """Clear the gradient of every Parameter below (and at) this value."""
    def __add__(self, other: _Operand, /) -> Expression: ...
    def __radd__(self, other: _LaneInput, /) -> Expression: ...
    def __sub__(self, other: _Operand, /) -> Expression: ...
    def __rsub__(self, other: _LaneInput, /) -> Expression: ...
    def __mul__(self, other: _Operand, /) -> Expression: ...
    def __rmul__(self, other: _LaneInput, /) -> Expression: ...
    def __truediv__(self, other: _Operand, /) -> Expression: ...
    def __rtruediv__(self, other: _LaneInput, /) -> Expression: ...
    def __neg__(self) -> Expression: ...

@overload
def Constant(lane: _Number, /, *lanes: _Number) -> Expression:
    """A constant of 1..4 lanes given as numbers."""

@overload
def Constant(lanes: _LaneSequence, /) -> Expression:
    """A constant of 1..4 lanes given as one sequence."""

@overload
def Parameter(lane: _Number, /, *lanes: _Number, name: _Name = ...) -> Expression:
    """A tunable parameter of 1..4 lanes given as numbers."""

@overload
def Parameter(lanes: _LaneSequence, /, *, name: _Name = ...) -> Expression:
    """A tunable parameter of 1..4 lanes given as one sequence."""

def Undefined(
    *, hint: _LaneInput | None = None, dim: SupportsIndex = ..., name: _Name = ...
) -> Expression:
    """An input of known lane count (``dim``, default 1) that cannot be evaluated.

    A ``hint`` records an expected value; its lane count gives the dimension
    and must agree with ``dim`` when both are given.
    """

def vec2(x: _Operand, y: _Operand, /) -> Expression:
    """Pack two one-lane values into a two-lane value."""

def vec3(x: _Operand, y: _Operand, z: _Operand, /) -> Expression:
    """Pack three one-lane values into a three-lane value."""

def vec4(x: _Operand, y: _Operand, z: _Operand, w: _Operand, /) -> Expression:
    """Pack four one-lane values into a four-lane value."""

def sin(x: _Operand, /) -> Expression:
    """Lane-wise sine, in radians."""

def cos(x: _Operand, /) -> Expression:
    """Lane-wise cosine, in radians."""
