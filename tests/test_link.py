"""Server and client speak to a connection by ring's own calls only while those stand for its methods,
and look again before each operation: what code run in between changed is honoured at once."""

import contextlib
import sys

import pytest

import zelk.client
from conftest import free_port
from zelk.client import connect
from zelk.ring import Connection
from zelk.server import RequestHandler, serve


def own_connection():
    """The connection of the server's handler that is serving the current call."""
    frame = sys._getframe()
    while not isinstance(frame.f_locals.get("self"), RequestHandler):
        frame = frame.f_back
    return frame.f_locals["self"]._connection


class Served:
    def add(self, a, b):
        return a + b

    def answer_through(self, tag):
        """Replaces its connection's send, which then sends this call's answer."""
        connection = own_connection()
        send = connection.send
        connection.send = lambda record: send((*record[:2], (tag, record[2])))
        return "untagged"

    def hang_up(self):
        """Marks its connection closed: the server answers, then ends the connection."""
        own_connection()._closed = True
        return "bye"


@pytest.fixture(scope="module")
def port():
    port = free_port()
    serve(Served(), "link", port=port, thread=True)
    return port


def test_a_send_replaced_on_the_server_during_a_call_sends_its_answer(port):
    proxy = connect("link", port=port)
    assert proxy.add(1, 2) == 3
    assert proxy.answer_through("tagged") == ("tagged", "untagged")
    assert proxy.add(2, 3) == ("tagged", 5)
    proxy._client.close()


def test_a_connection_marked_closed_by_a_call_ends_after_its_answer(port):
    proxy = connect("link", port=port)
    assert proxy.hang_up() == "bye"
    first = proxy._client._connection
    assert first.recv() is None  # the server closed it
    assert proxy.add(1, 2) == 3 and proxy._client._connection is not first
    with contextlib.suppress(OSError):  # reset by the server, then replaced by the client: still to let go of
        first.close()
    proxy._client.close()


class Tagging(Connection):
    """Once a tag is given, its next settimeout replaces send: the call in progress must use the new one."""

    tags, sent = [], []  # filled in place: a change of the class would send every call to the methods anyway

    def settimeout(self, value):
        super().settimeout(value)
        if self.tags:
            send, tag = self.send, self.tags.pop()
            self.send = lambda record: (self.sent.append((tag, record[2])), send(record))


def test_a_send_replaced_on_the_client_before_its_request_goes_is_used_for_it(port, monkeypatch):
    monkeypatch.setattr(zelk.client, "Connection", Tagging)
    proxy = connect("link", port=port)
    assert proxy.add(1, 2) == 3 and Tagging.sent == []
    Tagging.tags.append("spied")
    assert proxy.add(2, 3, timeout=5) == 5  # a call's time-out goes to settimeout before the request is sent
    assert Tagging.sent == [("spied", "link.add")]
    proxy._client.close()


def move_to_end(connection, name):
    value = getattr(connection, name)
    delattr(connection, name)
    setattr(connection, name, value)


@pytest.mark.parametrize(
    "mark_closed",
    [
        lambda c: setattr(c, "_closed", True),
        lambda c: setattr(c, "_closed", 1),  # not a bool: its truth is asked
        lambda c: (move_to_end(c, "_onwebs"), move_to_end(c, "_closed"), setattr(c, "_closed", True)),
        lambda c: (c.__dict__.__setitem__("".join(["not", "_interned"]), 0), setattr(c, "_closed", True)),
    ],
    ids=["true", "truthy", "moved", "key-not-interned"],
)
def test_the_clients_connection_marked_closed_between_calls_is_replaced(port, mark_closed):
    proxy = connect("link", port=port)
    assert proxy.add(1, 2) == 3
    first = proxy._client._connection
    move_to_end(first, "_socket")  # read elsewhere in the dict now: still the same socket
    assert proxy.add(2, 3) == 5 and proxy._client._connection is first
    mark_closed(first)
    assert proxy.add(3, 4) == 7 and proxy._client._connection is not first
    first._socket.close()
    proxy._client.close()
