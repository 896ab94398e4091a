"""Errors a caller can act on: the raising client, one outcome for one fault, clear causes, serving
that leaves the served object's own attributes alone, and closing a client."""

import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from conftest import RING, STAND_IN_TIMEOUT, Doorbell, free_port, start_served, stop_served
from zelk.client import (CallTimeout, Client, ConnectionLost, InvalidAnswer, RemoteError, Unreachable, close,
                         connect)

SERVED = RING + """
import sys, time
from zelk.server import serve

class Model:
    client = "the model's own client"

    def stats(self):
        return "the model's own stats"

    def div(self, a, b):
        return a / b

    def nap(self, seconds, bell=0):
        ring(bell)
        time.sleep(seconds)
        return seconds

    def close(self):
        return "closed remotely"

key = sys.argv[2].encode() if sys.argv[2:] else None
serve(Model(), alias="model", port=int(sys.argv[1]), authkey=key)
"""
KEY = "a key for the tests"


def start(*key, out=subprocess.DEVNULL):
    port = free_port()
    return start_served(SERVED, port, *key, stdout=out), port


@pytest.fixture(scope="module")
def served():
    proc, port = start()
    yield proc, port
    proc.kill()
    proc.wait()


@pytest.fixture(scope="module")
def keyed():
    proc, port = start(KEY)
    yield port
    proc.kill()
    proc.wait()


# ---- the raising client ---------------------------------------------------------------------------


def test_a_remote_failure_raises_with_the_text_the_call_returns(served):
    _, port = served
    returned = connect("model", port=port).div(1, 0)
    with pytest.raises(RemoteError) as info:
        connect("model", port=port, errors="raise").div(1, 0)
    assert info.value.text == str(info.value) and info.value.remote_type == "ZeroDivisionError"
    assert info.value.text.splitlines()[0] == returned.splitlines()[0] and "Traceback" in info.value.text
    assert connect("model", port=port, errors="raise").div(4, 2) == 2.0


def killed_once_entered(proc):
    """A doorbell whose ring, from a served nap, kills the server while the call is in progress."""
    bell = Doorbell()
    threading.Thread(target=lambda: (bell.wait(), proc.kill()), daemon=True).start()
    return bell.port


@pytest.mark.parametrize("case, error, text", [
    ("time-out", CallTimeout, "@RECV: TimeoutError, timed out"),
    ("unreachable", Unreachable, "Connection failed ("),
    ("killed mid-call", ConnectionLost, "@RECV: ConnectionError, the server closed the connection before it answered"),
])
def test_what_a_raising_client_raises(case, error, text):
    proc, port = start()
    try:
        calc = connect("model", port=port if case != "unreachable" else free_port(), errors="raise")
        with pytest.raises(error) as info:
            if case == "time-out":
                calc.nap(30, timeout=0.5)
            calc.nap(30, killed_once_entered(proc) if case == "killed mid-call" else 0)
        assert str(info.value).startswith(text) and info.value.text == str(info.value)
        assert isinstance(info.value, {CallTimeout: TimeoutError}.get(error, ConnectionError))
    finally:
        proc.kill()
        proc.wait()


def test_the_same_fault_gives_the_same_value_each_time():
    # The server dies while the call waits: a failed receive, every time (not None one time and
    # "Invalid Response Type" the next).
    for _ in range(3):
        proc, port = start()
        answer = connect("model", port=port).nap(30, killed_once_entered(proc))
        assert answer.startswith("@RECV: ConnectionError, the server closed the connection")
        proc.wait()


@pytest.mark.parametrize("key, text", [(b"wrong", "the server refused the key"), (None, "the server requires a key")])
def test_a_key_refused_or_missing_says_so(keyed, key, text):
    with pytest.raises((Unreachable, ConnectionLost), match=text):
        connect("model", port=keyed, authkey=key, errors="raise").div(1, 1)


@pytest.mark.parametrize("make", [lambda: connect("model", errors="loud"), lambda: Client("127.0.0.1", 1, 1.0, errors="")])
def test_errors_takes_return_or_raise(make):
    with pytest.raises(ValueError, match="errors must be \"return\" or \"raise\""):
        make()


def test_an_answer_that_fails_the_check_raises_invalid_answer(stand_in):
    calc = connect("model", port=stand_in(lambda r: (1, 99, "another call's")).port, errors="raise",
                   timeout=STAND_IN_TIMEOUT)
    with pytest.raises(InvalidAnswer, match="Invalid MsgID"):
        calc.div(1, 1)


# ---- serving leaves the object's own attributes alone ----------------------------------------------


def test_the_served_objects_own_attributes_are_served(tmp_path):
    with open(tmp_path / "out", "wb") as out:
        proc, port = start(out=out)
    model = connect("model", port=port)
    assert model.stats() == "the model's own stats" and model.ping("hi") == "hi"
    answer = model._client.call("model.client")  # a str, which cannot be called, and whose value stays
    assert "'str' object is not callable" in answer and "the model's own client" not in answer
    proc.kill()
    proc.wait()
    assert (tmp_path / "out").read_text().count("The served object has its own stats, client: the service methods of those names are not installed") == 1


# ---- closing a client ----------------------------------------------------------------------------


def test_a_client_closes_with_with_and_close(keyed, capsys):
    with connect("model", port=keyed, authkey=KEY.encode()) as model:
        assert model.div(4, 2) == 2.0 and model.close() == "closed remotely"  # close is a remote method
        connection = model._client._connection
    assert connection.closed and "closed!" in capsys.readouterr().out
    assert model.div(9, 3) == 3.0  # the next call connects again
    close(model)
    assert model._client._connection.closed


# ---- the command line ------------------------------------------------------------------------------


def zelk(*args):
    return subprocess.run([sys.executable, "-m", "zelk", *args], capture_output=True, text=True, timeout=60,
                          env={k: v for k, v in os.environ.items() if k != "ZELK_AUTHKEY"})


@pytest.mark.parametrize("args, message", [
    (["ping", "model"], "zelk ping: model.ping failed: @RECV: AuthenticationError, the server requires a key"),
    (["call", "model.div", "1", "0"], "zelk call: model.div failed: ZeroDivisionError@model.div(1, 0)"),
])
def test_the_command_line_tells_failures_on_standard_error(served, keyed, args, message):
    result = zelk(*args, "--port", str(keyed if args[0] == "ping" else served[1]))
    assert (result.returncode, result.stdout) == (1, "") and result.stderr.startswith(message)
    assert result.stderr.count("\n") == 1


# ---- the browser channel, as the README shows it --------------------------------------------------

BROWSER_SERVED = """
import sys
from zelk.server import serve

class Calc:
    def add(self, a, b):
        return a + b

    def echo(self, value):
        return value

    def div(self, a, b):
        return a / b

serve(Calc(), alias="calc", port=4404)
"""


def test_the_readme_page_calls_from_a_browser(chromium):
    readme = (Path(__file__).parent.parent / "README.md").read_text()
    page = readme.split("```html\n", 1)[1].split("```", 1)[0]
    proc = start_served(BROWSER_SERVED, 4404)  # the page's own port
    try:
        answers = chromium.run(page)
    finally:
        stop_served(proc)
    assert answers[:2] == [3, [1, "two"]]
    assert answers[2].startswith("ZeroDivisionError@calc.div(1, 0) \U0001F513  division by zero!")
