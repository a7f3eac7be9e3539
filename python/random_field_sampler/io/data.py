"""Measured data: the values of a property at points of a site (cone
penetration tests, boreholes), read from a table with columns x, z, value
and, optionally, error (the variance of the measurement error, in the
value's units squared; 0 when the column is absent).

Text tables follow the node files' rules (``io.nodes``: a header row, commas,
semicolons, tabs or blanks, blank lines skipped, every value a finite
number); an .npz file holds arrays x, z, value (and error). Every mistake is
a ``DataFileError`` of one line naming the file and, in a text table, the
line.
"""

from __future__ import annotations

import dataclasses
import os
from typing import Any, Dict, Optional, Tuple

import numpy as np

from .nodes import NodeFileError, _first_line, read_columns, real_column

__all__ = ["DataFileError", "MeasuredData", "read_data", "DATA_SUFFIXES", "COLUMNS"]

DATA_SUFFIXES = (".csv", ".txt", ".tsv", ".npz")
COLUMNS = ("x", "z", "value")
ERROR = "error"


class DataFileError(NodeFileError):
    """A data file that cannot be read or is not usable, in one line."""


@dataclasses.dataclass(frozen=True, eq=False)
class MeasuredData:
    """Data as read: coordinates, values and error variances (float64
    arrays of one length), and where each datum came from."""

    path: str
    x: np.ndarray
    z: np.ndarray
    value: np.ndarray
    error: np.ndarray
    lines: Optional[np.ndarray] = None   # a text table's line of each datum

    def __len__(self) -> int:
        return len(self.x)

    def where(self, i: int) -> str:
        """Datum i, as a message names it: the file and its line."""
        if self.lines is not None:
            return f"{self.path}, line {int(self.lines[i])}"
        return f"{self.path}, datum {i}"

    @property
    def exact(self) -> bool:
        """Whether every datum is measured without error."""
        return not np.any(self.error)

    def standard(self, transform: Any, what: str) -> Tuple[np.ndarray, np.ndarray]:
        """(values, error variances) in the units of the field `transform`
        turns into values (``Transform.inverse``: the error through its
        slope at each value); DataFileError naming the line of the first
        value outside the support of `what`."""
        try:
            g, slope = transform.inverse(self.value)
        except ValueError:
            for i in range(len(self)):
                try:
                    transform.inverse(self.value[i:i + 1], [i])
                except ValueError:
                    raise DataFileError(f"{self.where(i)}: the value {self.value[i]:g} is "
                                        f"outside the range of {what}") from None
            raise
        return g, self.error * slope * slope


def _read_npz(path: str) -> Dict[str, np.ndarray]:
    with np.load(path, allow_pickle=False) as data:
        if not isinstance(data, np.lib.npyio.NpzFile):
            raise DataFileError(f"{path}: not an .npz archive")
        missing = [n for n in COLUMNS if n not in data.files]
        if missing:
            raise DataFileError(f"{path}: no array named {missing[0]!r} "
                                f"(it holds {', '.join(repr(n) for n in data.files) or 'nothing'})")
        cols = {n: data[n] for n in COLUMNS + ((ERROR,) if ERROR in data.files else ())}
    for name, a in cols.items():
        if a.ndim != 1:
            raise DataFileError(f"{path}: {name!r} must be one-dimensional, got shape {a.shape}")
        if len(a) != len(cols["x"]):
            raise DataFileError(f"{path}: the arrays {', '.join(map(repr, cols))} must have the "
                                f"same length, got {', '.join(str(len(v)) for v in cols.values())}")
        cols[name] = real_column(a, repr(name), path)
        bad = ~np.isfinite(cols[name])
        if bad.any():
            raise DataFileError(f"{path}: datum {int(np.argmax(bad))}: the {name} value "
                                f"{cols[name][int(np.argmax(bad))]!r} is not finite")
    return cols


def read_data(path: str) -> MeasuredData:
    """The data of the table at `path`, checked: at least one datum, error
    variances >= 0, and no point measured twice without error as two
    different values (both lines named). Repeated points with equal values,
    or with an error, are kept."""
    path = os.fspath(path)
    suffix = os.path.splitext(path)[1].lower()
    lines: Optional[np.ndarray] = None
    try:
        if suffix == ".npz":
            cols = _read_npz(path)
        elif suffix in DATA_SUFFIXES:
            cols, lines = read_columns(path, COLUMNS, (ERROR,))
        else:
            raise DataFileError(f"{path}: unknown data file type {suffix or '(none)'!r}; use a "
                                f".csv table with columns x, z, value (and error), or an .npz")
    except DataFileError:
        raise
    except NodeFileError as e:
        raise DataFileError(str(e)) from None
    except MemoryError:
        raise
    except OSError as e:
        raise DataFileError(f"{path}: {e.strerror or _first_line(e)}") from None
    except Exception as e:  # a corrupt archive, a bad CRC, ...
        raise DataFileError(f"{path}: not a readable data file ({_first_line(e)})") from None
    n = len(cols["x"])
    if n == 0:
        raise DataFileError(f"{path}: no data")
    error = cols.get(ERROR)
    data = MeasuredData(path, cols["x"], cols["z"], cols["value"],
                        np.zeros(n) if error is None else error, lines)
    negative = data.error < 0.0
    if negative.any():
        i = int(np.argmax(negative))
        raise DataFileError(f"{data.where(i)}: the error {data.error[i]:g} is negative; it is the "
                            f"variance of the measurement error, >= 0")
    _refuse_conflicts(data)
    return data


def _refuse_conflicts(data: MeasuredData) -> None:
    """DataFileError naming both lines of a point measured twice without
    error as two different values: no field can pass through both."""
    from ..conditioning import exact_conflict

    clash = exact_conflict(data.x, data.z, data.value, data.error)
    if clash is None:
        return
    a, b = clash
    other = f"line {int(data.lines[b])}" if data.lines is not None else f"datum {b}"
    raise DataFileError(f"{data.where(a)} and {other}: the point ({data.x[a]:g}, {data.z[a]:g}) "
                        f"is measured twice without error, as {data.value[a]:g} and "
                        f"{data.value[b]:g}")
