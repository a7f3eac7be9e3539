"""Failures, interrupts and signals while the command draws: one line, the
right exit status, and nothing left behind."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from random_field_sampler import Sampler

from cli_helpers import cli, files, run_ok


@pytest.mark.parametrize("failure, status", [(KeyboardInterrupt, 130), (MemoryError, 1)])
@pytest.mark.parametrize("suffix", [".npy", ".csv"])
def test_a_failure_while_drawing_leaves_no_partial_file(tmp_path, mesh_csv, batches, capsys,
                                                        failure, status, suffix):
    def fail(n, block):
        if n == 3:
            raise failure()
    calls = batches(8, fail)
    before = files(tmp_path)
    assert cli(mesh_csv, "--theta-z", 2, "-k", 200, "-o", tmp_path / f"out{suffix}",
               "--plot", tmp_path / "p.png") == status
    assert len(calls) == 3
    assert files(tmp_path) == before
    assert capsys.readouterr().err.startswith("random-field: ")


@pytest.mark.parametrize("signum, status", [(signal.SIGTERM, 143), (signal.SIGHUP, 129)])
def test_sigterm_removes_what_was_started(tmp_path, mesh_csv, batches, capsys, signum, status):
    def kill(n, block):
        if n == 2:
            os.kill(os.getpid(), signum)
    calls = batches(8, kill)
    saved = signal.signal(signum, signal.SIG_DFL)  # as a shell leaves it
    try:
        assert cli(mesh_csv, "--theta-z", 2, "-k", 200, "-o", tmp_path / "f.npy",
                   "--plot", tmp_path / "p.png") == status
        assert signal.getsignal(signum) == signal.SIG_DFL  # put back for the caller
    finally:
        signal.signal(signum, saved)
    assert len(calls) == 2
    assert capsys.readouterr().err == f"random-field: terminated by {signal.Signals(signum).name}\n"
    assert files(tmp_path) == ["mesh.csv"]


def test_an_ignored_sigterm_stays_ignored(tmp_path, mesh_csv, batches):
    old = signal.signal(signal.SIGTERM, signal.SIG_IGN)
    try:
        batches(8, lambda n, block: os.kill(os.getpid(), signal.SIGTERM))
        run_ok(mesh_csv, "--theta-z", 2, "-k", 20, "-o", tmp_path / "f.npy")
        assert signal.getsignal(signal.SIGTERM) == signal.SIG_IGN
    finally:
        signal.signal(signal.SIGTERM, old)


def test_sigterm_to_the_running_command(tmp_path):
    """A real process, stopped while its output is half written."""
    x, z = (a.ravel() for a in np.meshgrid(np.arange(60.0), np.arange(40.0)))
    np.save(tmp_path / "mesh.npy", np.column_stack([x, z]))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([sys.executable, "-m", "random_field_sampler", tmp_path / "mesh.npy",
                             "--theta-z", "3", "-k", "100000", "-q", "-o", tmp_path / "f.csv"],
                            stderr=subprocess.PIPE, text=True, env=env)
    try:
        deadline = time.monotonic() + 60
        part = []
        while not part and time.monotonic() < deadline and proc.poll() is None:
            part = [p for p in tmp_path.iterdir() if p.name.endswith(".part") and p.stat().st_size]
            time.sleep(0.02)
        assert part, "the command never started writing"
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 143, err
    assert err == "random-field: terminated by SIGTERM\n"
    assert files(tmp_path) == ["mesh.npy"]


@pytest.mark.parametrize("suffix", [".npy", ".csv"])
def test_a_value_that_is_not_finite_is_never_written(tmp_path, mesh_csv, batches, capsys, suffix):
    def spoil(n, block):
        if n == 3:
            block[-1, 5] = np.inf
    calls = batches(8, spoil)
    assert cli(mesh_csv, "--theta-z", 2, "-k", 200, "-o", tmp_path / f"f{suffix}") == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and f"realisation {sum(calls)} is not finite at node 5 (inf)" in err
    assert files(tmp_path) == ["mesh.csv"]


@pytest.mark.parametrize("failure", [RuntimeError("one\ntwo"), ValueError("bad value")])
def test_unexpected_errors_are_one_line(tmp_path, mesh_csv, monkeypatch, capsys, failure):
    def broken(self, k, **kwargs):
        raise failure
    monkeypatch.setattr(Sampler, "blocks", broken)
    assert cli(mesh_csv, "--theta-z", 2, "-o", tmp_path / "f.npy") == 1
    err = capsys.readouterr().err
    assert err == f"random-field: error: {type(failure).__name__}: {str(failure).splitlines()[0]}\n"
    assert files(tmp_path) == ["mesh.csv"]
