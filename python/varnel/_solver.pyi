"""The C++ of varnel.least_squares and varnel.solve (python/varnel/_solve.py
documents them): a trust-region Levenberg-Marquardt iteration over the
compiled residuals."""

from collections.abc import Sequence
from typing import Any, final

from _varnel import Expression


class _SolveResultType(type):
    """The binding library's metaclass of ``SolveResult``."""

@final
class SolveResult(metaclass=_SolveResultType):
    """What least_squares and solve found, and how."""

    def __init__(self, *args: object, **kwargs: object) -> None:
        """Always raises TypeError: results are made by the solvers."""
    @property
    def x(self) -> Any:
        """The unknowns' values at the end: lanes per unknown, as eval gives them
        (one tuple for a single unknown, else a tuple of them)."""
    @property
    def cost(self) -> float:
        """The cost there; with the linear loss, half the sum of squared residuals."""
    @property
    def residuals(self) -> Any:
        """Every residual lane there (a NumPy array where NumPy is installed, else a tuple)."""
    @property
    def jacobian(self) -> Any:
        """d(residual lane)/d(unknown lane) there, one row per residual lane; with the sparse
        layout a scipy.sparse.csr_array (without SciPy, the compressed rows as a tuple
        (values, column indices, row starts))."""
    @property
    def layout(self) -> str:
        """How the solver held the Jacobian: 'dense' or 'sparse'."""
    @property
    def iterations(self) -> int:
        """Steps tried, accepted or not."""
    @property
    def evaluations(self) -> tuple[int, int]:
        """(evaluations of the residuals, evaluations of the Jacobian)."""
    @property
    def success(self) -> bool:
        """Whether it converged (least_squares) or satisfied every equation (solve)."""
    @property
    def status(self) -> str:
        """Why it stopped: 'ftol', 'xtol', 'gtol', 'precision', 'solved' (converged);
        'max_iterations', 'not_finite', 'not_solved'."""
    @property
    def message(self) -> str:
        """The status in words."""
    @property
    def covariance(self) -> Any:
        """s^2 (J^T J)^-1 over the unknown lanes, with s^2 = sum(r^2) / (residual lanes -
        unknown lanes), of the rows weighed by sqrt(rho') with a robust loss; None without degrees
        of freedom, with a rank-deficient J, or with the sparse layout."""
    @property
    def standard_errors(self) -> Any:
        """The square roots of the covariance's diagonal, lanes per unknown; None without
        degrees of freedom or with a rank-deficient J."""

DEFAULTS: dict[str, Any]
"""The options' defaults: loss, f_scale, max_iterations, ftol, xtol, gtol, tolerance, jacobian."""

def least_squares(
    residuals: Expression | Sequence[Expression],
    unknowns: Expression | Sequence[Expression],
    x0: object,
    loss: str,
    f_scale: float,
    max_iterations: int,
    ftol: float,
    xtol: float,
    gtol: float,
    update: bool,
    verbose: bool,
    jacobian: str,
) -> SolveResult:
    """varnel.least_squares, with every argument given."""

def solve(
    equations: Expression | Sequence[Expression],
    unknowns: Expression | Sequence[Expression],
    x0: object,
    tolerance: float,
    max_iterations: int,
    ftol: float,
    xtol: float,
    gtol: float,
    update: bool,
    verbose: bool,
    jacobian: str,
) -> SolveResult:
    """varnel.solve, with every argument given."""
