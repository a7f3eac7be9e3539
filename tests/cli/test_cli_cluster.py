"""The command line and dask schedulers: a bounded wait for one that does
not answer, one line for an address that is not one, and the same report
for a zarr store as for a file."""

import os
import socket
import subprocess
import sys
import threading
import time

import pytest

from cli_helpers import cli, files

pytest.importorskip("distributed")
pytest.importorskip("zarr")


@pytest.fixture
def silent_server():
    """A loopback server that accepts connections and never answers."""
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    server.settimeout(0.2)
    accepted, stop = [], threading.Event()

    def serve():
        while not stop.is_set():
            try:
                accepted.append(server.accept()[0])
            except (socket.timeout, OSError):
                pass

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    yield f"tcp://127.0.0.1:{server.getsockname()[1]}", accepted
    stop.set()
    thread.join(5)
    for c in accepted:
        c.close()
    server.close()


def command(*argv):
    """The command in a child process (what it leaves on standard error at
    exit counts too), with a bound on its time."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-m", "random_field_sampler", *map(str, argv)],
                          capture_output=True, text=True, env=env, timeout=120)


@pytest.mark.parametrize("address, message", [
    ("SILENT", "no answer from tcp://127.0.0.1:"),
    ("nonsense", "not a scheduler address"),
    ("ws://[::1", "not a scheduler address"),
    ("tls://127.0.0.1:1", "tls:// needs the certificates"),
    ("tcp://127.0.0.1:1", "cannot use the scheduler at tcp://127.0.0.1:1: "),
])
def test_a_scheduler_that_cannot_be_used_is_one_line_in_bounded_time(tmp_path, mesh_csv, silent_server,
                                                                      address, message):
    if address == "SILENT":
        address = silent_server[0]
    started = time.monotonic()
    done = command(mesh_csv, "--theta-z", 1, "-o", tmp_path / "f.zarr", "--scheduler", address,
                   "--connect-timeout", 2)
    elapsed = time.monotonic() - started
    assert done.returncode == 1, done.stderr
    assert done.stderr.count("\n") == 1 and done.stderr.startswith(
        f"random-field: error: cannot use the scheduler at {address}: "), done.stderr
    assert message in done.stderr
    assert elapsed < 30
    assert files(tmp_path) == ["mesh.csv"]
    if address == silent_server[0]:
        assert silent_server[1], "the server was never reached"


def test_a_kriging_store_reports_the_variance_it_leaves_out(tmp_path, mesh_csv, capsys):
    assert cli(mesh_csv, "--theta-z", 2, "--model", "exponential", "--fill", "kriging", "-k", 8,
               "--seed", 1, "-o", tmp_path / "f.zarr") == 0
    captured = capsys.readouterr()
    assert "of the requested variance; --fill conditional gives them all of it" in captured.err
    assert "written to the store" in captured.out


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_a_scheduler_killed_while_drawing_is_one_line(tmp_path):
    """A scheduler and a worker of their own (loopback), the scheduler killed
    once the store has its first chunks."""
    import numpy as np

    x, z = (a.ravel() for a in np.meshgrid(np.arange(60.0) * 0.5, np.arange(40.0) * 0.5))
    np.save(tmp_path / "nodes.npy", np.column_stack([x, z]))
    address = f"tcp://127.0.0.1:{free_port()}"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    dask = [sys.executable, "-m", "distributed.cli.dask_scheduler"]
    scheduler = subprocess.Popen(dask + ["--host", "127.0.0.1", "--port", address.rsplit(":", 1)[1],
                                         "--no-dashboard"], env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    worker = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", address,
                               "--nthreads", "1", "--no-dashboard", "--host", "127.0.0.1"],
                              env=env, cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        proc = subprocess.Popen([sys.executable, "-m", "random_field_sampler", tmp_path / "nodes.npy",
                                 "--theta-z", "2", "-k", "20000", "--chunk-rows", "8", "-q",
                                 "-o", tmp_path / "f.zarr", "--scheduler", address,
                                 "--connect-timeout", "5"],
                                env=env, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 90
        started = False
        while not started and time.monotonic() < deadline and proc.poll() is None:
            parts = [p for p in tmp_path.iterdir() if p.name.endswith(".part")]
            started = any(len(os.listdir(p / "fields" / "c")) > 2 for p in parts
                          if (p / "fields" / "c").is_dir())
            time.sleep(0.05)
        assert started, "the store never got its first chunks"
        scheduler.kill()
        _, err = proc.communicate(timeout=120)
    finally:
        for p in (scheduler, worker):
            p.kill()
            p.wait()
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 1, err
    assert err.count("\n") == 1 and err.startswith(f"random-field: error: lost the scheduler at {address}"), err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["nodes.npy"]
