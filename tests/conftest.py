import numpy
import pytest
from helpers.build import HELPERS, SRC, build


@pytest.fixture(scope="session")
def core():
    """Test-only entry points into the numerical core, built from the module's sources."""
    return build(
        "_corehooks",
        [HELPERS / "corehooks.cpp", SRC / "operators.cpp", SRC / "buffer_views.cpp"],
        include_dirs=[numpy.get_include()],
    )
