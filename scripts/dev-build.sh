#!/usr/bin/env bash
# Build the extension in place for development: build/<name>/random_field*.so
# Usage: scripts/dev-build.sh [name] [extra cmake args...]
#   then: PYTHONPATH=build/<name> python -m pytest
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:-dev}; shift || true
py=${PYTHON:-python3}
# The package is copied at configure time: a module moved or deleted in the
# sources must not linger in the build tree.
if [ -d "build/$name/random_field_sampler" ]; then
  find "build/$name/random_field_sampler" -name '*.py' -delete
fi
cmake -S . -B "build/$name" -G Ninja -DPython_EXECUTABLE="$(command -v "$py")" "$@" >/dev/null
cmake --build "build/$name"
