"""random-field: realisations of a Gaussian random field over the nodes of a
mesh file (see ``random-field --help``).

- ``main``: the entry point (exit codes, signals, one-line failures);
- ``arguments``: the command line and the checks of its options;
- ``run``: the run as a pipeline, input, sampler, sinks;
- ``sinks``: one per kind of output (.npy, CSV, a mesh or node table, zarr).
"""

from .main import main

__all__ = ["main"]
