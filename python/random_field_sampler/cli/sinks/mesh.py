"""The mesh with one array per realisation (.vtu, .vtk, .xdmf), or a node
table (CSV, a node per row): rows gathered in a scratch file, written out
once every row is in, with the seed as field data or a comment line."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Optional

import numpy as np

from ..errors import PROG, Failure
from .base import RowSink


class MeshSink(RowSink):
    def __init__(self, args: argparse.Namespace, x: np.ndarray, z: np.ndarray, mesh: Optional[Any],
                 study: int, table: bool = False):
        """The mesh with its fields, or with `table` a node table (of the
        mesh's nodes or centroids, named by its axes, or of a node file's)."""
        from ...io import mesh as fe_mesh
        from ..arguments import input_files

        super().__init__(args)
        try:
            self.gathered = fe_mesh.Gathered(
                args.output, args.realisations, len(x), mesh=None if table else mesh, at=args.at,
                coords=(x, z),
                inputs=input_files(args),
                axis_names=mesh.axis_names() if mesh else (args.x_column or "x", args.z_column or "z"),
                field_data={"seed": study}, comments=[f"seed: {study}"])
        except ValueError as e:
            raise Failure(str(e)) from None
        self.staged.append(self.gathered)
        if self.gathered.dropped:
            print(f"{PROG}: {self.gathered.note()}", file=sys.stderr)

    def open(self, K: int, N: int, study: int) -> None:
        pass

    def write(self, start: int, rows: np.ndarray) -> None:
        self.gathered.rows[start:start + len(rows)] = rows

    def close(self) -> None:
        self.gathered.rows.flush()

    def finish(self) -> None:
        try:
            self.gathered.finish()
        except ValueError as e:
            raise Failure(str(e)) from None
