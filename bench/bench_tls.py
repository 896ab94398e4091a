"""What TLS costs a zelk call: add(1, 2) round trips and 8 MiB echoes (bytes and a float64 array)
through a plain server and a TLS one, in one run, and their ratios.

Both servers run in spawned processes of their own on free loopback ports, with a certificate made
for the run (trustme, a test extra); the client trusts it. The two take turns round by round, so that
other work on a shared machine weighs on both alike, and each figure is the median of the rounds.
Run it under `taskset -c 0` to pin both ends to one core; GB/s counts the payload both ways.
"""

import os
import ssl
import statistics
import tempfile
import time
from multiprocessing import get_context

import numpy as np
import trustme

from servers import ADDRESS, start_server, stop_server

PAYLOAD = 8 * 1024 * 1024
ROUNDS = 9
ADD_BATCH_S = 0.06
ECHO_BATCH_S = 0.15


class Calc:
    def add(self, a, b):
        return a + b

    def echo(self, x):
        return x


def serve_calc(certfile, port):
    from zelk.server import serve

    context = None
    if certfile:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(certfile)
    serve(Calc(), alias="calc", host=ADDRESS, port=port, ssl_context=context)


def timed(fn, arg, n):
    start = time.perf_counter()
    for _ in range(n):
        fn(*arg)
    return (time.perf_counter() - start) / n


def main():
    from zelk.client import connect

    ctx = get_context("spawn")
    ca = trustme.CA()
    issued = ca.issue_cert(ADDRESS)
    client_context = ssl.create_default_context()
    ca.configure_trust(client_context)
    payload = os.urandom(PAYLOAD)
    array = np.random.default_rng(1).random(PAYLOAD // 8)
    workloads = {"add": ((1, 2), ADD_BATCH_S), "bytes": ((payload,), ECHO_BATCH_S), "array": ((array,), ECHO_BATCH_S)}
    with tempfile.TemporaryDirectory() as folder:
        pem = os.path.join(folder, "server.pem")  # the key and its chain, for the server process
        with open(pem, "wb") as f:
            f.write(issued.private_key_and_cert_chain_pem.bytes())
        modes = {"plain": (None, None), "TLS": (pem, client_context)}
        procs, calls = [], {}
        try:
            for mode, (certfile, context) in modes.items():
                proc, port = start_server(ctx, serve_calc, certfile)
                procs.append(proc)
                calc = connect("calc", host=ADDRESS, port=port, timeout=60.0, ssl_context=context)
                if calc.add(1, 2) != 3 or not np.array_equal(calc.echo(array), array) or calc.echo(payload) != payload:
                    raise SystemExit(f"the {mode} server answered wrongly")
                calls[mode] = {"add": calc.add, "bytes": calc.echo, "array": calc.echo}
            # Each batch takes about its target time on the plain server; both get the same count.
            batches = {w: max(1, round(target / timed(calls["plain"][w], args, 3 if w != "add" else 300)))
                       for w, (args, target) in workloads.items()}
            samples = {(mode, w): [] for mode in modes for w in workloads}
            for _ in range(ROUNDS):
                for mode in modes:
                    for w, (args, _) in workloads.items():
                        samples[mode, w].append(timed(calls[mode][w], args, batches[w]))
        finally:
            for proc in procs:
                stop_server(proc)

    median = {key: statistics.median(values) for key, values in samples.items()}
    print(f"zelk over TLS and without, CPUs {sorted(os.sched_getaffinity(0))}, median of {ROUNDS} rounds:")
    print(f"  {'':8}{'add(1, 2) us/call':>20}{'8 MiB bytes GB/s':>20}{'8 MiB float64 GB/s':>20}")
    for mode in modes:
        rates = [2 * PAYLOAD / median[mode, w] / 1e9 for w in ("bytes", "array")]
        print(f"  {mode:8}{median[mode, 'add'] * 1e6:20.1f}{rates[0]:20.2f}{rates[1]:20.2f}")
    ratios = {w: median["TLS", w] / median["plain", w] for w in workloads}
    print(f"  TLS / plain, time per call: add {ratios['add']:.2f}x, bytes echo {ratios['bytes']:.2f}x, "
          f"array echo {ratios['array']:.2f}x")


if __name__ == "__main__":
    main()
