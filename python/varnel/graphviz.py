"""Pictures of value graphs: DOT text, files through ``dot``, and notebook pictures."""

import importlib
import os
import shutil
import subprocess
from pathlib import Path
from typing import Protocol

from _varnel import Expression

from ._graph import walk

__all__ = ["GraphPicture", "Picture", "draw", "to_dot", "render"]

_INSTALL_HINT = (
    "rendering needs the 'dot' program of Graphviz, which is not on PATH; "
    "install it with 'apt-get install graphviz' (Debian, Ubuntu), "
    "'dnf install graphviz' (Fedora) or 'brew install graphviz' (macOS), "
    "or write the text of varnel.to_dot(value) to a file and render it elsewhere"
)

_FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}


def _quote(text: str) -> str:
    """Escape ``text`` for a double-quoted DOT string."""
    return text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def _lanes(lanes: tuple[float, ...]) -> str:
    return "(" + ", ".join(format(lane, ".6g") for lane in lanes) + ")"


def _label(node: Expression, kind: str) -> str:
    """A node's label, one line each: kind and op, lanes, name, value or hint."""
    # Every property read is a call into the module: read only what is shown.
    if kind != "Expression":
        lines = [kind]
    else:
        op = node.op
        lines = [f"{kind} {op} [{node._component_index}]" if op == "Component" else f"{kind} {op}"]
    dim = node.dim
    lines.append("1 lane" if dim == 1 else f"{dim} lanes")
    try:
        name = node.name
    except UnicodeDecodeError:
        # Names given as bytes need not be UTF-8; the picture still shows there is one.
        name = "<name not UTF-8>"
    if name:
        lines.append(f"name {name}")
    if kind == "Constant" or kind == "Parameter":
        lines.append(f"value {_lanes(node.value)}")
    elif kind == "Undefined":
        hint = node.hint
        if hint is not None:
            lines.append(f"hint {_lanes(hint)}")
    return _quote("\n".join(lines))


def to_dot(value: Expression) -> str:
    """Return the Graphviz DOT text of the graph below ``value``.

    There is one node statement per node id, named ``n<id>`` and labelled
    with the node's kind (and op, for expressions; a Component also shows
    the lane it selects, as ``[1]``), its lane count, its name
    when it has one, and its value (Constants, Parameters) or hint
    (Undefined values made with one). Leaves are drawn as boxes. Each
    operand has an edge from the operand to the expression that uses it,
    labelled with the operand's position; an expression's edges are listed
    in operand order, so ``x * x`` gives two edges from x, labelled 0 and 1.

    ``value`` is listed first, then the nodes below it depth first. The walk
    keeps its own stack, so graphs of any depth work.
    """
    lines = ["digraph varnel {"]
    for node, node_id, _, operand_ids in walk(value):
        kind = node.kind
        shape = "" if kind == "Expression" else ", shape=box"
        lines.append(f'  n{node_id} [label="{_label(node, kind)}"{shape}];')
        lines.extend(
            f'  n{operand_id} -> n{node_id} [label="{position}"];'
            for position, operand_id in enumerate(operand_ids)
        )
    lines.append("}")
    return "\n".join(lines) + "\n"


def _run_dot(args: list[str], text: str) -> bytes:
    """Run Graphviz's ``dot`` on ``text`` and return what it printed."""
    dot = shutil.which("dot")
    if dot is None:
        raise RuntimeError(_INSTALL_HINT)
    result = subprocess.run([dot, *args], input=text.encode("utf-8"), capture_output=True, check=False)
    if result.returncode != 0:
        message = result.stderr.decode("utf-8", "replace").strip()
        raise RuntimeError(f"dot failed with exit code {result.returncode}: {message}")
    return result.stdout


def render(value: Expression, path: str | os.PathLike[str]) -> Path:
    """Draw the graph below ``value`` into ``path``, a PNG, SVG or PDF file.

    The format follows the suffix of ``path`` (``.png``, ``.svg`` or
    ``.pdf``, in any case); any other suffix raises ValueError. The picture
    is made by the Graphviz ``dot`` program from the text of :func:`to_dot`;
    when ``dot`` is not on PATH a RuntimeError says how to install it, and
    when it fails a RuntimeError carries its error output. Returns ``path``
    as a Path.
    """
    target = Path(path)
    fmt = _FORMATS.get(target.suffix.lower())
    if fmt is None:
        raise ValueError(
            "render writes PNG, SVG or PDF files: the path must end in .png, .svg or .pdf, "
            f"not {str(target)!r}"
        )
    _run_dot([f"-T{fmt}", "-o", os.fspath(target)], to_dot(value))
    return target


class Picture(Protocol):
    """What :func:`draw` returns: an object a notebook shows as a picture."""

    @property
    def source(self) -> str:
        """The DOT text of the graph."""
        ...


class GraphPicture:
    """A graph that a notebook shows as an SVG picture, drawn by ``dot`` when shown.

    :func:`draw` returns one when the ``graphviz`` Python package is not
    installed; ``source`` holds the DOT text.
    """

    def __init__(self, source: str) -> None:
        """Hold the DOT text ``source``."""
        self._source = source

    @property
    def source(self) -> str:
        """The DOT text of the graph."""
        return self._source

    def _repr_svg_(self) -> str:
        """The SVG picture, for notebooks; RuntimeError when ``dot`` is missing or fails."""
        return _run_dot(["-Tsvg"], self._source).decode("utf-8")


def draw(value: Expression) -> Picture:
    """The graph below ``value`` as a picture that a notebook shows when it is a cell's value.

    When the ``graphviz`` Python package is installed this is its
    ``graphviz.Source`` of :func:`to_dot`'s text, with everything that class
    offers (``render``, ``view``, formats); otherwise a
    :class:`GraphPicture`. Either way ``source`` is the DOT text, and
    showing the picture needs Graphviz's ``dot`` program.
    """
    text = to_dot(value)
    try:
        graphviz = importlib.import_module("graphviz")
    except ImportError:
        return GraphPicture(text)
    picture: Picture = graphviz.Source(text)
    return picture
