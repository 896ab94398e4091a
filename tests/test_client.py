"""zelk.client end to end: against an object served by zelk.server in another process, and against
stand-in servers written here over zelk.ring.Connection for the answers a real server never gives."""

import contextlib
import fractions
import os
import socket

import numpy as np
import pytest

from conftest import (RESET, SILENT, STAND_IN_TIMEOUT, echo_call, free_port, leaks, run_in_threads, served_calc,
                      start_calc, stop_served)
from zelk.client import Client, _RemoteClass, _RemoteMethod, connect
from zelk.ring import get_port

@pytest.fixture(scope="module")
def served():
    with served_calc() as port:
        yield port


@pytest.fixture
def calc(served):
    proxy = connect("calc", port=served)
    yield proxy
    with contextlib.suppress(OSError):  # a test may have closed it already
        proxy._client.close()


@pytest.fixture
def stand_in(stand_in):
    """stand_in(*replies): a proxy for "calc" at a stand-in (conftest's StandIn), and the stand-in."""

    def start(*replies):
        server = stand_in(*replies)
        return connect("calc", port=server.port, timeout=STAND_IN_TIMEOUT), server

    return start


# ---- against zelk.server -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value",
    [None, 7, 2.5, "text", b"\x00bytes", (1, (2, 3)), [1, (2,)], {1, 2}, {"k": (1, [2])}, fractions.Fraction(1, 3)],
)
def test_values_come_back_with_their_types(calc, value):
    back = calc.echo(value)
    assert back == value and type(back) is type(value)


def test_results_arrays_and_remote_failures(calc):
    assert calc.add(1, 2) == 3 and calc.add(a="x", b="y") == "xy"
    array = np.arange(12.0).reshape(3, 4)
    back = calc.echo(array)
    assert back.dtype == array.dtype and np.array_equal(back, array)
    failure = calc.fail()
    assert "ValueError" in failure and "broken on purpose" in failure and "Traceback" in failure
    assert calc.ping("hello") == "hello" and calc.getpid()[0] != os.getpid()


def test_a_restarted_server_is_survived_by_the_next_call(capsys):
    port = free_port()
    proc = start_calc(port)
    calc = connect("calc", port=port)
    try:
        assert calc.add(1, 2) == 3
        stop_served(proc)
        proc = start_calc(port)
        assert calc.add(2, 3) == 5
        assert calc._client._msgid == 2
        assert "@SEND: " in capsys.readouterr().out
    finally:
        stop_served(proc)


def test_threads_sharing_one_proxy_get_their_own_answers(calc):
    def work(i):
        for k in range(200):
            assert calc.echo((i, k)) == (i, k)

    run_in_threads(work)
    assert calc._client._msgid == 8 * 200


def test_close_reports_and_the_next_call_reconnects(calc, capsys):
    assert calc.add(1, 2) == 3
    first = calc._client._connection
    assert calc._client.close() is None
    assert f"Connection to (127.0.0.1, {calc._client._port}) closed!" in capsys.readouterr().out
    assert calc.add(3, 4) == 7 and calc._client._connection is not first
    calc._client._connection.close()
    assert calc._client.close() is None  # a connection closed already is left as it is
    assert "closed!" in capsys.readouterr().out


def test_calls_do_not_leak(calc):
    add, arg, keyword = calc.add, "an argument".upper(), "a keyword".upper()  # made here: not immortal
    left = leaks(lambda: add(arg, b=keyword), add, add._method, arg, keyword, calc._client, calls=50_000)
    assert left.references == [0] * 5 and left.blocks < 5_000 and left.rss < 2 << 20


# ---- records, proxies and the client's own names ------------------------------------------------


def test_timeout_is_consumed_and_stays_on_the_socket(stand_in):
    calc, server = stand_in()
    assert calc.add(1, timeout=5, traceback=False) == ("calc.add", (1,), {"traceback": False})
    assert server.records == [(0, 1, "calc.add", (1,), {"traceback": False})]
    assert calc.timeout == 5.0
    calc.add(2)
    assert calc.timeout == 5.0


def test_two_proxies_of_one_client_share_its_message_ids(stand_in):
    calc, server = stand_in()
    whole = calc._client("calc", types="method")
    calc.add(1)
    whole(2)
    calc.sub(3)
    assert [(r[1], r[2]) for r in server.records] == [(1, "calc.add"), (2, "calc"), (3, "calc.sub")]


@pytest.mark.parametrize("types, proxy_class", [("class", _RemoteClass), ("", _RemoteMethod), ("method", _RemoteMethod)])
def test_connect_makes_a_proxy_and_opens_nothing(types, proxy_class):
    proxy = connect("nothing-here", types=types)
    assert type(proxy) is proxy_class and repr(proxy) == "ZELK.Client"
    client = proxy._client
    assert (client._host, client._port, client._timeout, client.alias) == ("127.0.0.1", get_port("nothing-here"), 1000.0, "nothing-here")
    assert client._connection is None and proxy.laddr is None and proxy.raddr is None
    assert repr(Client("127.0.0.1", 80, 1)._timeout) == "1.0"  # an int time-out is made a float


def test_the_proxys_own_names_are_answered_locally(stand_in):
    calc, server = stand_in()
    calc.add(1)
    sock = calc._client._connection._socket
    assert (calc.laddr, calc.raddr, calc.timeout) == (sock.getsockname(), sock.getpeername(), STAND_IN_TIMEOUT)
    assert calc._class == "calc" and isinstance(calc._client, Client)
    assert calc.settimeout(2.0) is None and calc.timeout == 2.0
    calc.settimeout(None)
    assert calc.timeout is None and hasattr(calc, "anything")
    assert isinstance(calc.anything, _RemoteMethod) and calc.anything._method == "calc.anything"
    with pytest.raises(AttributeError):
        calc.add.nested
    assert len(server.records) == 1


class OwnCall(Client):
    def call(self, method, *args, **kwds):
        return ("own", method, args, kwds)


def test_a_method_proxy_calls_whatever_call_the_client_has(monkeypatch):
    proxy = _RemoteMethod(OwnCall("127.0.0.1", 1, 1.0), "calc.add")
    assert proxy(1, b=2) == ("own", "calc.add", (1,), {"b": 2})
    client = Client("127.0.0.1", 1, 1.0)
    monkeypatch.setattr(client, "call", lambda *args, **kwds: (args, kwds))
    assert _RemoteMethod(client, "calc.add")(1, b=2) == (("calc.add", 1), {"b": 2})


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: Client("127.0.0.1", True, 1.0), "Argument 'port' has incorrect type (expected int, got bool)"),
        (lambda: connect(b"calc"), "Argument 'name' has incorrect type (expected str, got bytes)"),
        (lambda: connect("calc", types=None), "Argument 'types' has incorrect type (expected str, got NoneType)"),
        (lambda: connect("calc").settimeout(2), "Argument 'value' has incorrect type (expected float, got int)"),
        (lambda: _RemoteMethod(None, 5), "Argument 'method' has incorrect type (expected str, got int)"),
        (lambda: connect("calc", timeout="1"), "must be real number, not str"),
    ],
)
def test_arguments_are_checked(make, message):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == message


# ---- failures -----------------------------------------------------------------------------------


def test_no_server_means_one_message_and_none(capsys):
    calc = connect("calc", port=free_port())
    assert calc.add(1, 2) is None
    out = capsys.readouterr().out
    assert out.count("Connection failed (") == 1 and calc._client._connection is None
    text = calc._client.open_connection()
    indent = "\n" + " " * 24
    assert text == (f"Connection failed ([Errno 111] Connection refused), please check: {indent}1. the network is connected"
                    f"{indent}2. the server info(host(127.0.0.1) or port({calc._client._port})) is correct {indent}"
                    "3. the server(calc) has been started!")
    calc._client._host = ""
    capsys.readouterr()
    assert calc._client.open_connection() is None and capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "reply, expected",
    [
        (lambda r: {"kind": 1}, "Response[{'kind': 1}]: Invalid Response Type<tuple or list needed>"),
        (lambda r: (1, r[1], 3, 4), "Response[(1, 1, 3, 4)]: Invalid Response"),
        (lambda r: (0, r[1], 3), "Response[(0, 1, 3)]: Invalid Response"),
        (lambda r: (1, 99, 3), "Response[(1, 99, 3)]: Invalid MsgID<Request[0, 1]>"),
    ],
)
def test_answers_that_fail_the_check_give_the_failure_text(stand_in, capsys, reply, expected):
    calc, _ = stand_in(reply)
    text = calc.add(1, 2)
    assert text.startswith("Failure@calc.add(1, 2) \U0001F513  " + expected)
    assert "[ERROR" in capsys.readouterr().out


def test_a_receive_time_out_renews_the_connection(stand_in):
    calc, server = stand_in(lambda r: SILENT if r[2] == "calc.slow" else echo_call(r))
    calc.add(1)
    first, address = calc._client._connection, calc.laddr
    assert calc.slow(timeout=0.2) == f"@RECV: TimeoutError, timed out(0.2s, {address})"
    assert first.closed and not calc._client._connection.closed
    assert calc.add(2) == ("calc.add", (2,), {}) and calc.timeout == STAND_IN_TIMEOUT


def test_a_connection_reset_while_waiting_is_reported_not_raised(stand_in):
    # As when the server is killed during the call: the reset connection cannot even be shut down.
    # The second time nothing listens any more, and the next call finds no server.
    servers = []

    def reply(record):
        if record[2] != "calc.slow":
            return echo_call(record)
        if record[3]:
            servers[0].listener.shutdown(socket.SHUT_RDWR)
        return RESET

    calc, server = stand_in(reply)
    servers.append(server)
    reset = "@RECV: ConnectionResetError, [Errno 104] Connection reset by peer"
    assert (calc.slow(), calc.add(1)) == (reset, ("calc.add", (1,), {}))
    assert (calc.slow("gone"), calc.add(2)) == (reset, None)


@pytest.mark.parametrize("error, expected", [(KeyboardInterrupt, "@RECV: KeyboardInterrupt, "),
                                             (BufferError("short"), "@RECV: BufferError, short")])
def test_an_interrupted_receive_is_reported_not_raised(stand_in, error, expected):
    calc, _ = stand_in()
    calc.add(1)

    def recv():
        raise error

    calc._client._connection.recv = recv
    assert calc.add(2) == expected
    assert calc.add(3) == ("calc.add", (3,), {})


def test_a_failed_send_is_sent_again_with_a_new_id(stand_in, capsys):
    calc, server = stand_in()
    calc.add(1)

    def send(record):
        raise BrokenPipeError(32, "Broken pipe")

    calc._client._connection.send = send
    assert calc.add(2) == ("calc.add", (2,), {})
    assert [r[1] for r in server.records] == [1, 3]
    assert "@SEND: BrokenPipeError, [Errno 32] Broken pipe" in capsys.readouterr().out
