"""Fixtures shared by every layer of tests; the helpers behind them are in
support.py (a conftest of a subfolder would shadow this module's name)."""
import functools

import pytest

from support import VECTOR_EXPORTERS, VIEW_KINDS, export, make_view


@pytest.fixture(params=VIEW_KINDS)
def view(request):
    """A function values -> buffer of one view kind (the test runs for each)."""
    return functools.partial(make_view, request.param)


@pytest.fixture(params=list(VECTOR_EXPORTERS))
def exporter(request):
    """A function values -> buffer of one exporter (the test runs for each)."""
    return functools.partial(export, request.param)
