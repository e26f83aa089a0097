"""Gradient-descent optimizers over Parameters.

A training step is: build (or rebuild) the loss, ``optimizer.zero_grad()``,
``loss.backward()``, ``optimizer.step()``. ``step`` reads each Parameter's
``grad`` and writes the new value with ``set_value``; a Parameter whose
``grad`` is None (the loss does not depend on it) is left alone.

Parameters come either as one iterable, or as a list of parameter groups:
dicts with the key ``"params"`` and any of the optimizer's settings, which
override the ones given to the constructor for that group only::

    SGD([{"params": [w1, w2]}, {"params": [b], "lr": 0.5}], lr=0.1, momentum=0.9)

``param_groups`` lists the groups with every setting filled in; changing a
setting there (``group["lr"] = 0.01``) takes effect at the next step.
``state_dict()`` and ``load_state_dict()`` save and restore the settings
and the running state (momentum, averages, step counts), so that a run
resumed from a checkpoint takes exactly the steps it would have taken.
"""

import copy
import math
from collections.abc import Callable, Iterable, Mapping
from typing import Any, Generic, TypeVar, overload

from _varnel import Expression

__all__ = ["Optimizer", "SGD", "Adam", "AdamW"]

ParamGroup = dict[str, Any]
"""A parameter group: ``"params"``, a list of Parameters, and the settings."""


def _is_finite_number(value: Any) -> bool:
    """An int or float that a float holds and that is finite; tested before any comparison, which
    another type could refuse with its own TypeError."""
    if not isinstance(value, (int, float)):
        return False
    try:
        return math.isfinite(value)
    except OverflowError:  # an int beyond every float
        return False


def _check_rate(name: str, rate: float, *, below_one: bool = False) -> None:
    if not (_is_finite_number(rate) and rate >= 0.0 and (rate < 1.0 or not below_one)):
        bounds = "in [0, 1)" if below_one else "a finite number >= 0"
        raise ValueError(f"{name} must be {bounds}, got {rate!r}")


def _check_positive(name: str, value: float) -> None:
    if not (_is_finite_number(value) and value > 0.0):
        raise ValueError(f"{name} must be a finite number > 0, got {value!r}")


def _as_pair(betas: Any) -> Any:
    """betas as a tuple when it iterates (a list, an array), else as given, for the check to refuse."""
    try:
        return tuple(betas)
    except TypeError:
        return betas


def _check_betas(betas: Any) -> None:
    if not (isinstance(betas, (tuple, list)) and len(betas) == 2):
        raise ValueError(f"betas must be a pair of numbers in [0, 1), got {betas!r}")
    _check_rate("betas[0]", betas[0], below_one=True)
    _check_rate("betas[1]", betas[1], below_one=True)


_T = TypeVar("_T")


class _Setting(Generic[_T]):
    """An optimizer setting as an attribute: reading gives the default,
    assigning sets it in the defaults and every group, after checking it
    against each of them."""

    def __init__(self, kind: Callable[[Any], _T], doc: str) -> None:
        self._kind = kind
        self.__doc__ = doc

    def __set_name__(self, owner: type, name: str) -> None:
        self._name = name

    @overload
    def __get__(self, optimizer: None, owner: type) -> "_Setting[_T]": ...
    @overload
    def __get__(self, optimizer: "Optimizer", owner: type) -> _T: ...
    def __get__(self, optimizer: "Optimizer | None", owner: type) -> "_T | _Setting[_T]":
        if optimizer is None:
            return self
        return self._kind(optimizer.defaults[self._name])

    def __set__(self, optimizer: "Optimizer", value: _T) -> None:
        optimizer._set_everywhere(self._name, value)


class Optimizer:
    """The common part of the optimizers: parameter groups, state, ``zero_grad``."""

    params: tuple[Expression, ...]
    """Every Parameter this optimizer updates, group after group, in the order given."""
    param_groups: list[ParamGroup]
    """The parameter groups, each with ``"params"`` and every setting."""
    defaults: dict[str, Any]
    """The settings given to the constructor, used where a group gives none."""
    state: dict[int, dict[str, Any]]
    """Running state per Parameter, keyed by its position in ``params``."""

    def __init__(self, params: Iterable[Expression] | Iterable[Mapping[str, Any]],
                 defaults: Mapping[str, Any] | None = None) -> None:
        """Take the Parameters (or parameter groups) and the default settings, if any.

        A single Expression instead of a list raises TypeError. A group or
        Parameter list that is empty, an item that is not a Parameter, a
        Parameter given twice, an unknown setting or a setting out of range
        raises ValueError.
        """
        if isinstance(params, Expression):
            # Iterating it would yield its lanes, each refused as no Parameter.
            raise TypeError("optimizer params must be a list of Parameters or of parameter groups, "
                            f"not one Expression: pass [p] rather than p, got {params!r}")
        self.defaults = dict(defaults or {})
        self._check_settings(self.defaults)
        items = list(params)
        if not items:
            raise ValueError("optimizer got an empty parameter list")
        if all(isinstance(item, Mapping) for item in items):
            groups: list[Mapping[str, Any]] = items  # type: ignore[assignment]
        elif any(isinstance(item, Mapping) for item in items):
            raise ValueError("optimizer parameters must be all Parameters or all parameter groups")
        else:
            groups = [{"params": items}]
        self.params = ()
        self.param_groups = []
        self.state = {}
        for group in groups:
            self.add_param_group(group)

    def add_param_group(self, group: Mapping[str, Any]) -> None:
        """Add a group: a dict with ``"params"`` and any settings to override."""
        if "params" not in group:
            raise ValueError("a parameter group needs the key 'params'")
        unknown = sorted(set(group) - {"params"} - set(self.defaults))
        if unknown:
            raise ValueError(f"unknown optimizer setting {unknown[0]!r}")
        params = group["params"]
        members = [params] if isinstance(params, Expression) else list(params)
        if not members:
            raise ValueError("optimizer got an empty parameter list")
        seen = {param.id for param in self.params}
        for param in members:
            if not isinstance(param, Expression) or not param.is_parameter:
                raise ValueError(f"optimizer parameters must be Parameters, got {param!r}")
            if param.id in seen:
                # It would be stepped twice per step.
                raise ValueError(f"optimizer got the Parameter {param!r} twice")
            seen.add(param.id)
        filled = {**self.defaults, **{k: v for k, v in group.items() if k != "params"}}
        self._check_settings(filled)
        self.param_groups.append({"params": members, **filled})
        self.params = self.params + tuple(members)

    lr = _Setting(float, "The default learning rate of SGD, Adam and AdamW; assigning it sets every "
                         "group's, one group's is ``param_groups[i][\"lr\"]``.")

    def _check_settings(self, settings: Mapping[str, Any]) -> None:
        """Raise ValueError for a setting out of range."""

    def _set_everywhere(self, name: str, value: Any) -> None:
        """Give the default and every group the new setting, after checking them all.

        Assigning ``optimizer.lr`` (a schedule, say) keeps working as it
        did when an optimizer had a single group.
        """
        for settings in [self.defaults, *self.param_groups]:
            self._check_settings({**settings, name: value})
        for settings in [self.defaults, *self.param_groups]:
            settings[name] = value

    def zero_grad(self) -> None:
        """Clear the gradient of every Parameter of this optimizer."""
        for param in self.params:
            # A Parameter is the only Parameter below itself.
            param.zero_grad()

    def step(self) -> None:
        """Move every Parameter that has a gradient one step downhill.

        A step that would leave a lane NaN or infinite raises set_value's
        ValueError and changes no value and no state.
        """
        steps = []
        index = 0
        for group in self.param_groups:
            for param in group["params"]:
                grad = param.grad
                if grad is not None:
                    # _update assigns into the state's keys and never changes a list in place.
                    state = dict(self.state.get(index, {}))
                    value = param.value
                    steps.append((param, value, self._update(group, state, list(value), list(grad)), index, state))
                index += 1
        written = []
        try:
            for param, value, new_value, _, _ in steps:
                param.set_value(new_value)
                written.append((param, value))
        except BaseException:
            for param, value in written:
                param.set_value(value)
            raise
        for _, _, _, index, state in steps:
            self.state[index] = state

    def _update(self, group: ParamGroup, state: dict[str, Any],
                value: list[float], grad: list[float]) -> list[float]:
        """The new lanes of one Parameter; may change its ``state``."""
        raise NotImplementedError

    def state_dict(self) -> dict[str, Any]:
        """A copy of the settings and running state, for :meth:`load_state_dict`.

        ``{"state": {position: {...}}, "param_groups": [{..., "params": [positions]}]}``,
        where positions count through ``params``. It holds only numbers,
        lists and dicts, so it pickles, and later steps do not change it.
        """
        groups, position = [], 0
        for group in self.param_groups:
            count = len(group["params"])
            settings = {k: copy.deepcopy(v) for k, v in group.items() if k != "params"}
            groups.append({**settings, "params": list(range(position, position + count))})
            position += count
        return {"state": copy.deepcopy(self.state), "param_groups": groups}

    def load_state_dict(self, state_dict: Mapping[str, Any]) -> None:
        """Take the settings and running state saved by :meth:`state_dict`.

        The optimizer must have been made with the same optimizer class and
        the same group sizes, Parameter lane counts and settings names. All
        is checked before anything changes: a mismatch raises ValueError and
        leaves the optimizer as it was.
        """
        try:
            saved_groups, saved_state = state_dict["param_groups"], state_dict["state"]
        except (KeyError, TypeError):
            raise ValueError("state_dict must have the keys 'state' and 'param_groups'") from None
        if not (isinstance(saved_state, Mapping) and isinstance(saved_groups, (list, tuple))
                and all(isinstance(saved, Mapping) and isinstance(saved.get("params", []), (list, tuple))
                        for saved in saved_groups)):
            raise ValueError("state_dict must map 'state' to a dict and 'param_groups' to a list of dicts, "
                             "each with a list 'params'")
        if len(saved_groups) != len(self.param_groups):
            raise ValueError(f"state_dict has {len(saved_groups)} parameter groups, "
                             f"this optimizer {len(self.param_groups)}")
        new_settings = []
        for number, (saved, group) in enumerate(zip(saved_groups, self.param_groups)):
            if len(saved.get("params", ())) != len(group["params"]):
                raise ValueError(f"parameter group {number} has {len(saved.get('params', ()))} "
                                 f"Parameters in state_dict, {len(group['params'])} here")
            settings = {k: v for k, v in saved.items() if k != "params"}
            if set(settings) != set(self.defaults):
                raise ValueError(f"parameter group {number} of state_dict has the settings "
                                 f"{sorted(settings)}, expected {sorted(self.defaults)}")
            self._check_settings(settings)
            new_settings.append(copy.deepcopy(settings))
        for position, entry in saved_state.items():
            if not (isinstance(position, int) and 0 <= position < len(self.params)):
                raise ValueError(f"state_dict has state for no Parameter: {position!r}")
            self._check_state(entry, self.params[position].dim, position)
        for group, settings in zip(self.param_groups, new_settings):
            group.update(settings)
        self.state = copy.deepcopy(dict(saved_state))

    def _check_state(self, entry: Any, dim: int, position: int) -> None:
        """Raise ValueError unless ``entry`` is this optimizer's state of a ``dim``-lane Parameter."""
        checks = self._state_checks(dim)
        # A Parameter's state is empty before its first step and whole after it.
        if not isinstance(entry, Mapping) or set(entry) not in (set(), set(checks)):
            raise ValueError(f"state_dict has unexpected state for Parameter {position}: {entry!r}")
        for key, valid in checks.items():
            if key in entry and not valid(entry[key]):
                raise ValueError(f"state_dict has a bad {key!r} for Parameter {position}: {entry[key]!r}")

    def _state_checks(self, dim: int) -> dict[str, Callable[[Any], bool]]:
        """The keys of one Parameter's state, each with a test of its value."""
        return {}


def _lanes_of(dim: int) -> Callable[[Any], bool]:
    """A test for a list of ``dim`` finite floats."""
    return lambda lanes: (isinstance(lanes, list) and len(lanes) == dim
                          and all(isinstance(x, float) and math.isfinite(x) for x in lanes))


class SGD(Optimizer):
    """Stochastic gradient descent with momentum, Nesterov momentum and weight decay.

    Per lane: ``g = grad + weight_decay * value``; with momentum,
    ``b = g`` at a Parameter's first step and ``b = momentum * b + g``
    after, and then ``g = g + momentum * b`` (Nesterov) or ``g = b``;
    finally ``value = value - lr * g``. With the defaults that is plain
    ``value - lr * grad``.
    """

    def __init__(self, params: Iterable[Expression] | Iterable[Mapping[str, Any]], lr: float,
                 momentum: float = 0.0, weight_decay: float = 0.0, nesterov: bool = False) -> None:
        """Update ``params`` with learning rate ``lr`` and the given settings.

        ``nesterov`` needs a momentum above 0.
        """
        super().__init__(params, {"lr": lr, "momentum": momentum,
                                  "weight_decay": weight_decay, "nesterov": nesterov})

    momentum = _Setting(float, "The default fraction of the previous velocity kept, in [0, 1).")
    weight_decay = _Setting(float, "The default multiple of the value added to the gradient.")
    nesterov = _Setting(bool, "Whether the default step is Nesterov's.")

    def _check_settings(self, settings: Mapping[str, Any]) -> None:
        _check_rate("lr", settings["lr"])
        _check_rate("momentum", settings["momentum"], below_one=True)
        _check_rate("weight_decay", settings["weight_decay"])
        if not isinstance(settings["nesterov"], bool):
            raise ValueError(f"nesterov must be True or False, got {settings['nesterov']!r}")
        if settings["nesterov"] and settings["momentum"] == 0.0:
            raise ValueError("nesterov needs a momentum above 0")

    def _state_checks(self, dim: int) -> dict[str, Callable[[Any], bool]]:
        return {"momentum_buffer": _lanes_of(dim)}

    def _update(self, group: ParamGroup, state: dict[str, Any],
                value: list[float], grad: list[float]) -> list[float]:
        lr, momentum, decay = group["lr"], group["momentum"], group["weight_decay"]
        if decay:
            grad = [g + decay * x for g, x in zip(grad, value)]
        if momentum:
            buffer = state.get("momentum_buffer")
            if buffer is not None:
                buffer = [momentum * b + g for b, g in zip(buffer, grad)]
            else:
                buffer = list(grad)
            state["momentum_buffer"] = buffer
            if group["nesterov"]:
                grad = [g + momentum * b for g, b in zip(grad, buffer)]
            else:
                grad = buffer
        return [x - lr * g for x, g in zip(value, grad)]


class Adam(Optimizer):
    """Adam: steps scaled by running averages of the gradient and its square.

    Per lane, with ``t`` the number of steps this Parameter has taken:
    ``m = b1 * m + (1 - b1) * g``, ``v = b2 * v + (1 - b2) * g * g``, and
    ``value -= lr * (m / (1 - b1**t)) / (sqrt(v / (1 - b2**t)) + eps)``.
    """

    def __init__(self, params: Iterable[Expression] | Iterable[Mapping[str, Any]], lr: float = 1e-3,
                 betas: tuple[float, float] = (0.9, 0.999), eps: float = 1e-8) -> None:
        """Update ``params`` with learning rate ``lr``, decay rates ``betas`` and ``eps``."""
        super().__init__(params, {"lr": lr, "betas": _as_pair(betas), "eps": eps})

    @property
    def betas(self) -> tuple[float, float]:
        """The default decay rates of the averages of the gradient and of its square."""
        beta1, beta2 = self.defaults["betas"]
        return (beta1, beta2)

    @betas.setter
    def betas(self, value: tuple[float, float]) -> None:
        self._set_everywhere("betas", _as_pair(value))

    eps = _Setting(float, "The default term added to the root of the squared average, keeping the step finite.")

    def _check_settings(self, settings: Mapping[str, Any]) -> None:
        _check_rate("lr", settings["lr"])
        _check_betas(settings["betas"])
        _check_positive("eps", settings["eps"])

    def _state_checks(self, dim: int) -> dict[str, Callable[[Any], bool]]:
        # The next step raises the betas to the power step + 1, a float.
        return {"step": lambda t: isinstance(t, int) and not isinstance(t, bool) and t >= 1
                and _is_finite_number(t + 1),
                "exp_avg": _lanes_of(dim), "exp_avg_sq": _lanes_of(dim)}

    def _update(self, group: ParamGroup, state: dict[str, Any],
                value: list[float], grad: list[float]) -> list[float]:
        beta1, beta2 = group["betas"]
        lr, eps = group["lr"], group["eps"]
        t = state.get("step", 0) + 1
        mean = state.get("exp_avg") or [0.0] * len(value)
        square = state.get("exp_avg_sq") or [0.0] * len(value)
        mean = [beta1 * m + (1.0 - beta1) * g for m, g in zip(mean, grad)]
        square = [beta2 * v + (1.0 - beta2) * g * g for v, g in zip(square, grad)]
        state.update(step=t, exp_avg=mean, exp_avg_sq=square)
        return [x - lr * (m / (1.0 - beta1**t)) / (math.sqrt(v / (1.0 - beta2**t)) + eps)
                for x, m, v in zip(value, mean, square)]


class AdamW(Adam):
    """Adam with decoupled weight decay.

    Each step first shrinks the value, ``value = value * (1 - lr * weight_decay)``,
    and then takes the Adam step of :class:`Adam` from the gradient alone.
    """

    def __init__(self, params: Iterable[Expression] | Iterable[Mapping[str, Any]], lr: float = 1e-3,
                 betas: tuple[float, float] = (0.9, 0.999), eps: float = 1e-8,
                 weight_decay: float = 1e-2) -> None:
        """Update ``params`` as :class:`Adam` does, with decoupled ``weight_decay``."""
        Optimizer.__init__(self, params, {"lr": lr, "betas": _as_pair(betas), "eps": eps,
                                          "weight_decay": weight_decay})

    weight_decay = _Setting(float, "The default fraction of the value taken off per unit of learning rate.")

    def _check_settings(self, settings: Mapping[str, Any]) -> None:
        super()._check_settings(settings)
        _check_rate("weight_decay", settings["weight_decay"])

    def _update(self, group: ParamGroup, state: dict[str, Any],
                value: list[float], grad: list[float]) -> list[float]:
        shrink = 1.0 - group["lr"] * group["weight_decay"]
        return super()._update(group, state, [x * shrink for x in value], grad)
