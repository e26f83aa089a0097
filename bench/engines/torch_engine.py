"""The workloads in PyTorch eager autograd: CPU, float64, 0-dim scalar tensors
and 3-element tensors. Values are computed while the graph is recorded
(forward happens in build); nothing is reused between runs."""

import warnings

import workloads as wl

with warnings.catch_warnings():
    # This build warns at import when NumPy is absent; the suite needs no NumPy.
    warnings.simplefilter("ignore")
    import torch

NAME = "torch"
VERSION = torch.__version__
W2_FORMULA = "relu activation, hinge"

torch.set_num_threads(1)  # scalar kernels gain nothing from threads; the machine is shared
F64 = torch.float64


def leaf(value):
    return torch.tensor(value, dtype=F64, requires_grad=True)


def unsupported(reason):
    raise NotImplementedError(reason)


class W1:
    phases = ("build", "backward")
    notes = "forward in build"

    def __init__(self, depth, sin):
        self.depth, self.use_sin = depth, sin

    def build(self):
        self.x, self.c, self.d = leaf(wl.W1_X), leaf(wl.W1_C), leaf(wl.W1_D)
        c, d, y = self.c, self.d, self.x
        if self.use_sin:
            for _ in range(self.depth):
                y = torch.sin(y * c + d)
        else:
            for _ in range(self.depth):
                y = y * c + d
        self.y = y

    def backward(self):
        self.y.backward()
        self.grads = [self.x.grad.item(), self.c.grad.item(), self.d.grad.item()]

    def check(self):
        return [self.y.item()] + self.grads


class W2:
    """The micrograd demo in scalar tensors: ReLU and the hinge loss."""
    persistent = True  # timed as steps of one training loop
    phases = ("build", "backward", "update")
    formula = W2_FORMULA
    notes = "forward in build"

    def __init__(self, points, sizes):
        self.points, self.labels = wl.moons(points)
        self.layers = [([[leaf(w) for w in row] for row in weights], [leaf(b) for b in biases])
                       for weights, biases in wl.mlp_weights(sizes)]
        self.params = [p for weights, biases in self.layers
                       for row, b in zip(weights, biases) for p in row + [b]]
        self.step = 0

    def model(self, x):
        return wl.mlp(self.layers, x, lambda act: act.relu())

    def build(self):
        inputs = [[torch.tensor(v, dtype=F64) for v in row] for row in self.points]
        scores = [self.model(x) for x in inputs]
        losses = [(1 + -yi * si).relu() for yi, si in zip(self.labels, scores)]
        data_loss = sum(losses) * (1.0 / len(losses))
        reg_loss = wl.W2_ALPHA * sum(p * p for p in self.params)
        self.loss = data_loss + reg_loss

    def backward(self):
        self.loss.backward()

    def update(self):
        rate = wl.learning_rate(self.step)
        self.grads = [p.grad.item() for p in self.params]
        with torch.no_grad():
            for p in self.params:
                p -= rate * p.grad
        for p in self.params:
            p.grad = None
        self.step += 1

    def check(self):
        return [self.loss.item(), sum(self.grads)]


class W3:
    phases = ("build", "backward")
    notes = "forward in build"

    def __init__(self, degree):
        self.coefficients = wl.horner_coefficients(degree)

    def build(self):
        self.x = leaf(wl.W3_X)
        self.a = [leaf(v) for v in self.coefficients]
        x, a = self.x, self.a
        self.p = wl.horner(x, a)

    def backward(self):
        self.p.backward()
        self.grad_x = self.x.grad.item()
        self.grad_a = [a.grad.item() for a in self.a]

    def check(self):
        return [self.p.item(), self.grad_x, sum(self.grad_a)]


class W4:
    """vec3: one 3-element leaf tensor per point; scalars: three 0-dim leaves."""
    phases = ("build", "backward")
    notes = "forward in build"

    def __init__(self, points, variant):
        self.data, self.variant = wl.points3(points), variant

    def build(self):
        leaves, total = [], None
        if self.variant == "vec3":
            for point in self.data:
                p = leaf(point)
                q = p * p + torch.sin(p)
                s = q[0] + q[1] + q[2]
                total = s if total is None else total + s
                leaves.append(p)
        else:
            for x, y, z in self.data:
                px, py, pz = leaf(x), leaf(y), leaf(z)
                s = (px * px + torch.sin(px)) + (py * py + torch.sin(py)) + (pz * pz + torch.sin(pz))
                total = s if total is None else total + s
                leaves += (px, py, pz)
        self.leaves, self.total = leaves, total

    def backward(self):
        self.total.backward()

    def check(self):
        grads = [g for p in self.leaves for g in p.grad.reshape(-1).tolist()][:30]
        return [self.total.item(), sum(grads)]


class W5:
    """No reusable graph: every call rebuilds and differentiates."""
    phases = ("build", "backward")
    per_call = ("build", "backward")
    notes = "rebuilt per call"

    def __init__(self, nodes, calls, eager_calls):
        self.depth, self.calls, self.eager_calls = nodes // 2, calls, eager_calls

    def timed(self, clock):
        build = backward = 0
        for i in range(self.calls - self.eager_calls, self.calls):
            t0 = clock()
            x, c, d = leaf(wl.w5_x(i)), leaf(wl.W1_C), leaf(wl.W1_D)
            y = x
            for _ in range(self.depth):
                y = y * c + d
            t1 = clock()
            y.backward()
            self.grads = [x.grad.item(), c.grad.item(), d.grad.item()]
            t2 = clock()
            build, backward = build + t1 - t0, backward + t2 - t1
            self.value = y.item()
        return {"build": build / self.eager_calls, "backward": backward / self.eager_calls}

    def check(self):
        return [self.value] + self.grads


class W4M:
    def __init__(self, points, variant):
        unsupported("eager only: no compiled functions")


class W5F:
    def __init__(self, nodes, calls):
        unsupported("eager only: no compiled functions")
