"""Benchmark servers in processes of their own, on free loopback ports, and what their measurements share."""

import os
import socket
import threading
import time

ADDRESS = "127.0.0.1"


def free_port():
    with socket.socket() as s:
        s.bind((ADDRESS, 0))
        return s.getsockname()[1]


def start_server(ctx, target, *args):
    """Runs target(*args, port) in a new process of `ctx`; returns (process, port) once it listens."""
    port = free_port()
    proc = ctx.Process(target=target, args=(*args, port), daemon=True)
    proc.start()
    deadline = time.monotonic() + 60
    while True:
        if not proc.is_alive():
            raise RuntimeError(f"server exited with code {proc.exitcode}")
        try:
            socket.create_connection((ADDRESS, port), timeout=1).close()
            return proc, port
        except OSError:
            if time.monotonic() > deadline:
                stop_server(proc)
                raise RuntimeError("server did not listen within 60 s") from None
            time.sleep(0.05)


def stop_server(proc):
    proc.terminate()
    proc.join(5)
    if proc.is_alive():
        proc.kill()
        proc.join()


def pin(pid, cpus):
    # sched_setaffinity acts on one thread; a process's threads are all listed under its task folder.
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            os.sched_setaffinity(int(tid), cpus)
        except (ProcessLookupError, FileNotFoundError):
            pass


def read_exactly(sock, buffer):
    """Fills `buffer` from `sock`; False when the peer closed first."""
    view, got = memoryview(buffer), 0
    while got < len(buffer):
        n = sock.recv_into(view[got:])
        if n == 0:
            return False
        got += n
    return True


def in_threads(works, seconds, batch=1):
    """Runs each of `works` (functions of no arguments) again and again in a thread of its own for
    `seconds`, started together, `batch` runs between looks at the clock: (runs per second, CPU
    seconds per run), all threads together."""
    counts, cpu = [0] * len(works), [0.0] * len(works)
    ready, done = threading.Barrier(len(works) + 1), threading.Event()

    def run(i):
        work, n = works[i], 0
        ready.wait()
        started = time.thread_time()
        while not done.is_set():
            for _ in range(batch):
                work()
            n += batch
        cpu[i], counts[i] = time.thread_time() - started, n

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(works))]
    for t in threads:
        t.start()
    ready.wait()
    started = time.perf_counter()
    time.sleep(seconds)
    done.set()
    for t in threads:
        t.join()
    return sum(counts) / (time.perf_counter() - started), sum(cpu) / max(sum(counts), 1)


def calls_per_second(calls, duration):
    """The calls made per second by each of `calls` in a thread of its own for `duration` seconds,
    all threads together."""
    return in_threads(calls, duration)[0]
