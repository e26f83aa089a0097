"""An Expression or a compiled Function cannot be pickled or copied: every
route raises TypeError and the interpreter carries on. Each route runs in
its own interpreter, so an abort is reported as a failure instead of ending
the test session."""
import pickle
import subprocess
import sys

import pytest

import _varnel as vn

# Each kind of node, and an object that holds no node at all.
ATTEMPT = """
import copy, pickle, sys
import _varnel as vn
kinds = [vn.Constant(1.0), vn.Parameter(1.0, 2.0, name="p"), vn.Undefined(dim=3),
         vn.Undefined(hint=[1, 2]), vn.Parameter(1.0) * 2.0, vn.sin(vn.Undefined()),
         vn.vec2(vn.Parameter(1.0), 2.0).y, vn.Expression.__new__(vn.Expression)]
attempt = eval("lambda e: " + sys.argv[1])
for e in kinds:
    try:
        attempt(e)
        print("no error")
    except Exception as error:
        print(type(error).__name__, error)
print("alive")
"""

ROUTES = [f"pickle.dumps(e, {protocol})" for protocol in range(pickle.HIGHEST_PROTOCOL + 1)] + [
    "copy.copy(e)", "copy.deepcopy(e)", "copy.deepcopy([e])", "e.__reduce__()",
    "e.__reduce_ex__(0)", "e.__reduce_ex__(1)", "e.__reduce_ex__(2)",
    "object.__reduce_ex__(e, 0)", "object.__reduce_ex__(e, 1)"]


@pytest.mark.parametrize("route", ROUTES)
def test_every_route_raises_type_error(route):
    run = subprocess.run([sys.executable, "-c", ATTEMPT, route], capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stderr[-2000:]
    refused = "TypeError cannot pickle '_varnel.Expression' object"
    assert run.stdout.splitlines() == [refused] * 8 + ["alive"]


def test_refusal_adds_no_public_name():
    public = {n for n in dir(vn.Expression) if not n.startswith("_")}
    assert public == {"id", "kind", "op", "dim", "dimension", "name", "is_constant",
                      "is_parameter", "is_undefined", "is_expression", "is_leaf", "value",
                      "hint", "grad", "inputs", "x", "y", "z", "w", "eval", "set_value",
                      "backward", "zero_grad"}


# A Function of one and of several outputs, one made through __new__ alone,
# and one of a subclass: refused by the same message as an Expression.
ATTEMPT_FUNCTION = """
import copy, pickle, sys
import varnel
x = varnel.Parameter(1.0)
F = varnel.Function
G = type("G", (F,), {})
kinds = [varnel.compile(x * 2, [x]), varnel.compile([x, x * x], x), F.__new__(F), G.__new__(G)]
attempt = eval("lambda e: " + sys.argv[1])
for e in kinds:
    try:
        attempt(e)
        print("no error")
    except Exception as error:
        print(type(error).__name__, error)
print("alive")
"""


@pytest.mark.parametrize("route", ROUTES)
def test_every_route_of_a_function_raises_type_error(route):
    run = subprocess.run([sys.executable, "-c", ATTEMPT_FUNCTION, route], capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr[-2000:]
    refused = "TypeError cannot pickle 'varnel._compiled.Function' object"
    assert run.stdout.splitlines() == [refused] * 3 + ["TypeError cannot pickle 'G' object", "alive"]
