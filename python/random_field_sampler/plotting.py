"""Pictures of one realisation: over scattered nodes, or on a mesh's own
elements. Each function draws into a new matplotlib figure and returns its
Axes; the caller saves it (``save``) or goes on drawing. Needs the ``plot``
extra (matplotlib)."""

from __future__ import annotations

import os
from typing import Any, Tuple

import numpy as np

__all__ = ["EXTRA", "picture_format", "field_axes", "mesh_axes", "save"]

EXTRA = "pip install 'random_field[plot]'"


def _pyplot() -> Any:
    """pyplot on a file-only backend, or ImportError naming the extra."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError(f"pictures need matplotlib ({EXTRA})") from None
    return plt


def picture_format(path: str) -> str:
    """The format of a picture file by its suffix ("png", "pdf", ...):
    ImportError without matplotlib, ValueError for a suffix it cannot write."""
    plt = _pyplot()
    fmt = os.path.splitext(path)[1].lower().lstrip(".")
    fig = plt.figure()
    supported = fig.canvas.get_supported_filetypes()
    plt.close(fig)
    if fmt not in supported:
        raise ValueError(f"{path}: unknown picture type {fmt or '(none)'!r}; use one of "
                         f"{', '.join(sorted(supported))}")
    return fmt


def _figure(x: np.ndarray, z: np.ndarray) -> Tuple[Any, Any]:
    """A figure and Axes sized to the extent of the points, within bounds."""
    plt = _pyplot()
    width = max(float(np.ptp(x)), 1e-300)
    height = max(float(np.ptp(z)), 1e-300)
    aspect = min(max(height / width, 0.15), 3.0)
    size = (9.0, 9.0 * aspect + 1.4) if aspect <= 0.7 else (6.5 / aspect + 1.8, 6.5)
    return plt.subplots(figsize=size)


def _finish(ax: Any, shown: Any, xlabel: str, zlabel: str, title: str, depth_down: bool) -> Any:
    from mpl_toolkits.axes_grid1 import make_axes_locatable

    ax.set_aspect("equal")
    ax.set_xlabel(xlabel)
    ax.set_ylabel(f"depth {zlabel}" if depth_down else zlabel)
    if depth_down:
        ax.invert_yaxis()
    if title:
        ax.set_title(title, fontsize=10)
    cax = make_axes_locatable(ax).append_axes("right", size=0.18, pad=0.15)
    ax.figure.colorbar(shown, cax=cax, label="field value")
    return ax


def field_axes(x: Any, z: Any, field: Any, title: str = "", depth_down: bool = False) -> Any:
    """The field shaded over the triangles between the nodes (Delaunay, less
    the long triangles that bridge concave parts of the mesh); nodes that
    cannot be triangulated (fewer than three, or all on one line) are drawn
    as dots instead. ``depth_down`` turns the vertical axis so that z grows
    downward."""
    from matplotlib.tri import Triangulation

    x, z = np.asarray(x, dtype=np.float64), np.asarray(z, dtype=np.float64)
    fig, ax = _figure(x, z)
    try:
        tri = Triangulation(x, z)
        a, b, c = (tri.triangles[:, i] for i in range(3))
        edges = np.maximum.reduce([np.hypot(x[a] - x[b], z[a] - z[b]),
                                   np.hypot(x[b] - x[c], z[b] - z[c]),
                                   np.hypot(x[c] - x[a], z[c] - z[a])])
        tri.set_mask(edges > 3.0 * np.median(edges))
        shown = ax.tripcolor(tri, field, shading="gouraud", cmap="viridis")
    except (ValueError, RuntimeError):  # too few nodes, or all on one line
        shown = ax.scatter(x, z, c=field, s=16.0, cmap="viridis")
    return _finish(ax, shown, "x", "z", title, depth_down)


def mesh_axes(mesh: Any, values: Any, at: str = "nodes", title: str = "",
              depth_down: bool = False) -> Any:
    """One realisation (``values`` at the mesh's nodes, cells or both, as
    ``Mesh.coordinates(at)`` orders them) on the mesh's own elements: cell
    values as flat colours, node values shaded between the nodes (``at``
    "both": the node values); holes stay holes. Meshes without 2-D
    elements are drawn as coloured dots."""
    from matplotlib.tri import Triangulation

    from .io.mesh import triangles

    values = np.asarray(values, dtype=np.float64).ravel()
    if len(values) != mesh.size(at):
        raise ValueError(f"values at {at} of this mesh need {mesh.size(at)} entries, got {len(values)}")
    nodes = values[:mesh.n_nodes] if at in ("nodes", "both") else None
    cells = values[mesh.n_nodes if at == "both" else 0:] if at in ("cells", "both") else None
    x, z = mesh.nodes[:, 0], mesh.nodes[:, 1]
    fig, ax = _figure(x, z)
    tris, owner = triangles(mesh) if mesh.dim == 2 else (np.zeros((0, 3), np.intp), None)
    if len(tris):
        tri = Triangulation(x, z, tris)
        if nodes is not None:
            shown = ax.tripcolor(tri, nodes, shading="gouraud", cmap="viridis")
        else:
            shown = ax.tripcolor(tri, facecolors=cells[owner], shading="flat",  # type: ignore[index]
                                 cmap="viridis")
    elif nodes is not None:
        shown = ax.scatter(x, z, c=nodes, s=12.0, cmap="viridis")
    else:
        shown = ax.scatter(mesh.centroids[:, 0], mesh.centroids[:, 1], c=cells, s=12.0,
                           cmap="viridis", marker="s")
    hname, vname = mesh.axis_names()
    return _finish(ax, shown, hname, vname, title, depth_down)


def mark_points(ax: Any, x: Any, z: Any) -> None:
    """Mark points (measured data) on a picture of a field, keeping its
    extent."""
    limits = ax.get_xlim(), ax.get_ylim()
    ax.plot(np.asarray(x), np.asarray(z), "k+", markersize=5, markeredgewidth=0.8)
    ax.set_xlim(*limits[0])
    ax.set_ylim(*limits[1])


def save(ax: Any, path: str, fmt: str = "png") -> None:
    """Write the figure of `ax` to `path` (any open file name: the command
    line gives a temporary one) in `fmt`, and close it."""
    plt = _pyplot()
    ax.figure.savefig(path, format=fmt, dpi=150, bbox_inches="tight")
    plt.close(ax.figure)
