"""What a new user meets: stand-ins under errors="raise" and in zelk.aio, the serving line, quiet
output, one "Connection failed" per outage, TLS for zelk.aio, typed proxies."""

import asyncio
import re
import socket
import subprocess
import sys
import threading
import time

import pytest

from conftest import free_port, run_in_threads
from zelk import aio, scribe
from zelk.client import InvalidAnswer, RemoteError, Unreachable, connect
from zelk.server import RequestHandler, Server, serve

BAD_ARRAY = {"data": b"\0" * 5, "dtype": "<f8", "shape": (1,)}  # five bytes cannot hold a float64
STAND_IN = "@ENCODE: lock ---> cannot pickle '_thread.lock' object"


class Calc:
    def add(self, a, b):
        return a + b

    def echo(self, value):
        return value

    def lock(self):
        return threading.Lock()

    def bad_array(self):
        return BAD_ARRAY


class Lines:
    """A printer for a client or a server that keeps its lines: (level, text, when)."""

    def __init__(self):
        self.lines = []

    def __getattr__(self, level):
        return lambda text, **kwds: self.lines.append((level, str(text), time.monotonic())) or str(text)

    def texts(self, pattern):
        return [text for _, text, _ in self.lines if re.search(pattern, text)]


@pytest.fixture(scope="module")
def port():
    port = free_port()
    serve(Calc(), "newuser", port=port, thread=True)
    return port


def call(kind, port, method, *args, **settings):
    """proxy.method(*args) through a raising blocking client, or through zelk.aio."""
    if kind == "blocking":
        return getattr(connect("newuser", port=port, errors="raise", **settings), method)(*args)

    async def main():
        async with aio.connect("newuser", port=port, **settings) as proxy:
            return await getattr(proxy, method)(*args)

    return asyncio.run(main())


def test_the_default_client_still_gets_the_stand_ins(port):
    calc = connect("newuser", port=port)
    assert calc.echo(threading.Lock()) == calc.lock() == STAND_IN
    assert calc.bad_array().startswith("@DECODE: numpy ---> ")
    # An array the server cannot rebuild never reaches the method: the call fails instead.
    assert calc.add(BAD_ARRAY, "x").startswith("NotRebuilt@newuser.add(@DECODE: numpy ---> ")


@pytest.mark.parametrize("kind", ["blocking", "aio"])
def test_raising_clients_refuse_stand_ins(port, kind):
    with pytest.raises(TypeError, match=re.escape(STAND_IN)):
        call(kind, port, "echo", threading.Lock())
    with pytest.raises(RemoteError, match=re.escape(STAND_IN)):
        call(kind, port, "lock")
    with pytest.raises(RemoteError) as failed:
        call(kind, port, "add", BAD_ARRAY, "x")
    assert failed.value.remote_type == "NotRebuilt"
    with pytest.raises(InvalidAnswer, match="@DECODE: numpy ---> "):
        call(kind, port, "bad_array")
    # A peer's own text that looks like a stand-in is a text like any other.
    assert call(kind, port, "echo", "@DECODE: numpy ---> mine") == "@DECODE: numpy ---> mine"


def test_the_serving_line_comes_once_the_socket_listens(port, capsys):
    with pytest.raises(OSError):
        serve(Calc(), "taken", port=port)
    assert "is serving at" not in capsys.readouterr().out


@pytest.mark.parametrize("how", ["environment", "code"])
def test_off_prints_nothing(monkeypatch, sink, how):
    monkeypatch.setenv("ZELK_LOG_LEVEL", "off" if how == "environment" else "debug")  # restored after the test
    if how == "code":
        scribe.set_log_level(" OFF")
    printer = scribe.BrillPrint("T")
    assert printer.critical("quiet", file=sink) == "quiet" and scribe.iprint("quiet too", file=sink) == "quiet too"
    assert sink.getvalue() == ""
    scribe.set_log_level(None)
    printer.debug("heard", file=sink)
    assert "heard" in sink.getvalue()
    with pytest.raises(ValueError, match="'loud'"):
        scribe.set_log_level("loud")


def test_connection_failed_is_printed_once_per_outage():
    port = free_port()
    calc, strict = connect("newuser", port=port), connect("newuser", port=port, errors="raise")
    calc._client.log = strict._client.log = lines = Lines()
    run_in_threads(lambda i: [calc.add(1, 2) for _ in range(20)], count=4)
    for _ in range(3):
        with pytest.raises(Unreachable, match=r"^Connection failed \("):
            strict.add(1, 2)
    assert len(lines.texts("Connection failed")) == 2  # one per client

    async def outage():
        async with aio.connect("newuser", port=port) as proxy:
            proxy._client.log = lines
            for _ in range(3):
                failures = await asyncio.gather(*(proxy.add(1, 2) for _ in range(5)), return_exceptions=True)
                assert all(isinstance(failure, Unreachable) for failure in failures)

    asyncio.run(outage())
    assert len(lines.texts("Connection failed")) == 3
    server = Server(("127.0.0.1", port), RequestHandler, obj=Calc(), alias="newuser")
    server.log = Lines()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        assert calc.add(1, 2) == strict.add(2, 3) - 2 == 3
        assert len(lines.texts("restored: the server\\(newuser\\) answers again")) == 2
    finally:
        server.shutdown()
        server.server_close()
    calc._client.close()
    assert calc.add(1, 2) is None and len(lines.texts("Connection failed")) == 4  # a new outage


def test_connection_lines_go_out_at_most_once_a_second():
    finished = threading.Semaphore(0)

    class Counted(RequestHandler):
        def finish(self):
            super().finish()
            finished.release()

    server = Server(("127.0.0.1", 0), Counted, obj=Calc(), alias="lines")
    server.log = lines = Lines()
    threading.Thread(target=server.serve_forever, daemon=True).start()

    def connect_and_leave(count):
        for _ in range(count):
            socket.create_connection(server.server_address).close()
        assert all(finished.acquire(timeout=30) for _ in range(count))

    try:
        connect_and_leave(30)
        admitted = [at for _, text, at in lines.lines if text.endswith(" connected")]
        assert len(admitted) <= admitted[-1] - admitted[0] + 1.5  # at most one a second
        time.sleep(max(0.0, admitted[-1] + 1.1 - time.monotonic()))
        connect_and_leave(1)  # the next line of its kind says how many were held back before it
        held = sum(int(n) for n in re.findall(r"Held back (\d+) more \"connected\"", str(lines.lines)))
        assert held + len(lines.texts(" connected$")) == 31
        kinds = {(level, text.endswith("!")) for level, text, _ in lines.lines if text.startswith("Client")}
        assert kinds == {("info", False), ("critical", True)}  # each line keeps its level
    finally:
        server.shutdown()
        server.server_close()


def test_aio_over_tls_with_a_key_and_a_plain_client_told_the_server_speaks_tls(certs):
    server_context, client_context = certs.server, certs.client
    keyed, plain = free_port(), free_port()
    serve(Calc(), "newuser", port=keyed, thread=True, ssl_context=server_context, authkey=b"key")
    serve(Calc(), "newuser", port=plain, thread=True, ssl_context=server_context)
    assert call("aio", keyed, "add", 1, 2, ssl_context=client_context, authkey=b"key") == 3
    for kind in ("blocking", "aio"):
        with pytest.raises(ConnectionError, match="the peer speaks TLS: it answered with a TLS alert"):
            call(kind, plain, "add", 1, 2, timeout=10)


CHECKED = '''
from typing import Protocol, reveal_type
import zelk
from zelk import aio
class Calc(Protocol):
    def add(self, a: int, b: int) -> int: ...
class AsyncCalc(Protocol):
    async def add(self, a: int, b: int) -> int: ...
calc = zelk.connect("calc", api=Calc)
reveal_type(calc.add(1, 2))
calc.no_such_method(1)
async def main() -> None:
    reveal_type(await aio.connect("calc", api=AsyncCalc).add(1, 2))
'''


def test_a_typed_proxy_for_type_checkers_and_at_run_time(port, tmp_path):
    class Api:
        def add(self, a: int, b: int) -> int: ...

    calc = connect("newuser", port=port, api=Api)
    assert calc.add(1, 2) == 3
    sent = calc._client._msgid
    with pytest.raises(AttributeError, match="the api Api has no attribute 'no_such_method'"):
        calc.no_such_method(1)
    assert calc._client._msgid == sent and not hasattr(calc, "ping")
    with pytest.raises(AttributeError, match="'ping'"):
        aio.connect("newuser", port=port, api=Api).ping
    try:
        import mypy.main  # noqa: F401
    except Exception as e:  # a build of mypy's runtime for another 3.15 fails with SystemError
        pytest.skip(f"mypy does not run on this interpreter: {e!r}")
    (tmp_path / "checked.py").write_text(CHECKED)
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "checked.py"],
                            cwd=tmp_path, capture_output=True, text=True)
    reported = re.findall(r"checked\.py:\d+: (.*)", result.stdout.replace("builtins.", ""))
    assert reported == ['note: Revealed type is "int"', 'error: "Calc" has no attribute "no_such_method"  [attr-defined]',
                        'note: Revealed type is "int"'], result.stdout
