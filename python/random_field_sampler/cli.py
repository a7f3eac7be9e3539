"""random-field: realisations of a Gaussian random field over the nodes of a mesh file.

    random-field nodes.csv --theta-z 2 --realisations 100 -o fields.npy
    random-field nodes.npy --theta-z 2 --theta-x 8 --mean 20 --sd 4 \\
        --model exponential --seed 1 -o fields.csv --plot first.png

The nodes are read from a CSV file with a header row that names the columns
x and z (other columns are ignored), from an .npy file holding an (N, 2) array
of x and z or a record array with fields x and z, or from an .npz file with
arrays x and z. The realisations are written as a K x N array of 64-bit
floats, one realisation per row: to .npy, or to CSV with one realisation per
line and every value written with 17 significant digits, so that it reads
back exactly.

The random numbers come from numpy's global generator; with --seed S the
output is what K successive get_random_field calls would return after
np.random.seed(S). Any error ends the command with one line on standard
error and a non-zero exit status (2 for a wrong command line, 1 for anything
else), and no output file is left behind: files are written under a
temporary name and renamed only when complete.

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
import csv
import math
import os
import sys
import tempfile
from typing import List, Optional, Sequence, Tuple

import numpy as np

PROG = "random-field"
MODELS = {"gaussian": 0, "exponential": 1}
POINTS = {"nodes": "nodes", "cells": "elements", "both": "nodes and element centroids"}
# Rows drawn at a time: bounded in memory, and small enough for the progress
# bar to move about 50 times over a run.
BATCH_DOUBLES = 1 << 22


class Failure(Exception):
    """An error to report in one line, with exit status 1."""


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
    ap.add_argument("-o", "--output", required=True, help="output file: .npy or .csv (K x N)")
    ap.add_argument("--theta-z", type=positive, required=True, help="correlation length along z")
    ap.add_argument("--theta-x", type=positive, help="correlation length along x (default: theta-z)")
    ap.add_argument("--mean", type=finite, default=0.0, help="mean of the field (default 0)")
    ap.add_argument("--sd", type=positive, default=1.0, help="standard deviation of the field (default 1)")
    ap.add_argument("--model", choices=sorted(MODELS), default="gaussian",
                    help="covariance model (default gaussian)")
    ap.add_argument("--dhchol", type=non_negative,
                    help="distance bound of the Cholesky nodes, in x-stretched coordinates "
                         "(default sqrt(2 pi) theta-z / 4)")
    ap.add_argument("--seed", type=seed, help="seed numpy's global generator first")
    ap.add_argument("-k", "--realisations", type=count, default=1, metavar="K",
                    help="number of realisations (default 1)")
    ap.add_argument("--plot", metavar="FILE.png", help="draw the first realisation into this picture")
    ap.add_argument("--x-column", default="x", help="name of the x column (default x)")
    ap.add_argument("--z-column", default="z", help="name of the z column (default z)")
    ap.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
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
    ap.add_argument("--depth-down", action="store_true",
                    help="--plot with z growing downward, as a depth")
    args = ap.parse_args(argv)
    from .mesh import is_mesh_path
    if not is_mesh_path(args.mesh):
        for given, option in ((args.plane is not None, "--plane"), (args.at != "nodes", "--at")):
            if given:
                ap.error(f"{option} needs a mesh file, not a node file")
    if args.layout == "nodes" and os.path.splitext(args.output)[1].lower() != ".csv":
        ap.error("--layout nodes is for CSV output")
    return args


# ---------------------------------------------------------------------------
# Reading the nodes


def read_csv(path: str, xcol: str, zcol: str) -> Tuple[np.ndarray, np.ndarray]:
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            rows = csv.reader(f)
            header = next(rows, None)
            if header is None:
                raise Failure(f"{path}: the file is empty")
            names = [h.strip() for h in header]
            cols = []
            for name in (xcol, zcol):
                if name not in names:
                    raise Failure(f"{path}: no column named {name!r} in the header "
                                  f"({', '.join(repr(n) for n in names)})")
                cols.append(names.index(name))
            values: Tuple[List[float], List[float]] = ([], [])
            for row in rows:
                if not any(cell.strip() for cell in row):
                    continue  # blank line
                line = rows.line_num
                for out, name, col in zip(values, (xcol, zcol), cols):
                    text = row[col].strip() if col < len(row) else ""
                    if not text:
                        raise Failure(f"{path}, line {line}: no {name} value: the columns "
                                      f"{xcol!r} and {zcol!r} must have the same length")
                    try:
                        v = float(text)
                    except ValueError:
                        raise Failure(f"{path}, line {line}: the {name} value {text!r} "
                                      f"is not a number") from None
                    out.append(v)
    except UnicodeDecodeError as e:
        raise Failure(f"{path}: not a text file ({e.reason})") from None
    except csv.Error as e:
        raise Failure(f"{path}: not a readable CSV file ({e})") from None
    return np.array(values[0], dtype=np.float64), np.array(values[1], dtype=np.float64)


def real_column(a, what: str, path: str) -> np.ndarray:
    a = np.asarray(a)
    if a.dtype.kind not in "iuf":
        raise Failure(f"{path}: {what} must hold real numbers, not {a.dtype}")
    return np.ascontiguousarray(a, dtype=np.float64)


def read_numpy(path: str, xcol: str, zcol: str) -> Tuple[np.ndarray, np.ndarray]:
    try:
        data = np.load(path, allow_pickle=False)
    except (ValueError, EOFError) as e:
        raise Failure(f"{path}: not a readable numpy file ({e})") from None
    if isinstance(data, np.lib.npyio.NpzFile):
        with data:
            missing = [n for n in (xcol, zcol) if n not in data.files]
            if missing:
                raise Failure(f"{path}: no array named {missing[0]!r} "
                              f"(it holds {', '.join(repr(n) for n in data.files) or 'nothing'})")
            try:
                x, z = data[xcol], data[zcol]
            except ValueError as e:
                raise Failure(f"{path}: not a readable numpy file ({e})") from None
        if x.ndim != 1 or z.ndim != 1:
            raise Failure(f"{path}: {xcol!r} and {zcol!r} must be one-dimensional, "
                          f"got shapes {x.shape} and {z.shape}")
        if len(x) != len(z):
            raise Failure(f"{path}: {xcol!r} and {zcol!r} must have the same length, "
                          f"got {len(x)} and {len(z)}")
        return real_column(x, repr(xcol), path), real_column(z, repr(zcol), path)
    if data.dtype.names is not None:
        missing = [n for n in (xcol, zcol) if n not in data.dtype.names]
        if missing:
            raise Failure(f"{path}: no field named {missing[0]!r} in the record array "
                          f"({', '.join(repr(n) for n in data.dtype.names)})")
        if data.ndim != 1:
            raise Failure(f"{path}: the record array must be one-dimensional, got shape {data.shape}")
        return real_column(data[xcol], repr(xcol), path), real_column(data[zcol], repr(zcol), path)
    if data.ndim != 2 or data.shape[1] != 2:
        raise Failure(f"{path}: expected an (N, 2) array of x and z, got shape {data.shape}")
    data = real_column(data, "the array", path)
    return data[:, 0].copy(), data[:, 1].copy()


def read_nodes(path: str, xcol: str, zcol: str) -> Tuple[np.ndarray, np.ndarray]:
    suffix = os.path.splitext(path)[1].lower()
    try:
        if suffix in (".npy", ".npz"):
            x, z = read_numpy(path, xcol, zcol)
        elif suffix in (".csv", ".txt"):
            x, z = read_csv(path, xcol, zcol)
        else:
            raise Failure(f"{path}: unknown node file type {suffix or '(none)'!r}; "
                          f"use .csv, .npy or .npz")
    except OSError as e:
        raise Failure(f"{path}: {e.strerror or e}") from None
    if len(x) == 0:
        raise Failure(f"{path}: no nodes")
    bad = ~(np.isfinite(x) & np.isfinite(z))
    if bad.any():
        raise Failure(f"{path}: node {int(np.argmax(bad))} has a coordinate that is not finite")
    return x, z


# ---------------------------------------------------------------------------
# Writing under a temporary name


class Pending:
    """A file written under a temporary name in its target's directory, then
    renamed into place by ``commit``; ``discard`` removes it. Opening it up
    front finds an unwritable path before any work is done."""

    def __init__(self, path: str):
        self.path = path
        if os.path.isdir(path):
            raise Failure(f"cannot write {path}: it is a directory")
        folder, name = os.path.split(os.path.abspath(path))
        try:
            fd, self.temp = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
        except OSError as e:
            raise Failure(f"cannot write {path}: {e.strerror or e}") from None
        os.close(fd)

    def commit(self) -> None:
        try:
            os.replace(self.temp, self.path)
        except OSError as e:
            raise Failure(f"cannot write {self.path}: {e.strerror or e}") from None

    def discard(self) -> None:
        try:
            os.unlink(self.temp)
        except FileNotFoundError:
            pass


def output_kind(path: str, mesh: bool = False) -> str:
    from .mesh import OUTPUT_SUFFIXES
    suffix = os.path.splitext(path)[1].lower()
    if mesh and suffix in OUTPUT_SUFFIXES:
        return suffix
    if suffix not in (".npy", ".csv"):
        raise Failure(f"{path}: unknown output file type {suffix or '(none)'!r}; use .npy or .csv"
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


def run(args: argparse.Namespace) -> None:
    from tqdm import tqdm

    from . import sampler as random_field_sampler

    from . import mesh as fe_mesh
    on_mesh = fe_mesh.is_mesh_path(args.mesh)
    kind = output_kind(args.output, on_mesh)
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
        mu, sigma, finish = field_parameters(args, z)
    except ValueError as e:  # the mesh's and the distribution's errors
        raise Failure(str(e)) from None

    kwargs = dict(x=x, z=z, theta_z=args.theta_z, mu=mu, sigma=sigma,
                  model=MODELS[args.model])
    if args.theta_x is not None:
        kwargs["theta_x"] = args.theta_x
    if args.dhchol is not None:
        kwargs["Dhchol"] = args.dhchol

    pending: List = []
    try:
        gathered = None
        if kind in fe_mesh.OUTPUT_SUFFIXES or args.layout == "nodes":
            try:
                gathered = fe_mesh.Gathered(
                    args.output, args.realisations, len(x), mesh=mesh if kind != ".csv" else None,
                    at=args.at, coords=(x, z), inputs=[args.mesh],
                    axis_names=mesh.axis_names() if mesh else (args.x_column, args.z_column))
            except ValueError as e:
                raise Failure(str(e)) from None
            pending.append(gathered)
        else:
            pending.append(Pending(args.output))
        if args.plot is not None:
            pending.append(Pending(args.plot))
        if args.seed is not None:
            np.random.seed(args.seed)
        try:
            sampler = random_field_sampler.Sampler(**kwargs)
        except np.linalg.LinAlgError as e:
            raise Failure(f"the covariance matrix of the Cholesky nodes cannot be factorised "
                          f"({e}); nodes closer than --dhchol?") from None

        K, N = args.realisations, len(x)
        batch = max(1, min(-(-K // 50), BATCH_DOUBLES // N))
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
        if not args.quiet:
            print(f"{PROG}: {K} realisation{'s' * (K != 1)} of {N} {POINTS[args.at]} ({sampler.Nchol} Cholesky, "
                  f"{sampler.Nkrig} kriged) written to {args.output}"
                  + (f", the first drawn in {args.plot}" if args.plot else ""))
    finally:
        for p in pending:
            p.discard()


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_args(argv)
    try:
        run(args)
    except Failure as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 1
    except MemoryError:
        print(f"{PROG}: error: not enough memory for this mesh", file=sys.stderr)
        return 1
    except OSError as e:  # a disk that fills up while writing, for instance
        print(f"{PROG}: error: {e.filename or 'output'}: {e.strerror or e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
