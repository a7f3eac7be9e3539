"""The README's examples run as they stand: every Python snippet as a script
of its own in an empty folder, every random-field command line through the
parser, and the example scripts the set-up names."""

import os
import re
import shlex
import subprocess
import sys
import textwrap

import pytest

from random_field_sampler.cli.arguments import parse_args
from random_field_sampler.cli.study import is_study, parse_study_args

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
README = os.path.join(ROOT, "README.md")
# The modules of each extra: a snippet that imports one is skipped without it.
EXTRAS = {"meshio": "mesh", "h5py": "mesh", "dask": "dask", "distributed": "dask", "zarr": "dask",
          "matplotlib": "plot", "gmsh": "test"}


def blocks(language):
    """(line number, text) of every fenced block of `language`, dedented (a
    block in a list item is indented)."""
    with open(README, encoding="utf-8") as f:
        text = f.read()
    found = []
    for m in re.finditer(rf"^([ \t]*)```{language}\n(.*?)^\1```", text, re.S | re.M):
        found.append((text.count("\n", 0, m.start()) + 1, textwrap.dedent(m.group(2))))
    return found


def needed(code):
    return sorted({name for name in EXTRAS if re.search(rf"^\s*(from|import) {name}\b", code, re.M)})


def child_env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


PYTHON = blocks("python")


def test_the_readme_has_python_snippets():
    assert len(PYTHON) >= 5


@pytest.mark.parametrize("line, code", PYTHON, ids=[f"line {n}" for n, _ in PYTHON])
def test_every_python_snippet_runs_as_a_script(tmp_path, line, code):
    for module in needed(code):
        pytest.importorskip(module, reason=f"needs the {EXTRAS[module]} extra")
    script = tmp_path / "snippet.py"
    script.write_text(code)
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=child_env(),
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, f"README line {line}:\n{done.stderr[-3000:]}"


def commands(program):
    """Every command line of `program` in the shell blocks, continuation
    lines joined, comments dropped."""
    found = []
    for line, code in blocks("sh"):
        for command in code.replace("\\\n", " ").splitlines():
            for part in re.split(r"&&|;|&", command.split(" #")[0]):
                words = shlex.split(part)
                if words and words[0] == program:
                    found.append((line, words[1:]))
    return found


RANDOM_FIELD = commands("random-field")


@pytest.mark.parametrize("line, argv", RANDOM_FIELD, ids=[f"line {n}" for n, _ in RANDOM_FIELD])
def test_every_command_line_is_accepted(line, argv):
    if is_study(argv):
        assert parse_study_args(argv).study.endswith(".toml"), line
        return
    args = parse_args(argv)
    assert args.output and args.theta_z > 0, line


def test_the_example_scripts_write_into_the_working_folder(tmp_path):
    """The quick-start and the slope example, as the README runs them, write
    their files where they are run and nowhere in the checkout."""
    pytest.importorskip("matplotlib")
    before = sorted(os.listdir(os.path.join(ROOT, "docs")))
    run = lambda *argv: subprocess.run([sys.executable, *map(str, argv)], cwd=tmp_path, env=child_env(),
                                       capture_output=True, text=True, timeout=600)
    done = run(os.path.join(ROOT, "examples", "quickstart.py"), "--spacing", "1")
    assert done.returncode == 0, done.stderr
    assert "conditional" in done.stdout and (tmp_path / "random_field.png").exists()
    done = run(os.path.join(ROOT, "examples", "quickstart.py"), "--spacing", "1", "--fill", "kriging",
               "--output", "both.png")
    assert done.returncode == 0, done.stderr
    assert "get_random_field" in done.stdout and (tmp_path / "both.png").exists()
    try:
        import gmsh  # noqa: F401
    except (ImportError, OSError):
        pass
    else:
        done = run(os.path.join(ROOT, "examples", "slope_mesh.py"), "slope.msh", "--size", "3")
        assert done.returncode == 0, done.stderr
        assert (tmp_path / "slope.msh").exists()
    assert sorted(os.listdir(os.path.join(ROOT, "docs"))) == before
