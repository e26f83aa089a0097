"""eval, set_value, backward and zero_grad as Python sees them."""
import math
import re

import pytest

import _varnel as vn

NAN, INF = float("nan"), float("inf")
INCOMPATIBLE = "incompatible function arguments"


def test_eval_returns_lanes_and_changes_nothing():
    p, v = vn.Parameter(2), vn.Parameter(1, 2, 3)
    assert (p * 2).eval() == (4.0,)
    out = v * p + [0, 0, 1]
    assert out.eval() == (2.0, 4.0, 7.0) and out.eval() == (2.0, 4.0, 7.0)
    assert (p.value, v.value, p.grad, v.grad) == ((2.0,), (1.0, 2.0, 3.0), None, None)
    assert vn.vec2(p, v.z).eval() == (2.0, 3.0)


@pytest.mark.parametrize("make, exc, message", [
    (lambda p: vn.Undefined(dim=1), RuntimeError, "cannot evaluate symbolic graph with Undefined values"),
    (lambda p: p * vn.Undefined(hint=2.0) + 1, RuntimeError, "cannot evaluate symbolic graph with Undefined values"),
    (lambda p: 1 / (p - 2), ValueError, "symbolic value lanes must be finite"),
])
def test_eval_failures(make, exc, message):
    with pytest.raises(exc, match=f"^{re.escape(message)}$"):
        make(vn.Parameter(2)).eval()


@pytest.mark.parametrize("call", [lambda e: e.eval(1), lambda e: e.eval(x=1),
                                  lambda e: e.zero_grad(1), lambda e: e.zero_grad(seed=1),
                                  lambda e: e.backward(1, 2), lambda e: e.backward(sed=1),
                                  lambda e: e.set_value(x=1)])
def test_undeclared_arguments_are_refused(call):
    p = vn.Parameter(1)
    with pytest.raises(TypeError, match=INCOMPATIBLE):
        call(p * p)
    assert (p.value, p.grad) == ((1.0,), None)


def seeded(out, seed, by_keyword):
    return out.backward(seed=seed) if by_keyword else out.backward(seed)


@pytest.mark.parametrize("seed", ["omitted", None, 1, 1.0, True, [1], (1.0,), range(1, 2)])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_scalar_seed_forms_run_the_same_pass(seed, by_keyword):
    x, y = vn.Parameter(2), vn.Parameter(3)
    out = x * x * 3 + y * x
    run = (lambda: out.backward()) if seed == "omitted" else (lambda: seeded(out, seed, by_keyword))
    assert run() is None
    assert (x.grad, y.grad) == ((15.0,), (2.0,))
    run()  # a second pass accumulates
    assert (x.grad, y.grad) == ((30.0,), (4.0,))


@pytest.mark.parametrize("seed, s_grad, v_grad", [
    ([1, 0, 0], (1.0,), (2.0, 0.0, 0.0)),
    ((1, 0, 0), (1.0,), (2.0, 0.0, 0.0)),
    (range(1, 4), (14.0,), (2.0, 4.0, 6.0)),
    ([0.5, True, -2], (-3.5,), (1.0, 2.0, -4.0)),
])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_vector_seed_forms(seed, s_grad, v_grad, by_keyword):
    s, v = vn.Parameter(2), vn.Parameter(1, 2, 3)
    out = s * v
    assert seeded(out, seed, by_keyword) is None
    assert (s.grad, v.grad) == (s_grad, v_grad)


# Each failing call sees p and v with gradients from an earlier pass and r
# without one; all three are below both outputs, so any partial write shows.
FAILURES = [
    ("vec", lambda o: o.backward(), ValueError, "backward() without seed requires scalar output"),
    ("vec", lambda o: o.backward(seed=None), ValueError, "backward() without seed requires scalar output"),
    ("vec", lambda o: o.backward(1), ValueError, "backward seed dimension does not match output dimension"),
    ("vec", lambda o: o.backward([1, 2]), ValueError, "backward seed dimension does not match output dimension"),
    ("one", lambda o: o.backward((1, 1)), ValueError, "backward seed dimension does not match output dimension"),
    ("vec", lambda o: o.backward("abc"), TypeError, "backward seed must be a numeric sequence of length 1..4"),
    ("one", lambda o: o.backward(b"a"), TypeError, "backward seed must be a numeric sequence of length 1..4"),
    ("one", lambda o: o.backward({1: 1}), TypeError, "backward seed must be a numeric sequence of length 1..4"),
    ("one", lambda o: o.backward(1j), TypeError, "backward seed must be a numeric sequence of length 1..4"),
    ("one", lambda o: o.backward([]), ValueError, "backward seed must contain 1..4 values"),
    ("vec", lambda o: o.backward([1] * 5), ValueError, "backward seed must contain 1..4 values"),
    ("one", lambda o: o.backward(NAN), ValueError, "symbolic value lanes must be finite"),
    ("one", lambda o: o.backward(-INF), ValueError, "symbolic value lanes must be finite"),
    ("vec", lambda o: o.backward([1, NAN, 0]), ValueError, "symbolic value lanes must be finite"),
    # the seed's lanes are checked before its dimension is compared
    ("vec", lambda o: o.backward([INF]), ValueError, "symbolic value lanes must be finite"),
    ("vec", lambda o: o.backward([1, "a", 0]), RuntimeError, "Unable to cast Python instance of type "),
    ("vec", lambda o: o.backward(vn.Parameter(1, 1, 1)), TypeError,
     "object of type '_varnel.Expression' has no len()"),
    ("undef", lambda o: o.backward(), RuntimeError, "cannot evaluate symbolic graph with Undefined values"),
    ("undef", lambda o: o.backward(2.0), RuntimeError, "cannot evaluate symbolic graph with Undefined values"),
    # seed problems are reported before the graph is evaluated
    ("undef", lambda o: o.backward("abc"), TypeError, "backward seed must be a numeric sequence of length 1..4"),
    ("undef", lambda o: o.backward([1, 1]), ValueError, "backward seed dimension does not match output dimension"),
    ("undef3", lambda o: o.backward(), ValueError, "backward() without seed requires scalar output"),
    ("inf", lambda o: o.backward(), ValueError, "symbolic value lanes must be finite"),
]


@pytest.mark.parametrize("graph, call, exc, message", FAILURES)
def test_failing_backward_keeps_every_gradient(graph, call, exc, message):
    p, v, r = vn.Parameter(2), vn.Parameter(1, 2, 3), vn.Parameter(0.5)
    (p * v).backward([1, 1, 1])
    outputs = {"vec": v * p + r, "one": p * r + v.y, "undef": p * r + vn.Undefined() + v.x,
               "undef3": v * r + vn.Undefined(dim=3) * p, "inf": v.z * r / (p - 2)}
    out = outputs[graph]
    with pytest.raises(exc, match="^" + re.escape(message)):
        call(out)
    assert (p.grad, v.grad, r.grad) == ((6.0,), (2.0, 2.0, 2.0), None)
    assert (p.value, v.value, r.value) == ((2.0,), (1.0, 2.0, 3.0), (0.5,))


@pytest.mark.parametrize("lanes, args", [
    ((5.0,), (5,)), ((5.5,), ([5.5],)), ((1.0,), (True,)),
    ((3.0, 4.0), (3, 4)), ((3.0, 4.0), ([3, 4],)), ((3.0, 4.0), ((3.0, 4),)),
    ((0.0, 1.0), (range(2),)), ((1.0, 2.0, 3.0, 4.0), (1, 2, 3, 4)),
])
def test_set_value_forms(lanes, args):
    q = vn.Parameter(*([9] * len(lanes)))
    ident = q.id
    assert q.set_value(*args) is None
    assert (q.value, q.eval(), q.id) == (lanes, lanes, ident)


@pytest.mark.parametrize("target, args, exc, message", [
    ("q", (1,), ValueError, "set_value() dimension does not match Parameter dimension"),
    ("q", ([1, 2, 3],), ValueError, "set_value() dimension does not match Parameter dimension"),
    ("q", (), ValueError, "set_value expects 1..4 numeric values"),
    ("q", (1, 2, 3, 4, 5), ValueError, "set_value expects 1..4 numeric values"),
    ("q", ([],), ValueError, "set_value must contain 1..4 values"),
    ("q", ((1,) * 5,), ValueError, "set_value must contain 1..4 values"),
    ("q", (NAN, 1), ValueError, "symbolic value lanes must be finite"),
    ("q", ([1, INF],), ValueError, "symbolic value lanes must be finite"),
    ("q", ("ab",), RuntimeError, "Unable to cast Python instance of type "),
    ("q", ([1, 2], 3), RuntimeError, "Unable to cast Python instance of type "),
    ("c", (2,), RuntimeError, "set_value() is only valid for Parameter values"),
    ("e", (2, 2), RuntimeError, "set_value() is only valid for Parameter values"),
    ("u", (2,), RuntimeError, "set_value() is only valid for Parameter values"),
    # the argument list is judged before the node
    ("c", (), ValueError, "set_value expects 1..4 numeric values"),
    ("c", ([],), ValueError, "set_value must contain 1..4 values"),
    ("u", (NAN,), ValueError, "symbolic value lanes must be finite"),
])
def test_set_value_failures_change_nothing(target, args, exc, message):
    q = vn.Parameter(7, 8)
    (q * q).backward([1, 1])
    obj = {"q": q, "c": vn.Constant(1), "e": q * 2, "u": vn.Undefined()}[target]
    with pytest.raises(exc, match="^" + re.escape(message)):
        obj.set_value(*args)
    assert (q.value, q.grad) == ((7.0, 8.0), (14.0, 16.0))


def test_set_value_is_seen_by_next_eval_and_keeps_gradient():
    p = vn.Parameter(3)
    square = p * p
    later = vn.sin(p) + square
    square.backward()
    p.set_value(5)
    assert square.eval() == (25.0,)
    assert later.eval() == pytest.approx((math.sin(5) + 25,))
    assert p.grad == (6.0,)
    square.backward()
    assert p.grad == (16.0,)


def test_zero_grad_scope_across_graphs_sharing_a_parameter():
    a, b, c = vn.Parameter(2), vn.Parameter(3), vn.Parameter(5)
    g1, g2 = a * b, a * c
    g1.backward()
    g2.backward()
    assert (a.grad, b.grad, c.grad) == ((8.0,), (2.0,), (2.0,))
    assert g1.zero_grad() is None
    assert (a.grad, b.grad, c.grad) == (None, None, (2.0,))
    g2.backward()  # a starts again from zero lanes, c accumulates
    assert (a.grad, b.grad, c.grad) == ((5.0,), None, (4.0,))
    # clearing only walks the graph, so an Undefined below does not stop it
    (c + vn.Undefined()).zero_grad()
    assert (a.grad, c.grad) == ((5.0,), None)
    a.zero_grad()
    assert a.grad is None
    vn.Constant(1).zero_grad()  # nothing to clear, and no complaint
