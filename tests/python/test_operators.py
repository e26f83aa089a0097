"""Operators, lane access and the expression functions vec2/vec3/vec4/sin/cos."""
import math
import operator

import pytest

import _varnel as m
from error_checks import ANY, CAST, check_raises

NAN, INF = float("nan"), float("inf")
P, Q = m.Parameter(2.0), m.Parameter(3.0)
P2, V3 = m.Parameter(1.0, 2.0), m.Parameter(1.0, 2.0, 3.0)
C1, K = m.Constant(1), m.Parameter(5.0)


class F(float):
    pass


OPS = [(operator.add, "Add"), (operator.sub, "Subtract"),
       (operator.mul, "Multiply"), (operator.truediv, "Divide")]
# other operand, lanes of the Constant it becomes (None: it is used as it is), dimension of result
OTHERS = [(Q, None, 1), (3, (3.0,), 1), (2.5, (2.5,), 1), (True, (1.0,), 1), (F(0.5), (0.5,), 1),
          ([1, 2], (1.0, 2.0), 2), ((1, 2, 3), (1.0, 2.0, 3.0), 3), (range(1, 5), (1.0, 2.0, 3.0, 4.0), 4),
          (V3, None, 3)]


@pytest.mark.parametrize("reflected", [False, True])
@pytest.mark.parametrize("other,lanes,dim", OTHERS)
@pytest.mark.parametrize("fn,op", OPS)
def test_binary_operator_builds_node(fn, op, other, lanes, dim, reflected):
    e = fn(other, P) if reflected else fn(P, other)
    assert (e.kind, e.op, e.dim, e.is_leaf) == ("Expression", op, dim, False)
    left, right = e.inputs[::-1] if reflected else e.inputs
    assert left.id == P.id and len(e.inputs) == 2
    if lanes is None:
        assert right.id == other.id
    else:
        assert (right.kind, right.value) == ("Constant", lanes)
        assert P.id < right.id < e.id  # coerced just before the node


@pytest.mark.parametrize("fn,op", OPS)
@pytest.mark.parametrize("a,b", [(6, 3), ([6, 8], 2), (2, (1, 2, 4)), ((1, 2), [4, 8])])
def test_constant_operands_fold(fn, op, a, b):
    d = max(1 if isinstance(v, int) else len(v) for v in (a, b))
    la, lb = ([float(v)] * d if isinstance(v, int) else list(map(float, v)) for v in (a, b))
    want = tuple(map(fn, la, lb))
    for e in (fn(m.Constant(a), b), fn(a, m.Constant(b)), fn(m.Constant(a), m.Constant(b))):
        assert (e.kind, e.op, e.value, e.inputs) == ("Constant", "None", want, ())


def test_parameter_operands_never_fold():
    a = P
    a += 1  # no in-place form: a new node, P untouched
    assert a.op == "Add" and a.inputs[0].id == P.id and P.kind == "Parameter"
    assert (P / 0).op == "Divide" and (P * 0).op == "Multiply" and (P - P).op == "Subtract"


def test_negation():
    assert m.Constant(2).__neg__().value == (-2.0,) and (-m.Constant(2)).kind == "Constant"
    assert math.copysign(1.0, (-m.Constant(0)).value[0]) == -1.0
    n = -(-P)
    assert n.op == "Negate" and n.inputs[0].op == "Negate" and n.inputs[0].inputs[0].id == P.id


@pytest.mark.parametrize("name", ["add", "sub", "mul", "truediv", "radd", "rsub", "rmul", "rtruediv"])
def test_operator_called_through_class_declines_foreign_self(name):
    assert getattr(m.Expression, f"__{name}__")(1, P) is NotImplemented


@pytest.mark.parametrize("call", [lambda: P ** 2, lambda: P // 2, lambda: P % 2, lambda: abs(P),
                                  lambda: +P, lambda: P < Q, lambda: len(P), lambda: P @ Q])
def test_absent_operators(call):
    with pytest.raises(TypeError):
        call()


def test_identity_equality_and_hash():
    assert P == P and m.Constant(1) != m.Constant(1) and hash(P) == hash(P)
    assert P.x != P.x  # new wrappers, although one node


def test_lane_access():
    c3 = m.Constant(1, 2, 3)
    assert [c3.x.value, c3.y.value, c3.z.value, c3[True].value] == [(1.0,), (2.0,), (3.0,), (2.0,)]
    assert [v.value for v in c3] == [(1.0,), (2.0,), (3.0,)]
    first, second, third = V3
    for part in (first, second, third, V3[0], V3.x):
        assert (part.op, part.dim, part.inputs[0].id) == ("Component", 1, V3.id)
    assert [v.eval() for v in (V3[True], V3.z, third)] == [(2.0,), (3.0,), (3.0,)]

    class Index:
        def __index__(self):
            return 2

    assert V3[Index()].eval() == (3.0,)
    assert len(list(P2)) == 2 and len(list(K)) == 1


def test_one_lane_and_packed_lanes_are_shared_nodes():
    for src, e in ((K, K.x), (K, K[0]), (C1, C1.x), (C1, C1[False])):
        assert e.id == src.id and e is not src
    packed = m.vec3(C1, P, m.Undefined())
    assert packed[1].id == P.id and packed.z.is_undefined and packed.x.id == C1.id


OUT = "symbolic component index out of range"
R_OP = "right operand must be a symbolic value or numeric constant"
L_OP = "left operand must be a symbolic value or numeric constant"
NOT_NUM = " must be a symbolic value or numeric constant"
FIN = "symbolic value lanes must be finite"
SCALAR = " expression inputs must be scalar symbolic values"
# (exception, message, constants coerced before the failure, each taking an id) -> calls
FAILS = {
    (TypeError, R_OP, 0): [lambda: P + "a", lambda: P + b"ab", lambda: P - None, lambda: P * {1: 2},
                           lambda: P / 1j, lambda: P * object()],
    (TypeError, L_OP, 0): [lambda: "a" + P, lambda: None - P, lambda: b"ab" * P, lambda: 1j / P],
    (ValueError, "right operand must contain 1..4 values", 0): [lambda: P + []],
    (ValueError, "left operand must contain 1..4 values", 0): [lambda: [1] * 5 - P],
    (RuntimeError, CAST, 0): [lambda: P + [Q, 1], lambda: ["a"] * P, lambda: m.cos([1, "a"])],
    (ValueError, FIN, 0): [lambda: P + NAN, lambda: [1, INF] / P, lambda: m.sin(NAN)],
    (ValueError, FIN, 1): [lambda: C1 / 0, lambda: C1 / [1, 0]],
    (ValueError, "cannot combine symbolic values with dimensions 2 and 3", 1): [lambda: P2 + [1, 2, 3]],
    (ValueError, "cannot combine symbolic values with dimensions 3 and 2", 1): [lambda: [1, 2, 3] - P2],
    (ValueError, "cannot combine symbolic values with dimensions 3 and 2", 0): [lambda: V3 * P2],
    (IndexError, OUT, 0): [lambda: V3.w, lambda: V3[3], lambda: V3[-1], lambda: K.y, lambda: C1[1],
                           lambda: V3[2 ** 31 - 1], lambda: V3[-2 ** 31]],
    # binding library's own wording: wrong index type, argument count or keywords
    (TypeError, ANY, 0): [lambda: V3[1.0], lambda: V3["1"], lambda: V3[0:1], lambda: V3[2 ** 31],
                          lambda: m.vec2(1), lambda: m.vec2(x=1, y=2), lambda: m.vec3(1, 2, 3, 4),
                          lambda: m.sin(), lambda: m.cos(x=P)],
    # the last argument is coerced first
    (TypeError, "vec2 y" + NOT_NUM, 0): [lambda: m.vec2("a", "b"), lambda: m.vec2([1, 2], "y")],
    (TypeError, "vec3 z" + NOT_NUM, 0): [lambda: m.vec3(None, None, None)],
    (TypeError, "vec4 w" + NOT_NUM, 0): [lambda: m.vec4("a", "b", "c", "d")],
    (TypeError, "vec4 z" + NOT_NUM, 1): [lambda: m.vec4(P, "b", "c", 1)],
    (TypeError, "vec3 x" + NOT_NUM, 2): [lambda: m.vec3(None, 1, [1, 2])],
    (ValueError, "vec4 w must contain 1..4 values", 0): [lambda: m.vec4(1, 2, 3, [])],
    (ValueError, "vec2" + SCALAR, 2): [lambda: m.vec2([1, 2], 1)],
    (ValueError, "vec3" + SCALAR, 0): [lambda: m.vec3(P, P2, P)],
    (ValueError, "vec4" + SCALAR, 0): [lambda: m.vec4(P, P, P, V3)],
    (TypeError, "sin value" + NOT_NUM, 0): [lambda: m.sin("a")],
    (TypeError, "cos value" + NOT_NUM, 0): [lambda: m.cos(None)],
    (ValueError, "sin value must contain 1..4 values", 0): [lambda: m.sin([])],
}


@pytest.mark.parametrize("exc,msg,coerced,call", [(*k, c) for k, cs in FAILS.items() for c in cs])
def test_failures_leave_only_coerced_ids_used(exc, msg, coerced, call):
    before = m.Constant(0).id
    check_raises(call, exc, msg)
    assert m.Constant(0).id == before + 1 + coerced


@pytest.mark.parametrize("fn,n", [(m.vec2, 2), (m.vec3, 3), (m.vec4, 4)])
def test_vec_pack_and_fold(fn, n):
    nums = [1, 2.5, True, F(4)][:n]
    folded = fn(*nums)
    assert (folded.kind, folded.value) == ("Constant", tuple(float(x) for x in nums))
    args = [m.Constant([7])] + [P] * (n - 1)
    packed = fn(*args)
    assert (packed.kind, packed.op, packed.dim) == ("Expression", "Pack", n)
    assert [i.id for i in packed.inputs] == [a.id for a in args]
    assert fn(*([P] * (n - 1) + [3])).inputs[-1].value == (3.0,)


@pytest.mark.parametrize("fn,name,f", [(m.sin, "Sin", math.sin), (m.cos, "Cos", math.cos)])
def test_sin_cos(fn, name, f):
    for arg, lanes in [(0, (0.0,)), (1.5, (1.5,)), ([0, 1, 2], (0.0, 1.0, 2.0)),
                       (m.Constant(0.5, 2), (0.5, 2.0))]:
        e = fn(arg)
        assert e.kind == "Constant" and e.value == tuple(f(x) for x in lanes)
    for arg in (P, V3, P + 1):
        e = fn(arg)
        assert (e.op, e.dim, e.inputs[0].id) == (name, arg.dim, arg.id)
