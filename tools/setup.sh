#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian machine and builds it.
# Safe to run again: it installs only what is missing and rebuilds incrementally.
#   .venv      Python packages with NumPy 2, the modules installed
#   .venv-np1  the same modules against NumPy 1.26
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(g++ pkg-config libgtest-dev libgl-dev libegl1 libegl-mesa0 libgl1-mesa-dri
                 openmpi-bin libopenmpi-dev)
missing=()
for p in "${debian_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "setup: installing Debian packages: ${missing[*]}"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

make_venv() {  # folder, then pip requirements
    local dir=$1; shift
    [ -x "$dir/bin/python" ] || python3 -m venv "$dir"
    "$dir/bin/python" -m pip install -q "$@"
}
make_venv .venv -r tools/requirements.txt
if [ "${SKIP_NUMPY1:-0}" != 1 ]; then
    make_venv .venv-np1 -r tools/requirements-np1.txt
fi

# One wheel, built against NumPy 2, serves both environments.
rm -rf build/dist
.venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -w build/dist \
    -Cbuild-dir=build/py .
wheel=(build/dist/*.whl)
.venv/bin/python -m pip install -q --force-reinstall --no-deps "${wheel[0]}"
if [ "${SKIP_NUMPY1:-0}" != 1 ]; then
    .venv-np1/bin/python -m pip install -q --force-reinstall --no-deps "${wheel[0]}"
fi
