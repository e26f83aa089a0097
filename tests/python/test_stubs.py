"""The stubs as a user meets them: a typical script, using leaves, operators,
compiled functions, NumPy arrays and flat vectors, passes mypy --strict and
pyright's strict mode against the installed package, and runs."""

import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parent / "typing" / "typical_script.py"
# Proves each checker reads the installed stubs (a wrong type is caught) and
# runs strict (an unannotated function is refused).
PROBE = """\
from typing import assert_type
import varnel
x = varnel.Undefined()
assert_type(varnel.compile(x, x).map([[1.0]]), tuple[float, ...])
def untyped(a):
    return a
"""
# Without our search paths: the checkers must find the installed package.
ENV = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}


def test_the_typical_script_runs():
    run = subprocess.run([sys.executable, str(SCRIPT)], capture_output=True, text=True, timeout=60, env=ENV)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[1] == "map (5, 4) jacobian (4, 4)"


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy not installed")
def test_mypy_strict_accepts_the_typical_script(tmp_path, mypy_cache):
    (tmp_path / "probe.py").write_text(PROBE)
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(mypy_cache),
                          str(SCRIPT), "probe.py"], cwd=tmp_path, env=ENV, capture_output=True, text=True)
    assert run.stdout.splitlines() == [
        'probe.py:4: error: Expression is of type "ndarray[tuple[Any, ...], dtype[float64]]", '
        'not "tuple[float, ...]"  [assert-type]',
        "probe.py:5: error: Function is missing a type annotation  [no-untyped-def]",
        "Found 2 errors in 1 file (checked 2 source files)"], run.stdout + run.stderr


@pytest.mark.skipif(importlib.util.find_spec("basedpyright") is None, reason="basedpyright not installed")
def test_pyright_strict_accepts_the_typical_script(tmp_path):
    (tmp_path / "probe.py").write_text(PROBE)
    (tmp_path / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "strict"}))
    run = subprocess.run([sys.executable, "-m", "basedpyright", "--pythonpath", sys.executable, "--outputjson",
                          str(SCRIPT), "probe.py"], cwd=tmp_path, env=ENV, capture_output=True, text=True,
                         timeout=300)
    report = json.loads(run.stdout)
    found = sorted({(Path(d["file"]).name, d["range"]["start"]["line"] + 1, d["rule"])
                    for d in report["generalDiagnostics"]})
    # reportMissingParameterType is off outside strict mode.
    assert found == [("probe.py", 4, "reportAssertTypeFailure"), ("probe.py", 5, "reportMissingParameterType"),
                     ("probe.py", 5, "reportUnknownParameterType"), ("probe.py", 6, "reportUnknownVariableType")], \
        run.stdout
    assert report["summary"]["filesAnalyzed"] == 2
