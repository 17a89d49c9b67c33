#!/usr/bin/env bash
# Rebuild and reinstall the package and the plug-ins into the
# project's environment; pip's output is shown only when the build fails.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
log=$(mktemp)
if ! "${PY:-$ROOT/.venv/bin/python}" -m pip install --disable-pip-version-check -q --no-build-isolation --no-deps \
        "$ROOT" "$ROOT/plugins/veltrix-tflite" "$ROOT/plugins/veltrix-onnx" \
        "$ROOT/plugins/veltrix-torch" "$ROOT/plugins/veltrix-openvino" >"$log" 2>&1; then
    grep -v "is ignored: it is neither a file nor a directory" "$log"; rm -f "$log"; exit 1
fi
rm -f "$log"
