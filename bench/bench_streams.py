"""Streams next to one call per item, and a stream of arrays next to one 8 MiB echo call, in one run:
once with both ends pinned to CPU 0 (`taskset -c 0`), once unpinned, each in a process of its own
started as it will run, with the server in a process it starts.

Figures are the medians of the rounds; the variants take turns within each round, so that other
work on a shared machine weighs on all of them alike. CPU time is each process's own (user and
system) over the items it handled, the client's and the server's apart.
"""

import argparse
import json
import statistics
import subprocess
import sys
import time
from multiprocessing import get_context

import numpy as np
from servers import start_server, stop_server

ROUNDS = 5
ITEMS = 1_000_000          # small ints in one stream
CALLS_S = 0.5              # one call per item: as many calls as take about this long
ARRAY_BYTES = 256 * 1024   # each array of the array stream
ARRAYS = 512               # arrays in one stream: 128 MiB
ECHO_BYTES = 8 * 1024 * 1024
ECHO_CALLS = 16


class Source:
    def count(self, n):
        for i in range(n):
            yield i

    def arrays(self, n, size):
        array = np.random.default_rng(0).random(size // 8)
        for _ in range(n):
            yield array

    def one(self, i):
        return i

    def echo(self, value):
        return value

    def cpu(self):
        return time.process_time()


def serve_source(port):
    from zelk.server import serve

    serve(Source(), alias="source", port=port)


def timed(source, run, count):
    """(seconds, client CPU s, server CPU s) of run(), which handles `count` items."""
    server_before, client_before = source.cpu(), time.process_time()
    start = time.perf_counter()
    run()
    elapsed = time.perf_counter() - start
    client = time.process_time() - client_before
    return elapsed / count, client / count, (source.cpu() - server_before) / count


def measure():
    from zelk import client as zelk_client

    proc, port = start_server(get_context("spawn"), serve_source)
    try:
        source = zelk_client.connect("source", port=port, errors="raise")
        one = source.one
        for i in range(2000):  # warm-up
            one(i)
        calls = max(1, int(CALLS_S / timed(source, lambda: [one(i) for i in range(2000)], 2000)[0]))
        array = np.random.default_rng(0).random(ECHO_BYTES // 8)
        streams = hasattr(zelk_client, "Stream")

        def per_call():
            for i in range(calls):
                one(i)

        def count_stream():
            for _ in source.count(ITEMS):
                pass

        def echo():
            for _ in range(ECHO_CALLS):
                source.echo(array)

        def array_stream():
            for _ in source.arrays(ARRAYS, ARRAY_BYTES):
                pass

        variants = {"one call per item": (per_call, calls), "8 MiB echo": (echo, ECHO_CALLS)}
        if streams:
            variants["stream of ints"] = (count_stream, ITEMS)
            variants["stream of 256 KiB arrays"] = (array_stream, ARRAYS)
        figures = {name: [] for name in variants}
        for _ in range(ROUNDS):
            for name, (run, count) in variants.items():
                figures[name].append(timed(source, run, count))
        zelk_client.close(source)
        return {name: [statistics.median(f[i] for f in runs) for i in range(3)] for name, runs in figures.items()}
    finally:
        stop_server(proc)


def report(title, figures):
    print(f"\n{title}")
    per_call = figures["one call per item"]
    for name, (seconds, client, server) in figures.items():
        print(f"  {name:26} {1 / seconds:12,.0f} /s   {seconds * 1e6:8.2f} us each   "
              f"CPU client {client * 1e6:7.2f} us, server {server * 1e6:7.2f} us")
    echo = figures["8 MiB echo"][0]
    print(f"  8 MiB echo: {ECHO_BYTES / echo / 2**30:.2f} GiB/s one way, {2 * ECHO_BYTES / echo / 2**30:.2f} GiB/s both ways")
    if "stream of ints" in figures:
        ints = figures["stream of ints"][0]
        print(f"  stream of ints: {1 / ints / 1e6:.2f} M items/s (target >= 1 M pinned), "
              f"{per_call[0] / ints:.1f}x one call per item (target >= 20x)")
        arrays = figures["stream of 256 KiB arrays"][0]
        rate = ARRAY_BYTES / arrays
        print(f"  stream of arrays: {rate / 2**30:.2f} GiB/s, {rate / (ECHO_BYTES / echo):.0%} of the echo's one way, "
              f"{rate / (2 * ECHO_BYTES / echo):.0%} of its both ways (target >= 70%)")
    else:
        print("  (this zelk has no streams: one call per item and the echo only)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--one", action="store_true", help="measure in this process only; print JSON")
    args = parser.parse_args()
    if args.one:
        print(json.dumps(measure()))
        return
    for title, prefix in [("pinned, both ends on CPU 0", ["taskset", "-c", "0"]), ("unpinned", [])]:
        run = subprocess.run([*prefix, sys.executable, __file__, "--one"], check=True, stdout=subprocess.PIPE, text=True)
        # The server's own lines come through the same pipe: the figures are the line of JSON.
        report(title, json.loads([line for line in run.stdout.splitlines() if line.startswith("{")][-1]))


if __name__ == "__main__":
    main()
