"""Node tables: written with their comment lines and header, read back
exactly; the names of realisations."""

import numpy as np
import pytest

from random_field_sampler.io import nodes


def test_a_node_table_reads_back_exactly(tmp_path):
    rng = np.random.default_rng(3)
    x, z = rng.normal(size=7) * 1e5, rng.normal(size=7) * 1e-7
    rows = rng.normal(size=(3, 7)) * [[1e-300], [1.0], [1e300]]
    path = tmp_path / "t.csv"
    nodes.write_node_table(str(path), rows, (x, z), ("u", "v"), comments=["seed: 5", "mesh: m.vtu"])
    lines = path.read_text().splitlines()
    assert lines[:3] == ["# seed: 5", "# mesh: m.vtu", "u,v,realisation_0000,realisation_0001,realisation_0002"]
    table = np.loadtxt(path, delimiter=",", skiprows=3)
    assert table.tobytes() == np.column_stack([x, z, rows.T]).tobytes()
    assert path.stat().st_size >= nodes.table_bytes(3, 7)


@pytest.mark.parametrize("k, start, first, last", [(3, 0, "realisation_0000", "realisation_0002"),
                                                    (2, 9999, "realisation_09999", "realisation_10000"),
                                                    (1, 123456, "realisation_123456", "realisation_123456")])
def test_field_names(k, start, first, last):
    names = nodes.field_names(k, start)
    assert len(names) == k and names[0] == first and names[-1] == last
    assert len({len(n) for n in names}) == 1  # one width: they sort as they count


@pytest.mark.parametrize("suffix, body, message", [
    (".tsv", "x\tz\n0\t1\n2\t3\n", None),
    (".txt", "x z\n0 1\n2\n", "line 3: no z value"),
    (".csv", "", "the file is empty"),
    (".npz", None, "not a readable numpy file"),
    (".dat", "x,z\n0,1\n", "unknown node file type '.dat'"),
])
def test_node_files_read_or_refused_in_one_line(tmp_path, suffix, body, message):
    path = tmp_path / f"n{suffix}"
    path.write_bytes(b"PK\x03\x04 broken" if body is None else body.encode())
    if message is None:
        x, z = nodes.read_nodes(str(path), None, None)
        assert x.tolist() == [0.0, 2.0] and z.tolist() == [1.0, 3.0]
        return
    with pytest.raises(nodes.NodeFileError) as e:
        nodes.read_nodes(str(path), None, None)
    assert str(e.value).startswith(str(path)) and message in str(e.value) and "\n" not in str(e.value)
