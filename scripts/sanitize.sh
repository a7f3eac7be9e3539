#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the test suite under it; any report fails the run.
#   bash scripts/sanitize.sh [pytest args...]
# Needs cmake, ninja, g++ and the test dependencies (pip install '.[test]').
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
scripts/dev-build.sh asan -DRANDOM_FIELD_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The interpreter is not instrumented, so the runtimes are preloaded. Leak
# checking is off: the interpreter itself keeps allocations alive at exit.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONPATH="$PWD/build/asan"
export RANDOM_FIELD_SANITIZED=1
exec "$py" -m pytest -q -p no:cacheprovider "$@"
