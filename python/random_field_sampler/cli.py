"""random-field: realisations of a Gaussian random field over the nodes of a mesh file.

    random-field nodes.csv --theta-z 2 --realisations 100 -o fields.npy
    random-field nodes.npy --theta-z 2 --theta-x 8 --mean 20 --sd 4 \\
        --model exponential --seed 1 -o fields.csv --plot first.png

The nodes are read from a CSV file with a header row that names the columns
x and z (other columns are ignored; commas, semicolons, tabs or blanks
between them), from an .npy file holding an (N, 2) array of x and z, an
(N, 3) array of points (columns 0 and 1 by default) or a record array with
fields x and z, or from an .npz file with arrays x and z. --x-column and
--z-column name other columns, or give column indices for a plain .npy
array. The realisations are written as a K x N array of 64-bit floats, one
realisation per row: to .npy, or to CSV with one realisation per line and
every value written with 17 significant digits, so that it reads back
exactly.

The random numbers come from numpy's global generator; with --seed S the
output equals, up to rounding (about 1e-14 relative), what K successive
get_random_field calls would return after np.random.seed(S), and is the
same bits at every run.

The kriged nodes (most of a mesh) take their kriging estimate from the
Cholesky nodes by default (--fill kriging): conditional means, which carry
less than the requested variance; the command says so on standard error
when they carry on average less than 90 % of it. --fill conditional draws
each kriged node from its distribution given its nearest nodes drawn before
it (--neighbours M of them), which gives every node the requested variance
and covariance; each realisation then takes one more variate per kriged
node, so the values differ from get_random_field's.

Any error ends the command with one line on standard error and a non-zero
exit status (2 for a wrong command line, 1 for anything else; 130 after
Ctrl-C, 143 after SIGTERM, 129 after SIGHUP), and no output file is left
behind: files are written under a temporary name beside their target and
renamed only when complete. The command never changes a file other than its
outputs (never its node file), never leaves one half written and never
writes a value that is not finite; new files get the mode the umask allows,
and an output that is a symbolic link is written through to its target.

Finite-element meshes (any format meshio reads: .msh, .vtu, .vtk, .inp,
.xdmf, ...; needs pip install 'random_field[mesh]') give the field at their
nodes, at their element centroids (--at cells) or at both, drawn as one
field; -o fields.vtu (.vtk, .xdmf) writes the mesh with one array per
realisation, realisation_0000, ...:

    random-field slope.msh --at cells --theta-z 2 --theta-x 8 --mean 20 --sd 4 \\
        --distribution lognormal -k 100 --seed 1 -o fields.vtu --plot first.png

--distribution lognormal draws a Gaussian field with, at every node,
    sigma_ln^2 = ln(1 + (sd/mean)^2),  mu_ln = ln(mean) - sigma_ln^2 / 2
and writes exp() of it, so that the values have mean --mean and standard
deviation --sd; the correlation lengths are those of the Gaussian field.
--mean-gradient G makes the mean --mean + G z.
"""

from __future__ import annotations

import argparse
import math
import os
import signal
import sys
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from .io.atomic import OutputError, Pending, check_room, same_file
from .io.nodes import read_nodes

PROG = "random-field"
MODELS = {"gaussian": 0, "exponential": 1}
POINTS = {"nodes": "nodes", "cells": "elements", "both": "nodes and element centroids"}
# Rows drawn at a time: bounded in memory, and small enough for the progress
# bar to move about 50 times over a run.
BATCH_DOUBLES = 1 << 22


class Failure(Exception):
    """An error to report in one line, with exit status 1."""


class Terminated(BaseException):
    """SIGTERM or SIGHUP arrived: unwind like KeyboardInterrupt, removing
    what was started, and exit with 128 + the signal's number."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def one_line(e: BaseException) -> str:
    """The first line of an exception's message, for a one-line report."""
    lines = [line.strip() for line in str(e).splitlines() if line.strip()]
    return lines[0] if lines else type(e).__name__


def version() -> str:
    try:
        from importlib.metadata import version as installed
        return installed("random_field")
    except Exception:  # a build tree: no installed distribution
        from . import __version__
        return __version__


class Parser(argparse.ArgumentParser):
    def error(self, message: str):  # one line, not the usage block
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def number(kind: str, test, text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and test(value)):
        raise argparse.ArgumentTypeError(f"must be {kind}, got {text}")
    return value


def positive(text: str) -> float:
    return number("a positive number", lambda v: v > 0.0, text)


def non_negative(text: str) -> float:
    return number("a number >= 0", lambda v: v >= 0.0, text)


def finite(text: str) -> float:
    return number("a finite number", lambda v: True, text)


def integer(kind: str, test, text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not test(value):
        raise argparse.ArgumentTypeError(f"must be {kind}, got {text}")
    return value


def count(text: str) -> int:
    return integer("at least 1", lambda v: v >= 1, text)


def seed(text: str) -> int:
    return integer("in 0 .. 2**32 - 1", lambda v: 0 <= v < 2**32, text)


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    ap = Parser(prog=PROG, description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("mesh", help="node file: .csv (columns x and z), .npy or .npz")
    ap.add_argument("-o", "--output", required=True,
                    help="output file: .npy or .csv (K x N), or a .zarr store (needs the dask extra)")
    ap.add_argument("--theta-z", type=positive, required=True, help="correlation length along z")
    ap.add_argument("--theta-x", type=positive, help="correlation length along x (default: theta-z)")
    ap.add_argument("--mean", type=finite, default=0.0, help="mean of the field (default 0)")
    ap.add_argument("--sd", type=positive, default=1.0, help="standard deviation of the field (default 1)")
    ap.add_argument("--model", choices=sorted(MODELS), default="gaussian",
                    help="covariance model (default gaussian)")
    ap.add_argument("--dhchol", type=non_negative,
                    help="distance bound of the Cholesky nodes, in x-stretched coordinates "
                         "(default sqrt(2 pi) theta-z / 4)")
    ap.add_argument("--seed", type=seed, help="seed numpy's global generator first; with -o NAME.zarr, "
                                              "the seed of the study (realisation i drawn from "
                                              "child i of SeedSequence(seed))")
    ap.add_argument("-k", "--realisations", type=count, default=1, metavar="K",
                    help="number of realisations (default 1)")
    ap.add_argument("--plot", metavar="FILE.png", help="draw the first realisation into this picture")
    ap.add_argument("--x-column", metavar="NAME|INDEX",
                    help="name of the x column (default x), or its index in an (N, 2) or "
                         "(N, 3) .npy array (default 0)")
    ap.add_argument("--z-column", metavar="NAME|INDEX",
                    help="name of the z column (default z), or its index in an .npy array "
                         "(default 1)")
    ap.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
    ap.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    # Meshes, distributions and layouts
    ap.add_argument("--plane", choices=("xy", "xz", "yz"),
                    help="the mesh coordinates that are the field's x and z (default: the first two; "
                         "needed for a mesh whose third coordinate is not constant)")
    ap.add_argument("--at", choices=("nodes", "cells", "both"), default="nodes",
                    help="values at the mesh's nodes (default), at its element centroids, or at both "
                         "(one field over nodes and centroids)")
    ap.add_argument("--layout", choices=("rows", "nodes"), default="rows",
                    help="CSV layout: a realisation per row (default), or a node per row with its "
                         "coordinates and a column per realisation (at most 16,382)")
    ap.add_argument("--distribution", choices=("normal", "lognormal"), default="normal",
                    help="normal (default), or lognormal of mean --mean and sd --sd: exp of a Gaussian "
                         "field of mean mu_ln = ln(mean) - sigma_ln^2/2 and sd sigma_ln = "
                         "sqrt(ln(1 + (sd/mean)^2))")
    ap.add_argument("--mean-gradient", type=finite, default=0.0, metavar="G",
                    help="the mean grows as --mean + G z (default 0)")
    ap.add_argument("--fill", choices=("kriging", "conditional"), default="kriging",
                    help="values at the kriged nodes: their kriging estimate from the Cholesky nodes "
                         "(default; less than the requested variance), or drawn from their "
                         "conditional distribution given their nearest nodes (the requested "
                         "covariance)")
    ap.add_argument("--neighbours", type=count, metavar="M",
                    help="with --fill conditional, the nodes each kriged node is conditioned on "
                         "(default 60 for the gaussian model, 30 for the exponential)")
    ap.add_argument("--depth-down", action="store_true",
                    help="--plot with z growing downward, as a depth")
    cluster_options(ap)
    args = ap.parse_args(argv)
    if args.scheduler is not None and output_suffix(args.output) != ".zarr":
        ap.error("--scheduler writes a zarr store: give -o NAME.zarr")
    from .io.mesh import is_mesh_path
    if not is_mesh_path(args.mesh):
        for given, option in ((args.plane is not None, "--plane"), (args.at != "nodes", "--at")):
            if given:
                ap.error(f"{option} needs a mesh file, not a node file")
    if args.layout == "nodes" and os.path.splitext(args.output)[1].lower() != ".csv":
        ap.error("--layout nodes is for CSV output")
    if args.neighbours is not None and args.fill != "conditional":
        ap.error("--neighbours is for --fill conditional")
    return args


# ---------------------------------------------------------------------------
# Reading the nodes


def refuse_clobbering(args: argparse.Namespace) -> None:
    """The outputs never replace the node file, nor each other."""
    if same_file(args.output, args.mesh):
        raise Failure(f"{args.output}: the output is the node file {args.mesh}; "
                      f"it would be overwritten")
    if args.plot is not None:
        if same_file(args.plot, args.mesh):
            raise Failure(f"{args.plot}: the picture is the node file {args.mesh}; "
                          f"it would be overwritten")
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


def output_suffix(path: str) -> str:
    return os.path.splitext(path.rstrip("/" + os.sep))[1].lower()


def output_kind(path: str, mesh: bool = False) -> str:
    from .io.mesh import OUTPUT_SUFFIXES
    suffix = output_suffix(path)
    if mesh and suffix in OUTPUT_SUFFIXES:
        return suffix
    if suffix not in (".npy", ".csv", ".zarr"):
        raise Failure(f"{path}: unknown output file type {suffix or '(none)'!r}; "
                      f"use .npy, .csv or .zarr"
                      + (f", or {', '.join(OUTPUT_SUFFIXES)} for the mesh with its fields" if mesh else ""))
    return suffix


def plot_setup(path: str):
    """matplotlib with a file-only backend, and the picture's format; refused
    before any work when either is missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise Failure("--plot needs matplotlib (pip install 'random_field[plot]')") from None
    fmt = os.path.splitext(path)[1].lower().lstrip(".")
    supported = plt.figure().canvas.get_supported_filetypes()
    plt.close("all")
    if fmt not in supported:
        raise Failure(f"{path}: unknown picture type {fmt or '(none)'!r}; use one of "
                      f"{', '.join(sorted(supported))}")
    return plt, fmt


def plot_field(plt, fmt: str, target: str, x, z, field, title: str, depth_down: bool = False) -> None:
    """The field shaded over the triangles between the nodes (Delaunay, less
    the long triangles that bridge concave parts of the mesh); nodes that
    cannot be triangulated (fewer than three, or all on one line) are drawn
    as dots instead."""
    from matplotlib.tri import Triangulation
    from mpl_toolkits.axes_grid1 import make_axes_locatable

    width = max(float(np.ptp(x)), 1e-300)
    height = max(float(np.ptp(z)), 1e-300)
    aspect = min(max(height / width, 0.15), 3.0)
    size = (9.0, 9.0 * aspect + 1.4) if aspect <= 0.7 else (6.5 / aspect + 1.8, 6.5)
    fig, ax = plt.subplots(figsize=size)
    shaded = None
    try:
        tri = Triangulation(x, z)
        a, b, c = (tri.triangles[:, i] for i in range(3))
        edges = np.maximum.reduce([np.hypot(x[a] - x[b], z[a] - z[b]),
                                   np.hypot(x[b] - x[c], z[b] - z[c]),
                                   np.hypot(x[c] - x[a], z[c] - z[a])])
        tri.set_mask(edges > 3.0 * np.median(edges))
        shaded = ax.tripcolor(tri, field, shading="gouraud", cmap="viridis")
    except (ValueError, RuntimeError):  # too few nodes, or all on one line
        shaded = ax.scatter(x, z, c=field, s=16.0, cmap="viridis")
    ax.set_aspect("equal")
    ax.set_xlabel("x")
    ax.set_ylabel("depth z" if depth_down else "z")
    if depth_down:
        ax.invert_yaxis()
    ax.set_title(title, fontsize=10)
    cax = make_axes_locatable(ax).append_axes("right", size=0.18, pad=0.15)
    fig.colorbar(shaded, cax=cax, label="field value")
    fig.savefig(target, format=fmt, dpi=150, bbox_inches="tight")
    plt.close(fig)


# ---------------------------------------------------------------------------


def field_parameters(args: argparse.Namespace, z: np.ndarray):
    """(mu, sigma, finish): the sampler's mean and sd, and what turns its
    rows into the values asked for, in place. A constant normal field is
    drawn as it is. A mean that varies (--mean-gradient) or a lognormal is
    drawn as a standard field and then scaled, shifted (and exponentiated)
    node by node: kriged values are weighted means of the Cholesky values,
    which would smooth a varying mean instead of keeping it."""
    from .distributions import gaussian_parameters, transform

    if args.distribution == "normal" and not args.mean_gradient:
        return args.mean, args.sd, lambda rows: rows
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
    mu, sigma = gaussian_parameters(args.distribution, mean, args.sd)

    def finish(rows: np.ndarray) -> np.ndarray:
        rows *= sigma
        rows += mu
        return transform(args.distribution, rows, out=rows)
    return 0.0, 1.0, finish


# Below this share of the requested variance at the kriged nodes, the
# kriging fill is reported on standard error.
WEAK_VARIANCE = 0.9
# Kriged nodes whose variance is computed for that report when there are
# more (a fixed random subset, so that the report is reproducible).
VARIANCE_SUBSET = 1000


def kriged_variance_share(sampler: Any, sigma: Any) -> Tuple[float, bool]:
    """(mean share of sigma**2 that the kriging fill gives the kriged nodes,
    whether it is an estimate from a subset of them)."""
    krig = np.asarray(sampler.krig_ind)
    s2 = np.broadcast_to(np.asarray(sigma, dtype=np.float64) ** 2, (sampler.N,))
    if len(krig) <= VARIANCE_SUBSET:
        return float(np.mean(sampler.variance[krig] / s2[krig])), False
    pick = np.sort(np.random.default_rng(0).choice(len(krig), VARIANCE_SUBSET, replace=False))
    LtW = np.transpose(sampler.L_chol) @ sampler.W[:, pick]
    v = np.einsum("ij,ij->j", LtW, LtW)
    return float(np.mean(v / s2[krig[pick]])), True


def run(args: argparse.Namespace) -> None:
    from tqdm import tqdm

    from . import sampler as random_field_sampler

    from .io import mesh as fe_mesh

    on_mesh = fe_mesh.is_mesh_path(args.mesh)
    kind = output_kind(args.output, on_mesh)
    refuse_clobbering(args)
    if kind == ".zarr":
        cluster_check(args)
    plt = fmt = None
    if args.plot is not None:
        plt, fmt = plot_setup(args.plot)
    mesh = None
    try:
        if on_mesh:
            mesh = fe_mesh.read(args.mesh, args.plane)
            x, z = mesh.coordinates(args.at)
        else:
            x, z = read_nodes(args.mesh, args.x_column, args.z_column)
        check_finite_inputs(args, x)
        mu, sigma, finish = field_parameters(args, z)
    except ValueError as e:  # the mesh's and the distribution's errors
        raise Failure(str(e)) from None

    kwargs = dict(x=x, z=z, theta_z=args.theta_z, mu=mu, sigma=sigma,
                  model=MODELS[args.model])
    if args.theta_x is not None:
        kwargs["theta_x"] = args.theta_x
    if args.dhchol is not None:
        kwargs["Dhchol"] = args.dhchol
    if args.fill != "kriging":
        kwargs["fill"] = args.fill
    if args.neighbours is not None:
        kwargs["neighbours"] = args.neighbours

    pending: List = []
    try:
        gathered = None
        if kind == ".zarr":
            pass  # the store is built by write_store
        elif kind in fe_mesh.OUTPUT_SUFFIXES or args.layout == "nodes":
            try:
                gathered = fe_mesh.Gathered(
                    args.output, args.realisations, len(x), mesh=mesh if kind != ".csv" else None,
                    at=args.at, coords=(x, z), inputs=[args.mesh],
                    axis_names=mesh.axis_names() if mesh else (args.x_column or "x", args.z_column or "z"))
            except ValueError as e:
                raise Failure(str(e)) from None
            pending.append(gathered)
        else:
            pending.append(Pending(args.output, protect=fe_mesh.protected([args.mesh]),
                                   size=8 * args.realisations * len(x)))
        if args.plot is not None:
            pending.append(Pending(args.plot, protect=fe_mesh.protected([args.mesh])))
        K, N = args.realisations, len(x)
        store = [(args.output, 8 * K * N)] if kind == ".zarr" else []
        check_room(store + [size for p in pending for size in p.sizes()],
                   f"-k {K}: {K} realisation{'s' * (K != 1)} of {N} node{'s' * (N != 1)}",
                   at_least=kind == ".csv")
        if args.seed is not None:
            np.random.seed(args.seed)
        try:
            # The build's stages (partition, covariance, factorisations,
            # cross covariance) on a bar of their own.
            with tqdm(total=1, unit="step", disable=args.quiet or None, file=sys.stderr,
                      leave=False, desc="building") as build_bar:
                def progress(stage: str, done: int, total: int) -> None:
                    build_bar.set_description(stage, refresh=False)
                    build_bar.total = max(total, 1)
                    build_bar.n = done
                    build_bar.refresh()
                sampler = random_field_sampler.Sampler(**kwargs, progress=progress)
        except np.linalg.LinAlgError as e:  # says which matrix and what to change
            raise Failure(one_line(e)) from None
        except (ValueError, TypeError) as e:  # the sampler's own checks
            raise Failure(one_line(e)) from None

        if kind == ".zarr":
            row0 = write_store(args, sampler, x, z, finish)
            if plt is not None and fmt is not None:
                plot_field(plt, fmt, pending[0].temp, x, z, row0,
                           f"{args.model} random field, theta_x = {args.theta_x or args.theta_z:g}, "
                           f"theta_z = {args.theta_z:g}, mean {args.mean:g}, sd {args.sd:g}\n"
                           f"{N} nodes: {sampler.Nchol} Cholesky, {sampler.Nkrig} kriged; "
                           f"realisation 1 of {K}")
            for p in pending:
                p.commit()
            pending = []
            if not args.quiet:
                print(f"{PROG}: {K} realisation{'s' * (K != 1)} of {N} nodes ({sampler.Nchol} "
                      f"Cholesky, {sampler.Nkrig} kriged) written to the store {args.output}")
            return
        batch = max(1, min(-(-K // 50), BATCH_DOUBLES // N))
        if sampler.large_batches:  # every batch pays a pass over the cross covariance
            batch = max(batch, sampler.batch_rows(K))
        first = None
        if gathered is not None:
            out, sink = gathered.rows, None
        elif kind == ".npy":
            out = np.lib.format.open_memmap(pending[0].temp, mode="w+", dtype=np.float64,
                                            shape=(K, N))
            sink = None
        else:
            out = None
            sink = open(pending[0].temp, "w", newline="")
        try:
            with tqdm(total=K, unit="realisation", disable=args.quiet or None,
                      file=sys.stderr, leave=False) as bar:
                for start in range(0, K, batch):
                    rows = finish(sampler.draw(min(batch, K - start)))
                    bad = ~np.isfinite(rows)
                    if bad.any():  # never written, never reported as success
                        r, c = (int(i) for i in np.argwhere(bad)[0])
                        raise Failure(f"realisation {start + r + 1} is not finite at node {c} "
                                      f"({float(rows[r, c])!r}); nothing written")
                    if first is None:
                        first = rows[0].copy()
                    if out is not None:
                        out[start:start + len(rows)] = rows
                    elif sink is not None:
                        np.savetxt(sink, rows, fmt="%.17g", delimiter=",")
                    bar.update(len(rows))
            if out is not None:
                out.flush()
        finally:
            if out is not None:
                del out
            if sink is not None:
                sink.close()

        if plt is not None and fmt is not None:
            described = (f"lognormal random field ({args.model} covariance)" if args.distribution == "lognormal"
                         else f"{args.model} random field")
            title = (f"{described}, theta_x = {args.theta_x or args.theta_z:g}, "
                     f"theta_z = {args.theta_z:g}, mean {args.mean:g}, sd {args.sd:g}"
                     + (f", seed {args.seed}" if args.seed is not None else "")
                     + f"\n{N} {POINTS[args.at]}: {sampler.Nchol} Cholesky, {sampler.Nkrig} kriged; "
                       f"realisation 1 of {K}")
            if mesh is not None and first is not None:
                fe_mesh.plot(plt, fmt, pending[1].temp, mesh, first, args.at, title, args.depth_down)
            else:
                plot_field(plt, fmt, pending[1].temp, x, z, first, title, args.depth_down)
        if gathered is not None:
            try:
                gathered.finish()
            except ValueError as e:
                raise Failure(str(e)) from None
        for p in pending:
            p.commit()
        pending = []
        # A warning, once the outputs are in place (a failure stays one line).
        if args.fill == "kriging" and sampler.Nkrig > 0 and not args.quiet:
            try:
                share, estimated = kriged_variance_share(sampler, sigma)
            except MemoryError:  # the report is not worth a failure
                share, estimated = 1.0, False
            if share < WEAK_VARIANCE:
                print(f"{PROG}: the kriged nodes ({sampler.Nkrig} of {N}) carry on average "
                      f"{'about ' if estimated else ''}{100 * share:.0f} % of the requested "
                      f"variance; --fill conditional gives them all of it", file=sys.stderr)
        if not args.quiet:
            print(f"{PROG}: {K} realisation{'s' * (K != 1)} of {N} {POINTS[args.at]} ({sampler.Nchol} Cholesky, "
                  f"{sampler.Nkrig} kriged) written to {args.output}"
                  + (f", the first drawn in {args.plot}" if args.plot else ""))
    finally:
        for p in pending:
            p.discard()


def catch_termination() -> Callable[[], None]:
    """SIGTERM and SIGHUP raise Terminated, once; the returned function puts
    the previous handlers back. A signal that the caller ignores (nohup)
    stays ignored."""
    stopping: List[int] = []

    def stop(signum, frame):
        if not stopping:  # later signals would cut the clean-up short
            stopping.append(signum)
            raise Terminated(signum)

    saved: Dict[int, Union[Callable, int, None]] = {}
    for name in ("SIGTERM", "SIGHUP"):
        signum = getattr(signal, name, None)
        if signum is None:
            continue
        try:
            if signal.getsignal(signum) == signal.SIG_DFL:
                saved[signum] = signal.signal(signum, stop)
        except ValueError:  # not the main thread: leave the handlers alone
            pass

    def restore() -> None:
        for signum, handler in saved.items():
            signal.signal(signum, handler if handler is not None else signal.SIG_DFL)

    return restore


# ---------------------------------------------------------------------------
# A zarr store, drawn on a dask cluster


def cluster_options(ap: argparse.ArgumentParser) -> None:
    ap.add_argument("--scheduler", metavar="ADDRESS",
                    help="with -o NAME.zarr: draw the chunks on the dask.distributed scheduler at "
                         "ADDRESS (e.g. tcp://host:8786), whose workers must see the output path; "
                         "default: a local cluster of this machine's cores")
    ap.add_argument("--chunk-rows", type=count, metavar="R",
                    help="with -o NAME.zarr: realisations per task (default: about 128 MiB, "
                         "a multiple of 8)")


def cluster_check(args: argparse.Namespace) -> None:
    """Refuse a store or a scheduler, before any work, without the dask extra
    or when the scheduler cannot be reached."""
    from . import distributed as rfd
    try:
        rfd.need("--scheduler" if args.scheduler else "a .zarr output")
    except rfd.MissingExtra as e:
        raise Failure(str(e)) from None
    if args.scheduler:
        try:
            with rfd.connect(args.scheduler):
                pass
        except (OSError, ValueError) as e:  # unreachable, or not an address
            raise Failure(f"cannot use the scheduler at {args.scheduler}: {one_line(e)}") from None


def write_store(args: argparse.Namespace, sampler, x, z, finish) -> np.ndarray:
    """Realisations 0 .. K-1 of the study seeded by --seed (fresh entropy,
    recorded in the store, without it) into the zarr store, chunk by chunk on
    the cluster, each passed through `finish` by its worker; returns the
    first realisation."""
    from tqdm import tqdm

    from . import distributed as rfd

    seed = np.random.SeedSequence(args.seed)
    theta_x = args.theta_x if args.theta_x is not None else args.theta_z
    options = dict(theta_z=args.theta_z, theta_x=theta_x, mean=args.mean, sd=args.sd,
                   model=args.model, Dhchol=args.dhchol, distribution=args.distribution,
                   mean_gradient=args.mean_gradient, at=args.at, plane=args.plane,
                   mesh=os.path.basename(args.mesh))
    try:
        with rfd.connect(args.scheduler) as client, \
                tqdm(total=args.realisations, unit="realisation", disable=args.quiet or None,
                     file=sys.stderr, leave=False) as bar:
            def advance(stage: str, done: int, total: int) -> None:
                bar.update(done - bar.n)
            rfd.write_zarr(sampler, args.output, args.realisations,
                           chunks=args.chunk_rows or "auto", seed=seed, x=x, z=z,
                           attrs=options, client=client, progress=advance,
                           transform=finish)
        import zarr
        return np.asarray(zarr.open_array(os.path.join(args.output, "fields"), mode="r")[0])
    except Failure:
        raise
    except FileExistsError as e:
        raise Failure(one_line(e)) from None
    except OSError as e:
        if args.scheduler and not getattr(e, "filename", None):
            raise Failure(f"cannot use the scheduler at {args.scheduler}: {one_line(e)}") from None
        raise
    except Exception as e:  # whatever a worker raised, in one line
        raise Failure(f"drawing on the cluster failed: {type(e).__name__}: {one_line(e)}") from None


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_args(argv)
    restore = catch_termination()
    try:
        run(args)
    except (Failure, OutputError) as e:
        print(f"{PROG}: error: {one_line(e)}", file=sys.stderr)
        return 1
    except MemoryError as e:  # the sampler's plan says what it needs, in one line
        print(f"{PROG}: error: {one_line(e) if str(e) else 'not enough memory for this mesh'}",
              file=sys.stderr)
        return 1
    except OSError as e:  # a disk that fills up while writing, for instance
        print(f"{PROG}: error: {e.filename or 'output'}: {e.strerror or one_line(e)}",
              file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Terminated as e:
        print(f"{PROG}: terminated by {signal.Signals(e.signum).name}", file=sys.stderr)
        return 128 + e.signum
    except Exception as e:  # a fault of this program: still one line
        print(f"{PROG}: error: {type(e).__name__}: {one_line(e)}", file=sys.stderr)
        return 1
    finally:
        restore()
    return 0


if __name__ == "__main__":
    sys.exit(main())
