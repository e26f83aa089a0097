"""gradcheck's atol and raising form; notebook pictures, Component lanes and PDF output."""
import re
import shutil
import sys

import pytest

from varnel import (Constant, GradcheckError, GraphPicture, Parameter, draw, gradcheck, render, sin, to_dot,
                    vec2)

needs_dot = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz dot not installed")


def cubic_in_lane_one():
    """f = p.x + p.y**3 at (1, 2): with eps 0.5 only lane 1 is off, by eps**2 = 0.25."""
    p = Parameter(1.0, 2.0, name="p")
    return p.x + p.y * p.y * p.y, p


@pytest.mark.parametrize("atol, ok", [(0.0, False), (0.2, False), (0.26, True)])
def test_atol_lets_small_absolute_errors_pass(atol, ok):
    f, p = cubic_in_lane_one()
    result = gradcheck(f, [p], eps=0.5, atol=atol)
    assert result.ok is ok
    assert (result.lane, result.analytic, result.numeric) == (1, 12.0, pytest.approx(12.25))
    assert result.max_abs_error == pytest.approx(0.25)


def test_raising_form_names_the_worst_lane_and_restores_everything():
    f, p = cubic_in_lane_one()
    (p * 2).backward([1.0, 1.0])
    with pytest.raises(GradcheckError) as caught:
        gradcheck(f, [p], eps=0.5, raise_exception=True)
    message = str(caught.value)
    assert message.startswith(f"gradcheck failed at lane 1 of {p!r}: backward gives 12.0, central differences 12.25")
    assert re.search(r"max absolute error 0\.25\b", message)
    assert isinstance(caught.value, AssertionError) and caught.value.result.lane == 1
    assert (p.value, p.grad) == ((1.0, 2.0), (2.0, 2.0))


def test_raising_form_returns_the_result_of_a_passing_check():
    p = Parameter(0.3, name="p")
    result = gradcheck(sin(p) * p, [p], raise_exception=True)
    assert result.ok and result.parameter.id == p.id


@pytest.mark.parametrize("atol", [-1e-9, float("nan"), float("inf")])
def test_atol_must_be_finite_and_not_negative(atol):
    p = Parameter(1.0)
    with pytest.raises(ValueError, match="gradcheck atol must be a finite number >= 0"):
        gradcheck(p * p, [p], atol=atol)


@pytest.mark.parametrize("select, lane", [(lambda v: v[2], 2), (lambda v: v.y, 1), (lambda v: v.x, 0)])
def test_component_nodes_show_their_lane(select, lane):
    v = Parameter(1.0, 2.0, 3.0)
    c = select(v)
    assert to_dot(c).splitlines()[1] == f'  n{c.id} [label="Expression Component [{lane}]\\n1 lane"];'


def test_one_lane_component_is_the_value_itself():
    k = Parameter(4.0)
    assert "Component" not in to_dot(vec2(k.x, Constant(1.0)))


def test_draw_gives_the_graphviz_source_when_the_package_is_there():
    graphviz = pytest.importorskip("graphviz")
    e = sin(Parameter(1.0, name="p")) * 2
    picture = draw(e)
    assert isinstance(picture, graphviz.Source) and picture.source == to_dot(e)


def test_draw_without_the_package_gives_a_picture_that_dot_draws(monkeypatch):
    monkeypatch.setitem(sys.modules, "graphviz", None)  # import graphviz now raises ImportError
    e = Parameter(1.0, name="p") * 3
    picture = draw(e)
    assert isinstance(picture, GraphPicture) and picture.source == to_dot(e)
    if shutil.which("dot"):
        svg = picture._repr_svg_()
        assert "<svg" in svg and "Multiply" in svg
    monkeypatch.setattr(shutil, "which", lambda name: None)
    with pytest.raises(RuntimeError, match="apt-get install graphviz"):
        picture._repr_svg_()


@needs_dot
def test_render_writes_pdf(tmp_path):
    out = render(Parameter(1.0) * 2, tmp_path / "graph.PDF")
    assert out.read_bytes().startswith(b"%PDF")
