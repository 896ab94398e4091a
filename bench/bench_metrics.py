"""What metrics and tracing cost a call: add(1, 2) with metrics off, on, and with OpenTelemetry's SDK set.

Per call, the median of several rounds, the measures taking turns each round (and each round
starting with the next one):

- metrics off: `serve(...)` as every server is served by default;
- metrics on: `serve(..., metrics=True)`, scraped once a round as a Prometheus would;
- OpenTelemetry: metrics off, and a tracer provider (spans batched to an exporter that drops them)
  and a meter provider set in both the client's and the server's process;
- with --before PYTHON (repeatable), metrics off again with the zelk each interpreter imports (a
  build before metrics existed), so that "off" can be held against it in the same sitting.

Every server and every client runs in a process of its own; beside each latency, the CPU time per
call of client and server together. "pinned" runs the whole benchmark under `taskset -c 0`, as the
processes then start: both ends share one core.
"""

import argparse
import os
import socket
import statistics
import subprocess
import sys
import time

import psutil

ROUNDS = 9
BATCH_S = 0.2

# One side of a measure, run as `python -c WORKER role port mode`: a server, or a client that makes
# calls in batches on request (a count on stdin, its seconds and CPU seconds on stdout).
WORKER = r"""
import os, socket, sys, time
role, port, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3]
if mode == "otel":
    from opentelemetry import metrics, trace
    from opentelemetry.sdk.metrics import MeterProvider
    from opentelemetry.sdk.metrics.export import InMemoryMetricReader
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import BatchSpanProcessor, SpanExporter, SpanExportResult

    class Dropped(SpanExporter):
        def export(self, spans):
            return SpanExportResult.SUCCESS

    provider = TracerProvider()
    provider.add_span_processor(BatchSpanProcessor(Dropped()))
    trace.set_tracer_provider(provider)
    metrics.set_meter_provider(MeterProvider(metric_readers=[InMemoryMetricReader()]))

class Calc:
    def add(self, a, b):
        return a + b

if role == "server":
    from zelk.server import serve
    sys.stdout = open(os.devnull, "w")
    settings = {"metrics": True} if mode == "on" else {}  # the build before metrics knows no such keyword
    serve(Calc(), alias="calc", port=port, **settings)
else:
    from zelk.client import connect
    add = connect("calc", port=port).add
    for line in sys.stdin:
        n = int(line)
        cpu, start = time.process_time(), time.perf_counter()
        for _ in range(n):
            add(1, 2)
        print(time.perf_counter() - start, time.process_time() - cpu, flush=True)
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(process):
    times = process.cpu_times()
    return times.user + times.system


class Measure:
    """A server and a client process of one kind, the client making calls on request."""

    def __init__(self, python, mode):
        self.mode, port = mode, free_port()
        # Run from the root: a checkout's zelk/ folder in the working directory would hide the build under test.
        self.server = subprocess.Popen([python, "-c", WORKER, "server", str(port), mode], cwd="/")
        deadline = time.monotonic() + 60
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if self.server.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(f"the {mode} server did not start") from None
                time.sleep(0.05)
        self.port, self.server_process = port, psutil.Process(self.server.pid)
        self.client = subprocess.Popen([python, "-c", WORKER, "client", str(port), mode], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, text=True, cwd="/")
        self.batch(3000)  # warm up
        seconds, _ = self.batch(1000)
        self.n = max(1, round(BATCH_S / (seconds / 1000)))
        self.times, self.cpus = [], []

    def batch(self, n):
        """(seconds, CPU seconds of both ends) for n calls."""
        server_cpu = cpu_seconds(self.server_process)
        self.client.stdin.write(f"{n}\n")
        self.client.stdin.flush()
        seconds, client_cpu = map(float, self.client.stdout.readline().split())
        return seconds, client_cpu + cpu_seconds(self.server_process) - server_cpu

    def round(self):
        seconds, cpu = self.batch(self.n)
        self.times.append(seconds / self.n)
        self.cpus.append(cpu / self.n)
        if self.mode == "on":  # as a Prometheus scraping every round would
            with socket.create_connection(("127.0.0.1", self.port)) as sock:
                sock.sendall(b"GET /metrics HTTP/1.1\r\nHost: bench\r\n\r\n")
                while sock.recv(65536):
                    pass

    def close(self):
        for proc in (self.client, self.server):
            proc.kill()
            proc.wait()


def measure(before):
    kinds = {"metrics off": (sys.executable, "off"), "metrics on": (sys.executable, "on"),
             "OpenTelemetry SDK set": (sys.executable, "otel")}
    for i, python in enumerate(before):
        kinds[f"metrics off, before #{i + 1}"] = (python, "off")
    measures = {}
    try:
        for name, (python, mode) in kinds.items():
            measures[name] = Measure(python, mode)
        order = list(measures.values())
        for i in range(ROUNDS):
            for m in order[i % len(order):] + order[:i % len(order)]:  # each takes each place in turn
                m.round()
    finally:
        for m in measures.values():
            m.close()
    return {name: (statistics.median(m.times), statistics.median(m.cpus)) for name, m in measures.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--one", choices=["pinned", "unpinned"], help="measure in this process only")
    parser.add_argument("--before", metavar="PYTHON", action="append", default=[],
                        help="an interpreter whose zelk is a build to compare 'off' with (repeatable)")
    args = parser.parse_args()
    if args.one:
        figures = measure(args.before)
        print(f"{args.one}: CPUs {sorted(os.sched_getaffinity(0))}"
              + "".join(f"; before #{i + 1}: {python}" for i, python in enumerate(args.before)))
        off = figures["metrics off"]
        for name, (latency, cpu) in figures.items():
            print(f"  {name:34}{latency * 1e6:7.2f} us/call ({(latency - off[0]) * 1e6:+6.2f})   "
                  f"CPU {cpu * 1e6:6.2f} us/call ({(cpu - off[1]) * 1e6:+6.2f})")
        return
    before = [option for python in args.before for option in ("--before", python)]
    for mode, prefix in [("pinned", ["taskset", "-c", "0"]), ("unpinned", [])]:
        subprocess.run([*prefix, sys.executable, __file__, "--one", mode, *before], check=True)


if __name__ == "__main__":
    main()
