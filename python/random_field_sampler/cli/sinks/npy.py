"""K x N realisations into an .npy file, through a memory map whose blocks
are reserved before it is written."""

from __future__ import annotations

import argparse
from typing import Any, Mapping, Optional

import numpy as np

from ...io.atomic import Pending, open_rows
from .base import RowSink


class NpySink(RowSink):
    def __init__(self, args: argparse.Namespace, N: int, protect: Mapping[str, str]):
        super().__init__(args)
        self.pending = Pending(args.output, protect=protect, size=8 * args.realisations * N)
        self.staged.append(self.pending)
        self.rows: Optional[Any] = None

    def open(self, K: int, N: int, study: int) -> None:
        # An .npy header holds no seed: the command prints it instead.
        self.rows = open_rows(self.pending.temp, (K, N), self.args.output)

    def write(self, start: int, rows: np.ndarray) -> None:
        assert self.rows is not None
        self.rows[start:start + len(rows)] = rows

    def close(self) -> None:
        if self.rows is not None:
            self.rows.flush()
            self.rows = None
