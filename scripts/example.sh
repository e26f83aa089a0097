#!/usr/bin/env bash
# Builds varnel and runs the examples a new user starts with: the tour, a
# linkage solved from a sketch and the circle fit. Each step says what it
# does before it starts.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
install_module
# The examples write their pictures into the current folder: keep them out
# of the source tree.
mkdir -p "$BUILD/examples"
cd "$BUILD/examples"
echo "==> running examples/tour.py: leaves, folding, operands, a first gradient"
echo
"$PY" "$ROOT/examples/tour.py"
echo
echo "==> running examples/linkage.py: the joints of a four-bar linkage solved from a sketch"
echo
"$PY" "$ROOT/examples/linkage.py"
echo
echo "==> running examples/fit_circle.py in $(shown "$BUILD")/examples: a circle fitted by gradient descent"
echo
exec "$PY" "$ROOT/examples/fit_circle.py"
