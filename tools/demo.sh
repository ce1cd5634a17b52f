#!/usr/bin/env bash
# Runs the main job: the host application on its embedded default model.
# Installs and builds what it needs first. Arguments go to the host.
set -euo pipefail
cd "$(dirname "$0")/.."
SKIP_NUMPY1=1 bash tools/setup.sh
exec .venv/bin/python -m fdtdhost "$@"
