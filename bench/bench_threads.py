"""Threads against zelk, in two parts.

Sharing: threads that share one client against threads with a client each, against one server in a
process of its own: calls per second of 16 threads for a few seconds, through one shared proxy and
through 16 proxies of their own, (a) of a served method that waits 1 ms and (b) of add(1, 2); then 16
threads making 5 calls each of a method that waits 0.1 s through one proxy, and how long they take.
The ratio shared / separate is what counts: threads sharing a client should lose little to it.

Free threading: what two cores give with the GIL off, beside the same runs on the GIL build, in one
sitting (rounds alternate between the two interpreters): the codec in two threads (records and 1 MB
arrays, each thread with its own copy and both on one shared record), one server answering two client
processes (a method of some milliseconds of pure Python, and add(1, 2)), two threads sharing one
client, and one client's calls per second and CPU time per call (client and server), pinned to one
core and not. The interpreters are this one and the other of the project's .venv (GIL) and .venv-ft
(free-threaded, made by make test-ft), and any that BENCH_PYTHONS adds ("label=path,..."); the
part is left out when only one exists.
Ratios are two workers' rate over one's; with two cores, 2.0 is the ceiling. Each figure is the best
of ROUNDS runs; "CPU" is CPU time per operation with two workers over that with one, which stays
near 1.0 unless the threads contend (it is also what a loaded machine cannot hide).

    python bench/bench_threads.py [sharing] [free]
"""

import copy
import functools
import json
import os
import pathlib
import subprocess
import sys
import threading
import time
from multiprocessing import get_context

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from servers import ADDRESS, calls_per_second, free_port, in_threads, start_server, stop_server  # noqa: E402

THREADS = 16
RUN_S = 3.0
ROUNDS = int(os.environ.get("ROUNDS", 3))
ROOT = pathlib.Path(__file__).resolve().parent.parent
INTERPRETERS = {"GIL": ROOT / ".venv/bin/python", "free-threaded": ROOT / ".venv-ft/bin/python"}
# Others beside them, "label=path,...": another build of zelk, to compare a change with.
INTERPRETERS.update(pair.split("=", 1) for pair in filter(None, os.environ.get("BENCH_PYTHONS", "").split(",")))
INTERPRETERS = {label: pathlib.Path(path) for label, path in INTERPRETERS.items()}


class Work:
    def add(self, a, b):
        return a + b

    def nap(self, seconds):
        time.sleep(seconds)
        return seconds

    def burn(self, n):
        """Some milliseconds of pure Python."""
        total = 0
        for i in range(n):
            total += i * i % 7
        return total


def serve(port, pinned=False):
    from zelk.server import serve

    if pinned:
        os.sched_setaffinity(0, {0})
    sys.stdout = open(os.devnull, "w")
    serve(Work(), alias="work", host=ADDRESS, port=port)


# ---- sharing ----------------------------------------------------------------------------------------


def threads_calling(proxies, call):
    return calls_per_second([functools.partial(call, proxies[i % len(proxies)]) for i in range(THREADS)], RUN_S)


def sharing():
    from zelk.client import connect

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


# ---- free threading: the measurements, each run by the interpreter it measures ------------------------

# A call whose argument is a dict holding lists; and one of tuples and scalars only.
RECORD = (0, 7, "calc.store", ({"name": "sensor-7", "time": 1714567890.123, "values": [i * 0.5 for i in range(20)],
                               "tags": ["alpha", "beta"], "ok": True, "count": 12345},), {"unit": "mV"})
FLAT_RECORD = (0, 7, "calc.store", ("sensor-7", 1714567890.123, tuple(i * 0.5 for i in range(20)), ("alpha", "beta"),
                                    True, 12345), {})
BURN = 60_000  # a few milliseconds of burn() on these machines


def codec_case(name):
    """A function of a thread's index that gives the work that thread repeats."""
    import numpy as np
    from zelk.protocol import dump, load

    array = np.arange(1 << 17, dtype=np.float64)  # 1 MB
    packed_record, packed_array = dump(RECORD), dump(array)
    return {
        "pack, own record": lambda i: functools.partial(dump, copy.deepcopy(RECORD)),
        "pack, one shared record": lambda i: functools.partial(dump, RECORD),
        "pack, one shared record of tuples": lambda i: functools.partial(dump, FLAT_RECORD),
        "unpack, record": lambda i: functools.partial(load, bytes(packed_record)),
        "pack, 1 MB array": lambda i: functools.partial(dump, array.copy()),
        "unpack, 1 MB array": lambda i: functools.partial(load, bytes(packed_array)),
        "bytes(1 MB bytearray), no zelk": lambda i: functools.partial(bytes, bytearray(1 << 20)),
        "a loop of pure Python, no zelk": lambda i: functools.partial(sum, range(1000)),
    }[name]


# The last two are the interpreter alone: a new 1 MB bytes object per call, as packing a 1 MB array
# makes, and a loop that shares nothing, which shows how much of the second core the run was given.
CODEC_CASES = ["pack, own record", "pack, one shared record", "pack, one shared record of tuples", "unpack, record",
               "pack, 1 MB array", "unpack, 1 MB array", "bytes(1 MB bytearray), no zelk", "a loop of pure Python, no zelk"]


def measure_codec(name, workers, seconds=1.0):
    make = codec_case(name)
    return in_threads([make(i) for i in range(workers)], seconds, batch=20)


def client_process(port, method, seconds, threads, start_at, pinned):
    """One client process: `threads` threads sharing one client call `method` from `start_at` (a
    time.time()) for `seconds`; prints its calls and CPU seconds as JSON."""
    from zelk.client import connect

    if pinned:
        os.sched_setaffinity(0, {0})
    sys.stdout, out = open(os.devnull, "w"), sys.stdout
    proxy = connect("work", host=ADDRESS, port=port, timeout=60)
    call = {"add": lambda: proxy.add(1, 2), "burn": lambda: proxy.burn(BURN)}[method]
    for _ in range(20):
        call()
    time.sleep(max(0.0, start_at - time.time()))
    cpu = time.process_time()
    rate, _ = in_threads([call] * threads, seconds)
    out.write(json.dumps({"calls": rate * seconds, "cpu": time.process_time() - cpu}) + "\n")


def measure_calls(method, processes, threads, seconds, pinned=False):
    """One server and `processes` client processes of `threads` threads each, all of this interpreter:
    (calls per second, client CPU seconds per call, server CPU seconds per call)."""
    import psutil

    port = free_port()
    server = subprocess.Popen([sys.executable, __file__, "--serve", str(port), str(int(pinned))])
    try:
        wait_for(port)
        start_at = time.time() + 1.0
        clients = [subprocess.Popen([sys.executable, __file__, "--client", str(port), method, str(seconds), str(threads),
                                     repr(start_at), str(int(pinned))], stdout=subprocess.PIPE, text=True)
                   for _ in range(processes)]
        time.sleep(max(0.0, start_at - time.time()))
        server_cpu = sum(psutil.Process(server.pid).cpu_times()[:2])
        results = [json.loads(c.communicate()[0]) for c in clients]
        server_cpu = sum(psutil.Process(server.pid).cpu_times()[:2]) - server_cpu
    finally:
        server.kill()
        server.wait()
    calls = sum(r["calls"] for r in results)
    return calls / seconds, sum(r["cpu"] for r in results) / calls, server_cpu / calls


def wait_for(port):
    import socket

    deadline = time.monotonic() + 60
    while True:
        try:
            socket.create_connection((ADDRESS, port), timeout=1).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                raise RuntimeError("the server did not listen within 60 s") from None
            time.sleep(0.05)


# ---- free threading: the rounds and the table --------------------------------------------------------

def measurements():
    """(label, the runs with one worker and with two, unit, which CPU time: 1 the workers', 2 the server's)."""
    rows = []
    for name in CODEC_CASES:
        rows.append((f"{'' if 'no zelk' in name else 'codec: '}{name}", [("codec", name, 1), ("codec", name, 2)], "ops/s", 1))
    rows.append(("server: burn(), 1 -> 2 client processes", [("calls", "burn", 1, 1), ("calls", "burn", 2, 1)], "calls/s", 2))
    rows.append(("server: add(1, 2), 1 -> 2 client processes", [("calls", "add", 1, 1), ("calls", "add", 2, 1)], "calls/s", 2))
    rows.append(("client: add(1, 2), 1 -> 2 threads sharing it", [("calls", "add", 1, 1), ("calls", "add", 1, 2)], "calls/s", 1))
    return rows


def run_here(job):
    """One measurement in this interpreter, ("codec", case, workers) or ("calls", method, processes,
    threads[, pinned]): (rate, CPU seconds per operation[, server CPU per call])."""
    kind, *settings = job
    if kind == "codec":
        return measure_codec(*settings)
    if kind == "calls":
        method, processes, threads, *pinned = settings
        return measure_calls(method, processes, threads, 2.0, pinned=bool(pinned and pinned[0]))
    raise ValueError(job)


def run_in(python, jobs):
    result = subprocess.run([str(python), __file__, "--measure", json.dumps(jobs)], capture_output=True, text=True,
                            cwd=ROOT, timeout=900)
    if result.returncode:
        raise RuntimeError(f"{python}: {result.stderr[-2000:]}")
    return json.loads(result.stdout.strip().splitlines()[-1])


def free_threading():
    pythons = {label: path for label, path in INTERPRETERS.items() if path.exists()}
    if len(pythons) < 2:
        print(f"free threading: needs both {INTERPRETERS['GIL']} and {INTERPRETERS['free-threaded']} (make test, make test-ft)")
        return
    rows = measurements()
    single = [("pinned", ("calls", "add", 1, 1, True)), ("unpinned", ("calls", "add", 1, 1, False))]
    jobs = [job for _, pair, _, _ in rows for job in pair] + [job for _, job in single]
    best = {label: [None] * len(jobs) for label in pythons}
    for _ in range(ROUNDS):
        for label, python in pythons.items():
            for k, got in enumerate(run_in(python, jobs)):
                kept = best[label][k]
                best[label][k] = got if kept is None else [max(got[0], kept[0]), *(min(a, b) for a, b in zip(got[1:], kept[1:]))]
    print(f"free threading: best of {ROUNDS} rounds; xN = two workers' rate / one's (2.0 is the ceiling on two cores);"
          f" CPU = CPU time per operation (the server's for server rows) with two / with one")
    for label, python in pythons.items():
        print(f"  {label}: {python}")
    print(f"{'':<48}" + "".join(f"{label:>36}" for label in pythons))
    for k, (label, _, unit, cpu) in enumerate(rows):
        cells = []
        for name in pythons:
            one, two = best[name][2 * k], best[name][2 * k + 1]
            cells.append(f"{one[0]:>10.0f} {unit:<7} x{two[0] / one[0]:4.2f}  CPU x{two[cpu] / one[cpu]:4.2f}")
        print(f"{label:<48}" + "".join(f"{c:>36}" for c in cells))
    print("one client, add(1, 2) one after another: calls/s, latency, CPU per call in the client + the server")
    for j, (how, _) in enumerate(single):
        cells = []
        for name in pythons:
            rate, client_cpu, server_cpu = best[name][2 * len(rows) + j]
            cells.append(f"{rate:>7.0f}/s {1e6 / rate:5.1f} us  {1e6 * client_cpu:4.1f}+{1e6 * server_cpu:4.1f} us")
        print(f"  {how:<46}" + "".join(f"{c:>36}" for c in cells))


def main():
    sys.stdout.reconfigure(line_buffering=True)
    parts = sys.argv[1:] or ["sharing", "free"]
    if "sharing" in parts:
        sharing()
    if "free" in parts:
        free_threading()


if __name__ == "__main__":
    if sys.argv[1:2] == ["--serve"]:
        serve(int(sys.argv[2]), pinned=sys.argv[3] == "1")
    elif sys.argv[1:2] == ["--client"]:
        port, method, seconds, threads, start_at, pinned = sys.argv[2:8]
        client_process(int(port), method, float(seconds), int(threads), float(start_at), pinned == "1")
    elif sys.argv[1:2] == ["--measure"]:
        print(json.dumps([run_here(job) for job in json.loads(sys.argv[2])]))
    else:
        main()
