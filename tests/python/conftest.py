"""Fixtures shared by the test modules."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

STUBBED = ("_varnel", "varnel._compiled", "varnel._functions", "varnel._solver")


@pytest.fixture(scope="session")
def mypy_cache(tmp_path_factory):
    """One mypy cache for every type check of the run: the standard library's
    and NumPy's stubs are analysed once, not once per check."""
    return tmp_path_factory.mktemp("mypy-cache")


@pytest.fixture(scope="session")
def stubtest_run(tmp_path_factory):
    """mypy's stubtest over every compiled module at once, against the stubs
    in the sources: it analyses the standard library's stubs afresh on each
    run, so one run serves every module's test."""
    pytest.importorskip("mypy")
    folder = tmp_path_factory.mktemp("stubtest")
    env = dict(os.environ, MYPYPATH=str(Path(__file__).resolve().parents[2] / "python"))
    return subprocess.run([sys.executable, "-m", "mypy.stubtest", *STUBBED], cwd=folder, env=env,
                          capture_output=True, text=True)


@pytest.fixture
def stub_errors(stubtest_run):
    """The lines of the shared stubtest run about one module, once the run is
    known to have checked every module."""
    summary = re.search(rf"(no issues found in|checked) {len(STUBBED)} modules", stubtest_run.stdout)
    assert summary, stubtest_run.stdout + stubtest_run.stderr

    def errors(module):
        return [line for line in stubtest_run.stdout.splitlines()
                if re.match(rf"error: {re.escape(module)}(\.|\s|$)", line)]
    return errors
