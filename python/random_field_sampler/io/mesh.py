"""Finite-element meshes: the nodes and element centroids a field is drawn
at, and realisations written back onto the mesh for ParaView and the like.

    from random_field_sampler import Sampler
    from random_field_sampler.io import mesh

    m = mesh.read("slope.msh")                 # any format meshio reads
    x, z = m.coordinates("cells")              # one point per element
    fields = Sampler(x=x, z=z, theta_z=2.0, mu=20.0, sigma=4.0).draw(100)
    mesh.write("fields.vtu", m, fields, at="cells")   # realisation_0000, ...

The field's x and z are two of the mesh's coordinates: the first two by
default, which the mesh must then lie in (its third coordinate constant),
or the pair named by ``plane`` ("xy", "xz" or "yz"), the remaining
coordinate being ignored (the field is constant along it) - in a solid
mesh; a surface mesh whose elements would lose area in that plane is
refused. ``plane="auto"`` takes coordinates u, v in the plane of a planar
mesh of any orientation (``Mesh.basis``), keeping its distances.

Elements are the cells of the mesh's highest dimension (in a 2-D mesh its
triangles and quadrilaterals of any order, together in one mesh if need be);
cells of lower dimension that mesh generators add for boundaries and
physical groups (lines, points) are kept in written files but are not
elements and carry NaN. The centroid of a triangle or a quadrilateral is
the centroid of the area its corner nodes enclose; of other cells, the mean
of their corner nodes.

Files are written through the package's one staged writer (``atomic``):
under temporary names beside their targets, an .xdmf file and the .h5 file
holding its data put in place as one, never over the input or a file it
takes data from. Nothing is left behind when writing fails. Reading an
.xdmf refuses data files outside its folder unless asked to read them.

This module never draws random numbers and never modifies the mesh it was
given: written meshes are copies with data added.
"""

from __future__ import annotations

import contextlib
import io
import os
import warnings
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from .atomic import OutputError, Staged, open_rows, reason, target_of, within
from .nodes import MAX_TABLE_REALISATIONS, NODE_SUFFIXES, field_names, table_bytes, write_node_table

__all__ = ["MeshError", "Mesh", "read", "from_meshio", "is_mesh_path", "field_names", "with_fields",
           "write", "input_files", "companion", "check_output", "output_bytes", "PLANES", "AT",
           "OUTPUT_SUFFIXES", "Gathered", "triangles"]

PLANES = {"xy": (0, 1), "xz": (0, 2), "yz": (1, 2)}
PLANE_CHOICES = ("xy", "xz", "yz", "auto")
# A plane in which the elements keep less than this share of their area
# (1 - 1e-6: a tilt of about 0.08 degrees) is refused.
AREA_TOLERANCE = 1e-6
AT = ("nodes", "cells", "both")
# Formats meshio writes, and reads back, with point and cell data on meshes
# of mixed elements (its Gmsh writer needs entity tags that few meshes have,
# and its Gmsh 2.2 files do not read back).
OUTPUT_SUFFIXES = (".vtu", ".vtk", ".xdmf", ".xmf")
XDMF_SUFFIXES = (".xdmf", ".xmf")
EXTRA = "pip install 'random_field[mesh]'"


class MeshError(ValueError):
    """A mesh that cannot be read, used or written, in one line."""


def _meshio() -> Any:
    try:
        import meshio
    except ImportError:
        raise MeshError(f"mesh files need meshio ({EXTRA})") from None
    return meshio


def is_mesh_path(path: str) -> bool:
    """Whether a file is read as a mesh (anything but a node table)."""
    return os.path.splitext(path)[1].lower() not in NODE_SUFFIXES


def _corners(cell_type: str, nodes_per_cell: int) -> int:
    for prefix, n in (("triangle", 3), ("quad", 4), ("tetra", 4), ("hexahedron", 8),
                      ("wedge", 6), ("pyramid", 5), ("line", 2), ("vertex", 1)):
        if cell_type.startswith(prefix):
            return n
    return nodes_per_cell  # polygons: every node is a corner


def _area_centroids(p: np.ndarray) -> np.ndarray:
    """Centroids of the polygons p (M, n, 2) with corners in order; the mean
    of the corners for polygons without area. Computed about each polygon's
    first corner, so that far-off coordinates neither overflow nor warn."""
    origin = p[:, :1, :]
    with np.errstate(all="ignore"):
        q = p - origin
        x, y = q[..., 0], q[..., 1]
        xn, yn = np.roll(x, -1, axis=1), np.roll(y, -1, axis=1)
        cross = x * yn - xn * y
        area = cross.sum(axis=1) / 2.0
        mean = q.mean(axis=1)
        scale = np.abs(q - mean[:, None, :]).max(axis=(1, 2))
        cx = ((x + xn) * cross).sum(axis=1) / (6.0 * area)
        cy = ((y + yn) * cross).sum(axis=1) / (6.0 * area)
        flat = ~(np.abs(area) > 1e-12 * scale * scale) | ~np.isfinite(cx) | ~np.isfinite(cy)
        cx[flat], cy[flat] = mean[flat, 0], mean[flat, 1]
        return np.column_stack([cx, cy]) + origin[:, 0, :]


def _vector_areas(pts: np.ndarray, m: Any, elements: List[int]) -> np.ndarray:
    """(M, 3) vector areas of the 2-D elements (a fan of triangles from the
    first corner): their length is the element's area, their components
    its areas projected on the yz, xz and xy planes."""
    p3 = pts if pts.shape[1] == 3 else np.column_stack([pts, np.zeros(len(pts))])
    parts = []
    with np.errstate(all="ignore"):
        for k in elements:
            b = m.cells[k]
            data = np.asarray(b.data)
            nc = _corners(b.type, data.shape[1])
            if nc < 3:
                continue
            c = p3[data[:, :nc]]
            rel = c - c[:, :1, :]
            parts.append(0.5 * np.cross(rel[:, 1:-1, :], rel[:, 2:, :]).sum(axis=1))
    return np.concatenate(parts) if parts else np.zeros((0, 3))


def _kept_share(areas: np.ndarray) -> Dict[str, float]:
    """The share of the elements' area that each coordinate plane keeps."""
    with np.errstate(all="ignore"):
        scale = np.abs(areas).max() if areas.size else 0.0
        if not (scale > 0.0 and np.isfinite(scale)):
            return {p: 1.0 for p in PLANES}
        a = areas / scale
        total = float(np.sqrt((a * a).sum(axis=1)).sum())
    return {p: float(np.abs(a[:, 3 - i - j]).sum()) / total for p, (i, j) in PLANES.items()}


def _plane_basis(pts: np.ndarray, path: str) -> Tuple[np.ndarray, str]:
    """(2 x 3 orthonormal basis of the nodes' best-fit plane, the coordinate
    plane nearest to it), or MeshError if the nodes are not in one plane.
    The first vector is the nearest coordinate plane's first axis projected
    on the plane, the second is at right angles to it in the plane, its
    sign that of the coordinate plane's second axis: for a mesh parallel to
    a coordinate plane, the basis is that plane's."""
    p3 = pts if pts.shape[1] == 3 else np.column_stack([pts, np.zeros(len(pts))])
    centre = p3.mean(axis=0)
    with np.errstate(all="ignore"):
        _, s, vt = np.linalg.svd(p3 - centre, full_matrices=False)
    normal = vt[2] if len(s) == 3 else np.array([0.0, 0.0, 1.0])
    off = np.abs((p3 - centre) @ normal).max()
    extent = float(np.ptp(p3, axis=0).max())
    if not off <= 1e-9 * extent:
        raise MeshError(f"{path}: --plane auto needs a mesh in one plane, and its nodes lie up to "
                        f"{off:g} from their best-fit plane")
    k = int(np.argmax(np.abs(normal)))
    name = next(p for p, (i, j) in PLANES.items() if 3 - i - j == k)
    i, j = PLANES[name]
    u = np.eye(3)[i] - normal[i] * normal
    u /= np.linalg.norm(u)
    w = np.cross(normal, u)
    if w[j] < 0:
        w = -w
    return np.vstack([u, w]), name


@dataclass
class Mesh:
    """A mesh as read (``mesh``: the meshio.Mesh) and the field's view of it.

    ``plane``: the two coordinates used, e.g. "xy", or "auto" (``basis``:
    the 2 x 3 orthonormal vectors of the mesh's own plane that give the
    field's x and z); ``nodes``: (n, 2) float64 in-plane node coordinates;
    ``elements``: indices of the cell blocks that are elements;
    ``centroids``: (m, 2) float64 element centroids, block by block in the
    file's order."""

    mesh: Any
    path: str
    plane: str
    nodes: np.ndarray
    elements: List[int]
    centroids: np.ndarray
    dim: int = field(default=0)
    basis: Optional[np.ndarray] = field(default=None)

    @property
    def n_nodes(self) -> int:
        return len(self.nodes)

    @property
    def n_cells(self) -> int:
        return len(self.centroids)

    def size(self, at: str) -> int:
        """The number of values a field ``at`` nodes, cells or both has."""
        return {"nodes": self.n_nodes, "cells": self.n_cells, "both": self.n_nodes + self.n_cells}[at]

    def coordinates(self, at: str = "nodes") -> Tuple[np.ndarray, np.ndarray]:
        """(x, z) of the points a field is drawn at: the nodes, the element
        centroids, or both (nodes first, then centroids: one field over all,
        so that node and element values agree)."""
        if at not in AT:
            raise ValueError(f"at must be one of {', '.join(AT)}, got {at!r}")
        if at != "nodes" and self.n_cells == 0:
            raise MeshError(f"{self.path}: the mesh has no elements, only {self.n_nodes} nodes: "
                            f"values at cells need elements")
        pts = {"nodes": self.nodes, "cells": self.centroids,
               "both": np.concatenate([self.nodes, self.centroids])}[at]
        return pts[:, 0].copy(), pts[:, 1].copy()

    def axis_names(self) -> Tuple[str, str]:
        """The names of the field's x and z: two coordinates, or u and v
        (in the mesh's own plane) for plane "auto"."""
        return ("u", "v") if self.plane == "auto" else (self.plane[0], self.plane[1])


def from_meshio(m: Any, plane: Optional[str] = None, path: str = "mesh") -> Mesh:
    """The field's view of a meshio.Mesh; see ``read``."""
    if plane is not None and plane not in PLANE_CHOICES:
        raise ValueError(f"plane must be one of {', '.join(PLANE_CHOICES)}, got {plane!r}")
    pts = np.asarray(m.points)
    if pts.ndim != 2 or pts.shape[1] not in (2, 3) or pts.dtype.kind not in "iuf":
        raise MeshError(f"{path}: node coordinates of shape {pts.shape} and type {pts.dtype}; "
                        f"expected 2 or 3 real coordinates per node")
    pts = np.asarray(pts, dtype=np.float64)
    n = len(pts)
    if n == 0:
        raise MeshError(f"{path}: the mesh has no nodes")
    bad = ~np.isfinite(pts).all(axis=1)
    if bad.any():
        raise MeshError(f"{path}: node {int(np.argmax(bad))} has a coordinate that is not finite")
    blocks = list(m.cells)
    for b in blocks:
        data = np.asarray(b.data)
        if data.size and (data.dtype.kind not in "iu" or data.min() < 0 or data.max() >= n):
            raise MeshError(f"{path}: {b.type} cells refer to nodes that the mesh does not have")
    dims = [b.dim for b in blocks if len(b.data)]
    dim = max(dims) if dims else 0
    elements = [k for k, b in enumerate(blocks) if b.dim == dim and len(b.data)] if dim > 0 else []

    three = pts.shape[1] == 3
    with np.errstate(all="ignore"):
        extent = float(np.ptp(pts, axis=0).max())
    surface = three and dim == 2
    kept = _kept_share(_vector_areas(pts, m, elements)) if surface else None
    basis = None
    if plane == "auto":
        if three:
            basis, _ = _plane_basis(pts, path)
        else:
            plane = "xy"
    elif plane is None:
        if three and np.ptp(pts[:, 2]) > 1e-9 * max(extent, 1e-300):
            flat = [p for p, (i, j) in PLANES.items() if np.ptp(pts[:, 3 - i - j]) <= 1e-9 * extent]
            if flat:
                hint = f"it lies in the {flat[0]} plane: use --plane {flat[0]}"
            elif surface and _is_planar(pts):
                hint = ("it lies in a plane that is not a coordinate plane: use --plane auto "
                        "(coordinates in the mesh's own plane)")
            else:
                hint = "choose the field's plane with --plane xy|xz|yz (the third coordinate is then ignored)"
            raise MeshError(f"{path}: the mesh is 3-D (z from {pts[:, 2].min():g} to "
                            f"{pts[:, 2].max():g}); {hint}")
        plane = "xy"
    elif not three and plane != "xy":
        raise MeshError(f"{path}: the mesh has 2 coordinates per node; --plane {plane} needs 3")
    if kept is not None and plane in PLANES and kept[plane] < 1.0 - AREA_TOLERANCE:
        best = max(kept, key=lambda p: kept[p])
        if kept[best] >= 1.0 - AREA_TOLERANCE:
            hint = f"it lies in the {best} plane: use --plane {best}"
        elif _is_planar(pts):
            hint = "it lies in a plane that is not a coordinate plane: use --plane auto"
        else:
            hint = (f"it does not lie in one plane (the {best} plane keeps {100 * kept[best]:.1f} % "
                    f"of its area)")
        raise MeshError(f"{path}: in the {plane} plane the mesh's elements keep "
                        f"{100 * kept[plane]:.1f} % of their area; {hint}")

    if basis is not None:
        with np.errstate(all="ignore"):
            nodes = np.ascontiguousarray(pts @ basis.T)
    else:
        i, j = PLANES[plane]
        nodes = np.ascontiguousarray(pts[:, [i, j]])
    if not np.isfinite(nodes).all():
        raise MeshError(f"{path}: the nodes' coordinates in the mesh's plane are beyond the range "
                        f"of 64-bit floats")
    parts = []
    for k in elements:
        b = blocks[k]
        data = np.asarray(b.data)
        corners = data[:, :_corners(b.type, data.shape[1])]
        p = nodes[corners]
        if b.dim == 2 and corners.shape[1] >= 3:
            parts.append(_area_centroids(p))
        else:
            with np.errstate(all="ignore"):
                parts.append(p[:, 0, :] + (p - p[:, :1, :]).mean(axis=1))
    centroids = np.concatenate(parts) if parts else np.zeros((0, 2))
    if not np.isfinite(centroids).all():
        raise MeshError(f"{path}: element centroids beyond the range of 64-bit floats")
    return Mesh(mesh=m, path=path, plane=plane, nodes=nodes, elements=elements,
                centroids=np.ascontiguousarray(centroids, dtype=np.float64), dim=dim, basis=basis)


def _is_planar(pts: np.ndarray) -> bool:
    try:
        _plane_basis(pts, "")
        return True
    except MeshError:
        return False


def _read_quietly(meshio: Any, path: str) -> Any:
    """meshio's reader for the file's extension, without its printing: its
    ``read`` prints each reader's error and then exits the process."""
    from pathlib import Path

    helpers = getattr(meshio, "_helpers", None)
    readers = getattr(helpers, "reader_map", None)
    formats_of = getattr(helpers, "_filetypes_from_path", None)
    sink = io.StringIO()
    with contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if readers is None or formats_of is None:  # another meshio than 5.x
            try:
                return meshio.read(path)
            except SystemExit:
                raise meshio.ReadError(sink.getvalue().strip() or "unknown format") from None
        formats = formats_of(Path(path))
        errors = []
        for name in formats:
            if name not in readers:
                continue
            try:
                return readers[name](path)
            except meshio.ReadError as e:
                errors.append(f"as {name}: {e}")
        raise meshio.ReadError("; ".join(errors) or f"no reader for {os.path.splitext(path)[1]!r}")


def data_files(path: str) -> List[str]:
    """The files an XDMF file takes its data from (HDF5 and binary data
    items, XInclude'd files), as its reader finds them: relative paths from
    the XDMF file's folder. Empty for other formats."""
    if os.path.splitext(path)[1].lower() not in XDMF_SUFFIXES:
        return []
    from xml.etree import ElementTree

    folder = os.path.dirname(os.path.abspath(path))
    found: List[str] = []
    try:
        for _, elem in ElementTree.iterparse(path, events=("end",)):
            tag = elem.tag.rsplit("}", 1)[-1]
            name = None
            if tag == "DataItem":
                fmt = (elem.get("Format") or "XML").strip().upper()
                text = (elem.text or "").strip()
                if fmt == "HDF" and text:
                    name = text.rsplit(":", 1)[0] if ":" in text else text
                elif fmt == "BINARY" and text:
                    name = text
            elif tag == "include" and elem.get("href"):
                name = elem.get("href")
            elem.clear()
            if name:
                full = os.path.join(folder, name)
                if full not in found:
                    found.append(full)
    except (ElementTree.ParseError, OSError, UnicodeError) as e:
        raise MeshError(f"{path}: not a readable mesh file ({' '.join(str(e).split())[:200]})") from None
    return found


# A compressed .vtu whose arrays would take more than this many times the
# file's size, and more than BOMB_BYTES, is refused: no mesh compresses so
# well, a decompression bomb does.
BOMB_RATIO = 200
BOMB_BYTES = 256 << 20


def _vtu_claimed_bytes(path: str) -> int:
    """The bytes that the compressed arrays of a .vtu hold once inflated,
    from the block headers that precede them (0 for uncompressed files and
    other formats)."""
    import mmap

    if os.path.splitext(path)[1].lower() != ".vtu" or os.path.getsize(path) == 0:
        return 0

    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
        return _claimed(data)


def _claimed(data: Any) -> int:
    """``_vtu_claimed_bytes`` of the file's bytes."""
    import base64
    import re
    import struct

    head = re.search(rb"<VTKFile\b[^>]*>", data)
    if head is None or b"compressor" not in head.group(0):
        return 0
    wide = b"UInt64" in (re.search(rb'header_type="([^"]*)"', head.group(0)) or [b"", b""])[1]
    w = 8 if wide else 4
    word = "Q" if wide else "I"
    appended = re.search(rb"<AppendedData\b[^>]*>\s*_", data)
    raw = appended is not None and b'encoding="raw"' in appended.group(0)

    def header(chunk: bytes) -> Tuple[int, int, int]:
        nb, bs, last = struct.unpack("<" + word * 3, chunk[:3 * w])
        return nb, bs, last

    total = 0
    for tag in re.finditer(rb"<DataArray\b([^>]*)>", data):
        attrs = tag.group(1)
        try:
            if b'format="binary"' in attrs:
                text = data[tag.end():tag.end() + 4 * w + 64].lstrip()
                nb, bs, last = header(base64.b64decode(text[:4 * w]))
            elif b'format="appended"' in attrs and appended is not None:
                m = re.search(rb'offset="(\d+)"', attrs)
                if m is None:
                    continue
                at = appended.end() + int(m.group(1))
                chunk = data[at:at + 3 * w] if raw else base64.b64decode(data[at:at + 4 * w])
                nb, bs, last = header(chunk)
            else:
                continue
        except (ValueError, struct.error):
            continue  # the reader says what is wrong with it
        total += (nb - 1) * bs + (last or bs) if nb else 0
    return total


def read(path: str, plane: Optional[str] = None, *, allow_external_data: bool = False) -> Mesh:
    """Read any mesh that meshio reads. ``plane`` None takes the first two
    coordinates and refuses a mesh whose third coordinate is not constant;
    "xy", "xz" or "yz" take that pair and refuse a surface mesh whose
    elements would lose area in it; "auto" takes coordinates in the plane
    of a planar mesh (see ``Mesh.basis``).

    An .xdmf file may name data files anywhere: those outside its own
    folder are refused unless ``allow_external_data``. A compressed .vtu
    whose arrays would inflate beyond any mesh's is refused.

    MeshError, in one line naming the file, for a file that is missing,
    unreadable, truncated or too large for memory, a 3-D mesh without a
    plane, a plane that does not fit, and non-finite coordinates."""
    meshio = _meshio()
    path = os.fspath(path)
    if not os.path.exists(path):
        raise MeshError(f"{path}: no such file")
    if os.path.isdir(path):
        raise MeshError(f"{path}: is a directory")
    if not allow_external_data:
        folder = os.path.dirname(os.path.abspath(path))
        for data in data_files(path):
            if not within(folder, data):
                raise MeshError(f"{path}: refers to the data file {data}, outside the folder of the "
                                f"file; --allow-external-data reads it")
    try:
        claimed = _vtu_claimed_bytes(path)
    except OSError as e:
        raise MeshError(f"{path}: {reason(e)}") from None
    size = os.path.getsize(path)
    if claimed > BOMB_BYTES and claimed > BOMB_RATIO * size:
        raise MeshError(f"{path}: not a readable mesh file (its compressed arrays would inflate "
                        f"to {claimed:,} bytes, {claimed // max(size, 1):,} times the file)")
    try:
        m = _read_quietly(meshio, path)
    except MemoryError as e:
        raise MeshError(f"{path}: not a readable mesh file (it declares more data than memory "
                        f"holds{': ' + str(e) if str(e) else ''})") from None
    except meshio.ReadError as e:
        first = (str(e).strip().splitlines() or ["unknown format"])[0]
        raise MeshError(f"{path}: not a readable mesh file ({first})") from None
    except KeyError as e:  # an XML element without an attribute it needs
        raise MeshError(f"{path}: not a readable mesh file (no {e} where one is needed)") from None
    except Exception as e:  # the format readers raise anything on bad bytes
        text = " ".join(str(e).split())[:200] or type(e).__name__
        raise MeshError(f"{path}: not a readable mesh file ({text})") from None
    return from_meshio(m, plane, path)


def _split(mesh: Mesh, values: np.ndarray, at: str) -> Tuple[Optional[np.ndarray], Optional[np.ndarray]]:
    """(node part, cell part) of (K, size) values."""
    values = np.asarray(values, dtype=np.float64)
    if values.ndim == 1:
        values = values[None, :]
    if values.ndim != 2 or values.shape[1] != mesh.size(at):
        raise ValueError(f"values at {at} of this mesh need {mesh.size(at)} columns, "
                         f"got shape {values.shape}")
    n = mesh.n_nodes if at == "both" else 0
    nodes = values[:, :mesh.n_nodes] if at in ("nodes", "both") else None
    cells = values[:, n:] if at in ("cells", "both") else None
    return nodes, cells


def _cell_lists(mesh: Mesh, row: np.ndarray) -> List[np.ndarray]:
    """One realisation's element values as meshio's per-block list (NaN on
    blocks that are not elements)."""
    out, start = [], 0
    for k, b in enumerate(mesh.mesh.cells):
        if k in mesh.elements:
            out.append(np.ascontiguousarray(row[start:start + len(b.data)]))
            start += len(b.data)
        else:
            out.append(np.full(len(b.data), np.nan))
    return out


def _written_name(name: str, names: Sequence[str]) -> bool:
    """Whether an array of the input bears a name that an output of
    realisations writes: realisation_<digits>, "realisation" (the arrays of
    an .xdmf time series), or one of ``names``."""
    return (name == "realisation" or name in names
            or (name.startswith("realisation_") and name[len("realisation_"):].isdigit()))


def stale_arrays(mesh: Mesh, names: Sequence[str] = ()) -> List[str]:
    """The input's point- and cell-data arrays that an output would not
    keep: those whose names it writes (see ``_written_name``), e.g. the
    realisations of an earlier study; ``names``: other names it writes (a
    study's property names)."""
    m = mesh.mesh
    return sorted({name for name in list(m.point_data) + list(m.cell_data)
                   if _written_name(name, names)})


def _kept_data(mesh: Mesh, names: Sequence[str]) -> Tuple[Dict[str, Any], Dict[str, Any]]:
    m = mesh.mesh
    return ({k: v for k, v in m.point_data.items() if not _written_name(k, names)},
            {k: v for k, v in m.cell_data.items() if not _written_name(k, names)})


def with_fields(mesh: Mesh, values: np.ndarray, at: str = "nodes",
                names: Optional[Sequence[str]] = None, *,
                field_data: Optional[Mapping[str, Any]] = None) -> Any:
    """A copy of the meshio.Mesh with one point-data (``at`` nodes) or
    cell-data (cells) array per realisation, or both, named ``names``
    (default realisation_0000, ...), and the entries of ``field_data``
    (e.g. {"seed": 5}) added to its field data. The mesh's own data are
    kept, less the arrays of ``stale_arrays`` (realisations of an earlier
    study would pass for this one's)."""
    meshio = _meshio()
    nodes, cells = _split(mesh, values, at)
    k = len(nodes if nodes is not None else cells)  # type: ignore[arg-type]
    names = list(names) if names is not None else field_names(k)
    if len(names) != k:
        raise ValueError(f"{k} realisations need {k} names, got {len(names)}")
    m = mesh.mesh
    point_data, cell_data = _kept_data(mesh, names)
    for i, name in enumerate(names):
        if nodes is not None:
            point_data[name] = np.ascontiguousarray(nodes[i])
        if cells is not None:
            cell_data[name] = _cell_lists(mesh, cells[i])
    # Gmsh's entity bookkeeping (which curves bound which surface) is stored
    # by meshio as cell sets that are not sets of cells: no other format can
    # hold it.
    cell_sets = {k: v for k, v in m.cell_sets.items() if not k.startswith("gmsh:")}
    fields = dict(m.field_data)
    for key, value in (field_data or {}).items():
        fields[key] = np.atleast_1d(np.asarray(value))
    return meshio.Mesh(m.points, m.cells, point_data=point_data, cell_data=cell_data,
                       field_data=fields, point_sets=dict(m.point_sets),
                       cell_sets=cell_sets)


# ---------------------------------------------------------------------------
# Writing: every file through the one staged writer


def companion(path: str) -> Optional[str]:
    """The .h5 file that holds the data of an .xdmf file (beside the file
    the path leads to, so that a link is written through with its data),
    None for others."""
    stem, suffix = os.path.splitext(target_of(path))
    return stem + ".h5" if suffix.lower() in XDMF_SUFFIXES else None


def input_files(path: str) -> Dict[str, str]:
    """The files a mesh input consists of, each with why no output may
    replace it: the file itself, and every file an XDMF's data come from
    (its .h5 of the same stem too)."""
    files = {path: "it is the input file"}
    try:
        referenced = data_files(path)
    except MeshError:  # unreadable: the reader says so
        referenced = []
    data = companion(path)
    for name in referenced + ([data] if data is not None and os.path.exists(data) else []):
        files.setdefault(name, f"it holds the data of the input {path}")
    return files


def protected(inputs: Sequence[str]) -> Dict[str, str]:
    """Every file of the inputs (node tables and meshes) that no output may
    replace, with why: ``Staged(protect=...)``."""
    protect: Dict[str, str] = {}
    for source in inputs:
        protect.update(input_files(source) if is_mesh_path(source) else {source: "it is the input file"})
    return protect


def check_output(path: str, inputs: Sequence[str] = ()) -> str:
    """The output's suffix, or MeshError: an unknown format, or an output
    file (the .xdmf's .h5 too) that is a directory or one of the inputs, or
    a file they refer to."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in OUTPUT_SUFFIXES:
        raise MeshError(f"{path}: meshes with data are written as {', '.join(OUTPUT_SUFFIXES)}, "
                        f"not {suffix or '(no suffix)'!r}")
    probe = Staged(protected(inputs))
    try:
        for target in (path, companion(path)):
            if target is not None:
                probe.refuse(target)
    except OutputError as e:
        raise MeshError(str(e)) from None
    return suffix


def output_bytes(path: str, mesh: Mesh, k: int, at: str) -> int:
    """About the bytes a mesh output of k realisations takes (its .h5 for
    an .xdmf): the values, the nodes and the cells; a .vtu's base64 text a
    third more."""
    values = 8 * k * mesh.size(at)
    frame = 8 * int(np.asarray(mesh.mesh.points).size) + sum(
        8 * (int(np.asarray(b.data).size) + 2 * len(b.data)) for b in mesh.mesh.cells)
    point_data, cell_data = _kept_data(mesh, ())
    frame += sum(np.asarray(v).nbytes for v in point_data.values())
    frame += sum(np.asarray(b).nbytes for v in cell_data.values() for b in v)
    if os.path.splitext(path)[1].lower() == ".vtu":
        return (values + frame) * 4 // 3 + 4096
    return values + frame + 4096 * (k + 4)


def _write_into(staged: Staged, path: str, mesh: Mesh, rows: np.ndarray, at: str,
                names: Optional[Sequence[str]] = None,
                field_data: Optional[Mapping[str, Any]] = None,
                properties: Optional[Sequence[str]] = None) -> None:
    """Write the mesh with its fields under temporary names in ``staged``;
    MeshError in one line (and the group discarded) on any failure."""
    meshio = _meshio()
    suffix = check_output(path)
    try:
        if suffix in XDMF_SUFFIXES:
            _write_xdmf(meshio, staged, path, mesh, rows, at, names, field_data, properties)
        else:
            if properties is not None:
                k = len(np.atleast_2d(rows)) // len(properties)
                names = [f"{p}_{n[len('realisation_'):]}" for p in properties
                         for n in field_names(k)]
            temp = staged.file(path, suffix, output_bytes(path, mesh, len(np.atleast_2d(rows)), at))
            m = with_fields(mesh, rows, at, names, field_data=field_data)
            with contextlib.redirect_stderr(io.StringIO()):
                meshio.write(temp, m)
            if suffix == ".vtu" and field_data:
                _vtu_field_data(temp, field_data)
    except (MeshError, MemoryError):
        staged.discard()
        raise
    except OutputError as e:
        staged.discard()
        raise MeshError(str(e)) from None
    except Exception as e:
        raise MeshError(str(staged.failed(path, e))) from None
    except BaseException:
        staged.discard()
        raise


def _vtu_field_data(path: str, field_data: Mapping[str, Any]) -> None:
    """Add field data to a .vtu that meshio wrote (its writer leaves them
    out; its reader and VTK read them anywhere in the grid): written in
    place before the grid's closing tag, near the end of the file."""
    from xml.sax.saxutils import quoteattr

    items = []
    for key, value in field_data.items():
        v = np.atleast_1d(np.asarray(value))
        kind = "Int64" if v.dtype.kind in "iub" else "Float64"
        text = " ".join(str(int(x)) if kind == "Int64" else repr(float(x)) for x in v)
        items.append(f'<DataArray type="{kind}" Name={quoteattr(str(key))} '
                     f'NumberOfTuples="{len(v)}" format="ascii">{text}</DataArray>')
    block = ("<FieldData>" + "".join(items) + "</FieldData>\n").encode()
    with open(path, "r+b") as f:
        end = f.seek(0, os.SEEK_END)
        start = max(0, end - 4096)
        f.seek(start)
        tail = f.read()
        i = tail.rfind(b"</UnstructuredGrid>")
        if i < 0:
            raise MeshError(f"cannot write {path}: no grid in the .vtu that meshio wrote")
        f.seek(start + i)
        f.write(block + tail[i:])


def _xdmf_topology(meshio: Any, mesh: Mesh, path: str) -> Tuple[np.ndarray, int]:
    """The cells as one XDMF "Mixed" topology: per cell its type code, the
    node count for the types of any count (points, lines, polygons), then
    its nodes; and the number of cells."""
    from meshio.xdmf.common import meshio_type_to_xdmf_index

    parts = []
    total = 0
    for b in mesh.mesh.cells:
        data = np.asarray(b.data, dtype=np.int64)
        if not len(data):
            continue
        code = meshio_type_to_xdmf_index.get(b.type)
        if code is None:
            raise MeshError(f"cannot write {path}: XDMF has no {b.type} cells; use .vtu")
        head = [np.full((len(data), 1), code, dtype=np.int64)]
        if code in (1, 2, 3):  # polyvertex, polyline, polygon: the node count follows
            head.append(np.full((len(data), 1), data.shape[1], dtype=np.int64))
        parts.append(np.hstack(head + [data]).ravel())
        total += len(data)
    return (np.concatenate(parts) if parts else np.zeros(0, dtype=np.int64)), total


def _write_xdmf(meshio: Any, staged: Staged, path: str, mesh: Mesh, rows: np.ndarray, at: str,
                names: Optional[Sequence[str]], field_data: Optional[Mapping[str, Any]] = None,
                properties: Optional[Sequence[str]] = None) -> None:
    """A time series that ParaView steps through: realisation i is time step
    i, with one array named "realisation" at the nodes and/or at the cells
    (with ``properties``, P names: one array per property, rows holding
    the K realisations of each property in turn),
    and the mesh's own point and cell data (less ``stale_arrays``) at every
    step; the numbers are in the .h5 file of the same stem, beside the
    .xdmf's target. The .h5's blocks are reserved before HDF5 writes into
    it: a full disk is met here, not inside HDF5."""
    try:
        import h5py
    except ImportError:
        raise MeshError(f"writing {os.path.splitext(path)[1]} needs h5py ({EXTRA})") from None
    from xml.sax.saxutils import quoteattr

    nodes, cells = _split(mesh, rows, at)
    series = list(properties) if properties is not None else ["realisation"]
    k = len(nodes if nodes is not None else cells) // len(series)  # type: ignore[arg-type]
    names = list(names) if names is not None else field_names(k)
    final_h5 = companion(path)
    assert final_h5 is not None
    size = output_bytes(path, mesh, k, at)
    temp_h5 = staged.file(final_h5, ".h5", size)  # the data first, then the file naming them
    temp = staged.file(path, os.path.splitext(path)[1], 512 * (k + 2))
    h5name = os.path.basename(final_h5)

    points = np.asarray(mesh.mesh.points, dtype=np.float64)
    topology, n_cells = _xdmf_topology(meshio, mesh, path)
    n = len(points)
    geometry = "XYZ" if points.shape[1] == 3 else "XY"

    def item(name: str, shape: Tuple[int, ...], kind: str = "Float", precision: int = 8) -> str:
        return (f'<DataItem Dimensions="{" ".join(map(str, shape))}" NumberType="{kind}" '
                f'Precision="{precision}" Format="HDF">{h5name}:/{name}</DataItem>')

    lines = ['<?xml version="1.0"?>', '<Xdmf Version="3.0">', "<Domain>"]
    for key, value in (field_data or {}).items():
        lines.append(f"<Information Name={quoteattr(str(key))} Value={quoteattr(str(value))}/>")
    lines.append('<Grid Name="realisations" GridType="Collection" CollectionType="Temporal">')
    with h5py.File(temp_h5, "w") as h5:
        staged.reserve(temp_h5, size, final_h5, keep_size=True)
        h5.create_dataset("points", data=points)
        h5.create_dataset("topology", data=topology)
        # The mesh's own arrays, stored once and shown at every step.
        own: List[str] = []
        point_data, cell_data = _kept_data(mesh, names + (series if properties else []))
        for center, arrays in (("Node", point_data), ("Cell", cell_data)):
            for j, (key, value) in enumerate(arrays.items()):
                a = np.asarray(value) if center == "Node" else np.concatenate(
                    [np.asarray(v) for v, b in zip(value, mesh.mesh.cells) if len(b.data)])
                if a.dtype.kind == "b":
                    a = a.astype(np.int8)
                if a.dtype.kind not in "iuf" or a.ndim not in (1, 2):
                    continue  # XDMF holds numbers, as scalars, vectors or matrices
                kind = "Float" if a.dtype.kind == "f" else ("UInt" if a.dtype.kind == "u" else "Int")
                shape = "Scalar" if a.ndim == 1 else ("Vector" if a.shape[1] == 3 else "Matrix")
                where = f"mesh/{center.lower()}/{j}"
                h5.create_dataset(where, data=a)
                own.append(f'<Attribute Name={quoteattr(str(key))} AttributeType="{shape}" '
                           f'Center="{center}">' + item(where, a.shape, kind, a.dtype.itemsize)
                           + "</Attribute>")
        for i, name in enumerate(names):
            lines.append(f"<Grid Name={quoteattr(name)} GridType=\"Uniform\">")
            lines.append(f'<Time Value="{i}"/>')
            lines.append(f'<Topology TopologyType="Mixed" NumberOfElements="{n_cells}">'
                         + item("topology", (len(topology),), "Int") + "</Topology>")
            lines.append(f'<Geometry GeometryType="{geometry}">' + item("points", points.shape)
                         + "</Geometry>")
            for p, attribute in enumerate(series):
                row = p * k + i
                stored = name if properties is None else f"{attribute}/{name}"
                if nodes is not None:
                    h5.create_dataset(f"nodes/{stored}", data=np.asarray(nodes[row], dtype=np.float64))
                    lines.append(f'<Attribute Name={quoteattr(attribute)} AttributeType="Scalar" '
                                 f'Center="Node">' + item(f"nodes/{stored}", (n,)) + "</Attribute>")
                if cells is not None:
                    h5.create_dataset(f"cells/{stored}",
                                      data=np.concatenate(_cell_lists(mesh, cells[row])))
                    lines.append(f'<Attribute Name={quoteattr(attribute)} AttributeType="Scalar" '
                                 f'Center="Cell">' + item(f"cells/{stored}", (n_cells,))
                                 + "</Attribute>")
            lines += own
            lines.append("</Grid>")
    staged.release(temp_h5)
    lines += ["</Grid>", "</Domain>", "</Xdmf>"]
    with open(temp, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def write(path: str, mesh: Mesh, values: np.ndarray, at: str = "nodes",
          names: Optional[Sequence[str]] = None, *,
          field_data: Optional[Mapping[str, Any]] = None,
          properties: Optional[Sequence[str]] = None) -> None:
    """Write the mesh with realisations ``values`` ((K, size) or (size,))
    ``at`` nodes, cells or both: .vtu or .vtk with arrays realisation_0000,
    ...; .xdmf/.xmf as a time series (step i = realisation i, array
    "realisation") with its numbers in the .h5 file of the same stem.
    ``field_data``: entries such as {"seed": 5} (an <Information> element
    of an .xdmf). The files are put in place together, never over the
    mesh's own files.

    ``properties``: the names of P properties, ``values`` then (P K, size),
    the K realisations of each property in turn: arrays
    ``<property>_0000``, ... in a .vtu or .vtk, and one array per property
    at each time step of an .xdmf."""
    with Staged(protected([mesh.path])) as staged:
        _write_into(staged, path, mesh, values, at, names, field_data, properties)
        try:
            staged.commit()
        except OutputError as e:
            raise MeshError(str(e)) from None


class Gathered:
    """K realisations gathered in a scratch .npy beside the target (``rows``,
    a (K, size) memmap that the command line fills, its blocks reserved),
    then written by ``finish`` as a mesh file (with ``field_data``) or a
    node table (after ``comments`` lines) under a temporary name, and put in
    place by ``commit``; ``discard`` leaves nothing behind. ``sizes()``:
    what it writes beside the scratch rows, for ``atomic.check_room``."""

    def __init__(self, path: str, k: int, size: int, *, mesh: Optional[Mesh] = None,
                 at: str = "nodes", coords: Optional[Tuple[np.ndarray, np.ndarray]] = None,
                 axis_names: Tuple[str, str] = ("x", "z"), inputs: Sequence[str] = (),
                 field_data: Optional[Mapping[str, Any]] = None, comments: Sequence[str] = ()):
        self.path, self.mesh, self.at = path, mesh, at
        self.field_data, self.comments = field_data, list(comments)
        self.target = target_of(path)
        self.coords, self.axis_names = coords, axis_names
        self.staged = Staged(protected(inputs))
        self.finished = False
        self.scratch: Optional[str] = None
        self.dropped: List[str] = []
        if mesh is not None:
            check_output(path, inputs)
            out = output_bytes(path, mesh, k, at)
            self.dropped = stale_arrays(mesh)
        else:
            if k > MAX_TABLE_REALISATIONS:
                raise MeshError(f"--layout nodes writes a column per realisation and a spreadsheet "
                                f"opens at most 16,384 columns (x, z and {MAX_TABLE_REALISATIONS:,} "
                                f"realisations): {k:,} asked; use the default layout or .npy")
            try:
                self.staged.refuse(path)
            except OutputError as e:
                raise MeshError(str(e)) from None
            out = table_bytes(k, size)
        # The scratch rows are reserved below: the room check counts the
        # output that is written beside them.
        self.needs = [(path, out)]
        try:
            self.scratch = self.staged.scratch(path, 0, ".npy")
            self.rows = open_rows(self.scratch, (k, size), path)
        except OutputError as e:
            self.discard()
            raise MeshError(str(e)) from None
        except OSError as e:
            self.discard()
            raise MeshError(f"cannot write {path}: {reason(e)}") from None

    def sizes(self) -> List[Tuple[str, int]]:
        """(path, bytes) still to be written (the output; the scratch rows
        already have their blocks), for check_room."""
        return list(self.needs)

    def note(self) -> str:
        """One line on the input's arrays that the output leaves out."""
        d = self.dropped
        shown = ", ".join(d) if len(d) <= 3 else f"{d[0]}, {d[1]}, ... {d[-1]}"
        return (f"{len(d)} array{'s' * (len(d) != 1)} of {self.mesh.path if self.mesh else 'the input'} "
                f"left out of {self.path} ({shown}): the output writes arrays of "
                f"{'those names' if len(d) != 1 else 'that name'}")

    def finish(self) -> None:
        rows = self.rows
        rows.flush()
        if self.mesh is not None:
            _write_into(self.staged, self.path, self.mesh, rows, self.at, field_data=self.field_data)
        else:
            assert self.coords is not None
            temp = self.staged.file(self.path)
            try:
                write_node_table(temp, rows, self.coords, self.axis_names, comments=self.comments)
            except MemoryError:
                self.discard()
                raise
            except Exception as e:
                raise MeshError(str(self.staged.failed(self.path, e))) from None
        del rows
        self._drop_scratch()
        self.finished = True

    def commit(self) -> None:
        if not self.finished:
            self.finish()
        try:
            self.staged.commit()
        except OutputError as e:
            raise MeshError(str(e)) from None

    def _drop_scratch(self) -> None:
        if hasattr(self, "rows"):
            del self.rows
        if self.scratch:
            self.staged.forget(self.scratch)
            self.scratch = None

    def discard(self) -> None:
        self._drop_scratch()
        self.staged.discard()


# ---------------------------------------------------------------------------
# Pictures


def triangles(mesh: Mesh) -> Tuple[np.ndarray, np.ndarray]:
    """(triangles, element of each triangle) from the 2-D elements:
    triangles by their corners, quadrilaterals split in two, polygons fanned."""
    tris, owner, start = [], [], 0
    for k in mesh.elements:
        b = mesh.mesh.cells[k]
        data = np.asarray(b.data)
        m = len(data)
        nc = _corners(b.type, data.shape[1])
        corners = data[:, :nc]
        for j in range(1, nc - 1):
            tris.append(corners[:, [0, j, j + 1]])
            owner.append(start + np.arange(m))
        start += m
    if not tris:
        return np.zeros((0, 3), dtype=np.intp), np.zeros(0, dtype=np.intp)
    return np.concatenate(tris).astype(np.intp), np.concatenate(owner)
