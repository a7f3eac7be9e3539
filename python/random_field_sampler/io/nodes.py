"""Node tables: the x and z of a field's points read from CSV, .npy or
.npz files, and realisations written as a table of a node per row.

Reading errors are ``NodeFileError``: one line naming the file (and the
line of a text file) and what is wrong with it.
"""

from __future__ import annotations

import csv
import math
import os
from typing import Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

__all__ = ["NodeFileError", "NODE_SUFFIXES", "read_nodes", "read_csv", "read_columns", "read_numpy",
           "field_names",
           "write_node_table", "MAX_TABLE_REALISATIONS"]

# Files read as node tables; anything else is read as a mesh.
NODE_SUFFIXES = (".csv", ".txt", ".tsv", ".npy", ".npz")
# A spreadsheet opens at most 16,384 columns: x, z and the realisations.
MAX_TABLE_REALISATIONS = 16384 - 2


class NodeFileError(ValueError):
    """A node file that cannot be read, in one line."""


def _first_line(e: BaseException) -> str:
    lines = [line.strip() for line in str(e).splitlines() if line.strip()]
    return lines[0] if lines else type(e).__name__


# Column separators of delimited text, in the order they are looked for in
# the header; a header with none of them is split at blanks.
DELIMITERS = {",": "commas", ";": "semicolons", "\t": "tabs"}


def text_rows(f, delimiter: Optional[str]) -> Iterator[Tuple[int, List[str]]]:
    """(line number, cells) of each line after the header."""
    if delimiter is None:
        for line, text in enumerate(f, start=2):
            yield line, text.split()
    else:
        rows = csv.reader(f, delimiter=delimiter)
        for row in rows:
            yield rows.line_num + 1, row


def _joined(names: Sequence[str]) -> str:
    quoted = [repr(n) for n in names]
    return quoted[0] if len(quoted) == 1 else f"{', '.join(quoted[:-1])} and {quoted[-1]}"


def read_columns(path: str, required: Sequence[str], optional: Sequence[str] = ()
                 ) -> Tuple[Dict[str, np.ndarray], np.ndarray]:
    """The named columns of a delimited text file with a header row, as
    finite float64 arrays (a column of `optional` only when the header has
    it), and the line number of each row read (from 1, the header's line
    being 1). Blank lines are skipped; a missing, non-numeric or non-finite
    value is a NodeFileError naming the file, the line and the column."""
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            first = f.readline()
            if not first:
                raise NodeFileError(f"{path}: the file is empty")
            delimiter = next((d for d in DELIMITERS if d in first), None)
            if delimiter is None:
                names, seen = first.split(), "blanks"
            else:
                names, seen = next(csv.reader([first], delimiter=delimiter), []), DELIMITERS[delimiter]
            names = [h.strip() for h in names]
            cols: Dict[str, int] = {}
            for name in required:
                if name not in names:
                    raise NodeFileError(f"{path}: no column named {name!r} in the header "
                                        f"({', '.join(repr(n) for n in names)}, separated by {seen})")
                cols[name] = names.index(name)
            for name in optional:
                if name in names:
                    cols[name] = names.index(name)
            values: Dict[str, List[float]] = {name: [] for name in cols}
            lines: List[int] = []
            for line, row in text_rows(f, delimiter):
                if not any(cell.strip() for cell in row):
                    continue  # blank line
                for name, col in cols.items():
                    text = row[col].strip() if col < len(row) else ""
                    if not text:
                        raise NodeFileError(f"{path}, line {line}: no {name} value: the columns "
                                            f"{_joined(list(cols))} must have the same length")
                    try:
                        v = float(text)
                    except ValueError:
                        raise NodeFileError(f"{path}, line {line}: the {name} value {text!r} "
                                            f"is not a number") from None
                    if not math.isfinite(v):
                        raise NodeFileError(f"{path}, line {line}: the {name} value {text!r} "
                                            f"is not finite")
                    values[name].append(v)
                lines.append(line)
    except UnicodeDecodeError as e:
        raise NodeFileError(f"{path}: not a text file ({e.reason})") from None
    except csv.Error as e:
        raise NodeFileError(f"{path}: not a readable CSV file ({e})") from None
    return ({name: np.array(v, dtype=np.float64) for name, v in values.items()},
            np.array(lines, dtype=np.int64))


def read_csv(path: str, xcol: Optional[str], zcol: Optional[str]) -> Tuple[np.ndarray, np.ndarray]:
    xcol, zcol = xcol or "x", zcol or "z"
    cols, _ = read_columns(path, (xcol, zcol))
    return cols[xcol], cols[zcol].copy() if xcol == zcol else cols[zcol]


def real_column(a, what: str, path: str) -> np.ndarray:
    a = np.asarray(a)
    if a.dtype.kind not in "iuf":
        raise NodeFileError(f"{path}: {what} must hold real numbers, not {a.dtype}")
    return np.ascontiguousarray(a, dtype=np.float64)


def column_index(text: Optional[str], default: int, option: str, path: str, shape) -> int:
    """A column of a plain (N, k) array: the default, or an index given by
    --x-column / --z-column; a name is an error, as the array has none."""
    if text is None:
        return default
    try:
        i = int(text)
    except ValueError:
        raise NodeFileError(f"{path} holds an {shape} array without named columns: {option} "
                            f"takes a column index 0 .. {shape[1] - 1} there, not {text!r}") from None
    if not 0 <= i < shape[1]:
        raise NodeFileError(f"{path}: {option} {text} is not a column of the {shape} array "
                            f"(0 .. {shape[1] - 1})")
    return i


def read_numpy(path: str, xcol: Optional[str], zcol: Optional[str]) -> Tuple[np.ndarray, np.ndarray]:
    data = np.load(path, allow_pickle=False)
    if isinstance(data, np.lib.npyio.NpzFile):
        xcol, zcol = xcol or "x", zcol or "z"
        with data:
            missing = [n for n in (xcol, zcol) if n not in data.files]
            if missing:
                raise NodeFileError(f"{path}: no array named {missing[0]!r} "
                                    f"(it holds {', '.join(repr(n) for n in data.files) or 'nothing'})")
            x, z = data[xcol], data[zcol]
        if x.ndim != 1 or z.ndim != 1:
            raise NodeFileError(f"{path}: {xcol!r} and {zcol!r} must be one-dimensional, "
                                f"got shapes {x.shape} and {z.shape}")
        if len(x) != len(z):
            raise NodeFileError(f"{path}: {xcol!r} and {zcol!r} must have the same length, "
                                f"got {len(x)} and {len(z)}")
        return real_column(x, repr(xcol), path), real_column(z, repr(zcol), path)
    if data.dtype.names is not None:
        xcol, zcol = xcol or "x", zcol or "z"
        missing = [n for n in (xcol, zcol) if n not in data.dtype.names]
        if missing:
            raise NodeFileError(f"{path}: no field named {missing[0]!r} in the record array "
                                f"({', '.join(repr(n) for n in data.dtype.names)})")
        if data.ndim != 1:
            raise NodeFileError(f"{path}: the record array must be one-dimensional, got shape {data.shape}")
        for name in (xcol, zcol):
            sub = data.dtype[name].shape
            if sub:
                raise NodeFileError(f"{path}: the field {name!r} holds arrays of shape {sub}, "
                                    f"not one number per node")
        return real_column(data[xcol], repr(xcol), path), real_column(data[zcol], repr(zcol), path)
    if data.ndim != 2 or data.shape[1] not in (2, 3):
        raise NodeFileError(f"{path}: expected an (N, 2) array of x and z or an (N, 3) array of "
                            f"points, got shape {data.shape}")
    i = column_index(xcol, 0, "--x-column", path, data.shape)
    j = column_index(zcol, 1, "--z-column", path, data.shape)
    data = real_column(data, "the array", path)
    return data[:, i].copy(), data[:, j].copy()


def read_nodes(path: str, xcol: Optional[str], zcol: Optional[str]) -> Tuple[np.ndarray, np.ndarray]:
    """The x and z coordinates of the nodes, finite float64 arrays of one
    length; columns None take the file type's defaults."""
    suffix = os.path.splitext(path)[1].lower()
    try:
        if suffix in (".npy", ".npz"):
            x, z = read_numpy(path, xcol, zcol)
        elif suffix in (".csv", ".txt", ".tsv"):
            x, z = read_csv(path, xcol, zcol)
        else:
            raise NodeFileError(f"{path}: unknown node file type {suffix or '(none)'!r}; "
                                f"use .csv, .npy or .npz")
    except (NodeFileError, MemoryError):
        raise
    except OSError as e:
        raise NodeFileError(f"{path}: {e.strerror or _first_line(e)}") from None
    except Exception as e:  # a corrupt archive, a bad CRC, an unsafe header, ...
        kind = "numpy" if suffix in (".npy", ".npz") else "node"
        raise NodeFileError(f"{path}: not a readable {kind} file ({_first_line(e)})") from None
    if len(x) == 0:
        raise NodeFileError(f"{path}: no nodes")
    bad = ~(np.isfinite(x) & np.isfinite(z))
    if bad.any():
        raise NodeFileError(f"{path}: node {int(np.argmax(bad))} has a coordinate that is not finite")
    return x, z


def field_names(k: int, start: int = 0) -> List[str]:
    """realisation_0000, realisation_0001, ... (more digits past 9999)."""
    width = max(4, len(str(start + k - 1)))
    return [f"realisation_{i:0{width}d}" for i in range(start, start + k)]


def write_node_table(target: str, rows: np.ndarray, coords: Tuple[np.ndarray, np.ndarray],
                     axis_names: Sequence[str] = ("x", "z"), *, comments: Sequence[str] = ()) -> None:
    """One point per line: its two coordinates, then its value in every
    realisation (rows: (K, N)), 17 significant digits; a header row names
    the columns, after a "# comment" line for each of ``comments``
    (numpy.loadtxt skips them)."""
    x, z = coords
    k, n = rows.shape
    header = ",".join([axis_names[0], axis_names[1]] + field_names(k))
    step = max(1, (1 << 22) // max(k, 1))
    with open(target, "w", newline="") as f:
        for line in comments:
            f.write(f"# {line}\n")
        f.write(header + "\n")
        for start in range(0, n, step):
            block = np.column_stack([x[start:start + step], z[start:start + step],
                                     np.asarray(rows[:, start:start + step]).T])
            np.savetxt(f, block, fmt="%.17g", delimiter=",")


def table_bytes(k: int, n: int) -> int:
    """At least the bytes of a table of n points by k realisations: a
    shortest value and its separator take two characters, the longest 25."""
    return 2 * (k + 2) * n
