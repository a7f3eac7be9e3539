#!/usr/bin/env bash
# Checks the stub random_field-stubs/__init__.pyi against the importable module, which is either the
# installed one or a development build, and the stub of the conditional fill's kernels
# (python/random_field_sampler/_kernels.pyi) against random_field_sampler._kernels:
#   bash scripts/stubtest.sh
#   PYTHONPATH=build/NAME bash scripts/stubtest.sh
# First mypy's stubtest (names, kinds of object, the type of __test__), then a
# probe of each function's parameter names and kinds, which stubtest cannot
# see: the module's functions are built-ins without a signature.
# Exits non-zero on any mismatch. Needs mypy (the test extra).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=${PYTHON:-python3}

# PYTHONPATH entries relative to the caller's directory stay valid after the cd.
if [ -n "${PYTHONPATH:-}" ]; then
    IFS=: read -ra entries <<<"$PYTHONPATH"
    abs=()
    for e in "${entries[@]}"; do
        case $e in
            "") ;;
            /*) abs+=("$e") ;;
            *) abs+=("$PWD/$e") ;;
        esac
    done
    PYTHONPATH=$(IFS=:; echo "${abs[*]-}")
    export PYTHONPATH
fi

# Only the stubs in a directory of their own: the checkout's random_field/ source
# directory must not be taken for the module, by mypy or by the import. The
# kernels' stub sits in a stub-only random_field_sampler/ there, which the
# import passes over for the real package.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root/random_field-stubs/__init__.pyi" "$work/random_field.pyi"
mkdir "$work/random_field_sampler"
: >"$work/random_field_sampler/__init__.pyi"
cp "$root/python/random_field_sampler/_kernels.pyi" "$work/random_field_sampler/"
cd "$work"
export MYPYPATH=$work

"$py" -c 'import random_field; print("checking", random_field.__file__, "against", "'"$root"'/random_field-stubs/__init__.pyi")'
"$py" -m mypy.stubtest random_field

"$py" - <<'EOF'
import ast
import contextlib
import io
import sys

import random_field

tree = ast.parse(open("random_field.pyi").read())
errors = []
for node in tree.body:
    if not isinstance(node, ast.FunctionDef):
        continue
    name, a = node.name, node.args
    f = getattr(random_field, name)
    if a.posonlyargs or a.kwonlyargs or a.vararg:
        errors.append(f"{name}: the stub must have positional-or-keyword parameters or **kwargs only")
        continue
    params = [p.arg for p in a.args]

    def fails_binding(*args, **kwargs):
        """The binding message, or None when the arguments were bound."""
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                f(*args, **kwargs)
        except TypeError as e:
            return str(e) if str(e).startswith(f"{name}()") else None
        except Exception:
            pass
        return None

    # the number of positional parameters
    expected = f"{name}() takes exactly {len(params)} positional arguments ({len(params) + 1} given)"
    got = fails_binding(*[None] * (len(params) + 1))
    if got != expected:
        errors.append(f"{name}: {len(params)} positional parameters in the stub, runtime says {got!r}")
    if a.kwarg:  # any keyword is bound
        got = fails_binding(**{"no_such_parameter_" + name: None})
        if got is not None:
            errors.append(f"{name}: the stub takes **{a.kwarg.arg}, runtime says {got!r}")
        continue
    # the first i parameters by position, the others by keyword under the
    # stub's names: binds only if the names and their order agree
    for i in range(len(params) + 1):
        got = fails_binding(*[object()] * i, **{p: object() for p in params[i:]})
        if got is not None:
            errors.append(f"{name}{tuple(params)}, {i} by position: runtime says {got!r}")
            break
    # and the probe sees a wrong name
    if fails_binding(**{p: object() for p in params}, no_such_parameter=1) is None:
        errors.append(f"{name}: an unexpected keyword was not refused")
for e in errors:
    print("error:", e)
print(f"parameter probe: {len(errors)} error(s)")
sys.exit(1 if errors else 0)
EOF

# The kernels' functions carry text signatures, so stubtest sees their
# parameters itself.
"$py" -c 'import random_field_sampler._kernels as k; print("checking", k.__file__, "against", "'"$root"'/python/random_field_sampler/_kernels.pyi")'
"$py" -m mypy.stubtest random_field_sampler._kernels
