#!/usr/bin/env bash
# The comparison suite in one command: makes the suite's own environments,
# builds varnel into the Python 3.12 one, installs the peers, runs every
# workload in every engine (each in its own subprocess) and prints the table,
# then the compiled path against CasADi and JAX (tape_speed.py) and the
# residual-and-Jacobian step (residual_jacobian.py), and every target with
# met or MISSED; the tables, the raw numbers and a bar chart go to
# bench/results/.
#
#   bench/compare.sh            full run (about a quarter of an hour)
#   bench/compare.sh --smoke    every workload at tiny sizes, in seconds
#
# Further options go to compare.py (see python3 bench/compare.py --help).
# bench/.venv312: varnel, micrograd, CasADi, JAX, matplotlib. bench/.venv311:
# PyTorch (torch==2.13.0, a CPU build). Without Python 3.11, or where torch
# cannot be installed, torch is reported as not installed and skipped.
set -euo pipefail

BENCH="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(dirname "$BENCH")"
VENV312="$BENCH/.venv312"
VENV311="$BENCH/.venv311"

# Installs a requirements file into a venv, again only when the file changed.
install_requirements() {
    local venv="$1" requirements="$2" stamp="$1/.bench-requirements.sha" want
    want="$(sha256sum "$requirements" | cut -d' ' -f1)"
    if [ "$(cat "$stamp" 2>/dev/null || true)" != "$want" ]; then
        "$venv/bin/python" -m pip install --quiet -r "$requirements" && echo "$want" > "$stamp"
    fi
}

find_python311() {
    local candidate
    for candidate in "${PYTHON311:-}" "$(command -v python3.11 || true)" \
        "$( (pyenv prefix 3.11 2>/dev/null || true) | head -n1)/bin/python3.11" \
        "$(command -v python3 || true)"; do
        if [ -n "$candidate" ] && "$candidate" -c \
            'import sys; sys.exit(sys.version_info[:2] != (3, 11))' 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

# varnel, built by the project's own script into the suite's venv (the build
# folder lives inside the venv, so a rebuild is incremental).
echo "== building varnel into $VENV312" >&2
VENV="$VENV312" VARNEL_BUILD="$VENV312/varnel-build" \
    bash -c 'source "$1/scripts/env.sh" && install_module' _ "$ROOT"
install_requirements "$VENV312" "$BENCH/requirements-py312.txt" ||
    echo "warning: could not install every peer for Python 3.12; missing ones are skipped" >&2

TORCH_PYTHON="$VENV311/bin/python"
if PY311="$(find_python311)"; then
    if ! "$VENV311/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))' 2>/dev/null; then
        rm -rf "$VENV311"
        "$PY311" -m venv "$VENV311"
    fi
    install_requirements "$VENV311" "$BENCH/requirements-py311.txt" ||
        echo "warning: torch could not be installed; it is skipped" >&2
else
    echo "warning: no Python 3.11 found (set PYTHON311=...); torch is skipped" >&2
fi

PY="$VENV312/bin/python"
exec "$PY" "$BENCH/compare.py" \
    --python "varnel=$PY" --python "micrograd=$PY" --python "casadi=$PY" \
    --python "torch=$TORCH_PYTHON" "$@"
