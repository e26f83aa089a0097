"""The C number slots of Expression against the registered operator methods.

`reference` replays what the interpreter does for `a OP b` when every class
of the Expression family has the interpreter's generic slot, which calls the
registered methods by name; each case must give the same result, error, ids
consumed and calls into user objects as the real operator."""
import ctypes
import gc
import operator
import weakref

import pytest

import _varnel as m
from _varnel import Expression

OPS = {
    "+": (operator.add, "__add__", "__radd__"),
    "-": (operator.sub, "__sub__", "__rsub__"),
    "*": (operator.mul, "__mul__", "__rmul__"),
    "/": (operator.truediv, "__truediv__", "__rtruediv__"),
}

CALLS = []


class Sub(Expression):
    pass


class SubReflected(Expression):
    def __radd__(self, other):
        CALLS.append(("SubReflected.__radd__", type(other).__name__))
        return "sub-radd"

    __rsub__ = __rmul__ = __rtruediv__ = __radd__


class Reflecting:
    def __radd__(self, other):
        CALLS.append(("Reflecting.__radd__", type(other).__name__))
        return "reflected"

    __rsub__ = __rmul__ = __rtruediv__ = __radd__


class Declining:
    def __add__(self, other):
        CALLS.append(("Declining.__add__", type(other).__name__))
        return NotImplemented

    __sub__ = __mul__ = __truediv__ = __add__

    def __radd__(self, other):
        CALLS.append(("Declining.__radd__", type(other).__name__))
        return NotImplemented

    __rsub__ = __rmul__ = __rtruediv__ = __radd__


class FloatSub(float):
    pass


class IntSub(int):
    pass


class FailingSequence:
    def __len__(self):
        raise ZeroDivisionError("no length")

    def __getitem__(self, index):
        return 1.0


# Classes whose slot is the interpreter's generic one.
GENERIC = (Expression, Reflecting, Declining)


def generic_slot(forward, reflected):
    def call(obj, name, other):
        method = getattr(type(obj), name, None)
        return NotImplemented if method is None else method(obj, other)

    def slot(a, b):
        do_other = type(a) is not type(b) and issubclass(type(b), GENERIC)
        if issubclass(type(a), GENERIC):
            if (do_other and issubclass(type(b), type(a))
                    and getattr(type(b), reflected, None) != getattr(type(a), reflected, None)):
                r = call(b, reflected, a)
                if r is not NotImplemented:
                    return r
                do_other = False
            r = call(a, forward, b)
            if r is not NotImplemented or type(b) is type(a):
                return r
        if do_other:
            return call(b, reflected, a)
        return NotImplemented

    return slot


def slot_of(cls, forward, reflected):
    if issubclass(cls, GENERIC):
        return "generic"
    # The numbers' own slots decline an Expression; the rest have none.
    return "number" if issubclass(cls, (int, float)) else None


def reference(symbol, a, b):
    """The interpreter's binary operation over generic slots only."""
    _, forward, reflected = OPS[symbol]
    generic = generic_slot(forward, reflected)
    run = {"generic": generic, "number": lambda x, y: NotImplemented}
    slotv = slot_of(type(a), forward, reflected)
    slotw = slot_of(type(b), forward, reflected) if type(b) is not type(a) else None
    if slotw == slotv:
        slotw = None
    if slotv:
        if slotw and issubclass(type(b), type(a)):
            r = run[slotw](a, b)
            if r is not NotImplemented:
                return r
            slotw = None
        r = run[slotv](a, b)
        if r is not NotImplemented:
            return r
    if slotw:
        r = run[slotw](a, b)
        if r is not NotImplemented:
            return r
    raise TypeError("unsupported operand types")


def describe(result, known):
    if not isinstance(result, Expression):
        return result
    assert all(result is not obj for obj in known.values()), "a result must be a new object"
    names = {obj.id: name for name, obj in known.items()
             if isinstance(obj, Expression) and _has_handle(obj)}

    def node(e):
        if e.id in names:
            return names[e.id]
        value = e.value if e.is_leaf and not e.is_undefined else None
        return (e.kind, e.op, e.dim, value, tuple(node(i) for i in e.inputs))

    return type(result).__name__, node(result)


def _has_handle(obj):
    try:
        obj.id
    except TypeError:
        return False
    return True


def outcome(call, known):
    """Result or error, calls into user objects, and the ids consumed."""
    CALLS.clear()
    before = m.Constant(0).id
    try:
        result = ("ok", describe(call(), known))
    except Exception as error:  # noqa: BLE001 - the class is the point
        message = str(error)
        # The interpreter's own errors once both sides declined.
        if isinstance(error, TypeError) and any(
                text in message for text in ("unsupported operand", "concat", "sequence by")):
            message = "interpreter"
        result = ("error", type(error), message)
    return result, list(CALLS), m.Constant(0).id - before


def operands():
    return {
        "Expression": m.Parameter(1.5),
        "vector": m.Parameter(1.0, 2.0, 3.0),
        "constant": m.Constant(4.0),
        "int": 3,
        "zero": 0,
        "float": 2.5,
        "bool": True,
        "big int": 10**400,
        "nan": float("nan"),
        "float subclass": FloatSub(0.5),
        "int subclass": IntSub(7),
        "list": [1, 2],
        "tuple": (1.0, 2.0, 3.0),
        "long list": [1, 2, 3, 4, 5],
        "empty tuple": (),
        "list of str": ["a"],
        "list with Expression": [m.Constant(1.0)],
        "str": "a",
        "bytes": b"ab",
        "None": None,
        "dict": {},
        "handle-less": Expression.__new__(Expression),
        "subclass": Sub.__new__(Sub),
        "subclass with __radd__": SubReflected.__new__(SubReflected),
        "reflecting object": Reflecting(),
        "declining object": Declining(),
        "failing sequence": FailingSequence(),
    }


SELVES = ["Expression", "vector", "constant", "handle-less", "subclass"]
OTHERS = list(operands())


@pytest.mark.parametrize("symbol", list(OPS))
@pytest.mark.parametrize("self_name", SELVES)
@pytest.mark.parametrize("other_name", OTHERS)
@pytest.mark.parametrize("self_on_left", [True, False], ids=["self-left", "self-right"])
def test_operator_matches_registered_methods(symbol, self_name, other_name, self_on_left):
    known = operands()
    a, b = known[self_name], known[other_name]
    if not self_on_left:
        a, b = b, a
    fn = OPS[symbol][0]
    assert outcome(lambda: fn(a, b), known) == outcome(lambda: reference(symbol, a, b), known)


@pytest.mark.parametrize("name", ["Expression", "vector", "constant", "handle-less", "subclass"])
def test_negation_matches_registered_method(name):
    known = operands()
    obj = known[name]
    assert outcome(lambda: -obj, known) == outcome(lambda: type(obj).__neg__(obj), known)


def test_registered_methods_stay_and_decline_foreign_self():
    p = m.Parameter(1.0)
    for _, forward, reflected in OPS.values():
        assert getattr(Expression, forward)(1, p) is NotImplemented
        assert getattr(Expression, reflected)(1, p) is NotImplemented
    assert Expression.__neg__(1) is NotImplemented


def test_in_place_forms_rebind_to_new_objects():
    p = q = m.Parameter(2.0)
    p += 1
    p *= q
    assert p is not q
    assert (p.op, p.eval()) == ("Multiply", (6.0,))


def _nb_add(cls):
    # PyTypeObject.tp_as_number sits at 12 pointers into the object in
    # CPython 3.12 (64-bit); nb_add is the first entry of the table.
    numbers = ctypes.c_void_p.from_address(id(cls) + 12 * ctypes.sizeof(ctypes.c_void_p))
    return ctypes.c_void_p.from_address(numbers.value).value


def test_number_slots_are_installed_and_subclasses_keep_the_generic_one():
    generic = _nb_add(Reflecting)
    assert _nb_add(float) != generic
    assert _nb_add(Expression) not in (None, generic), "the Expression number slots are missing"
    assert _nb_add(Sub) == generic


def test_slot_results_behave_as_library_made_objects():
    p = m.Parameter(3.0)
    made = [p * p for _ in range(1000)]
    ref = weakref.ref(made[0])
    assert made[0].inputs[0].id == p.id
    assert m.sin(made[0]).eval() == m.sin(p * p).eval()
    assert Expression.__add__(made[1], made[2]).eval() == (18.0,)
    del made
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("make", [
    lambda v: m.Constant(1.0, 2.0),
    lambda v: m.Parameter(3.0, name="p"),
    lambda v: m.Undefined(dim=2),
    lambda v: m.vec2(v, 1.0),
    lambda v: m.sin(v),
    lambda v: v.x,
    lambda v: v[0],
    lambda v: v.inputs[0],
    lambda v: Expression.__mul__(v, v),
], ids=["Constant", "Parameter", "Undefined", "vec2", "sin", "x", "getitem", "inputs", "method"])
def test_every_binding_hands_out_a_new_object_of_the_class(make):
    v = m.Parameter(0.5) * 2
    first, second = make(v), make(v)
    assert type(first) is Expression and type(second) is Expression and first is not second
    ref = weakref.ref(first)
    del first
    gc.collect()
    assert ref() is None and second.dim >= 1
