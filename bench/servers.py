"""Benchmark servers in processes of their own, on free loopback ports."""

import socket
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
