"""Optimizers against the published update rules, parameter groups, and checkpoint resume."""
import math
import pickle

import pytest

from varnel import Parameter, optim, sin

TARGET = (0.5, -1.5, 2.0)


def loss_of(params):
    """sum over lanes of (x - t)^2 + sin(x): a gradient that changes with every step."""
    total = None
    for p in params:
        d = p - list(TARGET[: p.dim])
        lanes = d * d + sin(p)
        for i in range(p.dim):
            total = lanes[i] if total is None else total + lanes[i]
    return total


def grad_of(x, i):
    return 2 * (x - TARGET[i]) + math.cos(x)


def reference_run(start, settings, kind, steps):
    """The update rules as documented for SGD, Adam and AdamW, lane by lane."""
    lr = settings["lr"]
    theta = list(start)
    state = [dict() for _ in theta]
    for t in range(1, steps + 1):
        for i, s in enumerate(state):
            g = grad_of(theta[i], i)
            if kind == "SGD":
                mu, wd = settings.get("momentum", 0.0), settings.get("weight_decay", 0.0)
                if wd:
                    g = g + wd * theta[i]
                if mu:
                    s["b"] = g if t == 1 else mu * s["b"] + g
                    g = g + mu * s["b"] if settings.get("nesterov") else s["b"]
                theta[i] = theta[i] - lr * g
            else:
                b1, b2 = settings.get("betas", (0.9, 0.999))
                eps = settings.get("eps", 1e-8)
                if kind == "AdamW":
                    theta[i] = theta[i] - lr * settings.get("weight_decay", 1e-2) * theta[i]
                s["m"] = b1 * s.get("m", 0.0) + (1 - b1) * g
                s["v"] = b2 * s.get("v", 0.0) + (1 - b2) * g * g
                m_hat, v_hat = s["m"] / (1 - b1**t), s["v"] / (1 - b2**t)
                theta[i] = theta[i] - lr * m_hat / (math.sqrt(v_hat) + eps)
    return theta


CONFIGS = [
    ("SGD", {"lr": 0.1}),
    ("SGD", {"lr": 0.05, "momentum": 0.9}),
    ("SGD", {"lr": 0.05, "momentum": 0.8, "nesterov": True}),
    ("SGD", {"lr": 0.05, "weight_decay": 0.3}),
    ("SGD", {"lr": 0.05, "momentum": 0.7, "weight_decay": 0.2, "nesterov": True}),
    ("Adam", {"lr": 0.1}),
    ("Adam", {"lr": 0.05, "betas": (0.5, 0.9), "eps": 1e-3}),
    ("AdamW", {"lr": 0.1}),
    ("AdamW", {"lr": 0.05, "weight_decay": 0.5, "betas": (0.8, 0.99)}),
]
CONFIG_IDS = [f"{kind}-{'-'.join(f'{k}={v}' for k, v in s.items())}" for kind, s in CONFIGS]


def train(opt, params, steps):
    for _ in range(steps):
        loss = loss_of(params)
        opt.zero_grad()
        loss.backward()
        opt.step()


@pytest.mark.parametrize("kind, settings", CONFIGS, ids=CONFIG_IDS)
def test_steps_follow_the_documented_rules(kind, settings):
    start = (1.0, -0.25, 3.0)
    p = Parameter(*start)
    train(getattr(optim, kind)([p], **settings), [p], 7)
    assert p.value == pytest.approx(reference_run(start, settings, kind, 7), rel=1e-12, abs=1e-12)


@pytest.mark.parametrize("kind, settings", CONFIGS, ids=CONFIG_IDS)
def test_each_group_steps_with_its_own_settings(kind, settings):
    a, b = Parameter(1.0), Parameter(-0.5, 2.5)
    own = {"lr": settings["lr"] * 3, **({"momentum": 0.5} if kind == "SGD" else {"betas": (0.7, 0.95)})}
    opt = getattr(optim, kind)([{"params": [a]}, {"params": [b], **own}], **settings)
    assert [g["lr"] for g in opt.param_groups] == [settings["lr"], settings["lr"] * 3]
    train(opt, [a, b], 5)
    assert a.value == pytest.approx(reference_run((1.0,), settings, kind, 5), rel=1e-12)
    # The second parameter is lanes 0 and 1 of the target; the reference indexes lanes from 0.
    assert b.value == pytest.approx(reference_run((-0.5, 2.5), {**settings, **own}, kind, 5), rel=1e-12)


def test_a_changed_group_setting_takes_effect_at_the_next_step():
    p = Parameter(2.0)
    opt = optim.SGD([p], lr=0.1)
    train(opt, [p], 1)
    opt.param_groups[0]["lr"] = 0.0
    before = p.value
    train(opt, [p], 3)
    assert p.value == before and opt.lr == 0.1


@pytest.mark.parametrize("kind, settings", [
    ("SGD", {"lr": 1e308, "momentum": 0.5}),
    ("Adam", {"lr": 1e308}),
    ("AdamW", {"lr": 1e308, "weight_decay": 0.0}),
])
def test_a_step_that_overflows_a_value_changes_no_value_and_no_state(kind, settings):
    fine, far = Parameter(1.0, name="fine"), Parameter(-1.5e308, name="far")
    opt = getattr(optim, kind)([fine, far], **settings)
    loss = fine * 1e-10 + far  # fine steps first and stays finite; far's step runs past -1.8e308
    loss.backward()
    before = opt.state_dict()
    with pytest.raises(ValueError, match="^symbolic value lanes must be finite$"):
        opt.step()
    assert (fine.value, far.value) == ((1.0,), (-1.5e308,))
    assert opt.state_dict() == before


def make(kind, settings, params):
    return getattr(optim, kind)([{"params": params[:1]}, {"params": params[1:], "lr": settings["lr"] / 2}],
                                **settings)


@pytest.mark.parametrize("kind, settings", CONFIGS, ids=CONFIG_IDS)
def test_resuming_from_a_checkpoint_takes_the_same_steps(kind, settings):
    straight = [Parameter(1.0, -0.25), Parameter(3.0)]
    train(make(kind, settings, straight), straight, 9)

    first = [Parameter(1.0, -0.25), Parameter(3.0)]
    opt = make(kind, settings, first)
    train(opt, first, 4)
    checkpoint = pickle.dumps({"values": [p.value for p in first], "optimizer": opt.state_dict()})
    train(opt, first, 2)  # steps after the checkpoint must not leak into it

    saved = pickle.loads(checkpoint)
    resumed = [Parameter(*v) for v in saved["values"]]
    fresh = make(kind, {**settings, "lr": 123.0}, resumed)  # settings come back from the checkpoint
    fresh.load_state_dict(saved["optimizer"])
    assert fresh.param_groups[1]["lr"] == settings["lr"] / 2
    train(fresh, resumed, 5)
    assert [p.value for p in resumed] == [p.value for p in straight]


def test_state_dict_names_parameters_by_position():
    a, b = Parameter(1.0), Parameter(2.0, 3.0)
    opt = optim.Adam([{"params": [a]}, {"params": [b], "lr": 0.5}], lr=0.1)
    train(opt, [a, b], 2)
    saved = opt.state_dict()
    assert [g["params"] for g in saved["param_groups"]] == [[0], [1]]
    assert saved["param_groups"][1] == {"lr": 0.5, "betas": (0.9, 0.999), "eps": 1e-8, "params": [1]}
    assert saved["state"][1]["step"] == 2 and len(saved["state"][1]["exp_avg_sq"]) == 2


def sgd_twin():
    p = Parameter(1.0, 2.0)
    q = Parameter(0.5)
    opt = optim.SGD([{"params": [p]}, {"params": [q]}], lr=0.1, momentum=0.9)
    train(opt, [p, q], 2)
    return opt, [p, q]


def adam_state():
    p, q = Parameter(1.0, 2.0), Parameter(0.5)
    opt = optim.Adam([{"params": [p]}, {"params": [q]}])
    train(opt, [p, q], 1)
    return opt.state_dict()


def edit(change):
    opt, _ = sgd_twin()
    state = opt.state_dict()
    change(state)
    return state


BAD_STATES = [
    ("no keys", lambda: {}, "must have the keys"),
    ("one group", lambda: edit(lambda s: s["param_groups"].pop()), "has 1 parameter groups"),
    ("group size", lambda: edit(lambda s: s["param_groups"][0]["params"].append(1)), "parameter group 0 has 2"),
    ("another optimizer's settings", adam_state, "has the settings"),
    ("setting out of range", lambda: edit(lambda s: s["param_groups"][1].update(lr=-1.0)), "lr must be"),
    ("lane count", lambda: edit(lambda s: s["state"][0].update(momentum_buffer=[1.0])), "bad 'momentum_buffer'"),
    ("unknown position", lambda: edit(lambda s: s["state"].update({7: {}})), "state for no Parameter"),
    ("unknown state", lambda: edit(lambda s: s["state"][1].update(exp_avg=[0.0])), "unexpected state"),
    ("groups not a list", lambda: edit(lambda s: s.update(param_groups=5)), "must map"),
    ("group not a dict", lambda: edit(lambda s: s["param_groups"].__setitem__(0, 5)), "must map"),
    ("params not a list", lambda: edit(lambda s: s["param_groups"][0].update(params=0)), "must map"),
    ("state not a dict", lambda: edit(lambda s: s.update(state=[])), "must map"),
]


@pytest.mark.parametrize("name, bad, message", BAD_STATES, ids=[b[0] for b in BAD_STATES])
def test_load_state_dict_refuses_a_mismatch_and_changes_nothing(name, bad, message):
    opt, params = sgd_twin()
    twin, twin_params = sgd_twin()
    with pytest.raises(ValueError, match=message):
        opt.load_state_dict(bad())
    train(opt, params, 3)
    train(twin, twin_params, 3)
    assert [p.value for p in params] == [p.value for p in twin_params]


def adam_twin(kind):
    params = [Parameter(1.0, 2.0), Parameter(0.5)]
    opt = getattr(optim, kind)([{"params": params[:1]}, {"params": params[1:]}], lr=0.1)
    train(opt, params, 2)
    return opt, params


@pytest.mark.parametrize("kind", ["Adam", "AdamW"])
@pytest.mark.parametrize("dropped", ["step", "exp_avg", "exp_avg_sq"])
def test_load_state_dict_refuses_a_parameter_state_missing_a_part(kind, dropped):
    (opt, params), (other, other_params) = adam_twin(kind), adam_twin(kind)
    state = opt.state_dict()
    del state["state"][1][dropped]  # a step count without its averages, or averages without theirs
    with pytest.raises(ValueError, match="^state_dict has unexpected state for Parameter 1: "):
        opt.load_state_dict(state)
    train(opt, params, 3)
    train(other, other_params, 3)
    assert [p.value for p in params] == [p.value for p in other_params]


@pytest.mark.parametrize("kind", ["Adam", "AdamW"])
@pytest.mark.parametrize("step", [0, True, 2.0, 2**1024 - 1, 10**400])
def test_load_state_dict_refuses_a_step_count_the_next_step_could_not_use(kind, step):
    (opt, params), (other, other_params) = adam_twin(kind), adam_twin(kind)
    state = opt.state_dict()
    state["state"][1]["step"] = step
    with pytest.raises(ValueError, match=f"^state_dict has a bad 'step' for Parameter 1: {step!r}$"):
        opt.load_state_dict(state)
    train(opt, params, 3)
    train(other, other_params, 3)
    assert [p.value for p in params] == [p.value for p in other_params]


def test_a_step_count_a_float_holds_loads_and_steps():
    opt, params = adam_twin("Adam")
    state = opt.state_dict()
    state["state"][1]["step"] = 2**1000
    opt.load_state_dict(state)
    train(opt, params, 1)
    assert opt.state[1]["step"] == 2**1000 + 1


@pytest.mark.parametrize("build, message", [
    (lambda p: optim.SGD([p], lr=0.1, nesterov=True), "nesterov needs a momentum"),
    (lambda p: optim.SGD([p], lr=0.1, weight_decay=-0.1), "weight_decay must be"),
    (lambda p: optim.AdamW([p], weight_decay=math.inf), "weight_decay must be"),
    (lambda p: optim.SGD([{"params": [p], "lr": 0.1, "momentum": 1.0}], lr=0.1), "momentum must be"),
    (lambda p: optim.SGD([{"params": [p], "betas": (0.9, 0.9)}], lr=0.1), "unknown optimizer setting 'betas'"),
    (lambda p: optim.Adam([{"lr": 0.1}]), "needs the key 'params'"),
    (lambda p: optim.Adam([{"params": []}]), "empty parameter list"),
    (lambda p: optim.Adam([{"params": [p]}, p]), "all Parameters or all parameter groups"),
    (lambda p: optim.Adam([{"params": [p]}, {"params": [p]}]), "twice"),
    (lambda p: optim.SGD([p], lr=0.1, momentum="0.9"), "^momentum must be in \\[0, 1\\), got '0.9'$"),
    (lambda p: optim.SGD([p], lr=0.1, momentum=None), "^momentum must be in \\[0, 1\\), got None$"),
    (lambda p: optim.SGD([p], lr=10**400), "^lr must be a finite number >= 0, got 1000"),
    (lambda p: optim.Adam([p], eps=10**400), "^eps must be a finite number > 0, got 1000"),
    (lambda p: optim.Adam([p], betas=("a", 0.9)), "^betas\\[0\\] must be in \\[0, 1\\), got 'a'$"),
    (lambda p: optim.Adam([p], betas=0.9), "^betas must be a pair of numbers in \\[0, 1\\), got 0.9$"),
    (lambda p: optim.AdamW([p], betas=None), "^betas must be a pair of numbers in \\[0, 1\\), got None$"),
])
def test_bad_settings_and_groups_are_refused(build, message):
    with pytest.raises(ValueError, match=message):
        build(Parameter(1.0))


@pytest.mark.parametrize("kind", ["SGD", "Adam", "AdamW"])
@pytest.mark.parametrize("lanes", [(1.0,), (1.0, 2.0)])
def test_one_expression_instead_of_a_list_says_to_pass_a_list(kind, lanes):
    p = Parameter(*lanes, name="p")
    with pytest.raises(TypeError, match=r"^optimizer params must be a list of Parameters or of parameter groups, "
                                        r"not one Expression: pass \[p\] rather than p, got Parameter<\d>#\d+\(p\)$"):
        getattr(optim, kind)(p, lr=0.1)


@pytest.mark.parametrize("kind, name, value, bad", [
    ("SGD", "lr", 0.0, -1.0),
    ("SGD", "momentum", 0.5, 1.0),
    ("Adam", "lr", 0.0, float("nan")),
    ("Adam", "betas", (0.5, 0.9), (0.5, 1.5)),
    ("Adam", "eps", 1.0, 0.0),
    ("AdamW", "weight_decay", 0.0, -0.1),
])
def test_assigning_a_setting_sets_every_group_or_nothing(kind, name, value, bad):
    params = [Parameter(2.0), Parameter(-1.0)]
    opt = getattr(optim, kind)([{"params": params[:1]}, {"params": params[1:], "lr": 0.2}], lr=0.1)
    setattr(opt, name, value)
    assert getattr(opt, name) == value
    assert [group[name] for group in opt.param_groups] == [value, value]
    with pytest.raises(ValueError):
        setattr(opt, name, bad)
    assert getattr(opt, name) == value
    assert [group[name] for group in opt.param_groups] == [value, value]


@pytest.mark.parametrize("name, value, bad, message", [
    ("weight_decay", 0.5, -0.1, "weight_decay must be"),
    ("nesterov", True, 1, "nesterov must be True or False, got 1"),
])
def test_sgd_weight_decay_and_nesterov_are_assigned_as_the_other_settings(name, value, bad, message):
    params = [Parameter(2.0), Parameter(-1.0)]
    opt = optim.SGD([{"params": params[:1]}, {"params": params[1:], "lr": 0.2}], lr=0.1, momentum=0.9)
    setattr(opt, name, value)
    assert getattr(opt, name) == value and opt.defaults[name] == value
    assert [group[name] for group in opt.param_groups] == [value, value]
    with pytest.raises(ValueError, match=message):
        setattr(opt, name, bad)
    assert [group[name] for group in opt.param_groups] == [value, value]


def test_a_zero_learning_rate_assigned_on_the_optimizer_stops_every_group():
    params = [Parameter(2.0), Parameter(-1.0)]
    opt = optim.Adam([{"params": params[:1]}, {"params": params[1:], "lr": 0.2}], lr=0.1)
    train(opt, params, 1)
    opt.lr = 0.0
    before = [p.value for p in params]
    train(opt, params, 2)
    assert [p.value for p in params] == before
