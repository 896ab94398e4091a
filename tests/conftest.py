import io
import os

import pytest

# Under the sanitizers freed memory sits in quarantine, so resident size says nothing about leaks.
needs_plain_build = pytest.mark.skipif(
    os.environ.get("ZELK_SANITIZE") == "1", reason="memory growth is meaningless under AddressSanitizer"
)


class Sink(io.StringIO):
    """A stream for print(file=...) that keeps what was written."""


@pytest.fixture
def sink():
    return Sink()
