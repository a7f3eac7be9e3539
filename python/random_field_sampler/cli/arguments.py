"""random-field: realisations of a Gaussian random field over the nodes of a mesh file.

    random-field nodes.csv --theta-z 2 --realisations 100 -o fields.npy
    random-field nodes.npy --theta-z 2 --theta-x 8 --mean 20 --sd 4 \
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

    random-field slope.msh --at cells --theta-z 2 --theta-x 8 --mean 20 --sd 4 \
        --distribution lognormal -k 100 --seed 1 -o fields.vtu --plot first.png

With --at cells --average each element's value is the average of the
Gaussian field over the element (triangles and quadrilaterals of any order,
by their corners), then transformed: the local averages of random finite
elements, whose variance falls as the element grows.

--data cpt.csv conditions the field on measured values: a table with
columns x, z, value and optionally error (the variance of the measurement
error, in the values' units squared; without it every value is honoured
exactly), read with the node files' rules. The realisations are drawn from
the field given the data: they pass through the measured values (up to the
error), vary less near them and keep the field's statistics far from them.
Values are in the field's own units; a lognormal field's data must be
positive. Points outside the nodes' extent are used too; a point measured
twice without error as two values is refused. The data file is an input:
no output may replace it.

A site of several regions or properties is a study file (TOML), run as
random-field STUDY.toml [-o OUTPUT] [-k K] [--seed S] (see
random-field STUDY.toml --help): the options above are for one field.

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
from typing import Iterator, List, Optional, Sequence

from .errors import PROG

MODELS = {"gaussian": 0, "exponential": 1}


# Seconds the scheduler of --scheduler has to answer, by default.
CONNECT_TIMEOUT = 30.0


def version() -> str:
    try:
        from importlib.metadata import version as installed
        return installed("random_field")
    except Exception:  # a build tree: no installed distribution
        from .. import __version__
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
    ap.add_argument("--angle", type=finite, default=0.0, metavar="DEG",
                    help="inclined bedding: the direction of theta-x, in degrees anticlockwise "
                         "from the x axis (default 0)")
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
    ap.add_argument("--average", action="store_true",
                    help="with --at cells: each element's value is the average of the field over the "
                         "element (the local average of random finite elements), not its value at "
                         "the centroid; a transformed field is averaged, then transformed")
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
    ap.add_argument("--data", metavar="FILE.csv",
                    help="condition the field on measured values: a table with columns x, z, value "
                         "and optionally error (the variance of the measurement error; 0 honours "
                         "the value exactly), in the field's coordinates and the values' own units, "
                         "read like a node file (or an .npz of arrays x, z, value, error)")
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
    from ..io.mesh import is_mesh_path
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
    if args.average and args.at != "cells":
        yield "--average is for --at cells: the elements' values as their averages"
    if args.data is not None and args.fill != "conditional":
        yield "--data conditions the conditional fill: --fill kriging does not take data"
    if args.data is not None and args.average:
        yield "--data conditions the field's point values, not the elements' averages of --average"


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


def input_files(args: argparse.Namespace) -> List[str]:
    """The files the run reads, that no output may replace: the node file
    or mesh, and the data file."""
    return [args.mesh] + ([args.data] if args.data is not None else [])


def output_suffix(path: str) -> str:
    return os.path.splitext(path.rstrip("/" + os.sep))[1].lower()


def connect_timeout(args: argparse.Namespace) -> float:
    return args.connect_timeout if args.connect_timeout is not None else CONNECT_TIMEOUT
