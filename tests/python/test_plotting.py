"""plot_fit: the panels it draws from each form of model, the PNG it writes headless, its errors."""

import math
import sys

import pytest

import varnel
from varnel import Parameter, Undefined, plot_fit

matplotlib = pytest.importorskip("matplotlib")
np = pytest.importorskip("numpy")

X = [0.0, 1.0, 2.0, 3.0, 4.0]
Y = [0.9, 3.2, 4.8, 7.1, 9.0]


def line(x):
    return 2.0 * x + 1.0


def panels(figure):
    return [(ax.get_xlabel(), ax.get_ylabel()) for ax in figure.axes]


def residual_points(figure):
    """The residual panel's markers as (x, residual) arrays."""
    ax = next(ax for ax in figure.axes if ax.get_ylabel() == "residual")
    markers = ax.lines[-1]
    return np.asarray(markers.get_xdata()), np.asarray(markers.get_ydata())


def test_writes_a_png_headless_with_data_model_residuals_and_costs(tmp_path, monkeypatch):
    monkeypatch.setenv("MPLBACKEND", "Agg")
    path = tmp_path / "fit.png"
    figure = plot_fit(X, Y, line, costs=[12.0, 0.5, 0.031, 0.0301], path=path, title="a line")

    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    image = matplotlib.image.imread(path)
    width, height = figure.get_size_inches() * 100
    assert image.shape[:2] == (round(height), round(width))
    assert len(np.unique(image.reshape(-1, image.shape[-1]), axis=0)) > 20  # drawn, not blank

    assert panels(figure) == [("x", "y"), ("x", "residual"), ("iteration", "cost")]
    fit = figure.axes[0]
    assert fit.get_title() == "a line"
    data_line, model_line = fit.lines
    assert list(data_line.get_xdata()) == X and list(data_line.get_ydata()) == Y
    curve_x, curve_y = model_line.get_data()
    assert curve_x[0] == 0.0 and curve_x[-1] == 4.0 and len(curve_x) > len(X)
    assert np.allclose(curve_y, 2.0 * np.asarray(curve_x) + 1.0)
    rx, ry = residual_points(figure)
    assert list(rx) == X and np.allclose(ry, [y - line(x) for x, y in zip(X, Y)])
    cost_axes = figure.axes[2]
    assert cost_axes.get_yscale() == "log"
    assert list(cost_axes.lines[0].get_ydata()) == [12.0, 0.5, 0.031, 0.0301]


@pytest.mark.parametrize("suffix, magic", [(".svg", b"<?xml"), (".pdf", b"%PDF")])
def test_the_suffix_chooses_the_format(tmp_path, suffix, magic):
    plot_fit(X, Y, line, path=tmp_path / f"fit{suffix}")
    assert (tmp_path / f"fit{suffix}").read_bytes().startswith(magic)


def test_fitted_values_are_drawn_in_ascending_x_and_give_the_residuals():
    x = [3.0, 0.0, 2.0, 1.0]
    y = [7.5, 0.5, 5.0, 3.0]
    fitted = [line(v) for v in x]
    figure = plot_fit(np.array(x), y, fitted)
    assert panels(figure) == [("x", "y"), ("x", "residual")]
    curve_x, curve_y = figure.axes[0].lines[1].get_data()
    assert list(curve_x) == [0.0, 1.0, 2.0, 3.0] and list(curve_y) == [1.0, 3.0, 5.0, 7.0]
    rx, ry = residual_points(figure)
    assert list(rx) == x and list(ry) == [0.5, -0.5, 0.0, 0.0]


def test_given_residuals_win_and_costs_that_reach_zero_stay_linear():
    figure = plot_fit(X, Y, line, residuals=[1, 2, 3, 4, 5], costs=[4.0, 1.0, 0.0])
    assert list(residual_points(figure)[1]) == [1, 2, 3, 4, 5]
    assert figure.axes[2].get_yscale() == "linear"


def test_a_curve_pair_is_drawn_at_equal_scale_with_residuals_by_point():
    angles = np.linspace(0.0, 2.0 * math.pi, 7)[:-1]
    px, py = 2.0 * np.cos(angles) + 0.01, 2.0 * np.sin(angles)
    t = np.linspace(0.0, 2.0 * math.pi, 100)
    circle = (2.0 * np.cos(t), 2.0 * np.sin(t))
    assert panels(plot_fit(px, py, circle)) == [("x", "y")]  # nothing to compute residuals from

    figure = plot_fit(px, py, circle, residuals=[0.01] * 6, costs=[1.0, 0.1])
    assert panels(figure) == [("x", "y"), ("point", "residual"), ("iteration", "cost")]
    assert figure.axes[0].get_aspect() == 1.0
    assert list(figure.axes[0].lines[1].get_xdata()) == list(circle[0])
    assert list(residual_points(figure)[0]) == [1, 2, 3, 4, 5, 6]


def test_a_compiled_function_serves_as_the_model():
    t, a, b = Undefined(name="t"), Parameter(2.0, name="a"), Parameter(1.0, name="b")
    f = varnel.compile(a * t + b, [t])
    figure = plot_fit(X, Y, f)
    assert np.allclose(residual_points(figure)[1], [y - line(x) for x, y in zip(X, Y)])


@pytest.mark.parametrize("args, message", [
    ((X, Y[:4], line), "plot_fit y has 4 values, expected 5, one per data point"),
    (([], [], line), "plot_fit x must be a non-empty sequence of numbers"),
    (([[0.0, 1.0]], [1.0], line), "plot_fit x must be a non-empty sequence of numbers"),
    ((X, ["a"] * 5, line), "plot_fit y must be a non-empty sequence of numbers"),
    ((X, Y, [1.0, 2.0]), "plot_fit model must be a callable, 5 fitted values (one per data point) "
                         "or a pair (curve_x, curve_y) of sequences of equal length"),
    ((X, Y, ([1.0, 2.0], [1.0])), "plot_fit model must be a callable, 5 fitted values"),
    ((X, Y, lambda x: (x, x)), "plot_fit model must return one number, got 2 at x = 0"),
    ((X, Y, line, [1.0]), "plot_fit residuals has 1 values, expected 5, one per data point"),
    ((X, Y, line, None, []), "plot_fit costs must be a non-empty sequence of numbers"),
])
def test_refuses_inputs_of_the_wrong_shape(args, message):
    with pytest.raises(ValueError, match="^" + message.replace("(", r"\(").replace(")", r"\)")):
        plot_fit(*args)


def test_without_matplotlib_says_how_to_install_it(monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    with pytest.raises(ImportError, match="install it with 'pip install matplotlib'"):
        plot_fit(X, Y, line, path=tmp_path / "fit.png")
    assert not (tmp_path / "fit.png").exists()
