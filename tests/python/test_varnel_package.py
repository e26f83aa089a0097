"""The pure-Python companion package: re-exports, DOT pictures, gradcheck, optimizers, stubs."""

import importlib.util
import inspect
import math
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import _varnel
import varnel
from varnel import Constant, Parameter, Undefined, gradcheck, optim, render, sin, to_dot

SOURCES = Path(__file__).resolve().parents[2] / "python"
needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy not installed")
needs_dot = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz dot not installed")


def test_reexports_every_module_name_and_documents_helpers():
    public = {n for n in dir(_varnel) if not n.startswith("_")} | {"__version__"}
    assert public | {"to_dot", "render", "gradcheck", "GradcheckResult", "optim"} <= set(varnel.__all__)
    assert all(getattr(varnel, n) is getattr(_varnel, n) for n in public)
    helpers = [to_dot, render, gradcheck, varnel.GradcheckResult, optim.SGD, optim.Adam,
               optim.SGD.step, optim.Adam.step, optim.Optimizer.zero_grad]
    assert all(inspect.getdoc(h) for h in helpers)


def test_to_dot_lists_each_node_once_with_edges_in_operand_order():
    p, c, u = Parameter(2.0, name="p"), Constant(3.0), Undefined(hint=[1, 2], name="u")
    s = p * p
    t = s + c
    e = t * u
    assert to_dot(e).splitlines() == [
        "digraph varnel {",
        f'  n{e.id} [label="Expression Multiply\\n2 lanes"];',
        f'  n{t.id} -> n{e.id} [label="0"];',
        f'  n{u.id} -> n{e.id} [label="1"];',
        f'  n{t.id} [label="Expression Add\\n1 lane"];',
        f'  n{s.id} -> n{t.id} [label="0"];',
        f'  n{c.id} -> n{t.id} [label="1"];',
        f'  n{s.id} [label="Expression Multiply\\n1 lane"];',
        f'  n{p.id} -> n{s.id} [label="0"];',
        f'  n{p.id} -> n{s.id} [label="1"];',
        f'  n{p.id} [label="Parameter\\n1 lane\\nname p\\nvalue (2)", shape=box];',
        f'  n{c.id} [label="Constant\\n1 lane\\nvalue (3)", shape=box];',
        f'  n{u.id} [label="Undefined\\n2 lanes\\nname u\\nhint (1, 2)", shape=box];',
        "}",
    ]


@pytest.mark.parametrize("name, shown", [('a"b\\c', 'name a\\"b\\\\c'), ("two\nlines", "name two\\nlines"),
                                         (b"\xff", "name <name not UTF-8>")])
def test_to_dot_escapes_names(name, shown):
    assert f'label="Parameter\\n1 lane\\n{shown}\\nvalue (1)"' in to_dot(Parameter(1.0, name=name))


def test_to_dot_walks_a_deep_chain_without_recursion():
    x = p = Parameter(0.5)
    for _ in range(200_000):
        x = sin(x)
    lines = to_dot(x).splitlines()
    assert len(lines) == 2 + 200_001 + 200_000
    assert lines[1].startswith(f"  n{x.id} [") and lines[-2].startswith(f"  n{p.id} [")


def test_render_refuses_without_dot_or_with_other_suffix(monkeypatch, tmp_path):
    with pytest.raises(ValueError, match=r"\.png, \.svg or \.pdf"):
        render(Parameter(1.0), tmp_path / "g.jpg")
    monkeypatch.setattr(shutil, "which", lambda name: None)
    with pytest.raises(RuntimeError, match="apt-get install graphviz"):
        render(Parameter(1.0), tmp_path / "g.png")
    monkeypatch.setattr(shutil, "which", lambda name: "/bin/false")
    with pytest.raises(RuntimeError, match="dot failed with exit code 1"):
        render(Parameter(1.0), tmp_path / "g.svg")
    assert list(tmp_path.iterdir()) == []


@needs_dot
@pytest.mark.parametrize("suffix, magic", [(".png", b"\x89PNG"), (".SVG", b"<svg")])
def test_render_writes_the_picture(tmp_path, suffix, magic):
    out = render(sin(Parameter(1.0, name="p")) * 2, tmp_path / f"graph{suffix}")
    assert out == tmp_path / f"graph{suffix}" and magic in out.read_bytes()[:400]


def test_gradcheck_passes_and_restores_values_and_gradients():
    p, q, r, idle = Parameter(0.3, -0.5), Parameter(2.0), Parameter(1.5), Parameter(4.0)
    (p.x * r + r).backward()          # p and r get gradients, q none
    idle.backward(7.0)                # idle has one too, but f does not reach it
    grads = p.grad, r.grad
    f = sin(p.x * q) * p.y + r * r * q
    result = gradcheck(f, [p, q, idle])
    assert result.ok and result.max_rel_error <= 1e-5 and result.max_abs_error < 1e-6
    assert result.parameter is not None and result.lane is not None
    assert (p.value, q.value, r.value, idle.value) == ((0.3, -0.5), (2.0,), (1.5,), (4.0,))
    assert (p.grad, r.grad, q.grad, idle.grad) == (*grads, None, (7.0,))


def test_gradcheck_reports_the_worst_mismatch():
    p, q = Parameter(1.0), Parameter(1.0)
    result = gradcheck(p * p * p + q, [q, p], eps=0.5)  # coarse steps miss the curvature
    assert not result.ok and not result
    assert (result.parameter.id, result.lane) == (p.id, 0)
    assert (result.analytic, result.numeric) == (3.0, pytest.approx(3.25))
    assert result.max_abs_error == pytest.approx(0.25) and result.max_rel_error == pytest.approx(0.25 / 3.25)
    assert p.value == (1.0,) and p.grad is None


@pytest.mark.parametrize("build, error", [(lambda p: p * Undefined(), RuntimeError),  # fails in backward
                                           (lambda p: 1 / (p - 1), ValueError)])    # fails at p + eps = 1
def test_gradcheck_restores_when_the_check_fails(build, error):
    p = Parameter(0.5)
    (p * 3).backward()
    with pytest.raises(error):
        gradcheck(build(p), [p], eps=0.5)
    assert (p.value, p.grad) == ((0.5,), (3.0,))


@pytest.mark.parametrize("value, params", [(Parameter(1.0, 2.0), []), (Parameter(1.0), [Constant(1.0)])])
def test_gradcheck_refuses(value, params):
    with pytest.raises(ValueError):
        gradcheck(value, params)


@pytest.mark.parametrize("setting, rule", [("eps", "a positive finite number"), ("rtol", "a positive finite number"),
                                           ("atol", "a finite number >= 0")])
@pytest.mark.parametrize("bad", [10**400, -10**400, math.nan, math.inf, "0.1", None])
def test_gradcheck_refuses_settings_that_are_not_such_numbers(setting, rule, bad):
    p = Parameter(0.5)
    with pytest.raises(ValueError, match=f"^gradcheck {setting} must be {rule}$"):
        gradcheck(p * p, [p], **{setting: bad})
    assert (p.value, p.grad) == ((0.5,), None)


@pytest.mark.parametrize("lanes", [(0.5,), (0.5, 2.0)])
def test_gradcheck_takes_one_parameter_as_the_list_of_it(lanes):
    p = Parameter(*lanes, name="p")
    value = sin(p.x) * p[p.dim - 1]
    expected = gradcheck(value, [p])
    next_id = Constant(0.0).id + 1
    result = gradcheck(value, p)  # iterating p would check its lanes as new Expressions, or refuse them
    assert Constant(0.0).id == next_id
    assert result.ok and result.parameter.id == p.id
    assert (result.lane, result.analytic, result.numeric) == (expected.lane, expected.analytic, expected.numeric)


@pytest.mark.parametrize("spoil", [
    lambda p: varnel.sqrt(p - 0.5).backward(),     # the derivative of sqrt at 0: infinite
    lambda p: varnel.pow(-2.0, p * 0 + 2).backward(),  # in the exponent at a negative base: NaN
])
def test_gradcheck_refuses_a_gradient_it_could_not_restore_and_changes_nothing(spoil):
    p, q = Parameter(0.5, name="p"), Parameter(0.25, name="q")
    spoil(p)
    q.backward(3.0)
    p_grad = p.grad
    assert not all(math.isfinite(g) for g in p_grad)
    with pytest.raises(ValueError, match=r"^gradcheck cannot restore the gradient \((inf|nan),\) of "
                                         r"Parameter<1>#\d+\(p\), which is not finite: clear it with zero_grad first$"):
        gradcheck(p * q, [q])
    assert (p.value, q.value, q.grad) == ((0.5,), (0.25,), (3.0,))
    assert str(p.grad) == str(p_grad)


@pytest.mark.parametrize("make", [lambda ps: optim.SGD(ps, lr=0.1), lambda ps: optim.SGD(ps, 0.02, momentum=0.9),
                                  lambda ps: optim.Adam(ps, lr=0.1)])
def test_optimizers_minimise_a_quadratic(make):
    p, unused = Parameter(0.0, 0.0), Parameter(5.0)
    opt = make([p, unused])
    losses = []
    for _ in range(150):
        d = p - Constant(3.0, -2.0)
        loss = (d * d).x + (d * d).y
        opt.zero_grad()
        loss.backward()
        opt.step()
        losses.append(loss.eval()[0])
    assert losses[-1] < 1e-4 * losses[0] and losses[10] < losses[0]
    assert unused.value == (5.0,) and unused.grad is None
    assert p.value == pytest.approx((3.0, -2.0), abs=0.02)
    opt.zero_grad()
    assert p.grad is None


def test_first_steps_follow_the_update_rules():
    p, q = Parameter(1.0, -2.0), Parameter(1.0, -2.0)
    sgd, adam = optim.SGD([p], lr=0.1, momentum=0.5), optim.Adam([q], lr=0.01)
    for opt, x in ((sgd, p), (adam, q)):
        (x * 3).backward([1.0, -2.0])        # grad (3, -6)
        opt.step()
    assert p.value == pytest.approx((0.7, -1.4)) and q.value == pytest.approx((0.99, -1.99))
    sgd.step()                                # velocity 0.5 * (3, -6) + (3, -6)
    assert p.value == pytest.approx((0.25, -0.5))


@pytest.mark.parametrize("make", [lambda: optim.SGD([Constant(1.0)], lr=0.1), lambda: optim.SGD([], lr=0.1),
                                  lambda: optim.SGD([Parameter(1.0)], lr=-1.0),
                                  lambda: optim.SGD([Parameter(1.0)], lr=0.1, momentum=1.0),
                                  lambda: optim.Adam([Parameter(1.0)], betas=(0.9, 1.0)),
                                  lambda: optim.Adam([Parameter(1.0)], eps=0.0)])
def test_optimizers_refuse_bad_arguments(make):
    with pytest.raises(ValueError):
        make()


def run_mypy(args, stubs, tmp_path, cache):
    env = dict(os.environ, MYPYPATH=str(stubs), MYPY_CACHE_DIR=str(cache))
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env, capture_output=True, text=True)


@needs_mypy
def test_stubs_match_the_module(stub_errors):
    assert stub_errors("_varnel") == []


@needs_mypy
def test_the_package_type_checks(tmp_path, mypy_cache):
    run = run_mypy(["mypy", "--strict", "-p", "varnel"], SOURCES, tmp_path, mypy_cache)
    assert run.returncode == 0 and "Success" in run.stdout, run.stdout + run.stderr


@needs_mypy
def test_stubtest_notices_a_missing_member(tmp_path, mypy_cache):
    # stubtest quietly passes a private module it finds no stub for; prove it reads this one.
    stub = (SOURCES / "_varnel.pyi").read_text()
    (tmp_path / "_varnel.pyi").write_text(stub.replace("def zero_grad(self)", "def zero_grad_(self)"))
    run = run_mypy(["mypy.stubtest", "_varnel"], tmp_path, tmp_path, mypy_cache)
    assert run.returncode == 1 and "_varnel.Expression.zero_grad is not present in stub" in run.stdout
