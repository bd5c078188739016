import os

import numpy
import pytest
from support import fields, helper


@pytest.fixture(scope="session")
def core():
    """Test-only entry points into the numerical core and the version check."""
    return helper("_corehooks")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "unsanitized: inspects the plain build; skipped under the sanitizer run"
    )


def pytest_sessionstart(session):
    # The sanitizer run must test the sanitized module, not the installed one.
    expected = os.environ.get("TAVORIN_EXPECT_MODULE_UNDER")
    if expected:
        import tavorin.operators

        assert tavorin.operators.__file__.startswith(expected), tavorin.operators.__file__


@pytest.fixture(scope="session")
def viewhooks():
    """Test-only entry points into the typed buffer views, linked from the module's own objects."""
    return helper("_viewhooks")


@pytest.fixture(scope="session")
def exporter_type():
    """A buffer exporter whose every reported field the test sets (helpers/exporter.c)."""
    return helper("_exporter").Exporter


@pytest.fixture(scope="session")
def double_exporter(exporter_type):
    """make(array, **changes): a test exporter holding a copy of a 2-D float64
    array and describing it as such, with any field changed."""

    def make(array, **changes):
        array = numpy.ascontiguousarray(array, dtype=numpy.float64)
        return exporter_type(array.tobytes(), **fields(*array.shape, **changes))

    return make
