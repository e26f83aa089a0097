"""The workloads in varnel, written as a user of the _varnel module would."""

import workloads as wl

import _varnel
import varnel
from _varnel import Constant, Parameter, Undefined, sin, vec3

NAME = "varnel"
VERSION = _varnel.__version__
# The MLP has neither ReLU nor max here: sin stands in for the hidden ReLU and
# the square of the margin for the hinge, one node each like the originals.
W2_FORMULA = "sin activation, squared margin"


class W1:
    phases = ("build", "forward", "backward")

    def __init__(self, depth, sin):
        self.depth, self.use_sin = depth, sin

    def build(self):
        self.x, self.c, self.d = Parameter(wl.W1_X), Parameter(wl.W1_C), Parameter(wl.W1_D)
        c, d, y = self.c, self.d, self.x
        if self.use_sin:
            for _ in range(self.depth):
                y = sin(y * c + d)
        else:
            for _ in range(self.depth):
                y = y * c + d
        self.y = y

    def forward(self):
        self.value = self.y.eval()[0]

    def backward(self):
        self.y.backward()
        self.grads = [self.x.grad[0], self.c.grad[0], self.d.grad[0]]

    def check(self):
        return [self.value] + self.grads


class W2:
    persistent = True  # timed as steps of one training loop
    phases = ("build", "forward", "backward", "update")
    formula = W2_FORMULA

    def __init__(self, points, sizes):
        self.points, self.labels = wl.moons(points)
        self.layers = [([[Parameter(w) for w in row] for row in weights], [Parameter(b) for b in biases])
                       for weights, biases in wl.mlp_weights(sizes)]
        self.params = [p for weights, biases in self.layers
                       for row, b in zip(weights, biases) for p in row + [b]]
        self.step = 0

    def model(self, x):
        return wl.mlp(self.layers, x, sin)

    def build(self):
        inputs = [[Constant(v) for v in row] for row in self.points]
        scores = [self.model(x) for x in inputs]
        margins = [1 + -yi * si for yi, si in zip(self.labels, scores)]
        data_loss = sum(m * m for m in margins) * (1.0 / len(margins))
        reg_loss = wl.W2_ALPHA * sum(p * p for p in self.params)
        self.loss = data_loss + reg_loss

    def forward(self):
        self.value = self.loss.eval()[0]

    def backward(self):
        self.loss.backward()

    def update(self):
        rate = wl.learning_rate(self.step)
        self.grads = [p.grad[0] for p in self.params]
        for p, g in zip(self.params, self.grads):
            p.set_value(p.value[0] - rate * g)
            # Each parameter clears its own gradient, like micrograd's
            # model.zero_grad(); loss.zero_grad() would walk the whole graph.
            p.zero_grad()
        self.step += 1

    def check(self):
        return [self.value, sum(self.grads)]


class W3:
    phases = ("build", "forward", "backward")

    def __init__(self, degree):
        self.coefficients = wl.horner_coefficients(degree)

    def build(self):
        self.x = Parameter(wl.W3_X)
        self.a = [Parameter(v) for v in self.coefficients]
        x, a = self.x, self.a
        self.p = wl.horner(x, a)

    def forward(self):
        self.value = self.p.eval()[0]

    def backward(self):
        self.p.backward()
        self.grad_x = self.x.grad[0]
        self.grad_a = [a.grad[0] for a in self.a]

    def check(self):
        return [self.value, self.grad_x, sum(self.grad_a)]


class W4:
    phases = ("build", "forward", "backward")

    def __init__(self, points, variant):
        self.data, self.variant = wl.points3(points), variant

    def build(self):
        leaves, total = [], None
        if self.variant == "vec3":
            for x, y, z in self.data:
                px, py, pz = Parameter(x), Parameter(y), Parameter(z)
                p = vec3(px, py, pz)
                q = p * p + sin(p)
                s = q.x + q.y + q.z
                total = s if total is None else total + s
                leaves += (px, py, pz)
        else:
            for x, y, z in self.data:
                px, py, pz = Parameter(x), Parameter(y), Parameter(z)
                s = (px * px + sin(px)) + (py * py + sin(py)) + (pz * pz + sin(pz))
                total = s if total is None else total + s
                leaves += (px, py, pz)
        self.leaves, self.total = leaves, total

    def forward(self):
        self.value = self.total.eval()[0]

    def backward(self):
        self.total.backward()

    def check(self):
        return [self.value, sum(p.grad[0] for p in self.leaves[:30])]


class W5:
    """One graph built once, then set_value + eval and set_value + backward."""
    phases = ("setup", "forward", "backward")
    per_call = ("forward", "backward")

    def __init__(self, nodes, calls, eager_calls):
        self.depth, self.calls = nodes // 2, calls

    def setup(self):
        self.x, c, d = Parameter(wl.W1_X), Parameter(wl.W1_C), Parameter(wl.W1_D)
        self.params = (self.x, c, d)
        y = self.x
        for _ in range(self.depth):
            y = y * c + d
        self.y = y

    def forward(self):
        x, y = self.x, self.y
        for i in range(self.calls):
            x.set_value(wl.w5_x(i))
            self.value = y.eval()[0]

    def backward(self):
        x, c, d = self.params
        y = self.y
        for i in range(self.calls):
            x.set_value(wl.w5_x(i))
            # backward adds into the gradients: clear them first, on the
            # parameters themselves rather than through a walk of the graph
            x.zero_grad(), c.zero_grad(), d.zero_grad()
            y.backward()
            self.grads = [x.grad[0], c.grad[0], d.grad[0]]

    def check(self):
        return [self.value] + self.grads


class W4M:
    """W4's vec3 point formula compiled once, then mapped over every point;
    the gradients come from one vjp call per point."""
    phases = ("setup", "compile", "forward", "backward")
    notes = "map of a compiled Function; vjp per point"

    def __init__(self, points, variant):
        import numpy
        self.points = wl.points3(points)
        self.rows = numpy.array(self.points, dtype=numpy.float64)

    def setup(self):
        self.p = Undefined(dim=3)
        q = self.p * self.p + sin(self.p)
        self.s = q.x + q.y + q.z

    def compile(self):
        self.f = varnel.compile(self.s, self.p)

    def forward(self):
        self.values = self.f.map(self.rows)

    def backward(self):
        vjp = self.f.vjp
        self.grads = [vjp(point) for point in self.points]

    def check(self):
        return [float(self.values.sum()), sum(sum(g) for g in self.grads[:10])]


class W5F:
    """W5's graph compiled once as a function of x, c and d, then called."""
    phases = ("setup", "compile", "forward", "backward")
    per_call = ("forward", "backward")
    notes = "compiled Function called"

    def __init__(self, nodes, calls):
        self.depth, self.calls = nodes // 2, calls

    def setup(self):
        self.leaves = x, c, d = Parameter(wl.W1_X), Parameter(wl.W1_C), Parameter(wl.W1_D)
        y = x
        for _ in range(self.depth):
            y = y * c + d
        self.y = y

    def compile(self):
        self.f = varnel.compile(self.y, self.leaves)

    def forward(self):
        f = self.f
        for i in range(self.calls):
            self.value = f(wl.w5_x(i), wl.W1_C, wl.W1_D)[0]

    def backward(self):
        f = self.f
        for i in range(self.calls):
            gx, gc, gd = f.vjp(wl.w5_x(i), wl.W1_C, wl.W1_D)
            self.grads = [gx[0], gc[0], gd[0]]

    def check(self):
        return [self.value] + self.grads
