"""Hostile-input driver for the _varnel module's whole Python surface, and
the elementary functions of the companion package.

Shared by the property-based test (tests/python/test_fuzz_surface.py) and the
coverage-guided harness (tests/fuzz/fuzz_module.py); they differ only in where
the random choices come from (a Chooser: hypothesis data or fuzzer bytes).

A Driver holds live Expression objects of every kind and lane count and makes
one call at a time: a factory, an operator in either operand order, a function,
a property, lane access or a graph method, with arguments drawn from a pool of
awkward numbers, foreign objects, sequences and objects whose conversion hooks
raise or lie. Around every call it checks that
  - an exception is one the module documents (class and message), or one that a
    pool object raised itself and the module passed on unchanged;
  - a failing call changed no value and no gradient of any held node, and used
    up no node id beyond the operand Constants coerced before the failure;
  - a succeeding call changed only what it exists to change, and returned
    well-formed values; where the outcome follows from the argument rules alone
    (leaf lanes, set_value, lane indexes, absent operators), it is that outcome.
"""
import ctypes
import math
import operator
import re
import warnings
from collections import Counter
from dataclasses import dataclass
from decimal import Decimal
from fractions import Fraction
from typing import Any, Callable

import _varnel as V
from varnel import _functions as F

Expression = V.Expression
MAX = 1.7976931348623157e308
KINDS = ("Constant", "Parameter", "Undefined", "Expression")
OPS = ("None", "Pack", "Component", "Add", "Subtract", "Multiply", "Divide", "Negate", "Sin", "Cos", "Sqrt", "Exp",
       "Log", "Tan", "Asin", "Acos", "Atan", "Sinh", "Cosh", "Tanh", "Abs", "Pow", "Atan2", "Hypot", "Log1p", "Expm1",
       "Cbrt")
# The companion package's elementary functions, driven beside sin and cos:
# one operand labelled "NAME value", or two with the labels of each.
UNARY_FUNCTIONS = ("sqrt", "exp", "log", "tan", "asin", "acos", "atan", "sinh", "cosh", "tanh", "abs", "log1p",
                   "expm1", "cbrt")
BINARY_LABELS = {"pow": "pow (base|exponent)", "atan2": "atan2 [yx]", "hypot": "hypot [xy]"}

_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]
_sequence_check.restype = ctypes.c_int


# --- pool objects ------------------------------------------------------------

class PoolError(Exception):
    """Raised by the pool's own hooks; the module must pass it on unchanged."""


class PoolIndexError(IndexError):
    pass


def _fire(outcome):
    if isinstance(outcome, type) and issubclass(outcome, BaseException):
        raise outcome("raised by a pool object")
    return outcome


class Floaty:
    def __init__(self, result): self.result = result
    def __float__(self): return _fire(self.result)
    def __repr__(self): return f"Floaty({self.result!r})"


class Indexy:
    def __init__(self, result): self.result = result
    def __index__(self): return _fire(self.result)
    def __repr__(self): return f"Indexy({self.result!r})"


class BadFloatInt(int):
    """An int whose float conversion raises."""
    def __float__(self): raise PoolError("no float")
    def __repr__(self): return f"BadFloatInt({int(self)})"


class BadFloatFloat(float):
    """A float whose __float__ raises; its stored value is what converts."""
    def __float__(self): raise PoolError("no float")
    def __repr__(self): return f"BadFloatFloat({float.__repr__(self)})"


class Seq:
    """A sequence whose length and items are whatever it is told."""
    def __init__(self, length, *items):
        self.length, self.items = length, items
        self.own = tuple({x for x in (length, *items, PoolError)
                          if isinstance(x, type) and issubclass(x, BaseException)})
    def __len__(self): return _fire(self.length)
    def __getitem__(self, i):
        if not isinstance(i, int) or i >= len(self.items):
            raise PoolError("item beyond what the sequence holds")
        return _fire(self.items[i])
    def __repr__(self): return f"Seq({self.length!r}, *{self.items!r})"


class LenOnly:
    def __len__(self): return 2
    def __repr__(self): return "LenOnly()"


class ItemsOnly:
    def __getitem__(self, i): return 1.0
    def __repr__(self): return "ItemsOnly()"


FLOATS = (math.nan, -math.nan, math.inf, -math.inf, -0.0, 0.0, MAX, -MAX, 5e-324, 1.1125369292536007e-308,
          1e308, 1e-200, 0.5, 2.5, -3.0, 1e16)
INTS = (0, 1, -1, 2, 3, 4, 5, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**53 + 1, 2**63, 2**64 + 1, -2**64,
        2**1023, 2**1024, -(2**1100), 10**400)
PLAIN = (0, 1, 2, 3, -1, 0.5, 2.5, -2.0, -0.0, 1e-3, 5e-324, True, False)
MAKERS = (
    lambda: None, lambda: "", lambda: "a", lambda: "12", lambda: "\ud800", lambda: b"", lambda: b"12",
    lambda: bytearray(), lambda: bytearray(b"\x01\x02"), lambda: {}, lambda: {"a": 1}, lambda: {1, 2},
    lambda: frozenset(), lambda: 1j, lambda: Decimal("1.5"), lambda: Decimal("nan"), lambda: Decimal("sNaN"),
    lambda: Decimal("1e999"), lambda: Fraction(1, 3), lambda: slice(0, 2), lambda: object(), lambda: Ellipsis,
    lambda: NotImplemented, lambda: int, lambda: memoryview(b"ab"), lambda: [[]], lambda: ((1, 2),),
    lambda: [1.0, [2.0]], lambda: range(0), lambda: range(1, 6), lambda: range(2**70, 2**70 + 2),
)
CUSTOM = (
    lambda: Floaty(1.5), lambda: Floaty(math.nan), lambda: Floaty(PoolError), lambda: Floaty(ZeroDivisionError),
    lambda: Floaty("x"), lambda: Floaty(2), lambda: Indexy(2), lambda: Indexy(-1), lambda: Indexy(2**40),
    lambda: Indexy(2**2000), lambda: Indexy(PoolError), lambda: Indexy("x"), lambda: BadFloatInt(3),
    lambda: BadFloatFloat(2.5), lambda: LenOnly(), lambda: ItemsOnly(),
    lambda: Seq(2, 1, 2), lambda: Seq(True, 4.0), lambda: Seq(3, 1, PoolError), lambda: Seq(2, 1, KeyError),
    lambda: Seq(2, PoolIndexError), lambda: Seq(ZeroDivisionError), lambda: Seq(PoolError), lambda: Seq(-1),
    lambda: Seq(2.0, 1, 2), lambda: Seq("2", 1, 2), lambda: Seq(2**70), lambda: Seq(5, 1, 2, 3, 4, 5),
    lambda: Seq(0), lambda: Seq(4, 1, 2, 3), lambda: Seq(2, math.inf, 1), lambda: Seq(2, "x", 1),
    lambda: Seq(1, Floaty(PoolError)), lambda: Seq(3, Indexy(7), Decimal("2"), True),
)
NAMES = ("", "p", "é", "\ud800", b"q", b"\xff\xfe", bytearray(b"r"), None, 3, 1.5, ["p"])
DIMS = (1, 2, 3, 4, 0, 5, -1, True, 2.0, 2**31, 2**40, "2", None, Decimal("2.5"))
KEY_SETS = ((), (), (), ("name",), ("name",), ("hint",), ("dim",), ("hint", "dim"), ("hint", "dim", "name"),
            ("dim", "name"), ("seed",), ("name", "seed"), ("dim", "seed"), ("hint", "seed"), ("",))
SEEDS = (1, 1.0, True, [1], (1, 0), [1, 2, 3], (0.5, 0.5, 0.5, 0.5), None)


# --- what the argument rules say ------------------------------------------------

def is_sequence(obj):
    """The module's lane-sequence test: the interpreter's sequence check, less str and bytes."""
    return bool(_sequence_check(obj)) and not isinstance(obj, (str, bytes))


def number(obj):
    """The double the binding library converts obj to, or None when it refuses it."""
    if isinstance(obj, float):
        return float.__float__(obj)  # a float subclass converts by its stored value
    if not (hasattr(type(obj), "__float__") or hasattr(type(obj), "__index__")):
        return None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return float(obj)
    except Exception:
        return None


def finite(lanes):
    return tuple(lanes) if all(abs(x) <= MAX for x in lanes) else None


def sequence_lanes(obj):
    try:
        count = len(obj)
    except Exception:
        return None
    if not 1 <= count <= 4:
        return None
    lanes = []
    for i in range(count):
        try:
            lane = number(obj[i])
        except Exception:
            return None
        if lane is None:
            return None
        lanes.append(lane)
    return finite(lanes)


def args_lanes(args):
    """Lanes of a positional argument list (Constant, Parameter, set_value), or None."""
    if len(args) == 1 and is_sequence(args[0]):
        return sequence_lanes(args[0])
    if not 1 <= len(args) <= 4:
        return None
    lanes = [number(a) for a in args]
    return None if None in lanes else finite(lanes)


def coerces_to_constant(obj):
    """True: an operand becomes a new Constant; False: used as it is; None: refused."""
    if isinstance(obj, Expression):
        return False
    if isinstance(obj, (int, float)):
        lane = number(obj)
        return True if lane is not None and abs(lane) <= MAX else None
    if is_sequence(obj):
        return True if sequence_lanes(obj) is not None else None
    return None


def coerced_constants(operands):
    """Constants made while coercing operands in this order, up to the first refusal."""
    made = 0
    for obj in operands:
        kind = coerces_to_constant(obj)
        if kind is None:
            break
        made += kind
    return made


def name_ok(name):
    if isinstance(name, str):
        try:
            name.encode("utf-8")
            return True
        except UnicodeEncodeError:
            return False
    return isinstance(name, (bytes, bytearray))


def show(obj):
    if isinstance(obj, Expression):
        try:
            return f"<{obj.kind}<{obj.dim}>#{obj.id}>"
        except TypeError:
            return "Expression.__new__(Expression)"
    if isinstance(obj, (list, tuple)):
        inner = ", ".join(show(x) for x in obj)
        return f"[{inner}]" if isinstance(obj, list) else f"({inner}{',' if len(obj) == 1 else ''})"
    text = repr(obj)
    return text if len(text) <= 40 else text[:37] + "..."


def show_call(head, args=(), kwargs=None):
    parts = [show(a) for a in args] + [f"{k}={show(v)}" for k, v in (kwargs or {}).items()]
    return f"{head}({', '.join(parts)})"


# --- documented failures ----------------------------------------------------------

_LABELS = (r"(Constant|Parameter|set_value|hint|backward seed|right operand|left operand|sin value|cos value|"
           r"vec2 [xy]|vec3 [xyz]|vec4 [xyzw]|\w+ value|pow base|pow exponent|atan2 [yx]|hypot [xy])")
MESSAGES = {
    TypeError: (
        r"{L} must be a symbolic value or numeric constant",
        r"{L} must be a numeric sequence of length 1\.\.4",
        r"Constant does not accept keyword arguments",
        r"unknown keyword argument",
        r"Undefined expects keyword arguments: hint=\.\.\., dim=\.\.\., name=\.\.\.",
        r"\w*\(\): incompatible function arguments\. .*",
        r"_varnel\.Expression: No constructor defined!",
        # The interpreter's own, for a failed length query or an absent operator.
        r"object of type '[\w.]+' has no len\(\)",
        r"'\w+' object cannot be interpreted as an integer",
        r"unsupported operand type\(s\) for .*",
        r"can only concatenate \w+ \(not \"[\w.]+\"\) to \w+",
        r"can't concat [\w.]+ to \w+",
        r"can't multiply sequence by non-int of type '[\w.]+'",
        r"bad operand type for .*",
        r"'[<>=!]+' not supported between instances of .*",
    ),
    ValueError: (
        r"{L} must contain 1\.\.4 values",
        r"{L} expects 1\.\.4 numeric values",
        r"symbolic value lanes must be finite",
        r"cannot combine symbolic values with dimensions [1-4] and [1-4]",
        r"vec[234] expression inputs must be scalar symbolic values",
        r"Undefined hint dimension does not match dim",
        r"symbolic value dimension must be in 1\.\.4",
        r"backward\(\) without seed requires scalar output",
        r"backward seed dimension does not match output dimension",
        r"set_value\(\) dimension does not match Parameter dimension",
        r"({L}|unary operand) is not a valid symbolic value",
        r"__len__\(\) should return >= 0",
    ),
    IndexError: (r"symbolic component index out of range",),
    RuntimeError: (
        r"Unable to cast Python instance of type .*",
        r"symbolic value has no direct numeric value",
        r"cannot evaluate symbolic graph with Undefined values",
        r"set_value\(\) is only valid for Parameter values",
    ),
    UnicodeDecodeError: (r"'utf-8' codec can't decode .*",),
    OverflowError: (r"cannot fit 'int' into an index-sized integer",),
}
NO_LABEL = "(?!)"


def documented(error, label):
    text = str(error)
    return any(re.fullmatch(p.replace("{L}", label), text, re.S) for p in MESSAGES.get(type(error), ()))


OK, FAILS = "ok", "fails"


@dataclass
class Call:
    text: str
    fn: Callable[[], Any]
    label: str = NO_LABEL        # operand labels its messages may name (regex)
    spent: int = 0               # node ids a failure still uses up
    own: tuple = ()              # exception classes pool objects raise through it
    effect: str = "pure"         # or "set_value", "backward", "zero_grad"
    target: Any = None
    outcome: Any = None          # None, (OK, result or None), (FAILS, class or None)


class Chooser:
    """Source of random choices; subclasses implement below(n) and the primitives."""

    def below(self, n): raise NotImplementedError
    def flag(self): return self.below(2) == 1
    def pick(self, seq): return seq[self.below(len(seq))]


class Driver:
    CAP = 40
    tally = Counter()  # outcomes over every driver: "ok", "failed", "failed, ids spent"

    def __init__(self, chooser=None):
        self.ch = chooser
        self.empties = [Expression.__new__(Expression)]
        c = [V.Constant(*range(1, d + 1)) for d in range(1, 5)]
        p = [V.Parameter(*(0.5 * k for k in range(1, d + 1)), name=n)
             for d, n in zip(range(1, 5), ("", "p", b"\xff\xfe", "é"))]
        u = [V.Undefined(dim=1), V.Undefined(hint=[1, 2]), V.Undefined(dim=3, name="u"), V.Undefined(hint=(1, 2, 3, 4))]
        self.nodes = c + p + u + [p[0] + p[2], p[1] - c[1], p[3] * p[0], p[0] / c[0], -p[1], V.sin(p[3]),
                                  V.cos(u[0]), V.vec2(p[0], c[0]), V.vec3(p[0], p[0], u[0]), p[2][1],
                                  (p[2] + c[2]).z, V.vec4(p[0], 1, 2, 3) * p[3], p[0] / u[0]]

    # --- drawing --------------------------------------------------------------

    def is_empty(self, obj):
        return any(obj is e for e in self.empties)

    def node(self):
        c = self.ch
        return c.pick(self.empties) if c.below(14) == 0 else c.pick(self.nodes)

    def arg(self, depth=0):
        c = self.ch
        k = c.below(16)
        if k <= 2:
            return c.pick(PLAIN)
        if k == 3:
            return c.pick(FLOATS)
        if k == 4:
            return c.pick(INTS)
        if k == 5:
            return c.integer() if c.flag() else c.real()
        if k == 6:
            return c.text() if c.flag() else c.blob()
        if k == 7:
            return c.pick(MAKERS)()
        if k == 8:
            return c.pick(CUSTOM)()
        if k <= 11:
            return self.node()
        if depth >= 2:
            return c.pick(PLAIN)
        n = c.pick((0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 6))
        form = c.below(5)
        if form == 3:
            start = c.below(5) - 2
            return range(start, start + n)
        if form == 4:
            return bytearray(c.below(256) for _ in range(n))
        items = [c.pick(PLAIN) if c.flag() else self.arg(depth + 1) for _ in range(n)]
        return tuple(items) if form == 2 else items

    def seed(self):
        return self.ch.pick(SEEDS) if self.ch.flag() else self.arg()

    # --- the operations ------------------------------------------------------------

    def step(self):
        group = self.ch.pick(("build", "build", "combine", "combine", "combine", "combine", "access", "access",
                              "graph", "graph", "graph", "misc", "release"))
        getattr(self, group)()

    def build(self):
        c = self.ch
        which = c.pick(("Constant", "Parameter", "Undefined"))
        count = c.pick((0, 1, 1, 1, 1, 2, 3, 4, 5)) if which != "Undefined" else c.pick((0, 0, 0, 0, 1, 2))
        args = [self.arg() for _ in range(count)]
        kwargs = {}
        for key in c.pick(KEY_SETS):
            if key == "name":
                kwargs[key] = c.pick(NAMES) if c.below(4) else (c.text() if c.flag() else self.arg())
            elif key == "dim":
                kwargs[key] = c.pick(DIMS) if c.below(4) else self.arg()
            else:
                kwargs[key] = self.arg()
        outcome = None
        clean = not kwargs or (which == "Parameter" and set(kwargs) == {"name"} and name_ok(kwargs["name"]))
        if which != "Undefined" and clean:
            lanes = args_lanes(args)
            outcome = (FAILS, None) if lanes is None else (OK, lanes)
        call = Call(show_call(which, args, kwargs), lambda: getattr(V, which)(*args, **kwargs),
                    label=which if which != "Undefined" else "hint", outcome=outcome,
                    own=self.own_errors(*args, *kwargs.values()))
        result = self.execute(call)
        if result is not None:
            assert result.kind == which, call.text
            if outcome is not None:
                assert repr(result.value) == repr(outcome[1]), f"{call.text} holds {result.value}"
            if which == "Parameter" and isinstance(kwargs.get("name"), str):
                assert result.name == kwargs["name"], call.text

    def combine(self):
        c = self.ch
        kind = c.below(8)
        if kind < 4:
            return self.binary()
        if kind == 4:
            a = self.node()
            empty = self.is_empty(a)
            result = self.execute(Call(f"-{show(a)}", lambda: -a, outcome=(OK, NotImplemented if empty else None)))
            assert empty or result.dim == a.dim, f"-{show(a)} has {result.dim} lanes"
            return
        which = c.pick(("sin", "cos", "vec2", "vec3", "vec4", *UNARY_FUNCTIONS, *BINARY_LABELS))
        need = {"vec2": 2, "vec3": 3, "vec4": 4, **dict.fromkeys(BINARY_LABELS, 2)}.get(which, 1)
        count = need if c.below(8) else c.below(6)
        args = [self.arg() for _ in range(count)]
        kwargs = {"x": self.arg()} if c.below(12) == 0 else {}
        spent = coerced_constants(reversed(args)) if count == need and not kwargs else 0
        if which in BINARY_LABELS:
            # The builder names an operand without a handle by its side.
            label = f"({BINARY_LABELS[which]}|left operand|right operand)"
        else:
            label = f"{which} value" if need == 1 else f"{which} [{'xyzw'[:need]}]"
        function = getattr(V, which) if hasattr(V, which) else getattr(F, which)
        result = self.execute(Call(show_call(which, args, kwargs), lambda: function(*args, **kwargs),
                                   label=label, spent=spent, own=self.own_errors(*args)))
        if result is not None:
            assert count == need and not kwargs, f"{which} accepted {count} arguments"
            if which.startswith("vec"):
                assert result.dim == need

    def binary(self):
        c = self.ch
        sym, fn = c.pick((("+", operator.add), ("-", operator.sub), ("*", operator.mul), ("/", operator.truediv)))
        name = {"+": "add", "-": "sub", "*": "mul", "/": "truediv"}[sym]
        a, o = self.node(), self.arg()
        mode = c.below(6)
        if mode == 0:
            text, call = f"{show(a)} {sym} {show(o)}", lambda: fn(a, o)
        elif mode == 1:
            text, call = f"{show(o)} {sym} {show(a)}", lambda: fn(o, a)
        elif mode == 2:
            text, call = f"{show(a)}.__{name}__({show(o)})", lambda: getattr(a, f"__{name}__")(o)
        elif mode == 3:
            text, call = f"{show(a)}.__r{name}__({show(o)})", lambda: getattr(a, f"__r{name}__")(o)
        elif mode == 4:
            inplace = getattr(operator, f"i{name}")
            text, call = f"t = {show(a)}; t {sym}= {show(o)}", lambda: inplace(a, o)
        else:
            text, call = f"Expression.__{name}__({show(o)}, {show(a)})", lambda: getattr(Expression, f"__{name}__")(o, a)
        # The operand that a binding coerces: o, unless the binding never runs or o is
        # itself the Expression whose method runs.
        coerced = not self.is_empty(a) and mode != 5 and not (mode == 1 and isinstance(o, Expression))
        silent = (self.is_empty(a) and mode in (2, 3)) or (mode == 5 and not isinstance(o, Expression))
        odim = None  # lanes of the other operand, when it is usable
        if isinstance(o, Expression):
            odim = None if self.is_empty(o) else o.dim
        elif coerces_to_constant(o):
            odim = len(sequence_lanes(o)) if is_sequence(o) else 1
        outcome = (OK, NotImplemented) if silent else None
        if not silent and not self.is_empty(a) and odim is not None and 1 not in (a.dim, odim) and a.dim != odim:
            outcome = (FAILS, ValueError)
        result = self.execute(Call(text, call, label="(left|right) operand", own=self.own_errors(o),
                                   spent=coerced_constants([o]) if coerced else 0, outcome=outcome))
        if result is not None and result is not NotImplemented and odim is not None and not self.is_empty(a):
            assert result.dim == max(a.dim, odim), f"{text} has {result.dim} lanes"

    def access(self):
        c = self.ch
        a = self.node()
        empty = self.is_empty(a)
        which = c.pick(("x", "y", "z", "w", "[]", "[]", "list", "id", "kind", "op", "dim", "dimension", "name",
                        "is_constant", "is_parameter", "is_undefined", "is_expression", "is_leaf", "value",
                        "hint", "grad", "inputs", "repr", "len", "bool", "hash"))
        if which in ("x", "y", "z", "w") or which == "[]":
            index = "xyzw".index(which) if which != "[]" else (c.pick(INTS) if c.flag() else self.arg())
            text = f"{show(a)}.{which}" if which != "[]" else f"{show(a)}[{show(index)}]"
            call = Call(text, lambda: a[index] if which == "[]" else getattr(a, which))
            if empty:
                pass
            elif isinstance(index, int) and -2**31 <= index < 2**31:
                call.outcome = (OK, None) if 0 <= index < a.dim else (FAILS, IndexError)
            elif isinstance(index, (int, float, str, bytes, slice, list, tuple)):
                call.outcome = (FAILS, TypeError)
        elif which in ("repr", "len", "bool", "hash"):
            call = Call(f"{which}({show(a)})", lambda: {"repr": repr, "len": len, "bool": bool, "hash": hash}[which](a))
            if which == "len":
                call.outcome = (FAILS, TypeError)
            elif which == "bool":
                call.outcome = (OK, True)
        elif which == "list":
            call = Call(f"list({show(a)})", lambda: list(a))
        else:
            call = Call(f"{show(a)}.{which}", lambda: getattr(a, which))
            if which == "value" and not empty:
                call.outcome = (OK, None) if a.is_constant or a.is_parameter else (FAILS, RuntimeError)
        if empty and which not in ("bool", "hash"):
            call.outcome = (FAILS, TypeError)
        result = self.execute(call)
        if which in ("x", "y", "z", "w", "[]") and result is not None:
            assert result.dim == 1, call.text
        if which == "list" and result is not None:
            assert len(result) == a.dim and all(r.dim == 1 for r in result), call.text

    def graph(self):
        c = self.ch
        a = self.node()
        empty = self.is_empty(a)
        which = c.pick(("eval", "set_value", "set_value", "backward", "backward", "zero_grad"))
        wrong = c.below(10) == 0  # a call that matches no signature
        if which == "eval":
            args = [self.arg()] if wrong else []
            call = Call(show_call(f"{show(a)}.eval", args), lambda: a.eval(*args))
        elif which == "zero_grad":
            args = [self.arg()] if wrong else []
            call = Call(show_call(f"{show(a)}.zero_grad", args), lambda: a.zero_grad(*args),
                        effect="zero_grad", target=a, outcome=None if wrong else (OK, None))
        elif which == "set_value":
            args = [self.arg() for _ in range(c.pick((0, 1, 1, 1, 1, 2, 3, 4, 5)))]
            kwargs = {"value": self.arg()} if wrong else {}
            call = Call(show_call(f"{show(a)}.set_value", args, kwargs), lambda: a.set_value(*args, **kwargs),
                        label="set_value", effect="set_value", target=a, own=self.own_errors(*args))
            if not empty and not wrong:
                lanes = args_lanes(args)
                call.outcome = ((FAILS, None) if lanes is None else (FAILS, RuntimeError) if not a.is_parameter
                                else (FAILS, ValueError) if len(lanes) != a.dim else (OK, lanes))
        else:
            form = c.below(3)
            seed = self.seed()
            args, kwargs = ([], {}) if form == 0 else ([seed], {}) if form == 1 else ([], {"seed": seed})
            if wrong:
                args, kwargs = [seed, self.seed()], {"seeds": 1} if c.flag() else {}
            call = Call(show_call(f"{show(a)}.backward", args, kwargs), lambda: a.backward(*args, **kwargs),
                        label="backward seed", effect="backward", target=a, own=self.own_errors(seed))
        if empty or wrong:
            call.outcome = (FAILS, TypeError)
        result = self.execute(call)
        if which == "eval" and result is not None:
            assert len(result) == a.dim and all(isinstance(x, float) and abs(x) <= MAX for x in result), call.text

    def misc(self):
        c = self.ch
        a, o = self.node(), self.arg()
        kind = c.below(7)
        if kind == 0:
            call = Call("Expression()", lambda: Expression(), outcome=(FAILS, TypeError))
        elif kind == 1:
            sym, fn = c.pick((("**", operator.pow), ("//", operator.floordiv), ("%", operator.mod),
                              ("@", operator.matmul), ("<", operator.lt), (">=", operator.ge)))
            call = Call(f"{show(a)} {sym} {show(o)}", lambda: fn(a, o), outcome=(FAILS, TypeError))
        elif kind == 2:
            fn = c.pick((abs, operator.pos, lambda x: pow(2, x), lambda x: divmod(x, 2)))
            call = Call(f"{fn.__name__}({show(a)})", lambda: fn(a), outcome=(FAILS, TypeError))
        elif kind == 3:
            eq = c.flag()
            call = Call(f"{show(a)} {'==' if eq else '!='} {show(o)}", lambda: (a == o) if eq else (a != o),
                        outcome=(OK, (a is o) == eq))
        elif kind == 4:
            attr = c.pick(("name", "value", "id", "grad", "x", "inputs", "foo"))
            if c.flag():
                call = Call(f"{show(a)}.{attr} = {show(o)}", lambda: setattr(a, attr, o))
            else:
                call = Call(f"del {show(a)}.{attr}", lambda: delattr(a, attr))
            call.own, call.outcome = (AttributeError,), (FAILS, AttributeError)
        elif kind == 5:
            if isinstance(o, Expression):
                o = None
            member = c.pick(("__add__", "__rtruediv__", "__neg__", "eval", "zero_grad", "__repr__", "__getitem__"))
            method = getattr(Expression, member)
            extra = () if member in ("__neg__", "eval", "zero_grad", "__repr__") else (0,)
            call = Call(show_call(f"Expression.{member}", (o, *extra)), lambda: method(o, *extra),
                        outcome=(OK, NotImplemented) if member in ("__add__", "__rtruediv__", "__neg__") else (FAILS, TypeError))
        else:
            fresh = Expression.__new__(Expression)
            self.empties = self.empties[-3:] + [fresh]
            return
        self.execute(call)

    def release(self):
        if len(self.nodes) > 4:
            self.nodes.pop(self.ch.below(len(self.nodes)))

    # --- checking ----------------------------------------------------------------

    @staticmethod
    def own_errors(*objs):
        own = set()
        for obj in objs:
            if isinstance(obj, Seq):
                own.update(obj.own)
        return tuple(own)

    def snapshot(self):
        snap = {}
        for n in self.nodes:
            direct = repr(n.value) if n.is_constant or n.is_parameter else None
            grad = n.grad
            assert grad is None or (n.is_parameter and len(grad) == n.dim), f"{show(n)} has gradient {grad}"
            snap[n.id] = (n.is_parameter, direct, None if grad is None else repr(grad))
        return snap

    @staticmethod
    def below(target):
        seen, todo = set(), [target]
        while todo:
            n = todo.pop()
            if n.id not in seen:
                seen.add(n.id)
                todo.extend(n.inputs)
        return seen

    def execute(self, call):
        """Make the call, check it, and return its result (None when it raised)."""
        reach = self.below(call.target) if call.effect in ("backward", "zero_grad") and not self.is_empty(call.target) else set()
        before = self.snapshot()
        first = V.Constant(0).id
        try:
            result = call.fn()
        except Exception as error:
            last = V.Constant(0).id
            assert isinstance(error, call.own) or documented(error, call.label), \
                f"{call.text} raised an undocumented {type(error).__name__}: {error}"
            if call.outcome is not None:
                assert call.outcome[0] == FAILS, f"{call.text} raised {error!r}, expected to succeed"
                assert call.outcome[1] in (None, type(error)), f"{call.text} raised {error!r}, expected {call.outcome[1].__name__}"
            assert last == first + 1 + call.spent, \
                f"{call.text} raised {error!r} and used {last - first - 1} node ids, expected {call.spent}"
            assert self.snapshot() == before, f"{call.text} raised {error!r} and changed a value or gradient"
            self.tally["failed, ids spent" if call.spent else "failed"] += 1
            return None
        self.tally["ok"] += 1
        if call.outcome is not None:
            assert call.outcome[0] == OK, f"{call.text} returned {show(result)}, expected {call.outcome[1]}"
            if not isinstance(call.outcome[1], tuple) and call.outcome[1] is not None:
                assert result is call.outcome[1], f"{call.text} returned {show(result)}"
        self.check_effect(call, before, reach)
        self.adopt(result)
        return result

    def check_effect(self, call, before, reach):
        after = self.snapshot()
        assert after.keys() == before.keys()
        for key, (is_param, direct, grad) in after.items():
            old = before[key]
            if call.effect == "set_value" and key == call.target.id:
                assert direct == repr(call.outcome[1]), f"{call.text} left the value {direct}"
            else:
                assert direct == old[1], f"{call.text} changed the value of node #{key}"
            if call.effect == "backward" and key in reach and is_param:
                assert grad is not None, f"{call.text} gave Parameter #{key} no gradient"
            elif call.effect == "zero_grad" and key in reach:
                assert grad is None, f"{call.text} left the gradient of #{key}"
            else:
                assert grad == old[2], f"{call.text} changed the gradient of node #{key}"

    def adopt(self, result):
        items = result if isinstance(result, (tuple, list)) else (result,)
        for n in items:
            if not isinstance(n, Expression):
                continue
            kind, d = n.kind, n.dim
            assert kind in KINDS and n.op in OPS and d == n.dimension and 1 <= d <= 4, show(n)
            assert [n.is_constant, n.is_parameter, n.is_undefined, n.is_expression] == [kind == k for k in KINDS]
            assert n.is_leaf == (kind != "Expression") == (n.op == "None") == (n.inputs == ()), show(n)
            if kind in ("Constant", "Parameter"):
                assert len(n.value) == d and finite(n.value), show(n)
            assert n.hint is None or (kind == "Undefined" and len(n.hint) == d), show(n)
            while len(self.nodes) >= self.CAP:
                self.nodes.pop(self.ch.below(len(self.nodes)))
            self.nodes.append(n)
