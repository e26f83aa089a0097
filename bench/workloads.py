"""Workload definitions shared by every engine of the comparison suite.

Each engine module under engines/ implements the same five workloads as
classes W1..W5 with the same constructor arguments. A workload instance is
one fresh run: the runner calls its phases in the order of `phases`, timing
each one, then reads `check()` (outside the timing) so that the driver can
confirm that the engines computed the same numbers. A workload whose phases
have to interleave (W5 rebuilding an eager graph per call) instead offers
`timed()`, which returns the nanoseconds of each phase itself.

Phase names:
  build     graph construction from Python (leaves included); in the eager
            engines it also computes the values
  forward   values from an existing graph (where the engine separates it)
  backward  gradients, read back into Python where the workload needs them;
            whatever forward work the engine needs for them is included
  update    W2 only: parameter update and clearing of the gradients
  setup     W5 only: the one-off construction of the reusable graph
  compile   W4M and W5F: making the compiled function of that graph once

The cost a user pays for a workload ("total") is the sum of every phase but
forward: build and backward give values and gradients in every engine.

Nothing here imports an engine: this module must load under any interpreter
the suite runs.
"""

import math
import random

# --- sizes --------------------------------------------------------------------

# Case lists: (workload, parameters). Case ids are made by case_id().
FULL = {
    "W1": [dict(depth=d, sin=s) for s in (False, True) for d in (1_000, 10_000, 100_000)],
    "W1S": [dict(depth=1_000_000, sin=False)],
    "W2": [dict(points=100, sizes=(2, 16, 16, 1), previous=p) for p in ("dropped", "kept")],
    "W3": [dict(degree=1000)],
    "W4": [dict(points=10_000, variant="vec3"), dict(points=10_000, variant="scalars")],
    "W5": [dict(nodes=10_000, calls=1000, eager_calls=20)],
    "W4M": [dict(points=10_000, variant="vec3")],
    "W5F": [dict(nodes=10_000, calls=1000)],
}

SMOKE = {
    "W1": [dict(depth=d, sin=s) for s in (False, True) for d in (10, 100)],
    "W1S": [dict(depth=2_000, sin=False)],
    "W2": [dict(points=4, sizes=(2, 4, 4, 1), previous=p) for p in ("dropped", "kept")],
    "W3": [dict(degree=20)],
    "W4": [dict(points=20, variant="vec3"), dict(points=20, variant="scalars")],
    "W5": [dict(nodes=100, calls=10, eager_calls=2)],
    "W4M": [dict(points=20, variant="vec3")],
    "W5F": [dict(nodes=100, calls=10)],
}

PHASES = ("setup", "compile", "build", "forward", "backward", "update")


def short(n):
    """1000 -> '1e3', 2000000 -> '2e6', 100 -> '100'."""
    if n >= 1000:
        exponent = len(str(n)) - 1
        mantissa, rest = divmod(n, 10 ** exponent)
        if rest == 0:
            return f"{mantissa}e{exponent}" if mantissa > 1 else f"1e{exponent}"
    return str(n)


def case_id(workload, p):
    if workload in ("W1", "W1S"):
        body = "sin(y*c+d)" if p["sin"] else "y*c+d"
        tail = " survival" if workload == "W1S" else ""
        return f"W1 {body} d={short(p['depth'])}{tail}"
    if workload == "W2":
        return f"W2 MLP {'-'.join(map(str, p['sizes']))} x{p['points']} step, previous {p['previous']}"
    if workload == "W3":
        return f"W3 Horner deg {p['degree']}"
    if workload == "W4":
        return f"W4 {p['variant']} x{short(p['points'])}"
    if workload == "W5":
        return f"W5 {short(p['nodes'])} nodes x{p['calls']}"
    if workload == "W4M":
        return f"W4 {p['variant']} x{short(p['points'])} through map"
    if workload == "W5F":
        return f"W5 {short(p['nodes'])} nodes x{p['calls']} compiled"
    raise KeyError(workload)


def nodes(workload, p):
    """Nominal operator nodes of the workload's graph: the per-node figures of
    every engine are divided by this one count, so that they compare the same
    work (leaves are not counted; an engine's own extra nodes, such as
    micrograd's Value wrapping a Python float, are its own cost)."""
    if workload in ("W1", "W1S"):
        return p["depth"] * (3 if p["sin"] else 2)
    if workload == "W2":
        return mlp_nodes(p["points"], p["sizes"])
    if workload == "W3":
        return 2 * p["degree"]
    if workload in ("W4", "W4M"):
        # vec3: pack, mul, sin, add, three lanes, two adds, one add into the
        # total; scalars: three lanes of mul, sin, add, two adds, the total.
        return p["points"] * (10 if p["variant"] == "vec3" else 12)
    if workload in ("W5", "W5F"):
        return p["nodes"]
    raise KeyError(workload)


# --- W1 deep chain ------------------------------------------------------------

# y0 = x; y <- y * c + d (then sin(y) where the row says so), depth times.
# |c| < 1 keeps the chain bounded at any depth.
W1_X, W1_C, W1_D = 0.1, 0.5, 0.3

# --- W2: the 2-16-16-1 scalar perceptron of the micrograd demo ---------------

W2_ALPHA = 1e-4  # weight of the L2 regularisation
W2_LEARNING_RATE = 0.05


def moons(count, noise=0.1, seed=2):
    """Two interleaved half circles with labels -1 and +1, like the classic
    toy data set the demo trains on, made here so no data package is needed."""
    rng = random.Random(seed)
    outer = count // 2
    points, labels = [], []
    for i in range(count):
        if i < outer:
            t = math.pi * i / max(outer - 1, 1)
            x, y, label = math.cos(t), math.sin(t), -1.0
        else:
            j = i - outer
            t = math.pi * j / max(count - outer - 1, 1)
            x, y, label = 1.0 - math.cos(t), 0.5 - math.sin(t), 1.0
        points.append((x + rng.gauss(0.0, noise), y + rng.gauss(0.0, noise)))
        labels.append(label)
    return points, labels


def mlp_weights(sizes, seed=1337):
    """[(weights[nout][nin], biases[nout]) per layer], uniform in [-1, 1] with
    zero biases as micrograd's Neuron initialises them."""
    rng = random.Random(seed)
    layers = []
    for nin, nout in zip(sizes[:-1], sizes[1:]):
        weights = [[rng.uniform(-1.0, 1.0) for _ in range(nin)] for _ in range(nout)]
        layers.append((weights, [0.0] * nout))
    return layers


def mlp_parameter_count(sizes):
    return sum((nin + 1) * nout for nin, nout in zip(sizes[:-1], sizes[1:]))


def mlp_nodes(points, sizes):
    per_point = 0
    layers = list(zip(sizes[:-1], sizes[1:]))
    for index, (nin, nout) in enumerate(layers):
        nonlinear = index != len(layers) - 1
        per_point += nout * (2 * nin + (1 if nonlinear else 0))
    per_point += 3  # -y * score, 1 + that, the hinge
    params = mlp_parameter_count(sizes)
    # sum of the losses from 0, the mean; p*p and their sum; alpha *; the total
    return points * per_point + points + 1 + 2 * params + 2


def learning_rate(step):
    return W2_LEARNING_RATE * (1.0 - 0.9 * (step % 100) / 100)


# --- W3 Horner polynomial -----------------------------------------------------

W3_X = 0.9


def horner(x, a):
    """a[0] + x*(a[1] + x*(...)), in whatever engine x and a come from."""
    p = a[-1]
    for k in range(len(a) - 2, -1, -1):
        p = p * x + a[k]
    return p


def mlp(layers, x, activation):
    """The network's output for inputs x; layers are (weights, biases) pairs
    of one engine's values, and every layer but the last is activated."""
    last = len(layers) - 1
    for index, (weights, biases) in enumerate(layers):
        out = []
        for row, b in zip(weights, biases):
            act = sum((wi * xi for wi, xi in zip(row, x)), b)
            out.append(activation(act) if index != last else act)
        x = out
    return x[0]


def horner_coefficients(degree):
    return [1.0 / (k + 1) for k in range(degree + 1)]


# --- W4 vec3 lanes --------------------------------------------------------------


def points3(count, seed=4):
    rng = random.Random(seed)
    return [(rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(-1, 1)) for _ in range(count)]


# --- W5 re-evaluation -------------------------------------------------------------

# The fixed graph is the W1 chain y*c+d at depth nodes/2; call i sets x to
# w5_x(i) and asks for y and its gradient. W5F is the same through compiled
# functions of x, c and d: made once (compile), then only called.
#
# W4M is W4's vec3 point formula compiled once: its values mapped over the
# points in one call (forward), its gradients one point at a time (backward).


def w5_x(i):
    return 0.1 + 0.001 * (i % 100)
