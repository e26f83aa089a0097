"""The installed wheel and the sdist carry the licence, and the wheel only the Python parts."""
import importlib.util
import subprocess
import sys
import tarfile
from importlib import metadata
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def test_installed_distribution_declares_and_ships_the_licence():
    dist = metadata.distribution("varnel")
    assert dist.metadata["License-Expression"] == "MIT"
    assert dist.metadata.get_all("License-File") == ["LICENSE"]
    shipped = [f for f in dist.files if f.name == "LICENSE"]
    assert len(shipped) == 1 and shipped[0].read_text() == (ROOT / "LICENSE").read_text()
    assert (ROOT / "LICENSE").read_text().startswith("MIT License\n")


def test_installed_distribution_holds_no_cpp_development_files():
    tops = {f.parts[0] for f in metadata.distribution("varnel").files}
    tops = {t for t in tops if not t.endswith(".dist-info") and t != ".." and not t.startswith("__")}
    assert {t.split(".")[0] for t in tops} == {"_varnel", "_varnel-stubs", "varnel"}


@pytest.mark.skipif(importlib.util.find_spec("scikit_build_core") is None, reason="no build backend")
def test_sdist_holds_the_licence_and_declares_it(tmp_path):
    build = "import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))"
    run = subprocess.run([sys.executable, "-c", build, str(tmp_path)], cwd=ROOT, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    name = run.stdout.strip().splitlines()[-1]
    with tarfile.open(tmp_path / name) as sdist:
        root = name.removesuffix(".tar.gz")
        assert sdist.extractfile(f"{root}/LICENSE").read().decode() == (ROOT / "LICENSE").read_text()
        info = sdist.extractfile(f"{root}/PKG-INFO").read().decode()
    assert "License-Expression: MIT\n" in info and "License-File: LICENSE\n" in info
