#!/usr/bin/env bash
# Runs the Python suite against modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer, leak checking on. Expects tools/setup.sh to have
# made .venv; arguments go to pytest.
#
# The sanitized modules are installed into build/asan-site, which PYTHONPATH
# puts ahead of the ordinary build in .venv. ASan and LeakSanitizer reports go
# to logs under build/asan-logs, the suite's standard error stream (where UBSan
# writes) to build/asan-logs/stderr; pytest's own report stays on stdout.
# Afterwards tools/sanitizer_report.py fails the run for any memory or
# undefined-behaviour error, and for any leak whose allocation passes through
# one of our modules and is not an allocation the design keeps for the life of
# the process (tools/lsan.supp).
set -euo pipefail
cd "$(dirname "$0")/.."

site=build/asan-site
logs=build/asan-logs

source tools/sanitized_site.sh
sanitized_site asan address,undefined
rm -rf "$logs"
mkdir -p "$logs"

asan_runtime=$(g++ -print-file-name=libasan.so)
# Python objects come from malloc, so overruns and use after free of objects
# the modules handle are seen too; the objects' own leaks at exit are Python's
# and are left to the report filter.
export PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/$site${PYTHONPATH:+:$PYTHONPATH}"
export ASAN_OPTIONS="detect_leaks=1:log_path=$PWD/$logs/asan:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:allocator_may_return_null=1"
export LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=1:exitcode=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export QUORAN_SANITIZED=1

status=0
# --capture=sys leaves file descriptor 2 alone, so a report written just
# before the process halts is not lost with pytest's capture files.
LD_PRELOAD="$asan_runtime" .venv/bin/python -m pytest -q -p no:cacheprovider --capture=sys \
    tests "$@" 2>"$logs/stderr" || status=$?
if [ $status != 0 ]; then
    echo "== last lines of the suite's standard error stream ($logs/stderr)"
    tail -n 30 "$logs/stderr"
fi
.venv/bin/python tools/sanitizer_report.py "$logs" || status=1
exit $status
