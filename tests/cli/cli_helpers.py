"""Helpers of the command-line tests: a small node file, the command run in
this process, bit-for-bit comparison."""

import os

import numpy as np

from random_field_sampler.cli import main

X, Z = (a.ravel() for a in np.meshgrid(np.arange(14) * 0.5, np.arange(6) * 0.5))
N = len(X)


def write_csv(path, rows, header="id,x,z"):
    path.write_text(header + "\n" + "".join(r + "\n" for r in rows))
    return path


def cli(*argv):
    """Run the command in this process: its exit status."""
    return main([str(a) for a in argv])


def run_ok(*argv):
    assert cli(*argv, "-q") == 0


def files(folder):
    return sorted(os.listdir(folder))


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()
