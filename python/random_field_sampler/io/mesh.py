"""Finite-element meshes: the nodes and element centroids a field is drawn
at, and realisations written back onto the mesh for ParaView and the like.

    from random_field_sampler import Sampler, mesh

    m = mesh.read("slope.msh")                 # any format meshio reads
    x, z = m.coordinates("cells")              # one point per element
    fields = Sampler(x=x, z=z, theta_z=2.0, mu=20.0, sigma=4.0).draw(100)
    mesh.write("fields.vtu", m, fields, at="cells")   # realisation_0000, ...

The field's x and z are two of the mesh's coordinates: the first two by
default, which the mesh must then lie in (its third coordinate constant),
or the pair named by ``plane`` ("xy", "xz" or "yz"), the remaining
coordinate being ignored (the field is constant along it).

Elements are the cells of the mesh's highest dimension (in a 2-D mesh its
triangles and quadrilaterals of any order, together in one mesh if need be);
cells of lower dimension that mesh generators add for boundaries and
physical groups (lines, points) are kept in written files but are not
elements and carry NaN. The centroid of a triangle or a quadrilateral is
the centroid of the area its corner nodes enclose; of other cells, the mean
of their corner nodes.

Files are written under a temporary name in the target's folder and renamed
when complete; an .xdmf file and the .h5 file holding its data are renamed
together (the .h5 first). Nothing is left behind when writing fails.

This module never draws random numbers and never modifies the mesh it was
given: written meshes are copies with data added.
"""

from __future__ import annotations

import contextlib
import io
import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from .atomic import OutputError, Staged, reason, target_of
from .nodes import MAX_TABLE_REALISATIONS, NODE_SUFFIXES, field_names, table_bytes, write_node_table

__all__ = ["MeshError", "Mesh", "read", "from_meshio", "is_mesh_path", "field_names", "with_fields",
           "write", "input_files", "companion", "check_output", "output_bytes", "PLANES", "AT",
           "OUTPUT_SUFFIXES", "Gathered", "plot"]

PLANES = {"xy": (0, 1), "xz": (0, 2), "yz": (1, 2)}
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
    of the corners for polygons without area."""
    x, y = p[..., 0], p[..., 1]
    xn, yn = np.roll(x, -1, axis=1), np.roll(y, -1, axis=1)
    cross = x * yn - xn * y
    area = cross.sum(axis=1) / 2.0
    mean = p.mean(axis=1)
    scale = np.abs(p - mean[:, None, :]).max(axis=(1, 2))
    with np.errstate(divide="ignore", invalid="ignore"):
        cx = ((x + xn) * cross).sum(axis=1) / (6.0 * area)
        cy = ((y + yn) * cross).sum(axis=1) / (6.0 * area)
    flat = ~(np.abs(area) > 1e-12 * scale * scale)
    cx[flat], cy[flat] = mean[flat, 0], mean[flat, 1]
    return np.column_stack([cx, cy])


@dataclass
class Mesh:
    """A mesh as read (``mesh``: the meshio.Mesh) and the field's view of it.

    ``plane``: the two coordinates used, e.g. "xy"; ``nodes``: (n, 2) float64
    in-plane node coordinates; ``elements``: indices of the cell blocks that
    are elements; ``centroids``: (m, 2) float64 element centroids, block by
    block in the file's order."""

    mesh: Any
    path: str
    plane: str
    nodes: np.ndarray
    elements: List[int]
    centroids: np.ndarray
    dim: int = field(default=0)

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
        return self.plane[0], self.plane[1]


def from_meshio(m: Any, plane: Optional[str] = None, path: str = "mesh") -> Mesh:
    """The field's view of a meshio.Mesh; see ``read``."""
    if plane is not None and plane not in PLANES:
        raise ValueError(f"plane must be one of {', '.join(PLANES)}, got {plane!r}")
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
    if plane is None:
        if pts.shape[1] == 3 and np.ptp(pts[:, 2]) > 1e-9 * max(float(np.ptp(pts)), 1e-300):
            flat = [p for p, (i, j) in PLANES.items()
                    if np.ptp(pts[:, 3 - i - j]) <= 1e-9 * float(np.ptp(pts))]
            hint = f"it lies in the {flat[0]} plane: use --plane {flat[0]}" if flat else \
                "choose the field's plane with --plane xy|xz|yz (the third coordinate is then ignored)"
            raise MeshError(f"{path}: the mesh is 3-D (z from {pts[:, 2].min():g} to "
                            f"{pts[:, 2].max():g}); {hint}")
        plane = "xy"
    i, j = PLANES[plane]
    if j >= pts.shape[1]:
        raise MeshError(f"{path}: the mesh has 2 coordinates per node; --plane {plane} needs 3")
    nodes = np.ascontiguousarray(pts[:, [i, j]])

    blocks = list(m.cells)
    for b in blocks:
        data = np.asarray(b.data)
        if data.size and (data.dtype.kind not in "iu" or data.min() < 0 or data.max() >= n):
            raise MeshError(f"{path}: {b.type} cells refer to nodes that the mesh does not have")
    dims = [b.dim for b in blocks if len(b.data)]
    dim = max(dims) if dims else 0
    elements = [k for k, b in enumerate(blocks) if b.dim == dim and len(b.data)] if dim > 0 else []
    parts = []
    for k in elements:
        b = blocks[k]
        data = np.asarray(b.data)
        corners = data[:, :_corners(b.type, data.shape[1])]
        p = nodes[corners]
        parts.append(_area_centroids(p) if b.dim == 2 and corners.shape[1] >= 3 else p.mean(axis=1))
    centroids = np.concatenate(parts) if parts else np.zeros((0, 2))
    return Mesh(mesh=m, path=path, plane=plane, nodes=nodes, elements=elements,
                centroids=np.ascontiguousarray(centroids, dtype=np.float64), dim=dim)


def _read_quietly(meshio: Any, path: str) -> Any:
    """meshio's reader for the file's extension, without its printing: its
    ``read`` prints each reader's error and then exits the process."""
    from pathlib import Path

    helpers = getattr(meshio, "_helpers", None)
    readers = getattr(helpers, "reader_map", None)
    formats_of = getattr(helpers, "_filetypes_from_path", None)
    sink = io.StringIO()
    with contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
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


def read(path: str, plane: Optional[str] = None) -> Mesh:
    """Read any mesh that meshio reads. ``plane`` None takes the first two
    coordinates and refuses a mesh whose third coordinate is not constant.
    MeshError, in one line, for a file that is missing, unreadable or
    truncated, a 3-D mesh without a plane, and non-finite coordinates."""
    meshio = _meshio()
    path = os.fspath(path)
    if not os.path.exists(path):
        raise MeshError(f"{path}: no such file")
    if os.path.isdir(path):
        raise MeshError(f"{path}: is a directory")
    try:
        m = _read_quietly(meshio, path)
    except MemoryError:
        raise
    except meshio.ReadError as e:
        first = (str(e).strip().splitlines() or ["unknown format"])[0]
        raise MeshError(f"{path}: not a readable mesh file ({first})") from None
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


def with_fields(mesh: Mesh, values: np.ndarray, at: str = "nodes",
                names: Optional[Sequence[str]] = None, *,
                field_data: Optional[Mapping[str, Any]] = None) -> Any:
    """A copy of the meshio.Mesh with one point-data (``at`` nodes) or
    cell-data (cells) array per realisation, or both, named ``names``
    (default realisation_0000, ...), and the entries of ``field_data``
    (e.g. {"seed": 5}) added to its field data. The mesh's own data are
    kept; arrays of the same names are replaced."""
    meshio = _meshio()
    nodes, cells = _split(mesh, values, at)
    k = len(nodes if nodes is not None else cells)  # type: ignore[arg-type]
    names = list(names) if names is not None else field_names(k)
    if len(names) != k:
        raise ValueError(f"{k} realisations need {k} names, got {len(names)}")
    m = mesh.mesh
    point_data = dict(m.point_data)
    cell_data = dict(m.cell_data)
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
    replace it: the file itself, and the .h5 that holds an XDMF's data."""
    files = {path: "it is the input file"}
    data = companion(path)
    if data is not None and os.path.exists(data):
        files[data] = f"it holds the data of the input {path}"
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
    if os.path.splitext(path)[1].lower() == ".vtu":
        return (values + frame) * 4 // 3 + 4096
    return values + frame + 4096 * (k + 4)


def _write_into(staged: Staged, path: str, mesh: Mesh, rows: np.ndarray, at: str,
                names: Optional[Sequence[str]] = None,
                field_data: Optional[Mapping[str, Any]] = None) -> None:
    """Write the mesh with its fields under temporary names in ``staged``;
    MeshError in one line (and the group discarded) on any failure."""
    meshio = _meshio()
    suffix = check_output(path)
    try:
        if suffix in XDMF_SUFFIXES:
            _write_xdmf(meshio, staged, path, mesh, rows, at, names, field_data)
        else:
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
                names: Optional[Sequence[str]], field_data: Optional[Mapping[str, Any]] = None) -> None:
    """A time series that ParaView steps through: realisation i is time step
    i, with one array named "realisation" at the nodes and/or at the cells;
    the numbers are in the .h5 file of the same stem, beside the .xdmf's
    target. The .h5's blocks are reserved before HDF5 writes into it: a
    full disk is met here, not inside HDF5."""
    try:
        import h5py
    except ImportError:
        raise MeshError(f"writing {os.path.splitext(path)[1]} needs h5py ({EXTRA})") from None
    from xml.sax.saxutils import quoteattr

    nodes, cells = _split(mesh, rows, at)
    k = len(nodes if nodes is not None else cells)  # type: ignore[arg-type]
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

    def item(name: str, shape: Tuple[int, ...], kind: str = "Float") -> str:
        return (f'<DataItem Dimensions="{" ".join(map(str, shape))}" NumberType="{kind}" '
                f'Precision="8" Format="HDF">{h5name}:/{name}</DataItem>')

    lines = ['<?xml version="1.0"?>', '<Xdmf Version="3.0">', "<Domain>"]
    for key, value in (field_data or {}).items():
        lines.append(f"<Information Name={quoteattr(str(key))} Value={quoteattr(str(value))}/>")
    lines.append('<Grid Name="realisations" GridType="Collection" CollectionType="Temporal">')
    with h5py.File(temp_h5, "w") as h5:
        staged.reserve(temp_h5, size, final_h5, keep_size=True)
        h5.create_dataset("points", data=points)
        h5.create_dataset("topology", data=topology)
        for i, name in enumerate(names):
            lines.append(f"<Grid Name={quoteattr(name)} GridType=\"Uniform\">")
            lines.append(f'<Time Value="{i}"/>')
            lines.append(f'<Topology TopologyType="Mixed" NumberOfElements="{n_cells}">'
                         + item("topology", (len(topology),), "Int") + "</Topology>")
            lines.append(f'<Geometry GeometryType="{geometry}">' + item("points", points.shape)
                         + "</Geometry>")
            if nodes is not None:
                h5.create_dataset(f"nodes/{name}", data=np.asarray(nodes[i], dtype=np.float64))
                lines.append('<Attribute Name="realisation" AttributeType="Scalar" Center="Node">'
                             + item(f"nodes/{name}", (n,)) + "</Attribute>")
            if cells is not None:
                h5.create_dataset(f"cells/{name}", data=np.concatenate(_cell_lists(mesh, cells[i])))
                lines.append('<Attribute Name="realisation" AttributeType="Scalar" Center="Cell">'
                             + item(f"cells/{name}", (n_cells,)) + "</Attribute>")
            lines.append("</Grid>")
    staged.release(temp_h5)
    lines += ["</Grid>", "</Domain>", "</Xdmf>"]
    with open(temp, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def write(path: str, mesh: Mesh, values: np.ndarray, at: str = "nodes",
          names: Optional[Sequence[str]] = None, *,
          field_data: Optional[Mapping[str, Any]] = None) -> None:
    """Write the mesh with realisations ``values`` ((K, size) or (size,))
    ``at`` nodes, cells or both: .vtu or .vtk with arrays realisation_0000,
    ...; .xdmf/.xmf as a time series (step i = realisation i, array
    "realisation") with its numbers in the .h5 file of the same stem.
    ``field_data``: entries such as {"seed": 5} (an <Information> element
    of an .xdmf). The files are put in place together, never over the
    mesh's own files."""
    with Staged(protected([mesh.path])) as staged:
        _write_into(staged, path, mesh, values, at, names, field_data)
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
    what it puts on the disk at once, for ``atomic.check_room``."""

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
        if mesh is not None:
            check_output(path, inputs)
            out = output_bytes(path, mesh, k, at)
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
        # On the disk at once: the scratch rows and the output.
        self.needs = [(path, 8 * k * size + 128), (path, out)]
        try:
            self.scratch = self.staged.scratch(path, 0, ".npy")
            self.rows = np.lib.format.open_memmap(self.scratch, mode="w+", dtype=np.float64,
                                                  shape=(k, size))
            self.staged.reserve(self.scratch, os.path.getsize(self.scratch), path)
        except OutputError as e:
            self.discard()
            raise MeshError(str(e)) from None
        except OSError as e:
            self.discard()
            raise MeshError(f"cannot write {path}: {reason(e)}") from None

    def sizes(self) -> List[Tuple[str, int]]:
        """(path, bytes) of what is on the disk at once, for check_room."""
        return list(self.needs)

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


def _triangles(mesh: Mesh) -> Tuple[np.ndarray, np.ndarray]:
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


def plot(plt: Any, fmt: str, target: str, mesh: Mesh, values: np.ndarray, at: str,
         title: str = "", depth_down: bool = False) -> None:
    """Draw one realisation on the mesh's own elements: cell values as flat
    colours, node values shaded between the nodes (``at`` "both": the node
    values); holes stay holes. Meshes without 2-D elements are drawn as
    coloured dots. ``depth_down`` turns the vertical axis so that it grows
    downward."""
    from matplotlib.tri import Triangulation
    from mpl_toolkits.axes_grid1 import make_axes_locatable

    nodes, cells = _split(mesh, values, at)
    x, z = mesh.nodes[:, 0], mesh.nodes[:, 1]
    width = max(float(np.ptp(x)), 1e-300)
    height = max(float(np.ptp(z)), 1e-300)
    aspect = min(max(height / width, 0.15), 3.0)
    size = (9.0, 9.0 * aspect + 1.4) if aspect <= 0.7 else (6.5 / aspect + 1.8, 6.5)
    fig, ax = plt.subplots(figsize=size)
    tris, owner = _triangles(mesh) if mesh.dim == 2 else (np.zeros((0, 3), np.intp), None)
    if len(tris):
        tri = Triangulation(x, z, tris)
        if nodes is not None:
            shown = ax.tripcolor(tri, nodes[0], shading="gouraud", cmap="viridis")
        else:
            shown = ax.tripcolor(tri, facecolors=cells[0][owner], shading="flat",  # type: ignore[index]
                                 cmap="viridis")
    elif nodes is not None:
        shown = ax.scatter(x, z, c=nodes[0], s=12.0, cmap="viridis")
    else:
        shown = ax.scatter(mesh.centroids[:, 0], mesh.centroids[:, 1], c=cells[0], s=12.0,  # type: ignore[index]
                           cmap="viridis", marker="s")
    ax.set_aspect("equal")
    hname, vname = mesh.axis_names()
    ax.set_xlabel(hname)
    ax.set_ylabel(f"depth {vname}" if depth_down else vname)
    if depth_down:
        ax.invert_yaxis()
    if title:
        ax.set_title(title, fontsize=10)
    cax = make_axes_locatable(ax).append_axes("right", size=0.18, pad=0.15)
    fig.colorbar(shown, cax=cax, label="field value")
    fig.savefig(target, format=fmt, dpi=150, bbox_inches="tight")
    plt.close(fig)
