"""Seeded studies on dask: local clusters of two worker processes (of one
thread each, and of two), dask's threaded scheduler, the same bits as the
synchronous scheduler and as realisation(i, seed=seed), a worker killed
mid-run, independent streams, and the zarr store of the command line."""
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
from random_field_sampler import streams  # noqa: E402

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


def cluster_client(threads):
    if os.environ.get("RANDOM_FIELD_SANITIZED"):
        pytest.skip("no clusters under the sanitizers")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=threads, processes=True,
                                  dashboard_address=None,
                                  scheduler_kwargs={"dashboard": False, "dashboard_address": ":0"}
                                  ) as cluster, \
            distributed.Client(cluster, set_as_default=False) as c:
        yield c


@pytest.fixture(scope="module")
def client():
    yield from cluster_client(1)


@pytest.fixture(scope="module")
def client2():
    """Workers of two threads each: tasks share one received sampler."""
    yield from cluster_client(2)


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
    for i in range(k):
        assert same_bits(s.realisation(i, seed=seed), sync[i])
    assert same_bits(s.draw(k, seed=seed), sync)


@fills
@pytest.mark.filterwarnings("ignore:Sending large graph")
def test_threads_sharing_one_sampler_give_the_serial_bits(client2, samplers, fill):
    """dask's threaded scheduler (the README's example) and workers of two
    threads draw concurrently from one sampler: the rows are those of draw()."""
    s = samplers("wide", fill)
    want = s.draw(400, seed=1)
    assert same_bits(s.to_dask(400, chunks=8, seed=1).compute(), want)
    assert same_bits(s.to_dask(400, chunks=8, seed=1).compute(scheduler="threads",
                                                              num_workers=8), want)
    got = client2.compute(rfd.to_dask(s, 400, chunks=8, seed=1)).result()
    assert same_bits(got, want)


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
    s = KillsItsWorker(x=SMALL[0], z=SMALL[1], fill="kriging", **OPTIONS)
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


@pytest.mark.parametrize("seed", [np.random.default_rng(1), 1.5, True, None])
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
            "--seed", 77, "--chunk-rows", 8, "-q", "-o", out, "--scheduler", client.scheduler.address,
            "--fill", fill]
    assert cli(*args) == 0
    g = zarr.open_group(str(out), mode="r")
    expected = rfd.to_dask(samplers("small", fill), 21, seed=77).compute(scheduler="synchronous")
    assert same_bits(g["fields"][...], expected)
    assert same_bits(g["x"][...], SMALL[0]) and same_bits(g["z"][...], SMALL[1])
    attrs = rfd.read_zarr_attrs(str(out))
    assert attrs["theta_z"] == 1 and attrs["theta_x"] == 2 and attrs["fill"] == fill
    assert same_bits(samplers("small", fill).realisation(20, seed=attrs["seed"]), expected[20])
    assert sorted(os.listdir(tmp_path)) == ["fields.zarr", "mesh.csv"]


@CLUSTERS
def test_a_lognormal_store_is_transformed_by_the_workers(client, tmp_path, mesh_csv):
    from random_field_sampler.distributions import lognormal
    out = tmp_path / "ln.zarr"
    assert cli(mesh_csv, "--theta-z", 1, "--theta-x", 2, "--distribution", "lognormal",
               "--mean", 10, "--sd", 2, "--mean-gradient", 0.5, "-k", 12, "--seed", 9,
               "--chunk-rows", 8, "-q", "-o", out, "--scheduler", client.scheduler.address,
               "--fill", "conditional") == 0
    standard = Sampler(x=SMALL[0], z=SMALL[1], theta_z=1.0, theta_x=2.0, mu=0.0, sigma=1.0,
                       fill="conditional")
    rows = rfd.to_dask(standard, 12, seed=9).compute(scheduler="synchronous")
    expected = lognormal(rows, 10 + 0.5 * SMALL[1], 2.0)
    got = zarr.open_array(str(out / "fields"), mode="r")[...]
    assert (got > 0).all() and same_bits(got, expected)
    assert rfd.read_zarr_attrs(str(out))["distribution"] == "lognormal"


@CLUSTERS
def test_the_command_line_starts_a_local_cluster(tmp_path, mesh_csv, samplers):
    out = tmp_path / "f.zarr"
    assert cli(mesh_csv, "--theta-z", 1, "--theta-x", 2, "--mean", 3, "--sd", 2, "-k", 9,
               "--chunk-rows", 4, "-q", "-o", out, "--fill", "kriging") == 0
    attrs = rfd.read_zarr_attrs(str(out))  # fresh entropy, recorded
    rows = zarr.open_array(str(out / "fields"), mode="r")[...]
    assert same_bits(rows[8], samplers("small", "kriging").realisation(8, seed=attrs["seed"]))


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
    def blocks(self, k, **kwargs):
        if kwargs.get("start", 0) >= 8:
            raise RuntimeError("disk on fire")
        return super().blocks(k, **kwargs)


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
    mask = os.umask(0o022)
    os.umask(mask)
    assert os.stat(target).st_mode & 0o777 == 0o777 & ~mask


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


@fills
def test_a_received_sampler_owns_read_only_arrays(samplers, fill):
    """A sampler pickles without its progress callback, arrives with arrays
    in memory of its own, read-only, keeps its dask token, and draws the
    same bits."""
    s = Sampler(x=SMALL[0], z=SMALL[1], fill=fill, progress=lambda *a: None, **OPTIONS)
    got = pickle.loads(pickle.dumps(s, protocol=5))
    for holder in (got, got._base, got._fill):
        for name, value in vars(holder).items():
            if isinstance(value, np.ndarray):
                assert not value.flags.writeable, name
                base = value
                while isinstance(base.base, np.ndarray):
                    base = base.base
                assert base.base is None, name      # not a view of a received frame
    assert got._base.progress is None
    assert dask.base.tokenize(got) == dask.base.tokenize(s) != dask.base.tokenize(samplers("small", fill))
    state = streams.seed_state(streams.study_seed(3))
    assert same_bits(rfd.draw_rows(got, state, 5, 13), s.draw(13, seed=3)[5:])


@pytest.mark.parametrize("k, chunks, N, want", [
    (10_000, 8, 4800, (8, 4800)),            # rows limited by the dask chunks
    (10_000, 216, 4800, (216, 4800)),        # 7.9 MiB: the dask chunk
    (10_000, 1024, 4800, (128, 4800)),       # the most rows of at most 8 MiB that divide 1024
    (10_000, "auto", 4800, (216, 4800)),     # one large chunk of auto: near 8 MiB
    (100, 8, 2_000_000, (8, 131072)),         # large N: a group cut into column blocks
    (5, 5, 100, (5, 100)),                    # one chunk, fewer rows than fit
])
def test_zarr_chunks_near_the_stated_size(k, chunks, N, want):
    sizes = rfd.row_chunks(k, N, chunks)
    got = rfd._zarr_chunks(sizes, N)
    if chunks == "auto":
        assert got[1] == N and 8 * got[0] * N <= rfd.ZARR_CHUNK_BYTES and sizes[0] % got[0] == 0
        assert 8 * got[0] * N > rfd.ZARR_CHUNK_BYTES // 2
        return
    assert got == want
    assert all(s % got[0] == 0 for s in sizes[:-1])
