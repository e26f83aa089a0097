"""varnel.compile, in front of the companion module's compile.

help() shows a function of the binding library as a method of the library's
internal record; this plain function shows as what it is, with its
signature and the whole story.
"""

from collections.abc import Sequence
from typing import Any, overload

from _varnel import Expression

from . import _compiled
from ._compiled import Function

__all__ = ["compile"]


def _load_function(form: bytes, single_output: bool, single_input: bool) -> Function[Any, Any]:
    """Unpickles a Function: what ``Function.__reduce__`` names, a plain
    function of this package, so that a pickle refers to it by module and
    name alone."""
    return _compiled._load_function(form, single_output, single_input)


_Lanes = tuple[float, ...]


# One output Expression gives one lane tuple per call, a sequence one per
# output; the same holds for the inputs and vjp's gradients.
@overload
def compile(outputs: Expression, inputs: Expression) -> Function[_Lanes, _Lanes]: ...
@overload
def compile(outputs: Expression, inputs: Sequence[Expression] = ()) -> Function[_Lanes, tuple[_Lanes, ...]]: ...
@overload
def compile(outputs: Sequence[Expression], inputs: Expression) -> Function[tuple[_Lanes, ...], _Lanes]: ...
@overload
def compile(outputs: Sequence[Expression],
            inputs: Sequence[Expression] = ()) -> Function[tuple[_Lanes, ...], tuple[_Lanes, ...]]: ...


def compile(outputs: Expression | Sequence[Expression],
            inputs: Expression | Sequence[Expression] = ()) -> Function[Any, Any]:
    """Compile the graph below ``outputs`` into a :class:`Function` of ``inputs``.

    ``outputs`` and ``inputs`` are each one Expression or a sequence of
    them. Inputs must be ``Undefined`` or ``Parameter`` leaves, none twice,
    and every ``Undefined`` below an output must be an input; all of this
    is checked here, once. Constants are baked in; a Parameter that is not
    an input is read at every call, so ``set_value`` needs no compiling
    again. The Function keeps its graph alive.

    Made from one output Expression, the Function's calls return one tuple
    of lanes; made from a sequence, a tuple with one lane tuple per output.
    The same holds for the inputs and the gradients ``vjp`` returns::

        x = Undefined(dim=3, name="x")
        f = varnel.compile(x * x, [x])
        f((1.0, 2.0, 3.0))           # (1.0, 4.0, 9.0)
        f.jacobian((1.0, 2.0, 3.0))  # 3 rows of 3: diagonal 2, 4, 6
        f([1.0, 2.0, 3.0], flat=True)           # array([1., 4., 9.])
        f.jacobian([1.0, 2.0, 3.0], flat=True)  # a 3 x 3 NumPy array

    With ``flat=True``, a call, ``vjp`` and ``jacobian`` take one vector of
    every input lane in order and return NumPy arrays: values of shape
    (m,), gradients of shape (n,), the Jacobian of shape (m, n), as
    ``scipy.optimize`` and array libraries pass them around;
    ``value_and_jacobian`` gives values and Jacobian from one forward pass.
    ``map``, ``map_vjp`` and ``map_jacobian`` take rows as ``numpy.asarray``
    does and run them in blocks, on ``threads=`` threads, without the
    interpreter lock.

    A Function pickles, so it goes to other processes and machines (Dask,
    multiprocessing) with the values its Parameters hold then; unpickled,
    it is standalone, its Parameters frozen copies (see the README).

    Raises ValueError, TypeError or RuntimeError (an Undefined that is not
    an input, named) with the messages the README lists; nothing is left
    behind.
    """
    return _compiled.compile(outputs, inputs)
