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
