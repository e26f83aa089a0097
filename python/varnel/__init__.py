"""varnel: value graphs of short float vectors with reverse-mode gradients.

Everything of the compiled module ``_varnel`` is here under the same names
(``Constant``, ``Parameter``, ``Undefined``, ``Expression``, ``vec2``,
``vec3``, ``vec4``, ``sin``, ``cos``, ``__version__``), together with
helpers written on its public surface:

- :func:`to_dot`, :func:`render` and :func:`draw`: pictures of a graph;
- :func:`gradcheck`: ``backward`` against finite differences;
- :mod:`varnel.optim`: the optimizers ``SGD``, ``Adam`` and ``AdamW``;
- :func:`compile` and :class:`Function`: a graph frozen once and evaluated,
  differentiated and mapped over rows of inputs at compiled speed;
- the elementary functions of the C math library, lane by lane: ``sqrt``,
  ``exp``, ``log``, ``tan``, ``asin``, ``acos``, ``atan``, ``sinh``,
  ``cosh``, ``tanh``, ``abs``, ``log1p``, ``expm1``, ``cbrt``, and of two
  operands ``pow``, ``atan2`` and ``hypot``;
- :func:`least_squares` and :func:`solve`: the unknowns that fit residuals
  or satisfy equations, found in C++, with a :class:`SolveResult`;
- :func:`plot_fit`: a picture of a fit, its residuals and its cost per
  iteration (needs matplotlib).
"""

from _varnel import (
    Constant,
    Expression,
    Parameter,
    Undefined,
    __version__,
    cos,
    sin,
    vec2,
    vec3,
    vec4,
)

from . import optim
from ._compile import compile
from ._compiled import Function
from ._solve import least_squares, solve
from ._solver import SolveResult
from ._threads import default_threads
from ._functions import (
    abs,
    acos,
    asin,
    atan,
    atan2,
    cbrt,
    cosh,
    exp,
    expm1,
    hypot,
    log,
    log1p,
    pow,
    sinh,
    sqrt,
    tan,
    tanh,
)
from .gradcheck import GradcheckError, GradcheckResult, gradcheck
from .graphviz import GraphPicture, draw, render, to_dot
from .plotting import plot_fit

# abs and pow are left out, so that `from varnel import *` keeps Python's
# own: use them as varnel.abs and varnel.pow.
__all__ = [
    "Constant",
    "Expression",
    "Function",
    "GradcheckError",
    "GradcheckResult",
    "GraphPicture",
    "Parameter",
    "SolveResult",
    "Undefined",
    "__version__",
    "acos",
    "asin",
    "atan",
    "atan2",
    "cbrt",
    "compile",
    "cos",
    "cosh",
    "default_threads",
    "draw",
    "exp",
    "expm1",
    "gradcheck",
    "hypot",
    "least_squares",
    "log",
    "log1p",
    "optim",
    "plot_fit",
    "render",
    "sin",
    "sinh",
    "solve",
    "sqrt",
    "tan",
    "tanh",
    "to_dot",
    "vec2",
    "vec3",
    "vec4",
]
