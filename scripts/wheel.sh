#!/usr/bin/env bash
# Builds varnel's wheel and repairs it with auditwheel into a manylinux wheel:
# one that pip installs on other Linux machines with CPython 3.12, with no
# compiler and no build step.
#   scripts/wheel.sh [OUTPUT_DIR]     writes the wheel there (default: dist/)
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

out="${1:-$ROOT/dist}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
raw="$(mktemp -d)"
trap 'rm -rf "$raw"' EXIT

echo "==> building the wheel in ${BUILD#"$ROOT"/}/python (the first build compiles the modules: a few minutes)"
"$PY" -m pip wheel --quiet --no-build-isolation --no-deps \
    -C build-dir="$BUILD/python" -w "$raw" "$ROOT"

# auditwheel checks which libraries and symbol versions the modules need,
# copies in any library that a manylinux system need not have (patchelf
# rewrites the modules to find it), and tags the wheel with the oldest
# manylinux policy that it satisfies.
echo "==> repairing it with auditwheel into a manylinux wheel"
"$PY" -m auditwheel repair --wheel-dir "$out" "$raw"/varnel-*.whl

wheel="$(cd "$raw" && ls varnel-*.whl)"
repaired="$(ls -t "$out"/"${wheel%%-linux_*}"-*manylinux*.whl | head -n1)"
echo "==> wrote $repaired"
echo "    install it with: pip install $repaired"
