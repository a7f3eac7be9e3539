"""Many realisations of one random field for the cost of one.

``get_random_field`` does everything anew at each call: the node partition,
both covariance matrices, the Cholesky factorisation and the kriging solve.
In a Monte Carlo analysis over a fixed mesh only the standard normal variates
change from one realisation to the next, so ``Sampler`` does the expensive
part once and then draws realisations with two matrix products each::

    import numpy as np
    from random_field_sampler import Sampler

    np.random.seed(1)
    s = Sampler(x=x, z=z, theta_z=2.0, theta_x=8.0, mu=20.0, sigma=4.0)
    fields = s.draw(1000)          # (1000, N) float64, one realisation per row

The realisations are those that 1000 successive ``get_random_field`` calls
with the same keyword arguments would return after the same seed: the same
variates are taken from numpy's global generator in the same order, and the
generator ends in the same state.
"""

from __future__ import annotations

import operator

import numpy as np

import random_field

from ._checks import check_sampler_arguments
from ._checks import refuse as _refuse  # the driver's diagnostics: print, then raise

__all__ = ["Sampler"]

# The keywords the sampler takes; any other is refused as a misspelling.
ACCEPTED_KEYWORDS = ("x", "z", "theta_z", "mu", "sigma", "model", "theta_x", "Dhchol")

# Rows drawn together are bounded so that the temporaries of one batch stay
# near 64 MiB: per row, the variates, their product with the factor and the
# Cholesky values with the mean (3 Nchol), or the Cholesky values and the
# kriged values (Nchol + Nkrig), whichever is more.
_BATCH_DOUBLES = 1 << 23


def _frozen(a) -> np.ndarray:
    """A read-only view of a read-only array: the flag of a view cannot be
    turned back on while its base is read-only."""
    a = np.asarray(a)
    a.flags.writeable = False
    return a.view()


class Sampler:
    """Draws realisations of one random field over one set of nodes.

    ``Sampler(**kwargs)`` takes exactly the keyword arguments of
    ``random_field.get_random_field``: the required ``x``, ``z``, ``theta_z``,
    ``mu`` and ``sigma``, and the optional ``model`` (default 0, the Gaussian
    model), ``theta_x`` (default ``theta_z``) and ``Dhchol`` (default
    sqrt(2 pi) theta_z / 4). Scalars ``mu`` and ``sigma`` are spread over the
    nodes, and x is stretched by theta_z / theta_x, as the driver does.

    Where the driver prints a diagnostic and returns None (a missing key,
    arrays of different lengths), the constructor prints the same line and
    raises ValueError with it. What the driver would take and mishandle
    silently is refused before any work: a keyword it does not know
    (TypeError naming the closest accepted one), coordinates that are not
    real numbers or not finite, ``theta_z`` or ``theta_x`` not positive and
    finite, ``sigma`` negative or not finite, ``mu`` not finite, and a
    stretch or covariances that overflow (ValueError naming the argument).
    Coordinates of any real type, read-only or broadcast, lists and tuples
    are converted to float64 (the driver refuses integer or read-only ``z``),
    and a tuple ``mu`` is taken like a list. Everything else the module's
    functions or numpy raise (a failed factorisation, an unusable ``model``)
    passes through unchanged.

    The constructor runs the node partition, ``get_COV``, ``get_C_chol_krig``
    and the factorisation and kriging solve that ``get_chol_field`` and
    ``get_krig_field`` carry out, through the module's own functions, and
    keeps the results. It draws no random numbers: where the driver would
    have drawn its variates before a factorisation or a solve fails, the
    constructor raises the same exception with the generator untouched.

    Memory: the sampler keeps the jittered Cholesky factor ``L_chol``
    (Nchol x Nchol doubles) and the kriging solution whose first Nchol rows
    are the weights ``W`` ((Nchol + 1) x Nkrig doubles), plus the index arrays
    and the means at the Cholesky nodes. While it is built, the peak is that
    of one ``get_random_field`` call.

    Cost: ``draw(k)`` costs O(k (Nchol^2 + Nchol Nkrig)) in matrix products,
    batched over k; no factorisation and no solve.

    Attributes (read-only arrays): ``chol_ind``, ``krig_ind`` (node indices of
    the Cholesky and the kriged nodes, increasing), ``Nchol``, ``Nkrig``,
    ``N``, ``mu_chol``, ``L_chol``, ``W``.
    """

    def __init__(self, /, *args, **kwargs):  # any keyword, 'self' too, is the caller's
        if args:
            raise TypeError(f"Sampler() takes exactly 0 positional arguments ({len(args)} given)")
        kwargs = dict(kwargs)

        # The driver's diagnostics, then the checks of what it would mishandle,
        # and the conversion of x, z, mu and sigma to float64 arrays.
        kwargs = check_sampler_arguments(kwargs, ACCEPTED_KEYWORDS)
        x, z = kwargs["x"], kwargs["z"]
        theta_z, mu, sigma = kwargs["theta_z"], kwargs["mu"], kwargs["sigma"]
        model = kwargs["model"] if "model" in kwargs else 0
        theta_x = kwargs["theta_x"] if "theta_x" in kwargs else theta_z
        if "Dhchol" in kwargs:
            Dhchol = kwargs["Dhchol"]
        else:
            Dhchol = np.sqrt(2.0 * np.pi) * theta_z / 4.0
        x = x * theta_z / theta_x

        self.N = N = len(x)
        if N == 0:
            # No nodes: empty realisations, and no random numbers drawn.
            self._set(np.zeros(0, dtype=np.intp), np.zeros(0, dtype=np.intp),
                      np.zeros(0), np.zeros((0, 0)), np.zeros((1, 0)))
            return

        # The partition and the two covariance matrices, by the module's functions.
        chol_ind, xvchol, zvchol, krig_ind, xvkrig, zvkrig = \
            random_field.get_chol_krig_nodes(x, z, Dhchol)
        sigma_chol = sigma[list(chol_ind)]
        sigma_krig = sigma[list(krig_ind)]
        mu_chol = mu[list(chol_ind)]
        COV = random_field.get_COV(xvchol, zvchol, theta_z, model, sigma_chol)
        C_chol_krig = random_field.get_C_chol_krig(xvchol, zvchol, xvkrig, zvkrig, theta_z,
                                                   model, sigma_chol, sigma_krig)

        # The factor get_chol_field makes: COV with 0.0001 times its smallest
        # element added on the diagonal.
        Nchol = len(COV)
        L_chol = np.linalg.cholesky(COV + 0.0001 * np.min(COV) * np.identity(Nchol))

        # The solve get_krig_field makes: the ordinary kriging system, with a
        # row and a column of ones that make the weights of each kriged node
        # sum to one.
        Nkrig = C_chol_krig.shape[1]
        rhs = np.vstack((C_chol_krig, np.ones(Nkrig)))
        del C_chol_krig
        A = np.hstack((COV, np.transpose([np.ones(Nchol)])))
        del COV
        A = np.vstack((A, np.ones(Nchol + 1)))
        A[Nchol, Nchol] = 0.0
        krig = np.linalg.solve(A, rhs)
        del A, rhs
        self._set(chol_ind, krig_ind, mu_chol, L_chol, krig)

    def _set(self, chol_ind, krig_ind, mu_chol, L_chol, krig) -> None:
        self.chol_ind = _frozen(np.asarray(chol_ind, dtype=np.intp))
        self.krig_ind = _frozen(np.asarray(krig_ind, dtype=np.intp))
        self.Nchol = len(self.chol_ind)
        self.Nkrig = len(self.krig_ind)
        self.mu_chol = _frozen(mu_chol)
        self.L_chol = _frozen(L_chol)
        # W is a view of the whole solution, the Lagrange multipliers being
        # its last row: the same array, laid out the same way, as the weights
        # get_krig_field multiplies with.
        self._krig = _frozen(krig)
        self.W = self._krig[0:self.Nchol, 0:self.Nkrig]

    def __repr__(self) -> str:
        return f"<Sampler: N={self.N}, Nchol={self.Nchol}, Nkrig={self.Nkrig}>"

    def draw(self, k: int = 1) -> np.ndarray:
        """Return k realisations as a new (k, N) float64 array, one per row.

        Row i is the realisation that the i-th of k successive
        ``get_random_field`` calls would return: k times Nchol standard
        normal variates are taken from numpy's global generator
        (``np.random.normal``) in the same order, so after the same seed the
        rows equal those calls' results up to rounding, and the generator
        ends in the same state. A single realisation (k = 1) is computed with
        the very products the driver uses, so it equals the driver's result
        bit for bit.
        """
        k = operator.index(k)
        if k < 0:
            raise ValueError(f"draw() needs a number of realisations >= 0, got {k}")
        out = np.zeros((k, self.N))
        if k == 0 or self.N == 0:
            return out
        if k == 1:
            rv = np.random.normal(loc=0, scale=1, size=self.Nchol)
            chol_field = self.mu_chol + (self.L_chol @ rv)
            out[0, self.chol_ind] = chol_field
            out[0, self.krig_ind] = np.transpose(self.W) @ chol_field
            return out
        batch = max(1, _BATCH_DOUBLES // max(3 * self.Nchol, self.Nchol + self.Nkrig))
        for start in range(0, k, batch):
            rows = out[start:start + batch]
            # One block of variates in the order successive draws take them:
            # row by row, Nchol to a row.
            rv = np.random.normal(loc=0, scale=1, size=(len(rows), self.Nchol))
            chol = self.mu_chol + rv @ np.transpose(self.L_chol)
            del rv
            rows[:, self.chol_ind] = chol
            rows[:, self.krig_ind] = chol @ self.W
        return out
