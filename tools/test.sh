#!/usr/bin/env bash
# Runs every test: the C++ unit tests, then the Python suite against NumPy 2 and
# against NumPy 1.26, then again against modules built with the address and
# undefined-behaviour sanitizers (tools/sanitize.sh), then the thread tests
# against modules built with ThreadSanitizer (tools/tsan.sh). Installs and
# builds what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

.venv/bin/meson setup build/tests -Dtests=enabled -Dbuildtype=release --reconfigure >/dev/null \
    || .venv/bin/meson setup build/tests -Dtests=enabled -Dbuildtype=release
.venv/bin/meson test -C build/tests --print-errorlogs

echo "== Python tests, NumPy 2"
.venv/bin/python -m pytest -q -p no:cacheprovider tests "$@"
if [ "${SKIP_NUMPY1:-0}" != 1 ]; then
    echo "== Python tests, NumPy 1.26"
    .venv-np1/bin/python -m pytest -q -p no:cacheprovider tests "$@"
fi
if [ "${SKIP_SANITIZE:-0}" != 1 ]; then
    echo "== Python tests, sanitizers (ASan, UBSan, leaks)"
    bash tools/sanitize.sh "$@"
fi
if [ "${SKIP_TSAN:-0}" != 1 ]; then
    echo "== thread tests, ThreadSanitizer"
    bash tools/tsan.sh
fi
