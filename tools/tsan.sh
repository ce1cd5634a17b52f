#!/usr/bin/env bash
# Runs the thread tests (tests/test_threads.py, the glarr cases that split
# their work over threads, and the kernel's steps on several threads) against
# modules built with ThreadSanitizer.
# Expects tools/setup.sh to have made .venv; arguments go to pytest.
#
# The modules are installed into build/tsan-site, ahead of the ordinary build.
# The interpreter and NumPy are not instrumented: the reports are of races in
# which our modules take part, the interpreter lock and the thread joins seen
# through the pthread calls they make. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

site=build/tsan-site
logs=build/tsan-logs

source tools/sanitized_site.sh
sanitized_site tsan thread
rm -rf "$logs"
mkdir -p "$logs"

export PYTHONPATH="$PWD/$site${PYTHONPATH:+:$PYTHONPATH}"
export TSAN_OPTIONS="log_path=$PWD/$logs/tsan:halt_on_error=0:exitcode=0:second_deadlock_stack=1"
export QUORAN_SANITIZED=1 QUORAN_TSAN=1

status=0
LD_PRELOAD="$(g++ -print-file-name=libtsan.so)" .venv/bin/python -m pytest -q \
    -p no:cacheprovider tests/test_threads.py tests/test_fieldplot.py tests/test_yeestep.py \
    -k "thread or large or depend or instruction_set or stop_rule" \
    "$@" || status=$?
reports=$(cat "$logs"/tsan.* 2>/dev/null | grep -c '^WARNING: ThreadSanitizer' || true)
if [ "$reports" != 0 ]; then
    echo "== ThreadSanitizer: $reports reports"
    cat "$logs"/tsan.* | head -n 120
    status=1
fi
exit $status
