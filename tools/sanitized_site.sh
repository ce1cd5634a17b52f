# Sourced by tools/sanitize.sh and tools/tsan.sh, from the repository's root.
# sanitized_site NAME SANITIZERS builds the modules with the given sanitizers
# (meson's b_sanitize) into build/NAME and installs them into build/NAME-site.
sanitized_site() {
    local name=$1 sanitizers=$2
    rm -rf "build/dist-$name"
    .venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -w "build/dist-$name" \
        -Cbuild-dir="build/$name" \
        -Csetup-args=-Db_sanitize="$sanitizers" -Csetup-args=-Db_lundef=false \
        -Csetup-args=-Dcpp_args=-fno-omit-frame-pointer .
    local wheel=("build/dist-$name"/*.whl)
    rm -rf "build/$name-site"
    .venv/bin/python -m pip install -q --no-deps --target "build/$name-site" "${wheel[0]}"
}
