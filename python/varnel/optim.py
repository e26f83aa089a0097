"""Gradient-descent optimizers over Parameters.

A training step is: build (or rebuild) the loss, ``optimizer.zero_grad()``,
``loss.backward()``, ``optimizer.step()``. ``step`` reads each Parameter's
``grad`` and writes the new value with ``set_value``; a Parameter whose
``grad`` is None (the loss does not depend on it) is left alone.
"""

import math
from collections.abc import Iterable

from _varnel import Expression

__all__ = ["Optimizer", "SGD", "Adam"]


def _check_rate(name: str, rate: float, *, below_one: bool = False) -> None:
    upper_ok = rate < 1.0 if below_one else True
    if not (math.isfinite(rate) and rate >= 0.0 and upper_ok):
        bounds = "in [0, 1)" if below_one else "a finite number >= 0"
        raise ValueError(f"{name} must be {bounds}, got {rate!r}")


class Optimizer:
    """The common part of the optimizers: the Parameters and ``zero_grad``."""

    params: tuple[Expression, ...]
    """The Parameters this optimizer updates, in the order given."""

    def __init__(self, params: Iterable[Expression]) -> None:
        """Take the Parameters to update; anything else, or a repeat, raises ValueError."""
        self.params = tuple(params)
        if not self.params:
            raise ValueError("optimizer got an empty parameter list")
        seen: set[int] = set()
        for param in self.params:
            if not isinstance(param, Expression) or not param.is_parameter:
                raise ValueError(f"optimizer parameters must be Parameters, got {param!r}")
            if param.id in seen:
                # It would be stepped twice per step.
                raise ValueError(f"optimizer got the Parameter {param!r} twice")
            seen.add(param.id)

    def zero_grad(self) -> None:
        """Clear the gradient of every Parameter of this optimizer."""
        for param in self.params:
            # A Parameter is the only Parameter below itself.
            param.zero_grad()

    def step(self) -> None:
        """Move every Parameter that has a gradient one step downhill."""
        raise NotImplementedError


class SGD(Optimizer):
    """Stochastic gradient descent, optionally with momentum.

    Each step sets ``velocity = momentum * velocity + grad`` (the velocity
    starts at 0) and then ``value = value - lr * velocity``; with the
    default momentum 0 that is plain ``value - lr * grad``.
    """

    lr: float
    """The learning rate."""
    momentum: float
    """The fraction of the previous velocity kept, in [0, 1)."""

    def __init__(self, params: Iterable[Expression], lr: float, momentum: float = 0.0) -> None:
        """Update ``params`` with learning rate ``lr`` and the given ``momentum``."""
        super().__init__(params)
        _check_rate("lr", lr)
        _check_rate("momentum", momentum, below_one=True)
        self.lr = lr
        self.momentum = momentum
        self._velocity: list[list[float] | None] = [None] * len(self.params)

    def step(self) -> None:
        """Apply one update to every Parameter whose ``grad`` is not None."""
        for index, param in enumerate(self.params):
            grad = param.grad
            if grad is None:
                continue
            direction = list(grad)
            if self.momentum:
                velocity = self._velocity[index]
                if velocity is not None:
                    direction = [self.momentum * v + g for v, g in zip(velocity, grad)]
                self._velocity[index] = direction
            param.set_value([x - self.lr * d for x, d in zip(param.value, direction)])


class Adam(Optimizer):
    """Adam: steps scaled by running averages of the gradient and its square.

    Per lane, with ``t`` the number of steps this Parameter has taken:
    ``m = b1 * m + (1 - b1) * g``, ``v = b2 * v + (1 - b2) * g * g``, and
    ``value -= lr * (m / (1 - b1**t)) / (sqrt(v / (1 - b2**t)) + eps)``.
    """

    lr: float
    """The learning rate."""
    betas: tuple[float, float]
    """The decay rates of the averages of the gradient and of its square."""
    eps: float
    """Added to the root of the squared average, keeping the step finite."""

    def __init__(
        self,
        params: Iterable[Expression],
        lr: float = 1e-3,
        betas: tuple[float, float] = (0.9, 0.999),
        eps: float = 1e-8,
    ) -> None:
        """Update ``params`` with learning rate ``lr``, decay rates ``betas`` and ``eps``."""
        super().__init__(params)
        _check_rate("lr", lr)
        beta1, beta2 = betas
        _check_rate("betas[0]", beta1, below_one=True)
        _check_rate("betas[1]", beta2, below_one=True)
        if not (math.isfinite(eps) and eps > 0.0):
            raise ValueError(f"eps must be a finite number > 0, got {eps!r}")
        self.lr = lr
        self.betas = (beta1, beta2)
        self.eps = eps
        count = len(self.params)
        self._steps = [0] * count
        self._mean: list[list[float]] = [[0.0] * p.dim for p in self.params]
        self._square: list[list[float]] = [[0.0] * p.dim for p in self.params]

    def step(self) -> None:
        """Apply one update to every Parameter whose ``grad`` is not None."""
        beta1, beta2 = self.betas
        for index, param in enumerate(self.params):
            grad = param.grad
            if grad is None:
                continue
            self._steps[index] += 1
            t = self._steps[index]
            mean, square = self._mean[index], self._square[index]
            new_value = []
            for lane, (x, g) in enumerate(zip(param.value, grad)):
                mean[lane] = beta1 * mean[lane] + (1.0 - beta1) * g
                square[lane] = beta2 * square[lane] + (1.0 - beta2) * g * g
                m_hat = mean[lane] / (1.0 - beta1**t)
                v_hat = square[lane] / (1.0 - beta2**t)
                new_value.append(x - self.lr * m_hat / (math.sqrt(v_hat) + self.eps))
            param.set_value(new_value)
