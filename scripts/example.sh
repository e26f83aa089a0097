#!/usr/bin/env bash
# Builds varnel and runs the example a new user starts with.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
install_module
cd "$ROOT/examples"
"$PY" tour.py
echo
exec "$PY" fit_circle.py
