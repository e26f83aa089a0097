"""README.md does what it says: its code runs and gives the results its text
states, and so do the examples in the public docstrings.

The blocks are read from README.md (and from the docstrings) at every run,
so the test follows the file. A Python block runs statement by statement,
the blocks of one section in one namespace, in order. A statement's trailing
comment that shows a result is checked against the statement's value:

- a literal, ``# (5.0,)``: the value's repr, where ``...`` stands for more
  digits (``# ((210.857...,), (0.0625752...,))``);
- an array, ``# array([1., 4., 9.])``: the value's repr;
- a repr, ``# Expression<1>#4 op=Add`` or ``# <varnel.SolveResult ...>``:
  the value's repr, ``...`` standing for anything, and ids numbered as in a
  fresh process (the section's first node is #1);
- ``shape (N, M)`` anywhere in it: the value's shape.

Any other trailing comment must have an entry in ``STATED``: a check of what
it says, or the reason it states nothing to check. A comment nobody reads
fails the test, and so does a ``STATED`` entry that the docs no longer have.
"""

import ast
import inspect
import io
import math
import pickle
import re
import subprocess
import sys
import textwrap
import tokenize
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

import varnel
from varnel import Constant, Parameter, Undefined, sin

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"


@dataclass(frozen=True)
class Block:
    origin: str    # "README.md", or the documented object's qualified name
    section: str   # a section's blocks share one namespace, in order
    line: int      # of the block's first line in README.md (0 in a docstring)
    language: str  # python, cpp, cmake, or shell for an indented block
    code: str

    @property
    def id(self):
        where = f"L{self.line}" if self.line else self.origin
        return f"{where}-{self.language}-{re.sub(r'[^A-Za-z]+', '_', self.section)[:24].strip('_')}"


def readme_blocks():
    blocks, section, fence, body, start = [], "", None, [], 0
    lines = README.read_text(encoding="utf-8").splitlines()
    index, after_blank = 0, True
    while index < len(lines):
        line = lines[index]
        if fence is None and re.match(r"#{2,3} ", line):
            section = line.lstrip("#").strip()
        if line.startswith("```"):
            if fence is None:
                fence, start, body = line[3:].strip(), index + 2, []
            else:
                blocks.append(Block("README.md", section, start, fence, "\n".join(body) + "\n"))
                fence = None
        elif fence is not None:
            body.append(line)
        elif line.startswith("    ") and after_blank:
            # Markdown's indented code block: shell commands in this file.
            start, body = index + 1, []
            while index < len(lines) and (lines[index].startswith("    ") or not lines[index].strip()):
                body.append(lines[index][4:])
                index += 1
            blocks.append(Block("README.md", section, start, "shell", "\n".join(body).strip() + "\n"))
            after_blank = True
            continue
        after_blank = not line.strip()
        index += 1
    assert fence is None, "README.md has an unclosed code fence"
    return blocks


def documented_objects():
    """Every public object of the package with a docstring, by qualified name."""
    objects = {"varnel": varnel, "varnel.optim": varnel.optim}
    for name in [*varnel.__all__, "abs", "pow"]:
        objects[f"varnel.{name}"] = getattr(varnel, name)
    for name in varnel.optim.__all__:
        objects[f"varnel.optim.{name}"] = getattr(varnel.optim, name)
    for qualified, obj in list(objects.items()):
        if inspect.isclass(obj):
            for member, value in vars(obj).items():
                if not member.startswith("_") or member == "__call__":
                    objects[f"{qualified}.{member}"] = value
    return {name: obj for name, obj in objects.items() if inspect.getdoc(obj)}


def docstring_blocks():
    """The examples after "::" in the docstrings."""
    blocks = []
    for name, obj in documented_objects().items():
        for match in re.finditer(r"::\n\n((?:(?: {4}.*)?\n)+)", inspect.getdoc(obj) + "\n"):
            blocks.append(Block(name, name, 0, "python", textwrap.dedent(match.group(1)).strip() + "\n"))
    return blocks


BLOCKS = readme_blocks()
DOC_BLOCKS = docstring_blocks()
PYTHON = [block for block in BLOCKS + DOC_BLOCKS if block.language == "python"]

# What the docstrings' examples take for granted: the package's names, and
# the caller's own data where a block only shows the shape of a call.
DOCSTRING_PRELUDE = "import varnel\nfrom varnel import *\n"
STAND_INS = {
    "varnel.least_squares": "data = [(0.0, 1.0), (1.0, 3.0), (2.0, 5.5)]  # the caller's (t, y) pairs\n",
    "varnel.optim": "from varnel.optim import SGD\nw1, w2, b = Parameter(1.0), Parameter(2.0), Parameter(0.5)\n",
}

# Blocks that cannot run here, with the reason.
NOT_RUN = {
    "LocalCluster(n_workers=2": "starts a cluster of worker processes, which takes longer than this file "
                                "should; test_dask.py runs the same map_blocks calls on such a cluster",
}


def normalised(code):
    return " ".join(code.split())


@dataclass
class Statement:
    node: ast.stmt
    code: str
    comment: str | None


def statements(code):
    tree = ast.parse(code)
    comments = {}
    for token in tokenize.generate_tokens(io.StringIO(code).readline):
        if token.type == tokenize.COMMENT and token.line[:token.start[1]].strip():
            comments[token.start[0]] = token.string[1:].strip()
    for node in tree.body:
        yield Statement(node, normalised(ast.get_source_segment(code, node)), comments.get(node.end_lineno))


def balanced(text):
    """The bracketed prefix of text: "(1, (2,))" of "(1, (2,)): more"."""
    depth = 0
    for index, char in enumerate(text):
        depth += char in "([{<"
        depth -= char in ")]}>"
        if depth == 0 and char in ")]}>":
            return text[:index + 1]
    return None


def stated_checks(comment, base_id):
    """The checks of a statement's value that its comment states, by the rules of the module's docstring."""
    checks = []
    shape = re.search(r"\bshape (\([\d_, ]*\))", comment)
    if shape:
        expected = ast.literal_eval(shape.group(1))
        checks.append(lambda value: np.shape(value) == expected)
    literal = balanced(comment) if comment.startswith("(") else None
    if literal:
        try:
            ast.literal_eval(literal.replace("...", ""))
        except (ValueError, SyntaxError):
            literal = None
    if literal:
        pattern = re.escape(literal).replace(r"\.\.\.", r"\d*")
        checks.append(lambda value: re.fullmatch(pattern, repr(value)) is not None)
    if comment.startswith("array("):
        text = balanced(comment[len("array"):])
        checks.append(lambda value: repr(value) == f"array{text}")
    if comment.startswith("<") or re.match(r"[A-Z]\w*<\d", comment):
        fresh = re.sub(r"#(\d+)", lambda match: f"#{base_id + int(match.group(1))}", comment)
        pattern = re.escape(fresh).replace(r"\.\.\.", ".*")
        checks.append(lambda value: re.fullmatch(pattern, repr(value), re.S) is not None)
    return checks


# --- what the other comments say --------------------------------------------

def two_lane_parameter(ns, p):
    assert p.is_parameter and p.value == (1.0, 2.0)


def broadcast_over_both_lanes(ns, q):
    assert q.eval() == (13.0, 26.0)


def three_lane_input(ns, x):
    assert x.is_undefined and x.dim == 3


def same_graph_on_parameters(ns):
    """The Compiled functions block's s, with a Parameter in place of the input x."""
    xp, pp = Parameter(0.1, 0.2, 0.3), Parameter(*ns["p"].value)
    y = (xp * xp + sin(xp)) * pp
    return y.x + y.y + y.z, xp, pp


def call_as_eval(ns, value):
    s, _, _ = same_graph_on_parameters(ns)
    assert value == s.eval()
    # p is not an input: a new value is read by the very next call.
    p = ns["p"]
    p.set_value(3.0)
    try:
        assert ns["f"]((0.1, 0.2, 0.3)) == same_graph_on_parameters(ns)[0].eval() != value
    finally:
        p.set_value(2.0)


def vjp_as_backward(ns, value):
    s, xp, pp = same_graph_on_parameters(ns)
    s.backward()
    assert value == (xp.grad,)
    assert ns["p"].grad == pp.grad  # ds/dp, added into p.grad


def jacobian_rows(ns, value):
    s, xp, _ = same_graph_on_parameters(ns)
    s.backward()
    assert value == (xp.grad,)


def flat_layout(ns, value):
    # a, then b's two lanes: the same numbers as the call with one argument per input.
    r = ns["r"]
    assert list(r(value, flat=True)) == [lane for output in r(2.0, (0.5, -1.0)) for lane in output]


def three_by_three(ns, value):
    assert np.shape(value.jacobian(1.0, (2.0, 3.0))) == (3, 3)


def flat_jacobian_rows(ns, value):
    assert np.array_equal(value, np.array(ns["r"].jacobian(2.0, (0.5, -1.0))))
    # The last row is output lane a + b.x, whose derivatives in a, b.x, b.y are 1, 1, 0.
    assert list(value[2]) == [1.0, 1.0, 0.0]


def flat_vjp(ns, value):
    gradient = ns["r"].vjp(2.0, (0.5, -1.0), seeds=((1.0, 1.0), (1.0,)))
    assert list(value) == [lane for input_gradient in gradient for lane in input_gradient]


def one_forward_pass(ns, value):
    r, v = ns["r"], ns["v"]
    values, jacobian = value
    assert np.array_equal(values, r(v, flat=True)) and np.array_equal(jacobian, r.jacobian(v, flat=True))


def accumulated_into_w(ns, value):
    data, w = ns["data"], ns["w"].value[0]
    residual = data[:, 0] * w - data[:, 1]
    assert ns["w"].grad == pytest.approx((np.sum(2 * residual * data[:, 0]),), rel=1e-9)


def diagonal_jacobian(ns, value):
    assert value == ((2.0, 0.0, 0.0), (0.0, 4.0, 0.0), (0.0, 0.0, 6.0))


def numpy_three_by_three(ns, value):
    assert isinstance(value, np.ndarray) and np.array_equal(value, np.diag([2.0, 4.0, 6.0]))


def fit_and_errors(ns, value):
    (a, b), (error_a, error_b) = value
    assert a == pytest.approx((2.25,)) and b == pytest.approx((11 / 12,))  # the line through the data
    assert len(error_a) == len(error_b) == 1 and error_a[0] > 0 and error_b[0] > 0


STATED = {
    # Quick start
    'p = Parameter(1.0, 2.0, name="p")': two_lane_parameter,
    "q = p * 3 + [10, 20]": broadcast_over_both_lanes,
    "(q.x * q.y).backward()": "the gradients it adds are the next line's",
    # Compiled functions
    'x = Undefined(dim=3, name="x")': three_lane_input,
    'p = Parameter(2.0, name="p")': "read at every call: checked at f((0.1, 0.2, 0.3))",
    "f = varnel.compile(s, [x])": "names compile's arguments",
    "f((0.1, 0.2, 0.3))": call_as_eval,
    "f.vjp((0.1, 0.2, 0.3))": vjp_as_backward,
    "f.jacobian((0.1, 0.2, 0.3))": jacobian_rows,
    "r = varnel.compile([a * b, a + b.x], [a, b])": three_by_three,
    "v = np.array([2.0, 0.5, -1.0])": flat_layout,
    "r.jacobian(v, flat=True)": flat_jacobian_rows,
    "r.vjp(v, seeds=np.ones(3), flat=True)": flat_vjp,
    "r.value_and_jacobian(v, flat=True)": one_forward_pass,
    'w = Parameter(0.5, name="w")': "trained: checked at map_vjp(data, accumulate=True)",
    "loss.map_vjp(data, accumulate=True)": accumulated_into_w,
    # Solving for unknowns, and solve's docstring
    'p = Undefined(hint=(2.0, -1.0), name="p")': "the point the solve below finds",
    # compile's and least_squares's docstrings
    "f.jacobian((1.0, 2.0, 3.0))": diagonal_jacobian,
    "f.jacobian([1.0, 2.0, 3.0], flat=True)": numpy_three_by_three,
    "fit.x, fit.standard_errors": fit_and_errors,
}


# --- running the blocks ------------------------------------------------------

@dataclass
class Run:
    namespace: dict
    base_id: int
    done: int = 0
    failed: str | None = None


RUNS: dict[str, Run] = {}


def run_block(block):
    """Run block, after the blocks before it in its section, unless they have run; return the namespace."""
    sections = [b for b in PYTHON if b.section == block.section]
    if block.section not in RUNS:
        # The section's nodes are numbered from here, as a fresh process numbers them from 1.
        prelude = "" if block.origin == "README.md" else DOCSTRING_PRELUDE + STAND_INS.get(block.origin, "")
        namespace = {"__name__": "readme"}
        exec(prelude, namespace)
        RUNS[block.section] = Run(namespace, Constant(0).id)
    run = RUNS[block.section]
    position = sections.index(block)
    if run.failed:
        pytest.fail(f"builds on {run.failed}, which failed")
    for earlier in sections[run.done:position + 1]:
        try:
            execute(earlier, run)
        except BaseException:
            run.failed = earlier.id
            raise
    return run.namespace


def execute(block, run):
    ns = run.namespace
    for statement in statements(block.code):
        node = statement.node
        if isinstance(node, ast.Expr):
            value = eval(compile(ast.Expression(node.value), block.origin, "eval"), ns)
        else:
            exec(compile(ast.Module([node], []), block.origin, "exec"), ns)
            targets = getattr(node, "targets", [])
            value = ns[targets[0].id] if len(targets) == 1 and isinstance(targets[0], ast.Name) else None
        if statement.comment is None:
            continue
        checks = stated_checks(statement.comment, run.base_id)
        extra = STATED.get(statement.code)
        assert checks or extra is not None, (
            f"{block.origin} line {block.line}: the comment of {statement.code!r} is checked by no one: "
            f"add what it says to STATED")
        for check in checks:
            assert check(value), f"{statement.code}  # {statement.comment}\ngives {value!r}"
        if callable(extra):
            extra(ns, value)
    run.done += 1


@pytest.mark.parametrize("block", PYTHON, ids=lambda block: block.id)
def test_python_block_runs_and_gives_what_it_says(block):
    reason = next((why for marker, why in NOT_RUN.items() if marker in block.code), None)
    if reason:
        pytest.skip(f"not run: {reason}")
    run_block(block)


def test_the_scipy_call_in_a_comment_runs():
    # The flat block shows, commented out, how scipy takes the arrays.
    (block,) = [b for b in BLOCKS if "# scipy.optimize.least_squares(" in b.code]
    call = "\n".join(line.split("# ", 1)[1] for line in block.code.splitlines() if line.startswith("# "))
    pytest.importorskip("scipy.optimize")
    namespace = run_block(block)
    fit = eval(call, {**namespace, "scipy": sys.modules["scipy"]})
    # a * b = 0 and a + b.x = 0 hold at a = b.x = 0, a singular point that scipy nears slowly.
    assert fit.success and fit.cost < 1e-9
    assert np.array_equal(fit.jac, namespace["r"].jacobian(fit.x, flat=True))


def test_every_stated_check_is_still_in_the_docs():
    commented = {s.code for block in PYTHON for s in statements(block.code) if s.comment is not None}
    assert set(STATED) <= commented, set(STATED) - commented
    assert {origin for origin in STAND_INS} <= {block.origin for block in DOC_BLOCKS}
    assert all(any(marker in block.code for block in PYTHON) for marker in NOT_RUN)


def test_the_readme_has_the_blocks_this_file_reads():
    # A fence this parser misses would go unchecked, so count them.
    fences = sum(line.startswith("```") for line in README.read_text(encoding="utf-8").splitlines())
    assert fences == 2 * sum(block.language != "shell" for block in BLOCKS)
    assert len([b for b in BLOCKS if b.language == "python"]) >= 6
    assert DOC_BLOCKS, "the docstrings' examples were not found"


# --- the blocks that are not Python -------------------------------------------

def test_cpp_example_prints_what_the_readme_says():
    # CTest compiles and runs this program (tests/cpp/consumer/run.cmake checks
    # that the README shows it); here: the numbers it prints are the library's.
    (cpp,) = [block for block in BLOCKS if block.language == "cpp"]
    assert "sym::parameter(3.0" in cpp.code and "x * sym::sin(x) + 1.0" in cpp.code
    printed = re.search(r"It prints `(y = [^`]*)`", README.read_text(encoding="utf-8")).group(1)
    x = Parameter(3.0, name="x")
    y = x * sin(x) + 1.0
    value = y.eval()[0]
    y.backward()
    assert printed == f"y = {value:.6f}, dy/dx = {x.grad[0]:.6f}"


SCRIPT = re.compile(r"^\./(scripts/[\w.]+)(.*)$")


@pytest.mark.parametrize("block", [b for b in BLOCKS if b.language in ("shell", "cmake")],
                         ids=lambda block: block.id)
def test_commands_name_what_exists(block):
    """The commands are not run here: they build varnel (minutes) or, for the
    CMake lines, a consumer project, which CTest does by each route
    (tests/cpp/consumer). What they name must exist: scripts and their
    options, the wheel's version and tags, the install component."""
    for line in block.code.splitlines():
        command = line.split("#")[0].strip()
        script = SCRIPT.match(command)
        if script:
            path = ROOT / script.group(1)
            assert path.is_file() and path.stat().st_mode & 0o111, path
            for option in re.findall(r"--[\w-]+", script.group(2)):
                assert f"{option})" in path.read_text(encoding="utf-8"), (path, option)
        for wheel in re.findall(r"varnel-[\w.-]+\.whl", line):
            _, version, python, abi, platform = wheel.removesuffix(".whl").split("-")
            assert version == varnel.__version__
            assert python == abi == f"cp{sys.version_info.major}{sys.version_info.minor}"
            assert f"`{platform}`" in README.read_text(encoding="utf-8")
        component = re.search(r"--component (\w+)", command)
        if component:
            assert f"COMPONENT {component.group(1)}" in (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
        if command.startswith("pip install ."):
            assert (ROOT / "pyproject.toml").is_file()


# --- signatures, claims in the text, messages ----------------------------------

SIGNATURES = [
    (varnel.least_squares, "least_squares(residuals"),
    (varnel.solve, "solve(equations"),
    (varnel.compile, "varnel.compile(outputs"),
    (varnel.Function.vjp, "vjp(*inputs"),
    (varnel.Function.value_and_jacobian, "value_and_jacobian(*inputs"),
    (varnel.Function.map_vjp, "map_vjp(rows"),
    (varnel.gradcheck, "varnel.gradcheck(value"),
    (varnel.plot_fit, "varnel.plot_fit(x"),
    (varnel.optim.SGD, "varnel.optim.SGD(params"),
    (varnel.optim.Adam, "varnel.optim.Adam(params"),
    (varnel.optim.AdamW, "varnel.optim.AdamW(..."),
]


@pytest.mark.parametrize("obj, start", SIGNATURES, ids=[start.split("(")[0] for _, start in SIGNATURES])
def test_signature_in_the_readme_is_the_code_s(obj, start):
    text = " ".join(README.read_text(encoding="utf-8").split())
    shown = re.search("`" + re.escape(start) + r"([^`]*)\)`", text)
    assert shown, start
    # "..." stands for the parameters shown elsewhere.
    params = re.sub(r"\.\.\.(, )?|, \.\.\.", "", start.split("(", 1)[1] + shown.group(1))
    args = ast.parse(f"def shown({params}): pass").body[0].args
    actual = inspect.signature(obj).parameters
    positional = args.args[len(args.args) - len(args.defaults):]
    defaults = dict(zip([a.arg for a in positional], args.defaults))
    defaults.update({a.arg: d for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None})
    # The README marks keyword-only parameters with "*", and no positional-only ones.
    for arg in args.args:
        assert actual[arg.arg].kind in (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD), (
            arg.arg, str(actual[arg.arg]))
    for arg in args.kwonlyargs:
        assert actual[arg.arg].kind is inspect.Parameter.KEYWORD_ONLY, arg.arg
    if args.vararg:
        assert any(p.kind is inspect.Parameter.VAR_POSITIONAL for p in actual.values())
    for name, default in defaults.items():
        assert actual[name].default == ast.literal_eval(default), name


def folded_to(expected):
    def check(value):
        assert value.is_constant and value.value == expected
    return check


def built(op, *operands):
    """value is an op node over operands: a Parameter by identity, a Constant by its lanes."""
    def check(value):
        assert value.op == op and len(value.inputs) == len(operands)
        for operand, expected in zip(value.inputs, operands):
            assert operand.id == expected.id if isinstance(expected, varnel.Expression) else (
                operand.is_constant and operand.value == expected)
    return check


def raises(error, message):
    def check(make):
        with pytest.raises(error) as caught:
            make()
        assert str(caught.value) == message
    return check


def gradients(function, x, *more):
    """The gradients backward leaves in a Parameter at x and in the Parameters among more."""
    p = Parameter(x)
    function(p, *more).backward()
    return (p.grad, *(m.grad for m in more if isinstance(m, varnel.Expression)))


def within_domain_only(made):
    inside, outside = made
    assert math.isfinite(inside.value[0])
    raises(ValueError, "symbolic value lanes must be finite")(outside)


def accumulate_then_clear():
    q = Parameter(2.0)
    e = q * q
    e.backward()
    grads = [q.grad]
    e.backward()
    grads.append(q.grad)
    e.zero_grad()
    return grads + [q.grad]


def in_place_add():
    p = Parameter(1.0)
    before = p
    p += 1
    return before, p


def pickling_a_subclass():
    G = type("G", (varnel.Function,), {})
    return lambda: pickle.dumps(G.__new__(G))


P2 = Parameter(2.0, name="p")
P123 = Parameter(1.0, 2.0, 3.0, name="pos")

# A phrase of README.md (its line breaks as spaces), what it makes, and what that must be.
CLAIMS = [
    ("`Parameter(2) * [1, 2, 3]` has three lanes", lambda: Parameter(2) * [1, 2, 3],
     lambda value: value.dim == 3),
    ("`p + 1` builds `Add(p, Constant 1)`", lambda: P2 + 1, built("Add", P2, (1.0,))),
    ("`[1, 2] * p` builds `Multiply(Constant [1, 2], p)`", lambda: [1, 2] * P2, built("Multiply", (1.0, 2.0), P2)),
    ("`np.array([1.0, 2.0]) + p` is `[1.0, 2.0] + p`", lambda: np.array([1.0, 2.0]) + P2,
     built("Add", (1.0, 2.0), P2)),
    ("`np.float32(2) * p` is `2.0 * p`", lambda: np.float32(2) * P2, built("Multiply", (2.0,), P2)),
    ("`Constant(2) + 3` is `Constant 5`", lambda: Constant(2) + 3, folded_to((5.0,))),
    ("`p + 0` and `p * 1` build nodes like any others", lambda: (P2 + 0, P2 * 1),
     lambda values: [v.op for v in values] == ["Add", "Multiply"]),
    ("`Parameter<3>#2(pos)`, `Expression<2>#9 op=Add`", lambda: (P123, P123.y + [1, 2]),
     lambda values: [re.sub(r"#\d+", "#", repr(v)) for v in values] == ["Parameter<3>#(pos)",
                                                                      "Expression<2># op=Add"]),
    ("at once when folding (`varnel.log(-1)`)", lambda: lambda: varnel.log(-1),
     raises(ValueError, "symbolic value lanes must be finite")),
    ("`p ** 2` and `abs(p)` are still TypeErrors", lambda: lambda: P2 ** 2,
     raises(TypeError, "unsupported operand type(s) for ** or pow(): '_varnel.Expression' and 'int'")),
    ("`p ** 2` and `abs(p)` are still TypeErrors", lambda: lambda: abs(P2),
     raises(TypeError, "bad operand type for abs(): '_varnel.Expression'")),
    ("`varnel.abs` and `varnel.pow` are left out of `__all__`", lambda: varnel.__all__,
     lambda names: ("abs" not in names and "pow" not in names)),
    ("| `Expression()` | TypeError | `_varnel.Expression: No constructor defined!` |", lambda: varnel.Expression,
     raises(TypeError, "_varnel.Expression: No constructor defined!")),
    ("(a Component with the lane it selects, `Component [1]`)", lambda: varnel.to_dot(P123.y),
     lambda dot: "Component [1]" in dot),
    ("`dim` defaults to 1, or to the hint's lane count", lambda: (Undefined(), Undefined(hint=(1.0, 2.0))),
     lambda values: [v.dim for v in values] == [1, 2]),
    ("One Expression in its place (`Adam(p)`) raises TypeError saying to pass `[p]`",
     lambda: lambda: varnel.optim.Adam(P2),
     lambda make: "pass [p]" in str(pytest.raises(TypeError, make).value)),
    ("(`cannot pickle 'G' object` for a subclass `G`)",
     pickling_a_subclass, raises(TypeError, "cannot pickle 'G' object")),
    ("raises `varnel.GradcheckError` (an AssertionError)", lambda: varnel.GradcheckError,
     lambda error: issubclass(error, AssertionError)),
    # Elementary functions: derivatives where they are not finite, domains, conversion order.
    ("`pow(x, 2)` and `pow(x, -3)` are fine for a negative x", lambda: gradients(varnel.pow, -2.0, 2),
     lambda grads: grads == ((-4.0,),)),
    ("Make the exponent a Parameter and its derivative at a negative base is NaN",
     lambda: gradients(varnel.pow, -2.0, Parameter(2.0)), lambda grads: grads[0] == (-4.0,) and math.isnan(grads[1][0])),
    ("the square root's infinite derivative at 0 is stored in `grad`", lambda: gradients(varnel.sqrt, 0.0),
     lambda grads: grads == ((math.inf,),)),
    ("−1 below 0, 1 above, 0 at 0", lambda: [gradients(varnel.abs, x) for x in (-2.0, 0.0, 2.0)],
     lambda grads: grads == [((-1.0,),), ((0.0,),), ((1.0,),)]),
    ("NaN at the origin", lambda: gradients(varnel.atan2, 0.0, Parameter(0.0)),
     lambda grads: all(math.isnan(g[0]) for g in grads)),
    ("0 at the origin |", lambda: gradients(varnel.hypot, 0.0, Parameter(0.0)), lambda grads: grads == ((0.0,), (0.0,))),
    ("x ≤ 709.78 (eˣ overflows above)", lambda: (varnel.exp(709.78), lambda: varnel.exp(709.79)), within_domain_only),
    ("\\|x\\| ≤ 710.47", lambda: (varnel.cosh(-710.47), lambda: varnel.sinh(710.48)), within_domain_only),
    ("like `vec2`, these convert the last argument first", lambda: lambda: varnel.atan2("y", "x"),
     raises(TypeError, "atan2 x must be a symbolic value or numeric constant")),
    # Evaluation and gradients.
    ("A NaN or infinity, for example from a division by zero, raises ValueError",
     lambda: (lambda p: lambda: (p / 0).eval())(Parameter(1.0)), raises(ValueError, "symbolic value lanes must be finite")),
    ("Gradients accumulate across passes until `e.zero_grad()` clears them (`grad` is None again)",
     accumulate_then_clear, lambda grads: grads == [(4.0,), (8.0,), None]),
    ("no in-place operators (`+=` rebinds)", in_place_add, lambda pair: pair[0].op == "None" and pair[1].op == "Add"),
]


@pytest.mark.parametrize("phrase, make, check", CLAIMS, ids=[phrase[:40] for phrase, _, _ in CLAIMS])
def test_claim_in_the_text_holds(phrase, make, check):
    assert phrase in " ".join(README.read_text(encoding="utf-8").split()), "the README no longer says this"
    value = make()
    # A check returns whether the claim holds, or asserts it (None).
    assert check(value) in (None, True), value


def test_ids_start_at_one_in_a_fresh_process():
    # The Quick start's ids (#4) are those of a fresh process.
    run = subprocess.run([sys.executable, "-c", "import varnel; print(varnel.Constant(0).id)"],
                         capture_output=True, text=True, check=True)
    assert run.stdout == "1\n"
    assert "start at 1 and are never reused" in README.read_text(encoding="utf-8")
