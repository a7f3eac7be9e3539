"""K x N realisations as CSV, a realisation per line, every value with 17
significant digits (it reads back exactly), after a "# seed: S" line."""

from __future__ import annotations

import argparse
from typing import IO, Mapping, Optional

import numpy as np

from ...io.atomic import Pending
from .base import RowSink


class CsvSink(RowSink):
    def __init__(self, args: argparse.Namespace, N: int, protect: Mapping[str, str]):
        super().__init__(args)
        self.pending = Pending(args.output, protect=protect, size=8 * args.realisations * N)
        self.staged.append(self.pending)
        self.file: Optional[IO[str]] = None

    def open(self, K: int, N: int, study: int) -> None:
        self.file = open(self.pending.temp, "w", newline="")
        self.file.write(f"# seed: {study}\n")

    def write(self, start: int, rows: np.ndarray) -> None:
        assert self.file is not None
        try:
            np.savetxt(self.file, rows, fmt="%.17g", delimiter=",")
        except OSError as e:  # a full disk: one line naming the file
            raise self.pending.failed(self.args.output, e) from None

    def close(self) -> None:
        if self.file is not None:
            f, self.file = self.file, None
            try:
                f.close()  # the last rows reach the disk here
            except OSError as e:
                raise self.pending.failed(self.args.output, e) from None
