"""What every sink shares: the staged files it commits with the command's
other outputs, and the loop that draws rows into it."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Callable, List, Optional, Tuple

import numpy as np

from ..errors import Failure

Transform = Callable[[np.ndarray], np.ndarray]


class Sink:
    """An output being written. ``draw`` fills it with realisations 0 ..
    K-1 of a seeded study and returns the first; ``finish`` completes it
    once every row is in; ``commit`` puts it in place (with the command's
    other outputs), ``discard`` removes what was started."""

    def __init__(self, args: argparse.Namespace):
        self.args = args
        self.staged: List[Any] = []   # objects with sizes(), commit() and discard()

    def sizes(self) -> List[Tuple[str, int]]:
        """(path written, bytes) of every file, for the room check."""
        return [size for s in self.staged for size in s.sizes()]

    def draw(self, sampler: Any, transform: Transform, study: int) -> np.ndarray:
        raise NotImplementedError

    def finish(self) -> None:
        pass

    def commit(self) -> None:
        for s in self.staged:
            s.commit()
        self.staged = []

    def discard(self) -> None:
        for s in self.staged:
            s.discard()
        self.staged = []


class RowSink(Sink):
    """A sink written in this process, batch after batch of rows."""

    def open(self, K: int, N: int, study: int) -> None:
        raise NotImplementedError

    def write(self, start: int, rows: np.ndarray) -> None:
        raise NotImplementedError

    def close(self) -> None:
        pass

    def draw(self, sampler: Any, transform: Transform, study: int) -> np.ndarray:
        """Realisations 0 .. K-1 of the study seeded by `study`, passed
        through `transform`, in the batches the sampler chooses (whole groups
        of rows, as many as its memory budget allows); the progress bar
        follows the batches. A value that is not finite is never written."""
        from tqdm import tqdm

        K = self.args.realisations
        first: Optional[np.ndarray] = None
        self.open(K, sampler.N, study)
        try:
            with tqdm(total=K, unit="realisation", disable=self.args.quiet or None,
                      file=sys.stderr, leave=False) as bar:
                for start, rows in sampler.blocks(K, seed=study):
                    rows = transform(rows)
                    bad = ~np.isfinite(rows)
                    if bad.any():  # never written, never reported as success
                        r, c = (int(i) for i in np.argwhere(bad)[0])
                        raise Failure(f"realisation {start + r + 1} is not finite at node {c} "
                                      f"({float(rows[r, c])!r}); nothing written")
                    if first is None:
                        first = rows[0].copy()
                    self.write(start, rows)
                    bar.update(len(rows))
        finally:
            self.close()
        assert first is not None
        return first
