# Sourced by the other scripts: finds Python 3.12, makes the project's
# virtual environment and installs what the build and the tests need. Each
# step that takes a while says so on a "==>" line before it starts.
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

# A path as the user would type it from the project's folder.
shown() {
    echo "${1#"$ROOT"/}"
}

if ! is_python312 "$VENV/bin/python"; then
    echo "==> making the virtual environment $(shown "$VENV") with $PY312"
    rm -rf "$VENV"
    "$PY312" -m venv "$VENV"
fi
PY="$VENV/bin/python"
export PATH="$VENV/bin:$PATH"

# Reinstall the requirements only when they change.
STAMP="$VENV/.requirements.sha"
WANT="$(sha256sum "$ROOT/requirements-dev.txt" | cut -d' ' -f1)"
if [ "$(cat "$STAMP" 2>/dev/null || true)" != "$WANT" ]; then
    echo "==> installing the build and test tools of requirements-dev.txt into $(shown "$VENV")" \
        "(when that file changes; about a minute)"
    "$PY" -m pip install --quiet --upgrade pip
    "$PY" -m pip install --quiet -r "$ROOT/requirements-dev.txt"
    echo "$WANT" > "$STAMP"
fi

# Builds and installs _varnel and the varnel package into the environment,
# showing the build's steps as they run; the whole output goes to a log,
# printed when the build fails. The build folder is kept, so a rebuild only
# compiles what changed.
install_module() {
    local log="$BUILD/python-install.log" status
    mkdir -p "$BUILD"
    echo "==> building the modules in $(shown "$BUILD")/python and installing them into $(shown "$VENV")" \
        "(the first build compiles them: a few minutes; later ones only what changed)"
    set +e
    "$PY" -m pip install -v --no-build-isolation --no-deps -C build-dir="$BUILD/python" "$ROOT" 2>&1 |
        tee "$log" | grep --line-buffered -E '^ *(\*\*\* [A-Z]|\[[0-9]+/[0-9]+\] )' | sed -u 's/^ */    /'
    status="${PIPESTATUS[0]}"
    set -e
    if [ "$status" != 0 ]; then
        tail -n 60 "$log" >&2
        echo "error: building or installing the module failed; the whole output is in $(shown "$log")" >&2
    fi
    return "$status"
}
