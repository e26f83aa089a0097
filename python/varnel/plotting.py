"""Pictures of a fit: the data with the fitted model, the residuals, and the cost per iteration.

matplotlib is optional: only :func:`plot_fit` needs it, and it says how to
install it when it is missing. The figure is drawn without pyplot, so no
window, display or backend setting is involved until a notebook shows it.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeAlias

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    from matplotlib.figure import Figure

    Vector: TypeAlias = np.ndarray[tuple[int], np.dtype[np.float64]]

__all__ = ["plot_fit"]

_INSTALL_HINT = "plot_fit draws with matplotlib, which is not installed; install it with 'pip install matplotlib'"

# Samples of a model given as a callable, drawn as a smooth curve over the data's x range.
_CURVE_SAMPLES = 256


def _array(values: npt.ArrayLike, message: str) -> np.ndarray[Any, np.dtype[np.float64]]:
    """``values`` as a float array, or ValueError with ``message``."""
    import numpy as np

    try:
        return np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(message) from None


def _vector(values: npt.ArrayLike, label: str, length: int | None = None) -> Vector:
    """``values`` as a 1-D float array, of ``length`` items when given, else ValueError naming ``label``."""
    message = f"plot_fit {label} must be a non-empty sequence of numbers"
    array = _array(values, message)
    if array.ndim != 1 or array.size == 0:
        raise ValueError(message)
    if length is not None and array.size != length:
        raise ValueError(f"plot_fit {label} has {array.size} values, expected {length}, one per data point")
    return array


def _evaluate(model: Callable[[float], Any], x: Vector) -> Vector:
    """``model`` at every value of ``x``; it may return a number or one lane, as a compiled Function does."""
    import numpy as np

    out = np.empty_like(x)
    for i, value in enumerate(x):
        result = np.asarray(model(float(value)), dtype=np.float64)
        if result.size != 1:
            raise ValueError(f"plot_fit model must return one number, got {result.size} at x = {value:g}")
        out[i] = result.reshape(-1)[0]
    return out


def plot_fit(
    x: npt.ArrayLike,
    y: npt.ArrayLike,
    model: Callable[[float], Any] | npt.ArrayLike,
    residuals: npt.ArrayLike | None = None,
    costs: npt.ArrayLike | None = None,
    *,
    path: str | os.PathLike[str] | None = None,
    title: str | None = None,
) -> Figure:
    """Draw a fit: the data and the fitted model, the residuals, and the cost per iteration.

    ``x`` and ``y`` are the data, one number per point each (sequences or
    1-D arrays of the same length). ``model`` is the fitted model, in one of
    three forms:

    - a callable of one number: drawn as a smooth curve over the range of
      ``x``. It may return a number or a tuple of one lane, so a compiled
      :class:`varnel.Function` of one one-lane input serves as it is;
    - the fitted values, one per data point: drawn through the points in
      ascending ``x``;
    - a pair ``(curve_x, curve_y)`` of sequences of equal length: a curve
      that is not a function of ``x`` (a circle), drawn as given at equal
      scale on both axes.

    ``residuals``, one per data point, go into a panel below, against ``x``
    (against the point's number for a curve given by its points). Without
    them, the first two forms show ``y`` minus the model at each point, and
    the third shows no residual panel. ``costs``, the cost at the start and
    after each iteration (as a solver records it), go into a last panel, on
    a logarithmic scale when all are positive.

    Returns the matplotlib ``Figure``, which a notebook shows as a cell's
    value; with ``path`` it is also saved there, in the format of the suffix
    (``.png``, ``.svg``, ``.pdf``, ...). Raises ValueError for inputs of the
    wrong shape or length, and ImportError, saying how to install it, when
    matplotlib is missing.
    """
    try:
        from matplotlib.figure import Figure
        from matplotlib.ticker import MaxNLocator
    except ImportError as error:
        raise ImportError(_INSTALL_HINT) from error
    import numpy as np  # matplotlib depends on NumPy, so it is present here.

    xs = _vector(x, "x")
    ys = _vector(y, "y", xs.size)
    fitted: Vector | None
    if callable(model):
        grid = np.linspace(xs.min(), xs.max(), _CURVE_SAMPLES)
        fitted = _evaluate(model, xs)
        curve = grid, _evaluate(model, grid)
    else:
        message = (f"plot_fit model must be a callable, {xs.size} fitted values (one per data point) "
                   "or a pair (curve_x, curve_y) of sequences of equal length")
        values = _array(model, message)
        if values.ndim == 2 and values.shape[0] == 2 and values.shape[1] > 0:
            fitted = None
            curve = values[0], values[1]
        elif values.ndim == 1 and values.size == xs.size:
            fitted = values
            order = np.argsort(xs, kind="stable")
            curve = xs[order], fitted[order]
        else:
            raise ValueError(message)
    residual_x = xs if fitted is not None else np.arange(1, xs.size + 1, dtype=np.float64)
    if residuals is not None:
        shown_residuals: Vector | None = _vector(residuals, "residuals", xs.size)
    else:
        shown_residuals = ys - fitted if fitted is not None else None
    cost_values = _vector(costs, "costs") if costs is not None else None

    panels = ["fit"] + ["residuals"] * (shown_residuals is not None) + ["costs"] * (cost_values is not None)
    heights = {"fit": 3.0, "residuals": 1.5, "costs": 1.5}
    figure = Figure(figsize=(6.4, 1.0 + sum(heights[p] for p in panels)), layout="constrained")
    axes = figure.subplots(len(panels), 1, squeeze=False,
                           height_ratios=[heights[p] for p in panels])[:, 0]

    fit = axes[0]
    fit.plot(xs, ys, "o", markersize=4, label="data")
    fit.plot(*curve, "-", linewidth=1.8, label="model")
    if fitted is None:
        fit.set_aspect("equal", adjustable="datalim")
    fit.set_xlabel("x")
    fit.set_ylabel("y")
    fit.legend()
    if title:
        fit.set_title(title)

    axis = 1
    if shown_residuals is not None:
        ax = axes[axis]
        ax.axhline(0.0, color="0.6", linewidth=0.8)
        ax.vlines(residual_x, 0.0, shown_residuals, linewidth=0.8)
        ax.plot(residual_x, shown_residuals, "o", markersize=3)
        ax.set_xlabel("x" if fitted is not None else "point")
        ax.set_ylabel("residual")
        axis += 1
    if cost_values is not None:
        ax = axes[axis]
        ax.plot(np.arange(cost_values.size), cost_values, "o-", markersize=3)
        if np.all(cost_values > 0):
            ax.set_yscale("log")
        ax.xaxis.set_major_locator(MaxNLocator(integer=True))
        ax.set_xlabel("iteration")
        ax.set_ylabel("cost")

    if path is not None:
        figure.savefig(path, dpi=100)
    return figure
