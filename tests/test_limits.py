"""What no single peer can take from a server or a client: message sizes, silent and numerous
connections, handshakes and answers that trickle, and the faults a hostile peer found."""

import os
import socket
import struct
import threading
import time

import pytest

from conftest import STAND_IN_TIMEOUT, frame, framed, free_port, read_to_end, start_calc, wait_for
from zelk.client import connect
from zelk.protocol import BytePacker
from zelk.ring import Connection, deliver_challenge

@pytest.fixture(scope="module")
def server(tmp_path_factory):
    """calc served in another process: idle time-out 0.5 s, at most 3 connections, 1 MiB messages."""
    port, log = free_port(), tmp_path_factory.mktemp("limits") / "server.log"
    with open(log, "wb") as out:
        proc = start_calc(port, out, idle_timeout=0.5, max_connections=3, max_message_size=1 << 20)
    yield port, lambda: log.read_text(errors="replace")
    proc.kill()
    proc.wait()


def dial(port):
    return socket.create_connection(("127.0.0.1", port), timeout=60)


# ---- the server's limits --------------------------------------------------------------------------


def test_a_message_over_the_limit_ends_its_connection_at_once(server):
    port, log = server
    with dial(port) as s:
        s.sendall(struct.pack("=Q", 2 << 20) + b"x" * 1000)
        assert read_to_end(s) == b""
    wait_for(lambda: "is over max_message_size (1048576): connection closed" in log())
    assert connect("calc", port=port).echo(b"y" * 1000) == b"y" * 1000  # under the limit: served


@pytest.mark.parametrize("sent", [b"", framed((0, 1, "calc.add", (1, 2), {}))[:10]],
                         ids=["silent", "a message begun"])
def test_an_idle_connection_is_closed(server, sent):
    port, log = server
    with dial(port) as s:
        s.sendall(sent)
        assert read_to_end(s) == b""  # the server closed it


def test_a_client_whose_idle_connection_was_closed_is_answered(server, capsys):
    port, _ = server
    calc = connect("calc", port=port)
    assert calc.add(1, 2) == 3
    first = calc._client._connection
    wait_for(lambda: first._socket.recv(1, socket.MSG_PEEK) == b"")  # the server closed it meanwhile
    assert calc.add(2, 3) == 5 and calc._client._connection is not first


def test_connections_past_max_connections_are_closed_at_once(server):
    port, log = server
    held = [dial(port) for _ in range(3)]
    try:
        for s in held:  # each is served, so each holds a slot
            s.sendall(framed((0, 1, "calc.add", (1, 2), {})))
            assert Connection(s).recv() == (1, 1, 3)
        refused = [dial(port) for _ in range(5)]
        refusal = framed([1, None, "the server refused the connection: max_connections (3) are open"])
        assert [read_to_end(s) for s in refused] == [refusal] * 5  # told why, then closed
        wait_for(lambda: "max_connections (3) are open" in log())
        assert log().count("max_connections (3) are open") < 5  # at most one line a second
    finally:
        for s in held + refused:
            s.close()


# ---- deadlines that bound an operation, not a read ------------------------------------------------


def drip(sock, data, pause):
    """Sends `data` a byte at a time, `pause` seconds apart, until the peer stops it."""
    for byte in data:
        try:
            sock.sendall(bytes([byte]))
        except OSError:
            return
        time.sleep(pause)


def test_the_key_handshake_has_one_deadline():
    # Each byte comes well within the time-out, but the whole answer could not.
    a, b = socket.socketpair()
    with a, b:
        peer = threading.Thread(target=lambda: (b.recv(48), drip(b, bytes(64), 0.1)), daemon=True)
        peer.start()
        with pytest.raises(TimeoutError):
            deliver_challenge(Connection(a), b"key", timeout=0.5)
        a.close()
        peer.join()


def trickling_server(listener, reply):
    conn, _ = listener.accept()
    with conn:
        size = struct.unpack("=Q", conn.recv(8))[0]
        request = b""
        while len(request) < size:
            request += conn.recv(size)
        reply(conn, BytePacker.unpack(request)[1])


@pytest.mark.parametrize("reply", [
    lambda conn, msgid: drip(conn, framed((1, msgid, "x" * 100)), 0.1),
    lambda conn, msgid: conn.sendall(framed((1, msgid, "x" * 100))[:20]) or time.sleep(2),
], ids=["trickled", "cut short"])
def test_a_time_out_bounds_the_whole_answer(reply):
    with socket.create_server(("127.0.0.1", 0)) as listener:
        worker = threading.Thread(target=trickling_server, args=(listener, reply), daemon=True)
        worker.start()
        calc = connect("calc", port=listener.getsockname()[1], timeout=0.5)
        assert calc.add(1, 2).startswith("@RECV: TimeoutError, timed out")
        worker.join()


# ---- answers a server should never give ------------------------------------------------------------


@pytest.mark.parametrize("reply, begins", [
    (lambda msgid: frame(b"\xc1 not msgpack"), "@RECV: FormatError"),
    (lambda msgid: frame(BytePacker.pack((1, msgid, 1)) + b"trailing"), "@RECV: ExtraData"),
    (lambda msgid: struct.pack("=Q", 1 << 63), "@RECV: MessageTooLarge, a message of 9223372036854775808 bytes is over max_message_size"),
    (lambda msgid: framed((1, msgid + 1, "late")) + framed((1, msgid, "on time")), "Failure@calc.add(1, 2)"),
], ids=["not msgpack", "trailing bytes", "length 2^63", "another call's answer first"])
def test_garbage_is_a_failure_value_and_the_connection_is_renewed(stand_in, reply, begins):
    server = stand_in(lambda r: reply(r[1]), lambda r: (1, r[1], "fine"))
    calc = connect("calc", port=server.port, timeout=STAND_IN_TIMEOUT)
    first = calc.add(1, 2)
    assert first.startswith(begins), first
    assert calc.add(3, 4) == "fine"  # its own answer, on a new connection: nothing stale is read


def test_a_call_works_with_more_than_1024_descriptors_open(server):
    port, _ = server
    calc = connect("calc", port=port)
    assert calc.add(1, 2) == 3
    spares = [os.open(os.devnull, os.O_RDONLY) for _ in range(1100)]
    try:
        time.sleep(0.01)  # past the moment a flush may skip asking the kernel
        assert calc.add(3, 4) == 7
    finally:
        for fd in spares:
            os.close(fd)


def test_a_client_refuses_an_answer_over_its_limit(stand_in):
    server = stand_in(lambda r: (1, r[1], b"z" * 5000))
    calc = connect("calc", port=server.port, max_message_size=1000, timeout=STAND_IN_TIMEOUT)
    assert calc.add(1, 2).startswith("@RECV: MessageTooLarge, a message of ")
