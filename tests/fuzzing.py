"""Seeds, seeded mutations and one feed function per decoder, shared by the test suite's fuzz loops and fuzz/."""

import ast
import pickle
import socket
import struct
import threading

import msgpack
import numpy as np

from conftest import framed
from zelk.protocol import BytePacker, JsonPacker, WebSocket
from zelk.ring import Connection

RECORD = (0, 7, "calc.add", (1, 2), {})
REQUEST = (b"GET /chat HTTP/1.1\r\nHost: 127.0.0.1:681\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
           b"Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")


# ---- outcomes ------------------------------------------------------------------------------------


def attempt(fn, *args):
    """fn(*args), or the exception it raised. Any exception is a fair answer to bad input except
    SystemError, which CPython raises when C code broke the rules of the C API."""
    try:
        return fn(*args)
    except SystemError:
        raise
    except Exception as e:
        return e


def read_all(connection, limit=64):
    """What recv gives until it returns None (or `limit` calls): values, and the types of exceptions."""
    got = []
    for _ in range(limit):
        value = attempt(connection.recv)
        if value is None:
            break
        got.append(type(value) if isinstance(value, Exception) else value)
    return got


# ---- mutations -----------------------------------------------------------------------------------

# Bytes that start MessagePack containers, strings and extensions, frame length codes, and length
# fields that promise far more than arrives: where decoders trust their input.
SPECIAL = [0x00, 0x01, 0x7E, 0x7F, 0x80, 0x81, 0x88, 0x89, 0x8F, 0x90, 0x9F, 0xC1, 0xC4, 0xC6, 0xC7, 0xC9, 0xD4, 0xD9,
           0xDB, 0xDC, 0xDD, 0xDE, 0xDF, 0xFF]
WIDE = [b"\xff\xff", b"\x00\x00", b"\xff\xff\xff\xff", b"\x7f\xff\xff\xff", b"\x00\x00\x01\x00", b"\xff" * 8,
        struct.pack("Q", 2**40), struct.pack("!Q", 2**63)]


def holds_pickle(data):
    """Whether data may carry a pickle, which once corrupted may ask for any amount of memory."""
    return any(pickle.PROTO + bytes([p]) in data for p in range(2, pickle.HIGHEST_PROTOCOL + 1))


def mutate(data, rng, alphabet=None):
    """One to three edits of data: an element changed, pieces inserted, deleted or repeated, or (for
    bytes) a length-like value written over it. `alphabet` makes it edit a str from those letters."""
    text = alphabet is not None
    out = list(data) if text else bytearray(data)
    for _ in range(rng.randint(1, 3)):
        at, op = rng.randrange(len(out) + 1), rng.randrange(6)
        if op == 0 and out:
            at = min(at, len(out) - 1)
            out[at] = rng.choice(alphabet) if text else rng.randrange(256)
        elif op == 1 and out and not text:
            out[min(at, len(out) - 1)] = rng.choice(SPECIAL)
        elif op == 2:
            out[at:at] = rng.choices(alphabet, k=rng.randint(1, 4)) if text else rng.randbytes(rng.randint(1, 8))
        elif op == 3:
            del out[at:at + rng.randint(1, 8)]
        elif op == 4:
            out[at:at] = out[at:at + rng.randint(1, 16)] * rng.randint(1, 4)
        elif not text:
            wide = rng.choice(WIDE)
            out[at:at + len(wide)] = wide
    return "".join(out) if text else bytes(out)


def mutations(data, rng, count=40, cuts=40, pickles=False, alphabet=None):
    """Truncations of data, then `count` mutants (none of data that may hold a pickle, unless
    `pickles`), then data with one element too many."""
    yield from (data[:i] for i in sorted(rng.sample(range(len(data)), min(len(data), cuts))))
    if pickles or alphabet is not None or not holds_pickle(data):
        for _ in range(count):
            yield mutate(data, rng, alphabet)
    yield data + (alphabet[0] if alphabet is not None else b"\xc0")


def pieces(data, rng, timeouts=0.0):
    """data cut into pieces of random sizes, mostly small, with a time-out after a piece at the rate `timeouts`."""
    out, at = [], 0
    while at < len(data):
        size = rng.choice([1, 2, 3, 7, 8, 9, 64, 1000, 70_000])
        out.append(data[at:at + size])
        at += size
        if rng.random() < timeouts:
            out.append(TimeoutError("timed out"))
    return out


class ScriptedSocket:
    """Answers recv (and recv_into, when `into`) from the scripted pieces, raising the scripted
    exceptions; an empty read once the script has run out. Keeps what is sent."""

    timeout = 5.0

    def __init__(self, *script, into=False):
        self.script, self.sent = list(script), []
        if into:
            self.recv_into = self._recv_into

    def _next(self):
        item = self.script.pop(0) if self.script else b""
        if isinstance(item, BaseException):
            raise item
        return item

    def recv(self, size):
        return self._next()

    def _recv_into(self, buffer):
        item = self._next()
        n = min(len(item), len(buffer))
        buffer[:n] = item[:n]
        if item[n:]:
            self.script.insert(0, item[n:])
        return n

    def sendall(self, data):
        self.sent.append(bytes(data))

    def settimeout(self, value):
        self.timeout = value

    def getsockname(self):
        return ("127.0.0.1", 681)

    def getpeername(self):
        return ("127.0.0.1", 638)


# ---- valid messages ------------------------------------------------------------------------------


def client_frame(data, opcode=1, mask=b"\x0f\x1e\x2d\x3c", final=True):
    """A browser's frame: masked unless `mask` is None, with the shortest length form."""
    data = data.encode() if isinstance(data, str) else data
    n = len(data)
    size = bytes([n]) if n < 126 else b"\x7e" + struct.pack("!H", n) if n < 65536 else b"\x7f" + struct.pack("!Q", n)
    first = bytes([0x80 * final | opcode])
    if mask is None:
        return first + size + data
    masked = bytes(b ^ mask[i % 4] for i, b in enumerate(data))
    return first + bytes([size[0] | 0x80]) + size[1:] + mask + masked


def fragments(data, *cuts, among=b""):
    """`data` as a text frame and continuation frames cut at `cuts`, with `among` after the first."""
    parts = [data[a:b] for a, b in zip((0, *cuts), (*cuts, len(data)))]
    frames = [client_frame(p, opcode=0 if i else 1, final=i == len(parts) - 1) for i, p in enumerate(parts)]
    return frames[0] + among + b"".join(frames[1:])


def browser_message(value):
    return client_frame(JsonPacker.dumps({"payload": value}, indent=0))


VALUES = [RECORD, (1, 7, 3), None, [0, 9, "calc.echo", ["x" * 40, b"\x00\xff" * 20, True, 1.5, -2**63, 2**64 - 1], {"k": "v"}],
          {"k": [1, 2], 3: {4, 5}, "data": (1,)}, np.arange(6, dtype="<i4").reshape(2, 3), np.array([1.5, -0.0], ">f8"),
          np.zeros((0, 3), "u1"), np.array(["ab", "c"]), msgpack.ExtType(5, b"ext"), msgpack.Timestamp(1, 2),
          "\u00e9\u4e2d" * 10, "x" * 300, list(range(20)), {(1, 2), "s"}, 1 + 2j, b"\x01" * 300]


def unpack_seeds():
    return [BytePacker.pack(v) for v in VALUES] + [b"\x91" * 1000 + b"\x90", b"\x81\x01" * 200 + b"\x80"]


def stream_seeds():
    frames = [framed(v) for v in VALUES]
    return frames + [b"".join(frames[i:i + 4]) for i in range(0, len(frames), 4)]


def websocket_seeds():
    return [REQUEST, REQUEST + browser_message(list(RECORD)), browser_message({"a": [1, 2.5, None]}),
            client_frame("x" * 300), client_frame("y" * 70_000), client_frame(b"ping!", opcode=9),
            client_frame(b"", opcode=10), client_frame(struct.pack("!H", 1001), opcode=8),
            fragments(JsonPacker.dumps({"payload": "w" * 200}).encode(), 5, 150, among=client_frame("mid", opcode=9)),
            REQUEST + client_frame("p", opcode=9) + browser_message(["z"] * 30) + client_frame(b"\x03\xe8", opcode=8)]


def json_seeds():
    values = [{"payload": list(RECORD)}, {"payload": [np.arange(4.0), np.zeros((2, 2), "<i2"), 1 - 2j, {1, 2.5, "a"}]},
              {"payload": {"s": {b"x", None, True}, "c": [1j, complex(1e300, -1e-300)], "deep": [[[{}]]]}}]
    return [JsonPacker.dumps(v).encode() for v in values]


LITERALS = [1j, -2j, 1 + 2j, complex(1e300, -1e-300), complex(-0.0, 0.0), complex(float("nan"), float("inf")),
            {1, 2.5, "a", b"b\x00", True, None}, {1j, 1 + 2j, -3}, {"quo'te", 'd"q', "\u00e9\U0001f600\n\t\\"}, set()]
LITERAL_LETTERS = list("{}()'\"\\bjexuU, +-.0123456789afnTFN") + ["inf", "nan", "True", "None", "\u00e9", "\U0001f600"]


def literal_seeds():
    return [str(v).encode() for v in LITERALS]


# ---- feeds: one input to one decoder -------------------------------------------------------------


def feed_unpack(data, rng):
    """bytes, bytearray and a memoryview (contiguous or not) of the same input decode alike."""
    padded = bytes(b for c in data for b in (c, 0))
    inputs = [data, bytearray(data), memoryview(b"\0" + data)[1:], memoryview(padded)[::2]]
    kinds = {type(v).__name__ for v in (attempt(BytePacker.unpack, i) for i in inputs)}
    assert len(kinds) == 1, (data, kinds)


def feed_recv(data, rng, websocket=False):
    """The input as a stream, in pieces and with time-outs among them, read until the stream ends."""
    connection = Connection(ScriptedSocket(*pieces(data, rng, timeouts=0.2), into=rng.random() < 0.5))
    connection._onwebs = websocket
    read_all(connection)


def feed_websocket(data, rng):
    for parse in (WebSocket.header, WebSocket.decode, WebSocket.unpack):
        attempt(parse, data)
    attempt(WebSocket.decode, bytearray(data))
    attempt(WebSocket.unpack, bytearray(data))


def feed_json(data, rng):
    text = data.decode("utf-8", "replace")
    attempt(JsonPacker.loads, text)
    attempt(JsonPacker.loads, data)


def feed_literal(data, rng):
    """The text as the data of a complex and of a set map: parsed, or refused with ValueError."""
    text = data.decode("utf-8", "replace")
    for dtype in ("complex", "set"):
        value = attempt(JsonPacker._object_hook, {"data": text, "dtype": dtype})
        if isinstance(value, Exception):
            assert isinstance(value, ValueError), (text, value)
        elif "inf" not in text and "nan" not in text:  # what the parser reads, Python reads the same
            expected = attempt(ast.literal_eval, text)
            assert isinstance(expected, Exception) or expected == value, (text, value, expected)


HANDSHAKE_KEY = b"a key for fuzzing"


def handshake_seeds():
    """What each side reads: a challenge, and an answer of the right size (a right one cannot be
    made ahead of time, since the side being fuzzed picks its nonce)."""
    return [b"#ZELK-CHALLENGE#" + bytes(range(32)) + bytes(32), bytes(64), b"#ZELK-CHALLENGE#" + b"\xff" * 32]


def feed_handshake(data, rng):
    """Both sides of the key handshake read the input: each refuses it, neither crashes nor passes."""
    from zelk.ring import answer_challenge, deliver_challenge

    for side in (answer_challenge, deliver_challenge):
        connection = Connection(ScriptedSocket(*pieces(data, rng, timeouts=0.1)))
        outcome = attempt(side, connection, HANDSHAKE_KEY)
        assert isinstance(outcome, OSError), (side.__name__, data, outcome)


def aio_seeds():
    """What an asyncio client reads while its calls 1 to 4 wait: their answers back to back, a failure's
    list among them, one longer than a connection's buffer; and a keyed server's challenge."""
    answers = [framed((1, 1, 3)), framed([1, 2, "ValueError@calc.fail() broken on purpose"]),
               framed((1, 3, VALUES[:8])), framed((1, 4, b"\x01" * 70_000))]
    return [b"".join(answers), framed((1, 1, np.arange(10.0))) + framed((1, 2, None)), b"#ZELK-CHALLENGE#" + bytes(32)]


class QuietPrinter:
    """Prints nothing, and returns the text of its message as a printer's methods do."""

    def critical(self, message):
        return str(message)

    error = critical


class HeldTransport:
    """Where a connection fed by hand writes; an abort ends the feeding, as it ends asyncio's reads."""

    aborted = False

    def write(self, data):
        pass

    def writelines(self, data):
        pass

    def abort(self):
        self.aborted = True

    close = abort


def feed_aio(data, rng):
    """The input as an asyncio client's connection reads it, in pieces, while four calls wait on it: no
    exception reaches the event loop, and once the connection is lost every call has its outcome."""
    import asyncio

    from zelk import aio

    loop = asyncio.new_event_loop()
    try:
        client = aio.Client("127.0.0.1", 1)
        client.log = QuietPrinter()
        client._bind(loop)
        connection = aio._Connection(client, None)
        connection.transport = HeldTransport()
        connection._held = False
        client._connections.add(connection)
        calls = [(loop.create_future(), msgid, b"", float("inf"), 1.0, "calc.f", (), {}) for msgid in range(1, 5)]
        connection.calls.extend(calls)
        for piece in pieces(data, rng):
            while piece and not connection.transport.aborted:
                buffer = connection.get_buffer(-1)
                taken = min(len(buffer), len(piece))
                buffer[:taken] = piece[:taken]
                connection.buffer_updated(taken)
                piece = piece[taken:]
        connection.connection_lost(None)
        for future, *_ in calls:
            assert future.done(), data
            future.exception()  # retrieved: none is left for the loop to complain of
    finally:
        loop.close()


# Every decoder a peer's bytes reach: (its seeds, a function that feeds it one input). The test
# suite fuzzes each entry, and fuzz/harness.py NAME runs atheris on one.
DECODERS = {
    "unpack": (unpack_seeds, feed_unpack),
    "recv": (stream_seeds, feed_recv),
    "recv_websocket": (websocket_seeds, lambda data, rng: feed_recv(data, rng, websocket=True)),
    "websocket": (websocket_seeds, feed_websocket),
    "json": (json_seeds, feed_json),
    "literal": (literal_seeds, feed_literal),
    "handshake": (handshake_seeds, feed_handshake),
    "aio": (aio_seeds, feed_aio),
}


# ---- a served object for garbage over real sockets ------------------------------------------------


class Calc:
    def add(self, a, b=0):
        return a + b


def garbage_server():
    """A Calc served as "calc" on a free port in a daemon thread; returns the server. A garbled
    record may name any method, so the one that ends the process is taken away."""
    from zelk.scribe import BrillPrint
    from zelk.server import RequestHandler, Server, start

    obj = Calc()
    server = Server(("127.0.0.1", 0), RequestHandler, obj=obj, alias="calc")
    obj.terminate = lambda *args, **kwargs: None
    server.log = BrillPrint("calc", exclude=["zelk"])
    server.log.info = server.log.critical = server.log.error = lambda *args, **kwargs: None
    threading.Thread(target=start, args=(server,), daemon=True).start()
    return server


def server_seeds():
    return stream_seeds()[:6] + [framed((0, 1, "calc.add", (1, 2), {}))] + websocket_seeds()[:2]


def feed_server(address, data, timeout=10.0):
    """Sends data on a connection of its own, half-closes it, and waits for the server to close it."""
    with socket.create_connection(address, timeout=timeout) as sock:
        try:
            sock.sendall(data)
            sock.shutdown(socket.SHUT_WR)
            while sock.recv(65536):
                pass
        except (ConnectionResetError, BrokenPipeError):
            pass  # the server refused the input and closed before reading it all


def still_answers(address):
    """Whether a well-behaved client still gets its call answered."""
    with socket.create_connection(address, timeout=10.0) as sock:
        connection = Connection(sock)
        connection.send((0, 3, "calc.add", (2, 3), {}))
        return connection.recv() == (1, 3, 5)


def random_inputs(rng, count, longest=80):
    return [rng.randbytes(rng.randint(0, longest)) for _ in range(count)]
