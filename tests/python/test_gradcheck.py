"""Gradients of random graphs against central finite differences.

Graphs mix every operator, lane access, packing, broadcasting and plain
Python numbers and sequences as operands. Denominators are kept inside
[1.5, 4] so every graph is smooth and finite near the sampled point.
"""
import math

from hypothesis import HealthCheck, given, settings, strategies as st

import _varnel as vn

PARAM_DIMS = (1, 1, 2, 3, 4)
EPS = 1e-6
MAX_DEPTH = 4
BINARY = {"+": lambda a, b: a + b, "-": lambda a, b: a - b, "*": lambda a, b: a * b}
UNARY = {"neg": (lambda e: -e, lambda x: -x), "sin": (vn.sin, math.sin), "cos": (vn.cos, math.cos)}
DENOMINATORS = {"cos+3": (lambda e: vn.cos(e) + 3, lambda x: math.cos(x) + 3),
                "2+sin/2": (lambda e: 2 + vn.sin(e) * 0.5, lambda x: 2 + math.sin(x) * 0.5)}
lane = st.one_of(st.integers(-3, 3), st.floats(-2, 2))


@st.composite
def tree(draw, dim, depth):
    """A graph description: nested tuples, built and evaluated by the helpers below."""
    if depth == 0 or (depth < MAX_DEPTH and draw(st.integers(0, 3)) == 0):
        params = [i for i, d in enumerate(PARAM_DIMS) if d == dim]
        if draw(st.integers(0, 2)):  # two leaves in three are Parameters
            return ("p", draw(st.sampled_from(params)))
        forms = ["list", "tuple"] + (["num"] if dim == 1 else [])
        return ("k", tuple(draw(lane) for _ in range(dim)), draw(st.sampled_from(forms)))
    sub = lambda d: tree(d, depth - 1)
    shapes = sorted({(dim, dim), (1, dim), (dim, 1)})
    kinds = ["bin", "div", "un"] + (["comp"] if dim == 1 else ["pack"])
    kind = draw(st.sampled_from(kinds))
    if kind in ("bin", "div"):
        ld, rd = draw(st.sampled_from(shapes))
        op = draw(st.sampled_from(sorted(BINARY if kind == "bin" else DENOMINATORS)))
        return (kind, op, draw(sub(ld)), draw(sub(rd)))
    if kind == "un":
        return ("un", draw(st.sampled_from(sorted(UNARY))), draw(sub(dim)))
    if kind == "comp":
        width = draw(st.integers(1, 4))
        index = draw(st.integers(0, width - 1))
        return ("comp", index, draw(st.booleans()), draw(sub(width)))
    return ("pack", tuple(draw(sub(1)) for _ in range(dim)))


def as_expr(obj):
    return obj if isinstance(obj, vn.Expression) else vn.Constant(obj)


def build(t, ps):
    tag = t[0]
    if tag == "p":
        return ps[t[1]]
    if tag == "k":
        return t[1][0] if t[2] == "num" else (list if t[2] == "list" else tuple)(t[1])
    if tag == "bin":
        left, right = build(t[2], ps), build(t[3], ps)
        if not isinstance(left, vn.Expression) and not isinstance(right, vn.Expression):
            left = vn.Constant(left)
        return BINARY[t[1]](left, right)
    if tag == "div":
        return build(t[2], ps) / DENOMINATORS[t[1]][0](build(t[3], ps))
    if tag == "un":
        child = build(t[2], ps)
        return UNARY[t[1]][0](as_expr(child) if t[1] == "neg" else child)
    if tag == "comp":
        child = as_expr(build(t[3], ps))
        return getattr(child, "xyzw"[t[1]]) if t[2] else child[t[1]]
    return (vn.vec2, vn.vec3, vn.vec4)[len(t[1]) - 2](*(build(c, ps) for c in t[1]))


def pairs(a, b):
    return [(a[0 if len(a) == 1 else i], b[0 if len(b) == 1 else i]) for i in range(max(len(a), len(b)))]


def reference(t, vals):
    tag = t[0]
    if tag == "p":
        return list(vals[t[1]])
    if tag == "k":
        return [float(x) for x in t[1]]
    if tag == "bin":
        return [BINARY[t[1]](x, y) for x, y in pairs(reference(t[2], vals), reference(t[3], vals))]
    if tag == "div":
        den = [DENOMINATORS[t[1]][1](x) for x in reference(t[3], vals)]
        return [x / y for x, y in pairs(reference(t[2], vals), den)]
    if tag == "un":
        return [UNARY[t[1]][1](x) for x in reference(t[2], vals)]
    if tag == "comp":
        return [reference(t[3], vals)[t[1]]]
    return [reference(c, vals)[0] for c in t[1]]


def reachable_ids(root):
    seen, stack = set(), [root]
    while stack:
        node = stack.pop()
        if node.id not in seen:
            seen.add(node.id)
            stack.extend(node.inputs)
    return seen


graphs = st.integers(1, 4).flatmap(lambda d: tree(d, MAX_DEPTH))
values = st.tuples(*(st.tuples(*[st.floats(-2, 2)] * d) for d in PARAM_DIMS))


@settings(max_examples=300, derandomize=True, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(graphs, values)
def test_backward_matches_finite_differences(t, vals):
    ps = [vn.Parameter(*v) for v in vals]
    out = as_expr(build(t, ps))
    expected = reference(t, vals)
    assert len(out.eval()) == len(expected)
    for got, want in zip(out.eval(), expected):
        assert math.isclose(got, want, rel_tol=1e-12, abs_tol=1e-12)

    scalar = out.x
    for i in range(1, out.dim):
        scalar = scalar + out[i]
    f0 = scalar.eval()[0]
    scalar.backward()
    reached = reachable_ids(scalar)
    grads = [p.grad for p in ps]
    for p, g, v in zip(ps, grads, vals):
        assert (g is not None) == (p.id in reached)
        for j in range(len(v)):
            lanes = list(v)
            lanes[j] = v[j] + EPS
            p.set_value(lanes)
            up = scalar.eval()[0]
            lanes[j] = v[j] - EPS
            p.set_value(*lanes)
            down = scalar.eval()[0]
            p.set_value(*v)
            fd = (up - down) / (2 * EPS)
            analytic = 0.0 if g is None else g[j]
            assert math.isclose(analytic, fd, rel_tol=1e-5, abs_tol=1e-6 * (1 + abs(f0))), (j, analytic, fd)
    # the probing restored every value and touched no gradient
    assert [p.value for p in ps] == [tuple(map(float, v)) for v in vals]
    assert [p.grad for p in ps] == grads
    scalar.backward()
    assert [p.grad for p in ps] == [None if g is None else tuple(2 * x for x in g) for g in grads]
    scalar.zero_grad()
    assert all(p.grad is None for p in ps)
