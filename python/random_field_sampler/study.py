"""A site, not one field: regions, each with several cross-correlated
properties of their own marginal distributions.

A ``Study`` covers one set of points (nodes or cell centres) split into
regions (``Region``): soil layers, each with its own correlation structure
(model, theta_x, theta_z, angle, fill) and its properties (``Property``: a
marginal distribution each). Within a region every property shares the
region's structure::

    from random_field_sampler import Property, Region, Study

    clay = Region("clay", model="exponential", theta_x=10.0, theta_z=2.0, angle=10.0,
                  properties={"cohesion": Property("lognormal", mean=20.0, sd=6.0),
                              "friction": Property("normal", mean=25.0, sd=3.0)},
                  correlation={"cohesion,friction": -0.5})
    study = Study([clay], x=x, z=z)
    values = study.draw(100, seed=1)      # {"cohesion": (100, N), "friction": (100, N)}

How a realisation is made. Each region builds one standard-field sampler
(``Sampler`` with mu=0, sigma=1) over its own points: one factorisation,
shared by its P properties. A realisation takes P independent standard
fields of that sampler, mixes them by the lower Cholesky factor of the
region's Gaussian correlation matrix (so that at every point the P Gaussian
values have that correlation, and each keeps the region's spatial
structure), and transforms each by its property's marginal
(``random_field_sampler.transform``). Regions draw from variates of their
own: the fields of different regions are independent, a layer boundary
being a discontinuity of the soil.

The variates. ``n_variates`` = sum over the regions, in the order listed, of
P times the region's sampler's ``n_variates``; a realisation's vector holds
region after region, and within a region property after property (in the
study's property order) one block of the sampler's variates each.
``field(xi)`` is the realisation those variates give; with ``seed=``,
realisation i is ``field`` of the ``n_variates`` standard normal variates of
child i of ``SeedSequence(seed)`` (``streams.study_variates``), so that
``realisation(i, seed=s)`` is bit for bit row i of ``draw(k, seed=s)``.

Measured data. A region's properties may be conditioned on measured values
(``Region(data={"cohesion": (x, z, values)}, data_error=...)``, values in
the property's units): each is taken to its standard field through the
property's marginal, and the standard fields are conditioned on them, so
that every realisation passes through the data (up to their error), varies
less near them and keeps the region's statistics far from them. The
properties are mixes of independent standard fields Z_0 .. Z_P-1; with data
the measured properties come first in that mix (the Cholesky factor of the
correlation matrix in that order), so that the measured properties are mixes
of the first Z's alone and conditioning those Z's conditions the region
exactly; the unmeasured properties follow through their correlation with
the measured ones. Measured properties that are uncorrelated with each other
are each a Z of their own: each is conditioned on its own points, with its
own errors. Correlated measured properties are conditioned together only
when they are measured at the same points without error (the values at a
point then give the Z's values there); otherwise the region is refused,
naming them: measure them together, or give the data of one of them. The
variates of a conditioned region are those of its Z's in that order, each
block as long as its sampler's ``n_variates``.

The correlation matrix between the properties of a region is by default that
of the underlying standard Gaussian fields, as random finite-element
practice states it. With ``correlation_of="values"`` it is the correlation
asked of the values: each pair's Gaussian correlation is solved for (the
Nataf transform, by Gauss-Hermite quadrature and a root finder), and a
value correlation the two marginals cannot reach is refused naming the pair.
A region reports both (``gaussian_correlation``, ``value_correlation``).

On a mesh (``Study.on_mesh``) a region is a physical group, found by its
name in the mesh's ``field_data`` or by its number (``tag``) in the cells'
``gmsh:physical`` data, or a cell block (``block``, an index into the
mesh's cell blocks). With ``at="cells"`` every element takes its region;
with ``at="nodes"`` a node takes the region listed first among those of the
elements around it (the order of the regions is their precedence). With
``average=True`` (cells only) an element's values are its averages: each
region's standard field over its elements is a ``CellAverages`` of them
(the Gaussian field averaged over each element, then every property's
marginal applied) instead of a ``Sampler`` at their centroids. Elements
or nodes in no region are refused, naming how many and where the first one
is, unless the study names a ``default`` region for them (which, unless
the mesh has a group of its name, its tag or its block, takes only those).
"""

from __future__ import annotations

import math
import uuid
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from . import streams
from ._checks import integer, variates
from .averages import CellAverages, Cells
from .conditioning import check_data
from .sampler import Sampler
from .transform import MARGINAL, Transform

__all__ = ["Property", "Region", "Study", "MARGINALS", "MODELS", "mesh_regions"]

# The marginals a property may name (or pass a frozen scipy.stats distribution).
MARGINALS = ("normal", "lognormal", "truncnormal", "beta")
# The correlation models by name, as the sampler numbers them.
MODELS = {"gaussian": 0, "exponential": 1}
# Points of the Gauss-Hermite rule (probabilists') of the Nataf integrals.
_HERMITE_POINTS = 64


def _number(owner: str, name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{owner}: {name} must be a number, got {value!r}")
    v = float(value)
    if not math.isfinite(v):
        raise ValueError(f"{owner}: {name} must be finite, got {v!r}")
    return v


class Property:
    """The marginal distribution of one property.

    ``Property("normal", mean=, sd=)``; ``Property("lognormal", mean=, sd=)``
    (mean and sd of the values, in the property's units);
    ``Property("truncnormal", mean=, sd=, lower=, upper=)`` (mean and sd of
    the normal before truncation to [lower, upper]; either bound may be
    omitted); ``Property("beta", lower=, upper=, mean=, sd=)`` (a beta law
    stretched over [lower, upper], e.g. a friction angle, of that mean and
    sd) or with shapes ``a=``, ``b=`` instead of mean and sd; or
    ``Property(frozen)`` with any frozen continuous ``scipy.stats``
    distribution. A property's value is ``F^-1(Phi(g))`` of its standard
    Gaussian field g (``exp(mu_ln + sigma_ln g)`` and ``mean + sd g`` for
    the lognormal and the normal).

    Attributes: ``distribution`` (the name, or "scipy"), ``marginal`` (a
    frozen scipy.stats distribution of the values), ``transform``."""

    def __init__(self, distribution: Any, *, mean: Optional[float] = None,
                 sd: Optional[float] = None, lower: Optional[float] = None,
                 upper: Optional[float] = None, a: Optional[float] = None,
                 b: Optional[float] = None) -> None:
        from scipy import stats
        given = {k: v for k, v in (("mean", mean), ("sd", sd), ("lower", lower),
                                   ("upper", upper), ("a", a), ("b", b)) if v is not None}
        if not isinstance(distribution, str):
            if not isinstance(getattr(distribution, "dist", None), stats.rv_continuous):
                raise TypeError(f"a property's distribution is one of {', '.join(MARGINALS)} "
                                f"or a frozen continuous scipy.stats distribution, "
                                f"not {type(distribution).__name__}")
            if given:
                raise TypeError(f"a frozen scipy.stats distribution takes no "
                                f"{', '.join(given)}: its parameters are its own")
            self.distribution = "scipy"
            self.marginal: Any = distribution
            self.transform = Transform(MARGINAL, marginal=distribution)
            return
        if distribution not in MARGINALS:
            import difflib
            close = difflib.get_close_matches(distribution, MARGINALS, 1)
            hint = f" (did you mean {close[0]!r}?)" if close else ""
            raise ValueError(f"unknown distribution {distribution!r}{hint}; use one of "
                             f"{', '.join(MARGINALS)} or a frozen scipy.stats distribution")
        what = f"a {distribution} property"
        allowed = {"normal": ("mean", "sd"), "lognormal": ("mean", "sd"),
                   "truncnormal": ("mean", "sd", "lower", "upper"),
                   "beta": ("mean", "sd", "lower", "upper", "a", "b")}[distribution]
        for key in given:
            if key not in allowed:
                raise TypeError(f"{what} takes {', '.join(allowed)}, not {key}")
        v = {k: _number(what, k, val) for k, val in given.items()}
        self.distribution = distribution
        if distribution == "beta":
            for key in ("lower", "upper"):
                if key not in v:
                    raise ValueError(f"{what} needs {key}")
            lo, hi = v["lower"], v["upper"]
            if not lo < hi:
                raise ValueError(f"{what} needs lower < upper, got {lo:g} and {hi:g}")
            if ("a" in v or "b" in v) == ("mean" in v or "sd" in v) or \
                    ("a" in v) != ("b" in v) or ("mean" in v) != ("sd" in v):
                raise ValueError(f"{what} needs either mean and sd or its shapes a and b")
            if "a" in v:
                sa, sb = v["a"], v["b"]
                if not (sa > 0 and sb > 0):
                    raise ValueError(f"{what} needs shapes a > 0 and b > 0, got {sa:g} and {sb:g}")
            else:
                w = hi - lo
                m = (v["mean"] - lo) / w
                var = (v["sd"] / w) ** 2
                if not 0.0 < m < 1.0:
                    raise ValueError(f"{what}: mean {v['mean']:g} is not inside "
                                     f"({lo:g}, {hi:g})")
                if not 0.0 < var < m * (1.0 - m):
                    raise ValueError(f"{what}: sd {v['sd']:g} must be > 0 and below "
                                     f"{w * math.sqrt(m * (1.0 - m)):g}, the largest a beta "
                                     f"of mean {v['mean']:g} on [{lo:g}, {hi:g}] can have")
                c = m * (1.0 - m) / var - 1.0
                sa, sb = m * c, (1.0 - m) * c
            self.marginal = stats.beta(sa, sb, loc=lo, scale=hi - lo)
            self.transform = Transform(MARGINAL, marginal=self.marginal)
            return
        for key in ("mean", "sd"):
            if key not in v:
                raise ValueError(f"{what} needs {key}")
        mu, sd = v["mean"], v["sd"]
        if not sd > 0.0:
            raise ValueError(f"{what} needs sd > 0, got {sd:g}")
        if distribution == "normal":
            self.marginal = stats.norm(mu, sd)
            self.transform = Transform("normal", mu, sd)
        elif distribution == "lognormal":
            if not mu > 0.0:
                raise ValueError(f"{what} needs mean > 0, got {mu:g}")
            with np.errstate(over="ignore"):
                sigma_ln = float(np.sqrt(np.log1p(np.float64(sd / mu) ** 2)))
            if not math.isfinite(sigma_ln):
                raise ValueError(f"{what}: sd / mean = {sd / mu:g} is beyond the range of "
                                 f"64-bit floats")
            mu_ln = math.log(mu) - 0.5 * sigma_ln ** 2
            self.marginal = stats.lognorm(sigma_ln, scale=math.exp(mu_ln))
            self.transform = Transform("lognormal", mu_ln, sigma_ln)
        else:
            lo, hi = v.get("lower", -math.inf), v.get("upper", math.inf)
            if not lo < hi:
                raise ValueError(f"{what} needs lower < upper, got {lo:g} and {hi:g}")
            alpha, beta = (lo - mu) / sd, (hi - mu) / sd
            from scipy.special import ndtr
            if float(ndtr(beta) - ndtr(alpha)) <= 0.0 and alpha > -37.0 and beta < 37.0:
                raise ValueError(f"{what}: [{lo:g}, {hi:g}] holds no probability of a "
                                 f"normal of mean {mu:g} and sd {sd:g}")
            self.marginal = stats.truncnorm(alpha, beta, loc=mu, scale=sd)
            self.transform = Transform(MARGINAL, marginal=self.marginal)

    def __repr__(self) -> str:
        return f"<Property: {self.distribution} {self.marginal.mean():g} +- {self.marginal.std():g}>"

    def values(self, g: np.ndarray) -> np.ndarray:
        """The values at standard Gaussian values `g` (a new array)."""
        return self.transform(np.array(g, dtype=np.float64))


def _hermite() -> Tuple[np.ndarray, np.ndarray]:
    t, w = np.polynomial.hermite_e.hermegauss(_HERMITE_POINTS)
    return t, w / math.sqrt(2.0 * math.pi)


def value_correlation(p: Property, q: Property, rho: float) -> float:
    """The correlation of the values of `p` and `q` whose standard Gaussian
    fields have correlation `rho` (Gauss-Hermite quadrature)."""
    t, w = _hermite()
    xp, xq = p.values(t), q.values(t)
    mp, mq = float(w @ xp), float(w @ xq)
    sp = math.sqrt(max(float(w @ (xp - mp) ** 2), 0.0))
    sq = math.sqrt(max(float(w @ (xq - mq) ** 2), 0.0))
    z2 = rho * t[:, None] + math.sqrt(max(1.0 - rho * rho, 0.0)) * t[None, :]
    yq = q.values(z2) - mq
    e = float(w @ ((xp - mp)[:, None] * yq) @ w)
    return e / (sp * sq)


def gaussian_correlation(p: Property, q: Property, target: float, pair: str) -> float:
    """The correlation of the Gaussian fields that gives value correlation
    `target` between `p` and `q` (Nataf); ValueError naming `pair` when the
    two marginals cannot reach it."""
    from scipy.optimize import brentq
    lo, hi = value_correlation(p, q, -1.0), value_correlation(p, q, 1.0)
    if not lo - 1e-12 <= target <= hi + 1e-12:
        raise ValueError(f"the value correlation {target:g} of {pair} cannot be reached by "
                         f"their marginals: they reach [{lo:.4g}, {hi:.4g}]")
    if target <= lo:
        return -1.0
    if target >= hi:
        return 1.0
    return float(brentq(lambda r: value_correlation(p, q, r) - target, -1.0, 1.0,
                        xtol=1e-13, rtol=1e-13))


class Region:
    """One region of a study: its correlation structure, properties and the
    correlation between them.

    ``name``: the region's name (in a mesh, a physical group of that name);
    ``tag``: in a mesh, a physical group's number; ``block``: in a mesh, a
    cell block's index (give at most one of tag and block; without either a
    mesh region is found by its name). ``model`` ("gaussian", "exponential",
    or the sampler's 0 and 1), ``theta_z``, ``theta_x`` (default theta_z),
    ``angle`` (degrees), ``fill``, ``neighbours`` and ``Dhchol``: as the
    ``Sampler``'s. ``properties``: a mapping name -> ``Property``.
    ``correlation``: a P x P matrix in the order of ``properties``, or a
    mapping ``{"a,b": r}`` (pairs not named are uncorrelated); by default
    that of the standard Gaussian fields, of the values with
    ``correlation_of="values"``.

    ``data``: measured values the region's fields are conditioned on, a
    mapping property name -> ``(x, z, values)`` (values in the property's
    units, transformed to its standard field through its marginal; a value
    outside the marginal's support is refused naming it), and
    ``data_error``: property name -> the variance of the measurement error
    (a scalar or one per datum, in the property's units squared, taken to
    the standard field through the marginal's slope at the datum; default 0,
    which honours the values exactly). See the module for which
    combinations of correlated properties are conditioned.

    Attributes: ``names`` (the properties' names, in order),
    ``gaussian_correlation`` and ``value_correlation`` (P x P, read-only),
    ``data`` (property -> (x, z, values), as given)."""

    def __init__(self, name: str, *, properties: Mapping[str, Property], theta_z: float,
                 model: Any = "gaussian", theta_x: Optional[float] = None, angle: float = 0.0,
                 fill: Any = "conditional", neighbours: Optional[int] = None,
                 Dhchol: Optional[float] = None, correlation: Any = None,
                 correlation_of: str = "gaussian", tag: Optional[int] = None,
                 block: Optional[int] = None, data: Optional[Mapping[str, Any]] = None,
                 data_error: Optional[Mapping[str, Any]] = None) -> None:
        if not isinstance(name, str) or not name:
            raise TypeError(f"a region's name must be a non-empty string, got {name!r}")
        self.name = name
        where = f"region {name!r}"
        if tag is not None and block is not None:
            raise TypeError(f"{where}: give a tag or a block, not both")
        self.tag = None if tag is None else integer(f"{where}: tag", tag)
        self.block = None if block is None else integer(f"{where}: block", block, 0)
        if isinstance(model, str):
            if model not in MODELS:
                raise ValueError(f"{where}: unknown model {model!r}; use one of "
                                 f"{', '.join(MODELS)}")
            model = MODELS[model]
        self.model = model
        self.theta_z = theta_z
        self.theta_x = theta_x
        self.angle = angle
        self.fill = fill
        self.neighbours = neighbours
        self.Dhchol = Dhchol
        if not isinstance(properties, Mapping) or not properties:
            raise TypeError(f"{where}: properties must be a non-empty mapping name -> Property")
        for pname, prop in properties.items():
            if not isinstance(pname, str) or not pname or "," in pname:
                raise ValueError(f"{where}: a property's name is a non-empty string without "
                                 f"commas, not {pname!r}")
            if not isinstance(prop, Property):
                raise TypeError(f"{where}: property {pname!r} must be a Property, "
                                f"not {type(prop).__name__}")
        self.properties: Dict[str, Property] = dict(properties)
        self.names: Tuple[str, ...] = tuple(self.properties)
        if correlation_of not in ("gaussian", "values"):
            raise ValueError(f"{where}: correlation_of is 'gaussian' or 'values', "
                             f"not {correlation_of!r}")
        self.correlation_of = correlation_of
        asked = self._matrix(correlation, where)
        P = len(self.names)
        if correlation_of == "values":
            G = np.eye(P)
            for i in range(P):
                for j in range(i):
                    if asked[i, j]:
                        G[i, j] = G[j, i] = gaussian_correlation(
                            self.properties[self.names[i]], self.properties[self.names[j]],
                            float(asked[i, j]),
                            f"{where}: {self.names[j]},{self.names[i]}")
        else:
            G = asked
        try:
            self._factor = np.linalg.cholesky(G)
        except np.linalg.LinAlgError:
            raise ValueError(f"{where}: the Gaussian correlation matrix of "
                             f"{', '.join(self.names)} is not positive definite") from None
        V = np.eye(P)
        for i in range(P):
            for j in range(i):
                V[i, j] = V[j, i] = asked[i, j] if correlation_of == "values" else \
                    value_correlation(self.properties[self.names[i]],
                                      self.properties[self.names[j]], float(G[i, j]))
        for m in (G, V, self._factor):
            m.flags.writeable = False
        self.gaussian_correlation = G
        self.value_correlation = V
        self.data: Dict[str, Tuple[np.ndarray, np.ndarray, np.ndarray]] = {}
        self._measured = self._read_data(data, data_error, where)
        self._mixing = _mixing(self, where)

    def _read_data(self, data: Optional[Mapping[str, Any]], errors: Optional[Mapping[str, Any]],
                   where: str) -> Dict[str, "_Measured"]:
        """Each measured property's data in its standard field's units."""
        data = {} if data is None else data
        errors = {} if errors is None else errors
        for what, mapping in (("data", data), ("data_error", errors)):
            if not isinstance(mapping, Mapping):
                raise TypeError(f"{where}: {what} must be a mapping property -> "
                                f"{'(x, z, values)' if what == 'data' else 'variance'}")
            for pname in mapping:
                if pname not in self.properties:
                    raise ValueError(f"{where}: {what} names {pname!r}, which is not one of its "
                                     f"properties ({', '.join(self.names)})")
        for pname in errors:
            if pname not in data:
                raise ValueError(f"{where}: data_error of {pname!r}, which has no data")
        measured: Dict[str, _Measured] = {}
        for pname in self.names:
            if pname not in data:
                continue
            at = f"{where}: data of {pname!r}"
            xd, zd, vd, e = check_data(data[pname], errors.get(pname, 0.0), at)
            if not len(xd):
                raise ValueError(f"{at}: no data")
            prop = self.properties[pname]
            try:
                g, slope = prop.transform.inverse(vd, what=f"{at}: datum")
            except ValueError as exc:
                raise ValueError(str(exc)) from None
            eg = e * slope * slope
            bad = ~np.isfinite(eg)
            if bad.any():
                i = int(np.argmax(bad))
                raise ValueError(f"{at}: the error of datum {i} ({vd[i]:g}) cannot be taken "
                                 f"through its {prop.distribution} distribution")
            for a in (xd, zd, vd):
                a.flags.writeable = False
            self.data[pname] = (xd, zd, vd)
            measured[pname] = _Measured(xd, zd, g, eg)
        return measured

    def _matrix(self, correlation: Any, where: str) -> np.ndarray:
        P = len(self.names)
        if correlation is None:
            return np.eye(P)
        if isinstance(correlation, Mapping):
            C = np.eye(P)
            for key, r in correlation.items():
                parts = [s.strip() for s in str(key).split(",")]
                if len(parts) != 2 or parts[0] == parts[1] or \
                        any(s not in self.names for s in parts):
                    raise ValueError(f"{where}: correlation key {key!r} must name two of its "
                                     f"properties as \"a,b\" ({', '.join(self.names)})")
                i, j = self.names.index(parts[0]), self.names.index(parts[1])
                C[i, j] = C[j, i] = self._coefficient(where, key, r)
            return C
        C = np.array(correlation, dtype=np.float64)
        if C.shape != (P, P):
            raise ValueError(f"{where}: the correlation matrix must be {P} x {P} "
                             f"({', '.join(self.names)}), got shape {C.shape}")
        if not np.all(np.isfinite(C)) or not np.array_equal(C, C.T) or \
                not np.all(np.diag(C) == 1.0):
            raise ValueError(f"{where}: the correlation matrix must be symmetric, finite, "
                             f"with ones on its diagonal")
        for i in range(P):
            for j in range(i):
                self._coefficient(where, f"{self.names[j]},{self.names[i]}", C[i, j])
        return C

    @staticmethod
    def _coefficient(where: str, pair: str, r: Any) -> float:
        v = _number(f"{where}: correlation {pair}", "the coefficient", r)
        if not -1.0 <= v <= 1.0:
            raise ValueError(f"{where}: correlation {pair} = {v:g} is outside [-1, 1]")
        return v

    def __repr__(self) -> str:
        return f"<Region {self.name!r}: {', '.join(self.names)}>"

    def sampler(self, x: np.ndarray, z: np.ndarray, max_memory: Optional[int] = None,
                condition: Optional["_Measured"] = None) -> Sampler:
        """The region's standard-field sampler over points (x, z), conditioned
        on `condition` (standard values at points) when given."""
        extra: Dict[str, Any] = {}
        if condition is not None:
            extra = dict(data=(condition.x, condition.z, condition.g), data_error=condition.error)
        return Sampler(x=x, z=z, theta_z=self.theta_z, theta_x=self.theta_x, mu=0.0, sigma=1.0,
                       model=self.model, angle=self.angle, fill=self.fill,
                       neighbours=self.neighbours, Dhchol=self.Dhchol, max_memory=max_memory,
                       **extra)

    def cell_averages(self, cells: Cells, max_memory: Optional[int] = None) -> CellAverages:
        """The region's standard field averaged over each of `cells`."""
        return CellAverages(cells=cells, theta_z=self.theta_z, theta_x=self.theta_x, mu=0.0,
                            sigma=1.0, model=self.model, angle=self.angle, fill=self.fill,
                            neighbours=self.neighbours, Dhchol=self.Dhchol,
                            max_memory=max_memory)


class _Measured:
    """A property's data in its standard field's units: points, values and
    error variances."""

    def __init__(self, x: np.ndarray, z: np.ndarray, g: np.ndarray, error: np.ndarray) -> None:
        self.x, self.z, self.g, self.error = x, z, g, error

    def key(self) -> Tuple[bytes, bytes, bytes]:
        """What the conditioning's geometry depends on: points and errors."""
        return self.x.tobytes(), self.z.tobytes(), self.error.tobytes()


class _Mixing:
    """How a region's P independent standard fields Z_0 .. Z_P-1 make its
    properties: property ``order[i]`` is ``sum_j factor[i, j] Z_j``, and
    ``conditions[j]`` is the data Z_j is conditioned on (None: none)."""

    def __init__(self, order: Tuple[int, ...], factor: np.ndarray,
                 conditions: List[Optional[_Measured]]) -> None:
        self.order, self.factor, self.conditions = order, factor, conditions


def _mixing(region: "Region", where: str) -> _Mixing:
    """The measured properties first: Z_0 .. Z_m-1 are then mixes of the
    measured properties alone, so conditioning them on the data conditions
    the region exactly. Uncorrelated measured properties are each their own
    Z (any points, any errors); correlated ones must be measured together:
    at the same points, without error, when the values at each point turn
    into the Z's values there."""
    names = region.names
    measured = [i for i, n in enumerate(names) if n in region._measured]
    if not measured:
        return _Mixing(tuple(range(len(names))), region._factor, [None] * len(names))
    order = tuple(measured + [i for i in range(len(names)) if i not in measured])
    G = region.gaussian_correlation[np.ix_(order, order)]
    factor = region._factor if order == tuple(range(len(names))) else np.linalg.cholesky(G)
    m = len(measured)
    data = [region._measured[names[i]] for i in measured]
    conditions: List[Optional[_Measured]] = [None] * len(names)
    if np.array_equal(G[:m, :m], np.eye(m)):
        conditions[:m] = data
        return _Mixing(order, factor, conditions)
    listed = " and ".join(names[i] for i in measured)
    sorted_data = []
    for d in data:
        s = np.lexsort((d.z, d.x))
        sorted_data.append((d.x[s], d.z[s], d.g[s], d.error[s]))
    x0, z0 = sorted_data[0][0], sorted_data[0][1]
    for (xs, zs, _, es), i in zip(sorted_data, measured):
        if len(xs) != len(x0) or not (np.array_equal(xs, x0) and np.array_equal(zs, z0)):
            raise ValueError(f"{where}: the correlated properties {listed} are measured at "
                             f"different points; they are conditioned together only where they "
                             f"are measured at the same points")
        if np.any(es):
            raise ValueError(f"{where}: the correlated properties {listed} are measured with an "
                             f"error ({names[i]}); they are conditioned together only on "
                             f"values without error")
    from scipy.linalg import solve_triangular
    Zd = solve_triangular(factor[:m, :m], np.array([d[2] for d in sorted_data]), lower=True)
    zero = np.zeros(len(x0))
    for j in range(m):
        conditions[j] = _Measured(x0, z0, np.ascontiguousarray(Zd[j]), zero)
    return _Mixing(order, factor, conditions)


def _groups(mesh: Any) -> Tuple[Dict[str, int], Optional[List[np.ndarray]]]:
    """The mesh's named physical groups of its elements' dimension (name ->
    tag) and the gmsh:physical tags of each cell block (None without)."""
    m = mesh.mesh
    named: Dict[str, int] = {}
    for name, value in (getattr(m, "field_data", None) or {}).items():
        v = np.asarray(value).ravel()
        if len(v) >= 1 and (len(v) < 2 or int(v[1]) == mesh.dim):
            named[str(name)] = int(v[0])
    tags = (getattr(m, "cell_data", None) or {}).get("gmsh:physical")
    return named, None if tags is None else [np.asarray(t).ravel() for t in tags]


def mesh_regions(mesh: Any, regions: Sequence[Region], at: str = "cells",
                 default: Optional[str] = None) -> np.ndarray:
    """Which region (an index into `regions`) each element (``at="cells"``)
    or node (``at="nodes"``) of `mesh` (a ``random_field_sampler.io.mesh.Mesh``)
    belongs to; see the module. ValueError naming the region that is not in
    the mesh, or how many points are in no region and where the first is."""
    if at not in ("cells", "nodes"):
        raise ValueError(f"a study's values are at 'cells' or 'nodes', not {at!r}")
    names = [r.name for r in regions]
    if default is not None and default not in names:
        raise ValueError(f"the default region {default!r} is not one of the regions "
                         f"({', '.join(names)})")
    named, tags = _groups(mesh)
    blocks = list(mesh.mesh.cells)
    cell = np.full(mesh.n_cells, -1, dtype=np.intp)
    node = np.full(mesh.n_nodes, -1, dtype=np.intp)
    starts = np.cumsum([0] + [len(blocks[b].data) for b in mesh.elements])
    for r, reg in enumerate(regions):
        where = f"region {reg.name!r}"
        mine = np.zeros(mesh.n_cells, dtype=bool)
        if reg.name == default and reg.block is None and reg.tag is None \
                and reg.name not in named:
            continue                  # the default region: what no other region takes
        if reg.block is not None:
            if reg.block not in mesh.elements:
                raise ValueError(f"{where}: block {reg.block} is not a block of the mesh's "
                                 f"elements (those are blocks {', '.join(map(str, mesh.elements))})")
            e = mesh.elements.index(reg.block)
            mine[starts[e]:starts[e + 1]] = True
        else:
            tag = reg.tag
            if tag is None:
                if reg.name not in named:
                    import difflib
                    close = difflib.get_close_matches(reg.name, list(named), 1)
                    hint = f" (did you mean {close[0]!r}?)" if close else ""
                    raise ValueError(f"{where}: the mesh has no physical group of its elements "
                                     f"named {reg.name!r}{hint}; it has "
                                     f"{', '.join(named) or 'none'}")
                tag = named[reg.name]
            if tags is None:
                raise ValueError(f"{where}: the mesh's cells carry no gmsh:physical tags")
            for e, b in enumerate(mesh.elements):
                mine[starts[e]:starts[e + 1]] = tags[b] == tag
            if not mine.any():
                raise ValueError(f"{where}: no element of the mesh is in physical group {tag}")
        cell[mine & (cell < 0)] = r
        if at == "nodes":
            ids = [np.asarray(blocks[b].data)[mine[starts[e]:starts[e + 1]]].ravel()
                   for e, b in enumerate(mesh.elements)]
            hit = np.unique(np.concatenate(ids)) if ids else np.zeros(0, dtype=np.intp)
            hit = hit[node[hit] < 0]
            node[hit] = r
    label = cell if at == "cells" else node
    lost = label < 0
    if lost.any():
        if default is not None:
            label[lost] = names.index(default)
        else:
            first = int(np.argmax(lost))
            pts = mesh.centroids if at == "cells" else mesh.nodes
            kind = "elements" if at == "cells" else "nodes"
            raise ValueError(f"{int(lost.sum())} {kind} are in no region; the first, "
                             f"{kind[:-1]} {first}, is at ({pts[first, 0]:g}, {pts[first, 1]:g}): "
                             f"add a region for them or name a default region")
    return label


class Study:
    """Regions over one set of points (x, z).

    ``regions``: the ``Region``s, in order (the order of their variates,
    and, on a mesh's nodes, of precedence). ``region``: which region each
    point belongs to, an (N,) array of indices into ``regions`` (None: all
    points in the one region given). Every region must have the same
    properties (a property's values over the site are one array); the
    study's property order is that of the first region.

    ``cells``: the elements whose averages the N values are (``Cells``,
    one per point, x and z their centroids): each region's standard field
    is then a ``CellAverages`` of its elements (None: point values).

    Attributes: ``N``, ``names`` (the properties), ``regions``,
    ``members`` (per region, the indices of its points), ``samplers``
    (per region, the sampler of its first standard field: a region
    conditioned on data has one per distinct set of points and errors, and
    one for its unmeasured fields), ``n_variates``, ``average`` (whether
    values are element averages)."""

    def __init__(self, regions: Sequence[Region], *, x: Any, z: Any,
                 region: Any = None, max_memory: Optional[int] = None,
                 cells: Optional[Cells] = None) -> None:
        regions = list(regions)
        if not regions or not all(isinstance(r, Region) for r in regions):
            raise TypeError("a study needs a non-empty list of Region")
        names = [r.name for r in regions]
        dup = next((n for i, n in enumerate(names) if n in names[:i]), None)
        if dup is not None:
            raise ValueError(f"region {dup!r} is listed twice")
        self.names: Tuple[str, ...] = regions[0].names
        for r in regions[1:]:
            if set(r.names) != set(self.names):
                raise ValueError(f"region {r.name!r} has properties {', '.join(r.names)}; "
                                 f"every region needs the same as region {regions[0].name!r}: "
                                 f"{', '.join(self.names)}")
        x = np.asarray(x, dtype=np.float64)
        z = np.asarray(z, dtype=np.float64)
        if x.ndim != 1 or z.shape != x.shape:
            raise ValueError(f"x and z must be 1-D of one length, got shapes {x.shape} and {z.shape}")
        self.N = len(x)
        self.mesh: Any = None
        self.at = "points"
        self.file: Any = None
        self._id = uuid.uuid4().hex
        if region is None:
            if len(regions) != 1:
                raise ValueError(f"with {len(regions)} regions, say which region each point "
                                 f"belongs to (region=)")
            label = np.zeros(self.N, dtype=np.intp)
        else:
            raw = np.asarray(region)
            if raw.shape != (self.N,) or raw.dtype.kind not in "iu":
                raise ValueError(f"region= must be {self.N} integer region indices, one per "
                                 f"point, got {raw.dtype} of shape {raw.shape}")
            label = raw.astype(np.intp)
            bad = (label < 0) | (label >= len(regions))
            if bad.any():
                first = int(np.argmax(bad))
                raise ValueError(f"{int(bad.sum())} points are in no region; the first, point "
                                 f"{first}, is at ({x[first]:g}, {z[first]:g})")
        self.regions: Tuple[Region, ...] = tuple(regions)
        self.members: Tuple[np.ndarray, ...] = tuple(np.flatnonzero(label == i)
                                                     for i in range(len(regions)))
        for m in self.members:
            m.flags.writeable = False
        self.average = cells is not None
        if cells is not None:
            if not isinstance(cells, Cells) or len(cells) != self.N:
                raise ValueError(f"cells= must be Cells, one element per point ({self.N})")
            measured = next((r for r in regions if r.data), None)
            if measured is not None:
                raise ValueError(f"region {measured.name!r}: data condition the field's point "
                                 f"values, not element averages")
        # Per region, the sampler of each of its standard fields (one shared
        # by every field of the same conditioning: points and errors), and
        # what moves a shared conditioned sampler's mean to each field's own.
        fields: List[Tuple[Union[Sampler, CellAverages], ...]] = []
        shifts: List[Tuple[Optional[np.ndarray], ...]] = []
        for r, m in zip(regions, self.members):
            built: Dict[Any, Any] = {}
            mine: List[Union[Sampler, CellAverages]] = []
            moved: List[Optional[np.ndarray]] = []
            for cond in r._mixing.conditions:
                key = None if cond is None else cond.key()
                if key not in built:
                    if cells is not None:
                        built[key] = (r.cell_averages(cells.subset(m), max_memory), cond)
                    else:
                        built[key] = (r.sampler(x[m], z[m], max_memory, cond), cond)
                s, first = built[key]
                mine.append(s)
                if cond is None or cond is first or np.array_equal(cond.g, first.g):
                    moved.append(None)
                else:
                    d = np.asarray(s.conditional_mean(cond.g), dtype=np.float64) - s.mean
                    d.flags.writeable = False
                    moved.append(d)
            fields.append(tuple(mine))
            shifts.append(tuple(moved))
        self._fields = tuple(fields)
        self._shifts = tuple(shifts)
        self.samplers: Tuple[Union[Sampler, CellAverages], ...] = tuple(f[0] for f in fields)
        self._offsets: List[int] = [0]
        for f in fields:
            self._offsets.append(self._offsets[-1] + sum(s.n_variates for s in f))

    @classmethod
    def on_mesh(cls, mesh: Any, regions: Sequence[Region], *, at: str = "cells",
                default: Optional[str] = None, max_memory: Optional[int] = None,
                average: bool = False) -> "Study":
        """A study over a mesh's elements (``at="cells"``, their centroids,
        or with ``average=True`` their averages) or nodes: each region a
        physical group or a cell block of `mesh` (a
        ``random_field_sampler.io.mesh.Mesh``, as ``io.mesh.read`` returns
        it); see ``mesh_regions``. The study keeps ``mesh`` and ``at``."""
        regions = list(regions)
        if not isinstance(average, (bool, np.bool_)):
            raise TypeError(f"average must be True or False, got {average!r}")
        if average and at != "cells":
            raise ValueError(f"average=True gives each element its average: it needs "
                             f"at='cells', not at={at!r}")
        label = mesh_regions(mesh, regions, at, default)
        x, z = mesh.coordinates(at)
        study = cls(regions, x=x, z=z, region=label, max_memory=max_memory,
                    cells=Cells.of_mesh(mesh) if average else None)
        study.mesh = mesh
        study.at = at
        return study

    def __repr__(self) -> str:
        return (f"<Study: N={self.N}, regions {', '.join(r.name for r in self.regions)}; "
                f"properties {', '.join(self.names)}>")

    @property
    def n_variates(self) -> int:
        """The standard normal variates of one realisation."""
        return self._offsets[-1]

    def field(self, xi: Any) -> Dict[str, np.ndarray]:
        """The realisation(s) that the standard normal variates `xi` give:
        (n_variates,) -> property -> (N,); (k, n_variates) -> property ->
        (k, N). See the module for the order of the variates."""
        V, one = variates(xi, self.n_variates)
        out = {name: np.empty((len(V), self.N)) for name in self.names}
        self._fill(V, out, 0)
        return {k: v[0] for k, v in out.items()} if one else out

    def _fill(self, V: np.ndarray, out: Dict[str, np.ndarray], row: int) -> None:
        """Rows row .. row + len(V) - 1 of `out` from their variates V."""
        k = len(V)
        for r, (region, fields, shifts, members) in enumerate(
                zip(self.regions, self._fields, self._shifts, self.members)):
            if not len(members):
                continue
            # the region's P independent standard fields
            Z = []
            at = self._offsets[r]
            for sampler, shift in zip(fields, shifts):
                n = sampler.n_variates
                f = sampler.field(V[:, at:at + n])
                if shift is not None:
                    f += shift
                Z.append(f)
                at += n
            mix = region._mixing
            L = mix.factor
            for i, p in enumerate(mix.order):
                pname = region.names[p]
                g = L[i, 0] * Z[0]
                for q in range(1, i + 1):
                    if L[i, q] != 0.0:
                        g += L[i, q] * Z[q]
                out[pname][row:row + k, members] = region.properties[pname].transform(g)

    def draw(self, k: int = 1, *, seed: Any, start: int = 0,
             rows: Optional[int] = None) -> Dict[str, np.ndarray]:
        """Realisations start .. start + k - 1 of the study seeded by `seed`:
        property -> (k, N) float64. Row i is ``field`` of the n_variates
        standard normal variates of child start + i of
        ``SeedSequence(seed)``, bit for bit. ``rows`` bounds the
        realisations computed at a time (default 64)."""
        k = integer("k", k, 0)
        start = integer("start", start, 0)
        batch = 64 if rows is None else integer("rows", rows, 1)
        ss = streams.study_seed(seed)
        need = 8 * k * self.N * len(self.names)
        from . import budget
        limit = min((s.max_memory for s in self.samplers), default=budget.default_budget())
        if need > limit:
            raise MemoryError(f"Study.draw({k}): {len(self.names)} arrays of {k} x {self.N} "
                              f"need {need} bytes, above the budget of {limit} bytes; "
                              f"draw fewer realisations at a time")
        out = {name: np.empty((k, self.N)) for name in self.names}
        for lo in range(0, k, batch):
            r = min(batch, k - lo)
            self._fill(streams.study_variates(ss, start + lo, r, self.n_variates), out, lo)
        return out

    def to_dask(self, k: int, *, chunks: Any = "auto", seed: Any = None,
                client: Any = None) -> Dict[str, Any]:
        """Property -> dask array (k, N) of the realisations of the study
        seeded by ``seed`` (required), chunked by realisations, row i equal
        to ``realisation(i, seed=seed)``; a chunk's task draws all the
        properties once. Needs the ``dask`` extra; see
        ``random_field_sampler.distributed.study_to_dask``."""
        from .distributed import study_to_dask
        return study_to_dask(self, k, chunks=chunks, seed=seed, client=client)

    def write_zarr(self, path: str, k: int, *, chunks: Any = "auto", seed: Any = None,
                   client: Any = None, **options: Any) -> None:
        """The realisations 0 .. k-1 into a zarr store at `path`: a group per
        property, its array ``fields`` (k, N). See
        ``random_field_sampler.distributed.write_zarr`` for the options."""
        from .distributed import write_zarr
        write_zarr(self, path, k, chunks=chunks, seed=seed, client=client, **options)

    def __getstate__(self) -> Dict[str, Any]:
        # what a worker needs to draw: not the mesh nor the file it came from
        state = dict(self.__dict__)
        state["mesh"] = state["file"] = None
        return state

    def __dask_tokenize__(self) -> Tuple[str, str]:
        # a built study never changes: its identity names it
        return ("random_field_sampler.Study", self._id)

    def realisation(self, i: int, *, seed: Any) -> Dict[str, np.ndarray]:
        """Realisation i of the study seeded by `seed`: property -> (N,), bit
        for bit row i of ``draw(k, seed=seed)``."""
        if seed is None:
            raise TypeError("realisation() needs seed=: the study it is a realisation of")
        got = self.draw(1, seed=seed, start=integer("i", i, 0))
        return {k: v[0] for k, v in got.items()}

