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

Every run is a seeded study: realisation i is drawn from its own stream,
child i of SeedSequence(S), so that row i of every output (.npy, .csv,
.vtu, .xdmf, .zarr) is Sampler(...).realisation(i, seed=S) bit for bit,
whatever the batches or the workers. --seed S chooses S; without it a fresh
seed is drawn, printed on standard error (with --quiet too) and stored with
the output: a "# seed: S" line opening a CSV (numpy.loadtxt skips it), a
field-data entry "seed" of a .vtu or .xdmf, the attribute seed_entropy of a
zarr store. An .npy file has no room for it: the printed line is its record.

Every node gets the requested variance by default (--fill conditional):
the kriged nodes (most of a mesh) are drawn from their distribution given
their nearest nodes drawn before them (--neighbours M of them). --fill
kriging gives them their kriging estimate from the Cholesky nodes, as
get_random_field does (the driver's realisations, up to rounding): they
carry less than the requested variance, and the command says so on
standard error when they carry on average less than 90 % of it.

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
# Seconds the scheduler of --scheduler has to answer, by default.
CONNECT_TIMEOUT = 30.0


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


# Seeds are stored as 64-bit signed integers (a field-data entry of a mesh
# file, an attribute of a zarr store), so they stay below 2**63.
SEED_LIMIT = 2**63


def seed(text: str) -> int:
    return integer("in 0 .. 2**63 - 1", lambda v: 0 <= v < SEED_LIMIT, text)


def fresh_seed() -> int:
    """A seed drawn from the system's entropy, for a run without --seed."""
    return int(np.random.SeedSequence().generate_state(1, np.uint64)[0] >> np.uint64(1))


INPUTS = ("a node file: .csv, .txt or .tsv with a header naming the columns x and z, .npy "
          "(an (N, 2) or (N, 3) array, or records with fields x and z) or .npz (arrays x and z); "
          "or a mesh file that meshio reads (.msh, .vtu, .vtk, .xdmf, .inp, ...; needs the mesh extra)")
OUTPUTS = ("output: .npy or .csv (K x N, a realisation per row); for a mesh input also .vtu, .vtk or "
           ".xdmf (the mesh with one array per realisation; .xdmf keeps its numbers in a .h5 beside it); "
           "or a .zarr store (needs the dask extra)")


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    ap = Parser(prog=PROG, description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("mesh", metavar="INPUT", help=INPUTS)
    ap.add_argument("-o", "--output", required=True, help=OUTPUTS)
    ap.add_argument("--theta-z", type=positive, required=True, help="correlation length along z")
    ap.add_argument("--theta-x", type=positive, help="correlation length along x (default: theta-z)")
    ap.add_argument("--mean", type=finite, default=0.0, help="mean of the field (default 0)")
    ap.add_argument("--sd", type=positive, default=1.0, help="standard deviation of the field (default 1)")
    ap.add_argument("--model", choices=sorted(MODELS), default="gaussian",
                    help="covariance model (default gaussian)")
    ap.add_argument("--dhchol", type=non_negative,
                    help="distance bound of the Cholesky nodes, in x-stretched coordinates "
                         "(default sqrt(2 pi) theta-z / 4)")
    ap.add_argument("--seed", type=seed, help="the study's seed, 0 .. 2**63 - 1: realisation i is "
                                              "Sampler(...).realisation(i, seed=SEED) in every output "
                                              "format (default: a fresh seed, printed and stored "
                                              "with the output)")
    ap.add_argument("-k", "--realisations", type=count, default=1, metavar="K",
                    help="number of realisations (default 1)")
    ap.add_argument("--plot", metavar="FILE.png", help="draw the first realisation into this picture")
    ap.add_argument("--x-column", metavar="NAME|INDEX",
                    help="node files: name of the x column (default x), or its index in an (N, 2) or "
                         "(N, 3) .npy array (default 0)")
    ap.add_argument("--z-column", metavar="NAME|INDEX",
                    help="node files: name of the z column (default z), or its index in an .npy array "
                         "(default 1)")
    ap.add_argument("-q", "--quiet", action="store_true",
                    help="no progress bar and no summary (a fresh seed is still printed)")
    ap.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    # Meshes, distributions and layouts
    ap.add_argument("--plane", choices=("xy", "xz", "yz", "auto"),
                    help="mesh files: the mesh coordinates that are the field's x and z (default: the "
                         "first two; needed for a mesh whose third coordinate is not constant; a plane "
                         "in which the elements lose area is refused), or auto: coordinates u, v in "
                         "the plane of a planar mesh (an orthonormal basis of its best-fit plane, u "
                         "along the nearest coordinate plane's first axis)")
    ap.add_argument("--allow-external-data", action="store_true",
                    help=".xdmf input: read data files outside the folder of the .xdmf file "
                         "(refused by default)")
    ap.add_argument("--at", choices=("nodes", "cells", "both"),
                    help="mesh files: values at the mesh's nodes (default), at its element centroids, "
                         "or at both (one field over nodes and centroids)")
    ap.add_argument("--layout", choices=("rows", "nodes"),
                    help="CSV output: a realisation per row (default), or a node per row with its "
                         "coordinates and a column per realisation (at most 16,382)")
    ap.add_argument("--distribution", choices=("normal", "lognormal"), default="normal",
                    help="normal (default), or lognormal of mean --mean and sd --sd: exp of a Gaussian "
                         "field of mean mu_ln = ln(mean) - sigma_ln^2/2 and sd sigma_ln = "
                         "sqrt(ln(1 + (sd/mean)^2))")
    ap.add_argument("--mean-gradient", type=finite, default=0.0, metavar="G",
                    help="the mean grows as --mean + G z (default 0)")
    ap.add_argument("--fill", choices=("kriging", "conditional"), default="conditional",
                    help="values at the kriged nodes: drawn from their conditional distribution "
                         "given their nearest nodes (default; the requested covariance), or their "
                         "kriging estimate from the Cholesky nodes (the driver's realisations, up to "
                         "rounding; the kriged nodes carry less than the requested variance)")
    ap.add_argument("--neighbours", type=count, metavar="M",
                    help="with --fill conditional, the nodes each kriged node is conditioned on "
                         "(default 60 for the gaussian model, 30 for the exponential)")
    ap.add_argument("--depth-down", action="store_true",
                    help="with --plot: z growing downward, as a depth")
    cluster_options(ap)
    args = ap.parse_args(argv)
    for problem in option_problems(args):
        ap.error(problem)
    args.at = args.at or "nodes"
    args.layout = args.layout or "rows"
    return args


def option_problems(args: argparse.Namespace) -> Iterator[str]:
    """Why an option given does nothing for this input and output: each
    option that only acts on some inputs or outputs is refused on others."""
    from .io.mesh import is_mesh_path
    suffix = output_suffix(args.output)
    zarr = suffix == ".zarr"
    for option, given in (("--scheduler", args.scheduler is not None),
                          ("--chunk-rows", args.chunk_rows is not None)):
        if given and not zarr:
            yield f"{option} is for a zarr store: give -o NAME.zarr"
    if args.connect_timeout is not None and args.scheduler is None:
        yield "--connect-timeout is for --scheduler"
    if is_mesh_path(args.mesh):
        for option, given in (("--x-column", args.x_column), ("--z-column", args.z_column)):
            if given is not None:
                yield (f"{option} is for node files (.csv, .npy, .npz); a mesh gives its "
                       f"coordinates (see --plane)")
    else:
        for option, given in (("--plane", args.plane), ("--at", args.at)):
            if given is not None:
                yield f"{option} needs a mesh file, not a node file"
    if args.allow_external_data and os.path.splitext(args.mesh)[1].lower() not in (".xdmf", ".xmf"):
        yield "--allow-external-data is for an .xdmf input, whose data lie in other files"
    if args.layout is not None and suffix != ".csv":
        yield f"--layout {args.layout} is for CSV output"
    if args.neighbours is not None and args.fill != "conditional":
        yield "--neighbours is for --fill conditional"
    if args.depth_down and args.plot is None:
        yield "--depth-down turns the picture of --plot: give --plot FILE.png"


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
    study = args.seed if args.seed is not None else fresh_seed()
    mesh = None
    try:
        if on_mesh:
            mesh = fe_mesh.read(args.mesh, args.plane, allow_external_data=args.allow_external_data)
            x, z = mesh.coordinates(args.at)
        else:
            x, z = read_nodes(args.mesh, args.x_column, args.z_column)
        check_finite_inputs(args, x)
        mu, sigma, finish = field_parameters(args, z)
    except ValueError as e:  # the mesh's and the distribution's errors
        raise Failure(str(e)) from None

    kwargs = dict(x=x, z=z, theta_z=args.theta_z, mu=mu, sigma=sigma,
                  model=MODELS[args.model], fill=args.fill)
    if args.theta_x is not None:
        kwargs["theta_x"] = args.theta_x
    if args.dhchol is not None:
        kwargs["Dhchol"] = args.dhchol
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
                    axis_names=mesh.axis_names() if mesh else (args.x_column or "x", args.z_column or "z"),
                    field_data={"seed": study}, comments=[f"seed: {study}"])
            except ValueError as e:
                raise Failure(str(e)) from None
            pending.append(gathered)
            if gathered.dropped:
                print(f"{PROG}: {gathered.note()}", file=sys.stderr)
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
            first: Optional[np.ndarray] = write_store(args, sampler, x, z, finish, study)
        else:
            first = draw_rows(args, sampler, finish, study, kind, gathered, pending[0])

        if plt is not None and fmt is not None and first is not None:
            described = (f"lognormal random field ({args.model} covariance)" if args.distribution == "lognormal"
                         else f"{args.model} random field")
            title = (f"{described}, theta_x = {args.theta_x or args.theta_z:g}, "
                     f"theta_z = {args.theta_z:g}, mean {args.mean:g}, sd {args.sd:g}, seed {study}"
                     f"\n{N} {POINTS[args.at]}: {sampler.Nchol} Cholesky, {sampler.Nkrig} kriged "
                     f"({args.fill} fill); realisation 1 of {K}")
            if mesh is not None:
                fe_mesh.plot(plt, fmt, pending[-1].temp, mesh, first, args.at, title, args.depth_down)
            else:
                plot_field(plt, fmt, pending[-1].temp, x, z, first, title, args.depth_down)
        if gathered is not None:
            try:
                gathered.finish()
            except ValueError as e:
                raise Failure(str(e)) from None
        for p in pending:
            p.commit()
        pending = []
        report(args, sampler, sigma, study, N)
    finally:
        for p in pending:
            p.discard()


def draw_rows(args: argparse.Namespace, sampler: Any, finish: Callable[[np.ndarray], np.ndarray],
              study: int, kind: str, gathered: Any, pending: Any) -> Optional[np.ndarray]:
    """Realisations 0 .. K-1 of the study seeded by `study` into the output
    that `gathered` or `pending` stages, in the batches the sampler chooses
    (whole groups of rows, as many as its memory budget allows); returns the
    first realisation."""
    from tqdm import tqdm

    K, N = args.realisations, sampler.N
    first = None
    sink = out = None
    if gathered is not None:
        out = gathered.rows
    elif kind == ".npy":
        out = np.lib.format.open_memmap(pending.temp, mode="w+", dtype=np.float64, shape=(K, N))
    else:
        sink = open(pending.temp, "w", newline="")
        sink.write(f"# seed: {study}\n")
    try:
        with tqdm(total=K, unit="realisation", disable=args.quiet or None,
                  file=sys.stderr, leave=False) as bar:
            for start, rows in sampler.blocks(K, seed=study):
                rows = finish(rows)
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
    return first


def report(args: argparse.Namespace, sampler: Any, sigma: Any, study: int, N: int) -> None:
    """What the run did, on standard error and standard output once the
    outputs are in place (a failure stays one line): the variance the
    kriging fill leaves out, a fresh seed (printed even with --quiet: it is
    what repeats the run), and the summary."""
    K = args.realisations
    if args.fill == "kriging" and sampler.Nkrig > 0 and not args.quiet:
        try:
            share, estimated = kriged_variance_share(sampler, sigma)
        except MemoryError:  # the report is not worth a failure
            share, estimated = 1.0, False
        if share < WEAK_VARIANCE:
            print(f"{PROG}: the kriged nodes ({sampler.Nkrig} of {N}) carry on average "
                  f"{'about ' if estimated else ''}{100 * share:.0f} % of the requested "
                  f"variance; --fill conditional gives them all of it", file=sys.stderr)
    if args.seed is None:
        print(f"{PROG}: seed {study} (drawn afresh; --seed {study} draws these realisations again)",
              file=sys.stderr)
    if not args.quiet:
        where = f"the store {args.output}" if output_suffix(args.output) == ".zarr" else args.output
        print(f"{PROG}: {K} realisation{'s' * (K != 1)} of {N} {POINTS[args.at]} ({sampler.Nchol} "
              f"Cholesky, {sampler.Nkrig} kriged, {args.fill} fill) written to {where}"
              + (f", the first drawn in {args.plot}" if args.plot else ""))


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
    ap.add_argument("--connect-timeout", type=positive, metavar="SECONDS",
                    help=f"with --scheduler: give up when the scheduler has not answered within "
                         f"SECONDS (default {CONNECT_TIMEOUT:g})")


def connect_timeout(args: argparse.Namespace) -> float:
    return args.connect_timeout if args.connect_timeout is not None else CONNECT_TIMEOUT


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
            with rfd.connect(args.scheduler, timeout=connect_timeout(args)):
                pass
        except (OSError, ValueError) as e:  # unreachable, or not an address
            raise Failure(f"cannot use the scheduler at {args.scheduler}: {one_line(e)}") from None


def write_store(args: argparse.Namespace, sampler, x, z, finish, study: int) -> np.ndarray:
    """Realisations 0 .. K-1 of the study seeded by `study` (recorded in the
    store) into the zarr store, chunk by chunk on the cluster, each passed
    through `finish` by its worker; returns the first realisation."""
    from tqdm import tqdm

    from . import distributed as rfd

    seed = np.random.SeedSequence(study)
    theta_x = args.theta_x if args.theta_x is not None else args.theta_z
    options = dict(theta_z=args.theta_z, theta_x=theta_x, mean=args.mean, sd=args.sd,
                   model=args.model, Dhchol=args.dhchol, distribution=args.distribution,
                   mean_gradient=args.mean_gradient, at=args.at, plane=args.plane,
                   mesh=os.path.basename(args.mesh), neighbours=args.neighbours, seed=study)
    try:
        with rfd.connect(args.scheduler, timeout=connect_timeout(args)) as client, \
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
