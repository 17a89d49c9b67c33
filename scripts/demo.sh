#!/usr/bin/env bash
# The main job: sets up .venv (first run only), installs veltrix-converter
# and the reference plug-in, and runs a real conversion end to end.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/env.sh"
exec "$PY" "$ROOT/examples/demo.py" "$@"
