"""``python -m random_field_sampler``: the random-field command line."""

import sys

from .cli import main

sys.exit(main())
