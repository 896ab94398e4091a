"""zelk.server end to end: a served object answered through raw connections, its lifecycle and shutdown."""

import os
import select
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from conftest import free_port, leaks, run_in_threads, wait_for
import zelk
from zelk.ring import Connection, get_port
from zelk.scribe import BrillPrint
from zelk.server import RequestHandler, Server, ServerBase, serve, start, terminate

EXCLUDE = ["zelk", "vantor", "melix"]


class Calc:
    def add(self, a, b=0):
        return a + b

    def div(self, a, b):
        return a / b

    def frozen(self):
        return frozenset({1})

    def echo(self, *args, **kwargs):
        return args, kwargs


@pytest.fixture
def served():
    """A Calc served as "calc" on a free port in a thread; yields (server, connect)."""
    server = Server(("127.0.0.1", 0), RequestHandler, obj=Calc(), alias="calc")
    server.log = BrillPrint("calc", exclude=EXCLUDE)
    thread = threading.Thread(target=start, args=(server,), daemon=True)
    thread.start()
    opened = []

    def connect():
        opened.append(Connection(socket.create_connection(server.server_address)))
        return opened[-1]

    yield server, connect
    for c in opened:
        c._socket.close()
    server.shutdown()
    server.server_close()


def call(connection, name, *args, msgid=7, **kwargs):
    connection.send((0, msgid, name, args, kwargs))
    return connection.recv()


# ---- ServerBase ----------------------------------------------------------------------------------


def test_registry_and_service_methods():
    obj = Calc()
    base = ServerBase(obj, "x")
    assert (base._server, base.statistics, base.client, base._timeout) == ({"x": obj}, {}, {"host": "", "port": 0}, 86400)
    base.statistics["addr"] = {"x.add": {"count": 1}}
    assert obj.ping(5) == 5 and obj.stats() == base.statistics and obj.client() == base.client
    assert obj.stats()["addr"]["x.add"] is not base.statistics["addr"]["x.add"]  # copies, made whole
    assert obj.client() is not base.client
    assert obj.getpid() == (os.getpid(), os.getppid())
    assert obj.stats.__func__.__qualname__ == "ServerBase.register.<locals>.stats"
    with pytest.raises(Exception, match="^x has already been registered$"):
        base.register(Calc())
    assert base._server == {"x": obj}
    with pytest.raises(TypeError, match=r"Argument 'alias' has incorrect type \(expected str, got int\)"):
        ServerBase(obj, 1)
    with pytest.raises(AttributeError):
        ServerBase(len, "f")


@pytest.mark.parametrize(
    "request_, expected",
    [((0, 7, "x", (1, 2), {}), "obj"), ([0, 7, "x.add", [1], {}], "add"),
     ((0, 7, "x.ping.extra", (), {}), '"x.ping" has no attribute "extra"'),
     ((0, 7, "x.nothing", (), {}), '"x" has no attribute "nothing"'), ((0, 7, "y.add", (), {}), '"y" has no attribute "add"'),
     ((0, 7, "y", (), {}), None)],
)
def test_parse_resolves_call_names(request_, expected):
    obj = Calc()
    base = ServerBase(obj, "x")
    msgid, function, args, kwds = base._parse(request_)
    assert msgid == 7 and args is request_[3] and kwds is request_[4]
    if expected == "obj":
        assert function is obj
    elif expected in ("add", "ping"):
        assert function == getattr(obj, expected)
    else:
        assert function == expected


@pytest.mark.parametrize("request_", [(1, 7, "x", (), {}), (0, 7, "x", ()), [0, 7, "x", (), {}, 1]])
def test_parse_refuses_records_of_another_kind_or_shape(request_):
    with pytest.raises(Exception) as info:
        ServerBase(Calc(), "x")._parse(request_)
    assert str(info.value) == f"Request[{request_}]: Invalid Protocol"


# ---- the request handler over the wire -----------------------------------------------------------


def test_answers_and_error_texts(served, capsys):
    server, connect = served
    c = connect()
    assert call(c, "calc.add", 1, 2) == (1, 7, 3)
    assert call(c, "calc.echo", 1, (2,), {3}, x=np.arange(3)) [2][0] == (1, (2,), {3})
    kind, msgid, text = call(c, "calc.div", 1, 0)
    assert (kind, msgid) == (1, 7) and text.startswith("ZeroDivisionError@calc.div(1, 0) \U0001F513  division by zero!\r\n")
    assert 'in div\n' in text and "return a / b" in text and not any(f'File "{d}' in text for d in zelk.__path__)
    assert call(c, "calc.div", 1, 0, traceback=False) == [1, 7, "division by zero"]  # a failure's answer is a list
    assert call(c, "calc.nothing")[2].startswith('AttributeError@calc.nothing() \U0001F513  "calc" has no attribute "nothing"!')
    assert call(c, "nope")[2].startswith("TypeError@nope() \U0001F513  'NoneType' object is not callable!")
    assert "[calc][ERROR\U0001F92C] division by zero" in capsys.readouterr().out


def test_service_methods_over_the_wire(served):
    server, connect = served
    c = connect()
    address = c._socket.getsockname()
    assert call(c, "calc.ping", "hi") == (1, 7, "hi")
    assert call(c, "calc.getpid")[2] == (os.getpid(), os.getppid())
    assert call(c, "calc.client")[2] == {"host": address[0], "port": address[1]}
    call(c, "calc.add", 1)
    call(c, "calc.div", 1, 0)
    assert call(c, "calc.stats")[2] == {address: {"calc.ping": {"count": 1}, "calc.getpid": {"count": 1},
                                                 "calc.client": {"count": 1}, "calc.add": {"count": 1},
                                                 "calc.div": {"count": 0}, "calc.stats": {"count": 0}}}  # as the call found them
    c._socket.close()
    wait_for(lambda: address not in server.statistics)


def test_an_answer_that_cannot_be_encoded_is_a_failed_call(served):
    server, connect = served
    c = connect()
    text = call(c, "calc.frozen")[2]
    assert text.startswith("TypeError@calc.frozen() \U0001F513  can not serialize 'frozenset' object!")
    assert call(c, "calc.add", 2, 3) == (1, 7, 5)
    assert server.statistics[c._socket.getsockname()]["calc.frozen"] == {"count": 0}


@pytest.mark.parametrize("bad", [(1, 7, "calc.add", (1, 2), {}), (0, 7, "calc.add"), "text", {"a": 1}, (0, 7, 5, (), {})])
def test_bad_records_end_that_connection_only(served, bad):
    server, connect = served
    good, evil = connect(), connect()
    evil.send(bad)
    assert evil.recv() is None  # closed by the server, nothing answered
    assert call(good, "calc.add", 1, 2) == (1, 7, 3)


def test_sixteen_clients_in_parallel(served):
    server, connect = served
    connections = [connect() for _ in range(16)]

    def work(i):
        for n in range(500):
            assert call(connections[i], "calc.add", i, n, msgid=n) == (1, n, i + n)

    run_in_threads(work, count=16)


def test_answers_go_out_without_waiting_for_acknowledgements(served):
    # With Nagle's algorithm each pipelined answer would wait for the client's delayed acknowledgement.
    server, connect = served
    accepted = []

    class Recording(RequestHandler):
        def setup(self):
            super().setup()
            accepted.append(self.request)

    server.RequestHandlerClass = Recording
    assert call(connect(), "calc.add", 1, 2) == (1, 7, 3)
    assert accepted[0].getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY)


def test_remote_calls_do_not_leak(served):
    server, connect = served
    c = connect()
    left = leaks(lambda: call(c, "calc.add", 1, 2), server, server._server["calc"], c, calls=20_000)
    assert left.references == [0] * 3 and left.blocks < 2_000 and left.rss < 2 << 20


# ---- lifecycle -------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, name, expected, got",
    [(("x", 1), "alias", "str", "int"), (("x", "a", None), "host", "str", "NoneType"), (("x", "a", "h", True), "port", "int", "bool")],
)
def test_serve_checks_its_arguments(args, name, expected, got):
    with pytest.raises(TypeError, match=rf"Argument '{name}' has incorrect type \(expected {expected}, got {got}\)"):
        serve(*args)


def test_serve_in_a_thread_on_the_port_of_its_alias(capsys):
    alias = f"zelk-test-{os.getpid()}"
    assert serve(Calc(), alias, thread=True) is None
    c = Connection(socket.create_connection(("127.0.0.1", get_port(alias))))
    assert call(c, f"{alias}.add", 2, 2) == (1, 7, 4)
    c.close()
    assert f"{alias} is serving at 127.0.0.1:{get_port(alias)}" in capsys.readouterr().out
    with pytest.raises(TypeError, match="server_address"):
        Server(["127.0.0.1", 0], RequestHandler)


SERVE_IN_MAIN = textwrap.dedent("""
    import sys
    from zelk.server import serve
    class Calc:
        def add(self, a, b):
            return a + b
    serve(Calc(), "calc", port=int(sys.argv[1]))
    print("returned", flush=True)
""")


def connect_when_up(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        try:
            return Connection(socket.create_connection(("127.0.0.1", port)))
        except ConnectionRefusedError:
            assert time.monotonic() < deadline
            time.sleep(0.05)


def test_a_hundred_clients_connecting_at_once_all_get_in():
    # Not serving yet, so only the listen queue holds them; one it has no room for is dropped and
    # retried by the client's kernel seconds later.
    server = Server(("127.0.0.1", 0), RequestHandler, obj=Calc(), alias="calc")
    pending = [socket.socket() for _ in range(100)]
    sockets = list(pending)
    try:
        for s in pending:
            s.setblocking(False)
            s.connect_ex(server.server_address)
        deadline = time.monotonic() + 5
        while pending and time.monotonic() < deadline:
            connected = select.select([], pending, [], 0.1)[1]
            pending = [s for s in pending if s not in connected]
        assert not pending and all(s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0 for s in sockets)
    finally:
        for s in sockets:
            s.close()
        server.server_close()


def test_sigint_stops_a_server_in_the_calling_thread():
    port = free_port()
    child = subprocess.Popen([sys.executable, "-c", SERVE_IN_MAIN, str(port)], stdout=subprocess.PIPE, text=True)
    try:
        c = connect_when_up(port, timeout=60.0)
        assert call(c, "calc.add", 1, 2) == (1, 7, 3)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        child.kill()
    # serve returned normally after logging the stop; a handler thread's lines may come before or after.
    lines = out.splitlines()
    stopping = [k for k, line in enumerate(lines) if f"Stopping calc at ('127.0.0.1', {port})!!!" in line]
    assert child.returncode == 0 and "returned" in lines and stopping and stopping[0] < lines.index("returned"), out


def test_terminate_lists_without_killing():
    # In a process of its own: terminate would stop the test process's own children.
    script = "from zelk.server import terminate; print(repr(terminate(0, False, False))); print(terminate(0, False))"
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30).stdout
    assert "Wait for cleaning ..." in out and out.rstrip().endswith("([], [])") and "'[]'" in out
    with pytest.raises(TypeError, match=r"Argument 'wait' has incorrect type \(expected int, got float\)"):
        terminate(0.5)


SERVE_WITH_A_CHILD = textwrap.dedent("""
    import subprocess, sys
    from zelk.server import serve
    child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    class Tree:
        def child(self):
            return child.pid
    serve(Tree(), "tree", port=int(sys.argv[1]))
""")


def test_terminate_stops_the_process_tree():
    psutil = pytest.importorskip("psutil")
    port = free_port()
    server = subprocess.Popen([sys.executable, "-c", SERVE_WITH_A_CHILD, str(port)], stdout=subprocess.DEVNULL)
    try:
        c = connect_when_up(port)
        child_pid = call(c, "tree.child")[2]
        c.send((0, 8, "tree.terminate", (0,), {}))
        assert c.recv() is None  # the server is gone before it answers
        server.wait(timeout=10)
        psutil.wait_procs([psutil.Process(child_pid)], timeout=10)
        assert not psutil.pid_exists(child_pid) or psutil.Process(child_pid).status() == psutil.STATUS_ZOMBIE
    finally:
        server.kill()


# ---- browsers on the same port ----------------------------------------------------------------------


def test_a_browser_calls_the_served_object(chromium, served):
    import browser

    server, connect = served
    host, port = server.server_address
    binary = connect()
    calls = [{"payload": [0, 1, "calc.add", [1, 2], {}]}, {"payload": [0, 2, "calc.div", [1, 0], {}]},
             {"payload": [0, 3, "calc.echo", ["zé", [1, 2]], {"k": None}]}]
    report = browser.ws_exchange(chromium, f"ws://{host}:{port}/", calls)
    assert report["error"] is None and report["opened"]
    replies = {r["payload"][1]: r["payload"] for r in report["replies"]}
    assert replies[1] == [1, 1, 3] and replies[3] == [1, 3, [["zé", [1, 2]], {"k": None}]]
    assert replies[2][2].startswith("ZeroDivisionError@calc.div(1, 0) \U0001F513  division by zero!")
    assert call(binary, "calc.add", 4, 5) == (1, 7, 9)  # a zelk client on the same port meanwhile
