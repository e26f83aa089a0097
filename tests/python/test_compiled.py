"""varnel.compile: compiled functions give eval's values and backward's
gradients exactly, jacobians that match finite differences, refuse bad
graphs and arguments cleanly, and never make a node."""
import collections
import inspect
import math
import pydoc
import subprocess
import sys
import textwrap
import tracemalloc
from array import array

import pytest
from hypothesis import HealthCheck, Phase, given, settings, strategies as st

import _varnel as vn
import varnel
from error_checks import check_raises
from varnel import Constant, Function, Parameter, Undefined, compile, vec3

np = pytest.importorskip("numpy")

OPS = ("add", "sub", "mul", "div", "neg", "sin", "cos", "lane", "pack", "sqrt", "exp", "log", "tan", "asin", "acos",
       "atan", "sinh", "cosh", "tanh", "abs", "log1p", "expm1", "cbrt", "pow", "atan2", "hypot", "muladd")
FINITE = "symbolic value lanes must be finite"


def leaves():
    """Parameters of one to three lanes; a, v and q are the inputs, w is read per call."""
    a, v, w, q = Parameter(0.3), Parameter(0.5, -1.0, 0.25), Parameter(-0.7, 1.2), Parameter(1.1)
    return (a, v, q), w


def build(program, inputs, w, repeat=1):
    """Runs a drawn program over the leaves; operands are picked among the
    most recent values. No step grows a value much beyond its operands, so
    every graph stays finite. A repeated program is chained through a one-lane
    value that each round folds in, so the graph grows with the rounds."""
    recent = collections.deque([Constant(0.5, -1.5, 2.0), *inputs, w], maxlen=8)
    chain = inputs[0]
    for _ in range(repeat):
        for op, i, j, k in program:
            a, b = recent[-1 - i % len(recent)], recent[-1 - j % len(recent)]
            if a.dim != b.dim and 1 not in (a.dim, b.dim):
                b = b.x
            made = {"add": lambda: (a + b) * 0.5, "sub": lambda: (a - b) * 0.5, "mul": lambda: a * vn.sin(b),
                    "div": lambda: a / (vn.cos(b) + 2), "neg": lambda: -a, "sin": lambda: vn.sin(a),
                    "cos": lambda: vn.cos(a), "lane": lambda: a[k % a.dim],
                    "pack": lambda: vec3(a.x, b.x, recent[0].x),
                    # The elementary functions, kept inside their domains and away from their kinks.
                    "sqrt": lambda: varnel.sqrt(a * a + 1), "exp": lambda: varnel.exp(vn.sin(a)),
                    "log": lambda: varnel.log(a * a + 1), "tan": lambda: varnel.tan(vn.sin(a)),
                    "asin": lambda: varnel.asin(vn.sin(a) * 0.5), "acos": lambda: varnel.acos(vn.cos(a) * 0.5),
                    "atan": lambda: varnel.atan(a), "sinh": lambda: varnel.sinh(vn.sin(a)),
                    "cosh": lambda: varnel.cosh(vn.cos(a)) * 0.5, "tanh": lambda: varnel.tanh(a),
                    "abs": lambda: varnel.abs(a + 3) - 3, "log1p": lambda: varnel.log1p(a * a),
                    "expm1": lambda: varnel.expm1(vn.sin(a)), "cbrt": lambda: varnel.cbrt(a * a + 1),
                    "pow": lambda: varnel.pow(a * a + 1, vn.sin(b)) * 0.5, "atan2": lambda: varnel.atan2(a, b * b + 1),
                    "hypot": lambda: varnel.hypot(a, b * b + 1) * 0.5,
                    # A product read by the sum after it: one step of one call's passes.
                    "muladd": lambda: 0.25 + a * vn.sin(b) * 0.5}[op]()
            recent.append(made)
        if repeat > 1:
            chain = (recent[-1].x + chain) * 0.5
            recent.append(chain)
    return recent[-1]


steps = st.tuples(st.sampled_from(OPS), st.integers(0, 7), st.integers(0, 7), st.integers(0, 3))
programs = st.lists(steps, min_size=1, max_size=30)
points = st.tuples(st.floats(-2, 2), st.lists(st.floats(-2, 2), min_size=3, max_size=3), st.floats(-2, 2))
SETTINGS = dict(deadline=None, database=None, derandomize=True,
                suppress_health_check=[HealthCheck.too_slow])


def set_inputs(inputs, point):
    for leaf, lanes in zip(inputs, point):
        leaf.set_value(lanes)


def seed_of(out):
    return [1.0, -0.5, 2.0, 0.25][:out.dim]


def check_against_eval_and_backward(program, point, repeat=1):
    inputs, w = leaves()
    out = build(program, inputs, w, repeat)
    f = compile(out, inputs)
    set_inputs(inputs, point)
    assert f(*point) == out.eval()
    # Every lane is exact: vjp runs backward's rules in backward's order.
    for leaf in (*inputs, w):
        leaf.zero_grad()
    out.backward(seed_of(out))
    expected = [leaf.grad or (0.0,) * leaf.dim for leaf in inputs], w.grad
    for leaf in (*inputs, w):
        leaf.zero_grad()
    assert list(f.vjp(*point, seeds=seed_of(out))) == expected[0]
    assert w.grad == expected[1] and all(leaf.grad is None for leaf in inputs)
    return f


@settings(max_examples=150, **SETTINGS)
@given(programs, points)
def test_call_and_vjp_are_eval_and_backward_exactly(program, point):
    check_against_eval_and_backward(program, point)


@settings(max_examples=1, phases=[Phase.generate], **SETTINGS)
@given(st.lists(steps, min_size=4, max_size=8))
def test_a_million_nodes(program):
    rounds = 1_000_000 // len(program)
    f = check_against_eval_and_backward(program, (0.2, [0.1, 0.2, 0.3], -0.4), repeat=rounds)
    assert repr(f).endswith(" instructions>") and int(repr(f).split()[-2]) >= 2 * rounds


@settings(max_examples=60, **SETTINGS)
@given(programs, points)
def test_jacobian_matches_vjp_and_finite_differences(program, point):
    inputs, w = leaves()
    out = build(program, inputs, w)
    total = out.x + out[out.dim - 1]
    # Five input lanes: one or two outputs are swept in reverse, four forward.
    for outputs in ([total], [out, total, out, total]):
        f = compile(outputs, inputs)
        jac = f.jacobian(*point)
        flat = [point[0], *point[1], point[2]]
        unflat = lambda x: (x[0], x[1:4], x[4])
        rows = [(o, lane) for o, value in enumerate(outputs) for lane in range(value.dim)]
        assert len(jac) == len(rows) and all(len(r) == 5 for r in jac)
        for (o, lane), row in zip(rows, jac):
            seeds = [[1.0 if (k, i) == (o, lane) else 0.0 for i in range(v.dim)] for k, v in enumerate(outputs)]
            grads = [g for grad in f.vjp(*point, seeds=seeds) for g in grad]
            assert row == pytest.approx(grads, rel=1e-12, abs=1e-12)
            for c in range(5):
                up, down = list(flat), list(flat)
                up[c] += 1e-6
                down[c] -= 1e-6
                numeric = (f(*unflat(up))[o][lane] - f(*unflat(down))[o][lane]) / 2e-6
                assert row[c] == pytest.approx(numeric, rel=1e-4, abs=1e-5)


@settings(max_examples=40, **SETTINGS)
@given(programs, points)
def test_jacobian_columns_do_not_depend_on_the_other_inputs(program, point):
    # Swept forward along every input lane at once (1 to 5 of them here), a
    # column is what a Function of that input alone gives, bit for bit.
    inputs, w = leaves()
    out = build(program, inputs, w)
    outputs = [out, out.x + out[out.dim - 1], out, out]
    set_inputs(inputs, point)
    full = compile(outputs, inputs).jacobian(*point)
    columns = [[0], [1, 2, 3], [4]]
    for chosen in ([0], [2], [0, 2], [1], [0, 1], [1, 2]):
        jac = compile(outputs, [inputs[k] for k in chosen]).jacobian(*[point[k] for k in chosen])
        picked = [c for k in chosen for c in columns[k]]
        assert [[row[c] for c in picked] for row in full] == [list(row) for row in jac]


@settings(max_examples=40, **SETTINGS)
@given(programs, st.lists(points, min_size=0, max_size=5))
def test_map_gives_the_calls_row_by_row(program, rows):
    inputs, w = leaves()
    out = build(program, inputs, w)
    f = compile([out, out.x], inputs)
    table = np.array([[p[0], *p[1], p[2]] for p in rows], dtype=np.float64).reshape(len(rows), 5)
    mapped = f.map(table)
    assert mapped.shape == (len(rows), out.dim + 1) and mapped.dtype == np.float64
    for p, got in zip(rows, mapped):
        assert tuple(got) == f(*p)[0] + f(*p)[1]


def test_parameters_are_read_per_call_and_undefined_inputs_work():
    x, p = Undefined(dim=2, name="x"), Parameter(2.0)
    f = compile([x * p + 1, p], [x])
    assert f([1.0, 3.0]) == ((3.0, 7.0), (2.0,))
    p.set_value(-1.0)
    assert f((1, 3)) == ((0.0, -2.0), (-1.0,))
    assert f.vjp((1, 3), seeds=[[1.0, 1.0], 0.0]) == ((-1.0, -1.0),)
    assert p.grad == (4.0,)
    assert compile(p * p, p).vjp(3.0) == (6.0,) and p.grad == (4.0,)
    assert compile(x.x + x.y, [x]).jacobian((5.0, 7.0)) == ((1.0, 1.0),)


def test_map_reads_any_float64_buffer_and_names_the_failing_row():
    x, y = Undefined(name="x"), Undefined(name="y")
    f = compile([x / y, x * y], [x, y])
    table = np.array([[1.0, 9.0, 2.0], [3.0, 9.0, 4.0]])[:, ::2]  # strided columns
    assert f.map(table).tolist() == [[0.5, 2.0], [0.75, 12.0]]
    # Doubles at odd addresses, read without misaligned loads.
    raw = bytearray(1) + np.array([[1.0, 2.0], [3.0, 4.0]]).tobytes()
    shifted = np.frombuffer(raw, dtype="<f8", offset=1, count=4).reshape(2, 2)
    assert not shifted.flags.aligned
    assert f.map(shifted).tolist() == [[0.5, 2.0], [0.75, 12.0]]
    rows = memoryview(array("d", [1.0, 2.0, 3.0, 0.0])).cast("B").cast("d", [2, 2])
    check_raises(lambda: f.map(rows), ValueError, "row 1: " + FINITE)
    check_raises(lambda: f.map(np.array([[1.0, 2.0], [math.nan, 1.0]])), ValueError, "row 1: " + FINITE)
    assert f.map(np.zeros((0, 2))).shape == (0, 2)


class ArrayLikeTable:
    """Stands for a DataFrame: no buffer, only __array__."""

    def __init__(self, rows):
        self.rows = rows

    def __array__(self, dtype=None, copy=None):
        return np.array(self.rows, dtype=dtype)


ROWS = [[1.0, 2.0], [3.0, -4.0], [0.5, 8.0]]


def misaligned(rows):
    """rows as float64 one byte past an 8-byte boundary."""
    raw = np.frombuffer(bytearray(8 * np.size(rows) + 1), dtype="<f8", offset=1, count=np.size(rows))
    raw[:] = np.ravel(rows)
    return raw.reshape(np.shape(rows))


@pytest.mark.parametrize("make", [
    lambda: ROWS,
    lambda: tuple(map(tuple, ROWS)),
    lambda: np.array(ROWS, dtype=np.float32),
    lambda: np.array([[1, 2], [3, -4], [0, 8]], dtype=np.int64),
    lambda: np.asfortranarray(ROWS),
    lambda: np.array([[r[0], 0.0, r[1]] for r in ROWS])[:, ::2],
    lambda: np.array(ROWS)[::-1][::-1],
    lambda: misaligned(ROWS),
    lambda: ArrayLikeTable(ROWS),
    lambda: memoryview(array("f", [v for r in ROWS for v in r])).cast("B").cast("f", [3, 2]),
], ids=["list", "tuple", "float32", "int64", "fortran", "strided", "reversed", "misaligned", "array-like",
        "float32-buffer"])
def test_map_takes_what_numpy_asarray_takes(make):
    x, y = Undefined(name="x"), Undefined(name="y")
    f = compile([x / y, x * y + 1], [x, y])
    rows = make()
    expected = np.asarray(rows, dtype=np.float64)
    mapped = f.map(rows)
    assert mapped.dtype == np.float64 and mapped.shape == (3, 2)
    assert mapped.tolist() == [[*f(*row)[0], *f(*row)[1]] for row in expected.tolist()]


def peak_bytes_of(call):
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("make, copied", [
    (lambda t: t, False),
    (lambda t: np.asfortranarray(t), False),
    (lambda t: np.repeat(t, 2, axis=1)[:, ::2], False),
    (lambda t: t.astype(np.float32), True),
])
def test_map_copies_only_what_is_not_float64(make, copied):
    x, y = Undefined(), Undefined()
    f = compile(x * y, [x, y])  # one output lane: the result is half the input's size
    rows = make(np.ones((100_000, 2)))
    as_float64 = 100_000 * 2 * 8
    peak = peak_bytes_of(lambda: f.map(rows))
    assert (peak > as_float64) == copied, peak


@pytest.mark.parametrize("rows, msg", [
    (np.zeros((3, 3)), "map input has 3 columns, expected 2"),
    (np.zeros(2), "map input must be a 2-D array of shape (N, 2), got shape (2,)"),
    (np.zeros((1, 2, 2)), "map input must be a 2-D array of shape (N, 2), got shape (1, 2, 2)"),
    ([[1.0], [2.0, 3.0]], "setting an array element with a sequence"),
    ("ab", "could not convert string to float: 'ab'"),
    (b"0123456789abcdef", "could not convert string to float"),
])
def test_map_refuses_what_is_no_table_of_its_lanes(rows, msg):
    x, y = Undefined(name="x"), Undefined(name="y")
    with pytest.raises(ValueError) as caught:
        compile(vn.sin(x) + y, [x, y]).map(rows)
    assert str(caught.value).startswith(msg)


def flat_function():
    """Two inputs (1 and 3 lanes) to two outputs (3 and 1 lanes); p is read per call."""
    a, v, p = Undefined(name="a"), Undefined(dim=3, name="v"), Parameter(0.5, name="p")
    return compile([v * vn.sin(a) * p, a * v.z + v.x], [a, v]), p


VECTOR = [0.3, 1.0, -2.0, 0.5]


@pytest.mark.parametrize("make", [list, tuple, np.array, lambda v: np.array(v, dtype=np.float32),
                                  lambda v: np.array([v, v])[1], lambda v: np.repeat(v, 2)[::2]],
                         ids=["list", "tuple", "float64", "float32", "row-view", "strided"])
def test_flat_calls_give_the_lanes_of_the_calls_in_arrays(make):
    f, p = flat_function()
    point = np.asarray(make(VECTOR), dtype=np.float64).tolist()
    split = (point[0], point[1:])
    values = f(make(VECTOR), flat=True)
    assert values.dtype == np.float64 and values.shape == (4,)
    assert values.tolist() == [lane for out in f(*split) for lane in out]
    jac = f.jacobian(make(VECTOR), flat=True)
    assert jac.dtype == np.float64 and jac.shape == (4, 4) and jac.tolist() == [list(r) for r in f.jacobian(*split)]
    seeds = [1.0, -0.5, 2.0, 0.25]
    grad = f.vjp(make(VECTOR), seeds=make(seeds), flat=True)
    p_grad, _ = p.grad, p.zero_grad()
    from_calls = f.vjp(*split, seeds=[seeds[:3], seeds[3]])
    assert grad.dtype == np.float64 and grad.shape == (4,)
    assert grad.tolist() == [g for lanes in from_calls for g in lanes]
    assert p_grad == p.grad and p_grad != (0.0,)  # both added the same gradient into p
    # One forward pass for both, the bits of the call and of jacobian; no gradient written.
    both = f.value_and_jacobian(make(VECTOR), flat=True)
    assert [a.dtype for a in both] == [np.float64] * 2 and both[0].shape == (4,) and both[1].shape == (4, 4)
    assert both[0].tolist() == values.tolist() and both[1].tolist() == jac.tolist()
    assert f.value_and_jacobian(*split) == (f(*split), f.jacobian(*split)) and p.grad == p_grad


@pytest.mark.parametrize("single_output", [True, False])
@pytest.mark.parametrize("single_input", [True, False])
def test_value_and_jacobian_has_the_shapes_of_the_call_and_of_jacobian(single_output, single_input):
    x, y = Parameter(0.5, name="x"), Undefined(dim=2, name="y")
    out = vn.sin(x) * y
    f = compile(out if single_output else [out, y.x * x], y if single_input else [x, y])
    args = ((1.5, -2.0),) if single_input else (0.5, (1.5, -2.0))
    values, jacobian = f.value_and_jacobian(*args)
    assert (values, jacobian) == (f(*args), f.jacobian(*args))
    assert len(jacobian) == (2 if single_output else 3) and len(jacobian[0]) == (2 if single_input else 3)
    assert x.grad is None


def test_flat_vjp_without_seeds_and_numpy_arrays_as_inputs():
    x, y = Undefined(dim=2), Undefined()
    f = compile(x.x * x.y + y, [x, y])
    assert f.vjp(np.array([2.0, 3.0, 1.0]), flat=True).tolist() == [3.0, 2.0, 1.0]
    for lanes in (np.array([2.0, 3.0]), np.array([2, 3], dtype=np.int32), np.array([2, 3], dtype=np.float16)):
        assert f(lanes, np.float64(1.0)) == (7.0,)
        assert f.vjp(lanes, np.array([1.0])) == ((3.0, 2.0), (1.0,))


def test_flat_vectors_drive_gauss_newton_as_least_squares_solvers_do():
    # Fit a + b sin(t) to points, with x = (a, b) as one vector: residuals and
    # Jacobian straight from the Function, solved by NumPy.
    t = np.linspace(0.0, 3.0, 4)
    a, b = Undefined(name="a"), Undefined(name="b")
    data = 1.5 - 0.5 * np.sin(t)
    residuals = compile([a + b * vn.sin(float(ti)) - float(di) for ti, di in zip(t, data)], [a, b])
    x = np.zeros(2)
    for _ in range(3):
        step, *_ = np.linalg.lstsq(residuals.jacobian(x, flat=True), -residuals(x, flat=True), rcond=None)
        x = x + step
    assert x == pytest.approx([1.5, -0.5], abs=1e-12)


F4, _ = flat_function()


@pytest.mark.parametrize("call, exc, msg", [
    (lambda: F4(flat=True), TypeError, "flat=True takes one vector of all input lanes, got 0 arguments"),
    (lambda: F4(0.3, [1, 2, 3], flat=True), TypeError, "flat=True takes one vector of all input lanes, got 2 arguments"),
    (lambda: F4([1.0, 2.0, 3.0], flat=True), ValueError, "flat input must have shape (4,), got (3,)"),
    (lambda: F4.jacobian(np.zeros((2, 2)), flat=True), ValueError, "flat input must have shape (4,), got (2, 2)"),
    (lambda: F4.vjp(0.3, flat=True), ValueError, "flat input must have shape (4,), got ()"),
    (lambda: F4(["a", 1, 2, 3], flat=True), ValueError, "could not convert string to float: 'a'"),
    (lambda: F4([0.3, 1.0, math.nan, 0.0], flat=True), ValueError, FINITE),
    (lambda: F4.vjp(VECTOR, seeds=[1.0, 2.0], flat=True), ValueError, "flat seeds must have shape (4,), got (2,)"),
    (lambda: F4.vjp(VECTOR, seeds=[1.0, 2.0, math.inf, 0.0], flat=True), ValueError, FINITE),
    (lambda: F4.vjp(VECTOR, flat=True), ValueError, "vjp() without seeds requires scalar outputs"),
    (lambda: F4.value_and_jacobian([1.0, 2.0, 3.0], flat=True), ValueError, "flat input must have shape (4,), got (3,)"),
    (lambda: F4.value_and_jacobian(VECTOR, VECTOR, flat=True), TypeError,
     "flat=True takes one vector of all input lanes, got 2 arguments"),
    (lambda: F4.value_and_jacobian([0.3, 1.0, math.nan, 0.0], flat=True), ValueError, FINITE),
    (lambda: F4.value_and_jacobian(0.3), ValueError, "function expects 2 input values, got 1"),
    (lambda: F4(VECTOR, flat=1), TypeError, None),
    (lambda: F4(VECTOR, flat="yes"), TypeError, None),
])
def test_flat_calls_refuse_bad_vectors(call, exc, msg):
    check_raises(call, exc, msg)


NUMPY_IMPORT = """
import sys
{setup}
import varnel
x = varnel.Undefined()
f = varnel.compile(x * 2, [x])
print(f(1.5))
for call in (lambda: f.map(memoryview(b"\\0" * 8).cast("d", [1, 1])), lambda: f([1.5], flat=True)):
    try:
        call()
    except ImportError as error:
        print(type(error).__name__, error)
        print(type(error.__cause__).__name__)
"""

# Importing a module named numpy, or anything below it, fails with an error
# of its own, as in a broken installation or a shutting-down interpreter.
BROKEN = """
class Broken:
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name.split(".")[0] == "numpy":
            raise ImportError("numpy cannot be loaded here")
sys.meta_path.insert(0, Broken)
"""


@pytest.mark.parametrize("setup, expected", [
    ('sys.modules["numpy"] = None  # as if it were not installed',
     ["ImportError Function.map needs NumPy; install it with: pip install numpy", "ModuleNotFoundError",
      "ImportError flat=True needs NumPy; install it with: pip install numpy", "ModuleNotFoundError"]),
    (BROKEN, ["ImportError numpy cannot be loaded here", "NoneType"] * 2),
])
def test_map_says_how_to_install_numpy_only_when_it_is_missing(setup, expected):
    code = NUMPY_IMPORT.format(setup=setup)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.stdout.splitlines() == ["(3.0,)", *expected], run.stderr


P = Parameter(1.0, name="p")
U = Undefined(dim=2, name="u")
C = Constant(2.0)
EMPTY = vn.Expression.__new__(vn.Expression)
UNNAMED = Undefined()
BYTES_NAMED = Undefined(name=b"\xff\xce\xb1")


@pytest.mark.parametrize("make, exc, msg", [
    (lambda: compile([], [P]), ValueError, "function needs at least one output"),
    (lambda: compile(EMPTY, [P]), ValueError, "function output is not a valid symbolic value"),
    (lambda: compile(P, [EMPTY]), ValueError, "function input is not a valid symbolic value"),
    (lambda: compile(P, [C]), ValueError, "function inputs must be Undefined or Parameter values"),
    (lambda: compile(P, [P * 2]), ValueError, "function inputs must be Undefined or Parameter values"),
    (lambda: compile(P, [P, U, P]), ValueError, "function input is listed twice"),
    (lambda: compile(P * U, [P]), RuntimeError,
     "cannot evaluate symbolic graph with Undefined values: the Undefined 'u' is not an input of the function"),
    (lambda: compile(P * UNNAMED, [P]), RuntimeError,
     f"cannot evaluate symbolic graph with Undefined values: the Undefined #{UNNAMED.id} is not an input of the function"),
    (lambda: compile(BYTES_NAMED + 1, []), RuntimeError,
     r"cannot evaluate symbolic graph with Undefined values: the Undefined '\xff\xce\xb1' is not an input of the function"),
    (lambda: compile(P, 3), TypeError, "compile inputs must be an Expression or a sequence of Expressions"),
    (lambda: compile("p", [P]), TypeError, "compile outputs must be an Expression or a sequence of Expressions"),
    (lambda: compile([P, 1.0], [P]), TypeError, "compile outputs must be an Expression or a sequence of Expressions"),
])
def test_compile_refuses_bad_graphs(make, exc, msg):
    check_raises(make, exc, msg)


F = compile([U * P, P * P], [U])


@pytest.mark.parametrize("call, exc, msg", [
    (lambda: F(), ValueError, "function expects 1 input value, got 0"),
    (lambda: F(1.0, 2.0), ValueError, "function expects 1 input value, got 2"),
    (lambda: F(1.0), ValueError, "function input 0 has dimension 1, expected 2"),
    (lambda: F([1.0, math.nan]), ValueError, FINITE),
    (lambda: F([1.0] * 5), ValueError, "function input must contain 1..4 values"),
    (lambda: F("ab"), TypeError, "function input must be a number or a sequence of 1..4 numbers"),
    (lambda: F.jacobian([1.0, math.inf]), ValueError, FINITE),
    (lambda: F.vjp((1, 2)), ValueError, "vjp() without seeds requires scalar outputs"),
    (lambda: F.vjp((1, 2), seeds=[1.0]), ValueError, "function expects 2 seeds, got 1"),
    (lambda: F.vjp((1, 2), seeds=[1.0, 1.0]), ValueError, "backward seed dimension does not match output dimension"),
    (lambda: F.vjp((1, 2), seeds=[(1.0, math.nan), 1.0]), ValueError, FINITE),
    (lambda: F.vjp((1, 2), seeds=1.0), TypeError, "vjp seeds must be a sequence with one seed per output"),
    (lambda: Function.__new__(Function)(1.0), TypeError, None),
    (lambda: Function.__new__(Function).map(np.zeros((1, 1))), TypeError, None),
    (lambda: Function(), TypeError, None),
])
def test_calls_refuse_bad_arguments(call, exc, msg):
    check_raises(call, exc, msg)


# What the operators take as one lane, a call and a seed take too: NumPy
# scalars of every type and zero-dimensional arrays (as for Parameter and
# set_value, which take the scalars), and lane lists made of them.
@pytest.mark.parametrize("number", [np.float32(3.0), np.float16(3.0), np.int64(3), np.int32(3), np.uint8(3),
                                    np.array(3.0), np.array(3, dtype=np.int32), np.array([3.0]),
                                    np.array([np.int16(3)])])
def test_numpy_numbers_are_lanes_as_for_operators(number):
    x = Undefined(name="x")
    f = compile(x * x, [x])
    assert f(number) == f(3.0) == (Parameter(3.0) * number).eval() == (9.0,)
    assert f.vjp(number, seeds=number) == f.vjp(3.0, seeds=3.0) == ((18.0,),)
    assert f.jacobian(number) == ((6.0,),)


@pytest.mark.parametrize("lanes", [np.array([3.0, 4.0], dtype=np.float32), np.array([3, 4], dtype=np.int64),
                                   [np.int32(3), np.float32(4.0)], (np.array(3.0), 4)])
def test_numpy_lane_lists_are_lanes_as_for_operators(lanes):
    u = Undefined(dim=2, name="u")
    g = compile([u.x, u.y * u.y], [u])
    assert g(lanes) == g((3.0, 4.0)) == ((3.0,), (16.0,))
    assert (Parameter(0.0, 0.0) + lanes).eval() == (3.0, 4.0)
    assert g.vjp(lanes, seeds=lanes) == g.vjp((3.0, 4.0), seeds=(3.0, 4.0)) == ((3.0, 32.0),)
    assert compile(u, [u]).vjp((1.0, 1.0), seeds=lanes) == ((3.0, 4.0),)


# A lane that is no number fails as in backward and the factories.
@pytest.mark.parametrize("call", [lambda: F(["a", 1.0]), lambda: F.jacobian([1.0, "a"]),
                                  lambda: F.vjp((1, 2), seeds=[("a", 1.0), 1.0]),
                                  lambda: compile(P * 2, [P]).vjp(1.0, seeds=["a"])])
def test_a_lane_that_is_no_number_fails_as_in_backward(call):
    with pytest.raises(RuntimeError) as expected:
        (P * 2).backward(["a"])
    assert str(expected.value) == "Unable to cast Python instance of type <class 'str'> to C++ type 'double'"
    check_raises(call, RuntimeError, str(expected.value))


def test_a_failed_call_changes_no_gradient():
    x, p = Parameter(2.0), Parameter(1.0)
    f = compile(x / p, [x])
    assert f.vjp(3.0) == ((1.0,),) and p.grad == (-3.0,)
    p.set_value(0.0)
    for call in (lambda: f(3.0), lambda: f.vjp(3.0), lambda: f.jacobian(3.0)):
        check_raises(call, ValueError, FINITE)
    assert p.grad == (-3.0,) and x.grad is None


class Hostile:
    def __len__(self):
        raise KeyError("len")

    def __getitem__(self, index):
        raise KeyError("item")


def test_hostile_sequences_raise_their_own_errors():
    for call in (lambda: F(Hostile()), lambda: compile(Hostile(), [U]), lambda: F.vjp((1, 2), seeds=Hostile())):
        check_raises(call, KeyError, "'len'")


def test_no_node_is_made_so_ids_continue():
    x = Parameter(1.0, 2.0, 3.0)
    y = vn.sin(x) * x
    z = y.z
    first = Constant(0.0).id
    f = compile([y, z], x)
    results = [f((1, 2, 3)), f.vjp((1, 2, 3), seeds=[(1, 1, 1), 1]), f.jacobian((1, 2, 3)),
               f.map(np.ones((4, 3))).tolist()]
    assert Constant(0.0).id == first + 1
    flat = repr(results)
    assert "Expression" not in flat and "Constant" not in flat


def test_package_exports_and_stubs_cover_the_module(stub_errors):
    assert varnel.compile is compile and varnel.Function is Function
    assert {"compile", "Function"} <= set(varnel.__all__)
    assert stub_errors("varnel._compiled") == []


@pytest.mark.parametrize("member, signature", [
    (lambda: compile, "(outputs: _varnel.Expression | collections.abc.Sequence[_varnel.Expression], "
                      "inputs: _varnel.Expression | collections.abc.Sequence[_varnel.Expression] = ()) "
                      "-> varnel._compiled.Function[typing.Any, typing.Any]"),
    (lambda: varnel._compiled.compile, "(outputs, inputs=())"),
    (lambda: Function.__call__, "(self, /, *input_values, flat=False)"),
    (lambda: Function.vjp, "(self, /, *input_values, seeds=None, flat=False)"),
    (lambda: Function.jacobian, "(self, /, *input_values, flat=False)"),
    (lambda: Function.map, "(self, rows, /, *, threads=None)"),
    (lambda: Function.value_and_jacobian, "(self, /, *input_values, flat=False)"),
    (lambda: F.vjp, "(*input_values, seeds=None, flat=False)"),
    (lambda: F.map, "(rows, /, *, threads=None)"),
])
def test_signatures_name_the_parameters(member, signature):
    assert str(inspect.signature(member())) == signature


@pytest.mark.parametrize("member, first_line", [
    (lambda: compile, "Compile the graph below ``outputs`` into a :class:`Function` of ``inputs``."),
    (lambda: Function, "The outputs of a graph as a function of some of its leaves."),
    (lambda: Function.__call__, "The outputs' lanes for these input values, as eval gives them."),
    (lambda: Function.vjp, "The gradient of the seeded outputs with respect to each input."),
    (lambda: Function.jacobian, "Every output lane's derivative with respect to every input lane."),
    (lambda: Function.map, "Evaluate every row of rows into a NumPy array of shape (N, output lanes)."),
    (lambda: Function.value_and_jacobian, "The outputs' lanes and their Jacobian, from one forward pass."),
])
def test_help_explains_without_the_binding_librarys_records(member, first_line):
    text = pydoc.render_doc(member(), renderer=pydoc.plaintext)
    assert first_line in text
    assert "function_record" not in text and ": object" not in text and "arg0" not in text
