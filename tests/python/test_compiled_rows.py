"""Function.map, map_vjp and map_jacobian: blocks of rows on any number of
threads give each row what a call of that row alone gives, bit for bit;
accumulate adds one sum that does not depend on the threads; bad rows,
seeds and thread counts are refused cleanly; Ctrl-C stops a long call with
nothing kept; the interpreter lock is released while the rows run."""
import os
import signal
import threading
import time

import pytest
from hypothesis import given, settings, strategies as st

import varnel
from error_checks import check_raises
from test_compiled import SETTINGS, build, leaves, programs
from varnel import Parameter, Undefined, compile, sin

np = pytest.importorskip("numpy")

FINITE = "symbolic value lanes must be finite"


def table(count, seed=0):
    """Rows of the leaves' five lanes, in [-2, 2] like the drawn points."""
    return np.random.default_rng(seed).uniform(-2.0, 2.0, size=(count, 5))


def split(row):
    return row[0], row[1:4], row[4]


def as_lanes(values):
    return [lane for value in values for lane in value]


@settings(max_examples=25, **SETTINGS)
@given(programs, st.integers(0, 600), st.sampled_from([1, 2, 3]))
def test_rows_are_row_by_row_calls_bit_for_bit_on_any_thread_count(program, count, threads):
    inputs, w = leaves()
    out = build(program, inputs, w)
    rows = table(count, seed=count)
    # One output of few lanes is swept in reverse, four outputs forward.
    for outputs in ([out.x + out[out.dim - 1]], [out, out.x, out, out.x]):
        f = compile(outputs, inputs)
        m = sum(o.dim for o in outputs)
        seeds = np.random.default_rng(count + 1).uniform(-1.0, 1.0, size=(count, m))
        w_grad = w.grad
        values = f.map(rows, threads=threads)
        gradients = f.map_vjp(rows, seeds, threads=threads)
        jacobians = f.map_jacobian(rows, threads=threads)
        assert w.grad == w_grad  # without accumulate nothing is added
        assert values.shape == (count, m) and gradients.shape == (count, 5) and jacobians.shape == (count, m, 5)
        for i in range(0, count, 23):
            point = split(rows[i])
            assert list(values[i]) == as_lanes(f(*point))
            per_output, start = [], 0
            for o in outputs:
                per_output.append(list(seeds[i, start:start + o.dim]))
                start += o.dim
            assert list(gradients[i]) == as_lanes(f.vjp(*point, seeds=per_output))
            assert [list(r) for r in jacobians[i]] == [list(r) for r in f.jacobian(*point)]


# Rows as they may lie in memory: row after row, column after column, every
# other row of a larger array, lanes in reverse order.
LAYOUTS = {
    "rows": np.ascontiguousarray,
    "columns": np.asfortranarray,
    "every other row": lambda a: np.repeat(a, 2, axis=0)[::2],
    "lanes reversed": lambda a: np.ascontiguousarray(a[:, ::-1])[:, ::-1],
}
# Counts on both sides of every block height a call may take.
EDGES = [1, 63, 64, 65, 127, 128, 129, 255, 256, 257, 511, 512, 513]


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.int64)


@pytest.mark.parametrize("lanes", [1, 2, 3, 4])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_rows_in_any_layout_and_count_are_row_by_row_calls(layout, lanes):
    p = Undefined(dim=lanes, name="p")
    q = p * p + sin(p)
    s = q[0]
    for k in range(1, lanes):
        s = s + q[k]
    f, alone = compile([s, q], [p]), compile(s, [p])  # rows of 1 + lanes numbers, and of one
    for count in EDGES:
        rows = LAYOUTS[layout](table(count, seed=count)[:, :lanes])
        values, gradients = f.map(rows, threads=1), f.map_vjp(rows, np.ones(1 + lanes), threads=1)
        expected_values = [as_lanes(f(row)) for row in rows]
        expected_gradients = [as_lanes(f.vjp(row, seeds=[[1.0], [1.0] * lanes])) for row in rows]
        assert np.array_equal(bits(values), bits(expected_values)), count
        assert np.array_equal(bits(alone.map(rows, threads=1)), bits(values[:, :1])), count
        assert np.array_equal(bits(gradients), bits(expected_gradients)), count


# Lane picks last to read a node: the reverse pass assigns their adjoint
# lanes rather than adding into zeroed ones when every lane is picked after
# the node's other readers, and zeroes them otherwise.
PICKS = {
    "every lane": lambda q: q.x + q.y + q.z,
    "in reverse": lambda q: q.z * q.y - q.x,
    "a lane twice": lambda q: q.x * q.y + q.z + q.x,
    "a lane never": lambda q: q.x + q.z,
    "a reader before": lambda q: (q * q).y + q.x + q.y + q.z,
    "a reader between": lambda q: q.x + (q * q).x + q.y + q.z,
    "a reader after": lambda q: q.x + q.y + q.z + (q * q).y,
    "the input's lanes": lambda q: q.x + q.y * q.z,
}


@pytest.mark.parametrize("pick", PICKS)
def test_lane_picks_give_backward_s_gradients(pick):
    p = Parameter([0.0, 0.0, 0.0], name="p")
    q = p if pick == "the input's lanes" else p * p + sin(p)
    s = PICKS[pick](q)
    f = compile(s, [p])
    rows = table(300, seed=3)[:, :3]
    gradients = f.map_vjp(rows, threads=1)
    for i in range(0, 300, 37):
        p.set_value(list(rows[i]))
        p.zero_grad()
        s.backward()
        assert np.array_equal(bits(gradients[i]), bits(p.grad)), i
        assert np.array_equal(bits(gradients[i]), bits(f.vjp(list(rows[i]))[0])), i


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("count, bad", [(257, 0), (257, 127), (257, 255), (257, 256), (513, 300), (65, 64)])
@pytest.mark.parametrize("how", ["input", "value", "seed"])
def test_the_first_failing_row_is_named_wherever_it_falls_in_a_block(layout, count, bad, how):
    x = Undefined(dim=2, name="x")
    f = compile(sin(x.x / x.y), [x])
    rows = table(count, seed=bad)[:, :2]
    rows[:, 1] += np.where(rows[:, 1] < 0, -1.0, 1.0)  # no zero divisor but those set below
    seeds = np.ones((count, 1))
    for row in (bad, count - 1):  # the later one is not named
        if how == "input":
            rows[row, 0] = np.nan
        elif how == "value":
            rows[row, 1] = 0.0
        else:
            seeds[row, 0] = np.inf
    rows = LAYOUTS[layout](rows)
    message = f"row {bad}: " + FINITE
    calls = [lambda: f.map_vjp(rows, seeds, threads=1)]
    if how != "seed":
        calls += [lambda: f.map(rows, threads=1), lambda: f.map_jacobian(rows, threads=1)]
    if how == "input":  # a lane only picked: no arithmetic on it finds it
        picked = compile(x.x, [x])
        calls += [lambda: picked.map(rows, threads=1), lambda: picked.map_vjp(rows, threads=1)]
    for call in calls:
        check_raises(call, ValueError, message)


def test_seeds_shared_by_every_row_or_one_row_each_or_none():
    x = Undefined(dim=2, name="x")
    f = compile([x.x * x.y, sin(x.x)], [x])
    rows = table(300)[:, :2]
    by_row = np.tile([2.0, -1.0], (300, 1))
    assert np.array_equal(f.map_vjp(rows, [2.0, -1.0]), f.map_vjp(rows, by_row))
    assert np.array_equal(f.map_vjp(rows), f.map_vjp(rows, np.ones(2)))
    expected = np.stack([rows[:, 1] + np.cos(rows[:, 0]), rows[:, 0]], axis=1)
    assert np.allclose(f.map_vjp(rows), expected, rtol=1e-15)
    assert f.map_vjp(np.empty((0, 2))).shape == (0, 2) and f.map_jacobian(np.empty((0, 2))).shape == (0, 2, 2)


@pytest.mark.parametrize("call, exc, msg", [
    (lambda f, p: f.map_vjp(np.ones((4, 2)), [1.0, 2.0]), ValueError,
     "map_vjp seeds must have shape (1,) or (4, 1), got (2,)"),
    (lambda f, p: f.map_vjp(np.ones((4, 2)), np.ones((3, 1))), ValueError,
     "map_vjp seeds must have shape (1,) or (4, 1), got (3, 1)"),
    (lambda f, p: f.map_vjp(np.ones((4, 3))), ValueError, "map_vjp input has 3 columns, expected 2"),
    (lambda f, p: f.map_jacobian(np.ones(2)), ValueError,
     "map_jacobian input must be a 2-D array of shape (N, 2), got shape (2,)"),
    (lambda f, p: f.map(np.ones((4, 2)), threads=0), ValueError, "threads must be at least 1, got 0"),
    (lambda f, p: f.map_jacobian(np.ones((4, 2)), threads=-3), ValueError, "threads must be at least 1, got -3"),
    (lambda f, p: f.map_vjp(np.ones((4, 2)), threads=-2**70), ValueError,
     "threads must be at least 1, got -1180591620717411303424"),
    (lambda f, p: f.map_vjp(np.ones((4, 2)), threads="2"), TypeError, "threads must be an int or None"),
    (lambda f, p: f.map(np.ones((4, 2)), threads=True), TypeError, "threads must be an int or None"),
    (lambda f, p: f.map_vjp(np.ones((4, 2)), accumulate=1), TypeError, None),
])
def test_bad_seeds_rows_and_thread_counts_are_refused(call, exc, msg):
    x, p = Undefined(dim=2, name="x"), Parameter(1.5)
    f = compile(x.x * x.y * p, [x])
    with pytest.raises(exc) as raised:
        call(f, p)
    if msg is not None:
        assert str(raised.value) == msg
    assert p.grad is None


@pytest.mark.parametrize("threads", [2**63 - 1, 2**63, 2**70])
def test_a_thread_count_beyond_any_machine_is_a_count_like_any_other(threads):
    x, p = Undefined(dim=2, name="x"), Parameter(1.5)
    f = compile(x.x * x.y * p, [x])
    rows = table(3000)[:, :2]
    assert np.array_equal(f.map(rows, threads=threads), f.map(rows, threads=1))
    assert np.array_equal(f.map_jacobian(rows, threads=threads), f.map_jacobian(rows, threads=1))
    assert np.array_equal(f.map_vjp(rows, threads=threads), f.map_vjp(rows, threads=1))


def test_vector_outputs_need_seeds():
    x = Undefined(dim=2, name="x")
    check_raises(lambda: compile(x * 2.0, [x]).map_vjp(np.ones((3, 2))), ValueError,
                 "map_vjp() without seeds requires scalar outputs")


@pytest.mark.parametrize("threads", [1, 2, 4])
def test_the_first_failing_row_is_named_and_nothing_is_added(threads):
    x, p = Undefined(name="x"), Parameter(2.0)
    f = compile(sin(p / x), [x])
    rows = np.ones((5000, 1))
    rows[4321, 0] = 0.0
    rows[3000, 0] = np.nan
    for call in (lambda: f.map(rows, threads=threads), lambda: f.map_jacobian(rows, threads=threads),
                 lambda: f.map_vjp(rows, accumulate=True, threads=threads)):
        check_raises(call, ValueError, "row 3000: " + FINITE)
    seeds = np.ones((4999, 1))
    seeds[1234, 0] = np.inf
    check_raises(lambda: f.map_vjp(rows[1:], seeds, accumulate=True, threads=threads), ValueError, "row 1234: " + FINITE)
    assert p.grad is None


def test_accumulate_adds_one_sum_whatever_the_threads():
    x, w, b = Undefined(dim=2, name="x"), Parameter(0.5, name="w"), Parameter(-0.25, name="b")
    residual = x.x * w + b - x.y
    f = compile(sin(residual * residual), [x])
    rows = table(20_000)[:, :2]
    grads = []
    for threads in (1, 2, 3):
        w.zero_grad()
        b.zero_grad()
        f.map_vjp(rows, accumulate=True, threads=threads)
        grads.append((w.grad, b.grad))
    assert grads[0] == grads[1] == grads[2]
    # Against the row-by-row calls, which add in another order.
    w.zero_grad()
    b.zero_grad()
    for row in rows[:2000]:
        f.vjp(row)
    partial = w.grad
    w.zero_grad()
    f.map_vjp(rows[:2000], accumulate=True)
    assert w.grad[0] == pytest.approx(partial[0], rel=1e-12)
    # One row: exactly what vjp adds.
    w.zero_grad()
    f.vjp(rows[7])
    one = w.grad
    w.zero_grad()
    f.map_vjp(rows[7:8], accumulate=True)
    assert w.grad == one



def while_running(call, other):
    """Runs call() while another thread runs other() again and again."""
    stop = threading.Event()

    def repeat():
        while not stop.is_set():
            other()

    thread = threading.Thread(target=repeat)
    thread.start()
    try:
        return call()
    finally:
        stop.set()
        thread.join()


@pytest.mark.parametrize("method", ["map", "map_vjp", "map_jacobian"])
def test_every_row_reads_the_same_parameter_value_while_another_thread_sets_it(method):
    x, p = Undefined(name="x"), Parameter([1.0, 1.0, 1.0], name="p")
    f = compile(x * p, [x])
    rows = np.ones((200_000, 1))
    args = (np.ones(3),) if method == "map_vjp" else ()

    def flip():
        p.set_value([2.0, 2.0, 2.0])
        p.set_value([1.0, 1.0, 1.0])

    for _ in range(5):
        out = while_running(lambda: getattr(f, method)(rows, *args, threads=2), flip)
        first = out[0]
        # Every lane of p is 1 or every lane is 2: d(x * p)/dx = p, and
        # the gradient seeded with ones is the sum of p's lanes.
        assert first.ravel().tolist() in ([1.0] * 3, [2.0] * 3, [3.0], [6.0])
        assert (out == first).all()


def test_accumulated_sums_and_backward_on_another_thread_all_add_up():
    x = Undefined(name="x")
    params = [Parameter(1.0) for _ in range(64)]
    f = compile(sum(p * x for p in params), [x])
    loss = sum(p * 3.0 for p in params)
    rows = np.ones((4096, 1))
    calls, backwards = 300, [0]

    def backward():
        loss.backward()
        backwards[0] += 1

    def sums():
        for _ in range(calls):
            f.map_vjp(rows, accumulate=True, threads=2)

    while_running(sums, backward)
    # Whole numbers: the order of the additions does not matter.
    expected = calls * 4096.0 + backwards[0] * 3.0
    assert [p.grad[0] for p in params] == [expected] * len(params)


def heavy():
    """A Function of about 600 instructions per row, and a parameter it reads."""
    x, p = Undefined(name="x"), Parameter(1.0001, name="p")
    y = x
    for _ in range(200):
        y = sin(y * p + 0.5)
    return compile(y, [x]), p


@pytest.mark.parametrize("method", ["map", "map_vjp", "map_jacobian"])
def test_ctrl_c_stops_a_long_call_and_nothing_is_kept(method):
    f, p = heavy()
    rows = np.full((2_000_000, 1), 0.25)  # a few seconds of work on one core
    kwargs = {"accumulate": True} if method == "map_vjp" else {}
    # Python leaves SIGINT alone when it starts with the signal ignored, as
    # under a shell's background job: Ctrl-C's handler is put in place here.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    started = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            getattr(f, method)(rows, threads=2, **kwargs)
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)
    assert time.monotonic() - started < 1.5
    assert p.grad is None
    # The Function goes on working.
    assert getattr(f, method)(rows[:10], **kwargs).shape[0] == 10


def test_the_interpreter_lock_is_released_while_rows_run():
    f, _ = heavy()
    rows = np.full((100_000, 1), 0.25)
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        started = time.monotonic()
        f.map(rows, threads=1)
        ended = time.monotonic()
    finally:
        stop.set()
        ticker.join()
    # The other thread kept running while the rows ran.
    assert ended - started > 0.02
    assert sum(started < t < ended for t in ticks) >= 5


@pytest.mark.parametrize("member, signature", [
    (lambda: varnel.Function.map, "(self, rows, /, *, threads=None)"),
    (lambda: varnel.Function.map_vjp, "(self, rows, /, seeds=None, *, accumulate=False, threads=None)"),
    (lambda: varnel.Function.map_jacobian, "(self, rows, /, *, threads=None)"),
])
def test_signatures_and_help(member, signature):
    import inspect
    import pydoc
    assert str(inspect.signature(member())) == signature
    text = pydoc.render_doc(member(), renderer=pydoc.plaintext)
    assert "threads" in text and "function_record" not in text
