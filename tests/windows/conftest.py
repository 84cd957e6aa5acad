import pytest

from winehost import Wine


@pytest.fixture(scope="module")
def wine(tmp_path_factory):
    """One fresh Wine prefix for each test file, ended with its server."""
    wine = Wine(tmp_path_factory.mktemp("prefix"))
    wine.boot()
    yield wine
    wine.kill()
