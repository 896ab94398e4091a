"""The hand-kept stubs in zelk/*.pyi match the built modules."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.skipif(os.environ.get("ZELK_SANITIZE") == "1", reason="mypy is not built for the sanitizers")
def test_stubs_match_the_modules():
    try:
        import mypy.stubtest  # noqa: F401
    except Exception as e:  # a build of mypy's runtime for another 3.15 fails with SystemError
        pytest.skip(f"mypy does not run on this interpreter: {e!r}")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", "pyproject.toml", "zelk"],
        cwd=ROOT, capture_output=True, text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr
