"""Every Python example in README.md runs, and each print(...) in it prints what its comment says
("..." in a comment stands for any text)."""

import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
EXAMPLES = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.DOTALL | re.MULTILINE)
COLOUR = re.compile(r"\x1b\[[0-9;]*m")

# Before 3.14 the interpreter ends daemon threads at exit by unwinding their stacks, which an
# in-process server's threads, waiting inside native code, do not survive; on 3.14 they are left
# waiting. The examples are checked for what they print, so there they end without finalization.
ENDING = "\nimport os, sys\nsys.stdout.flush()\nsys.stderr.flush()\nos._exit(0)\n" if sys.version_info < (3, 14) else ""


def expected_lines(example):
    for line in example.splitlines():
        if printed := re.match(r"print\(.*\)\s+# (.*)$", line):
            yield re.compile(".*".join(map(re.escape, printed[1].strip().split("..."))))


@pytest.mark.parametrize("example", EXAMPLES, ids=[f"example{i + 1}" for i in range(len(EXAMPLES))])
def test_readme_example(example, tmp_path):
    result = subprocess.run([sys.executable, "-c", example + ENDING], cwd=tmp_path, capture_output=True,
                            text=True, encoding="utf-8", timeout=60)
    assert result.returncode == 0, result.stderr
    lines = [COLOUR.sub("", line).strip() for line in result.stdout.splitlines()]
    at = 0
    for pattern in expected_lines(example):
        while at < len(lines) and not pattern.fullmatch(lines[at]):
            at += 1
        assert at < len(lines), f"no line matching {pattern.pattern!r} in:\n" + "\n".join(lines)
        at += 1
