"""The server's limits on every channel: TLS, WebSocket, the first message of a connection, the slots
one address may take, and what a refused client is told."""

import asyncio
import contextlib
import socket
import struct
import threading

import pytest

from conftest import framed, free_port
from fuzzing import REQUEST, client_frame
from zelk import aio
from zelk.client import Unreachable, connect
from zelk.protocol import BytePacker
from zelk.scribe import BrillPrint
from zelk.server import RequestHandler, Server, serve


class Calc:
    def add(self, a, b):
        return a + b


def served(**settings):
    port = free_port()
    serve(Calc(), "calc", port=port, thread=True, **settings)
    return port


def dial(port, source="127.0.0.1"):
    return socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(source, 0))


def ended(sock):
    """Whether the server closes `sock` (reading and dropping what it sends until then)."""
    with contextlib.suppress(ConnectionResetError):
        while sock.recv(65536):
            pass
    return True


def drip_until_closed(sock, data, pause=0.1):
    """Sends `data` a byte every `pause` seconds; True when the server closed before the end."""
    for byte in data:
        try:
            sock.sendall(bytes([byte]))
            sock.settimeout(pause)
            if sock.recv(65536) == b"":
                return True
        except TimeoutError:
            pass
        except OSError:
            return True
        finally:
            sock.settimeout(30)
    return False


def call_record(msgid=1):
    return framed((0, msgid, "calc.add", (1, 2), {}))


# ---- TLS ---------------------------------------------------------------------------------------------


def test_tls_peers_are_held_to_the_limits_of_plain_ones(certs):
    port = served(ssl_context=certs.server, idle_timeout=0.5, max_message_size=1 << 20)
    with certs.client.wrap_socket(dial(port), server_hostname="127.0.0.1") as silent:
        assert ended(silent)  # handshake done, then nothing: closed at the idle time-out
    with certs.client.wrap_socket(dial(port), server_hostname="127.0.0.1") as oversized:
        oversized.sendall(struct.pack("=Q", (1 << 20) + 1))
        assert ended(oversized)
    with certs.client.wrap_socket(dial(port), server_hostname="127.0.0.1") as trickling:
        assert drip_until_closed(trickling, call_record() * 20)
    assert connect("calc", port=port, ssl_context=certs.client).add(1, 2) == 3


# ---- WebSocket ---------------------------------------------------------------------------------------


def upgraded(port):
    sock = dial(port)
    sock.sendall(REQUEST)
    answer = b""
    while b"\r\n\r\n" not in answer:
        answer += sock.recv(4096)
    assert answer.startswith(b"HTTP/1.1 101")
    return sock


@pytest.mark.parametrize("upgrade_first, dripped", [(False, REQUEST[:-2] + b"X-Pad: " + b"x" * 400),
                                                    (True, client_frame("x" * 400))], ids=["request", "frame"])
def test_a_dripped_upgrade_request_or_frame_ends_at_its_deadline(upgrade_first, dripped):
    port = served(idle_timeout=0.5)
    with upgraded(port) if upgrade_first else dial(port) as sock:
        assert drip_until_closed(sock, dripped)


@pytest.mark.parametrize("among", [client_frame("p" * 125, opcode=9), client_frame("", opcode=0, final=False)],
                         ids=["pings", "empty-fragments"])
def test_what_comes_among_fragments_counts_toward_the_cap(among):
    port = served(max_message_size=4096)
    with upgraded(port) as sock:
        sock.sendall(client_frame("begun", final=False))
        with contextlib.suppress(OSError):
            for _ in range(2 * 4096 // len(among) + 1):
                sock.sendall(among)
        received = b""
        with contextlib.suppress(ConnectionResetError):
            while chunk := sock.recv(65536):
                received += chunk
    assert received == b"\x88\x02" + struct.pack("!H", 1009)  # no pong: the message was never whole


@pytest.mark.parametrize("origins", [["http://evil.example", "http://127.0.0.1"], ["http://127.0.0.1", "http://localhost"]],
                         ids=["evil-then-loopback", "two-loopback"])
@pytest.mark.parametrize("spelling", ["Origin: {}\r\nOrigin: {}\r\n", "Origin: {}\r\norigin : {}\r\n"],
                         ids=["same-name", "other-spelling"])
def test_a_request_with_two_origins_is_refused(origins, spelling, capsys):
    port = served()
    with dial(port) as sock:
        sock.sendall(REQUEST[:-2] + spelling.format(*origins).encode() + b"\r\n")
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
    assert answer.startswith(b"HTTP/1.1 403 Forbidden")


@pytest.mark.parametrize("line", ["Origin : http://evil.example", "X-A: b\r\n Origin: http://evil.example"],
                         ids=["space-before-colon", "folded"])
def test_an_origin_line_in_another_spelling_is_checked(line):
    port = served()
    with dial(port) as sock:
        sock.sendall(REQUEST[:-2] + line.encode() + b"\r\n\r\n")
        assert sock.recv(65536).startswith(b"HTTP/1.1 403 Forbidden")


# ---- slots and the first message ---------------------------------------------------------------------


def test_one_address_cannot_take_every_slot():
    port = served(max_connections=4, max_connections_per_host=2, first_message_timeout=None)
    held = [dial(port) for _ in range(2)]
    with dial(port) as third:
        assert third.recv(4096).endswith(b"max_connections_per_host (2) are open from 127.0.0.1")
    with dial(port, source="127.0.0.2") as other:
        other.sendall(call_record())
        assert BytePacker.unpack(other.recv(4096)[8:]) == (1, 1, 3)
    for sock in held:
        sock.close()


def test_the_first_message_has_a_deadline_of_its_own():
    port = served(first_message_timeout=0.3, idle_timeout=None)
    with dial(port) as silent:
        assert ended(silent)
    with dial(port) as trickling:
        assert drip_until_closed(trickling, call_record() * 20)
    calc = connect("calc", port=port)
    assert calc.add(1, 2) == 3
    first = calc._client._connection
    threading.Event().wait(1.0)  # three deadlines: later messages keep to idle_timeout, here none
    assert calc.add(2, 3) == 5 and calc._client._connection is first


@pytest.mark.parametrize("authkey", [None, b"key"], ids=["plain", "with-key"])
@pytest.mark.parametrize("client", ["blocking", "aio"])
def test_a_full_server_tells_both_clients_why(client, authkey):
    port = served(max_connections=1, authkey=authkey, first_message_timeout=None)
    with dial(port):  # holds the one slot
        if client == "blocking":
            with pytest.raises(Unreachable) as refused:
                connect("calc", port=port, authkey=authkey, errors="raise").add(1, 2)
        else:
            async def call():
                async with aio.connect("calc", port=port, authkey=authkey) as calc:
                    await calc.add(1, 2)

            with pytest.raises(Unreachable) as refused:
                asyncio.run(call())
    assert "(the server refused the connection: max_connections (1) are open)" in refused.value.text


@pytest.mark.parametrize("lands", ["after the thread began", "before"])
def test_an_interrupted_thread_start_counts_its_slot_once(monkeypatch, lands):
    server = Server(("127.0.0.1", 0), RequestHandler, obj=Calc(), alias="calc")
    server.log, server.max_connections = BrillPrint("calc"), 1
    started, original = [], threading.Thread.start

    def interrupted(thread):
        if lands != "before":
            original(thread)
            started.append(thread)
        raise KeyboardInterrupt

    client = socket.create_connection(server.server_address)
    request, address = server.socket.accept()
    monkeypatch.setattr(threading.Thread, "start", interrupted)
    with pytest.raises(KeyboardInterrupt):
        server.process_request(request, address)
    monkeypatch.undo()
    client.close()
    for thread in started:
        thread.join()
    if lands == "before":
        server.shutdown_request(request)  # as socketserver does with a request that failed there
    serving = threading.Thread(target=server.serve_forever, daemon=True)
    serving.start()
    try:
        with dial(server.server_address[1]) as one, dial(server.server_address[1]) as two:
            one.sendall(call_record())
            assert BytePacker.unpack(one.recv(4096)[8:]) == (1, 1, 3)
            assert two.recv(4096).endswith(b"max_connections (1) are open")  # one slot, counted once
    finally:
        server.shutdown()
        server.server_close()
