"""Study files: a site's regions, properties and correlations in TOML.

    mesh = "slope.msh"          # relative to the file's folder
    at = "cells"                # or "nodes"
    # average = true            # cells: each element's average, not its centroid's value
    realisations = 500
    seed = 2026
    output = "slope.xdmf"       # .vtu, .vtk, .xdmf, .npz (or .zarr)
    # plane = "xz"              # a mesh's plane, as --plane
    # default = "fill"          # the region of what no other region takes

    [[region]]
    name = "clay"               # a physical group's name (or tag = 2, block = 0)
    model = "exponential"
    theta_x = 10.0
    theta_z = 2.0
    angle = 10.0
    correlation = { "cohesion,friction" = -0.5 }
    # correlation_of = "values"
    [region.properties.cohesion]
    distribution = "lognormal"
    mean = 20.0
    sd = 6.0
    ...

Region keys: name, tag, block, model, theta_x, theta_z, angle, fill,
neighbours, dhchol, correlation (a table of "a,b" = r, or a matrix in the
order of the properties), correlation_of, properties. Property keys:
distribution, mean, sd, lower, upper, a, b (see ``study.Property``), and
data: a table of measured values of the property in the region (columns x,
z, value and optionally error, the variance of the measurement error, as
``random-field --data`` reads them; the path relative to the study file),
in the property's units. The region's fields are then conditioned on them
(see ``study``: correlated properties of a region are conditioned together
only when measured at the same points without error). A value outside the
property's distribution is refused naming the data file and its line.

Every mistake is one line, ``StudyFileError``: the file, the line, the key
and what is wrong (a misspelt key with the closest accepted one).
"""

from __future__ import annotations

import dataclasses
import difflib
import os
import re
import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple

__all__ = ["StudyFileError", "StudyFile", "read_study_file", "load_study"]

TOP_KEYS = ("mesh", "at", "average", "realisations", "seed", "output", "plane", "default", "region")
REGION_KEYS = ("name", "tag", "block", "model", "theta_x", "theta_z", "angle", "fill",
               "neighbours", "dhchol", "correlation", "correlation_of", "properties")
PROPERTY_KEYS = ("distribution", "mean", "sd", "lower", "upper", "a", "b", "data")
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_.-]*\Z")
SEED_LIMIT = 2**63


class StudyFileError(ValueError):
    """A mistake in a study file, in one line naming its key and line."""


def _toml() -> Any:
    if sys.version_info >= (3, 11):
        import tomllib
        return tomllib
    import tomli
    return tomli


Path = Tuple[Any, ...]


def _lines(text: str) -> Dict[Path, int]:
    """The line (from 1) of each key and table of the file, by its path:
    ("region", 1, "properties", "cohesion", "mean") for the key mean of
    the second [[region]]'s [region.properties.cohesion]."""
    where: Dict[Path, int] = {}
    counts: Dict[Path, int] = {}
    table: Path = ()

    def split(dotted: str) -> List[str]:
        return [p.strip().strip('"').strip("'") for p in re.findall(r'"[^"]*"|\'[^\']*\'|[^.]+',
                                                                     dotted)]

    def resolve(parts: Sequence[str]) -> Path:
        path: Path = ()
        for p in parts:
            path += (p,)
            if path in counts:          # inside an array of tables: its last element
                path += (counts[path] - 1,)
        return path

    for n, raw in enumerate(text.splitlines(), 1):
        line = raw.strip()
        m = re.match(r"\[\[\s*(.+?)\s*\]\]", line)
        if m:
            parts = split(m.group(1))
            head = resolve(parts[:-1]) + (parts[-1],)
            counts[head] = counts.get(head, 0) + 1
            table = head + (counts[head] - 1,)
            where.setdefault(head, n)
            where[table] = n
            continue
        m = re.match(r"\[\s*(.+?)\s*\]", line)
        if m:
            table = resolve(split(m.group(1)))
            where.setdefault(table, n)
            continue
        m = re.match(r'("[^"]*"|\'[^\']*\'|[A-Za-z0-9_.-]+)\s*=', line)
        if m:
            path = table
            for p in split(m.group(1)):
                path += (p,)
                where.setdefault(path, n)
            if "{" in line:             # an inline table: its keys on this line
                for k in re.findall(r'("[^"]*"|[A-Za-z0-9_-]+)\s*=', line[m.end():]):
                    where.setdefault(path + (k.strip('"'),), n)
    return where


def _shown(path: Path) -> str:
    out = ""
    for p in path:
        out += f"[{p}]" if isinstance(p, int) else (("." if out else "") + str(p))
    return out


@dataclasses.dataclass
class StudyFile:
    """A study file as read: its settings (paths made absolute against
    the file's folder) and its regions (``study.Region``)."""

    path: str
    mesh: str
    at: str
    realisations: int
    seed: Optional[int]
    output: Optional[str]
    plane: Optional[str]
    default: Optional[str]
    regions: List[Any]
    average: bool = False
    data_files: List[str] = dataclasses.field(default_factory=list)


class _Reader:
    def __init__(self, path: str, text: str):
        self.path = path
        self.where = _lines(text)

    def fail(self, path: Path, message: str) -> StudyFileError:
        p = path
        while p and p not in self.where:
            p = p[:-1]
        line = self.where.get(p)
        at = f", line {line}" if line else ""
        return StudyFileError(f"{self.path}{at}: {_shown(path) or 'the file'}: {message}")

    def table(self, path: Path, value: Any, keys: Sequence[str]) -> Dict[str, Any]:
        if not isinstance(value, dict):
            raise self.fail(path, f"must be a table, not {type(value).__name__}")
        for key in value:
            if key not in keys:
                close = difflib.get_close_matches(key, keys, 1)
                hint = f"; did you mean {close[0]!r}?" if close else ""
                raise self.fail(path + (key,), f"unknown key {key!r}{hint} "
                                f"(accepted: {', '.join(keys)})")
        return value

    def typed(self, path: Path, value: Any, kinds: Tuple[type, ...], what: str) -> Any:
        if isinstance(value, bool) or not isinstance(value, kinds):
            raise self.fail(path, f"must be {what}, got {value!r}")
        return value

    def number(self, path: Path, value: Any) -> float:
        return float(self.typed(path, value, (int, float), "a number"))

    def choice(self, path: Path, value: Any, choices: Sequence[str]) -> str:
        self.typed(path, value, (str,), "a string")
        if value not in choices:
            close = difflib.get_close_matches(value, choices, 1)
            hint = f" (did you mean {close[0]!r}?)" if close else ""
            raise self.fail(path, f"{value!r} is not one of {', '.join(choices)}{hint}")
        return str(value)


def _named_key(message: str, keys: Sequence[str]) -> Path:
    """The first of `keys` that `message` names, as a path of one key."""
    found = [(m.start(), k) for k in keys for m in [re.search(rf"\b{k}\b", message)] if m]
    return (min(found)[1],) if found else ()


def _measured(r: _Reader, at: Path, value: Any, folder: str, prop: Any, pname: str) -> Any:
    """The data file of a property's ``data`` key, read and checked against
    the property's marginal."""
    from .io.data import DataFileError, read_data

    r.typed(at, value, (str,), "the path of a data file")
    if not value:
        raise r.fail(at, "must not be empty")
    try:
        data = read_data(os.path.join(folder, os.path.expanduser(value)))
        data.standard(prop.transform, f"{pname}'s {prop.distribution} distribution")
    except DataFileError as e:
        raise r.fail(at, str(e)) from None
    return data


def read_study_file(path: str) -> StudyFile:
    """The study file at `path`; StudyFileError (one line: the file, the
    line, the key) for any mistake in it. Reads no mesh."""
    from .study import MARGINALS, MODELS, Property, Region

    path = os.fspath(path)
    try:
        with open(path, "rb") as f:
            raw = f.read()
        text = raw.decode("utf-8")
    except OSError as e:
        raise StudyFileError(f"{path}: cannot read the study file: {e.strerror or e}") from None
    except UnicodeDecodeError:
        raise StudyFileError(f"{path}: a study file is UTF-8 text") from None
    toml = _toml()
    try:
        data = toml.loads(text)
    except toml.TOMLDecodeError as e:
        raise StudyFileError(f"{path}: not valid TOML: {e}") from None
    r = _Reader(path, text)
    folder = os.path.dirname(os.path.abspath(path))
    r.table((), data, TOP_KEYS)

    def file_path(key: str) -> Optional[str]:
        if key not in data:
            return None
        value = r.typed((key,), data[key], (str,), "a path")
        if not value:
            raise r.fail((key,), "must not be empty")
        return os.path.join(folder, os.path.expanduser(value))

    mesh = file_path("mesh")
    if mesh is None:
        raise StudyFileError(f"{path}: the study needs mesh = \"FILE\": the mesh its regions are in")
    output = file_path("output")
    at = r.choice(("at",), data.get("at", "nodes"), ("nodes", "cells"))
    average = data.get("average", False)
    if not isinstance(average, bool):
        raise r.fail(("average",), f"must be true or false, got {average!r}")
    if average and at != "cells":
        raise r.fail(("average",), f"element averages need at = \"cells\", not at = \"{at}\"")
    plane = r.choice(("plane",), data["plane"], ("xy", "xz", "yz", "auto")) if "plane" in data else None
    K = r.typed(("realisations",), data.get("realisations", 1), (int,), "an integer")
    if K < 1:
        raise r.fail(("realisations",), f"must be at least 1, got {K}")
    seed = data.get("seed")
    if seed is not None:
        r.typed(("seed",), seed, (int,), "an integer")
        if not 0 <= seed < SEED_LIMIT:
            raise r.fail(("seed",), f"must be in 0 .. 2**63 - 1, got {seed}")
    default = r.typed(("default",), data["default"], (str,), "a region's name") \
        if "default" in data else None
    blocks = data.get("region")
    if not isinstance(blocks, list) or not blocks:
        raise r.fail(("region",), "the study needs at least one [[region]]")

    regions = []
    data_files: List[str] = []
    for i, block in enumerate(blocks):
        at_r: Path = ("region", i)
        reg = r.table(at_r, block, REGION_KEYS)
        if "name" not in reg:
            raise r.fail(at_r, "a region needs a name")
        name = r.typed(at_r + ("name",), reg["name"], (str,), "a string")
        if "theta_z" not in reg:
            raise r.fail(at_r, f"region {name!r} needs theta_z")
        kwargs: Dict[str, Any] = {}
        for key in ("theta_z", "theta_x", "angle"):
            if key in reg:
                kwargs[key] = r.number(at_r + (key,), reg[key])
        if "dhchol" in reg:
            kwargs["Dhchol"] = r.number(at_r + ("dhchol",), reg["dhchol"])
        for key in ("tag", "block", "neighbours"):
            if key in reg:
                kwargs[key] = r.typed(at_r + (key,), reg[key], (int,), "an integer")
        if "model" in reg:
            kwargs["model"] = r.choice(at_r + ("model",), reg["model"], tuple(MODELS))
        if "fill" in reg:
            kwargs["fill"] = r.choice(at_r + ("fill",), reg["fill"], ("conditional", "kriging"))
        if "correlation_of" in reg:
            kwargs["correlation_of"] = r.choice(at_r + ("correlation_of",), reg["correlation_of"],
                                                ("gaussian", "values"))
        if "correlation" in reg:
            c = reg["correlation"]
            if not isinstance(c, (dict, list)):
                raise r.fail(at_r + ("correlation",), "must be a table of \"a,b\" = r or a matrix")
            kwargs["correlation"] = c
        props = reg.get("properties")
        if not isinstance(props, dict) or not props:
            raise r.fail(at_r + ("properties",),
                         f"region {name!r} needs its properties ([region.properties.NAME])")
        properties = {}
        measured_data: Dict[str, Any] = {}
        errors: Dict[str, Any] = {}
        for pname, entry in props.items():
            at_p = at_r + ("properties", pname)
            if not _NAME.match(pname):
                raise r.fail(at_p, f"a property's name is letters, digits and _ (it names arrays), "
                                   f"not {pname!r}")
            entry = r.table(at_p, entry, PROPERTY_KEYS)
            if "distribution" not in entry:
                raise r.fail(at_p, f"needs a distribution ({', '.join(MARGINALS)})")
            dist = r.choice(at_p + ("distribution",), entry["distribution"], MARGINALS)
            values = {k: r.number(at_p + (k,), v) for k, v in entry.items()
                      if k not in ("distribution", "data")}
            try:
                properties[pname] = Property(dist, **values)
            except (TypeError, ValueError) as e:
                raise r.fail(at_p + _named_key(str(e), list(values)), str(e)) from None
            if "data" in entry:
                measured = _measured(r, at_p + ("data",), entry["data"], folder,
                                     properties[pname], pname)
                measured_data[pname] = (measured.x, measured.z, measured.value)
                data_files.append(measured.path)
                errors[pname] = measured.error
        if measured_data:
            kwargs.update(data=measured_data, data_error=errors)
        try:
            regions.append(Region(name, properties=properties, **kwargs))
        except (TypeError, ValueError) as e:
            keys: Path = ("correlation",) if "correlation" in str(e) else ()
            raise r.fail(at_r + keys, str(e)) from None
    return StudyFile(path=path, mesh=mesh, at=at, realisations=K, seed=seed, output=output,
                     plane=plane, default=default, regions=regions, average=average,
                     data_files=data_files)


def load_study(path: str, *, max_memory: Optional[int] = None) -> Any:
    """The ``Study`` of the study file at `path`, on its mesh (needs the
    mesh extra); the file as read is its attribute ``file``. StudyFileError
    for a mistake in the file, or a region the mesh does not have."""
    from .io import mesh as fe
    from .study import Study

    sf = read_study_file(path)
    m = fe.read(sf.mesh, sf.plane)
    try:
        study = Study.on_mesh(m, sf.regions, at=sf.at, default=sf.default, max_memory=max_memory,
                              average=sf.average)
    except (TypeError, ValueError) as e:
        raise StudyFileError(f"{sf.path}: {e}") from None
    study.file = sf
    return study
