#!/usr/bin/env bash
# Checks that a type checker sees the installed package's own types: the
# extension's stub package and the typed companion package (py.typed), not
# Any and not "missing library stubs". Run it with the interpreter of the
# environment the package is installed in (mypy from the test extra):
#   PYTHON=/path/to/venv/bin/python bash scripts/typecheck-installed.sh
set -euo pipefail
py=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"   # away from the checkout, so only installed packages are found
cat > probe.py <<'PY'
import random_field as rf
import random_field_sampler
from random_field_sampler import Sampler

reveal_type(rf.get_COV)
reveal_type(random_field_sampler.Sampler.draw)
reveal_type(Sampler)
PY
out=$("$py" -m mypy --no-incremental --cache-dir=/dev/null probe.py 2>&1) || { echo "$out"; exit 1; }
echo "$out"
fail=0
grep -q 'Revealed type is "def (x: .*get_COV\|Revealed type is "def (x: ' <<<"$out" || { echo "error: random_field.get_COV is not typed"; fail=1; }
grep -q 'Revealed type is "def (self: random_field_sampler.sampler.Sampler' <<<"$out" || { echo "error: Sampler.draw is not typed"; fail=1; }
if grep -q '"Any"' <<<"$out"; then echo "error: a revealed type is Any"; fail=1; fi
exit $fail
