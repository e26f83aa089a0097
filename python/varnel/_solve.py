"""varnel.least_squares and varnel.solve, in front of the companion module
_solver, whose C++ does the work: plain functions, so that help() shows
their signatures and the whole story."""

from collections.abc import Sequence

from _varnel import Expression

from . import _solver
from ._solver import SolveResult

__all__ = ["least_squares", "solve"]

_DEFAULTS = _solver.DEFAULTS


def least_squares(residuals: Expression | Sequence[Expression],
                  unknowns: Expression | Sequence[Expression], *,
                  x0: object = None,
                  loss: str = _DEFAULTS["loss"],
                  f_scale: float = _DEFAULTS["f_scale"],
                  max_iterations: int = _DEFAULTS["max_iterations"],
                  ftol: float = _DEFAULTS["ftol"],
                  xtol: float = _DEFAULTS["xtol"],
                  gtol: float = _DEFAULTS["gtol"],
                  update: bool = False,
                  verbose: bool = False,
                  jacobian: str = _DEFAULTS["jacobian"]) -> SolveResult:
    """Find the unknowns that minimise the cost of the residuals.

    ``residuals``: one Expression or a sequence; every lane of every one is
    a residual r_i, and there must be at least as many as unknown lanes.
    ``unknowns``: one ``Undefined`` or ``Parameter`` leaf, or a sequence of
    them, none twice. Every ``Undefined`` below the residuals must be one
    of them; Parameters that are not unknowns are read as they are.

    ``x0``: where to start, shaped like ``unknowns``: the lanes of the one
    unknown (a number or 1..4 numbers), or one such item per unknown. By
    default an ``Undefined`` starts at its hint (one without a hint is a
    ValueError that names it) and a ``Parameter`` at its value.

    ``loss``: ``"linear"`` minimises 0.5 * sum(r_i**2). For data with
    outliers, ``"huber"``, ``"soft_l1"``, ``"cauchy"`` and ``"arctan"``
    minimise 0.5 * f_scale**2 * sum(rho((r_i / f_scale)**2)) with rho(z) =
    z up to 1 and 2 sqrt(z) - 1 beyond (huber), 2 (sqrt(1 + z) - 1),
    log(1 + z) and atan(z); ``f_scale`` is the residual size where they
    start to flatten.

    ``max_iterations``: steps to try at most, accepted or not. ``ftol``,
    ``xtol``, ``gtol``: stop once the cost drops by less than ``ftol``
    relatively, the step is below ``xtol`` relative to the scaled unknowns,
    or every Jacobian column's cosine with the residuals is below ``gtol``.
    The defaults run to the limits of double precision.

    ``update``: write the solution into the Parameter unknowns
    (``set_value``) when the solve succeeds; otherwise nothing in the graph
    changes, success or not. ``verbose``: print one line per step
    (iteration, cost, step length, largest gradient entry, trust radius).
    Ctrl-C stops a solve between steps.

    ``jacobian``: how the solver holds the Jacobian. ``"dense"``: the whole
    matrix, with QR steps. ``"sparse"``: only the entries each residual can
    make nonzero (the lanes of the unknowns below it), with steps from a
    sparse Cholesky factorisation; for large problems where each residual
    reaches a few unknowns. ``"auto"`` takes the sparse way for 100 unknown
    lanes or more when at most 5% of the entries can be nonzero. With it,
    ``result.jacobian`` is a ``scipy.sparse.csr_array`` and ``covariance``
    is None; ``standard_errors`` come from the sparse factor.

    The method is a trust-region Levenberg-Marquardt iteration on the exact
    Jacobian, with scaled unknowns, run in C++. Returns a
    :class:`SolveResult`: ``x``, ``cost``, ``residuals``, ``jacobian``,
    ``layout``, ``iterations``, ``evaluations``, ``success``, ``status``,
    ``message``, ``covariance`` and ``standard_errors``::

        a, b = Undefined(hint=1.0, name="a"), Undefined(hint=0.0, name="b")
        fit = varnel.least_squares([a * t + b - y for t, y in data], [a, b])
        fit.x, fit.standard_errors     # ((a,), (b,)) and their errors

    Raises ValueError, TypeError or RuntimeError with the messages the
    README lists, before any step; nothing is left behind.
    """
    return _solver.least_squares(residuals, unknowns, x0, loss, f_scale, max_iterations, ftol, xtol, gtol,
                                 update, verbose, jacobian)


def solve(equations: Expression | Sequence[Expression],
          unknowns: Expression | Sequence[Expression], *,
          x0: object = None,
          tolerance: float = _DEFAULTS["tolerance"],
          max_iterations: int = _DEFAULTS["max_iterations"],
          ftol: float = _DEFAULTS["ftol"],
          xtol: float = _DEFAULTS["xtol"],
          gtol: float = _DEFAULTS["gtol"],
          update: bool = False,
          verbose: bool = False,
          jacobian: str = _DEFAULTS["jacobian"]) -> SolveResult:
    """Find values of the unknowns where every equation lane is zero.

    ``equations``: one Expression or a sequence; every lane of every one
    must become 0, and there must be at least as many as unknown lanes.
    ``unknowns``, ``x0``, ``max_iterations``, ``ftol``, ``xtol``, ``gtol``,
    ``update``, ``verbose`` and ``jacobian`` are those of
    :func:`least_squares`.
    ``tolerance``: the largest equation lane, in absolute value, that a
    solution may leave.

    It minimises half the sum of the squared equation lanes and succeeds
    (status ``"solved"``) when every lane ends within ``tolerance``.
    Otherwise ``success`` is False and ``status`` says why: ``"not_solved"``
    when it converged to a point that does not satisfy the equations (they
    may have no solution near the start), or ``"max_iterations"``::

        p = Undefined(hint=(2.0, -1.0), name="p")   # 5 from (0, 0) and from (6, 0)
        d = p - (6.0, 0.0)
        varnel.solve([p.x * p.x + p.y * p.y - 25, d.x * d.x + d.y * d.y - 25], p).x   # (3.0, -4.0)
    """
    return _solver.solve(equations, unknowns, x0, tolerance, max_iterations, ftol, xtol, gtol, update, verbose,
                         jacobian)
