"""WebSocket handshake and frames of zelk.protocol, and the WebSocket mode of zelk.ring's streams."""

import contextlib
import json
import random
import socket
import struct
import sys
import threading

import pytest

from conftest import leaks
from fuzzing import REQUEST, ScriptedSocket, attempt, client_frame, fragments, mutate
from zelk.protocol import JsonPacker, WebSocket
from zelk.ring import ByteStream, Connection, MessageTooLarge

HEADER = {"method": "GET", "url": "/chat", "protocol": "HTTP/1.1", "Host": "127.0.0.1:681", "Connection": "Upgrade",
          "Upgrade": "websocket", "Sec-WebSocket-Version": "13", "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ=="}
ANSWER = (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade:websocket\r\nConnection: Upgrade\r\n"
          b"Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\nWebSocket-Location: ws://127.0.0.1:681/chat\r\n\r\n")


def message(value):
    return client_frame(JsonPacker.dumps({"payload": value}, indent=0))


# ---- WebSocket ---------------------------------------------------------------------------------


def test_class_body():
    assert [n for n in vars(WebSocket) if not n.startswith("__")] == [
        "RESPONSE", "MAGIC", "MARK", "header", "encrypt", "pack", "unpack", "encode", "decode"]
    assert WebSocket.MARK == b"\x81" and WebSocket.MAGIC == "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
    docs = {"header": "Extract header from info received from client", "encode": "encode payload",
            "encrypt": "encrypt sec-websocket-key to shake hands with client", "decode": "decode data from payload"}
    assert all(getattr(WebSocket, name).__doc__.startswith(doc) for name, doc in docs.items())


def test_handshake():
    assert WebSocket.header(REQUEST) == HEADER and WebSocket.unpack(REQUEST) == HEADER
    assert WebSocket.encrypt(HEADER) == WebSocket.pack(HEADER) == ANSWER


@pytest.mark.parametrize(
    "request_, outcome",
    [(b"GET / HTTP/1.1 x\r\nA:  b \r\n\r\nbody", {"A": "b"}), (b"GET /\r\n a :b:c\r\n\r\n", {" a ": "b:c"}),
     (bytearray(REQUEST), TypeError), (REQUEST[:-4], ValueError), (b"GET / HTTP/1.1\r\nno colon\r\n\r\n", ValueError),
     (b"GET / HTTP/1.1\r\nA: \xff\r\n\r\n", UnicodeDecodeError)],
)
def test_header_edges(request_, outcome):
    if isinstance(outcome, dict):
        assert WebSocket.header(request_) == outcome
    else:
        with pytest.raises(outcome):
            WebSocket.header(request_)


@pytest.mark.parametrize("missing", ["Sec-WebSocket-Key", "Host", "url"])
def test_incomplete_header_dicts_raise_key_errors(missing):
    with pytest.raises(KeyError, match=missing):
        WebSocket.pack({k: v for k, v in HEADER.items() if k != missing})


@pytest.mark.parametrize(
    "text, length_token",
    [("x" * 125, b"\x7d"), ("x" * 126, b"\x7e\x00\x7e"), ("\u20ac" * 100, b"\x7e\x01\x2c"),
     ("x" * 65536, b"\x7f" + struct.pack("!Q", 65536)), ("", b"\x00")],
)
def test_encode_counts_utf8_bytes(text, length_token):
    assert WebSocket.encode(text) == b"\x81" + length_token + text.encode()


@pytest.mark.parametrize("text", ["hello", "z" * 300, "\u00e9" * 40_000])
def test_decode_unmasks_client_frames(text):
    assert WebSocket.decode(client_frame(text)) == text
    assert WebSocket.decode(bytearray(client_frame(text))) == text


def test_decode_edges():
    unflagged = bytearray(client_frame("hello"))
    unflagged[1] &= 0x7F  # the mask bit is not read: bytes 2 to 5 are the mask all the same
    assert WebSocket.decode(unflagged) == "hello"
    assert WebSocket.decode(b"\x81\x85ab") == ""
    with pytest.raises(IndexError):
        WebSocket.decode(b"\x81")
    with pytest.raises(UnicodeDecodeError):
        WebSocket.decode(client_frame(struct.pack("!H", 1000), opcode=8))
    with pytest.raises(TypeError, match="Argument 'payload' has incorrect type"):
        WebSocket.encode(b"x")


def test_messages_travel_as_json_payloads():
    frame = WebSocket.pack(42)
    assert frame == b"\x81\x15" + b'{\n    "payload": 42\n}'
    assert WebSocket.unpack(client_frame(frame[2:])) == 42
    assert WebSocket.unpack(message({"a": (1, 2), "c": 1j})) == {"a": [1, 2], "c": 1j}
    assert WebSocket.unpack(client_frame("17")) == "17"
    with pytest.raises(json.JSONDecodeError):
        WebSocket.unpack(client_frame("payload?"))


def test_a_frame_whose_bytes_hold_get_is_a_frame():
    data = b"an ordinary text frame"
    mask = bytes(x ^ y for x, y in zip(b"GET ", data))  # the masked data begins with "GET "
    frame = client_frame(data, mask=mask)
    assert b"GET" in frame and WebSocket.unpack(frame) == data.decode()
    assert WebSocket.unpack(b"GET / HTTP/1.1\r\n\r\n") == {"method": "GET", "url": "/", "protocol": "HTTP/1.1"}


# ---- ByteStream in WebSocket mode ------------------------------------------------------------------


def test_stream_modes():
    stream = ByteStream()
    stream._onwebs = "yes"
    assert stream.pack(42) == WebSocket.pack(42) and stream.pack(HEADER) == ANSWER
    assert stream.unpack(bytearray(REQUEST)) == HEADER  # WebSocket gets the bytes of what arrived
    assert stream.unpack(bytearray(message([1]))) == [1]
    with pytest.raises(TypeError, match="expected bytearray, got bytes"):
        stream.unpack(REQUEST)
    stream._onwebs = 0
    assert stream.pack(42)[:8] == struct.pack("Q", 1)


# ---- Connection.recv in WebSocket mode ---------------------------------------------------------------


def websocket_connection(sock, **limits):
    connection = Connection(sock, **limits)
    connection._onwebs = True
    return connection


@pytest.mark.parametrize("into", [False, True])
@pytest.mark.parametrize("piece", [1, 5, 64, 70_000])
def test_a_browser_session_in_arbitrary_pieces(piece, into):
    stream = (REQUEST + message([0, 1, "svc.f", [1], {}]) + client_frame("ping!", opcode=9) + message("x" * 300)
              + client_frame(b"", opcode=10) + client_frame("pong?", opcode=10)
              + client_frame("another ping", opcode=9) + message("y" * 70_000)
              + fragments(JsonPacker.dumps({"payload": "w" * 200}).encode(), 5, 150, among=client_frame("mid", opcode=9))
              + client_frame(struct.pack("!H", 1001), opcode=8))
    sock = ScriptedSocket(*[stream[i:i + piece] for i in range(0, len(stream), piece)], into=into)
    connection = websocket_connection(sock)
    got = [connection.recv() for _ in range(6)]
    assert got == [HEADER, [0, 1, "svc.f", [1], {}], "x" * 300, "y" * 70_000, "w" * 200, None]
    assert sock.sent == [b"\x8a\x05ping!", b"\x8a\x0canother ping", b"\x8a\x03mid", b"\x88\x02\x03\xe9"]


def test_a_time_out_inside_a_frame_keeps_what_arrived():
    frame = message("z" * 1000)
    connection = websocket_connection(ScriptedSocket(REQUEST + frame[:3], TimeoutError("timed out"), frame[3:500],
                                                     TimeoutError("timed out"), frame[500:]))
    assert connection.recv() == HEADER
    for _ in range(2):
        with pytest.raises(TimeoutError, match=r"timed out\(5.0s, \('127.0.0.1', 681\)\)"):
            connection.recv()
    assert connection.recv() == "z" * 1000


# A limit high enough for a lying length to be taken at its word, unless one is named.
@pytest.mark.parametrize(
    "chunks, outcome, limit",
    [([b"GET / HTTP/1.1\r\n" + b"x" * 70_000], ValueError, None),
     ([client_frame(b"p" * 126, opcode=9)], ValueError, None),
     ([client_frame(b"a", final=False) + client_frame(b"b")], ValueError, None),
     ([b"\x81\xff" + struct.pack("!Q", 2**63)], MessageTooLarge, None),
     ([b"\x81\xff" + struct.pack("!Q", 2**62) + b"m" * 1000], None, None),  # a lying length costs what arrives
     ([client_frame(b"a" * 600, final=False) + client_frame(b"b" * 600, opcode=0)], MessageTooLarge, 1000),
     ([REQUEST[:30]], None, None), ([message(1)[:4]], None, None), ([b""], None, None)],
)
def test_what_a_peer_cannot_make_the_reader_do(chunks, outcome, limit):
    connection = websocket_connection(ScriptedSocket(*chunks, into=True), max_message_size=limit or sys.maxsize)
    if outcome is None:
        assert connection.recv() is None
    else:
        with pytest.raises(outcome):
            connection.recv()
        assert connection.recv() is None  # nothing of what was refused is read again


def test_close_answer_to_a_peer_that_has_gone():
    class GoneSocket(ScriptedSocket):
        def sendall(self, data):
            raise BrokenPipeError(32, "Broken pipe")

    assert websocket_connection(GoneSocket(client_frame(b"", opcode=8))).recv() is None


@pytest.fixture
def pair():
    a, b = socket.socketpair()
    with a, b:
        yield a, Connection(b)


def test_upgrade_with_bytes_already_read(pair):
    peer, connection = pair
    peer.sendall(REQUEST + message("after"))
    first = connection._socket.recv(4)  # what tells a browser from a zelk client
    assert first == b"GET " and not connection._onwebs
    connection.upgrade(first)
    assert connection._onwebs is True and connection.recv() == HEADER
    connection.send(HEADER)
    assert peer.recv(4096) == ANSWER and connection.recv() == "after"
    connection._surplus = REQUEST[:5]
    connection.upgrade(REQUEST[5:])
    assert connection.recv() == HEADER


def test_a_session_over_a_socket_in_small_writes(pair):
    peer, connection = pair
    connection._onwebs = True
    session = REQUEST + client_frame("ping", opcode=9) + message([1] * 20_000) + client_frame(b"\x03\xe8", opcode=8)
    sender = threading.Thread(target=lambda: [peer.sendall(session[i:i + 999]) for i in range(0, len(session), 999)])
    sender.start()
    assert connection.recv() == HEADER and connection.recv() == [1] * 20_000 and connection.recv() is None
    sender.join()
    assert peer.recv(100) == b"\x8a\x04ping\x88\x02\x03\xe8"


# ---- malformed input -------------------------------------------------------------------------------


def test_fuzzed_input_raises_or_decodes():
    rng = random.Random(6455)
    good = [REQUEST, message([0, 7, "a.b", [1, 2.5, None], {"k": "v"}]), client_frame("x" * 300), WebSocket.pack({1, 2j})]
    inputs = [rng.randbytes(rng.randint(0, 80)) for _ in range(3000)]
    for data in good:
        inputs += [data[:i] for i in range(0, len(data), 7)] + [mutate(data, rng) for _ in range(300)]
    texts = ['{"data": %s, "dtype": "%s"}' % (json.dumps(rng.randbytes(8).decode("latin-1")), kind) for kind in ("set", "complex")
             for _ in range(500)] + ['{"ndarray": "%s", "dtype": "%s", "shape": [%d]}' % (text, kind, n)
                                     for text, kind, n in zip(["AAAA", "AAAAAAAAAAA=", "!!", ""] * 100, ["<f8", "O", "zz", "|V0", "<i2"] * 80,
                                                              range(-2, 398))]
    for data in inputs:
        for parse in (WebSocket.header, WebSocket.decode, WebSocket.unpack):
            attempt(parse, data)
        sock = ScriptedSocket(*[data[i:i + 9] for i in range(0, len(data), 9)], into=rng.random() < 0.5)
        connection = websocket_connection(sock)
        while not isinstance(attempt(connection.recv), (type(None), Exception)):
            pass
    for text in texts + [data.decode("latin-1") for data in inputs[:2000]]:
        attempt(JsonPacker.loads, text)


# ---- a real browser ----------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def zelk_ws_url():
    """A server that upgrades each connection and answers every call record with its reply record."""
    listener = socket.create_server(("127.0.0.1", 0))

    def serve(sock):
        with sock:
            connection = Connection(sock)
            connection._onwebs = True
            connection.send(connection.recv())  # the handshake
            while (call := connection.recv()) is not None:
                _, ident, name, args, kwds = call
                connection.send([1, ident, [name, args, kwds]])

    def accept():
        while True:
            try:
                sock, _ = listener.accept()
            except OSError:  # closed at teardown
                return
            threading.Thread(target=serve, args=(sock,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    yield f"ws://127.0.0.1:{listener.getsockname()[1]}/"
    listener.close()


@pytest.mark.parametrize("args", [[1, 2.5, None, "zé 漢字 🎉"], ["y" * 70_000]], ids=["short", "64-bit-length"])
def test_a_browser_talks_to_a_connection(chromium, zelk_ws_url, args):
    import browser

    calls = [{"payload": [0, i, f"calc.m{i}", args, {"k": i}]} for i in range(3)]
    report = browser.ws_exchange(chromium, zelk_ws_url, calls)
    assert report["error"] is None and report["opened"]
    assert sorted(report["replies"], key=lambda r: r["payload"][1]) == [
        {"payload": [1, i, [f"calc.m{i}", args, {"k": i}]]} for i in range(3)]
    assert report["close"] == {"code": 1000, "reason": "", "clean": True}


def test_no_reference_leaks():
    import numpy as np

    from zelk.protocol import compress, decompress, dumps, loads

    session = REQUEST + client_frame("p", opcode=9) + fragments(b"[1, 2]", 2) + message({"s": {1, "a"}, "c": 2j})
    mask = np.repeat(np.arange(5) % 2 == 0, 30)

    def calls():
        connection = websocket_connection(ScriptedSocket(session, into=True))
        connection.recv(), connection.recv(), connection.recv()
        loads(dumps([np.arange(3.0), {1.5, b"x"}, 1 - 1j]))
        decompress(*compress(mask))
        for bad in ('{"data": "{1, x}", "dtype": "set"}', b"\x81\x7f" + b"\xff" * 8):
            with contextlib.suppress(Exception):
                loads(bad) if isinstance(bad, str) else websocket_connection(ScriptedSocket(bad)).recv()

    left = leaks(calls, session, mask, calls=20_000)
    assert left.references == [0, 0] and left.blocks < 2_000 and left.rss < 2 << 20
