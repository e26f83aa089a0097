"""Leaf factories Constant, Parameter, Undefined and the conversion of their arguments."""
import math

import pytest

import _varnel as m
from error_checks import ANY, CAST, check_raises

NAN, INF = float("nan"), float("inf")
P = m.Parameter(1.0)


# call, kind, dim, value (None: no direct value), hint, name
MADE = [
    (lambda: m.Constant(1), "Constant", 1, (1.0,), None, ""),
    (lambda: m.Constant(1, 2, 3, 4), "Constant", 4, (1.0, 2.0, 3.0, 4.0), None, ""),
    (lambda: m.Constant([1, 2]), "Constant", 2, (1.0, 2.0), None, ""),
    (lambda: m.Constant((1.5, -2)), "Constant", 2, (1.5, -2.0), None, ""),
    (lambda: m.Constant(range(3)), "Constant", 3, (0.0, 1.0, 2.0), None, ""),
    (lambda: m.Constant(bytearray(b"\x01\x02")), "Constant", 2, (1.0, 2.0), None, ""),
    (lambda: m.Constant(True, False), "Constant", 2, (1.0, 0.0), None, ""),
    (lambda: m.Constant(1.7976931348623157e308), "Constant", 1, (1.7976931348623157e308,), None, ""),
    (lambda: m.Parameter(1, 2, name="p"), "Parameter", 2, (1.0, 2.0), None, "p"),
    (lambda: m.Parameter(1), "Parameter", 1, (1.0,), None, ""),
    (lambda: m.Parameter([1, 2], name=b"p"), "Parameter", 2, (1.0, 2.0), None, "p"),
    (lambda: m.Parameter((1, 2, 3), name=bytearray(b"q")), "Parameter", 3, (1.0, 2.0, 3.0), None, "q"),
    (lambda: m.Parameter(0.5, name="\u00e9t\u00e9"), "Parameter", 1, (0.5,), None, "\u00e9t\u00e9"),
    (lambda: m.Parameter(2, name="a\x00b"), "Parameter", 1, (2.0,), None, "a\x00b"),
    (lambda: m.Undefined(), "Undefined", 1, None, None, ""),
    (lambda: m.Undefined(dim=3, name="u"), "Undefined", 3, None, None, "u"),
    (lambda: m.Undefined(dim=4, name=b"b"), "Undefined", 4, None, None, "b"),
    (lambda: m.Undefined(hint=2.5), "Undefined", 1, None, (2.5,), ""),
    (lambda: m.Undefined(hint=True), "Undefined", 1, None, (1.0,), ""),
    (lambda: m.Undefined(hint=[1, 2]), "Undefined", 2, None, (1.0, 2.0), ""),
    (lambda: m.Undefined(hint=(1, 2), dim=2, name="h"), "Undefined", 2, None, (1.0, 2.0), "h"),
    (lambda: m.Undefined(hint=range(1, 5)), "Undefined", 4, None, (1.0, 2.0, 3.0, 4.0), ""),
    (lambda: m.Undefined(hint=None, dim=2), "Undefined", 2, None, None, ""),
]


@pytest.mark.parametrize("call,kind,dim,value,hint,name", MADE)
def test_factory_makes_leaf(call, kind, dim, value, hint, name):
    v = call()
    assert (v.kind, v.dim, v.hint, v.name, v.inputs, v.op) == (kind, dim, hint, name, (), "None")
    if value is None:
        check_raises(lambda: v.value, RuntimeError, "symbolic value has no direct numeric value")
    else:
        assert v.value == value
    suffix = f"({name})" if name else ""
    assert repr(v) == f"{kind}<{dim}>#{v.id}{suffix}"


def test_negative_zero_is_kept():
    assert math.copysign(1.0, m.Constant(-0.0).value[0]) == -1.0


def test_numeric_subclasses_are_numbers():
    class F(float):
        pass

    class I(int):
        pass

    assert m.Constant(F(1.5), I(2)).value == (1.5, 2.0)
    assert m.Undefined(hint=F(0.25)).hint == (0.25,)


CT, PA, UN = m.Constant, m.Parameter, m.Undefined
DIM = "symbolic value dimension must be in 1..4"
FIN = "symbolic value lanes must be finite"
UNKNOWN = "unknown keyword argument"
POSITIONAL = "Undefined expects keyword arguments: hint=..., dim=..., name=..."
HINT_SEQ = "hint must be a numeric sequence of length 1..4"
MISMATCH = "Undefined hint dimension does not match dim"
# (exception, message) -> calls that must raise it
FAILS = {
    (ValueError, "Constant expects 1..4 numeric values"): [lambda: CT(), lambda: CT(1, 2, 3, 4, 5)],
    (ValueError, "Constant must contain 1..4 values"):
        [lambda: CT([]), lambda: CT([1, 2, 3, 4, 5]), lambda: CT([NAN] * 5)],
    (RuntimeError, CAST): [lambda: CT("12"), lambda: CT(b"12"), lambda: CT([1, 2], 3),
                           lambda: CT([[1, 2]]), lambda: CT([1, "a"]), lambda: CT(None),
                           lambda: CT({1: 2}), lambda: CT(P, 1), lambda: PA(name=3),
                           lambda: PA(name=3, dim=2), lambda: PA(1, name=None), lambda: PA("1"),
                           lambda: UN(dim=2.0), lambda: UN(dim="2"), lambda: UN(dim=2 ** 31),
                           lambda: UN(name=3), lambda: UN(hint=["a"]), lambda: UN(dim="x", seed=3),
                           lambda: UN(name=4, seed=3)],
    # an Expression passes the sequence check, then its length query fails
    (TypeError, ANY): [lambda: CT(P), lambda: UN(hint=P)],
    (ValueError, FIN): [lambda: CT(NAN), lambda: CT(1, -INF), lambda: CT((1, 2, INF)),
                        lambda: PA(1, NAN, name="n"), lambda: UN(hint=[1, NAN]), lambda: UN(hint=INF)],
    (TypeError, "Constant does not accept keyword arguments"):
        [lambda: CT(name="c"), lambda: CT(1, x=2), lambda: CT([], name="c")],
    (ValueError, "Parameter expects 1..4 numeric values"): [lambda: PA(), lambda: PA(name="p")],
    (ValueError, "Parameter must contain 1..4 values"): [lambda: PA([])],
    (TypeError, UNKNOWN): [lambda: PA(1, dim=2), lambda: PA(1, name="p", dim=2), lambda: PA(dim=2),
                           lambda: PA(NAN, name="n", dim=2), lambda: UN(dim=2, seed=3),
                           lambda: UN(hint="x", seed=3), lambda: UN(hint=[], seed=3)],
    (ValueError, DIM): [lambda: UN(dim=0), lambda: UN(dim=5), lambda: UN(dim=-1, name="u"),
                        lambda: UN(hint=None, dim=5), lambda: UN(dim=2 ** 31 - 1)],
    (ValueError, MISMATCH): [lambda: UN(hint=[1, 2], dim=3), lambda: UN(hint=2.5, dim=2),
                             lambda: UN(hint=[1, 2], dim=0)],
    (TypeError, HINT_SEQ): [lambda: UN(hint="ab"), lambda: UN(hint=b"ab"), lambda: UN(hint={1: 2}),
                            lambda: UN(hint=1j)],
    (ValueError, "hint must contain 1..4 values"): [lambda: UN(hint=[]), lambda: UN(hint=[1] * 5, dim=5)],
    (TypeError, POSITIONAL): [lambda: UN(1), lambda: UN(1, dim=2), lambda: UN(None, dim="x")],
}


@pytest.mark.parametrize("exc,msg,call", [(*k, c) for k, cs in FAILS.items() for c in cs])
def test_factory_failure_creates_nothing(exc, msg, call):
    before = m.Constant(0).id
    check_raises(call, exc, msg)
    assert m.Constant(0).id == before + 1


@pytest.mark.parametrize("make", [lambda n: m.Parameter(1, name=n), lambda n: m.Undefined(name=n)])
@pytest.mark.parametrize("raw", [b"\xff", bytearray(b"ok\x80"), b"\xc3"])
def test_non_utf8_name_fails_only_on_decoding(make, raw):
    v = make(raw)
    for _ in range(2):  # the failed read leaves the node as it was
        with pytest.raises(UnicodeDecodeError):
            v.name
        with pytest.raises(UnicodeDecodeError):
            repr(v)
    assert (v.dim, v.is_leaf) == (1, True) and v.op == "None"


def test_same_name_gives_distinct_nodes():
    a, b = m.Parameter(1, name="w"), m.Parameter(1, name="w")
    assert a.id != b.id and a.name == b.name == "w"
