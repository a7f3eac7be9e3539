"""The fills of the kriged nodes: ``"conditional"`` (the default: each kriged
node drawn from its conditional distribution given its nearest drawn nodes,
with the model's variance) and ``"kriging"`` (the driver's realisations, up
to rounding; the kriged nodes carry less than the requested variance and,
under a trend in mu, not its mean). ``protocol`` says what a sampler asks
of a fill.
"""

from __future__ import annotations

from typing import Any, Union

from .conditional import ConditionalFill
from .kriging import KrigingFill
from .protocol import Base, Fill, FillOptions

__all__ = ["ConditionalFill", "KrigingFill", "Base", "Fill", "FillOptions", "options",
           "DEFAULT_FILL", "NAMES"]

DEFAULT_FILL = "conditional"
NAMES = ("conditional", "kriging")


def options(fill: Union[str, Any], neighbours: Any = None) -> Any:
    """The options object of `fill`: a name ("conditional", "kriging") or an
    options object as it is. `neighbours` (the conditional fill's, kept as
    a shortcut of ``Sampler``) goes with the name "conditional" only."""
    if isinstance(fill, str):
        if fill == "conditional":
            return ConditionalFill(neighbours=neighbours)
        if fill == "kriging":
            if neighbours is not None:
                raise TypeError("neighbours is an option of the conditional fill; "
                                "the kriging fill takes none")
            return KrigingFill()
        raise ValueError(f"fill must be 'conditional' or 'kriging', got {fill!r}")
    if isinstance(fill, (ConditionalFill, KrigingFill)) or (
            hasattr(fill, "build") and hasattr(fill, "plan") and hasattr(fill, "name")):
        if neighbours is not None:
            raise TypeError("give neighbours in the fill's options "
                            "(ConditionalFill(neighbours=...)), not beside them")
        return fill
    raise TypeError(f"fill must be 'conditional', 'kriging' or a fill's options "
                    f"(ConditionalFill(...)), not {type(fill).__name__}")
