"""`python -m zelk` end to end, each command in a subprocess of its own: serve, call, ping, stats,
their failures, and the demonstration."""

import socket
import subprocess
import sys
import time

import pytest

from conftest import free_port
from zelk.ring import get_port


def zelk(*args, timeout=60):
    return subprocess.run([sys.executable, "-m", "zelk", *args], capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="module")
def served_dict():
    """`python -m zelk serve builtins:dict --alias calc`: a type that cannot take the service methods."""
    port = free_port()
    proc = subprocess.Popen([sys.executable, "-m", "zelk", "serve", "builtins:dict", "--alias", "calc", "--port", str(port)],
                            stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            assert proc.poll() is None and time.monotonic() < deadline, "the server did not start"
            time.sleep(0.05)
    yield str(port)
    proc.kill()
    proc.wait()


@pytest.mark.parametrize("command", [[], ["serve"], ["call"], ["ping"], ["stats"]])
def test_every_command_has_help(command):
    result = zelk(*command, "--help")
    assert result.returncode == 0 and result.stdout.startswith("usage: python -m zelk")


@pytest.mark.parametrize(
    "args, status, expected",
    [
        (["call", "calc.fromkeys", "[1, 2]"], 0, "{1: None, 2: None}\n"),
        (["call", "calc", "a=1", "b=(2, 'x')"], 0, "{'a': 1, 'b': (2, 'x')}\n"),
        (["stats", "calc"], 0, "'calc.stats': {'count': 0}"),  # counted once it has returned
    ],
)
def test_calls_print_their_result(served_dict, args, status, expected):
    result = zelk(*args, "--port", served_dict)
    assert result.returncode == status and expected in result.stdout and result.stderr == ""


def test_ping_answers(served_dict):
    result = zelk("ping", "calc", "--port", served_dict)
    assert result.returncode == 0 and f"calc at 127.0.0.1:{served_dict} answered in " in result.stdout


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["call", "nothing.add", "1"], 1, "zelk call: service 'nothing' is not reachable at 127.0.0.1:{port} ([Errno 111] Connection refused)\n"),
        (["ping", "nothing"], 1, "zelk ping: service 'nothing' is not reachable at 127.0.0.1:{port} ("),
        (["stats", "nothing"], 1, "zelk stats: service 'nothing' is not reachable at 127.0.0.1:{port} ("),
        (["call", "nothing.add", "hello"], 2, "zelk call: not a Python literal: 'hello'"),
        (["call", "nothing.add", "x=__import__('os')"], 2, "zelk call: not a Python literal: \"__import__('os')\""),
        (["serve", "no_such_module_here"], 2, "zelk serve: cannot import 'no_such_module_here'"),
        (["serve", "math:nope"], 2, "zelk serve: 'math' has no attribute 'nope'"),
        (["serve", "math", "--origin", "http://x/"], 2, "zelk serve: --origin: 'http://x/' is not an origin"),
        (["serve", "math", "--allow-class", "math.nope"], 2, "zelk serve: --allow-class: module math has no nope"),
        (["serve", "math", "--expose", "_x"], 2, "zelk serve: --expose: '_x' names a private attribute"),
    ],
)
def test_failures_are_one_line_and_a_status(args, status, message):
    port = str(free_port())
    result = zelk(*args, "--port", port)
    assert result.returncode == status and result.stdout == ""
    assert result.stderr.startswith(message.format(port=port)) and result.stderr.count("\n") == 1


def test_the_demonstration_serves_calls_and_ends_its_child():
    result = zelk()
    assert result.returncode == 0, result.stderr
    out = result.stdout
    for expected in ["add(1, 2) = 3", "(3, 4) float64, equal: True", "ZeroDivisionError: division by zero",
                     "return a / b", "'zelk-demo.add': {'count': ", "µs per call", "the child process has ended"]:
        assert expected in out
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", get_port("zelk-demo")))  # nothing serves there any more
