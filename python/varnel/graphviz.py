"""Pictures of value graphs: DOT text, and PNG or SVG files through ``dot``."""

import os
import shutil
import subprocess
from pathlib import Path

from _varnel import Expression

from ._graph import walk

__all__ = ["to_dot", "render"]

_INSTALL_HINT = (
    "rendering needs the 'dot' program of Graphviz, which is not on PATH; "
    "install it with 'apt-get install graphviz' (Debian, Ubuntu), "
    "'dnf install graphviz' (Fedora) or 'brew install graphviz' (macOS), "
    "or write the text of varnel.to_dot(value) to a file and render it elsewhere"
)

_FORMATS = {".png": "png", ".svg": "svg"}


def _quote(text: str) -> str:
    """Escape ``text`` for a double-quoted DOT string."""
    return text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def _lanes(lanes: tuple[float, ...]) -> str:
    return "(" + ", ".join(format(lane, ".6g") for lane in lanes) + ")"


def _label(node: Expression, kind: str) -> str:
    """A node's label, one line each: kind and op, lanes, name, value or hint."""
    # Every property read is a call into the module: read only what is shown.
    lines = [f"{kind} {node.op}" if kind == "Expression" else kind]
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
    with the node's kind (and op, for expressions), its lane count, its name
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


def render(value: Expression, path: str | os.PathLike[str]) -> Path:
    """Draw the graph below ``value`` into ``path``, a PNG or SVG file.

    The format follows the suffix of ``path`` (``.png`` or ``.svg``, in any
    case); any other suffix raises ValueError. The picture is made by the
    Graphviz ``dot`` program from the text of :func:`to_dot`; when ``dot``
    is not on PATH a RuntimeError says how to install it, and when it fails
    a RuntimeError carries its error output. Returns ``path`` as a Path.
    """
    target = Path(path)
    fmt = _FORMATS.get(target.suffix.lower())
    if fmt is None:
        raise ValueError(
            f"render writes PNG or SVG files: the path must end in .png or .svg, not {str(target)!r}"
        )
    dot = shutil.which("dot")
    if dot is None:
        raise RuntimeError(_INSTALL_HINT)
    result = subprocess.run(
        [dot, f"-T{fmt}", "-o", os.fspath(target)],
        input=to_dot(value).encode("utf-8"),
        capture_output=True,
        check=False,
    )
    if result.returncode != 0:
        message = result.stderr.decode("utf-8", "replace").strip()
        raise RuntimeError(f"dot failed with exit code {result.returncode}: {message}")
    return target
