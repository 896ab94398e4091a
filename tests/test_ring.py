"""The stream frame, Connection and get_port of zelk.ring."""

import contextlib
import hashlib
import random
import socket
import struct
import sys
import threading

import numpy as np
import pytest

from conftest import framed, leaks, run_in_threads
from fuzzing import attempt
from zelk.protocol import BytePacker
from zelk.ring import ByteStream, Connection, MessageTooLarge, get_port

RECORD = (0, 7, "calc.add", (1, 2), {})


class ScriptedSocket:
    """Answers recv with the scripted chunks (or raises the scripted exceptions), one per read."""

    timeout = 1000.0

    def __init__(self, *chunks):
        self.chunks, self.reads = list(chunks), 0

    def recv(self, size):
        assert size == 65536
        self.reads += 1
        item = self.chunks.pop(0) if self.chunks else b""
        if isinstance(item, BaseException):
            raise item
        return item

    def getsockname(self):
        return ("127.0.0.1", 638)

    def getpeername(self):
        return ("127.0.0.1", 681)


class ScriptedIntoSocket(ScriptedSocket):
    """Also offers recv_into, filling the buffer from the front of the next chunk."""

    def recv_into(self, buffer):
        self.reads += 1
        item = self.chunks.pop(0) if self.chunks else b""
        if isinstance(item, BaseException):
            raise item
        n = min(len(item), len(buffer))
        buffer[:n] = item[:n]
        if item[n:]:
            self.chunks.insert(0, item[n:])
        return n


@pytest.fixture
def pair():
    a, b = socket.socketpair()
    with a, b:
        yield Connection(a), Connection(b)


@pytest.fixture
def tcp_pair():
    with socket.create_server(("127.0.0.1", 0)) as server:
        client = socket.create_connection(server.getsockname())
        accepted, _ = server.accept()
    with client, accepted:
        yield client, accepted


# ---- ByteStream --------------------------------------------------------------------------------


def test_new_stream_flags():
    stream = ByteStream()
    assert (stream.closed, stream._onwebs, vars(stream)) == (False, False, {"_closed": False, "_onwebs": False})


def test_init_cooperates_with_other_bases():
    class Tagged:
        def __init__(self):
            self.tag = "set"

    class Stream(ByteStream, Tagged):
        pass

    assert vars(Stream()) == {"tag": "set", "_closed": False, "_onwebs": False}


@pytest.mark.parametrize("value", [RECORD, None, "x" * 300, np.arange(6.0).reshape(2, 3)])
def test_pack_puts_the_length_in_front(value):
    message = ByteStream().pack(value)
    packet = BytePacker.pack(value)
    assert struct.unpack("Q", message[:8]) == (len(packet),) and message[8:] == packet


def test_unpack_takes_exactly_a_bytearray():
    stream = ByteStream()
    assert stream.unpack(bytearray(BytePacker.pack(RECORD))) == RECORD
    for wrong, name in [(b"\x90", "bytes"), (None, "NoneType"), (type("B", (bytearray,), {})(b"\x90"), "B")]:
        with pytest.raises(TypeError) as info:
            stream.unpack(wrong)
        assert str(info.value) == f"Argument 'response' has incorrect type (expected bytearray, got {name})"
    with pytest.raises(ValueError):
        stream.unpack(bytearray(BytePacker.pack(RECORD)[:-3]))


# ---- Connection.recv with scripted reads ---------------------------------------------------------


@pytest.mark.parametrize("socket_type", [ScriptedSocket, ScriptedIntoSocket])
@pytest.mark.parametrize("seed", range(5))
def test_message_in_arbitrary_pieces(socket_type, seed):
    value = b"\x01" * 200_000
    message, rng, pieces, at = framed(value), random.Random(seed), [], 0
    while at < len(message):
        size = rng.randint(8 if at == 0 else 1, 65536)
        pieces.append(message[at:at + size])
        at += size
    assert Connection(socket_type(*pieces)).recv() == value


def test_message_in_one_read():
    sock = ScriptedSocket(framed(RECORD))
    assert Connection(sock).recv() == RECORD and sock.reads == 1


@pytest.mark.parametrize("chunks", [[b""], [framed(RECORD)[:20], b""]])
def test_closed_peer_gives_none(chunks):
    connection = Connection(ScriptedSocket(*chunks))
    assert connection.recv() is None
    assert connection.recv() is None  # nothing of the broken message is kept


def test_short_first_read_is_a_buffer_error():
    with pytest.raises(BufferError) as info:
        Connection(ScriptedSocket(b"\x05\x00\x00")).recv()
    assert str(info.value) == (
        "unpack requires a buffer of 8 bytes[b'\\x05\\x00\\x00' from ('127.0.0.1', 681) with length 3]"
    )
    assert isinstance(info.value.__context__, struct.error)


def test_time_out_names_the_socket():
    with pytest.raises(TimeoutError) as info:
        Connection(ScriptedSocket(TimeoutError("timed out"))).recv()
    assert str(info.value) == "timed out(1000.0s, ('127.0.0.1', 638))"
    assert str(info.value.__context__) == "timed out"


def test_runtime_error_is_printed_and_gives_none(capsys):
    assert Connection(ScriptedSocket(RuntimeError("boom"))).recv() is None
    assert capsys.readouterr().out == "Runtime Error boom\n"


@pytest.mark.parametrize("error", [ConnectionResetError(104, "reset"), OSError("other")])
def test_other_socket_errors_propagate(error):
    with pytest.raises(type(error)):
        Connection(ScriptedSocket(error)).recv()


def test_length_field_split_across_reads():
    field = struct.pack("=Q", 3)
    assert Connection(ScriptedSocket(field[:3], field[3:] + b"\x92\x01\x02")).recv() == [1, 2]


@pytest.mark.parametrize("socket_type", [ScriptedSocket, ScriptedIntoSocket])
@pytest.mark.parametrize("cut", [3, 8, 20, 150])
def test_time_out_inside_a_message_keeps_what_arrived(socket_type, cut):
    data = framed(("x" * 200, RECORD))
    connection = Connection(socket_type(data[:cut], TimeoutError("timed out"), data[cut:]))
    with pytest.raises(TimeoutError):
        connection.recv()
    assert connection.recv() == ("x" * 200, RECORD)


def test_short_length_field_then_reset_is_a_buffer_error():
    class ResetSocket(ScriptedSocket):
        def getpeername(self):
            raise OSError(107, "Transport endpoint is not connected")

    with pytest.raises(BufferError) as info:
        Connection(ResetSocket(b"\x05", ConnectionResetError(104, "reset"))).recv()
    assert str(info.value) == "unpack requires a buffer of 8 bytes[b'\\x05' with length 1]"


def test_back_to_back_messages_in_one_read():
    values = [RECORD, (1, 7, "x" * 1000), None, {"a": (1,)}, list(range(50))] * 2
    sock = ScriptedSocket(b"".join(framed(v) for v in values))
    connection = Connection(sock)
    assert [connection.recv() for _ in values] == values
    assert sock.reads == 1


@pytest.mark.parametrize("cut", [1, 5, 8, 9, 12])
def test_next_message_split_inside_its_length_field(cut):
    first, second = framed(RECORD), framed("second")
    connection = Connection(ScriptedSocket(first + second[:cut], second[cut:]))
    assert (connection.recv(), connection.recv()) == (RECORD, "second")


def test_an_empty_packet_then_another_in_one_read():
    connection = Connection(ScriptedSocket(struct.pack("Q", 0) + framed(RECORD)))
    with pytest.raises(ValueError, match="incomplete input"):
        connection.recv()
    assert connection.recv() == RECORD


def test_malformed_packet_leaves_the_stream_in_step():
    bad = struct.pack("Q", 1) + b"\xc1"  # 0xc1 is never used in MessagePack
    connection = Connection(ScriptedSocket(bad + framed("next")))
    with pytest.raises(ValueError):
        connection.recv()
    assert connection.recv() == "next"


def test_fuzzed_reads_never_crash():
    rng = random.Random(1234)
    for _ in range(3000):
        chunks = [rng.randbytes(rng.randint(0, 40)) for _ in range(rng.randint(1, 4))]
        if rng.random() < 0.5:  # a plausible length field over random payload
            chunks.insert(0, struct.pack("Q", rng.randint(0, 60)))
        attempt(Connection(ScriptedIntoSocket(*chunks) if rng.random() < 0.5 else ScriptedSocket(*chunks)).recv)


def test_huge_length_field_costs_only_what_arrives():
    connection = Connection(ScriptedIntoSocket(struct.pack("Q", 2**62) + b"x" * 100), max_message_size=sys.maxsize)
    assert connection.recv() is None
    for announced in (2**31, 2**64 - 1):  # over the limit: refused before anything is allocated
        with pytest.raises(MessageTooLarge, match=f"a message of {announced} bytes is over max_message_size"):
            Connection(ScriptedSocket(struct.pack("Q", announced))).recv()


def test_a_lying_length_field_kept_across_a_time_out_holds_little_memory():
    import tracemalloc

    connection = Connection(ScriptedIntoSocket(struct.pack("Q", 2**40) + b"x" * 100, TimeoutError("timed out")),
                            max_message_size=2**40)
    tracemalloc.start()
    try:
        with pytest.raises(TimeoutError):
            connection.recv()
        assert tracemalloc.get_traced_memory()[1] < 4 * 1024 * 1024
    finally:
        tracemalloc.stop()


# ---- Connection over real sockets ---------------------------------------------------------------


@pytest.mark.parametrize("size", [2**59, 2**60, 2**63 - 1])
def test_huge_read_sizes_read_the_rest_at_once(monkeypatch, size):
    class AnySizeSocket(ScriptedIntoSocket):
        def recv(self, n):
            return super().recv(65536)

    import zelk.ring

    monkeypatch.setattr(zelk.ring, "SOCKET_RECV_SIZE", size)
    data = framed(b"x" * 100_000)
    assert Connection(AnySizeSocket(data[:20], data[20:])).recv() == b"x" * 100_000


def test_ten_messages_in_one_sendall(pair):
    a, b = pair
    values = [(0, i, "calc.add", (i, i), {}) for i in range(10)]
    a._socket.sendall(b"".join(a.pack(v) for v in values))
    assert [b.recv() for _ in values] == values


def test_round_trip_of_arrays_and_records(pair):
    a, b = pair
    rng = random.Random(0)
    big = np.array([rng.random() for _ in range(300 * 400)]).reshape(300, 400)
    sender = threading.Thread(target=lambda: [a.send(v) for v in (RECORD, big, RECORD)])
    sender.start()
    got = [b.recv() for _ in range(3)]
    sender.join()
    assert got[0] == got[2] == RECORD and np.array_equal(got[1], big)


def test_send_time_out(pair):
    a, _ = pair
    a._socket.settimeout(0.05)
    with pytest.raises(TimeoutError) as info:
        a.send(b"x" * 50_000_000)
    assert str(info.value).startswith("Send Timeout(0.05s, ")
    assert isinstance(info.value.__context__, TimeoutError)


def test_send_propagates_encoding_errors(pair):
    with pytest.raises(TypeError):
        pair[0].send(frozenset([1]))


def test_pack_and_unpack_set_on_the_instance_are_used(pair):
    a, b = pair
    a.pack = lambda request: framed(("packed on the instance", request))
    b.unpack = lambda response: ("unpacked on the instance", BytePacker.unpack(response))
    a.send(RECORD)
    assert b.recv() == ("unpacked on the instance", ("packed on the instance", RECORD))
    del a.pack, b.unpack
    a.send(RECORD)
    assert b.recv() == RECORD


def test_flush_on_an_idle_blocking_socket_returns_at_once(pair):
    a, b = pair
    b._socket.settimeout(None)
    b.flush()
    a.send(RECORD)
    a.send(RECORD)
    threading.Event().wait(0.05)
    b.flush()
    a.send("fresh")
    assert b.recv() == "fresh"


def test_flush_against_a_closed_peer_raises(tcp_pair):
    client, accepted = tcp_pair
    accepted.close()
    with pytest.raises((BrokenPipeError, ConnectionResetError)):
        Connection(client).flush()


def test_clear_drops_input_and_leaves_the_socket_blocking(pair):
    a, b = pair
    b._socket.settimeout(3.0)
    a.send(RECORD)
    threading.Event().wait(0.05)
    b.clear()
    assert b._socket.timeout is None and b._socket.getblocking()
    a.send("after")
    assert b.recv() == "after"


def test_flush_and_clear_drop_a_message_cut_short(pair):
    a, b = pair
    b._socket.settimeout(0.05)
    for drop in (b.flush, b.clear):
        a._socket.sendall(framed("lost")[:12])
        with pytest.raises(TimeoutError):
            b.recv()
        threading.Event().wait(0.02)
        drop()
        a.send("kept")
        b._socket.settimeout(1.0)
        assert b.recv() == "kept"
        b._socket.settimeout(0.05)


def test_close_after_a_reset_still_closes(tcp_pair):
    client, accepted = tcp_pair
    accepted.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    accepted.close()  # sends a reset
    connection = Connection(client)
    threading.Event().wait(0.05)
    with pytest.raises(OSError):
        connection.close()
    assert connection.closed and client.fileno() == -1
    with pytest.raises(OSError):
        connection.close()
    assert connection.closed


def test_close_twice(pair):
    a, _ = pair
    a.close()
    assert a.closed is True
    with pytest.raises(OSError):
        a.close()
    assert a.closed is True


@pytest.mark.parametrize("name, port", [("", 638), ("Server", 681)])
def test_get_port(name, port):
    assert get_port(name) == port


def test_get_port_range_and_checks():
    ports = {get_port(f"service-{i}") for i in range(5000)}
    assert min(ports) >= 0 and max(ports) <= 4095 and len(ports) > 2500  # about 2890 expected
    zero = next(f"n{i}" for i in range(100_000) if hashlib.md5(f"n{i}".encode()).hexdigest().endswith("000"))
    assert get_port(zero) == 0
    with pytest.raises(TypeError, match=r"Argument 'name' has incorrect type \(expected str, got bytes\)"):
        get_port(b"Server")


# ---- threads and leaks -------------------------------------------------------------------------


def test_many_connections_in_parallel():
    pairs = [socket.socketpair() for _ in range(8)]

    def echo(i):
        a, b = (Connection(s) for s in pairs[i])
        for n in range(500):
            a.send((0, n, f"c{i}", (i, n), {"k": n}))
            assert b.recv() == (0, n, f"c{i}", (i, n), {"k": n})

    try:
        run_in_threads(echo)
    finally:
        for a, b in pairs:
            a.close(), b.close()


def test_threads_sharing_one_connection_pair_keep_messages_whole():
    left, right = socket.socketpair()
    sender, receiver = Connection(left), Connection(right)
    per_thread, got = 2000, [[] for _ in range(8)]

    def work(i):
        if i < 8:
            for n in range(per_thread):
                sender.send((i, n, "p" * (n % 300), np.arange(n % 5)))
        else:
            for _ in range(per_thread):
                got[i - 8].append(receiver.recv())

    try:
        run_in_threads(work, count=16)
    finally:
        sender.close(), receiver.close()
    messages = [m for part in got for m in part]
    whole = [m for m in messages if m[2] == "p" * (m[1] % 300) and m[3].tolist() == list(range(m[1] % 5))]
    print(f"{len(messages)} messages received by 8 threads from 8 senders, {len(whole)} whole")
    assert len(whole) == 8 * per_thread and sorted(m[:2] for m in whole) == [(i, n) for i in range(8) for n in range(per_thread)]


def test_no_reference_leaks(pair):
    a, b = pair
    name = "Server".upper()  # made here: not immortal

    def round_trip():
        a.send(RECORD)
        b.recv()
        get_port(name)
        with contextlib.suppress(BufferError):
            Connection(ScriptedSocket(b"\x01")).recv()

    left = leaks(round_trip, RECORD, a, b, name)
    assert left.references == [0] * 4 and left.blocks < 10_000 and left.rss < 2 << 20
