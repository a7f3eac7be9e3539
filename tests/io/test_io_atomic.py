"""The one staged writer: groups put in place as one or not at all, never
over an input, through links, with the umask's modes, nothing left behind
on failures and signals, full disks found before they strike."""

import errno
import os
import signal
import stat
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from random_field_sampler.io import atomic
from random_field_sampler.io.atomic import OutputError, Pending, Staged
from support import alias_of


def files(folder):
    return sorted(os.listdir(folder))


def write_pair(tmp_path, a=b"new a", b=b"new b", **kw):
    """A group of two files written with the given contents."""
    staged = Staged(**kw)
    for name, data in (("a.h5", a), ("a.xdmf", b)):
        with open(staged.file(tmp_path / name), "wb") as f:
            f.write(data)
    return staged


@pytest.fixture
def old_pair(tmp_path):
    (tmp_path / "a.h5").write_bytes(b"old a")
    (tmp_path / "a.xdmf").write_bytes(b"old b")
    return tmp_path


class Stop(BaseException):
    pass


@pytest.mark.parametrize("failure", ["OSError", "KeyboardInterrupt", "signal, raising handler",
                                     "signal, quiet handler"])
def test_a_commit_broken_between_renames_keeps_the_previous_pair(old_pair, monkeypatch, failure):
    tmp_path = old_pair
    staged = write_pair(tmp_path)
    calls = []
    seen = []

    def between():
        calls.append(1)
        if len(calls) == 1:
            if failure == "OSError":
                raise OSError(errno.EIO, "Input/output error", str(tmp_path / "a.xdmf"))
            if failure == "KeyboardInterrupt":
                raise KeyboardInterrupt
            os.kill(os.getpid(), signal.SIGTERM)  # held until the renames are undone

    def handler(signum, frame):
        seen.append(signum)
        if failure == "signal, raising handler":
            raise Stop()

    monkeypatch.setattr(atomic, "_between_renames", between)
    saved = signal.signal(signal.SIGTERM, handler)
    try:
        expected = {"OSError": OutputError, "KeyboardInterrupt": KeyboardInterrupt,
                    "signal, raising handler": Stop, "signal, quiet handler": OutputError}[failure]
        with pytest.raises(expected) as e:
            staged.commit()
    finally:
        signal.signal(signal.SIGTERM, saved)
    if failure.startswith("signal"):
        assert seen == [signal.SIGTERM]
        if failure == "signal, quiet handler":
            assert "interrupted by SIGTERM; the previous files are kept" in str(e.value)
    assert (tmp_path / "a.h5").read_bytes() == b"old a"
    assert (tmp_path / "a.xdmf").read_bytes() == b"old b"
    assert files(tmp_path) == ["a.h5", "a.xdmf"]


def test_a_commit_broken_where_there_was_nothing_leaves_nothing(tmp_path, monkeypatch):
    staged = write_pair(tmp_path)
    monkeypatch.setattr(atomic, "_between_renames", lambda: (_ for _ in ()).throw(KeyboardInterrupt))
    with pytest.raises(KeyboardInterrupt):
        staged.commit()
    assert files(tmp_path) == []


def test_a_whole_commit_replaces_both_and_discard_leaves_nothing(old_pair):
    tmp_path = old_pair
    write_pair(tmp_path).commit()
    assert (tmp_path / "a.h5").read_bytes() == b"new a"
    assert (tmp_path / "a.xdmf").read_bytes() == b"new b"
    with write_pair(tmp_path, b"x", b"y"):
        pass  # leaving without commit discards
    assert files(tmp_path) == ["a.h5", "a.xdmf"] and (tmp_path / "a.h5").read_bytes() == b"new a"


SIGTERM_SCRIPT = textwrap.dedent("""
    import sys, time
    import meshio, numpy as np
    from random_field_sampler import cli
    from random_field_sampler.io import atomic
    folder = sys.argv[1]
    def pause():
        open(folder + "/renaming", "w").close()
        time.sleep(3)
    atomic._between_renames = pause
    sys.exit(cli.main([folder + "/m.vtu", "--theta-z", "1", "-k", "3", "--seed", "2", "-q",
                       "-o", folder + "/f.xdmf"]))
""")


def test_sigterm_during_the_commit_of_an_xdmf_pair_keeps_the_previous_pair(tmp_path):
    """A real process, stopped between the renames of its .h5 and .xdmf."""
    meshio = pytest.importorskip("meshio")
    pytest.importorskip("h5py")
    pts = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0.0]])
    meshio.write(tmp_path / "m.vtu", meshio.Mesh(pts, [("triangle", np.array([[0, 1, 2], [1, 3, 2]]))]))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = [sys.executable, "-c", SIGTERM_SCRIPT, str(tmp_path)]
    # the previous pair, written by a whole run
    first = subprocess.run(run[:2] + [SIGTERM_SCRIPT.replace("atomic._between_renames = pause", "")]
                           + run[3:], env=env, capture_output=True, timeout=120)
    assert first.returncode == 0, first.stderr
    before = {n: (tmp_path / n).read_bytes() for n in ("f.h5", "f.xdmf")}
    proc = subprocess.Popen(run, env=env, stderr=subprocess.PIPE)
    try:
        for _ in range(1200):
            if (tmp_path / "renaming").exists() or proc.poll() is not None:
                break
            import time
            time.sleep(0.05)
        assert (tmp_path / "renaming").exists(), proc.stderr.read() if proc.stderr else ""
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 143
    assert err.decode().count("\n") == 1 and "terminated by SIGTERM" in err.decode()
    assert {n: (tmp_path / n).read_bytes() for n in ("f.h5", "f.xdmf")} == before
    assert files(tmp_path) == ["f.h5", "f.xdmf", "m.vtu", "renaming"]


@pytest.mark.parametrize("how", ["same path", "relative path", "symbolic link", "hard link"])
def test_no_output_is_a_protected_file(tmp_path, monkeypatch, how):
    data = tmp_path / "data.h5"
    data.write_bytes(b"input data")
    out = alias_of(data, how, monkeypatch, "out.h5")
    staged = Staged({str(data): "it holds the data of the input a.xdmf"})
    with pytest.raises(OutputError, match="it holds the data of the input a.xdmf; it would be overwritten"):
        staged.file(out)
    assert data.read_bytes() == b"input data"
    assert not [n for n in files(tmp_path) if n.startswith(".")]


def test_outputs_refused_before_any_work(tmp_path):
    (tmp_path / "d").mkdir()
    (tmp_path / "f").write_text("mine")
    staged = Staged()
    with pytest.raises(OutputError, match="it is a directory"):
        staged.file(tmp_path / "d")
    with pytest.raises(OutputError, match="exists and is not a directory"):
        staged.directory(tmp_path / "f")
    staged.file(tmp_path / "x")
    with pytest.raises(OutputError, match="already an output"):
        staged.file(tmp_path / "x")
    with pytest.raises(OutputError, match="cannot write .*/missing/x"):
        staged.file(tmp_path / "missing" / "x")
    staged.discard()
    assert files(tmp_path) == ["d", "f"]


@pytest.mark.parametrize("kind", ["file", "directory"])
@pytest.mark.parametrize("exists", [True, False])
def test_links_are_written_through_into_another_folder(tmp_path, kind, exists):
    (tmp_path / "store").mkdir()
    target = tmp_path / "store" / "out"
    if exists:
        if kind == "file":
            target.write_text("old")
        else:
            target.mkdir()
            (target / "old").write_text("old")
    link = tmp_path / "link"
    link.symlink_to(target)
    staged = Staged()
    if kind == "file":
        with open(staged.file(link), "w") as f:
            f.write("new")
    else:
        temp = staged.directory(link)
        (tmp_path / "store" / os.path.basename(temp) / "new").write_text("new")
    staged.commit()
    assert link.is_symlink() and os.readlink(link) == str(target)
    if kind == "file":
        assert target.read_text() == "new"
    else:
        assert files(target) == ["new"]
    assert files(tmp_path) == ["link", "store"] and files(tmp_path / "store") == ["out"]


@pytest.mark.parametrize("mask", [0o022, 0o077, 0o002])
def test_modes_follow_the_umask_or_the_replaced_file(tmp_path, mask):
    old = os.umask(mask)
    try:
        staged = Staged()
        staged.file(tmp_path / "f")
        staged.directory(tmp_path / "d")
        staged.commit()
        assert stat.S_IMODE(os.stat(tmp_path / "f").st_mode) == 0o666 & ~mask
        assert stat.S_IMODE(os.stat(tmp_path / "d").st_mode) == 0o777 & ~mask
        os.chmod(tmp_path / "f", 0o604)
        Pending(tmp_path / "f").commit()
        assert stat.S_IMODE(os.stat(tmp_path / "f").st_mode) == 0o604
    finally:
        os.umask(old)


def test_room_is_counted_per_file_system(tmp_path, monkeypatch):
    monkeypatch.setattr(atomic, "free_space", lambda folder: (1000, f"free in {folder}"))
    atomic.check_room([(tmp_path / "a", 600), (tmp_path / "b", 400)], "two files")
    with pytest.raises(OutputError, match=r"^two files need at least 1,001 bytes .* more than the 1,000"):
        atomic.check_room([(tmp_path / "a", 600), (tmp_path / "b", 401)], "two files", at_least=True)


def test_a_full_disk_is_found_when_blocks_are_reserved(small_disk):
    staged = Staged()
    temp = staged.file(small_disk / "rows.npy", ".npy")
    with pytest.raises(OutputError, match=r"rows.npy: No space left on device \(the disk is full\)"):
        atomic.open_rows(temp, (1000, 200), str(small_disk / "rows.npy"))
    with pytest.raises(OutputError, match="the disk is full"):
        staged.scratch(small_disk / "out.xdmf", 2 << 20)
    staged.discard()
    assert files(small_disk) == []
    rows = atomic.open_rows(Staged().file(small_disk / "ok.npy", ".npy"), (10, 10))
    rows[:] = 1.0  # reserved: written without a fault
    del rows


def test_a_store_that_holds_an_input_is_not_replaced(tmp_path):
    store = tmp_path / "s.zarr"
    store.mkdir()
    (store / "nodes.csv").write_text("x,z\n0,0\n")
    with pytest.raises(OutputError, match="it holds .*nodes.csv .*it would be removed"):
        Staged([str(store / "nodes.csv")]).directory(store)
    assert files(tmp_path) == ["s.zarr"] and files(store) == ["nodes.csv"]


def test_groups_taken_into_one_commit_as_one(old_pair, monkeypatch):
    tmp_path = old_pair
    first, second = Staged(), Pending(tmp_path / "a.xdmf")
    with open(first.file(tmp_path / "a.h5"), "w") as f:
        f.write("new a")
    first.take(second)
    assert second.entries == []
    duplicate = Pending(tmp_path / "a.h5")
    with pytest.raises(OutputError, match="already an output"):
        first.take(duplicate)
    duplicate.discard()
    monkeypatch.setattr(atomic, "_between_renames", lambda: (_ for _ in ()).throw(KeyboardInterrupt))
    with pytest.raises(KeyboardInterrupt):
        first.commit()
    assert (tmp_path / "a.h5").read_bytes() == b"old a" and files(tmp_path) == ["a.h5", "a.xdmf"]
