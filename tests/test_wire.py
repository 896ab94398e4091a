"""What a hostile page or peer meets at the wire: the origins a server lets in, TLS, WebSocket frames
no browser sends, and log lines a peer cannot forge."""

import re
import socket
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import browser
from conftest import framed, free_port
from fuzzing import REQUEST, ScriptedSocket, browser_message, client_frame
from zelk.client import connect
from zelk.ring import Connection
from zelk.server import serve

# A line of the server's log, as a peer would like to write it, and how it must show instead.
FORGED = "x\x1b[31m\r\n[2026-01-01 00:00:00.000][wire][INFO] forged"
SHOWN = "x\\x1b[31m\\r\\n[2026-01-01 00:00:00.000][wire][INFO] forged"


class Calc:
    def add(self, a, b):
        return a + b

    def echo(self, value):
        return value

    def fail(self, text):
        raise ValueError(text)


def served(**settings):
    """A Calc served as "wire" in a daemon thread on a free port: listening once serve returns."""
    port = free_port()
    serve(Calc(), "wire", port=port, thread=True, **settings)
    return port


def log_until(capsys, pattern, timeout=10.0):
    """What the server printed, once it has printed a line that matches `pattern` (or the time is up)."""
    out, deadline = "", time.monotonic() + timeout
    while not re.search(pattern, out) and time.monotonic() < deadline:
        out += capsys.readouterr().out
        time.sleep(0.01)
    return out


# ---- origins ---------------------------------------------------------------------------------------


def upgrade(port, origin, then=b""):
    """A browser's upgrade request with `origin` (None: no Origin line) and `then` behind it;
    returns what the server answered until it closed, or up to the end of its 101 answer."""
    request = REQUEST if origin is None else REQUEST[:-2] + f"Origin: {origin}\r\n\r\n".encode()
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        sock.sendall(request + then)
        answer = b""
        while not (answer.startswith(b"HTTP/1.1 101") and b"\r\n\r\n" in answer) and (chunk := sock.recv(65536)):
            answer += chunk
        return answer, sock.getsockname()


@pytest.fixture(scope="module")
def origins_port():
    return served(origins=["https://App.example:443", "http://ok.test:8000"])


@pytest.mark.parametrize("origin", [None, "http://127.0.0.1:8000", "https://localhost", "http://[::1]:5173",
                                    "http://LOCALHOST", "https://app.example", "http://ok.test:8000"])
def test_loopback_pages_named_origins_and_other_clients_are_let_in(origins_port, origin):
    answer, _ = upgrade(origins_port, origin)
    assert answer.startswith(b"HTTP/1.1 101 Switching Protocols\r\n")


@pytest.mark.parametrize("origin", ["null", "http://127.0.0.1.evil.example", "http://evil.example", "ftp://127.0.0.1",
                                    "http://127.0.0.1@evil.example", "http://localhost/", "https://app.example:8443",
                                    "http://ok.test", "", "http://evil.example\x1b[31m"])
def test_other_pages_are_answered_403_before_any_call(origins_port, origin, capsys):
    answer, address = upgrade(origins_port, origin, then=browser_message([0, 1, "wire.add", [1, 2], {}]))
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 403 Forbidden\r\n") and b"\r\nConnection: close" in head
    assert f"Content-Length: {len(body)}".encode() in head  # and nothing after it: the call went unanswered
    out = log_until(capsys, "refused: pages from")  # connection lines may be held back, at most one a second
    refusals = [line for line in out.splitlines() if "refused: pages from" in line]
    assert len(refusals) == 1 and repr(origin) in refusals[0] and "\x1b[31m" not in out


@pytest.mark.parametrize(
    "origins, error",
    [(["http://app.example/"], ValueError), (["app.example"], ValueError), (["http://a:0"], ValueError),
     (["http://a b"], ValueError), (["null"], ValueError), ("http://app.example", TypeError), ([b"http://a"], TypeError)],
)
def test_malformed_origins_are_refused_when_serving(origins, error):
    port = free_port()
    with pytest.raises(error):
        serve(Calc(), "wire", port=port, thread=True, origins=origins)
    with socket.socket() as s:
        s.bind(("127.0.0.1", port))  # nothing was bound


# ---- WebSocket frames ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "bad, status",
    [(client_frame("hi", mask=None), 1002), (bytes([0xC1]) + client_frame("hi")[1:], 1002),  # RSV1
     (client_frame("hi", opcode=3), 1002), (client_frame("hi", opcode=0xB), 1002),
     (client_frame("hi", opcode=0), 1002), (client_frame("hi", opcode=9, final=False), 1002),
     (b"\x81\xff" + struct.pack("!Q", 2**63) + b"mask", 1009)],
    ids=["unmasked", "rsv1", "opcode-3", "opcode-11", "continuation-of-nothing", "fragmented-ping", "length"],
)
def test_frames_no_browser_sends_fail_the_connection(bad, status):
    sock = ScriptedSocket(REQUEST + client_frame("p", opcode=9) + bad + browser_message(1))
    connection = Connection(sock)
    connection.upgrade()
    assert connection.recv()["Sec-WebSocket-Key"]
    with pytest.raises((ValueError, OverflowError)):
        connection.recv()
    assert sock.sent == [b"\x8a\x01p", b"\x88\x02" + struct.pack("!H", status)]


# ---- log lines -----------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def plain_port():
    return served()


@pytest.mark.parametrize(
    "method, args, kwds",
    [(f"wire.{FORGED}", (), {}), ("wire.fail", (FORGED,), {}), ("wire.fail", (FORGED,), {"traceback": False}),
     ("wire.add", (1, 2), {FORGED: 3})],
    ids=["method-name", "argument-and-exception", "no-traceback", "unexpected-keyword"],
)
def test_a_peer_cannot_write_lines_of_its_own_into_the_log(plain_port, capsys, method, args, kwds):
    answer = connect("wire", port=plain_port)._client.call(method, *args, **kwds)
    out = capsys.readouterr().out  # the failure was printed before it was answered
    for text in (answer, out):
        assert SHOWN in text and "\x1b[31m" not in text and not re.search(r"[\r\n]\[2026-01-01", text)


def test_a_browser_text_is_printed_escaped(plain_port, capsys):
    with socket.create_connection(("127.0.0.1", plain_port), timeout=10) as sock:
        sock.sendall(REQUEST + client_frame(FORGED))
        answer = b""
        while b'"payload"' not in answer and (chunk := sock.recv(65536)):
            answer += chunk
    assert b'"payload"' in answer  # echoed, and printed before that
    out = capsys.readouterr().out
    assert SHOWN in out and "\x1b[31m" not in out


# ---- TLS -------------------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def tls_port(certs):
    return served(ssl_context=certs.server)


def test_calls_and_arrays_over_tls(certs, tls_port):
    calc = connect("wire", port=tls_port, ssl_context=certs.client)
    array = np.arange(300_000.0)  # written in pieces, read across records
    assert calc.add(1, 2) == 3 and np.array_equal(calc.echo(array), array)
    assert calc.echo(b"z" * (3 << 20)) == b"z" * (3 << 20) and calc.add("a", "b") == "ab"


def test_a_key_handshake_inside_tls(certs):
    port = served(ssl_context=certs.server, authkey=b"the key")
    assert connect("wire", port=port, ssl_context=certs.client, authkey=b"the key").add(2, 3) == 5
    assert connect("wire", port=port, ssl_context=certs.client, authkey=b"a guess").add(2, 3) is None


def test_a_peer_that_does_not_speak_the_servers_tls_fails_cleanly(certs, tls_port, plain_port, capsys):
    plain = connect("wire", port=tls_port, timeout=10)
    assert isinstance(plain.add(1, 2), str)  # a failure text, not a hang
    plain._client.close()
    assert "failed the TLS handshake" in log_until(capsys, "failed the TLS handshake")
    assert connect("wire", port=plain_port, ssl_context=certs.client, timeout=10).add(1, 2) is None
    assert "began a TLS handshake" in log_until(capsys, "began a TLS handshake")
    assert connect("wire", port=tls_port, ssl_context=certs.client).add(1, 2) == 3  # both still serve
    assert connect("wire", port=plain_port).add(1, 2) == 3


def test_a_tls_connection_flushes_clears_and_notices_a_closed_peer(certs):
    a, b = socket.socketpair()
    server_side = certs.server.wrap_socket(a, server_side=True, do_handshake_on_connect=False)
    client_side = certs.client.wrap_socket(b, server_hostname="127.0.0.1", do_handshake_on_connect=False)
    shaking = threading.Thread(target=server_side.do_handshake)
    shaking.start()
    client_side.do_handshake()
    shaking.join()
    server, client = Connection(server_side), Connection(client_side)
    # The last record holds the end of one message and all of the next: reading the first leaves
    # the second decrypted in the SSL socket, where select cannot see it.
    server_side.sendall(framed(b"1" * 40_000) + framed(2))
    assert client.recv() == b"1" * 40_000 and client_side.pending()
    client.flush()
    server.send(3)
    assert client.recv() == 3
    server.send(4)
    client.clear()
    server.send(5)
    assert client.recv() == 5 and client_side.gettimeout() is None
    server_side.close()
    with pytest.raises(BrokenPipeError):
        client.flush()
    client_side.close()


def test_the_command_line_serves_and_calls_over_tls(certs):
    cert, key, ca = certs.cert, certs.key, certs.ca
    port = str(free_port())
    zelk = [sys.executable, "-m", "zelk"]
    server = subprocess.Popen([*zelk, "serve", "builtins:dict", "--alias", "calc", "--port", port,
                               "--tls-cert", str(cert), "--tls-key", str(key)], stdout=subprocess.DEVNULL)
    try:
        def call(*extra):
            return subprocess.run([*zelk, "call", "calc.fromkeys", "[1]", "--port", port, "--timeout", "10", *extra],
                                  capture_output=True, text=True, timeout=60)

        deadline = time.monotonic() + 30
        while (result := call("--tls-ca", str(ca))).returncode and time.monotonic() < deadline:
            assert server.poll() is None, "the server did not start"
            time.sleep(0.1)
        assert result.stdout == "{1: None}\n"
        assert call().returncode == 1  # a plain call is refused
    finally:
        server.kill()
        server.wait()


# ---- a real browser -----------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def wire_chromium(chromium_executable, certs):
    """Chromium that takes evil.test and ok.test for 127.0.0.1 and trusts the test's certificate."""
    flags = ("--host-resolver-rules=MAP evil.test 127.0.0.1, MAP ok.test 127.0.0.1",
             f"--ignore-certificate-errors-spki-list={certs.spki}")
    with browser.Chromium(chromium_executable, flags=flags) as chromium:
        yield chromium


CALLS = [{"payload": [0, 1, "wire.add", [1, 2], {}]}, {"payload": [0, 2, "wire.echo", ["zé"], {}]}]
REPLIES = [{"payload": [1, 1, 3]}, {"payload": [1, 2, "zé"]}]


@pytest.mark.parametrize("page, allowed", [("127.0.0.1", True), ("evil.test", False), ("ok.test", True)])
def test_which_pages_a_browser_may_call_from(wire_chromium, capsys, page, allowed):
    page_port = free_port()
    port = served(origins=[f"http://ok.test:{page_port}"])
    report = browser.ws_exchange(wire_chromium, f"ws://127.0.0.1:{port}/", CALLS, host=page, port=page_port)
    if allowed:
        assert report["error"] is None and report["replies"] == REPLIES
    else:
        assert not report["opened"] and report["replies"] == [] and report["close"]["code"] == 1006
        assert f"refused: pages from 'http://{page}:{page_port}'" in capsys.readouterr().out  # logged, then answered


def test_a_browser_calls_over_wss(wire_chromium, tls_port):
    report = browser.ws_exchange(wire_chromium, f"wss://127.0.0.1:{tls_port}/", CALLS)
    assert report["error"] is None and report["replies"] == REPLIES
    assert report["close"] == {"code": 1000, "reason": "", "clean": True}
