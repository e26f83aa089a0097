"""The workloads in micrograd, the pure-Python scalar engine.

micrograd computes each value while it builds (forward happens in build) and
orders the graph for backward by recursion, one Python frame per level: the
interpreter's default recursion limit stops it below 1000 levels, so each
workload raises the limit to what its graph needs, as a user must. It has
no sine, so the sine rows and W4 are left out.
"""

import sys

import workloads as wl

import micrograd
from micrograd.engine import Value
from micrograd.nn import MLP

NAME = "micrograd"
try:
    from importlib.metadata import version
    VERSION = version("micrograd")
except Exception:  # pragma: no cover - metadata missing
    VERSION = getattr(micrograd, "__version__", "?")
W2_FORMULA = "relu activation, hinge"


def allow_depth(levels):
    """Raises the recursion limit to cover `levels` nested calls (plus slack)."""
    if sys.getrecursionlimit() < levels + 1000:
        sys.setrecursionlimit(levels + 1000)


def unsupported(reason):
    raise NotImplementedError(reason)


class W1:
    phases = ("build", "backward")
    notes = "forward in build"

    def __init__(self, depth, sin, recursion="raised"):
        if sin:
            unsupported("no sin")
        self.depth = depth
        if recursion == "raised":
            allow_depth(2 * depth + 10)

    def build(self):
        self.x, self.c, self.d = Value(wl.W1_X), Value(wl.W1_C), Value(wl.W1_D)
        c, d, y = self.c, self.d, self.x
        for _ in range(self.depth):
            y = y * c + d
        self.y = y

    def backward(self):
        self.y.backward()
        self.grads = [self.x.grad, self.c.grad, self.d.grad]

    def check(self):
        return [self.y.data] + self.grads


class W2:
    """The demo as published: micrograd.nn.MLP with ReLU and the hinge loss."""
    persistent = True  # timed as steps of one training loop
    phases = ("build", "backward", "update")
    formula = W2_FORMULA
    notes = "forward in build"

    def __init__(self, points, sizes):
        self.points, self.labels = wl.moons(points)
        self.model = MLP(sizes[0], list(sizes[1:]))
        for layer, (weights, biases) in zip(self.model.layers, wl.mlp_weights(sizes)):
            for neuron, row, b in zip(layer.neurons, weights, biases):
                for w, v in zip(neuron.w, row):
                    w.data = v
                neuron.b.data = b
        self.params = self.model.parameters()
        self.step = 0
        allow_depth(wl.mlp_nodes(points, sizes) + 100)

    def build(self):
        inputs = [list(map(Value, row)) for row in self.points]
        scores = list(map(self.model, inputs))
        losses = [(1 + -yi * si).relu() for yi, si in zip(self.labels, scores)]
        data_loss = sum(losses) * (1.0 / len(losses))
        reg_loss = wl.W2_ALPHA * sum(p * p for p in self.params)
        self.loss = data_loss + reg_loss

    def backward(self):
        self.loss.backward()

    def update(self):
        rate = wl.learning_rate(self.step)
        self.grads = [p.grad for p in self.params]
        for p in self.params:
            p.data -= rate * p.grad
        self.model.zero_grad()
        self.step += 1

    def check(self):
        return [self.loss.data, sum(self.grads)]


class W3:
    phases = ("build", "backward")
    notes = "forward in build"

    def __init__(self, degree):
        self.coefficients = wl.horner_coefficients(degree)
        allow_depth(2 * degree + 10)

    def build(self):
        self.x = Value(wl.W3_X)
        self.a = [Value(v) for v in self.coefficients]
        x, a = self.x, self.a
        self.p = wl.horner(x, a)

    def backward(self):
        self.p.backward()
        self.grad_x = self.x.grad
        self.grad_a = [a.grad for a in self.a]

    def check(self):
        return [self.p.data, self.grad_x, sum(self.grad_a)]


class W4:
    def __init__(self, points, variant):
        unsupported("no sin")


class W5:
    """No reusable graph: every call rebuilds and differentiates."""
    phases = ("build", "backward")
    per_call = ("build", "backward")
    notes = "rebuilt per call"

    def __init__(self, nodes, calls, eager_calls):
        self.depth, self.calls, self.eager_calls = nodes // 2, calls, eager_calls
        allow_depth(nodes + 10)

    def timed(self, clock):
        build = backward = 0
        for i in range(self.calls - self.eager_calls, self.calls):
            t0 = clock()
            x, c, d = Value(wl.w5_x(i)), Value(wl.W1_C), Value(wl.W1_D)
            y = x
            for _ in range(self.depth):
                y = y * c + d
            t1 = clock()
            y.backward()
            self.grads = [x.grad, c.grad, d.grad]
            t2 = clock()
            build, backward = build + t1 - t0, backward + t2 - t1
            self.value = y.data
        return {"build": build / self.eager_calls, "backward": backward / self.eager_calls}

    def check(self):
        return [self.value] + self.grads


class W4M:
    def __init__(self, points, variant):
        unsupported("no sin and no compiled functions")


class W5F:
    def __init__(self, nodes, calls):
        unsupported("no sin and no compiled functions")
