"""varnel's elementary functions: the C math library's values bit for bit,
operands taken and refused exactly as sin takes and refuses them, ids from
the one counter that _varnel uses, gradients against the analytic rules and
finite differences, and every domain's edge failing as a non-finite lane."""
import ctypes
import ctypes.util
import inspect
import math
import pydoc
import random
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _varnel
import varnel
from error_checks import ANY, CAST, check_raises
from varnel import Constant, Parameter, compile, gradcheck

np = pytest.importorskip("numpy")

# The C math library itself: Python's math module wraps some functions in
# its own code (hypot, for one).
LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("sqrt", "exp", "log", "tan", "asin", "acos", "atan", "sinh", "cosh", "tanh", "fabs", "log1p",
              "expm1", "cbrt", "pow", "atan2", "hypot"):
    getattr(LIBM, _name).restype = ctypes.c_double
    getattr(LIBM, _name).argtypes = [ctypes.c_double] * (2 if _name in ("pow", "atan2", "hypot") else 1)

FINITE = "symbolic value lanes must be finite"

# name, op text, C function, analytic derivative, range drawn from (inside the domain)
UNARY = [
    ("sqrt", "Sqrt", LIBM.sqrt, lambda x: 0.5 / math.sqrt(x), (0.01, 50.0)),
    ("exp", "Exp", LIBM.exp, math.exp, (-10.0, 10.0)),
    ("log", "Log", LIBM.log, lambda x: 1.0 / x, (0.01, 50.0)),
    ("tan", "Tan", LIBM.tan, lambda x: 1.0 / math.cos(x) ** 2, (-1.4, 1.4)),
    ("asin", "Asin", LIBM.asin, lambda x: 1.0 / math.sqrt(1.0 - x * x), (-0.95, 0.95)),
    ("acos", "Acos", LIBM.acos, lambda x: -1.0 / math.sqrt(1.0 - x * x), (-0.95, 0.95)),
    ("atan", "Atan", LIBM.atan, lambda x: 1.0 / (1.0 + x * x), (-20.0, 20.0)),
    ("sinh", "Sinh", LIBM.sinh, math.cosh, (-10.0, 10.0)),
    ("cosh", "Cosh", LIBM.cosh, math.sinh, (-10.0, 10.0)),
    ("tanh", "Tanh", LIBM.tanh, lambda x: 1.0 / math.cosh(x) ** 2, (-5.0, 5.0)),
    ("abs", "Abs", LIBM.fabs, lambda x: math.copysign(1.0, x), (-10.0, 10.0)),
    ("log1p", "Log1p", LIBM.log1p, lambda x: 1.0 / (1.0 + x), (-0.95, 50.0)),
    ("expm1", "Expm1", LIBM.expm1, math.exp, (-10.0, 10.0)),
    ("cbrt", "Cbrt", LIBM.cbrt, lambda x: 1.0 / (3.0 * LIBM.cbrt(x) ** 2), (-50.0, 50.0)),
]
# name, op text, C function, both partial derivatives, ranges of the two operands, labels
BINARY = [
    ("pow", "Pow", LIBM.pow, lambda a, b: (b * a ** (b - 1), math.log(a) * a ** b), (0.1, 5.0), (-3.0, 3.0),
     ("pow base", "pow exponent")),
    ("atan2", "Atan2", LIBM.atan2, lambda a, b: (b / (a * a + b * b), -a / (a * a + b * b)), (-5.0, 5.0),
     (-5.0, 5.0), ("atan2 y", "atan2 x")),
    ("hypot", "Hypot", LIBM.hypot, lambda a, b: (a / math.hypot(a, b), b / math.hypot(a, b)), (-5.0, 5.0),
     (-5.0, 5.0), ("hypot x", "hypot y")),
]
UNARY_IDS = [u[0] for u in UNARY]
BINARY_IDS = [b[0] for b in BINARY]


def draw(rng, bounds, lanes):
    """Lanes from the range, away from 0, where abs and cbrt have their edges."""
    values = []
    while len(values) < lanes:
        x = rng.uniform(*bounds)
        if abs(x) > 0.01:
            values.append(x)
    return values


@pytest.mark.parametrize("name, op, c, derivative, bounds", UNARY, ids=UNARY_IDS)
def test_unary_values_are_the_c_librarys_and_folding_is_evaluation(name, op, c, derivative, bounds):
    f = getattr(varnel, name)
    rng = random.Random(name)
    for lanes in (1, 2, 3, 4) * 5:
        x = draw(rng, bounds, lanes)
        p = Parameter(x)
        e = f(p)
        assert (e.kind, e.op, e.dim, e.inputs[0].id) == ("Expression", op, lanes, p.id)
        assert e.eval() == tuple(c(v) for v in x)
        folded = f(x)
        assert folded.kind == "Constant" and folded.value == e.eval()
        assert f(Constant(x)).value == e.eval() and f(np.array(x)).value == e.eval()
    assert f(x[0]).value == f(np.float64(x[0])).value == (c(x[0]),)


@pytest.mark.parametrize("name, op, c, derivative, bounds", UNARY, ids=UNARY_IDS)
def test_unary_gradients_match_the_rule_finite_differences_and_a_function(name, op, c, derivative, bounds):
    f = getattr(varnel, name)
    rng = random.Random(name)
    for lanes in (1, 2, 3, 4):
        x = draw(rng, bounds, lanes)
        seed = [1.0, -0.5, 2.0, 0.25][:lanes]
        p = Parameter(x)
        e = f(p)
        e.backward(seed)
        assert p.grad == pytest.approx([derivative(v) * s for v, s in zip(x, seed)], rel=1e-12)
        assert gradcheck(e.x, [p], raise_exception=True)
        fn = compile(e, p)
        assert fn(x) == e.eval()
        assert fn.vjp(x, seeds=seed) == p.grad


@pytest.mark.parametrize("name, op, c, partials, left, right, labels", BINARY, ids=BINARY_IDS)
def test_binary_values_gradients_and_broadcasting(name, op, c, partials, left, right, labels):
    f = getattr(varnel, name)
    rng = random.Random(name)
    for la, lb in [(1, 1), (3, 3), (1, 3), (4, 1)]:
        a, b = draw(rng, left, la), draw(rng, right, lb)
        p, q = Parameter(a), Parameter(b)
        e = f(p, q)
        n = max(la, lb)
        lane = lambda v, i: v[0] if len(v) == 1 else v[i]  # noqa: E731
        assert (e.op, e.dim, [i.id for i in e.inputs]) == (op, n, [p.id, q.id])
        assert e.eval() == tuple(c(lane(a, i), lane(b, i)) for i in range(n))
        assert f(a, b).value == e.eval()
        e.backward([1.0] * n)
        da, db = [0.0] * la, [0.0] * lb
        for i in range(n):
            pa, pb = partials(lane(a, i), lane(b, i))
            da[0 if la == 1 else i] += pa
            db[0 if lb == 1 else i] += pb
        assert p.grad == pytest.approx(da, rel=1e-12) and q.grad == pytest.approx(db, rel=1e-12)
        total = e.x + e[n - 1]
        assert gradcheck(total, [p, q], raise_exception=True)
        fn = compile(e, [p, q])
        assert fn(a, b) == e.eval()
        p.zero_grad()
        q.zero_grad()
        e.backward([1.0] * n)
        assert fn.vjp(a, b, seeds=[1.0] * n) == (p.grad, q.grad)


@pytest.mark.parametrize("name, op, c, partials, left, right, labels", BINARY, ids=BINARY_IDS)
def test_binary_numbers_stand_on_either_side(name, op, c, partials, left, right, labels):
    f = getattr(varnel, name)
    p = Parameter(1.5, 2.5)
    forward, reflected = f(p, 2), f(2, p)
    assert forward.inputs[0].id == p.id and forward.inputs[1].value == (2.0,)
    assert reflected.inputs[0].value == (2.0,) and reflected.inputs[1].id == p.id
    assert f(p, [1, 2]).dim == 2 and f(np.float32(2), p).dim == 2
    check_raises(lambda: f(p, [1, 2, 3]), ValueError, "cannot combine symbolic values with dimensions 2 and 3")
    check_raises(lambda: f([1, 2, 3], p), ValueError, "cannot combine symbolic values with dimensions 3 and 2")


# Every failing argument of sin, and the message it gives with sin's label.
SIN_FAILURES = [
    (("a",), TypeError, "{} must be a symbolic value or numeric constant"),
    ((None,), TypeError, "{} must be a symbolic value or numeric constant"),
    ((b"ab",), TypeError, "{} must be a symbolic value or numeric constant"),
    (([],), ValueError, "{} must contain 1..4 values"),
    (([1, 2, 3, 4, 5],), ValueError, "{} must contain 1..4 values"),
    ((["a"],), RuntimeError, CAST),
    ((float("nan"),), ValueError, FINITE),
    (([1, float("inf")],), ValueError, FINITE),
    ((np.array([[1.0, 2.0]]),), RuntimeError, CAST),
    ((), TypeError, ANY),
    ((1, 2), TypeError, ANY),
]


@pytest.mark.parametrize("name", UNARY_IDS)
@pytest.mark.parametrize("args, exc, msg", SIN_FAILURES)
def test_unary_functions_refuse_what_sin_refuses(name, args, exc, msg):
    for function, label in ((varnel.sin, "sin value"), (getattr(varnel, name), f"{name} value")):
        check_raises(lambda: function(*args), exc, msg.format(label) if msg not in (CAST, ANY) else msg)
    check_raises(lambda: getattr(varnel, name)(x=1), TypeError, ANY)


@pytest.mark.parametrize("name, op, c, partials, left, right, labels", BINARY, ids=BINARY_IDS)
def test_binary_functions_refuse_by_label_the_last_argument_first(name, op, c, partials, left, right, labels):
    f = getattr(varnel, name)
    first, second = labels
    check_raises(lambda: f("a", "b"), TypeError, f"{second} must be a symbolic value or numeric constant")
    check_raises(lambda: f("a", 1), TypeError, f"{first} must be a symbolic value or numeric constant")
    check_raises(lambda: f([], 1), ValueError, f"{first} must contain 1..4 values")
    check_raises(lambda: f(1, []), ValueError, f"{second} must contain 1..4 values")
    check_raises(lambda: f(1, ["x"]), RuntimeError, CAST)
    check_raises(lambda: f(float("nan"), "b"), TypeError, f"{second} must be a symbolic value or numeric constant")
    check_raises(lambda: f(1), TypeError, ANY)
    check_raises(lambda: f(1, 2, 3), TypeError, ANY)


def test_an_expression_without_a_handle_is_refused_by_operand_name():
    empty = _varnel.Expression.__new__(_varnel.Expression)
    check_raises(lambda: varnel.sqrt(empty), ValueError, "unary operand is not a valid symbolic value")
    check_raises(lambda: varnel.pow(empty, 2), ValueError, "left operand is not a valid symbolic value")
    check_raises(lambda: varnel.atan2(1, empty), ValueError, "right operand is not a valid symbolic value")


# A lane outside the domain fails as any non-finite lane: when folding (the
# coerced Constants keep their ids, as with operators), in eval, backward,
# a Function's call, vjp and map, changing no gradient.
OUTSIDE = [
    (varnel.sqrt, (-1.0,)), (varnel.log, (0.0,)), (varnel.log, (-1.0,)), (varnel.asin, (2.0,)),
    (varnel.acos, (-1.5,)), (varnel.log1p, (-1.0,)), (varnel.exp, (710.0,)), (varnel.cosh, (-711.0,)),
    (varnel.sinh, (711.0,)), (varnel.expm1, (710.0,)), (varnel.pow, (-8.0, 1.0 / 3.0)), (varnel.pow, (0.0, -1.0)),
    (varnel.hypot, (1.5e308, 1.5e308)),
]


@pytest.mark.parametrize("f, args", OUTSIDE, ids=lambda v: getattr(v, "__name__", repr(v)))
def test_leaving_the_domain_fails_as_a_non_finite_lane(f, args):
    before = Constant(0).id
    check_raises(lambda: f(*args), ValueError, FINITE)
    assert Constant(0).id == before + 1 + len(args)
    params = [Parameter(a) for a in args]
    w = Parameter(2.0)
    e = f(*params) + w * w
    check_raises(e.eval, ValueError, FINITE)
    check_raises(e.backward, ValueError, FINITE)
    fn = compile(e, params)
    check_raises(lambda: fn(*args), ValueError, FINITE)
    check_raises(lambda: fn.vjp(*args), ValueError, FINITE)
    rows = np.array([[0.5] * len(args), list(args)])
    check_raises(lambda: fn.map(rows), ValueError, f"row 1: {FINITE}")
    assert all(v.grad is None for v in (*params, w))


def test_derivatives_at_the_edges_are_stored_unchecked():
    for f, x, grad in [(varnel.sqrt, 0.0, math.inf), (varnel.cbrt, 0.0, math.inf), (varnel.acos, 1.0, -math.inf),
                       (varnel.abs, 0.0, 0.0), (lambda v: varnel.hypot(v, v), 0.0, 0.0)]:
        p = Parameter(x)
        f(p).backward()
        assert p.grad == (grad,)
        assert compile(f(p), p).vjp(x) == (grad,)


def test_pow_of_a_negative_base_with_an_integral_exponent():
    x = Parameter(-2.0)
    square, inverse_cube = varnel.pow(x, 2), varnel.pow(x, -3)
    assert square.eval() == (4.0,) and inverse_cube.eval() == (-0.125,)
    square.backward()
    assert x.grad == (-4.0,)
    assert compile([square, square], x).jacobian(-2.0) == ((-4.0,), (-4.0,))
    n = Parameter(2.0)
    x.zero_grad()
    varnel.pow(x, n).backward()
    assert x.grad == (-4.0,) and math.isnan(n.grad[0])


def test_ids_continue_across_both_modules():
    ids = []
    p = _varnel.Parameter(0.5)
    for make in (lambda: varnel.exp(p), lambda: _varnel.sin(p), lambda: varnel.pow(p, p),
                 lambda: p * p, lambda: varnel.atan2(p, p), lambda: _varnel.Constant(1.0)):
        ids.append(make().id)
    assert ids == list(range(p.id + 1, p.id + 7))


def test_a_fresh_process_numbers_from_one_whichever_module_starts():
    code = ("import varnel, _varnel; a = varnel.sqrt(varnel.Parameter(4.0)); b = _varnel.Constant(1.0); "
            "c = varnel.hypot(3.0, 4.0); print(a.inputs[0].id, a.id, b.id, c.id, c.value)")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.stdout.split() == ["1", "2", "3", "6", "(5.0,)"], run.stderr


def test_the_expression_class_gains_no_operator():
    p = Parameter(2.0)
    for call in (lambda: p ** 2, lambda: abs(p), lambda: pow(p, 2), lambda: math.sqrt(p)):
        with pytest.raises(TypeError):
            call()
    assert not hasattr(_varnel, "exp") and not hasattr(_varnel.Expression, "__pow__")


def test_pictures_name_the_new_operators():
    p = Parameter(1.0, name="p")
    dot = varnel.to_dot(varnel.atan2(varnel.sqrt(p), varnel.pow(p, 2)))
    assert "Expression Atan2" in dot and "Expression Sqrt" in dot and "Expression Pow" in dot


@pytest.mark.parametrize("name", UNARY_IDS + BINARY_IDS)
def test_help_names_the_arguments_and_explains(name):
    f = getattr(varnel, name)
    parameters = list(inspect.signature(f).parameters.values())
    assert all(p.kind is inspect.Parameter.POSITIONAL_ONLY for p in parameters)
    assert [p.name for p in parameters] == (["x"] if name in UNARY_IDS else
                                            {"pow": ["base", "exponent"], "atan2": ["y", "x"],
                                             "hypot": ["x", "y"]}[name])
    text = pydoc.render_doc(f, renderer=pydoc.plaintext)
    assert f"{name}({', '.join(p.name for p in parameters)}, /)" in text
    assert "lane by lane" in text and "ValueError" in text
    assert "function_record" not in text and "object" not in text and "arg0" not in text


@pytest.mark.parametrize("name", UNARY_IDS + BINARY_IDS)
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2, 3), {}), ((1,), {"x": 1}), ((), {"y": 1})])
def test_calls_that_match_no_signature_fail_as_sins_do(name, args, kwargs):
    with pytest.raises(TypeError) as caught:
        getattr(varnel, name)(*args, **kwargs)
    assert str(caught.value).startswith(f"{name}(): incompatible function arguments. "
                                        "The following argument types are supported:\n    1. (")
    with pytest.raises(TypeError) as from_sin:
        varnel.sin(*args, **kwargs)
    invoked = str(from_sin.value).split("Invoked with:")[1]
    assert str(caught.value).endswith("Invoked with:" + invoked)


def test_package_exports_and_stubs_cover_the_module(stub_errors):
    names = {n for n in dir(varnel._functions) if not n.startswith("_")}
    assert names == set(UNARY_IDS) | set(BINARY_IDS)
    assert all(getattr(varnel, n) is getattr(varnel._functions, n) for n in names)
    assert names - {"abs", "pow"} <= set(varnel.__all__) and not {"abs", "pow"} & set(varnel.__all__)
    assert stub_errors("varnel._functions") == []


# Random graphs mixing every operator and function, each kept inside its
# domain: backward against central differences, and a Function's call and
# vjp against eval and backward bit for bit.
def _kept_inside(a, b):
    return {
        "add": lambda: a + b, "sub": lambda: a - b, "mul": lambda: a * varnel.sin(b),
        "div": lambda: a / (varnel.cos(b) + 2), "neg": lambda: -a, "sin": lambda: varnel.sin(a),
        "cos": lambda: varnel.cos(a), "lane": lambda: a[a.dim - 1], "pack": lambda: varnel.vec2(a.x, b.x),
        "sqrt": lambda: varnel.sqrt(a * a + 1), "exp": lambda: varnel.exp(varnel.sin(a)),
        "log": lambda: varnel.log(a * a + 1), "tan": lambda: varnel.tan(varnel.sin(a)),
        "asin": lambda: varnel.asin(varnel.sin(a) * 0.5), "acos": lambda: varnel.acos(varnel.cos(a) * 0.5),
        "atan": lambda: varnel.atan(a), "sinh": lambda: varnel.sinh(varnel.sin(a)),
        "cosh": lambda: varnel.cosh(varnel.sin(a)), "tanh": lambda: varnel.tanh(a),
        "abs": lambda: varnel.abs(a + 3), "log1p": lambda: varnel.log1p(a * a), "expm1": lambda: varnel.expm1(varnel.sin(a)),
        "cbrt": lambda: varnel.cbrt(a * a + 1), "pow": lambda: varnel.pow(a * a + 1, varnel.sin(b)),
        "powi": lambda: varnel.pow(varnel.sin(a), 3), "atan2": lambda: varnel.atan2(a, b * b + 1),
        "hypot": lambda: varnel.hypot(a, b * b + 1),
    }


STEPS = sorted(_kept_inside(None, None))


@settings(max_examples=60, deadline=None, database=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.tuples(st.sampled_from(STEPS), st.integers(0, 7), st.integers(0, 7)), min_size=1, max_size=25),
       st.lists(st.floats(-1.5, 1.5), min_size=4, max_size=4))
def test_random_graphs_of_every_operator(program, point):
    a, v = Parameter(point[0]), Parameter(point[1:])
    recent = [a, v]
    for step, i, j in program:
        x, y = recent[-1 - i % len(recent)], recent[-1 - j % len(recent)]
        if x.dim != y.dim and 1 not in (x.dim, y.dim):
            y = y.x
        recent.append(_kept_inside(x, y)[step]())
    out = recent[-1].x + recent[-1][recent[-1].dim - 1]
    assert gradcheck(out, [a, v], eps=1e-6, rtol=1e-5, atol=1e-8, raise_exception=True)
    fn = compile(out, [a, v])
    assert fn(point[0], point[1:]) == out.eval()
    a.zero_grad()
    v.zero_grad()
    out.backward()
    assert fn.vjp(point[0], point[1:]) == (a.grad or (0.0,), v.grad or (0.0, 0.0, 0.0))
