"""A whole call against the cost of the socket itself, pinned to one core and unpinned.

Per call, the median of several rounds (the measurements take turns each round):

- floor: a plain-Python socket ping-pong of 16 bytes (sendall, then recv) with an echo server;
- zelk add(1, 2): through a proxy of zelk.client against zelk.server;
- zelk.server and a plain-Python socketserver handler (the same framing and BytePacker, the
  answer (1, msgid, result)), each called from a raw zelk.ring.Connection client;

with the CPU time per call of client and server together beside each latency: a reader that watches
its socket before it sleeps trades CPU for latency, which latency alone hides. Every server runs in
a spawned process of its own. "pinned" runs the whole benchmark under `taskset -c 0`, as the
processes then start: both ends share one core. ZELK_WATCH_US=0 in the environment turns watching off.
"""

import argparse
import os
import socket
import socketserver
import statistics
import struct
import subprocess
import sys
import time
from multiprocessing import get_context

import psutil
from servers import ADDRESS, read_exactly, start_server, stop_server

ROUNDS = 9
BATCH_S = 0.1
FRAME = struct.Struct("=Q")


class Calc:
    def add(self, a, b):
        return a + b


def serve_echo(port):
    with socket.create_server((ADDRESS, port)) as listener:
        while True:
            conn, _ = listener.accept()
            with conn:
                conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                while data := conn.recv(16):
                    conn.sendall(data)


def serve_zelk(port):
    from zelk.server import serve

    sys.stdout = open(os.devnull, "w")
    serve(Calc(), alias="calc", host=ADDRESS, port=port)


class PythonHandler(socketserver.BaseRequestHandler):
    def handle(self):
        from zelk.protocol import RESPONSE, BytePacker

        sock = self.request
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        pack, unpack, calc = BytePacker.pack, BytePacker.unpack, Calc()
        header = bytearray(FRAME.size)
        while read_exactly(sock, header):
            body = bytearray(FRAME.unpack(header)[0])
            if not read_exactly(sock, body):
                return
            _, msgid, name, args, kwargs = unpack(body)
            result = getattr(calc, name.partition(".")[2])(*args, **kwargs)
            packet = pack((RESPONSE, msgid, result))
            sock.sendall(FRAME.pack(len(packet)) + packet)


def serve_python(port):
    class Server(socketserver.ThreadingTCPServer):
        daemon_threads = allow_reuse_address = True

    with Server((ADDRESS, port), PythonHandler) as server:
        server.serve_forever()


def ping_pong(port):
    sock = socket.create_connection((ADDRESS, port))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    message = b"x" * 16

    def one():
        sock.sendall(message)
        sock.recv(16)

    return one


def zelk_add(port):
    from zelk.client import connect

    add = connect("calc", port=port).add
    return lambda: add(1, 2)


def raw_add(port):
    from zelk.protocol import REQUEST
    from zelk.ring import Connection

    sock = socket.create_connection((ADDRESS, port))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    conn, ids = Connection(sock), iter(range(1, 1 << 62))

    def one():
        conn.send((REQUEST, next(ids), "calc.add", (1, 2), {}))
        conn.recv()

    return one


MEASURES = {
    "floor: Python socket ping-pong, 16 bytes": (serve_echo, ping_pong),
    "zelk add(1, 2), proxy to zelk.server": (serve_zelk, zelk_add),
    "raw Connection to zelk.server": (serve_zelk, raw_add),
    "raw Connection to plain-Python handler": (serve_python, raw_add),
}


def cpu_seconds(process):
    times = process.cpu_times()
    return times.user + times.system


def measure():
    """{name: (median seconds per call, median CPU seconds per call of both ends)}."""
    ctx, me = get_context("spawn"), psutil.Process()
    running = {}
    try:
        for name, (serve, connect) in MEASURES.items():
            proc, port = start_server(ctx, serve)
            call = connect(port)
            for _ in range(2000):
                call()
            start = time.perf_counter()
            for _ in range(500):
                call()
            per_call = (time.perf_counter() - start) / 500
            running[name] = (proc, psutil.Process(proc.pid), call, max(1, round(BATCH_S / per_call)), [], [])
        for _ in range(ROUNDS):
            for name, (proc, server, call, n, times, cpus) in running.items():
                cpu = cpu_seconds(me) + cpu_seconds(server)
                start = time.perf_counter()
                for _ in range(n):
                    call()
                times.append((time.perf_counter() - start) / n)
                cpus.append((cpu_seconds(me) + cpu_seconds(server) - cpu) / n)
    finally:
        for proc, *_ in running.values():
            stop_server(proc)
    return {name: (statistics.median(t), statistics.median(c)) for name, (*_, t, c) in running.items()}


def report(title, figures):
    floor = figures["floor: Python socket ping-pong, 16 bytes"][0]
    print(title)
    for name, (latency, cpu) in figures.items():
        print(f"  {name:42}{latency * 1e6:7.1f} us/call  {latency / floor:5.2f}x floor   CPU {cpu * 1e6:6.1f} us/call")
    zelk = figures["raw Connection to zelk.server"][0]
    plain = figures["raw Connection to plain-Python handler"][0]
    add = figures["zelk add(1, 2), proxy to zelk.server"][0]
    print(f"  zelk add(1, 2) / floor: {add / floor:.2f}x (target 1.3x); zelk.server / plain-Python handler: "
          f"{zelk / plain:.2f}x (target 0.75x)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--one", choices=["pinned", "unpinned"], help="measure in this process only")
    args = parser.parse_args()
    if args.one:
        figures = measure()
        title = f"{args.one}: CPUs {sorted(os.sched_getaffinity(0))}, ZELK_WATCH_US={os.environ.get('ZELK_WATCH_US', '(default)')}"
        report(title, figures)
        return
    for mode, prefix in [("pinned", ["taskset", "-c", "0"]), ("unpinned", [])]:
        subprocess.run([*prefix, sys.executable, __file__, "--one", mode], check=True)


if __name__ == "__main__":
    main()
