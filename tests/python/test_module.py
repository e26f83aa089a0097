"""Module frame and the Expression class: attributes, properties, repr, ids."""
import json
import subprocess
import sys

import pytest

import _varnel as m

PROPS = ["id", "kind", "op", "dim", "dimension", "name", "is_constant", "is_parameter",
         "is_undefined", "is_expression", "is_leaf", "value", "hint", "grad", "inputs",
         "x", "y", "z", "w"]


def run_fresh(code, *args):
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True,
                          text=True, timeout=60)


def test_version_and_public_names():
    assert m.__version__ == "0.1.0" and type(m.__version__) is str
    public = {n for n in dir(m) if not n.startswith("_")}
    assert public == {"Expression", "Constant", "Parameter", "Undefined",
                      "vec2", "vec3", "vec4", "sin", "cos"}


def test_expression_has_no_constructor():
    with pytest.raises(TypeError) as info:
        m.Expression()
    assert str(info.value).endswith(": No constructor defined!")


P = m.Parameter(1.0)
NOVAL = RuntimeError  # marker: reading `value` raises RuntimeError
# maker, kind, op, dim, name, value, hint, number of inputs
KINDS = [
    (lambda: m.Constant(2.5), "Constant", "None", 1, "", (2.5,), None, 0),
    (lambda: m.Parameter([1, 2], name="p"), "Parameter", "None", 2, "p", (1.0, 2.0), None, 0),
    (lambda: m.Undefined(dim=3, name="u"), "Undefined", "None", 3, "u", NOVAL, None, 0),
    (lambda: m.Undefined(hint=[1, 2]), "Undefined", "None", 2, "", NOVAL, (1.0, 2.0), 0),
    (lambda: P + [1, 2], "Expression", "Add", 2, "", NOVAL, None, 2),
    (lambda: m.sin(P), "Expression", "Sin", 1, "", NOVAL, None, 1),
]


@pytest.mark.parametrize("make,kind,op,dim,name,value,hint,n_inputs", KINDS)
def test_properties_of_each_kind(make, kind, op, dim, name, value, hint, n_inputs):
    v = make()
    assert (v.kind, v.op, v.dim, v.dimension, v.name) == (kind, op, dim, dim, name)
    flags = (v.is_constant, v.is_parameter, v.is_undefined, v.is_expression)
    assert flags == tuple(kind == k for k in ("Constant", "Parameter", "Undefined", "Expression"))
    assert v.is_leaf is (kind != "Expression") and type(v.op) is str
    if value is NOVAL:
        with pytest.raises(RuntimeError, match="^symbolic value has no direct numeric value$"):
            v.value
    else:
        assert v.value == value and all(type(x) is float for x in v.value)
    assert v.hint == hint and v.grad is None
    assert isinstance(v.inputs, tuple) and len(v.inputs) == n_inputs
    assert all(type(i) is m.Expression for i in v.inputs)


@pytest.mark.parametrize("prop", PROPS)
def test_properties_are_read_only(prop):
    q = m.Parameter(1, 2, 3, 4, name="keep")
    before = (q.id, q.name, q.value, repr(q))
    with pytest.raises(AttributeError):
        setattr(q, prop, "a")
    with pytest.raises(AttributeError):
        delattr(q, prop)
    assert (q.id, q.name, q.value, repr(q)) == before


def test_each_read_builds_new_objects():
    a, b = m.Parameter(1.0), m.Undefined()
    e = a + b
    assert [i.id for i in e.inputs] == [a.id, b.id]
    assert e.inputs[0] is not e.inputs[0] and e.inputs[0].id == e.inputs[0].id
    assert e.inputs is not e.inputs and a.x is not a.x and a.value is not a.value
    assert e.inputs[1].inputs == () and e.inputs[1].is_undefined
    assert repr(e) == f"Expression<1>#{e.id} op=Add" and str(e) == repr(e)


def test_grad_appears_after_backward():
    x = m.Parameter(2.0)
    assert x.grad is None
    (x * x).backward()
    assert x.grad == (4.0,)


def test_ids_start_at_one_in_a_fresh_interpreter():
    code = """if 1:
        import _varnel as m
        c = m.Constant(1); out = [repr(c), c.id, m.Parameter(2).id, m.Undefined().id]
        for bad in (lambda: m.Constant(), lambda: m.Parameter(float('nan'), name='n'),
                    lambda: m.Undefined(dim=9), lambda: m.Constant(name='x')):
            try: bad()
            except Exception: pass
        e = m.Undefined() + 1
        out += [e.id, e.inputs[0].id, e.inputs[1].id]
        print(out)"""
    r = run_fresh(code)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "['Constant<1>#1', 1, 2, 3, 6, 4, 5]"


# Everything one can do with an object from Expression.__new__, which holds no handle.
HOLLOW = r"""
import gc, json, operator, sys
import _varnel as m
e = m.Expression.__new__(m.Expression)
p, k2 = m.Parameter(1.0), m.Parameter(1.0, 2.0)
checks = [("prop " + n, lambda n=n: getattr(e, n)) for n in %r]
for n, args in [("__getitem__", (0,)), ("eval", ()), ("set_value", (1.0,)), ("backward", ()),
                ("backward", (1.0,)), ("zero_grad", ()), ("__repr__", ()), ("__neg__", ())]:
    checks.append(("method " + n, lambda n=n, a=args: getattr(e, n)(*a)))
for n in ("add", "sub", "mul", "truediv"):
    f = getattr(operator, n)
    for other in (1, [1, 2], p, k2):
        checks.append((n + " e,other", lambda f=f, o=other: f(e, o)))
        checks.append((n + " other,e", lambda f=f, o=other: f(o, e)))
    checks.append((n + " e,e", lambda f=f: f(e, e)))
    checks.append((n + " via class", lambda n=n: getattr(m.Expression, "__%%s__" %% n)(e, 1)))
    checks.append((n + " r via class", lambda n=n: getattr(m.Expression, "__r%%s__" %% n)(e, 1)))
checks += [("repr", lambda: repr(e)), ("neg", lambda: -e), ("index", lambda: e[0]),
           ("iter", lambda: list(e)), ("unpack", lambda: [*e]),
           ("vec2 x", lambda: m.vec2(e, 1)), ("vec2 y", lambda: m.vec2(1, e)),
           ("vec3", lambda: m.vec3(p, p, e)), ("vec4", lambda: m.vec4(e, p, 1, 2)),
           ("sin", lambda: m.sin(e)), ("cos", lambda: m.cos(e)), ("seed", lambda: p.backward(e)),
           ("seed kw", lambda: k2.backward(seed=e)), ("set_value", lambda: p.set_value(e)),
           ("Constant", lambda: m.Constant(e)), ("Parameter", lambda: m.Parameter(e, 1)),
           ("hint", lambda: m.Undefined(hint=e)), ("in seq", lambda: p + [e])]
bad = []
for label, f in checks[int(sys.argv[1]):]:
    print(label, flush=True)
    try:
        r = f()
    except Exception:
        continue
    if r is not NotImplemented:
        bad.append(label)
print("del", flush=True)
del e
gc.collect()
print(json.dumps(bad))
""" % (PROPS,)


def test_object_without_handle_never_crashes():
    start, crashed, bad = 0, [], []
    while True:
        r = run_fresh(HOLLOW, str(start))
        done = r.stdout.splitlines()
        if r.returncode == 0:
            bad = json.loads(done[-1])
            break
        crashed.append((done[-1] if done else "import", r.returncode, r.stderr[-300:]))
        if not done or done[-1] == "del":
            break
        start += len(done)  # resume after the check that killed the interpreter
    assert (crashed, bad) == ([], [])
