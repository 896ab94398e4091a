"""What allowed_classes costs: calls carrying one Fraction and a hundred, with the list and without.

- decoding: BytePacker.unpack of the request record against AllowedClasses.unpack of it, in this
  process, and the difference per pickled value (each Fraction travels as a pickle of its own);
- a whole call: echo(value) through zelk.client against zelk.server serving with allowed_classes and
  without, with the CPU time per call of client and server together beside each latency.

Medians of several rounds, the measurements taking turns each round. "pinned" runs the whole benchmark
under `taskset -c 0`, as the processes then start: both ends share one core.
"""

import argparse
import fractions
import os
import statistics
import subprocess
import sys
import time
from multiprocessing import get_context

import psutil
from servers import start_server, stop_server

ROUNDS = 9
BATCH_S = 0.1
VALUES = {"1 Fraction": fractions.Fraction(1, 3), "100 Fractions": [fractions.Fraction(i, 7) for i in range(100)]}
PICKLES = {"1 Fraction": 1, "100 Fractions": 100}


class Calc:
    def echo(self, value):
        return value


def serve(allowed, port):
    from zelk.server import serve

    sys.stdout = open(os.devnull, "w")
    serve(Calc(), alias="calc", port=port, allowed_classes=[fractions.Fraction] if allowed else None)


def cpu_seconds(process):
    times = process.cpu_times()
    return times.user + times.system


def batch_size(call):
    start = time.perf_counter()
    for _ in range(200):
        call()
    return max(1, round(BATCH_S / ((time.perf_counter() - start) / 200)))


def rounds(calls, cpu=lambda: 0.0):
    """{name: (median seconds per call, median CPU seconds per call)} of calls taking turns."""
    sizes = {name: batch_size(call) for name, call in calls.items()}
    times, cpus = {name: [] for name in calls}, {name: [] for name in calls}
    for _ in range(ROUNDS):
        for name, call in calls.items():
            n, used = sizes[name], cpu()
            start = time.perf_counter()
            for _ in range(n):
                call()
            times[name].append((time.perf_counter() - start) / n)
            cpus[name].append((cpu() - used) / n)
    return {name: (statistics.median(times[name]), statistics.median(cpus[name])) for name in calls}


def decoding():
    from zelk.protocol import AllowedClasses, BytePacker

    allowed = AllowedClasses([fractions.Fraction])
    calls = {}
    for name, value in VALUES.items():
        packet = BytePacker.pack((0, 1, "calc.echo", (value,), {}))
        assert allowed.unpack(packet) == BytePacker.unpack(packet)
        calls[(name, False)] = lambda packet=packet: BytePacker.unpack(packet)
        calls[(name, True)] = lambda packet=packet: allowed.unpack(packet)
    return rounds(calls)


def whole_calls():
    from zelk.client import connect

    ctx, me = get_context("spawn"), psutil.Process()
    servers = {allowed: start_server(ctx, serve, allowed) for allowed in (False, True)}
    try:
        procs = [psutil.Process(proc.pid) for proc, _ in servers.values()]
        calls = {}
        for allowed, (_, port) in servers.items():
            echo = connect("calc", port=port).echo
            for name, value in VALUES.items():
                assert echo(value) == value
                calls[(name, allowed)] = lambda echo=echo, value=value: echo(value)
        return rounds(calls, lambda: cpu_seconds(me) + sum(cpu_seconds(p) for p in procs))
    finally:
        for proc, _ in servers.values():
            stop_server(proc)


def report(title, figures, with_cpu):
    print(title)
    for name in VALUES:
        (plain, plain_cpu), (listed, listed_cpu) = figures[(name, False)], figures[(name, True)]
        extra = (listed - plain) / PICKLES[name]
        cpu = f"   CPU {plain_cpu * 1e6:7.1f} / {listed_cpu * 1e6:7.1f} us/call" if with_cpu else ""
        print(f"  {name:14} without {plain * 1e6:7.1f} us, with {listed * 1e6:7.1f} us: "
              f"{extra * 1e6:+5.2f} us per pickled value (target < 2){cpu}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--one", choices=["pinned", "unpinned"], help="measure in this process only")
    args = parser.parse_args()
    if args.one:
        print(f"{args.one}: CPUs {sorted(os.sched_getaffinity(0))}")
        report("  decoding the request, in this process:", decoding(), with_cpu=False)
        report("  a whole call, echo(value) to zelk.server:", whole_calls(), with_cpu=True)
        return
    for mode, prefix in [("pinned", ["taskset", "-c", "0"]), ("unpinned", [])]:
        subprocess.run([*prefix, sys.executable, __file__, "--one", mode], check=True)


if __name__ == "__main__":
    main()
