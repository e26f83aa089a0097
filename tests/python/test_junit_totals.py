"""The closing line of the test command, from CTest's and pytest's JUnit reports."""
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "junit_totals.py"

CTEST = """<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="Linux-c++" tests="4" failures="1" disabled="0" skipped="1">
  <testcase name="A.Passes" status="run"><system-out>ok</system-out></testcase>
  <testcase name="A.Fails" status="fail"><failure message="Failed"/></testcase>
  <testcase name="A.Skips" status="notrun"><skipped message="Skipped"/></testcase>
  <testcase name="A.AlsoPasses" status="run"/>
</testsuite>
"""


def pytest_report(tmp_path, body):
    (tmp_path / "test_sample.py").write_text(body)
    report = tmp_path / "python.xml"
    subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", f"--junitxml={report}",
                    str(tmp_path / "test_sample.py")], capture_output=True, check=False)
    return report


def totals(*suites):
    run = subprocess.run([sys.executable, str(SCRIPT), *suites], capture_output=True, text=True)
    return run.returncode, run.stdout.splitlines()


SAMPLE = """
import pytest
def test_ok(): pass
def test_bad(): assert False
@pytest.fixture
def broken(): raise RuntimeError
def test_error(broken): pass
@pytest.mark.skip
def test_skipped(): pass
"""


def test_counts_both_kinds_of_report_and_fails_on_a_failure(tmp_path):
    (tmp_path / "cpp.xml").write_text(CTEST)
    report = pytest_report(tmp_path, SAMPLE)
    code, lines = totals(f"C++={tmp_path / 'cpp.xml'}", f"Python={report}")
    assert lines == ["  C++: 2 tests passed, 1 failed, 1 skipped",
                     "  Python: 1 tests passed, 2 failed, 1 skipped",
                     "3 passed, 3 failed"]
    assert code == 1


@pytest.mark.parametrize("body, expected", [("def test_ok(): pass\n", (0, "1 passed, 0 failed")),
                                            ("", (1, "0 passed, 0 failed"))])
def test_passes_only_when_something_passed_and_nothing_failed(tmp_path, body, expected):
    code, lines = totals(f"Python={pytest_report(tmp_path, body)}")
    assert (code, lines[-1]) == expected


def test_a_suite_without_a_report_counts_as_a_failure(tmp_path):
    (tmp_path / "cpp.xml").write_text(CTEST.replace('status="fail"><failure message="Failed"/>', 'status="run">'))
    code, lines = totals(f"C++={tmp_path / 'cpp.xml'}", f"C++ sanitized={tmp_path / 'missing.xml'}")
    assert lines[1:] == ["  C++ sanitized: no results (the suite did not run to the end)", "3 passed, 1 failed"]
    assert code == 1
