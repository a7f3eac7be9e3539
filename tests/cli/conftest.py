"""Fixtures of the command-line tests: a small node file, and a way to make
the command draw in small batches."""

import pytest

from random_field_sampler import Sampler

from cli_helpers import X, Z, write_csv


@pytest.fixture
def mesh_csv(tmp_path):
    return write_csv(tmp_path / "mesh.csv", [f"{i},{float(x)!r},{float(z)!r}" for i, (x, z) in enumerate(zip(X, Z))])


@pytest.fixture
def batches(monkeypatch):
    """``batches(rows, hook=None)``: the command's sampler yields batches of
    `rows` realisations, and ``hook(n, block)`` runs before the n-th batch
    (from 1) is handed over; returns the list of batch lengths so far."""
    def install(rows, hook=None):
        real = Sampler.blocks
        calls = []

        def blocks(self, k, *args, **kwargs):
            kwargs["rows"] = rows
            for offset, block in real(self, k, *args, **kwargs):
                calls.append(len(block))
                if hook is not None:
                    hook(len(calls), block)
                yield offset, block

        monkeypatch.setattr(Sampler, "blocks", blocks)
        return calls
    return install
