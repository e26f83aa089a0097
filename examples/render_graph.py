"""Draw a small graph: its DOT text always, and a PNG when Graphviz is installed.

    python render_graph.py [OUTPUT_DIR]

writes OUTPUT_DIR/graph.dot (default: the current directory) and prints it;
when the `dot` program is on PATH it also writes OUTPUT_DIR/graph.png.
"""

import shutil
import sys
from pathlib import Path

from varnel import Constant, Parameter, Undefined, render, sin, to_dot


def main() -> None:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path.cwd()
    out.mkdir(parents=True, exist_ok=True)

    # One neuron: sin(w . x + b) for a two-lane input x that is not known yet.
    w = Parameter(0.5, -1.0, name="w")
    x = Undefined(hint=[1.0, 2.0], name="x")
    b = Constant(0.25)
    product = w * x
    neuron = sin(product.x + product.y + b)

    text = to_dot(neuron)
    (out / "graph.dot").write_text(text)
    print(text, end="")
    print(f"wrote {out / 'graph.dot'}")
    if shutil.which("dot") is None:
        print("no PNG: the Graphviz 'dot' program is not installed (apt-get install graphviz)")
        return
    print(f"wrote {render(neuron, out / 'graph.png')}")


if __name__ == "__main__":
    main()
