"""The workloads in CasADi SX graphs: symbolic inputs, expressions built from
Python, `gradient`, and `Function` objects called with numbers.

Phases: build is the SX construction from Python; forward makes a Function
of the value and calls it once; backward makes the gradient expression and a
Function of value and gradient and calls it once. W5 builds its Functions
once (setup) and only calls them.
"""

import workloads as wl

import casadi
from casadi import SX, Function, fmax, gradient, sin, vertcat

NAME = "casadi"
VERSION = casadi.__version__
W2_FORMULA = "relu activation, hinge"


def numbers(dm):
    return list(casadi.DM(dm).nonzeros())


class Graph:
    """Shared forward/backward phases over self.inputs, self.values, self.out."""

    def forward(self):
        f = Function("f", [self.inputs], [self.out])
        self.value = float(f(self.values))

    def backward(self):
        g = gradient(self.out, self.inputs)
        fg = Function("fg", [self.inputs], [self.out, g])
        value, grad = fg(self.values)
        self.value, self.grads = float(value), numbers(grad)


class W1(Graph):
    phases = ("build", "forward", "backward")

    def __init__(self, depth, sin):
        self.depth, self.use_sin = depth, sin
        self.values = [wl.W1_X, wl.W1_C, wl.W1_D]

    def build(self):
        x, c, d = SX.sym("x"), SX.sym("c"), SX.sym("d")
        y = x
        if self.use_sin:
            for _ in range(self.depth):
                y = sin(y * c + d)
        else:
            for _ in range(self.depth):
                y = y * c + d
        self.inputs, self.out = vertcat(x, c, d), y

    def check(self):
        return [self.value] + self.grads


class W2(Graph):
    """The micrograd demo over SX scalars (ReLU as fmax(0, u), the hinge)."""
    persistent = True  # timed as steps of one training loop
    phases = ("build", "forward", "backward", "update")
    formula = W2_FORMULA

    def __init__(self, points, sizes):
        self.points, self.labels = wl.moons(points)
        weights = wl.mlp_weights(sizes)
        count = wl.mlp_parameter_count(sizes)
        self.inputs = SX.sym("p", count)
        symbols = [self.inputs[i] for i in range(count)]
        self.values, self.layers, at = [], [], 0
        for rows, biases in weights:
            layer = []
            for row, b in zip(rows, biases):
                layer.append((symbols[at:at + len(row)], symbols[at + len(row)]))
                self.values += row + [b]
                at += len(row) + 1
            self.layers.append(layer)
        self.symbols = symbols
        self.step = 0

    def model(self, x):
        last = len(self.layers) - 1
        for index, layer in enumerate(self.layers):
            out = []
            for row, b in layer:
                act = sum((wi * xi for wi, xi in zip(row, x)), b)
                out.append(fmax(0, act) if index != last else act)
            x = out
        return x[0]

    def build(self):
        scores = [self.model(x) for x in self.points]
        losses = [fmax(0, 1 + -yi * si) for yi, si in zip(self.labels, scores)]
        data_loss = sum(losses) * (1.0 / len(losses))
        reg_loss = wl.W2_ALPHA * sum(p * p for p in self.symbols)
        self.out = data_loss + reg_loss

    def forward(self):
        super().forward()
        self.loss_value = self.value

    def update(self):
        rate = wl.learning_rate(self.step)
        self.values = [v - rate * g for v, g in zip(self.values, self.grads)]
        self.step += 1

    def check(self):
        return [self.loss_value, sum(self.grads)]


class W3(Graph):
    phases = ("build", "forward", "backward")

    def __init__(self, degree):
        self.coefficients = wl.horner_coefficients(degree)
        self.values = [wl.W3_X] + self.coefficients

    def build(self):
        x = SX.sym("x")
        a_all = SX.sym("a", len(self.coefficients))
        a = [a_all[k] for k in range(len(self.coefficients))]
        self.inputs, self.out = vertcat(x, a_all), wl.horner(x, a)

    def check(self):
        return [self.value, self.grads[0], sum(self.grads[1:])]


class W4(Graph):
    """vec3: one 3-element SX symbol per point; scalars: three SX scalars."""
    phases = ("build", "forward", "backward")

    def __init__(self, points, variant):
        self.data, self.variant = wl.points3(points), variant
        self.values = [v for point in self.data for v in point]

    def build(self):
        leaves, total = [], None
        if self.variant == "vec3":
            for _ in self.data:
                p = SX.sym("p", 3)
                q = p * p + sin(p)
                s = q[0] + q[1] + q[2]
                total = s if total is None else total + s
                leaves.append(p)
        else:
            for _ in self.data:
                px, py, pz = SX.sym("x"), SX.sym("y"), SX.sym("z")
                s = (px * px + sin(px)) + (py * py + sin(py)) + (pz * pz + sin(pz))
                total = s if total is None else total + s
                leaves += (px, py, pz)
        self.inputs, self.out = vertcat(*leaves), total

    def check(self):
        return [self.value, sum(self.grads[:30])]


class W5:
    """Functions of value and of value and gradient, made once, called often."""
    phases = ("setup", "forward", "backward")
    per_call = ("forward", "backward")
    notes = "Function called"

    def __init__(self, nodes, calls, eager_calls):
        self.depth, self.calls = nodes // 2, calls

    def setup(self):
        x, c, d = SX.sym("x"), SX.sym("c"), SX.sym("d")
        y = x
        for _ in range(self.depth):
            y = y * c + d
        self.f = Function("f", [x, c, d], [y])
        self.fg = Function("fg", [x, c, d], [y, gradient(y, vertcat(x, c, d))])

    def forward(self):
        f = self.f
        for i in range(self.calls):
            self.value = float(f(wl.w5_x(i), wl.W1_C, wl.W1_D))

    def backward(self):
        fg = self.fg
        for i in range(self.calls):
            value, grad = fg(wl.w5_x(i), wl.W1_C, wl.W1_D)
            self.grads = numbers(grad)

    def check(self):
        return [self.value] + self.grads


class W4M:
    """The vec3 point formula as a Function of one 3-element symbol, and its
    gradient, mapped over the points as columns by Function.map."""
    phases = ("setup", "compile", "forward", "backward")
    notes = "Function.map called"

    def __init__(self, points, variant):
        self.points = points
        self.columns = casadi.DM(wl.points3(points)).T

    def setup(self):
        self.p = SX.sym("p", 3)
        q = self.p * self.p + sin(self.p)
        self.s = q[0] + q[1] + q[2]

    def compile(self):
        self.f = Function("f", [self.p], [self.s]).map(self.points)
        self.g = Function("g", [self.p], [gradient(self.s, self.p)]).map(self.points)

    def forward(self):
        self.values = numbers(self.f(self.columns))

    def backward(self):
        self.grads = numbers(self.g(self.columns))

    def check(self):
        return [sum(self.values), sum(self.grads[:30])]


class W5F(W5):
    """W5 with its Functions' construction timed as the compile phase."""
    phases = ("setup", "compile", "forward", "backward")

    def __init__(self, nodes, calls):
        super().__init__(nodes, calls, 0)

    def setup(self):
        self.x, self.c, self.d = SX.sym("x"), SX.sym("c"), SX.sym("d")
        y = self.x
        for _ in range(self.depth):
            y = y * self.c + self.d
        self.y = y

    def compile(self):
        x, c, d, y = self.x, self.c, self.d, self.y
        self.f = Function("f", [x, c, d], [y])
        self.fg = Function("fg", [x, c, d], [y, gradient(y, vertcat(x, c, d))])
