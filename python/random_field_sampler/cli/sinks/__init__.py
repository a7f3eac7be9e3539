"""Where the realisations go: one sink per kind of output.

- ``NpySink``: .npy, K x N;
- ``CsvSink``: CSV, a realisation per line;
- ``MeshSink``: the mesh with its fields (.vtu, .vtk, .xdmf), or a node
  table (CSV with --layout nodes);
- ``ZarrSink``: a zarr store drawn on a dask cluster.
"""

from __future__ import annotations

import argparse
from typing import Any, Mapping, Optional

import numpy as np

from .base import RowSink, Sink
from .csv import CsvSink
from .mesh import MeshSink
from .npy import NpySink
from .zarr import ZarrSink

__all__ = ["Sink", "RowSink", "NpySink", "CsvSink", "MeshSink", "ZarrSink", "open_sink"]


def open_sink(args: argparse.Namespace, kind: str, x: np.ndarray, z: np.ndarray, mesh: Optional[Any],
              study: int, protect: Mapping[str, str]) -> Sink:
    """The sink of the output `kind` (its suffix), its files started."""
    if kind == ".zarr":
        return ZarrSink(args, x, z)
    if kind == ".csv" and args.layout == "nodes":
        return MeshSink(args, x, z, mesh, study, table=True)
    if kind == ".npy":
        return NpySink(args, len(x), protect)
    if kind == ".csv":
        return CsvSink(args, len(x), protect)
    return MeshSink(args, x, z, mesh, study)
