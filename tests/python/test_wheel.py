"""scripts/wheel.sh: its manylinux wheel installs and runs where there is no compiler."""

import importlib.util
import os
import platform
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++")


@pytest.mark.skipif(importlib.util.find_spec("auditwheel") is None, reason="auditwheel not installed")
def test_repaired_wheel_installs_and_runs_an_example_without_a_compiler(tmp_path):
    # The wheel is built in the build folder of the installed module, so after
    # the test command's own build it only packs and repairs.
    env = dict(os.environ, VENV=sys.prefix)
    run = subprocess.run([str(ROOT / "scripts" / "wheel.sh"), str(tmp_path / "wheelhouse")], env=env,
                         capture_output=True, text=True, timeout=900)
    assert run.returncode == 0, run.stdout + run.stderr
    wheels = list((tmp_path / "wheelhouse").iterdir())
    assert len(wheels) == 1 and f"==> wrote {wheels[0]}" in run.stdout
    tag = re.fullmatch(r"varnel-0\.1\.0-cp312-cp312-(.+)\.whl", wheels[0].name).group(1)
    assert all(re.fullmatch(rf"manylinux(_2_\d+|\d+)_{platform.machine()}", t) for t in tag.split(".")), tag
    with zipfile.ZipFile(wheels[0]) as wheel:
        modules = {Path(n).name.split(".")[0] for n in wheel.namelist() if n.endswith(".so")}
    assert {"_varnel", "_compiled"} <= modules

    # A fresh environment whose PATH holds its own interpreter and nothing else.
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    bare = {k: v for k, v in os.environ.items()
            if k not in ("PYTHONPATH", "VIRTUAL_ENV", "CC", "CXX", "PYTHONHOME")}
    bare["PATH"] = str(venv / "bin")
    assert not any(shutil.which(c, path=bare["PATH"]) for c in COMPILERS)
    install = subprocess.run([sys.executable, "-m", "pip", "--python", str(venv / "bin" / "python"), "install",
                              "--quiet", "--no-index", "--no-deps", str(wheels[0])],
                             env=bare, capture_output=True, text=True, timeout=120)
    assert install.returncode == 0, install.stdout + install.stderr

    where = subprocess.run([str(venv / "bin" / "python"), "-c", "import _varnel, varnel._compiled as c; "
                            "print(_varnel.__file__); print(c.__file__)"],
                           env=bare, cwd=tmp_path, capture_output=True, text=True)
    assert where.returncode == 0, where.stderr
    assert all(Path(f).is_relative_to(venv) for f in where.stdout.split())
    # The fit prints the same digits as with the module built here; without
    # matplotlib in the fresh environment it says why it draws no picture.
    runs = [subprocess.run([python, str(ROOT / "examples" / "fit_circle_newton.py")], env=bare, cwd=tmp_path,
                           capture_output=True, text=True, timeout=120).stdout.splitlines()
            for python in (str(venv / "bin" / "python"), sys.executable)]
    assert runs[0][-1] == "no picture of the fit: matplotlib is not installed (pip install matplotlib)", runs[0]
    assert runs[0][-3].startswith("centre (1.50") and runs[0][:-1] == runs[1][:-1], runs
