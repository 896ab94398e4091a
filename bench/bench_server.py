"""zelk's server next to a plain-Python socketserver.ThreadingTCPServer doing the same work, in one run:
the add(1, 2) round trip from a raw zelk.ring.Connection client, then calls per second with 1, 4 and 16
client threads.

The baseline is the plain-Python handler: the same 8-byte native-order length, reading exactly the
announced bytes, the same BytePacker.pack/unpack calls, alias.method resolved with getattr and the
answer (1, msgid, result). Both servers run in spawned processes of their own on free loopback ports;
they take turns round by round, and each figure is the median of the rounds.
"""

import socket
import socketserver
import statistics
import struct
import time
from multiprocessing import get_context

from zelk.protocol import REQUEST, RESPONSE, BytePacker
from zelk.ring import Connection

from servers import ADDRESS, calls_per_second, read_exactly, start_server, stop_server

ALIAS = "calc"
ROUNDS = 9
BATCH_S = 0.1
THREADS = (1, 4, 16)
THREAD_ROUNDS = 5
THREAD_RUN_S = 1.0
FRAME = struct.Struct("=Q")


class Calc:
    def add(self, a, b):
        return a + b

    def echo(self, x):
        return x


def serve_zelk(port):
    from zelk.server import serve

    serve(Calc(), alias=ALIAS, host=ADDRESS, port=port)


class PythonHandler(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        services = self.server.services
        pack, unpack = BytePacker.pack, BytePacker.unpack
        header = bytearray(FRAME.size)
        while read_exactly(sock, header):
            body = bytearray(FRAME.unpack(header)[0])
            if not read_exactly(sock, body):
                return
            _, msgid, name, args, kwargs = unpack(body)
            alias, _, method = name.partition(".")
            result = getattr(services[alias], method)(*args, **kwargs)
            packet = pack((RESPONSE, msgid, result))
            sock.sendall(FRAME.pack(len(packet)) + packet)


class PythonServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def serve_python(port):
    with PythonServer((ADDRESS, port), PythonHandler) as server:
        server.services = {ALIAS: Calc()}
        server.serve_forever()


class Caller:
    """One connection of the raw client; every call is one request record and one answer."""

    def __init__(self, port):
        sock = socket.create_connection((ADDRESS, port))
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.conn = Connection(sock)
        self.msgid = 0

    def add(self):
        self.msgid += 1
        self.conn.send((REQUEST, self.msgid, f"{ALIAS}.add", (1, 2), {}))
        return self.conn.recv()

    def close(self):
        self.conn.close()


def round_trip(caller, n):
    start = time.perf_counter()
    for _ in range(n):
        caller.add()
    return (time.perf_counter() - start) / n


def threads_calling(port, threads, duration):
    callers = [Caller(port) for _ in range(threads)]
    try:
        return calls_per_second([caller.add for caller in callers], duration)
    finally:
        for caller in callers:
            caller.close()


def main():
    ctx = get_context("spawn")
    servers = {"zelk.server": serve_zelk, "plain-Python ThreadingTCPServer": serve_python}
    skipped = {}
    running, procs = {}, []
    try:
        for name, target in servers.items():
            try:
                proc, port = start_server(ctx, target)
            except Exception as e:
                skipped[name] = f"failed: {e!r}"[:80]
                continue
            procs.append(proc)
            running[name] = port

        callers, batches = {}, {}
        for name, port in list(running.items()):
            caller = Caller(port)
            answer = caller.add()
            if tuple(answer) != (RESPONSE, caller.msgid, 3):
                skipped[name] = f"failed: add(1, 2) answered {answer!r}"[:80]
                caller.close()
                del running[name]
                continue
            per_call = round_trip(caller, 500)
            callers[name], batches[name] = caller, max(1, round(BATCH_S / per_call))
        trips = {name: [] for name in callers}
        for _ in range(ROUNDS):
            for name, caller in callers.items():
                trips[name].append(round_trip(caller, batches[name]))
        for caller in callers.values():
            caller.close()

        rates = {(name, threads): [] for name in running for threads in THREADS}
        for threads in THREADS:
            for port in running.values():
                threads_calling(port, threads, 0.2)
            for _ in range(THREAD_ROUNDS):
                for name, port in running.items():
                    rates[name, threads].append(threads_calling(port, threads, THREAD_RUN_S))
    finally:
        for proc in procs:
            stop_server(proc)

    print(f"add(1, 2) round trip from a zelk.ring.Connection client, median of {ROUNDS} rounds after a warm-up:")
    for name in servers:
        if name in trips:
            print(f"  {name:34}{statistics.median(trips[name]) * 1e6:8.1f} us")
        else:
            print(f"  {name:34}{skipped[name]}")
    zelk, plain = servers
    if zelk in trips and plain in trips:
        ratio = statistics.median(trips[zelk]) / statistics.median(trips[plain])
        print(f"  zelk / plain-Python round trip: {ratio:.2f}x (target: at most 0.75x)")
    else:
        print("  zelk / plain-Python round trip: n/a (target: at most 0.75x)")

    print(f"calls per second, each client thread on a connection of its own, median of {THREAD_ROUNDS} "
          f"runs of {THREAD_RUN_S:.0f} s:")
    print(f"  {'threads':>7}" + "".join(f"{name:>34}" for name in servers))
    for threads in THREADS:
        line = f"  {threads:7}"
        for name in servers:
            figure = f"{statistics.median(rates[name, threads]):.0f}" if name in running else "skipped"
            line += f"{figure:>34}"
        print(line)


if __name__ == "__main__":
    main()
