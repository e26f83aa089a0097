# Sourced by the other scripts: finds Python 3.12, makes the project's
# virtual environment and installs what the build and the tests need.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VENV:-$ROOT/.venv}"
BUILD="${VARNEL_BUILD:-$ROOT/build}"

is_python312() {
    [ -n "$1" ] && "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null
}

find_python() {
    local candidate
    for candidate in "${PYTHON:-}" "$(command -v python3.12 || true)" \
        "$( (pyenv prefix 3.12 2>/dev/null || true) | head -n1)/bin/python3.12"; do
        if is_python312 "$candidate"; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

if ! PY312="$(find_python)"; then
    echo "error: varnel needs CPython 3.12, and none was found." >&2
    echo "Install python3.12 (with its venv module), or name one: PYTHON=/path/to/python3.12 $0" >&2
    exit 1
fi

if ! is_python312 "$VENV/bin/python"; then
    rm -rf "$VENV"
    "$PY312" -m venv "$VENV"
fi
PY="$VENV/bin/python"
export PATH="$VENV/bin:$PATH"

# Reinstall the requirements only when they change.
STAMP="$VENV/.requirements.sha"
WANT="$(sha256sum "$ROOT/requirements-dev.txt" | cut -d' ' -f1)"
if [ "$(cat "$STAMP" 2>/dev/null || true)" != "$WANT" ]; then
    "$PY" -m pip install --quiet --upgrade pip
    "$PY" -m pip install --quiet -r "$ROOT/requirements-dev.txt"
    echo "$WANT" > "$STAMP"
fi

# Builds and installs _varnel into the environment; the build folder is kept,
# so a rebuild only compiles what changed.
install_module() {
    "$PY" -m pip install --quiet --no-build-isolation --no-deps \
        -C build-dir="$BUILD/python" "$ROOT"
}
