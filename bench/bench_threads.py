"""Threads that share one client against threads with a client each, against one server in a process
of its own: calls per second of 16 threads for a few seconds, through one shared proxy and through 16
proxies of their own, (a) of a served method that waits 1 ms and (b) of add(1, 2); then 16 threads
making 5 calls each of a method that waits 0.1 s through one proxy, and how long they take.

The ratio shared / separate is what counts: threads sharing a client should lose little to it.
"""

import functools
import os
import sys
import threading
import time
from multiprocessing import get_context

from servers import ADDRESS, calls_per_second, start_server, stop_server

THREADS = 16
RUN_S = 3.0


class Work:
    def add(self, a, b):
        return a + b

    def nap(self, seconds):
        time.sleep(seconds)
        return seconds


def serve(port):
    from zelk.server import serve

    sys.stdout = open(os.devnull, "w")
    serve(Work(), alias="work", host=ADDRESS, port=port)


def threads_calling(proxies, call):
    return calls_per_second([functools.partial(call, proxies[i % len(proxies)]) for i in range(THREADS)], RUN_S)


def main():
    from zelk.client import connect

    sys.stdout.reconfigure(line_buffering=True)
    proc, port = start_server(get_context("spawn"), serve)
    quiet = open(os.devnull, "w")
    real, sys.stdout = sys.stdout, quiet  # the clients' printers
    try:
        shared = connect("work", port=port, timeout=60)
        separate = [connect("work", port=port, timeout=60) for _ in range(THREADS)]
        rows = []
        for label, call in [("a method that waits 1 ms", lambda p: p.nap(0.001)), ("add(1, 2)", lambda p: p.add(1, 2))]:
            threads_calling([shared], call)  # warms up the shared client's connections
            one = threads_calling([shared], call)
            own = threads_calling(separate, call)
            rows.append(f"{label:<26} shared {one:>9.0f} calls/s   separate {own:>9.0f} calls/s   shared/separate {one / own:.2f}")
        started = time.perf_counter()
        barrier = threading.Barrier(THREADS)

        def five_naps():
            barrier.wait()
            for _ in range(5):
                shared.nap(0.1)

        threads = [threading.Thread(target=five_naps) for _ in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        rows.append(f"{THREADS} threads x 5 calls of a 0.1 s method through one proxy: {time.perf_counter() - started:.2f} s")
    finally:
        sys.stdout = real
        stop_server(proc)
    print(f"{THREADS} threads for {RUN_S:.0f} s each, one server (pid affinity: {sorted(os.sched_getaffinity(0))})")
    for row in rows:
        print(row)


if __name__ == "__main__":
    main()
