"""What the key handshake costs a new connection: connect plus one add(1, 2) call, with a key and
without, against one server in a child process; the difference is the handshake."""

import multiprocessing
import socket
import statistics
import time

from zelk.ring import Connection, answer_challenge

from servers import free_port

KEY = b"a key both ends were given"
ROUNDS, CONNECTIONS = 7, 200


class Calc:
    def add(self, a, b):
        return a + b


def serve_forever(port, key, ready):
    import io
    import sys

    from zelk.server import serve

    sys.stdout = io.StringIO()  # the server's printer would report every connection
    ready.set()
    serve(Calc(), "calc", port=port, authkey=key)


def one_connection(port, key):
    sock = socket.create_connection(("127.0.0.1", port))
    connection = Connection(sock)
    if key:
        answer_challenge(connection, key)
    connection.send((0, 1, "calc.add", (1, 2), {}))
    assert connection.recv() == (1, 1, 3)
    sock.close()


def per_connection_us(port, key):
    start = time.perf_counter()
    for _ in range(CONNECTIONS):
        one_connection(port, key)
    return (time.perf_counter() - start) / CONNECTIONS * 1e6


def main():
    spawn = multiprocessing.get_context("spawn")
    servers, ports = [], {}
    for key in (None, KEY):
        ports[key] = free_port()
        ready = spawn.Event()
        servers.append(spawn.Process(target=serve_forever, args=(ports[key], key, ready), daemon=True))
        servers[-1].start()
        ready.wait()
    time.sleep(0.5)
    try:
        for key in (None, KEY):
            one_connection(ports[key], key)  # warm-up
        figures = {None: [], KEY: []}
        for _ in range(ROUNDS):  # the two take turns, so their figures meet alike conditions
            for key in (None, KEY):
                figures[key].append(per_connection_us(ports[key], key))
    finally:
        for server in servers:
            server.kill()
    plain, keyed = statistics.median(figures[None]), statistics.median(figures[KEY])
    print(f"new connection + add(1, 2), median of {ROUNDS} rounds of {CONNECTIONS}:")
    print(f"  without a key          {plain:8.1f} us")
    print(f"  with the key handshake {keyed:8.1f} us")
    print(f"  the handshake costs    {keyed - plain:8.1f} us per connection")


if __name__ == "__main__":
    main()
