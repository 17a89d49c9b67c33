#!/usr/bin/env bash
# Sets up .venv (first run only), builds the package into it and runs the
# whole test suite. Extra arguments go to pytest.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/env.sh"
cd "$ROOT"
exec "$VENV/bin/python" -m pytest "$@"
