"""The key handshake: with a key, nothing a peer sends is decoded before it proves it knows the key."""

import os
import pickle
import socket
import threading

import pytest

from zelk.ring import AuthenticationError, Connection, answer_challenge, deliver_challenge
from zelk.scribe import BrillPrint
from zelk.server import RequestHandler, Server, start

KEY = b"correct horse battery staple"


class Calc:
    def add(self, a, b):
        return a + b


class WritesAFile:
    """Unpickling this writes a file: proof of whether the server decoded what it was sent."""

    def __init__(self, path):
        self.path = path

    def __reduce__(self):
        return (open, (self.path, "w"))


@pytest.fixture
def keyed_server():
    server = Server(("127.0.0.1", 0), RequestHandler, obj=Calc(), alias="calc")
    server.log = BrillPrint("calc", exclude=["zelk", "vantor", "melix"])
    server._authkey = KEY
    threading.Thread(target=start, args=(server,), daemon=True).start()
    yield server
    server.shutdown()
    server.server_close()


def connected(server):
    return Connection(socket.create_connection(server.server_address, timeout=5))


def test_the_right_key_is_served(keyed_server):
    c = connected(keyed_server)
    answer_challenge(c, KEY)
    c.send((0, 1, "calc.add", (1, 2), {}))
    assert c.recv() == (1, 1, 3)


def test_a_wrong_key_is_refused(keyed_server, capsys):
    c = connected(keyed_server)
    with pytest.raises(AuthenticationError):
        answer_challenge(c, b"wrong")
    assert "failed the key handshake: the peer does not know the key" in capsys.readouterr().out


def test_nothing_is_decoded_from_a_peer_without_the_key(keyed_server, tmp_path):
    target = tmp_path / "written"
    c = connected(keyed_server)
    packet = pickle.dumps(WritesAFile(str(target)))
    c.send((0, 1, "calc.add", ({"data": packet, "dtype": "WritesAFile"},), {}))  # no handshake
    assert c.recv() is None  # refused and closed
    assert not target.exists()
    # the same record is decoded by a keyless peer's server, which shows the proof works
    from zelk.protocol import load, dump
    load(dump({"data": packet, "dtype": "WritesAFile"}))
    assert target.exists()
    os.remove(target)


def test_a_keyed_client_against_a_server_without_a_key():
    a, b = socket.socketpair()
    with a, b:
        b.sendall(b"\x05" + b"\0" * 47)  # what a keyless peer might say instead of a challenge
        with pytest.raises(AuthenticationError, match="sent no key challenge"):
            answer_challenge(Connection(a), KEY)
        with pytest.raises(TypeError):
            deliver_challenge(Connection(a), "text key")
