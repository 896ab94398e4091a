"""zelk.aio against the blocking client, each against a server in a process of its own.

1. Sequential `await calc.add(1, 2)` against the blocking `calc.add(1, 2)`, both ends pinned to CPU 0
   and then unpinned, in one sitting; the clients take turns round by round, and each figure is the
   median of the rounds. Beside them, the floor of any asyncio client on the standard event loop:
   the same request, packed once, written through a transport, its answer's arrival resolving a future.
2. Calls per second of 1,000 `calc.add(1, 2)` awaited at once (asyncio.gather), against 16 threads of
   the blocking client making as many calls: 16 threads sharing one proxy, and 16 threads with a
   client each. Unpinned.
"""

import asyncio
import os
import statistics
import sys
import threading
import time
from multiprocessing import get_context

from servers import pin, start_server, stop_server

from zelk import aio
from zelk.client import close, connect
from zelk.ring import ByteStream

ROUNDS = 9
SEQUENTIAL_CALLS = 2000
AT_ONCE = 1000
BATCHES = 4  # gathers of AT_ONCE calls per round of the concurrent part
THREADS = 16


class Calc:
    def add(self, a, b):
        return a + b


def serve_calc(port):
    from zelk.server import serve

    sys.stdout = open(os.devnull, "w")  # its connection lines would drown the figures
    serve(Calc(), alias="calc", port=port)


# ---- sequential ---------------------------------------------------------------------------------


def blocking_sequential(calc, n):
    start = time.perf_counter()
    for _ in range(n):
        calc.add(1, 2)
    return (time.perf_counter() - start) / n


async def aio_sequential(calc, n):
    start = time.perf_counter()
    for _ in range(n):
        await calc.add(1, 2)
    return (time.perf_counter() - start) / n


class Bare(asyncio.BufferedProtocol):
    """Only what every asyncio client does: a write, a read into a buffer, a future resolved."""

    def __init__(self):
        self.buffer = memoryview(bytearray(65536))
        self.answered = None

    def get_buffer(self, sizehint):
        return self.buffer

    def buffer_updated(self, nbytes):
        self.answered.set_result(nbytes)


async def bare_sequential(transport, protocol, n):
    loop = asyncio.get_running_loop()
    request = ByteStream().pack((0, 1, "calc.add", (1, 2), {}))  # the same id each time: no check is made
    start = time.perf_counter()
    for _ in range(n):
        protocol.answered = loop.create_future()
        transport.write(request)
        await protocol.answered
    return (time.perf_counter() - start) / n


def sequential(ctx, cpu):
    """Median seconds per call of each client, with both ends on `cpu` (None: unpinned)."""
    everywhere = os.sched_getaffinity(0)
    if cpu is not None:
        pin(os.getpid(), {cpu})
    proc, port = start_server(ctx, serve_calc)
    if cpu is not None:
        pin(proc.pid, {cpu})
    blocking = connect("calc", port=port, errors="raise")
    loop = asyncio.new_event_loop()
    calc = aio.connect("calc", port=port)
    transport, bare = loop.run_until_complete(loop.create_connection(Bare, "127.0.0.1", port))
    samples = {"blocking": [], "aio": [], "bare": []}
    try:
        assert blocking.add(1, 2) == 3 and loop.run_until_complete(calc.add(1, 2)) == 3
        blocking_sequential(blocking, 200)  # warm-up
        loop.run_until_complete(aio_sequential(calc, 200))
        loop.run_until_complete(bare_sequential(transport, bare, 200))
        for _ in range(ROUNDS):
            samples["blocking"].append(blocking_sequential(blocking, SEQUENTIAL_CALLS))
            samples["aio"].append(loop.run_until_complete(aio_sequential(calc, SEQUENTIAL_CALLS)))
            samples["bare"].append(loop.run_until_complete(bare_sequential(transport, bare, SEQUENTIAL_CALLS)))
    finally:
        transport.close()
        loop.run_until_complete(calc.aclose())
        loop.close()
        close(blocking)
        stop_server(proc)
        pin(os.getpid(), everywhere)
    return {name: statistics.median(times) for name, times in samples.items()}


# ---- many at once -------------------------------------------------------------------------------


async def aio_at_once(calc):
    start = time.perf_counter()
    for _ in range(BATCHES):
        results = await asyncio.gather(*(calc.add(1, 2) for _ in range(AT_ONCE)))
        assert results == [3] * AT_ONCE
    return BATCHES * AT_ONCE / (time.perf_counter() - start)


def threads_at_once(proxies):
    """Calls per second of THREADS threads making BATCHES * AT_ONCE calls in all, proxies[i] for thread i."""
    share = BATCHES * AT_ONCE // THREADS
    barrier = threading.Barrier(THREADS + 1)

    def work(add):
        barrier.wait()
        for _ in range(share):
            add(1, 2)

    threads = [threading.Thread(target=work, args=(proxy.add,)) for proxy in proxies]
    for thread in threads:
        thread.start()
    barrier.wait()
    start = time.perf_counter()
    for thread in threads:
        thread.join()
    return share * THREADS / (time.perf_counter() - start)


def at_once(ctx, limits):
    """Median calls per second of each way of making many calls at once, against one server."""
    proc, port = start_server(ctx, serve_calc)
    shared = connect("calc", port=port, errors="raise")
    own = [connect("calc", port=port, errors="raise") for _ in range(THREADS)]
    loop = asyncio.new_event_loop()
    clients = {limit: aio.connect("calc", port=port, max_connections=limit) for limit in limits}
    samples = {name: [] for name in ("shared", "own", *limits)}
    try:
        threads_at_once([shared] * THREADS)  # warm-up: every connection opened
        threads_at_once(own)
        for calc in clients.values():
            loop.run_until_complete(aio_at_once(calc))
        for _ in range(ROUNDS):
            samples["shared"].append(threads_at_once([shared] * THREADS))
            samples["own"].append(threads_at_once(own))
            for limit, calc in clients.items():
                samples[limit].append(loop.run_until_complete(aio_at_once(calc)))
    finally:
        for calc in clients.values():
            loop.run_until_complete(calc.aclose())
        loop.close()
        for proxy in (shared, *own):
            close(proxy)
        stop_server(proc)
    return {name: statistics.median(rates) for name, rates in samples.items()}


def main():
    # The clients' "closed!" lines go to a printer of their own; keep them out of the table.
    real_stdout, sys.stdout = sys.stdout, open(os.devnull, "w")
    ctx = get_context("spawn")
    try:
        pinned = sequential(ctx, 0)
        unpinned = sequential(ctx, None)
        default = aio.connect.__kwdefaults__["max_connections"]
        limits = sorted({THREADS, default, 100})
        rates = at_once(ctx, limits)
    finally:
        sys.stdout.close()
        sys.stdout = real_stdout
    print(f"sequential add(1, 2), median of {ROUNDS} rounds of {SEQUENTIAL_CALLS} calls, the clients taking turns")
    print(f"{'':34}{'blocking us':>12}{'aio us':>10}{'aio/blocking':>14}{'bare asyncio us':>17}{'bare/blocking':>15}")
    for title, r in (("pinned, both ends on CPU 0", pinned), (f"unpinned, CPUs {sorted(os.sched_getaffinity(0))}", unpinned)):
        print(f"{title:34}{r['blocking'] * 1e6:12.1f}{r['aio'] * 1e6:10.1f}{r['aio'] / r['blocking']:13.2f}x"
              f"{r['bare'] * 1e6:17.1f}{r['bare'] / r['blocking']:14.2f}x")
    print(f"\n{BATCHES} x {AT_ONCE} add(1, 2) per round, median calls/s of {ROUNDS} rounds, unpinned")
    print(f"  blocking, {THREADS} threads sharing one proxy      {rates['shared']:10.0f}")
    print(f"  blocking, {THREADS} threads with a client each     {rates['own']:10.0f}")
    for limit in limits:
        label = f"aio, {AT_ONCE} awaited at once, max_connections={limit}"
        print(f"  {label:46}{rates[limit]:10.0f}{rates[limit] / rates['own']:8.2f}x")


if __name__ == "__main__":
    main()
