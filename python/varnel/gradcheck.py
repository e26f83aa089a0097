"""Checking gradients from ``backward`` against finite differences."""

import math
import sys
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

from _varnel import Expression

from ._graph import walk

__all__ = ["GradcheckError", "GradcheckResult", "gradcheck"]

# Rounding error of one evaluation, in units of max(1, |value|): evaluating a
# graph rounds at every node, so allow a few dozen ulps rather than one.
_ROUNDING_ULPS = 64


@dataclass(frozen=True)
class GradcheckResult:
    """The outcome of :func:`gradcheck`.

    ``max_abs_error`` is the largest ``|analytic - numeric|`` over every
    checked lane; ``max_rel_error`` the largest of those differences divided
    by ``max(|analytic|, |numeric|, floor)``, where ``floor`` is the size
    below which a central difference cannot resolve a gradient (its
    rounding noise divided by ``rtol``). A lane passes when its absolute
    error is at most ``atol + rtol * max(|analytic|, |numeric|, floor)``.
    ``parameter`` and ``lane`` tell the worst lane, the one whose error
    exceeds that bound by the largest factor (with ``atol`` 0, the one with
    the largest relative error), with the two gradients there in
    ``analytic`` and ``numeric``; they are None and 0.0 when no lane was
    checked. ``ok`` is True when every lane passes.
    """

    ok: bool
    max_abs_error: float
    max_rel_error: float
    parameter: Expression | None
    lane: int | None
    analytic: float
    numeric: float

    def __bool__(self) -> bool:
        """The same as ``ok``, so that ``assert gradcheck(...)`` reads naturally."""
        return self.ok


class GradcheckError(AssertionError):
    """Raised by ``gradcheck(..., raise_exception=True)`` when a lane fails.

    The message names the worst lane and its two gradients; ``result`` is
    the full :class:`GradcheckResult`.
    """

    result: GradcheckResult
    """The outcome of the failed check."""

    def __init__(self, result: GradcheckResult, atol: float, rtol: float) -> None:
        """Describe the worst lane of ``result``, checked against ``atol`` and ``rtol``."""
        super().__init__(
            f"gradcheck failed at lane {result.lane} of {result.parameter!r}: backward gives "
            f"{result.analytic!r}, central differences {result.numeric!r} "
            f"(max absolute error {result.max_abs_error:.3g}, max relative error "
            f"{result.max_rel_error:.3g}; atol {atol!r}, rtol {rtol!r})"
        )
        self.result = result


def _is_finite(number: Any) -> bool:
    """Whether number is a finite real number; False, where math.isfinite
    raises, for what is not a number and for an int beyond every float."""
    try:
        return math.isfinite(number)
    except (TypeError, OverflowError):
        return False


def gradcheck(
    value: Expression,
    parameters: Iterable[Expression],
    eps: float = 1e-6,
    rtol: float = 1e-5,
    atol: float = 0.0,
    raise_exception: bool = False,
) -> GradcheckResult:
    """Compare ``value.backward()`` with central finite differences.

    ``value`` must have one lane (ValueError otherwise: check a several-lane
    value one lane at a time, through ``value.x``, ``value.y``, ...).
    ``parameters`` are Parameters (one Parameter stands for the list of
    it); each may or may not lie below ``value`` (one that does not has
    the gradient 0). For every lane of every
    parameter the numeric gradient is ``(f(x + eps) - f(x - eps)) / (2 eps)``,
    with the lane moved by ``set_value`` and ``f`` read by ``eval``.

    Afterwards every parameter has its old value again, and every Parameter
    below ``value`` its old gradient, also when the check raises; one that
    had no gradient has none. A Parameter below ``value`` whose gradient
    is not finite (the derivative of ``sqrt`` at 0) cannot be given it
    back, so the check refuses it with ValueError, before anything
    changes. Returns a :class:`GradcheckResult`; with
    ``raise_exception=True`` a failed check raises :class:`GradcheckError`
    instead, naming the worst lane, so a bare call in a test cannot pass
    unnoticed.
    """
    if value.dim != 1:
        raise ValueError(
            f"gradcheck needs a one-lane value, got {value.dim} lanes; "
            "check one lane at a time (value.x, value.y, ...)"
        )
    if not (_is_finite(eps) and eps > 0):
        raise ValueError("gradcheck eps must be a positive finite number")
    if not (_is_finite(rtol) and rtol > 0):
        raise ValueError("gradcheck rtol must be a positive finite number")
    if not (_is_finite(atol) and atol >= 0):
        raise ValueError("gradcheck atol must be a finite number >= 0")
    if isinstance(parameters, Expression):
        # Iterating it would yield its lanes, new Expressions that are not Parameters.
        parameters = [parameters]
    checked: dict[int, Expression] = {}
    for parameter in parameters:
        if not isinstance(parameter, Expression) or not parameter.is_parameter:
            raise ValueError(f"gradcheck parameters must be Parameters, got {parameter!r}")
        checked.setdefault(parameter.id, parameter)

    # zero_grad and backward touch every Parameter below value, listed or not.
    below = {node_id: node for node, node_id, _, _ in walk(value) if node.is_parameter}
    old_grads = {node_id: node.grad for node_id, node in below.items()}
    for node_id, grad_before in old_grads.items():
        # Only a seed brings a gradient back, and a seed must be finite.
        if grad_before is not None and not all(math.isfinite(lane) for lane in grad_before):
            raise ValueError(f"gradcheck cannot restore the gradient {grad_before!r} of {below[node_id]!r}, "
                             "which is not finite: clear it with zero_grad first")
    old_values = {node_id: parameter.value for node_id, parameter in checked.items()}
    try:
        value.zero_grad()
        value.backward()
        analytic = {node_id: below[node_id].grad for node_id in checked if node_id in below}
        noise = _ROUNDING_ULPS * sys.float_info.epsilon * max(1.0, abs(value.eval()[0])) / eps
        floor = noise / rtol
        max_abs = max_rel = worst_excess = worst_analytic = worst_numeric = 0.0
        worst_parameter: Expression | None = None
        worst_lane: int | None = None
        for node_id, parameter in checked.items():
            lanes = list(old_values[node_id])
            grad = analytic.get(node_id) or (0.0,) * len(lanes)
            for lane, centre in enumerate(lanes):
                lanes[lane] = centre + eps
                parameter.set_value(lanes)
                upper = value.eval()[0]
                lanes[lane] = centre - eps
                parameter.set_value(lanes)
                lower = value.eval()[0]
                numeric = (upper - lower) / ((centre + eps) - (centre - eps))
                lanes[lane] = centre
                parameter.set_value(lanes)
                error = abs(grad[lane] - numeric)
                scale = max(abs(grad[lane]), abs(numeric), floor)
                excess = error / (atol + rtol * scale)
                max_abs = max(max_abs, error)
                max_rel = max(max_rel, error / scale)
                if worst_parameter is None or excess > worst_excess:
                    worst_excess, worst_parameter, worst_lane = excess, parameter, lane
                    worst_analytic, worst_numeric = grad[lane], numeric
    finally:
        for node_id, parameter in checked.items():
            parameter.set_value(old_values[node_id])
        value.zero_grad()
        # A pass seeded on the Parameter itself adds exactly the seed to its
        # cleared gradient, which brings the old gradient back bit for bit.
        for node_id, grad_before in old_grads.items():
            if grad_before is not None:
                below[node_id].backward(grad_before)
    result = GradcheckResult(
        ok=worst_excess <= 1.0,
        max_abs_error=max_abs,
        max_rel_error=max_rel,
        parameter=worst_parameter,
        lane=worst_lane,
        analytic=worst_analytic,
        numeric=worst_numeric,
    )
    if raise_exception and not result.ok:
        raise GradcheckError(result, atol, rtol)
    return result
