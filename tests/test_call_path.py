"""The call path's short cuts keep every behaviour: a connection that keeps its time-out in the kernel
still bounds each whole message by it, and a flush still drops what a peer wrote unasked."""

import socket
import struct
import threading

import pytest

from conftest import framed
from zelk.ring import Connection

RECORD = (0, 7, "calc.add", (1, 2), {})


@pytest.fixture
def pair():
    a, b = socket.socketpair()
    with a, b:
        yield Connection(a), Connection(b)


def kernel_timeout(sock):
    return struct.unpack("ll", sock.getsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, struct.calcsize("ll")))


@pytest.mark.parametrize("value, blocking, kernel", [
    (2.5, True, (2, 500000)),
    (None, True, (0, 0)),
    (0.0, False, (0, 0)),
], ids=["seconds", "for ever", "never waits"])
def test_settimeout_keeps_a_positive_time_out_in_the_kernel(pair, value, blocking, kernel):
    a, b = pair
    b.settimeout(3.0)
    b.settimeout(value)
    assert b.timeout == value and b._socket.getblocking() is blocking and kernel_timeout(b._socket) == kernel
    a.send(RECORD)
    if blocking:
        assert b.recv() == RECORD


@pytest.mark.parametrize("value, error", [("soon", TypeError), (-1.0, ValueError)])
def test_settimeout_refuses_what_a_socket_refuses(pair, value, error):
    with pytest.raises(error):
        pair[1].settimeout(value)


def test_a_message_that_trickles_times_out_as_a_whole(pair):
    a, b = pair
    b.settimeout(0.2)
    data, stop = framed("x" * 50), threading.Event()

    def drip():
        for i in range(len(data)):
            if stop.wait(0.05):
                return
            a._socket.sendall(data[i:i + 1])

    dripper = threading.Thread(target=drip)
    dripper.start()
    try:
        with pytest.raises(TimeoutError, match=r"^timed out\(0\.2s, "):
            b.recv()
    finally:
        stop.set()
        dripper.join()


def test_flush_drops_what_the_peer_wrote_unasked(pair):
    a, b = pair
    b.settimeout(5.0)
    a.send("answer")
    assert b.recv() == "answer"
    a.send("unasked")
    threading.Event().wait(0.01)  # past the moment after a whole answer when a flush need not ask the kernel
    b.flush()
    a.send("next")
    assert b.recv() == "next"
