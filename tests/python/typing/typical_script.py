"""A typical script, as a user writes it: checked by mypy --strict and by
pyright in strict mode against the installed stubs, and run. assert_type
makes each checker prove the type it infers (Any would fail)."""

from typing import assert_type

import numpy as np
from numpy.typing import NDArray

import varnel
from varnel import Expression, Parameter, Undefined, sin

Lanes = tuple[float, ...]

# Leaves, operators, eval and backward.
p = Parameter(0.5, -1.0, name="p")
q = Parameter(2.0)
y = sin(p * q) + 1.0
total: Expression = y.x + y.y
assert_type(total.eval(), Lanes)
total.backward()
assert p.grad is not None
assert_type(p.grad, Lanes)

# NumPy arrays and numbers as lanes and operands (an Expression on the left:
# with an array on the left, NumPy's own stubs type the result).
r = Parameter(np.array([0.5, -1.0]), name="r")
r.set_value(np.array([1, 2], dtype=np.int64))
z = r * np.array([2.0, 3.0]) + np.float32(1.0)
assert_type(z, Expression)
z.backward(np.ones(2))
assert_type(r.grad, Lanes | None)

# One output, one input: a call and vjp give one lane tuple.
x = Undefined(dim=3, name="x")
s = (x * x + sin(x)) * q
one = varnel.compile(s.x + s.y + s.z, x)
value = one(np.array([0.1, 0.2, 0.3]))
assert_type(value, Lanes)
assert_type(one.vjp((0.1, 0.2, 0.3)), Lanes)
assert_type(one.jacobian(np.array([0.1, 0.2, 0.3], dtype=np.float32)), tuple[Lanes, ...])

# Sequences of outputs and inputs: one lane tuple per output or input.
t = Undefined(name="t")
many = varnel.compile([s, s.x * t], [x, t])
values = many([0.1, 0.2, 0.3], np.float64(2.0))
assert_type(values, tuple[Lanes, ...])
grads = many.vjp((0.1, 0.2, 0.3), 2.0, seeds=[(1.0, 0.0, 0.0), 1.0])
assert_type(grads, tuple[Lanes, ...])
print("value", value[0], "first output", values[0], "gradient of t", grads[1])

# Arrays in, arrays out: map over rows, and flat vectors of every lane.
rows = np.random.default_rng(0).random((5, 4), dtype=np.float32)
table = many.map(rows)
assert_type(table, NDArray[np.float64])
vector = np.array([0.1, 0.2, 0.3, 2.0])
assert_type(many(vector, flat=True), NDArray[np.float64])
assert_type(many.vjp(vector, seeds=np.ones(4), flat=True), NDArray[np.float64])
jacobian = many.jacobian(vector, flat=True)
assert_type(jacobian, NDArray[np.float64])
print("map", table.shape, "jacobian", jacobian.shape)


def residuals(v: NDArray[np.float64]) -> NDArray[np.float64]:
    """As scipy.optimize.least_squares calls it."""
    return many(v, flat=True) - 1.0


print("residuals", residuals(vector).round(3).tolist())
