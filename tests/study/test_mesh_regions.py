"""Regions of a study on a mesh: physical groups by name or tag, cell
blocks, nodes shared by two layers, and points in no region."""
import numpy as np
import pytest

from random_field_sampler import Property, Region, Study
from random_field_sampler.io import mesh as fe

PROPS = {"c": Property("normal", mean=0.0, sd=1.0)}


def layer(name, **kw):
    return Region(name, properties=PROPS, theta_z=2.0, theta_x=6.0, **kw)


@pytest.fixture(scope="module")
def m(slope):
    return fe.read(str(slope))


@pytest.mark.parametrize("how", ["name", "tag"])
def test_every_cell_takes_its_layer(m, how):
    regions = ([layer("clay"), layer("sand")] if how == "name"
               else [layer("top", tag=2), layer("bottom", tag=1)])
    study = Study.on_mesh(m, regions, at="cells")
    z = m.centroids[:, 1]
    clay, sand = study.members
    assert len(clay) + len(sand) == m.n_cells and len(clay) and len(sand)
    assert (z[clay] > 4).all() and (z[sand] < 4).all()


def test_a_node_on_the_interface_takes_the_region_listed_first(m):
    on = np.abs(m.nodes[:, 1] - 4.0) < 1e-9
    assert on.sum() > 5
    for first, second in (("clay", "sand"), ("sand", "clay")):
        study = Study.on_mesh(m, [layer(first), layer(second)], at="nodes")
        label = np.empty(m.n_nodes, dtype=int)
        for r, members in enumerate(study.members):
            label[members] = r
        assert (label[on] == 0).all()
        above = m.nodes[:, 1] > 4 + 1e-9
        assert (label[above] == (0 if first == "clay" else 1)).all()
        assert (label[~above & ~on] == (1 if first == "clay" else 0)).all()


def test_layers_are_independent_and_keep_their_statistics(m):
    clay = Region("clay", theta_z=2.0, theta_x=6.0, angle=10.0,
                  properties={"c": Property("lognormal", mean=20.0, sd=6.0)})
    sand = Region("sand", theta_z=2.0, model="exponential",
                  properties={"c": Property("lognormal", mean=2.0, sd=0.5)})
    study = Study.on_mesh(m, [clay, sand], at="cells")
    v = study.draw(2000, seed=4)["c"]
    for members, (mean, sd) in zip(study.members, ((20.0, 6.0), (2.0, 0.5))):
        assert abs(v[:, members].mean() / mean - 1) < 0.05
        assert np.all(np.abs(v[:, members].std(axis=0) / sd - 1) < 0.2)
    # no variate of one layer reaches the other
    xi = np.zeros(study.n_variates)
    xi[:study.samplers[0].n_variates] = 1.0
    got = study.field(xi)["c"]
    assert np.all(got[study.members[1]] == study.field(0 * xi)["c"][study.members[1]])


def test_block_regions_and_a_default(m):
    assert len(m.elements) == 2          # gmsh writes a block per surface
    sizes = [len(m.mesh.cells[b].data) for b in m.elements]
    blocks = Study.on_mesh(m, [layer(f"b{b}", block=b) for b in m.elements], at="cells")
    assert [list(x) for x in blocks.members] == [list(range(sizes[0])),
                                                 list(range(sizes[0], sum(sizes)))]
    part = Study.on_mesh(m, [layer("clay"), layer("rest")], at="cells", default="rest")
    assert len(part.members[0]) + len(part.members[1]) == m.n_cells


@pytest.mark.parametrize("regions, at, words", [
    (lambda: [layer("clay")], "cells", "elements are in no region; the first, element "),
    (lambda: [layer("clay")], "nodes", "nodes are in no region; the first, node "),
    (lambda: [layer("clya")], "cells", "no physical group of its elements named 'clya' (did you mean 'clay'?)"),
    (lambda: [layer("base")], "cells", "named 'base'"),
    (lambda: [layer("x", tag=9)], "cells", "no element of the mesh is in physical group 9"),
    (lambda: [layer("x", block=99)], "cells", "block 99 is not a block of the mesh's elements"),
    (lambda: [layer("clay")], "both", "at 'cells' or 'nodes'"),
])
def test_regions_that_do_not_cover_the_mesh_are_refused(m, regions, at, words):
    with pytest.raises(ValueError) as got:
        Study.on_mesh(m, regions(), at=at)
    assert words in str(got.value) and "\n" not in str(got.value)
