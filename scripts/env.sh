#!/usr/bin/env bash
# Creates (once) and fills the project's virtual environment in .venv, then
# builds and installs the package into it. Sourced by the other scripts.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VELTRIX_VENV:-$ROOT/.venv}"
PY="$VENV/bin/python"

if [ ! -x "$PY" ]; then
    echo "== creating virtual environment in $VENV"
    python3 -m venv "$VENV"
fi

# Dependencies change rarely; a stamp keyed on the requirement lists avoids
# asking pip again on every run.
REQ="$ROOT/scripts/requirements-dev.txt"
STAMP="$VENV/.veltrix-deps-$(cat "$ROOT"/scripts/requirements-*.txt | sha1sum | cut -c1-12)"
if [ ! -f "$STAMP" ]; then
    echo "== installing build, runtime and test dependencies"
    "$PY" -m pip install --disable-pip-version-check -q --upgrade pip
    "$PY" -m pip install --disable-pip-version-check -q -r "$REQ"
    touch "$STAMP"
fi

echo "== building and installing veltrix-converter and the reference plug-ins"
PY="$PY" bash "$ROOT/scripts/build.sh"
