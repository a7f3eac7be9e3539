"""A zarr store of the study, drawn chunk by chunk on a dask cluster: the
scheduler of --scheduler, or a local cluster of this machine's cores. The
store is written and put in place by ``distributed.write_zarr``; the seed
is one of its attributes."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from typing import Any, Iterator, List, Tuple

import numpy as np

from ...io.atomic import OutputError
from ...io.mesh import protected
from ..arguments import connect_timeout, input_files
from ..errors import Failure, one_line
from .base import Sink, Transform


@contextlib.contextmanager
def quiet_cluster_logs() -> Iterator[None]:
    """dask.distributed logs what goes wrong (a lost scheduler, a retry) on
    standard error; the command reports a failure in one line of its own."""
    import logging
    names = ["distributed"] + [n for n in logging.root.manager.loggerDict if n.startswith("distributed.")]
    saved = {n: logging.getLogger(n).level for n in names}
    for n in names:
        logging.getLogger(n).setLevel(logging.CRITICAL + 1)
    try:
        yield
    finally:
        for n, level in saved.items():
            logging.getLogger(n).setLevel(level)


def cluster_check(args: argparse.Namespace) -> None:
    """Refuse a store or a scheduler, before any work, without the dask extra
    or when the scheduler cannot be reached."""
    from ... import distributed as rfd
    try:
        rfd.need("--scheduler" if args.scheduler else "a .zarr output")
    except rfd.MissingExtra as e:
        raise Failure(str(e)) from None
    if args.scheduler:
        try:
            with quiet_cluster_logs(), rfd.connect(args.scheduler, timeout=connect_timeout(args)):
                pass
        except (OSError, ValueError) as e:  # unreachable, or not an address
            raise Failure(f"cannot use the scheduler at {args.scheduler}: {one_line(e)}") from None


def write_store(args: argparse.Namespace, sampler, x, z, finish, study: int) -> np.ndarray:
    """Realisations 0 .. K-1 of the study seeded by `study` (recorded in the
    store) into the zarr store, chunk by chunk on the cluster, each passed
    through `finish` by its worker; returns the first realisation."""
    from tqdm import tqdm

    from ... import distributed as rfd

    seed = np.random.SeedSequence(study)
    theta_x = args.theta_x if args.theta_x is not None else args.theta_z
    options = dict(theta_z=args.theta_z, theta_x=theta_x, mean=args.mean, sd=args.sd,
                   model=args.model, Dhchol=args.dhchol, distribution=args.distribution,
                   mean_gradient=args.mean_gradient, at=args.at, plane=args.plane,
                   mesh=os.path.basename(args.mesh), neighbours=args.neighbours, seed=study)
    if args.data is not None:
        options["data"] = os.path.basename(args.data)
    try:
        with quiet_cluster_logs(), rfd.connect(args.scheduler, timeout=connect_timeout(args)) as client, \
                tqdm(total=args.realisations, unit="realisation", disable=args.quiet or None,
                     file=sys.stderr, leave=False) as bar:
            def advance(stage: str, done: int, total: int) -> None:
                bar.update(done - bar.n)
            rfd.write_zarr(sampler, args.output, args.realisations,
                           chunks=args.chunk_rows or "auto", seed=seed, x=x, z=z,
                           attrs=options, client=client, progress=advance,
                           transform=finish, protect=list(protected(input_files(args))))
        import zarr
        return np.asarray(zarr.open_array(os.path.join(args.output, "fields"), mode="r")[0])
    except (Failure, OutputError):
        raise
    except FileExistsError as e:
        raise Failure(one_line(e)) from None
    except OSError as e:
        if args.scheduler and not getattr(e, "filename", None):  # the connection, not a file
            raise Failure(f"lost the scheduler at {args.scheduler} while drawing; "
                          f"nothing written") from None
        raise
    except Exception as e:  # whatever a worker raised, in one line
        if "connection-lost" in str(e) or type(e).__name__ == "CommClosedError":
            raise Failure(f"lost the scheduler at {args.scheduler or 'the local cluster'} while "
                          f"drawing; nothing written") from None
        raise Failure(f"drawing on the cluster failed: {type(e).__name__}: {one_line(e)}") from None


class ZarrSink(Sink):
    def __init__(self, args: argparse.Namespace, x: np.ndarray, z: np.ndarray):
        super().__init__(args)
        self.x, self.z = x, z

    @staticmethod
    def check(args: argparse.Namespace) -> None:
        cluster_check(args)

    def sizes(self) -> List[Tuple[str, int]]:
        return [(self.args.output, 8 * self.args.realisations * len(self.x))]

    def draw(self, sampler: Any, transform: Transform, study: int) -> np.ndarray:
        return write_store(self.args, sampler, self.x, self.z, transform, study)
