"""Expression objects made and taken apart without the binding library's
per-call machinery, while other modules bound with the same library share
its base class: varnel imports and works whichever of them loaded first."""
import json
import shutil
import subprocess
import sys
import sysconfig

import pytest

OTHER = r"""
#include <pybind11/pybind11.h>
struct Thing { int x = 1; };
PYBIND11_MODULE(other_binding, m) {
    pybind11::class_<Thing>(m, "Thing").def(pybind11::init<>()).def_readwrite("x", &Thing::x);
}
"""

USE = """
import gc, json, sys, weakref
first = sys.argv[1]
if first == "other":
    import other_binding
    kept = [other_binding.Thing() for _ in range(3)]
import varnel
if first == "varnel":
    import other_binding
    kept = [other_binding.Thing() for _ in range(3)]
p = varnel.Parameter((1.0, 2.0))
q = varnel.sqrt(p * p + 1.0) - p / 2.0
watched = p * 3.0
ref = weakref.ref(watched)
del watched
q.backward((1.0, 1.0))
f = varnel.compile(q, [p])
values = f((3.0, 4.0))
del q, f
gc.collect()
thing = other_binding.Thing()
thing.x = 5
print(json.dumps([list(p.grad), list(values), ref() is None, thing.x, sum(t.x for t in kept)]))
"""


@pytest.fixture(scope="module")
def other_binding(tmp_path_factory):
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler to build a second module")
    pybind11 = pytest.importorskip("pybind11")
    folder = tmp_path_factory.mktemp("other")
    (folder / "other.cpp").write_text(OTHER)
    target = folder / ("other_binding" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run([compiler, "-O0", "-shared", "-fPIC", "-std=c++17", f"-I{pybind11.get_include()}",
                    f"-I{sysconfig.get_paths()['include']}", str(folder / "other.cpp"), "-o", str(target)],
                   check=True, capture_output=True, timeout=300)
    return folder


def results():
    """What the script computes, in this process, where varnel loaded alone."""
    import varnel
    p = varnel.Parameter((1.0, 2.0))
    q = varnel.sqrt(p * p + 1.0) - p / 2.0
    q.backward((1.0, 1.0))
    return [list(p.grad), list(varnel.compile(q, [p])((3.0, 4.0))), True, 5, 3]


@pytest.mark.parametrize("first", ["other", "varnel"])
def test_varnel_works_beside_another_module_of_the_binding_library(other_binding, first):
    run = subprocess.run([sys.executable, "-c", USE, first], capture_output=True, text=True, timeout=120,
                         env={"PYTHONPATH": str(other_binding), "PATH": "/usr/bin:/bin"})
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout) == results()
