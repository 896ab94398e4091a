import io

import pytest


class Sink(io.StringIO):
    """A stream for print(file=...) that keeps what was written."""


@pytest.fixture
def sink():
    return Sink()
