"""The binding library's base class of Expression and Function, shared with
every module bound alike, makes no instance of a class without a bound C++
type: it raises TypeError, where it used to abort the interpreter. Every
bound class, its subclasses and __new__ work as before."""
import subprocess
import sys

import pytest

import _varnel as vn
import varnel

ROUTES = [
    ("Base()", "cannot create 'pybind11_object' instances"),
    ("Base.__new__(Base)", "cannot create 'pybind11_object' instances"),
    ("type('Z', (Base,), {})()", "cannot create 'Z' instances"),
    ("type('Z', (Base,), {}).__new__(type('Z', (Base,), {}))", "cannot create 'Z' instances"),
    # pickle's protocols 0 and 1 call the base class with the object.
    ("copyreg._reduce_ex(varnel.Parameter(1.0), 1)", "cannot create 'pybind11_object' instances"),
    ("copyreg._reduce_ex(varnel.compile(varnel.Parameter(1.0)), 0)",
     "cannot create 'pybind11_object' instances"),
]

ATTEMPT = """
import copyreg, sys
import varnel
Base = varnel.Expression.__mro__[1]
for route in sys.argv[1:]:
    try:
        eval(route)
        print("no error", flush=True)
    except Exception as error:
        print(type(error).__name__, error, flush=True)
print("alive")
"""


def test_classes_without_a_bound_type_raise_type_error():
    run = subprocess.run([sys.executable, "-c", ATTEMPT, *(route for route, _ in ROUTES)],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, (run.stdout, run.stderr[-2000:])
    assert run.stdout.splitlines() == [f"TypeError {message}" for _, message in ROUTES] + ["alive"]


def test_every_bound_class_is_shared_with_the_guard():
    base = vn.Expression.__mro__[1]
    assert base.__name__ == "pybind11_object" and varnel.Function.__mro__[1] is base
    assert vn.Expression.__new__ is base.__new__


class Derived(vn.Expression):
    pass


class WithNew(varnel.Function):
    def __new__(cls):
        return super().__new__(cls)


@pytest.mark.parametrize("cls", [vn.Expression, varnel.Function, Derived, WithNew])
def test_bound_classes_and_their_subclasses_still_make_empty_instances(cls):
    made = cls.__new__(cls)
    assert type(made) is cls
    # The class still has no constructor of its own.
    with pytest.raises(TypeError, match="No constructor defined!"):
        made.__init__()
