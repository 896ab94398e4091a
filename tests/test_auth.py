"""The key handshake: with a key, nothing a peer sends is decoded before it proves it knows the key."""

import os
import pickle
import socket
import threading

import pytest

from zelk.ring import AuthenticationError, Connection, MessageTooLarge, answer_challenge, deliver_challenge
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
    with pytest.raises(MessageTooLarge):  # the challenge's first bytes, read as a length field
        c.recv()
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


# ---- clients with a key ------------------------------------------------------------------------------


def test_connect_with_the_key_and_without_it(keyed_server, capsys):
    from zelk.client import connect

    host, port = keyed_server.server_address
    assert connect("calc", host, port, authkey=KEY).add(2, 3) == 5
    assert connect("calc", host, port, authkey=b"wrong").add(2, 3) is None
    out = capsys.readouterr().out
    assert "Connection failed (the server does not know the key)" in out or "Connection failed (the peer" in out
    keyless = connect("calc", host, port, timeout=2)
    assert keyless.add(2, 3).startswith(("Failure", "@RECV: "))  # the challenge is no answer: the call fails


def test_the_command_line_takes_the_key_from_the_environment(keyed_server):
    import subprocess
    import sys

    host, port = keyed_server.server_address
    command = [sys.executable, "-m", "zelk", "call", "calc.add", "1", "2", "--port", str(port), "--timeout", "5"]
    with_key = subprocess.run(command, capture_output=True, text=True, env={**os.environ, "ZELK_AUTHKEY": KEY.decode()})
    without = subprocess.run(command, capture_output=True, text=True, env={**os.environ, "ZELK_AUTHKEY": ""})
    assert (with_key.returncode, with_key.stdout.strip()) == (0, "3")
    assert without.returncode != 0
