"""zelk.protocol's run-length compression and shared-memory values, in one run.

compress/decompress of a 10 MB boolean mask (and of a 10 MB float64 step signal) next to the
plain numpy calls that give the same pair; dumpv + loadv of a 100 MB array next to sending the
same array as one message through a Connection over a socketpair.
"""

import os
import socket
import threading
import time

import numpy as np

from zelk.protocol import compress, decompress, dumpv, loadv
from zelk.ring import Connection

MB = 1024 * 1024


def numpy_compress(a):
    index = np.r_[0, np.flatnonzero(np.diff(a)) + 1]
    return a[index], np.diff(np.r_[index, len(a)])


def best(fn, repeat):
    """Best wall time of `repeat` calls of fn, in seconds."""
    return best_of({"": fn}, repeat)[""]


def best_of(variants, repeat):
    """Best wall time of each variant, in seconds. The variants take turns, so that other work on a
    shared machine weighs on all of them alike."""
    times = {name: [] for name in variants}
    for _ in range(repeat):
        for name, fn in variants.items():
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    return {name: min(t) for name, t in times.items()}


def run_length(name, a):
    heads, lengths = compress(a)
    expected = numpy_compress(a)
    assert np.array_equal(heads, expected[0]) and np.array_equal(lengths, expected[1])
    assert np.array_equal(decompress(heads, lengths), a)
    size = a.nbytes / MB
    # Each direction on its own: a 10 MB result costs page faults or not depending on what the
    # allocator was given back just before, so the variants that take turns should be alike.
    t = best_of({"zelk compress": lambda: compress(a), "numpy compress": lambda: numpy_compress(a)}, 40)
    t |= best_of({
        "zelk decompress": lambda: decompress(heads, lengths),
        "numpy repeat": lambda: np.repeat(heads, lengths),
        "np.empty + fill": lambda: np.empty(len(a), a.dtype).fill(1),
    }, 40)
    print(f"{name}: {a.nbytes / 1e6:.1f} MB, {len(heads)} runs")
    for label, seconds in t.items():
        print(f"  {label:<18} {seconds * 1e3:8.2f} ms  {size / seconds:9.0f} MB/s")
    print(f"  numpy / zelk: compress {t['numpy compress'] / t['zelk compress']:.1f}x, "
          f"decompress {t['numpy repeat'] / t['zelk decompress']:.1f}x (np.empty + fill: the floor of any decompress)")


def shared_values(array):
    name = f"zelk-bench-{os.getpid()}"
    descriptor, block_name, shm = dumpv(array, name)
    try:
        _, view = loadv(descriptor, block_name)
        assert np.array_equal(view, array)
        del view

        def fresh_block():
            d, n, block = dumpv(array, f"{name}-{time.perf_counter_ns()}")
            block.close()
            block.unlink()

        reuse = best(lambda: dumpv(array, shm=shm), 10)
        fresh = best(fresh_block, 5)
        attach = best(lambda: loadv(descriptor, block_name)[0].close(), 20)
    finally:
        shm.close()
        shm.unlink()

    left, right = socket.socketpair()
    sender, receiver = Connection(left), Connection(right)

    def through_connection():
        thread = threading.Thread(target=sender.send, args=(array,))
        thread.start()
        got = receiver.recv()
        thread.join()
        assert got.nbytes == array.nbytes

    try:
        wire = best(through_connection, 5)
    finally:
        sender.close(), receiver.close()

    size = array.nbytes / MB
    print(f"float64 array of {array.nbytes / 1e6:.0f} MB handed to another reader:")
    print(f"  dumpv into a new block     {fresh * 1e3:8.2f} ms  {size / fresh:7.0f} MB/s  (create, copy, unlink)")
    print(f"  dumpv into its block again {reuse * 1e3:8.2f} ms  {size / reuse:7.0f} MB/s  (copy only)")
    print(f"  loadv                      {attach * 1e3:8.2f} ms  (attach and view; no copy)")
    print(f"  Connection send + recv     {wire * 1e3:8.2f} ms  {size / wire:7.0f} MB/s  (socketpair)")
    print(f"  Connection / (dumpv + loadv): {wire / (reuse + attach):.1f}x with the block reused, "
          f"{wire / (fresh + attach):.1f}x with a new one")


def main():
    rng = np.random.default_rng(0)
    n = 10 * MB
    mask = np.repeat(np.arange(n // 1000) % 2 == 0, rng.integers(1000, 3000, n // 1000))[:n]
    run_length("boolean mask", mask)
    steps = np.repeat(rng.random(n // 8 // 500), 500)
    run_length("float64 step signal", steps)
    shared_values(rng.random(100 * MB // 8))


if __name__ == "__main__":
    main()
