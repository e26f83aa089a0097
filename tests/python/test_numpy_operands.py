"""NumPy arrays and scalars as operands give what the same list or Python number gives."""
import operator

import pytest

from _varnel import Constant, Parameter, vec2

np = pytest.importorskip("numpy")

OPERATORS = [operator.add, operator.sub, operator.mul, operator.truediv]

# NumPy operand, and the plain Python operand it stands for.
OPERANDS = [
    (np.array([1.5, 2.0]), [1.5, 2.0]),
    (np.array([1.5, -2.0, 4.0], dtype=np.float32), [1.5, -2.0, 4.0]),
    (np.array([3, -4, 5, 6], dtype=np.int64), [3, -4, 5, 6]),
    (np.array([True, True]), [True, True]),
    (np.array([2.5]), [2.5]),
    (np.arange(1.0, 9.0)[::2], [1.0, 3.0, 5.0, 7.0]),
    (np.array([1.5, -2.0, 4.0])[::-1], [4.0, -2.0, 1.5]),
    (np.array([1.5, -2.0], dtype=">f8"), [1.5, -2.0]),
    (np.array(2.5), 2.5),
    (np.float64(2.5), 2.5),
    (np.float32(0.1), float(np.float32(0.1))),
    (np.float16(1.5), 1.5),
    (np.int64(-3), -3),
    (np.int8(7), 7),
    (np.uint64(2**63), 2**63),
    (np.bool_(True), True),
]
OPERAND_IDS = [f"{type(n).__name__}-{np.dtype(getattr(n, 'dtype', None)).name}-{np.ndim(n)}d" for n, _ in OPERANDS]


def shape(value):
    """What an operator's result is made of: kind, op, lanes, operand lanes and constant values."""
    inputs = value.inputs
    constants = [i.value for i in inputs if i.is_constant]
    lanes = value.eval() if not value.is_undefined else None
    return value.kind, value.op, value.dim, [i.dim for i in inputs], constants, lanes


@pytest.mark.parametrize("op", OPERATORS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("numpy_operand, plain", OPERANDS, ids=OPERAND_IDS)
@pytest.mark.parametrize("side", ["left", "right"])
def test_numpy_operand_builds_what_the_plain_operand_builds(op, numpy_operand, plain, side):
    p = Parameter(2.0)
    apply = (lambda other: op(other, p)) if side == "left" else (lambda other: op(p, other))
    got, want = apply(numpy_operand), apply(plain)
    assert type(got) is type(want)
    assert shape(got) == shape(want)
    order = [i.is_parameter for i in got.inputs]
    assert order == ([False, True] if side == "left" else [True, False])


@pytest.mark.parametrize("op", OPERATORS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("numpy_operand, plain", OPERANDS, ids=OPERAND_IDS)
def test_numpy_operand_folds_with_a_constant_on_either_side(op, numpy_operand, plain):
    k = Constant(4.0)
    assert op(numpy_operand, k).value == op(plain, k).value
    assert op(k, numpy_operand).value == op(k, plain).value
    assert op(numpy_operand, k).is_constant


BAD_OPERANDS = [
    (np.zeros(5), [0.0] * 5),
    (np.zeros(0), []),
    (np.zeros((2, 2)), [[0.0, 0.0], [0.0, 0.0]]),
    (np.zeros((2, 1)), [[0.0], [0.0]]),
    (np.zeros((5, 2)), [[0.0, 0.0]] * 5),
    (np.array([np.nan, 1.0]), [float("nan"), 1.0]),
    (np.float64(np.inf), float("inf")),
    (np.complex128(1j), 1j),
    (np.array(["a", "b"]), ["a", "b"]),
    (np.str_("ab"), "ab"),
    (np.zeros(3), [0.0] * 3),  # does not combine with two lanes
]


@pytest.mark.parametrize("op", OPERATORS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("numpy_operand, plain", BAD_OPERANDS,
                         ids=[f"{type(n).__name__}-{np.shape(n)}-{i}" for i, (n, _) in enumerate(BAD_OPERANDS)])
@pytest.mark.parametrize("side", ["left", "right"])
def test_numpy_operand_fails_as_the_plain_operand_fails(op, numpy_operand, plain, side):
    p = Parameter(1.0, 2.0)

    def failure(other):
        with pytest.raises(Exception) as caught:
            op(other, p) if side == "left" else op(p, other)
        return type(caught.value), str(caught.value)

    got, want = failure(numpy_operand), failure(plain)
    assert got == want
    assert want[1].startswith(("left operand", "right operand", "Unable to cast", "symbolic value lanes",
                               "cannot combine"))


def test_huge_array_is_refused_by_length_without_being_copied():
    with pytest.raises(ValueError, match="^right operand must contain 1..4 values$"):
        Parameter(1.0) + np.zeros(50_000_000, dtype=np.uint8)


@pytest.mark.parametrize("make", [lambda x, y: vec2(x, y), lambda x, y: vec2(y, x)])
def test_numpy_scalars_and_arrays_in_module_functions(make):
    assert make(np.float32(1.5), np.int64(2)).value == make(1.5, 2).value
    with pytest.raises(ValueError, match="vec2 expression inputs must be scalar symbolic values"):
        make(np.array([1.0, 2.0]), 1.0)


def test_an_array_subclass_coerces_through_the_base_conversion():
    class Tampered(np.ndarray):
        def tolist(self):
            raise AssertionError("the subclass's own tolist must not decide the lanes")

    arr = np.array([1.0, 2.0]).view(Tampered)
    assert (arr + Parameter(1.0)).inputs[0].value == (1.0, 2.0)


def test_a_python_class_named_like_numpy_is_not_taken_for_it():
    fake = type("numpy.ndarray", (), {"tolist": lambda self: [1.0, 2.0]})
    assert fake.__name__ == "numpy.ndarray"
    with pytest.raises(TypeError, match="^right operand must be a symbolic value or numeric constant$"):
        Parameter(1.0) + fake()


def test_an_object_array_holding_itself_fails_cleanly():
    loop = np.empty((), dtype=object)
    loop[()] = loop
    with pytest.raises(TypeError):
        Parameter(1.0) + loop
    held = np.empty((), dtype=object)
    p = Parameter(3.0)
    held[()] = p
    assert (held * Parameter(1.0)).inputs[0].id == p.id


def unaligned(values):
    raw = np.frombuffer(bytearray(8 * len(values) + 1), dtype="<f8", offset=1, count=len(values))
    raw[:] = values
    return raw


def read_only(values):
    array = np.array(values)
    array.flags.writeable = False
    return array


# Float64 arrays as a call's input: every layout NumPy gives them, and the
# shapes refused, each as the list it stands for.
CALL_INPUTS = [
    (lambda: np.array([0.5, -1.5, 2.0]), [0.5, -1.5, 2.0]),
    (lambda: np.arange(6.0)[::2], [0.0, 2.0, 4.0]),
    (lambda: np.array([0.5, -1.5, 2.0])[::-1], [2.0, -1.5, 0.5]),
    (lambda: unaligned([0.5, -1.5, 2.0]), [0.5, -1.5, 2.0]),
    (lambda: np.array([0.5, -1.5, 2.0], dtype=">f8"), [0.5, -1.5, 2.0]),
    (lambda: read_only([0.5, -1.5, 2.0]), [0.5, -1.5, 2.0]),
    (lambda: np.array([0.5, -1.5]), [0.5, -1.5]),
    (lambda: np.array(0.5), 0.5),
    (lambda: np.zeros(5), [0.0] * 5),
    (lambda: np.zeros(0), []),
    (lambda: np.zeros((3, 1)), [[0.0], [0.0], [0.0]]),
    (lambda: np.array([np.nan, 1.0, 2.0]), [float("nan"), 1.0, 2.0]),
]


@pytest.mark.parametrize("make, plain", CALL_INPUTS, ids=lambda x: "" if callable(x) else repr(x))
def test_a_float64_array_input_of_a_call_gives_what_its_list_gives(make, plain):
    from varnel import Undefined, compile, sin

    x = Undefined(dim=3, name="x")
    f = compile(sin(x) * x + 1.0, [x])

    def outcome(value):
        try:
            return f(value), f.vjp(value, seeds=(1.0, 2.0, 3.0)), f.jacobian(value)
        except Exception as error:  # the same class and message as for the list
            return type(error), str(error)

    assert outcome(make()) == outcome(plain)
