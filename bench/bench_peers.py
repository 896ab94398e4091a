"""add(1, 2) round trips and 8 MiB echoes (bytes, float64 array) through zelk, next to
multiprocessing.connection, RPyC, Pyro5 and grpcio, in one run: once with both ends pinned to one core,
once unpinned, each in a process of its own started as it will run (under `taskset` when pinned), as
a reader decides whether to watch its socket from the processors it may run on when zelk is imported.

The baseline is multiprocessing.connection (a Listener/Client pair with a small dispatch loop): the
ratios printed at the end are zelk's figures over its figures. Every server runs in a spawned process
of its own on a free loopback port; the stacks take turns round by round, so that other work on a
shared machine weighs on all of them alike, and each figure is the median of the rounds.
"""

import argparse
import importlib
import json
import os
import subprocess
import sys
import pickle
import statistics
import threading
import time
from multiprocessing import get_context
from typing import Callable, NamedTuple

import numpy as np
from servers import ADDRESS, pin, start_server, stop_server

PAYLOAD = 8 * 1024 * 1024
ROUNDS = 9
# Each round's batch is sized to take about this long, so that fast and slow stacks are timed over
# comparable stretches rather than over equal counts.
ADD_BATCH_S = 0.06
ECHO_BATCH_S = 0.12
# Large enough for the 8 MiB payload plus pickling overhead; gRPC refuses 4 MiB and up by default.
GRPC_OPTIONS = [
    ("grpc.max_send_message_length", 64 * 1024 * 1024),
    ("grpc.max_receive_message_length", 64 * 1024 * 1024),
]
GRPC_SERVICE = "bench.Calc"


def dumps5(obj):
    return pickle.dumps(obj, protocol=5)


class Calc:
    def add(self, a, b):
        return a + b

    def echo(self, x):
        return x

    def echo_pickled(self, blob):
        # Stacks that cannot carry arrays get them pickled; unpickling here makes the server hold a real
        # array, as it does with zelk and with multiprocessing.connection.
        return dumps5(pickle.loads(blob))


class Calls(NamedTuple):
    add: Callable
    echo_bytes: Callable
    echo_array: Callable
    close: Callable


class Stack:
    name = ""
    modules: tuple[str, ...] = ()
    missing = "not installed"

    def available(self):
        try:
            for module in self.modules:
                importlib.import_module(module)
        except ImportError:
            return False
        return True

    def serve(self, port):
        raise NotImplementedError

    def connect(self, port) -> Calls:
        raise NotImplementedError


class Zelk(Stack):
    name = "zelk"
    modules = ("zelk.server", "zelk.client")
    missing = "skipped: zelk.server / zelk.client cannot be imported yet"

    def serve(self, port):
        from zelk.server import serve

        serve(Calc(), alias="bench", host=ADDRESS, port=port)

    def connect(self, port):
        from zelk.client import connect

        proxy = connect("bench", host=ADDRESS, port=port)
        return Calls(proxy.add, proxy.echo, proxy.echo, proxy._client.close)


class MpConnection(Stack):
    name = "multiprocessing.connection"
    modules = ("multiprocessing.connection",)

    def serve(self, port):
        from multiprocessing.connection import Listener

        calc = Calc()
        with Listener((ADDRESS, port)) as listener:
            while True:
                conn = listener.accept()
                threading.Thread(target=self.dispatch, args=(calc, conn), daemon=True).start()

    @staticmethod
    def dispatch(calc, conn):
        with conn:
            try:
                while True:
                    method, args = conn.recv()
                    conn.send(getattr(calc, method)(*args))
            except (EOFError, OSError):
                pass

    def connect(self, port):
        from multiprocessing.connection import Client

        conn = Client((ADDRESS, port))

        def remote(method):
            def call(*args):
                conn.send((method, args))
                return conn.recv()

            return call

        return Calls(remote("add"), remote("echo"), remote("echo"), conn.close)


class Rpyc(Stack):
    name = "RPyC"
    modules = ("rpyc",)
    config = {"sync_request_timeout": 120}

    def serve(self, port):
        import rpyc
        from rpyc.utils.server import ThreadedServer

        calc = Calc()

        class CalcService(rpyc.Service):
            def exposed_add(self, a, b):
                return calc.add(a, b)

            def exposed_echo(self, x):
                return calc.echo(x)

            def exposed_echo_pickled(self, blob):
                return calc.echo_pickled(blob)

        ThreadedServer(CalcService, hostname=ADDRESS, port=port, protocol_config=self.config).start()

    def connect(self, port):
        import rpyc

        conn = rpyc.connect(ADDRESS, port, config=self.config)
        # Looking a method up on conn.root is a round trip of its own; a program calling in a loop
        # would keep the reference, so the timed calls do too.
        root = conn.root
        echo_pickled = root.echo_pickled
        return Calls(root.add, root.echo, lambda a: pickle.loads(echo_pickled(dumps5(a))), conn.close)


class Pyro(Stack):
    name = "Pyro5"
    modules = ("Pyro5.api",)

    def serve(self, port):
        import Pyro5.api

        daemon = Pyro5.api.Daemon(host=ADDRESS, port=port)
        daemon.register(Pyro5.api.expose(Calc)(), "bench")
        daemon.requestLoop()

    def connect(self, port):
        import Pyro5.api

        proxy = Pyro5.api.Proxy(f"PYRO:bench@{ADDRESS}:{port}")
        # The default serializer, serpent, sends bytes as base64 text; marshal carries them as they are.
        proxy._pyroSerializer = "marshal"
        proxy._pyroBind()
        return Calls(proxy.add, proxy.echo, lambda a: pickle.loads(proxy.echo_pickled(dumps5(a))),
                     proxy._pyroRelease)


class Grpc(Stack):
    name = "grpcio"
    modules = ("grpc",)

    def serve(self, port):
        from concurrent import futures

        import grpc

        calc = Calc()

        def unary(fn, loads=None, dumps=None):
            return grpc.unary_unary_rpc_method_handler(fn, request_deserializer=loads, response_serializer=dumps)

        handlers = {
            "add": unary(lambda request, context: calc.add(*request), pickle.loads, pickle.dumps),
            "echo": unary(lambda request, context: calc.echo(request)),
            "echo_array": unary(lambda request, context: calc.echo(request), pickle.loads, dumps5),
        }
        # gRPC turns SO_REUSEPORT on by default, which would let a stray server on the same port take
        # half the connections.
        server = grpc.server(futures.ThreadPoolExecutor(max_workers=4),
                             options=GRPC_OPTIONS + [("grpc.so_reuseport", 0)])
        server.add_generic_rpc_handlers((grpc.method_handlers_generic_handler(GRPC_SERVICE, handlers),))
        server.add_insecure_port(f"{ADDRESS}:{port}")
        server.start()
        server.wait_for_termination()

    def connect(self, port):
        import grpc

        channel = grpc.insecure_channel(f"{ADDRESS}:{port}", options=GRPC_OPTIONS)
        grpc.channel_ready_future(channel).result(timeout=30)
        add = channel.unary_unary(f"/{GRPC_SERVICE}/add", request_serializer=pickle.dumps,
                                  response_deserializer=pickle.loads)
        echo = channel.unary_unary(f"/{GRPC_SERVICE}/echo")
        echo_array = channel.unary_unary(f"/{GRPC_SERVICE}/echo_array", request_serializer=dumps5,
                                         response_deserializer=pickle.loads)
        return Calls(lambda a, b: add((a, b)), echo, echo_array, channel.close)


STACKS = {stack.name: stack for stack in (Zelk(), MpConnection(), Rpyc(), Pyro(), Grpc())}
WORKLOADS = ("add", "bytes", "array")


def run_server(name, port):
    STACKS[name].serve(port)


def timed(fn, args, n):
    start = time.perf_counter()
    for _ in range(n):
        fn(*args)
    return (time.perf_counter() - start) / n


def prepare(calls, payload, array):
    """Checks each call's answer, warms it up and sizes its batch; returns {workload: (fn, args, n)}."""
    plan = {
        "add": (calls.add, (1, 2), ADD_BATCH_S),
        "bytes": (calls.echo_bytes, (payload,), ECHO_BATCH_S),
        "array": (calls.echo_array, (array,), ECHO_BATCH_S),
    }
    if calls.add(1, 2) != 3:
        raise RuntimeError("add(1, 2) answered wrong")
    if calls.echo_bytes(payload) != payload:
        raise RuntimeError("the bytes came back changed")
    if not np.array_equal(calls.echo_array(array), array):
        raise RuntimeError("the array came back changed")
    batches = {}
    for workload, (fn, args, batch_s) in plan.items():
        per_call = timed(fn, args, 200 if workload == "add" else 2)
        batches[workload] = (fn, args, max(1, round(batch_s / per_call)))
    return batches


def measure(ctx, cpu, payload, array):
    """{stack: {workload: median seconds per call}} or {stack: why it has no figures}, for one mode."""
    everywhere = os.sched_getaffinity(0)
    if cpu is not None:
        pin(os.getpid(), {cpu})
    results, running = {}, {}
    for name, stack in STACKS.items():
        if not stack.available():
            results[name] = stack.missing
            continue
        proc = None
        try:
            proc, port = start_server(ctx, run_server, name)
            if cpu is not None:
                pin(proc.pid, {cpu})
            calls = stack.connect(port)
            running[name] = (proc, calls, prepare(calls, payload, array))
        except Exception as e:
            results[name] = f"failed: {e!r}"[:80]
            if proc is not None:
                stop_server(proc)
    samples = {name: {workload: [] for workload in WORKLOADS} for name in running}
    for _ in range(ROUNDS):
        for name, (proc, calls, batches) in list(running.items()):
            try:
                for workload, (fn, args, n) in batches.items():
                    samples[name][workload].append(timed(fn, args, n))
            except Exception as e:
                results[name] = f"failed: {e!r}"[:80]
                del running[name]
                calls.close()
                stop_server(proc)
    for name, (proc, calls, _) in running.items():
        results[name] = {workload: statistics.median(t) for workload, t in samples[name].items()}
        calls.close()
        stop_server(proc)
    if cpu is not None:
        pin(os.getpid(), everywhere)
    return {name: results[name] for name in STACKS}


def print_table(modes):
    header = (f"{'':28}{'add(1, 2)':^20}  {'8 MiB bytes echo':^27}  {'8 MiB float64 echo':^27}\n"
              f"{'stack':28}{'us/call':>10}{'calls/s':>10}  {'us/call':>10}{'calls/s':>9}{'GB/s':>8}"
              f"  {'us/call':>10}{'calls/s':>9}{'GB/s':>8}")
    print("\n".join(line.rstrip() for line in header.splitlines()))
    for title, results in modes:
        print(f"-- {title}")
        for name, r in results.items():
            if isinstance(r, str):
                print(f"{name:28}{r}")
                continue
            line = f"{name:28}{r['add'] * 1e6:10.1f}{1 / r['add']:10.0f}"
            for workload in ("bytes", "array"):
                t = r[workload]
                line += f"  {t * 1e6:10.0f}{1 / t:9.1f}{2 * PAYLOAD / t / 1e9:8.2f}"
            print(line)


def print_ratios(modes):
    base = MpConnection.name
    print(f"{'zelk / ' + base:52}" + "".join(f"{title.split(',')[0]:>10}" for title, _ in modes))
    rows = {
        "add(1, 2) round trip (lower is better)": lambda z, m: z["add"] / m["add"],
        # Throughput is the inverse of the time per echo, so its ratio is the time ratio turned over.
        "8 MiB bytes echo throughput (higher is better)": lambda z, m: m["bytes"] / z["bytes"],
        "8 MiB float64 echo throughput (higher is better)": lambda z, m: m["array"] / z["array"],
    }
    for label, ratio in rows.items():
        line = f"  {label:50}"
        for _, results in modes:
            zelk, mp = results.get(Zelk.name), results.get(base)
            line += f"{ratio(zelk, mp):9.2f}x" if isinstance(zelk, dict) and isinstance(mp, dict) else f"{'n/a':>10}"
        print(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--one", metavar="CPU", help="measure in this process only, pinned to CPU or 'unpinned'; print JSON")
    args = parser.parse_args()
    if args.one is not None:
        rng = np.random.default_rng(0)
        # Random bytes, so that a stack that compresses its messages gains nothing it would not in use.
        payload = rng.bytes(PAYLOAD)
        array = rng.random(PAYLOAD // 8)
        cpu = None if args.one == "unpinned" else int(args.one)
        print(json.dumps(measure(get_context("spawn"), cpu, payload, array)))
        return
    cpu = max(os.sched_getaffinity(0))
    modes = []
    for title, prefix, one in [(f"pinned, both ends on CPU {cpu}", ["taskset", "-c", str(cpu)], str(cpu)),
                               (f"unpinned, CPUs {sorted(os.sched_getaffinity(0))}", [], "unpinned")]:
        run = subprocess.run([*prefix, sys.executable, __file__, "--one", one], check=True, stdout=subprocess.PIPE, text=True)
        # The servers' own lines come through the same pipe: the figures are the line of JSON.
        modes.append((title, json.loads([line for line in run.stdout.splitlines() if line.startswith("{")][-1])))
    print(f"median of {ROUNDS} rounds after a warm-up; the stacks take turns each round; "
          "GB/s counts the 8 MiB both ways")
    print_table(modes)
    print_ratios(modes)
    print("arrays: zelk natively, multiprocessing.connection through its pickling, the others as pickle protocol 5\n"
          "bytes unpickled and pickled again by the server; Pyro5 with the marshal serializer; RPyC at its\n"
          "defaults (it zlib-compresses messages over 3 kB); grpcio with generic handlers, raw bytes for the echo")


if __name__ == "__main__":
    main()
