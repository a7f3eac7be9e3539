"""The run as a pipeline: the input (a node file or a mesh) and the field's
parameters, the sampler, the sink that takes the realisations (and the
picture of the first), the report."""

from __future__ import annotations

import argparse
import math
import sys
from typing import Any, List, Optional, Tuple

import numpy as np

from ..io.atomic import Pending, check_room, same_file
from ..io.nodes import read_nodes
from .arguments import MODELS, input_files, output_suffix
from .errors import PROG, Failure, one_line
from .sinks import Sink, ZarrSink, open_sink

POINTS = {"nodes": "nodes", "cells": "elements", "both": "nodes and element centroids"}


def fresh_seed() -> int:
    """A seed drawn from the system's entropy, for a run without --seed."""
    return int(np.random.SeedSequence().generate_state(1, np.uint64)[0] >> np.uint64(1))


def refuse_clobbering(args: argparse.Namespace) -> None:
    """The outputs never replace the node file or the data file, nor each
    other."""
    inputs = [("node file", args.mesh)] + ([("data file", args.data)] if args.data else [])
    for what, source in inputs:
        if same_file(args.output, source):
            raise Failure(f"{args.output}: the output is the {what} {source}; "
                          f"it would be overwritten")
        if args.plot is not None and same_file(args.plot, source):
            raise Failure(f"{args.plot}: the picture is the {what} {source}; "
                          f"it would be overwritten")
    if args.plot is not None:
        if same_file(args.plot, args.output):
            raise Failure(f"{args.plot}: the picture and the output {args.output} are one file")


def check_finite_inputs(args: argparse.Namespace, x: np.ndarray) -> None:
    """Options whose stretch of x or whose covariances leave the range of
    64-bit floats would give a field of NaN and infinities."""
    theta_x = args.theta_x if args.theta_x is not None else args.theta_z
    with np.errstate(over="ignore", invalid="ignore"):
        stretched = np.abs(x).max() * args.theta_z / theta_x
    if not np.isfinite(stretched):
        raise Failure(f"--theta-z {args.theta_z:g} with --theta-x {theta_x:g}: the stretched "
                      f"x coordinates x * theta-z / theta-x are beyond the range of 64-bit floats")
    if not math.isfinite(args.sd * args.sd):
        raise Failure(f"--sd {args.sd:g}: the covariances (up to sd * sd) are beyond the range "
                      f"of 64-bit floats")


def output_kind(path: str, mesh: bool = False) -> str:
    from ..io.mesh import OUTPUT_SUFFIXES
    suffix = output_suffix(path)
    if mesh and suffix in OUTPUT_SUFFIXES:
        return suffix
    if suffix not in (".npy", ".csv", ".zarr"):
        raise Failure(f"{path}: unknown output file type {suffix or '(none)'!r}; "
                      f"use .npy, .csv or .zarr"
                      + (f", or {', '.join(OUTPUT_SUFFIXES)} for the mesh with its fields" if mesh else ""))
    return suffix


def field_parameters(args: argparse.Namespace, z: np.ndarray):
    """(mu, sigma, finish): the sampler's mean and sd, and what turns its
    rows into the values asked for, in place. A constant normal field is
    drawn as it is. A mean that varies (--mean-gradient) or a lognormal is
    drawn as a standard field and then scaled, shifted (and exponentiated)
    node by node: kriged values are weighted means of the Cholesky values,
    which would smooth a varying mean instead of keeping it."""
    from ..transform import IDENTITY, parameters

    if args.distribution == "normal" and not args.mean_gradient:
        return args.mean, args.sd, IDENTITY
    mean = args.mean + args.mean_gradient * z if args.mean_gradient else args.mean
    if args.distribution == "lognormal":
        m = np.asarray(mean, dtype=np.float64)
        bad = ~(m > 0.0)
        if bad.any():
            i = int(np.argmax(bad)) if m.ndim else 0
            where = f" at point {i} (z = {z[i]:g})" if m.ndim else ""
            raise ValueError(f"a lognormal field needs a positive mean, and --mean"
                             + (" + --mean-gradient z" if m.ndim else "")
                             + f" is {float(m.ravel()[i]) if m.ndim else float(m):g}{where}")
    return parameters(args.distribution, mean, args.sd, standard=True)


# Below this share of the requested variance at the kriged nodes, the
# kriging fill is reported on standard error.
WEAK_VARIANCE = 0.9


# Kriged nodes whose variance is computed for that report when there are
# more (a fixed random subset, so that the report is reproducible; its mean
# is within about 0.01 of the whole's, and costs two products of Nchol^2 x
# this many).
VARIANCE_SUBSET = 250


def kriged_variance_share(sampler: Any, sigma: Any) -> Tuple[float, bool]:
    """(mean share of sigma**2 that the kriging fill gives the kriged nodes,
    whether it is an estimate from a subset of them)."""
    krig = np.asarray(sampler.krig_ind)
    s2 = np.broadcast_to(np.asarray(sigma, dtype=np.float64) ** 2, (sampler.N,))
    if len(krig) <= VARIANCE_SUBSET:
        return float(np.mean(sampler.variance[krig] / s2[krig])), False
    nodes = krig[np.sort(np.random.default_rng(0).choice(len(krig), VARIANCE_SUBSET, replace=False))]
    v = np.diag(sampler.covariance(nodes))  # a solve per node asked, not the whole of W
    return float(np.mean(v / s2[nodes])), True


def read_input(args: argparse.Namespace) -> Tuple[Any, np.ndarray, np.ndarray]:
    """(the mesh or None, x, z) of the input file."""
    from ..io import mesh as fe_mesh

    if not fe_mesh.is_mesh_path(args.mesh):
        return None, *read_nodes(args.mesh, args.x_column, args.z_column)
    mesh = fe_mesh.read(args.mesh, args.plane, allow_external_data=args.allow_external_data)
    return (mesh, *mesh.coordinates(args.at))


def read_measured(args: argparse.Namespace) -> Optional[Tuple[Any, np.ndarray, np.ndarray]]:
    """The data of --data (None without), with their values and error
    variances in the units of the field the sampler draws: through the
    inverse of what turns its rows into values, at the data's own points.
    ValueError naming the file and line of a value the distribution cannot
    take."""
    if args.data is None:
        return None
    from ..io.data import read_data

    data = read_data(args.data)
    _, _, transform = field_parameters(args, data.z)
    g, error = data.standard(transform, f"a {args.distribution} field" + (
        " (its values are positive)" if args.distribution == "lognormal" else ""))
    return data, g, error


def build_sampler(args: argparse.Namespace, x: np.ndarray, z: np.ndarray, mu: Any, sigma: Any,
                  mesh: Any = None, measured: Optional[Tuple[Any, np.ndarray, np.ndarray]] = None
                  ) -> Any:
    """The sampler, its build's stages (partition, covariance,
    factorisations, cross covariance) on a progress bar of their own; with
    --average, the sampler of the element averages."""
    from tqdm import tqdm

    from ..sampler import Sampler

    kwargs = dict(theta_z=args.theta_z, mu=mu, sigma=sigma, model=MODELS[args.model], fill=args.fill)
    if args.theta_x is not None:
        kwargs["theta_x"] = args.theta_x
    if args.angle:
        kwargs["angle"] = args.angle
    if args.dhchol is not None:
        kwargs["Dhchol"] = args.dhchol
    if args.neighbours is not None:
        kwargs["neighbours"] = args.neighbours
    if measured is not None:
        data, values, error = measured
        kwargs["data"] = (data.x, data.z, values)
        kwargs["data_error"] = error
    try:
        with tqdm(total=1, unit="step", disable=args.quiet or None, file=sys.stderr,
                  leave=False, desc="building") as bar:
            def progress(stage: str, done: int, total: int) -> None:
                bar.set_description(stage, refresh=False)
                bar.total = max(total, 1)
                bar.n = done
                bar.refresh()
            if args.average:
                from ..averages import CellAverages, Cells
                return CellAverages(cells=Cells.of_mesh(mesh), **kwargs, progress=progress)
            return Sampler(x=x, z=z, **kwargs, progress=progress)
    except np.linalg.LinAlgError as e:  # says which matrix and what to change
        raise Failure(one_line(e)) from None
    except (ValueError, TypeError) as e:  # the sampler's own checks
        raise Failure(one_line(e)) from None


def picture_format(path: str) -> str:
    """The picture's format; refused before any work without matplotlib or
    for a suffix it cannot write."""
    from .. import plotting
    try:
        return plotting.picture_format(path)
    except ImportError:
        raise Failure(f"--plot needs matplotlib ({plotting.EXTRA})") from None
    except ValueError as e:
        raise Failure(str(e)) from None


def draw_picture(args: argparse.Namespace, target: str, fmt: str, mesh: Any, x: np.ndarray,
                 z: np.ndarray, first: np.ndarray, sampler: Any, study: int, data: Any = None) -> None:
    from .. import plotting

    K, N = args.realisations, len(x)
    described = (f"lognormal random field ({args.model} covariance)" if args.distribution == "lognormal"
                 else f"{args.model} random field")
    title = (f"{described}, theta_x = {args.theta_x or args.theta_z:g}, "
             f"theta_z = {args.theta_z:g}, mean {args.mean:g}, sd {args.sd:g}, seed {study}"
             f"\n{N} {POINTS[args.at]}: {sampler.Nchol} Cholesky, {sampler.Nkrig} kriged "
             f"({args.fill} fill); realisation 1 of {K}"
             + (f", conditioned on {len(data)} data (+)" if data is not None else ""))
    if mesh is not None:
        ax = plotting.mesh_axes(mesh, first, args.at, title, args.depth_down)
    else:
        ax = plotting.field_axes(x, z, first, title, args.depth_down)
    if data is not None:
        plotting.mark_points(ax, data.x, data.z)
    plotting.save(ax, target, fmt)


def run(args: argparse.Namespace) -> None:
    from ..io import mesh as fe_mesh

    kind = output_kind(args.output, fe_mesh.is_mesh_path(args.mesh))
    refuse_clobbering(args)
    if kind == ".zarr":
        ZarrSink.check(args)
    fmt = picture_format(args.plot) if args.plot is not None else None
    study = args.seed if args.seed is not None else fresh_seed()
    try:
        mesh, x, z = read_input(args)
        measured = read_measured(args)
        check_finite_inputs(args, x if measured is None else np.concatenate([x, measured[0].x]))
        mu, sigma, transform = field_parameters(args, z)
    except ValueError as e:  # the input's and the distribution's errors
        raise Failure(str(e)) from None

    K, N = args.realisations, len(x)
    protect = fe_mesh.protected(input_files(args))
    sink: Optional[Sink] = None
    picture: Optional[Pending] = None
    try:
        sink = open_sink(args, kind, x, z, mesh, study, protect)
        if args.plot is not None:
            picture = Pending(args.plot, protect=protect)
        check_room(sink.sizes() + (picture.sizes() if picture is not None else []),
                   f"-k {K}: {K} realisation{'s' * (K != 1)} of {N} node{'s' * (N != 1)}",
                   at_least=kind == ".csv")
        sampler = build_sampler(args, x, z, mu, sigma, mesh, measured)
        first = sink.draw(sampler, transform, study)
        if picture is not None and fmt is not None:
            draw_picture(args, picture.temp, fmt, mesh, x, z, first, sampler, study,
                         None if measured is None else measured[0])
        sink.finish()
        sink.commit()
        if picture is not None:
            picture.commit()
            picture = None
        report(args, sampler, sigma, study, N, measured)
    finally:
        if sink is not None:
            sink.discard()
        if picture is not None:
            picture.discard()


# Nodes up to which the note on a conditioned field gives the exact variance
# (the conditional fill computes it from a dense N x N matrix: 128 MiB
# here); above, the share is estimated from this many realisations of a
# seed of its own.
EXACT_VARIANCE_NODES = 4096
VARIANCE_DRAWS = 16


def conditioned_note(args: argparse.Namespace, sampler: Any, sigma: Any, data: Any) -> str:
    """How many data the field is conditioned on, and what the fill leaves
    of the field's variance at the points: the share of the unconditioned
    variance, on average and at the least (exact on small meshes; on larger
    ones the average estimated from a few realisations of their own seed)."""
    n = len(data)
    head = (f"{PROG}: conditioned on {n} datum" if n == 1 else f"{PROG}: conditioned on {n} data") \
        + f" from {args.data}" + (" (with their errors)" if not data.exact else "")
    what = f"the {args.fill} fill gives the {POINTS[args.at]}"
    s2 = np.broadcast_to(np.asarray(sigma, dtype=np.float64) ** 2, (sampler.N,))
    try:
        if sampler.N <= EXACT_VARIANCE_NODES:
            share = np.asarray(sampler.variance, dtype=np.float64) / s2
            return (f"{head}: {what} {100 * float(np.mean(share)):.0f} % of the unconditioned "
                    f"variance on average, {100 * float(np.min(share)):.0f} % at the least")
        total = np.zeros(sampler.N)
        mean = np.asarray(sampler.mean, dtype=np.float64)
        for _, rows in sampler.blocks(VARIANCE_DRAWS, seed=np.random.SeedSequence(0)):
            total += np.sum((rows - mean) ** 2, axis=0)
    except MemoryError:  # the note is not worth a failure
        return head
    share = total / VARIANCE_DRAWS / s2
    return (f"{head}: {what} about {100 * float(np.mean(share)):.0f} % of the unconditioned "
            f"variance on average (estimated from {VARIANCE_DRAWS} realisations)")


def report(args: argparse.Namespace, sampler: Any, sigma: Any, study: int, N: int,
           measured: Optional[Tuple[Any, np.ndarray, np.ndarray]] = None) -> None:
    """What the run did, on standard error and standard output once the
    outputs are in place (a failure stays one line): the variance the
    kriging fill leaves out, a fresh seed (printed even with --quiet: it is
    what repeats the run), what the data leave of the variance, and the
    summary."""
    K = args.realisations
    if measured is not None and not args.quiet:
        print(conditioned_note(args, sampler, sigma, measured[0]), file=sys.stderr)
    if args.fill == "kriging" and sampler.Nkrig > 0 and not args.quiet and measured is None:
        # element averages: the share at the points they average
        points, s, n = (sampler.points, 1.0, sampler.n_points) if args.average else (sampler, sigma, N)
        try:
            share, estimated = kriged_variance_share(points, s)
        except MemoryError:  # the report is not worth a failure
            share, estimated = 1.0, False
        if share < WEAK_VARIANCE:
            print(f"{PROG}: the kriged nodes ({sampler.Nkrig} of {n}"
                  f"{' points averaged' if args.average else ''}) carry on average "
                  f"{'about ' if estimated else ''}{100 * share:.0f} % of the requested "
                  f"variance; --fill conditional gives them all of it", file=sys.stderr)
    if args.seed is None:
        print(f"{PROG}: seed {study} (drawn afresh; --seed {study} draws these realisations again)",
              file=sys.stderr)
    if not args.quiet:
        where = f"the store {args.output}" if output_suffix(args.output) == ".zarr" else args.output
        what = "element averages" if args.average else POINTS[args.at]
        print(f"{PROG}: {K} realisation{'s' * (K != 1)} of {N} {what} ({sampler.Nchol} "
              f"Cholesky, {sampler.Nkrig} kriged, {args.fill} fill) written to {where}"
              + (f", the first drawn in {args.plot}" if args.plot else ""))
