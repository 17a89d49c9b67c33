#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UBSan into build/asan
# and runs the test suite against them (the sanitizer runtime preloaded into
# the interpreter; CPython's own allocations at exit are not leak-checked).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VELTRIX_VENV:-$ROOT/.venv}"
PY="$VENV/bin/python"
TARGET="$ROOT/build/asan-site"
rm -rf "$TARGET"
"$PY" -m pip install --disable-pip-version-check -q --no-build-isolation --no-deps --target "$TARGET" \
    -C cmake.define.VELTRIX_SANITIZE=ON -C build-dir="$ROOT/build/asan" "$ROOT" 2>&1 \
    | grep -v "is ignored: it is neither a file nor a directory" || true
test -f "$(ls "$TARGET"/veltrix/converter/convert*.so)"
RUNTIME="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
cd "$ROOT"
# PYTHONPATH puts the sanitized modules ahead of the installed ones, in child processes too.
PYTHONPATH="$TARGET" LD_PRELOAD="$RUNTIME" \
ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    "$PY" -m pytest -q -p no:cacheprovider "$@"
