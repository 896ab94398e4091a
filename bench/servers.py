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


def calls_per_second(calls, duration):
    """Runs each of `calls` (functions of no arguments) again and again in a thread of its own for
    `duration` seconds, started together; the calls made per second, all threads together."""
    counts, done = [0] * len(calls), threading.Event()
    ready = threading.Barrier(len(calls) + 1)

    def work(i):
        call, n = calls[i], 0
        ready.wait()
        while not done.is_set():
            call()
            n += 1
        counts[i] = n

    workers = [threading.Thread(target=work, args=(i,)) for i in range(len(calls))]
    for w in workers:
        w.start()
    ready.wait()
    start = time.perf_counter()
    time.sleep(duration)
    done.set()
    for w in workers:
        w.join()
    return sum(counts) / (time.perf_counter() - start)
