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
from .gradcheck import GradcheckError, GradcheckResult, gradcheck
from .graphviz import GraphPicture, draw, render, to_dot
from .plotting import plot_fit

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
    "compile",
    "cos",
    "draw",
    "gradcheck",
    "least_squares",
    "optim",
    "plot_fit",
    "render",
    "sin",
    "solve",
    "to_dot",
    "vec2",
    "vec3",
    "vec4",
]
