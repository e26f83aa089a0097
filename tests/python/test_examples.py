"""Every example runs to the end and prints what it promises; the typed one type-checks."""

import importlib.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"


HAVE_MATPLOTLIB = importlib.util.find_spec("matplotlib") is not None


def run_example(name, *args, cwd):
    run = subprocess.run([sys.executable, str(EXAMPLES / name), *map(str, args)], cwd=cwd,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout


def test_every_example_is_covered():
    assert {p.name for p in EXAMPLES.glob("*.py")} == {"tour.py", "fit_circle.py", "triangle_area.py",
                                                       "render_graph.py", "fit_circle_newton.py",
                                                       "linkage.py", "fit_circle_least_squares.py",
                                                       "dask_map.py"}


@pytest.mark.skipif(importlib.util.find_spec("distributed") is None, reason="dask[distributed] is not installed")
def test_dask_map_gives_the_local_bits_on_the_cluster(tmp_path):
    out = run_example("dask_map.py", cwd=tmp_path)
    for what, shape in (("values", "(1000000, 4)"), ("Jacobians", "(1000000, 4, 3)"),
                        ("gradients", "(1000000, 3)")):
        assert f"{what} of 1,000,000 rows on 2 workers" in out and f"shape {shape}" in out
    assert out.count("the same bits as here: True") == 3 and "False" not in out
    # Dask's worker processes run each call on one thread.
    assert re.search(r"threads per call on each worker: \{'tcp://[^']+': 1, 'tcp://[^']+': 1\}", out)


def test_tour(tmp_path):
    assert "d(p + 1 + p*p)/dp at p = 0.5 is (2.0,)" in run_example("tour.py", cwd=tmp_path)


def test_fit_circle_loss_falls_and_fit_is_close(tmp_path):
    out = run_example("fit_circle.py", cwd=tmp_path)
    losses = [float(m) for m in re.findall(r"^\s*\d+\s+([\d.]+)$", out, re.M)]
    assert len(losses) == 13 and losses[-1] < 0.01 * losses[0]
    assert all(later <= earlier for earlier, later in zip(losses, losses[1:]))
    cx, cy, r = map(float, re.search(r"^centre \((\S+), (\S+)\), radius (\S+)$", out, re.M).groups())
    assert abs(cx - 1.5) < 0.02 and abs(cy + 0.5) < 0.02 and abs(r - 2.0) < 0.02
    assert "truth  (1.5000, -0.5000), radius 2.0000" in out
    assert_picture_of_the_fit(out, tmp_path / "fit_circle.png")


def assert_picture_of_the_fit(out, png):
    if HAVE_MATPLOTLIB:
        assert f"wrote {png.name}: the points and the circle" in out
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        assert "no picture of the fit: matplotlib is not installed (pip install matplotlib)" in out
        assert not png.exists()


def test_fit_circle_newton_converges_to_the_gradient_descent_fit(tmp_path):
    out = run_example("fit_circle_newton.py", cwd=tmp_path)
    costs = [float(m) for m in re.findall(r"^\s*\d+\s+([\d.]+)$", out, re.M)]
    assert len(costs) == 8 and costs[-1] < 1e-3 * costs[0]
    assert all(later <= earlier for earlier, later in zip(costs, costs[1:]))
    assert costs[-1] == pytest.approx(costs[-2], rel=1e-9)  # converged
    assert "60 outputs (60 lanes)" in out
    cx, cy, r = map(float, re.search(r"^centre \((\S+), (\S+)\), radius (\S+)$", out, re.M).groups())
    assert abs(cx - 1.5) < 0.02 and abs(cy + 0.5) < 0.02 and abs(r - 2.0) < 0.02
    assert_picture_of_the_fit(out, tmp_path / "fit_circle_newton.png")


def test_fit_circle_least_squares_reports_the_fit_its_errors_and_the_robust_one(tmp_path):
    out = run_example("fit_circle_least_squares.py", cwd=tmp_path)
    fits = re.findall(r"centre \((\S+) ± (\S+), (\S+) ± (\S+)\), radius (\S+) ± (\S+)", out)
    assert len(fits) == 3
    (cx, ex, cy, ey, r, er), outlier, robust = [tuple(map(float, fit)) for fit in fits]
    assert abs(cx - 1.5) < 3 * ex and abs(cy + 0.5) < 3 * ey and abs(r - 2.0) < 3 * er
    assert 0.001 < min(ex, ey, er) and max(ex, ey, er) < 0.05
    assert "written back: centre (1.5063, -0.5055), radius 1.9995" in out
    # The outlier drags the plain fit's radius and leaves the robust one's.
    assert abs(outlier[4] - 2.0) > 0.05 and abs(robust[4] - 2.0) < abs(outlier[4] - 2.0) / 10


def test_linkage_is_solved_in_both_assemblies(tmp_path):
    out = run_example("linkage.py", cwd=tmp_path)
    assert out.count("  solved after ") == 2
    lengths = re.findall(r"AB (\S+)  BC (\S+)  CD (\S+)  crank angle (\S+) degrees", out)
    assert lengths == [("2.000000", "3.500000", "2.500000", "60.000000")] * 2
    c_rows = re.findall(r"C = \((\S+), (\S+)\)", out)
    assert float(c_rows[0][1]) > 0 > float(c_rows[1][1])  # the hints picked the two assemblies


def test_triangle_area_matches_the_closed_form(tmp_path):
    out = run_example("triangle_area.py", cwd=tmp_path)
    rows = dict(re.findall(r"^(dA2/d[abc] (?:backward|closed form))\s+(\(.*\))$", out, re.M))
    assert len(rows) == 6
    for corner in "abc":
        assert rows[f"dA2/d{corner} backward"] == rows[f"dA2/d{corner} closed form"]
    assert "finite differences agree: True" in out and "backward matches the closed form" in out


def test_render_graph_writes_dot_text_and_a_png_when_possible(tmp_path):
    out = run_example("render_graph.py", tmp_path / "pictures", cwd=tmp_path)
    dot = (tmp_path / "pictures" / "graph.dot").read_text()
    assert dot.startswith("digraph varnel {") and dot in out
    assert dot.count("[label=") - dot.count("->") == 9  # nine nodes
    png = tmp_path / "pictures" / "graph.png"
    if shutil.which("dot"):
        assert png.read_bytes()[:4] == b"\x89PNG"
    else:
        assert not png.exists() and "apt-get install graphviz" in out


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy not installed")
def test_triangle_area_type_checks_against_the_installed_package(tmp_path, mypy_cache):
    # As a user runs it: no search path of our own, so the installed stubs must be found.
    # Without them mypy would quietly type the example's values as Any; the probe refuses that.
    probe = tmp_path / "probe.py"
    probe.write_text("from _varnel import Parameter\nParameter(1.0).grad.count  # grad may be None\n")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(mypy_cache),
                          str(EXAMPLES / "triangle_area.py"), probe.name],
                         cwd=tmp_path, env=env, capture_output=True, text=True)
    assert run.stdout.splitlines() == [
        'probe.py:2: error: Item "None" of "tuple[float, ...] | None" has no attribute "count"  [union-attr]',
        "Found 1 error in 1 file (checked 2 source files)"], run.stdout + run.stderr
