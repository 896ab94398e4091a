"""zelk.ring over a socketpair, next to plain-Python socket loops, in one run.

Small records: Connection.send + recv of a call record, against a loop that does the same sendall
and recv of the same framed bytes (without packing), and against the same framing written in Python
on top of BytePacker. Large arrays: one 100 MB array message sent from a thread (written in pieces
with sendmsg, read into the bytes the array then views), against a raw sendall / recv_into of 100 MB;
then into fresh memory each time, from a sender process, Connection.recv and a raw recv_into a new
bytearray taking turns, each keeping what it received while the other runs.
"""

import mmap
import multiprocessing
import socket
import statistics
import struct
import sys
import threading
import time

import numpy as np

from zelk.protocol import BytePacker
from zelk.ring import Connection

RECORD = (0, 7, "calc.add", (1, 2), {})
SMALL_ROUNDS = 4_000


def best_of(repeats, fn):
    return min(fn() for _ in range(repeats))


def small_zelk(a, b):
    for _ in range(SMALL_ROUNDS):
        a.send(RECORD)
        b.recv()


def small_plain(a, b, message):
    for _ in range(SMALL_ROUNDS):
        a.sendall(message)
        b.recv(65536)


def small_python_framing(a, b):
    pack, unpack = BytePacker.pack, BytePacker.unpack
    for _ in range(SMALL_ROUNDS):
        packet = pack(RECORD)
        a.sendall(struct.pack("Q", len(packet)) + packet)
        chunk = b.recv(65536)
        (size,) = struct.unpack("Q", chunk[:8])
        response = bytearray(chunk[8:])
        while len(response) < size:
            response += b.recv(65536)
        unpack(response)


def best_cpu_per_round(variants, repeat=25):
    """Best CPU time per round of each variant; the variants take turns, so that other work on a
    shared machine weighs on all of them alike, and CPU time leaves out waiting for a core."""
    times = {name: [] for name in variants}
    for _ in range(repeat):
        for name, fn in variants.items():
            start = time.process_time()
            fn()
            times[name].append((time.process_time() - start) / SMALL_ROUNDS)
    return {name: min(t) for name, t in times.items()}


def large_zelk(a, b, array):
    sender = threading.Thread(target=a.send, args=(array,))
    start = time.perf_counter()
    sender.start()
    received = b.recv()
    sender.join()
    elapsed = time.perf_counter() - start
    assert received.shape == array.shape
    return elapsed


class FramesOnly(Connection):
    """Collects messages without decoding them, to time the framing and the socket alone."""

    def unpack(self, response):
        return len(response)


def large_transport(a, b, framed):
    sender = threading.Thread(target=a.sendall, args=(framed,))
    start = time.perf_counter()
    sender.start()
    b.recv()
    sender.join()
    return time.perf_counter() - start


def large_raw(a, b, payload, fresh=False):
    # The array's own memory, as zelk sends it: an untouched bytearray would be read from the
    # kernel's one zero page, always in cache. The target is written before the clock starts,
    # unless `fresh`: a receiver that hands its buffer over, as zelk's does to the array, needs new
    # memory for each message, and the kernel zeroes each page of it on first touch.
    payload = memoryview(payload).cast("B")
    size = len(payload)
    sender = threading.Thread(target=a.sendall, args=(payload,))
    target = None if fresh else bytearray(size)
    start = time.perf_counter()
    if fresh:
        target = np.empty(size, np.uint8)  # memory as the array's, not yet touched
    view = memoryview(target)
    sender.start()
    got = 0
    while got < size:
        got += b.recv_into(view[got:], min(size - got, 65536 * 16))
    sender.join()
    return time.perf_counter() - start


def send_framed(sock, framed, count):
    for _ in range(count):
        if not sock.recv(1):  # the receiver's go
            return
        sock.sendall(framed)


def large_fresh(rounds=6):
    """GiB/s of Connection.recv, of a raw recv_into a new bytearray, and of the same into a new mapping
    advised to take huge pages (what Connection.recv did with such a packet before), 100 MB each time
    into memory never used before in the process: what each received stays alive until the next runs."""
    kinds = ("zelk", "raw", "raw, huge pages")
    a, b = socket.socketpair()
    framed = Connection(a).pack(np.random.default_rng(0).random(100 * 1024 * 1024 // 8))
    sender = multiprocessing.get_context("fork").Process(target=send_framed, args=(a, framed, len(kinds) * (rounds + 1)))
    sender.start()
    conn, kept, rates = Connection(b), [], {kind: [] for kind in kinds}
    for run in range(len(kinds) * (rounds + 1)):
        kind = kinds[run % len(kinds)]
        b.sendall(b"g")
        start = time.perf_counter()
        if kind == "zelk":
            value = conn.recv()
        else:
            head = b.recv(8, socket.MSG_WAITALL)
            size = int.from_bytes(head, sys.byteorder)
            if kind == "raw":
                value = bytearray(size)
            else:
                value = mmap.mmap(-1, size)
                value.madvise(mmap.MADV_HUGEPAGE)
            view, got = memoryview(value), 0
            while got < len(value):
                got += b.recv_into(view[got:], min(len(value) - got, 1 << 20))
            del view
        elapsed = time.perf_counter() - start
        if run >= len(kinds):  # the first of each is a new process's, paying more than any later one
            rates[kind].append(len(framed) / elapsed / 2**30)
        kept = [*kept[-1:], value]
    sender.join()
    a.close()
    b.close()
    return {kind: statistics.median(r) for kind, r in rates.items()}


def main():
    a, b = socket.socketpair()
    ca, cb = Connection(a), Connection(b)
    message = ca.pack(RECORD)
    t = best_cpu_per_round({"zelk": lambda: small_zelk(ca, cb), "plain": lambda: small_plain(a, b, message),
                            "framing": lambda: small_python_framing(a, b)})
    zelk, plain, framing = t["zelk"], t["plain"], t["framing"]
    print("small records: best CPU time per round trip, the variants taking turns")
    print(f"small record, Connection.send+recv     {zelk * 1e6:7.2f} us")
    print(f"small record, plain sendall+recv       {plain * 1e6:7.2f} us   zelk/plain   {zelk / plain:.2f}x (target <= 1.5x)")
    print(f"small record, Python framing+packer    {framing * 1e6:7.2f} us   zelk/python  {zelk / framing:.2f}x"
          " (target <= 1.0x)")

    array = np.random.default_rng(0).random(100 * 1024 * 1024 // 8)
    size = len(ca.pack(array))
    zelk_s = best_of(3, lambda: large_zelk(ca, cb, array))
    raw_s = best_of(3, lambda: large_raw(a, b, array))
    print(f"100 MB array, Connection.send+recv     {zelk_s * 1e3:7.1f} ms   {size / zelk_s / 1e9:5.2f} GB/s")
    print(f"100 MB raw, sendall+recv_into          {raw_s * 1e3:7.1f} ms   {size / raw_s / 1e9:5.2f} GB/s"
          f"   zelk/raw throughput {raw_s / zelk_s:.0%} (target >= 70%)")
    fresh_s = best_of(3, lambda: large_raw(a, b, array, fresh=True))
    print(f"100 MB raw into new memory each time  {fresh_s * 1e3:7.1f} ms   {size / fresh_s / 1e9:5.2f} GB/s"
          f"   zelk/raw throughput {fresh_s / zelk_s:.0%}")
    fresh = large_fresh()
    print(f"100 MB into fresh memory, taking turns: Connection.recv {fresh['zelk']:.2f} GiB/s, raw recv_into a new"
          f" bytearray {fresh['raw']:.2f} GiB/s   zelk/raw {fresh['zelk'] / fresh['raw']:.0%} (target >= 100%);"
          f" raw into new huge pages {fresh['raw, huge pages']:.2f} GiB/s")
    packed = BytePacker.pack(array)
    pack_s = best_of(3, lambda: timed(BytePacker.pack, array))
    unpack_s = best_of(3, lambda: timed(BytePacker.unpack, bytearray(packed)))
    framed = ca.pack(array)
    transport_s = best_of(3, lambda: large_transport(a, FramesOnly(b), framed))
    print(f"  of which BytePacker.pack {pack_s * 1e3:.1f} ms, BytePacker.unpack {unpack_s * 1e3:.1f} ms")
    print(f"100 MB framed, Connection.recv alone   {transport_s * 1e3:7.1f} ms   {size / transport_s / 1e9:5.2f} GB/s"
          f"   framing+socket/raw throughput {raw_s / transport_s:.0%}")
    a.close()
    b.close()


def timed(fn, arg):
    start = time.perf_counter()
    fn(arg)
    return time.perf_counter() - start


if __name__ == "__main__":
    main()
