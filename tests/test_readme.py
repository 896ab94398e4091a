"""Every Python example in README.md runs, and each print(...) in it prints what its comment says
("..." in a comment stands for any text)."""

import pathlib
import re
import subprocess
import sys

import pytest

from conftest import importable

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
EXAMPLES = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.DOTALL | re.MULTILINE)
# A printer's line, in colour from its first character to its last: an in-process server's thread
# prints them meanwhile, even between a printed line and its newline.
LOGGED = re.compile(r"\x1b\[[0-9;]*m.*?\x1b\[0m", re.DOTALL)
# Optional packages that an example needs, found by what it writes.
NEEDS = {"import trustme": "trustme", "@profile(": "line_profiler", "from opentelemetry": "opentelemetry.sdk.trace"}


def expected_lines(example):
    for line in example.splitlines():
        if printed := re.match(r"print\(.*\)\s+# (.*)$", line):
            yield re.compile(".*".join(map(re.escape, printed[1].strip().split("..."))))


@pytest.mark.parametrize("example", EXAMPLES, ids=[f"example{i + 1}" for i in range(len(EXAMPLES))])
def test_readme_example(example, tmp_path):
    if missing := [name for use, name in NEEDS.items() if use in example and not importable(name)]:
        pytest.skip(f"needs {', '.join(missing)}, which has no build for this interpreter")
    result = subprocess.run([sys.executable, "-c", example], cwd=tmp_path, capture_output=True,
                            text=True, encoding="utf-8", timeout=60)
    assert result.returncode == 0, result.stderr
    lines = [line.strip() for line in LOGGED.sub("\n", result.stdout).splitlines()]
    at = 0
    for pattern in expected_lines(example):
        while at < len(lines) and not pattern.fullmatch(lines[at]):
            at += 1
        assert at < len(lines), f"no line matching {pattern.pattern!r} in:\n" + "\n".join(lines)
        at += 1
