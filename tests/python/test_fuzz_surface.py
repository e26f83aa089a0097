"""Property-based fuzzing of the whole Python surface of _varnel.

Hypothesis drives random call sequences (factories, operators in both operand
orders, functions, properties, lane access, graph methods) with hostile
arguments through the shared driver in tests/fuzz/surface.py, which checks after
every call that only documented exceptions escape, that a failing call leaves
every value, gradient and the node numbering as they were (bar the operand
Constants coerced before the failure), and that successful calls are sound.

The bounded run below is part of the normal test command. A longer run:

    VARNEL_FUZZ_EXAMPLES=20000 .venv/bin/python -m pytest tests/python/test_fuzz_surface.py
"""
import os
import pathlib
import subprocess
import sys

from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, rule, run_state_machine_as_test

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "fuzz"))
import surface  # noqa: E402

EXAMPLES = int(os.environ.get("VARNEL_FUZZ_EXAMPLES", "300"))


class DataChooser(surface.Chooser):
    def __init__(self, data):
        self.data = data

    def below(self, n):
        return self.data.draw(st.integers(0, n - 1)) if n > 1 else 0

    def integer(self):
        return self.data.draw(st.integers())

    def real(self):
        return self.data.draw(st.floats())

    def text(self):
        return self.data.draw(st.text(max_size=4))

    def blob(self):
        return self.data.draw(st.binary(max_size=4))


class SurfaceMachine(RuleBasedStateMachine):
    """Each rule makes one call of its group on the driver's live nodes."""

    def __init__(self):
        super().__init__()
        self.driver = surface.Driver()

    def _on(self, data):
        self.driver.ch = DataChooser(data)
        return self.driver

    @rule(data=st.data())
    def build(self, data):
        self._on(data).build()

    @rule(data=st.data())
    def combine(self, data):
        self._on(data).combine()

    @rule(data=st.data())
    def access(self, data):
        self._on(data).access()

    @rule(data=st.data())
    def graph(self, data):
        self._on(data).graph()

    @rule(data=st.data())
    def misc(self, data):
        self._on(data).misc()

    @rule(data=st.data())
    def release(self, data):
        self._on(data).release()


def run(examples, steps):
    run_state_machine_as_test(SurfaceMachine, settings=settings(
        max_examples=examples, stateful_step_count=steps, derandomize=True, database=None, deadline=None,
        suppress_health_check=list(HealthCheck)))


def test_short_run_in_a_separate_interpreter():
    # A crash of the module would take pytest down with it; here it is a failure
    # with the exit status and the tail of the output.
    code = f"import sys; sys.path.insert(0, {str(HERE)!r}); import test_fuzz_surface as t; t.run(15, 60)"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}"


def test_random_call_sequences():
    surface.Driver.tally.clear()
    run(EXAMPLES, 40)
    tally = surface.Driver.tally
    # The run must have exercised successes, plain failures and failures after a coerced operand.
    assert min(tally["ok"], tally["failed"], tally["failed, ids spent"]) > EXAMPLES // 10, tally
