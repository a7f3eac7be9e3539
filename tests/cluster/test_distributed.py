"""Seeded studies on dask: one local cluster of two worker processes for the
module, the same bits as the synchronous scheduler and as realisation(i, seed),
a worker killed mid-run, independent streams, and the zarr store of the
command line."""
import builtins
import pickle
import os
import signal

import numpy as np
import pytest

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
zarr = pytest.importorskip("zarr")
threadpoolctl = pytest.importorskip("threadpoolctl")

from random_field_sampler import Sampler  # noqa: E402
from random_field_sampler import cli as random_field_cli  # noqa: E402
from random_field_sampler import distributed as rfd  # noqa: E402

# Small meshes: Nchol = 45, and Nchol = 540, where OpenBLAS rounds a product
# that it runs on two threads differently from one on a single thread.
SMALL = tuple(a.ravel().copy() for a in np.meshgrid(np.arange(24) * 0.5, np.arange(10) * 0.5))
WIDE = tuple(a.ravel().copy() for a in np.meshgrid(np.arange(160) * 0.25, np.arange(60) * 0.25))
OPTIONS = dict(theta_z=1.0, theta_x=2.0, mu=3.0, sigma=2.0)


def available_fills():
    fills = ["kriging"]
    try:
        Sampler(x=SMALL[0], z=SMALL[1], fill="conditional", **OPTIONS)
        fills.append("conditional")
    except ImportError:
        fills.append(pytest.param("conditional", marks=pytest.mark.skip(
            reason="the conditional fill is not built")))
    return fills


fills = pytest.mark.parametrize("fill", available_fills())


def bits(a):
    return np.ascontiguousarray(a).view(np.uint64)


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(bits(a), bits(b))


# Under the sanitizers the extension is what is checked; worker processes
# add nothing there but minutes.
CLUSTERS = pytest.mark.skipif(bool(os.environ.get("RANDOM_FIELD_SANITIZED")),
                              reason="no clusters under the sanitizers")


@pytest.fixture(scope="module")
def client():
    if os.environ.get("RANDOM_FIELD_SANITIZED"):
        pytest.skip("no clusters under the sanitizers")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None,
                                  scheduler_kwargs={"dashboard": False, "dashboard_address": ":0"}
                                  ) as cluster, \
            distributed.Client(cluster, set_as_default=False) as c:
        yield c


@pytest.fixture(scope="module")
def samplers():
    cache = {}

    def get(mesh, fill):
        if (mesh, fill) not in cache:
            x, z = {"small": SMALL, "wide": WIDE}[mesh]
            cache[mesh, fill] = Sampler(x=x, z=z, fill=fill, **OPTIONS)
        return cache[mesh, fill]
    return get


@fills
@pytest.mark.parametrize("mesh", ["small", "wide"])
@pytest.mark.filterwarnings("ignore:Sending large graph")  # the sampler, once
def test_cluster_sync_and_realisation_give_the_same_bits(client, samplers, fill, mesh):
    s = samplers(mesh, fill)
    k, seed = 29, 20261208
    A = rfd.to_dask(s, k, chunks=(8, 5, 16), seed=seed)
    sync = A.compute(scheduler="synchronous")
    assert sync.shape == (k, s.N) and sync.dtype == np.float64
    assert same_bits(client.compute(A).result(), sync)
    # scattered beforehand, and chunked otherwise: the same rows
    B = s.to_dask(k, chunks=6, seed=seed, client=client)
    assert same_bits(client.compute(B).result(), sync)
    threads = threadpoolctl.threadpool_info()
    assert same_bits(rfd.to_dask(s, k, seed=np.random.SeedSequence(seed)).compute(
        scheduler="threads"), sync)
    assert threadpoolctl.threadpool_info() == threads  # this process's BLAS as it was
    with rfd.one_blas_thread():
        for i in range(k):
            assert same_bits(s.realisation(i, seed), sync[i])
        assert same_bits(s.draw(k, seed=seed), sync)


def test_the_sampler_travels_once_and_tasks_are_small(client, samplers):
    s = samplers("wide", "kriging")
    A = rfd.to_dask(s, 64, chunks=8, seed=1)
    graph = dict(A.__dask_graph__())
    assert sum(isinstance(v, Sampler) for v in graph.values()) == 1
    sizes = rfd.task_bytes(A)
    assert len(sizes) == 8 and max(sizes) < 1024 < rfd.sampler_bytes(s) // 1000
    # and a progress callback of the build, which does not pickle, stays behind
    t = Sampler(x=SMALL[0], z=SMALL[1], progress=lambda *a: None, **OPTIONS)
    expected = rfd.to_dask(t, 9, chunks=4, seed=3).compute(scheduler="synchronous")
    assert same_bits(client.compute(rfd.to_dask(t, 9, chunks=4, seed=3)).result(), expected)


class KillsItsWorker(Sampler):
    """Kills the worker process that draws its first chunk, once."""

    marker = ""

    def blocks(self, *args, **kwargs):
        try:
            distributed.get_worker()
        except ValueError:  # not on a worker
            pass
        else:
            try:
                os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
            except FileExistsError:
                pass
            else:
                os.kill(os.getpid(), signal.SIGKILL)
        return super().blocks(*args, **kwargs)


def test_a_killed_worker_changes_no_bit(client, samplers, tmp_path):
    s = KillsItsWorker(x=SMALL[0], z=SMALL[1], **OPTIONS)
    s.marker = str(tmp_path / "killed")
    A = rfd.to_dask(s, 40, chunks=8, seed=5)
    expected = rfd.to_dask(samplers("small", "kriging"), 40, chunks=8, seed=5).compute(
        scheduler="synchronous")
    assert same_bits(client.compute(A).result(timeout=120), expected)
    assert os.path.exists(s.marker)
    client.wait_for_workers(2, timeout=60)


@fills
def test_streams_of_chunks_and_seeds_are_independent(samplers, fill):
    s = samplers("wide", fill)
    a = rfd.to_dask(s, 48, chunks=8, seed=1).compute(scheduler="synchronous")
    b = rfd.to_dask(s, 16, chunks=8, seed=2).compute(scheduler="synchronous")
    rows = np.vstack([a, b])
    assert len(np.unique(bits(rows), axis=0)) == len(rows)
    # The Cholesky-node values whitened by the factor are the variates
    # themselves: independent rows have correlations of about N(0, 1 / Nchol).
    eps = np.linalg.solve(s.L_chol, (rows[:, s.chol_ind] - s.mu_chol).T).T
    n = s.Nchol
    assert abs(eps.mean()) < 5 / np.sqrt(eps.size) and abs(eps.var() - 1) < 5 * np.sqrt(2 / eps.size)
    r = np.corrcoef(eps)
    group = np.r_[np.arange(48) // 8, 6 + np.arange(16) // 8]
    different = group[:, None] != group[None, :]
    pairs = r[np.triu(different, 1)]
    assert np.abs(pairs).max() < 5.5 / np.sqrt(n)
    assert abs(np.mean(pairs**2) * n - 1) < 6 * np.sqrt(2 / len(pairs))


@pytest.mark.parametrize("k, chunks", [(16, 0), (17, (8, 8)), (16, (10, 0, 6)), (16, "big"), (-1, 4)])
def test_chunks_that_do_not_cover_the_study_are_refused(samplers, k, chunks):
    with pytest.raises(ValueError):
        rfd.to_dask(samplers("small", "kriging"), k, chunks=chunks, seed=1)


@pytest.mark.parametrize("seed", [np.random.default_rng(1), 1.5, True])
def test_a_study_is_named_by_a_seed_not_a_generator(samplers, seed):
    with pytest.raises(TypeError):
        rfd.to_dask(samplers("small", "kriging"), 4, seed=seed)


def test_no_realisations(samplers):
    s = samplers("small", "kriging")
    assert rfd.to_dask(s, 0, seed=1).compute().shape == (0, s.N)


# ---------------------------------------------------------------------------
# The zarr store


@pytest.fixture
def mesh_csv(tmp_path):
    path = tmp_path / "mesh.csv"
    path.write_text("x,z\n" + "".join(f"{float(a)!r},{float(b)!r}\n" for a, b in zip(*SMALL)))
    return path


def cli(*argv):
    return random_field_cli.main([str(a) for a in argv])


@fills
def test_the_command_line_store_reads_back_the_study(client, samplers, tmp_path, mesh_csv, fill):
    out = tmp_path / "fields.zarr"
    args = [mesh_csv, "--theta-z", 1, "--theta-x", 2, "--mean", 3, "--sd", 2, "-k", 21,
            "--seed", 77, "--chunk-rows", 8, "-q", "-o", out, "--scheduler", client.scheduler.address]
    if fill != "kriging":
        if "--fill" not in random_field_cli.__doc__ + open(random_field_cli.__file__).read():
            pytest.skip("the command line has no --fill yet")
        args += ["--fill", fill]
    assert cli(*args) == 0
    g = zarr.open_group(str(out), mode="r")
    expected = rfd.to_dask(samplers("small", fill), 21, seed=77).compute(scheduler="synchronous")
    assert same_bits(g["fields"][...], expected)
    assert same_bits(g["x"][...], SMALL[0]) and same_bits(g["z"][...], SMALL[1])
    attrs = rfd.read_zarr_attrs(str(out))
    assert attrs["theta_z"] == 1 and attrs["theta_x"] == 2 and attrs["fill"] == fill
    assert same_bits(samplers("small", fill).realisation(20, attrs["seed"]), expected[20])
    assert sorted(os.listdir(tmp_path)) == ["fields.zarr", "mesh.csv"]


@CLUSTERS
def test_a_lognormal_store_is_transformed_by_the_workers(client, tmp_path, mesh_csv):
    from random_field_sampler.distributions import lognormal
    out = tmp_path / "ln.zarr"
    assert cli(mesh_csv, "--theta-z", 1, "--theta-x", 2, "--distribution", "lognormal",
               "--mean", 10, "--sd", 2, "--mean-gradient", 0.5, "-k", 12, "--seed", 9,
               "--chunk-rows", 8, "-q", "-o", out, "--scheduler", client.scheduler.address) == 0
    standard = Sampler(x=SMALL[0], z=SMALL[1], theta_z=1.0, theta_x=2.0, mu=0.0, sigma=1.0)
    rows = rfd.to_dask(standard, 12, seed=9).compute(scheduler="synchronous")
    expected = lognormal(rows, 10 + 0.5 * SMALL[1], 2.0)
    got = zarr.open_array(str(out / "fields"), mode="r")[...]
    assert (got > 0).all() and same_bits(got, expected)
    assert rfd.read_zarr_attrs(str(out))["distribution"] == "lognormal"


@CLUSTERS
def test_the_command_line_starts_a_local_cluster(tmp_path, mesh_csv, samplers):
    out = tmp_path / "f.zarr"
    assert cli(mesh_csv, "--theta-z", 1, "--theta-x", 2, "--mean", 3, "--sd", 2, "-k", 9,
               "--chunk-rows", 4, "-q", "-o", out) == 0
    attrs = rfd.read_zarr_attrs(str(out))  # fresh entropy, recorded
    rows = zarr.open_array(str(out / "fields"), mode="r")[...]
    with rfd.one_blas_thread():
        assert same_bits(rows[8], samplers("small", "kriging").realisation(8, attrs["seed"]))


def test_an_unreachable_scheduler_is_refused_before_any_work(tmp_path, mesh_csv, capsys,
                                                             monkeypatch):
    def no_sampler(**kwargs):
        raise AssertionError("the sampler was built")
    monkeypatch.setattr("random_field_sampler.sampler.Sampler", no_sampler)
    monkeypatch.setattr(rfd.connect.__wrapped__, "__defaults__", (None, 0.5))
    assert cli(mesh_csv, "--theta-z", 1, "-o", tmp_path / "f.zarr",
               "--scheduler", "tcp://127.0.0.1:9") == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "cannot use the scheduler at tcp://127.0.0.1:9" in err
    assert os.listdir(tmp_path) == ["mesh.csv"]


def test_sigterm_while_the_chunks_run_leaves_nothing(client, tmp_path, mesh_csv, monkeypatch,
                                                     capsys):
    real = rfd.write_zarr

    def write_zarr(*args, progress, **kwargs):
        def advance(stage, done, total):
            if done:  # a chunk is in, others are running
                os.kill(os.getpid(), signal.SIGTERM)
            progress(stage, done, total)
        return real(*args, progress=advance, **kwargs)
    monkeypatch.setattr(rfd, "write_zarr", write_zarr)
    saved = signal.signal(signal.SIGTERM, signal.SIG_DFL)  # as a shell leaves it
    try:
        assert cli(mesh_csv, "--theta-z", 1, "-k", 64, "--chunk-rows", 8, "-o", tmp_path / "f.zarr",
                   "--scheduler", client.scheduler.address) == 143
    finally:
        signal.signal(signal.SIGTERM, saved)
    assert capsys.readouterr().err == "random-field: terminated by SIGTERM\n"
    assert os.listdir(tmp_path) == ["mesh.csv"]


class FailsOnChunk(Sampler):
    def blocks(self, k, rows=None, rng=None, *, seed=None, start=0):
        if start >= 8:
            raise RuntimeError("disk on fire")
        return super().blocks(k, rows, rng, seed=seed, start=start)


@pytest.mark.parametrize("on_cluster", [False, True])
def test_a_failed_store_leaves_the_old_one_and_nothing_else(client, tmp_path, on_cluster):
    target = str(tmp_path / "f.zarr")
    good = Sampler(x=SMALL[0], z=SMALL[1], **OPTIONS)
    rfd.write_zarr(good, target, 4, seed=1)
    before = zarr.open_array(target + "/fields", mode="r")[...]
    bad = FailsOnChunk(x=SMALL[0], z=SMALL[1], **OPTIONS)
    with pytest.raises(RuntimeError, match="disk on fire"):
        rfd.write_zarr(bad, target, 24, chunks=8, seed=2, client=client if on_cluster else None)
    assert os.listdir(tmp_path) == ["f.zarr"]
    assert same_bits(zarr.open_array(target + "/fields", mode="r")[...], before)
    # a finished store replaces the old one, anything else is refused
    rfd.write_zarr(good, target, 6, seed=3)
    assert zarr.open_array(target + "/fields", mode="r").shape == (6, good.N)
    (tmp_path / "plain").write_text("mine")
    with pytest.raises(FileExistsError):
        rfd.write_zarr(good, str(tmp_path / "plain"), 2, seed=1)
    assert sorted(os.listdir(tmp_path)) == ["f.zarr", "plain"]
    mode = os.stat(target).st_mode & 0o777
    assert mode == 0o777 & ~rfd._umask()


@pytest.mark.parametrize("hidden", ["dask", "distributed", "zarr"])
@pytest.mark.parametrize("option", [[], ["--scheduler", "tcp://127.0.0.1:1"]])
def test_without_the_extra_stores_and_schedulers_are_refused(monkeypatch, capsys, tmp_path,
                                                             mesh_csv, hidden, option):
    real_import = builtins.__import__

    def hiding(name, *args, **kwargs):
        if name == hidden or name.startswith(hidden + "."):
            raise ImportError(f"No module named {name!r}")
        return real_import(name, *args, **kwargs)
    monkeypatch.setattr(builtins, "__import__", hiding)  # imported or not, as if absent
    assert cli(mesh_csv, "--theta-z", 1, "-o", tmp_path / "f.zarr", *option) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "pip install 'random_field[dask]'" in err
    assert os.listdir(tmp_path) == ["mesh.csv"]
    with pytest.raises(ImportError, match=r"random_field\[dask\]"):
        rfd.to_dask(Sampler(x=SMALL[0], z=SMALL[1], **OPTIONS), 2, seed=1)


def test_a_received_sampler_is_drawn_from_a_copy_of_its_own(samplers):
    """A sampler unpickled from frames is copied once into memory of its own
    before any row is drawn from it: the same bits, no array left on the frames."""
    s = samplers("small", "kriging")
    got = pickle.loads(pickle.dumps(s, protocol=5))
    assert rfd._foreign(got.L_chol) and not rfd._foreign(s.L_chol)
    own = rfd._own(got)
    assert own is rfd._own(got) and not rfd._foreign(own.L_chol)
    state = rfd._seed_state(rfd.study_seed(3))
    assert same_bits(rfd.draw_rows(got, state, 5, 13), s.draw(13, seed=3)[5:])
