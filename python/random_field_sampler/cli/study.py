"""random-field STUDY.toml: the realisations of a study file (regions,
properties and their correlations on a mesh; see
``random_field_sampler.studyfile``).

    random-field study.toml                     # the file's output
    random-field study.toml -o out.xdmf -k 50 --seed 3

-o, -k/--realisations and --seed override the file's output, realisations
and seed. Outputs: .vtu or .vtk (one array per property and realisation,
cohesion_0000, ...), .xdmf (a time series with one array per property),
.npz (one (K, N) array per property), .zarr (a store with a group per
property, its array fields (K, N); needs the dask extra). The seed is printed when drawn
afresh, and stored as field data of a mesh output.

A property conditioned on measured values (data = "cpt.csv" in its table)
is named on standard error with its number of data; the data files are
inputs, which no output may replace.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Dict, List, Optional, Sequence

import numpy as np

from ..io.atomic import OutputError, Pending, same_file
from .arguments import Parser, count, seed
from .errors import PROG, Failure, one_line

SUFFIXES = (".vtu", ".vtk", ".xdmf", ".xmf", ".npz", ".zarr")


def is_study(argv: Sequence[str]) -> bool:
    """Whether the command line names a study file (its input ends in .toml)."""
    inputs = [a for a in argv if not a.startswith("-")]
    return bool(inputs) and inputs[0].lower().endswith(".toml")


def parse_study_args(argv: Sequence[str]) -> argparse.Namespace:
    ap = Parser(prog=PROG, description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("study", metavar="STUDY.toml", help="the study file")
    ap.add_argument("-o", "--output", help=f"the output ({', '.join(SUFFIXES)}); default: the "
                                           f"file's output")
    ap.add_argument("-k", "--realisations", type=count, metavar="K",
                    help="number of realisations (default: the file's)")
    ap.add_argument("--seed", type=seed, help="the study's seed (default: the file's, or a fresh one)")
    ap.add_argument("-q", "--quiet", action="store_true", help="no summary")
    return ap.parse_args(list(argv))


def run_study(args: argparse.Namespace) -> None:
    from ..io import mesh as fe
    from .._checks import check_finite
    from ..study import Study
    from ..studyfile import StudyFileError, read_study_file

    try:
        sf = read_study_file(args.study)
    except StudyFileError as e:
        raise Failure(str(e)) from None
    output = args.output or sf.output
    if output is None:
        raise Failure(f"{args.study}: no output: give -o FILE or output = \"FILE\" in the file")
    suffix = os.path.splitext(output.rstrip("/" + os.sep))[1].lower()
    if suffix not in SUFFIXES:
        raise Failure(f"{output}: a study is written as {', '.join(SUFFIXES)}, "
                      f"not {suffix or '(no suffix)'!r}")
    if same_file(output, args.study):
        raise Failure(f"cannot write {output}: it is the study file; it would be overwritten")
    for source in sf.data_files:
        if same_file(output, source):
            raise Failure(f"cannot write {output}: it is the data file {source}; "
                          f"it would be overwritten")
    K = args.realisations or sf.realisations
    study_seed = args.seed if args.seed is not None else sf.seed
    fresh = study_seed is None
    if study_seed is None:
        from .run import fresh_seed
        study_seed = fresh_seed()
    if suffix == ".zarr":
        from .. import distributed as rfd
        try:
            rfd.need("a .zarr output")
        except rfd.MissingExtra as e:
            raise Failure(str(e)) from None
    if not os.path.exists(sf.mesh):
        raise Failure(f"{args.study}: mesh: no file {sf.mesh}")
    try:
        mesh = fe.read(sf.mesh, sf.plane)
    except (ValueError, OSError) as e:
        raise Failure(one_line(e)) from None
    protect = fe.protected([sf.mesh])
    protect[args.study] = "it is the study file"
    for source in sf.data_files:
        protect[source] = "it is a data file of the study"
    pending: Optional[Pending] = None
    try:
        if suffix == ".npz":
            pending = Pending(output, suffix=".npz", protect=protect)
        elif suffix != ".zarr":
            fe.check_output(output, [sf.mesh, args.study] + sf.data_files)
        try:
            study = Study.on_mesh(mesh, sf.regions, at=sf.at, default=sf.default,
                                  average=sf.average)
        except (ValueError, TypeError) as e:
            raise Failure(f"{args.study}: {one_line(e)}") from None
        except np.linalg.LinAlgError as e:
            raise Failure(one_line(e)) from None
        names: List[str] = list(study.names)
        values: Dict[str, np.ndarray] = {}
        if suffix == ".zarr":
            x, z = mesh.coordinates(sf.at)
            try:
                study.write_zarr(output, K, seed=np.random.SeedSequence(study_seed), x=x, z=z,
                                 attrs={"seed": study_seed, "at": sf.at,
                                        "mesh": os.path.basename(sf.mesh)},
                                 protect=list(protect))
            except (FileExistsError, FloatingPointError) as e:
                raise Failure(one_line(e)) from None
        else:
            values = study.draw(K, seed=study_seed)
            try:
                check_finite(values)
            except FloatingPointError as e:
                raise Failure(f"{e}; nothing written") from None
        if pending is not None:
            with open(pending.temp, "wb") as f:
                np.savez(f, **values)  # type: ignore[arg-type]
            pending.commit()
            pending = None
        elif suffix != ".zarr":
            fe.write(output, mesh, np.concatenate([values[n] for n in names]), sf.at,
                     field_data={"seed": study_seed}, properties=names)
    except (fe.MeshError, OutputError) as e:
        raise Failure(one_line(e)) from None
    finally:
        if pending is not None:
            pending.discard()
    if fresh:
        print(f"{PROG}: seed {study_seed} (drawn afresh; --seed {study_seed} draws these "
              f"realisations again)", file=sys.stderr)
    if not args.quiet:
        print(f"{PROG}: {K} realisation{'s' * (K != 1)} of {', '.join(names)} over "
              f"{study.N} {'elements' if sf.at == 'cells' else 'nodes'} in "
              f"{len(study.regions)} region{'s' * (len(study.regions) != 1)} written to {output}")
        for region in study.regions:
            for pname, (xd, _, _) in region.data.items():
                n = len(xd)
                print(f"{PROG}: {pname} in region {region.name!r} conditioned on {n} "
                      f"{'datum' if n == 1 else 'data'}", file=sys.stderr)
