"""Totals of the test suites' JUnit reports, for the last line of the test command.

    python junit_totals.py NAME=REPORT.xml [NAME=REPORT.xml ...]

prints one line per suite, then ``N passed, N failed`` over all of them, and
exits 1 when any test failed, a suite left no report, or no test passed.
A suite without a report (its build failed, or it did not start) counts as
one failure, so the closing line never reads as a clean run.
"""

import sys
import xml.etree.ElementTree as ET
from pathlib import Path


def count(report: Path) -> tuple[int, int, int]:
    """Passed, failed and skipped test cases of one report (CTest's or pytest's)."""
    passed = failed = skipped = 0
    for case in ET.parse(report).getroot().iter("testcase"):
        failure = case.find("failure") is not None or case.find("error") is not None
        if failure or case.get("status") == "fail":
            failed += 1
        elif case.find("skipped") is not None or case.get("status") in ("notrun", "disabled"):
            skipped += 1
        else:
            passed += 1
    return passed, failed, skipped


def main(args: list[str]) -> int:
    total_passed = total_failed = 0
    for arg in args:
        name, _, path = arg.partition("=")
        report = Path(path)
        if not report.is_file():
            print(f"  {name}: no results (the suite did not run to the end)")
            total_failed += 1
            continue
        passed, failed, skipped = count(report)
        print(f"  {name}: {passed} tests passed, {failed} failed, {skipped} skipped")
        total_passed += passed
        total_failed += failed
    print(f"{total_passed} passed, {total_failed} failed")
    return 1 if total_failed or total_passed == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
