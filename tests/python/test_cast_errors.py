"""A failed conversion names the Python type it got and the C++ type it
wanted, on every path that converts a number, a dimension or a name."""
import re

import pytest

import _varnel as vn

P = vn.Parameter(1.0)
Q = vn.Parameter(1.0, 2.0)
# libstdc++ spells the name's target type out with its template arguments.
STRING = r"std::(__cxx11::)?basic_string<char.*>"


def cast_message(got, target):
    return re.escape(f"Unable to cast Python instance of type {got!r} to C++ type '") + target + "'$"


@pytest.mark.parametrize("call, got, target", [
    (lambda: vn.Constant("a"), str, "double"),
    (lambda: vn.Parameter(1.0, None), type(None), "double"),
    (lambda: vn.Constant([1, "a"]), str, "double"),
    (lambda: vn.Parameter((1, 2, b"x")), bytes, "double"),
    (lambda: P.set_value("a"), str, "double"),
    (lambda: Q.set_value([1, object()]), object, "double"),
    (lambda: P + [1, "a"], str, "double"),
    (lambda: ["a"] / P, str, "double"),
    (lambda: vn.vec2(1, [None]), type(None), "double"),
    (lambda: vn.sin(["a"]), str, "double"),
    (lambda: vn.Undefined(hint=["a"]), str, "double"),
    (lambda: vn.Undefined(hint=(1, 2j)), complex, "double"),
    (lambda: (P * Q).backward([1, "a"]), str, "double"),
    (lambda: vn.Undefined(dim=1.5), float, "int"),
    (lambda: vn.Undefined(dim="2"), str, "int"),
    (lambda: vn.Undefined(dim=2 ** 40), int, "int"),
    (lambda: vn.Parameter(1.0, name=3), int, STRING),
    (lambda: vn.Undefined(name=None), type(None), STRING),
], ids=["number", "number-arg", "item", "item-bytes", "set_value", "set_value-item",
        "operand-item", "reflected-operand-item", "vec2-item", "sin-item", "hint-item",
        "hint-complex", "seed-item", "dim-float", "dim-str", "dim-range", "name-int", "name-none"])
def test_cast_error_names_both_types(call, got, target):
    with pytest.raises(RuntimeError, match=cast_message(got, target)):
        call()
