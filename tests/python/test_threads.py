"""How many threads the calls over rows take by themselves (threads=None):
varnel.default_threads() follows VARNEL_NUM_THREADS, then OMP_NUM_THREADS,
then the CPUs the process may run on, and map, map_vjp and map_jacobian
start no more threads than it says."""
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import varnel
from varnel import Undefined

LINUX_TASKS = "/proc/self/task"


@pytest.fixture
def environ(monkeypatch):
    monkeypatch.delenv("VARNEL_NUM_THREADS", raising=False)
    monkeypatch.delenv("OMP_NUM_THREADS", raising=False)
    return monkeypatch


def cpus():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


@pytest.mark.parametrize("own, shared, expected", [
    ("3", None, 3),
    (" 2 ", "5", 2),          # ours wins over the shared variable
    (None, "4", 4),
    (None, "2,1", 2),         # OpenMP's nested list: its first entry
    (None, "0", "cpus"),      # a shared value that is not a count is ignored
    (None, "many", "cpus"),
    (None, "", "cpus"),
    (None, None, "cpus"),
])
def test_default_threads_follows_the_environment(environ, own, shared, expected):
    if own is not None:
        environ.setenv("VARNEL_NUM_THREADS", own)
    if shared is not None:
        environ.setenv("OMP_NUM_THREADS", shared)
    assert varnel.default_threads() == (cpus() if expected == "cpus" else expected)


@pytest.mark.parametrize("own", ["0", "-1", "1.5", "two", "", "²"])
def test_a_bad_own_variable_is_refused_by_every_call_that_reads_it(environ, own):
    environ.setenv("VARNEL_NUM_THREADS", own)
    message = f"VARNEL_NUM_THREADS must be a whole number of at least 1, got {own!r}"
    with pytest.raises(ValueError) as error:
        varnel.default_threads()
    assert str(error.value) == message
    x = Undefined(name="x")
    f = varnel.compile(x * x, [x])
    rows = np.ones((4, 1))
    for call in (f.map, f.map_vjp, f.map_jacobian):
        with pytest.raises(ValueError) as error:
            call(rows)
        assert str(error.value) == message
        # An explicit count does not read it.
        assert call(rows, threads=1).shape[0] == 4


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="no CPU affinity on this platform")
def test_default_threads_counts_only_the_cpus_the_process_may_run_on():
    code = ("import os, varnel; os.sched_setaffinity(0, {min(os.sched_getaffinity(0))}); "
            "print(varnel.default_threads())")
    env = {k: v for k, v in os.environ.items() if k not in ("VARNEL_NUM_THREADS", "OMP_NUM_THREADS")}
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    assert out.stdout.strip() == "1"


def most_new_threads_during(call, expected):
    """The most threads that `call` had running at once besides those this
    process had before it (it releases the interpreter lock, so a watcher
    thread can count). On a busy machine the watcher may not run while one
    call's threads live, so the call is made again, up to 20 times, until
    `expected` new threads have been seen."""
    before = set(os.listdir(LINUX_TASKS))
    done, most = threading.Event(), [0]

    def watch():
        own = str(threading.get_native_id())
        while not done.is_set():
            most[0] = max(most[0], len(set(os.listdir(LINUX_TASKS)) - before - {own}))

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        for _ in range(20):
            call()
            if most[0] >= expected:
                break
    finally:
        done.set()
        watcher.join()
    return most[0]


@pytest.mark.parametrize("own", ["4294967297", "1" + "0" * 30])
def test_an_own_count_beyond_any_machine_is_a_count_like_any_other(environ, own):
    environ.setenv("VARNEL_NUM_THREADS", own)
    assert varnel.default_threads() == int(own)
    x = Undefined(name="x")
    f = varnel.compile(x * x, [x])
    rows = np.arange(5000.0).reshape(-1, 1)
    assert np.array_equal(f.map(rows), f.map(rows, threads=1))
    assert np.array_equal(f.map_vjp(rows), f.map_vjp(rows, threads=1))
    assert np.array_equal(f.map_jacobian(rows), f.map_jacobian(rows, threads=1))


@pytest.mark.skipif(not os.path.isdir(LINUX_TASKS) or (os.cpu_count() or 1) < 2,
                    reason="needs Linux's thread list and two cores")
@pytest.mark.parametrize("method", ["map", "map_vjp", "map_jacobian"])
@pytest.mark.parametrize("allowed", [1, 2])
def test_calls_over_rows_start_no_more_threads_than_allowed(environ, method, allowed):
    environ.setenv("VARNEL_NUM_THREADS", str(allowed))
    p = Undefined(dim=3, name="p")
    q = p * p + varnel.sin(p)
    f = varnel.compile(q.x + q.y + q.z, [p])
    rows = np.random.default_rng(0).random((400_000, 3))
    # Enough work that the Function takes every thread it may: the calling
    # thread and allowed - 1 more.
    assert most_new_threads_during(lambda: getattr(f, method)(rows), allowed - 1) == allowed - 1
