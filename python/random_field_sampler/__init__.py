"""Companions of the ``random_field`` extension: many realisations of one
random field over one mesh (``Sampler``), and the ``random-field`` command
line (``random_field_sampler.cli``).

The package never changes numpy's global generator except by drawing from it.
"""

from __future__ import annotations

from .distributions import lognormal
from .fills import ConditionalFill, KrigingFill
from .sampler import Sampler
from .study import Property, Region, Study
from .studyfile import load_study
from .transform import Transform

__all__ = ["Sampler", "Study", "Region", "Property", "load_study", "ConditionalFill", "KrigingFill", "Transform", "lognormal"]

# The distribution's version, for a build tree where no metadata is installed.
__version__ = "0.1.0"
