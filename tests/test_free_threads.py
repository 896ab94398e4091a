"""Faults that threads sharing zelk's objects meet when they run in parallel.

Each section is one fault, shown on a build with the GIL wherever it can be: a thread that runs
while another holds no GIL (numpy releases it for long work, and so does zelk), or a hook that runs
Python code in the middle of zelk's work. Every loop is bounded; a test passes however the threads
happen to interleave, and only a fault can make it fail.
"""

import contextlib
import io
import socket
import subprocess
import sys
import threading
import time
from multiprocessing.shared_memory import SharedMemory

import numpy as np
import pytest

from conftest import free_port, run_in_threads, start_served, stop_served
from zelk.client import close, connect
from zelk.protocol import BytePacker, decompress
from zelk.ring import Connection


pytestmark = pytest.mark.usefixtures("quick_thread_switches")


def run_beside(work, disturb):
    """Runs disturb(stop) in a thread of its own while work() runs here, then stops and joins it."""
    stop, started, errors = threading.Event(), threading.Barrier(2), []

    def disturber():
        try:
            started.wait()
            disturb(stop)
        except BaseException as e:  # handed to the test's thread below
            errors.append(e)

    thread = threading.Thread(target=disturber)
    thread.start()
    try:
        started.wait()
        work()
    finally:
        stop.set()
        thread.join()
    if errors:
        raise errors[0]


# ---- Unpacking text from memory that someone else writes to -----------------------------------

# Toggles one byte of a shared-memory block until told to stop (or a great many times): a writer in
# a process of its own holds no GIL, so it writes while the test's thread decodes.
TOGGLER = """
import sys
from multiprocessing.shared_memory import SharedMemory

block = SharedMemory(name=sys.argv[1], track=False)
memory, at, stop = block.buf, int(sys.argv[2]), int(sys.argv[2]) + 1
print("toggling", flush=True)
for _ in range(100_000_000):
    if memory[stop]:
        break
    memory[at] ^= 0x88  # "a" and "\\xe9" in turn
del memory
block.close()
"""


def test_text_unpacked_from_memory_written_meanwhile_is_what_was_checked():
    message = BytePacker.pack(["a" * (1 << 25)])
    block = SharedMemory(create=True, size=len(message) + 1, track=False)
    try:
        block.buf[: len(message)] = message
        toggler = subprocess.Popen([sys.executable, "-c", TOGGLER, block.name, str(len(message) - 1)],
                                   stdout=subprocess.PIPE, text=True)
        try:
            assert toggler.stdout.readline() == "toggling\n"
            with block.buf[: len(message)] as packed:
                for _ in range(30):
                    try:
                        [back] = BytePacker.unpack(packed)
                    except UnicodeDecodeError:
                        continue  # the last byte was no UTF-8 when copied: refused, as it should be
                    # An ASCII str holds ASCII bytes; one made from bytes checked before they changed may not.
                    holds_what_it_says = not back.isascii() or back.encode("ascii").isascii()
                    assert holds_what_it_says, "a str marked ASCII holds other bytes"
        finally:
            block.buf[len(message)] = 1
            toggler.wait()
            toggler.stdout.close()
    finally:
        block.close()
        block.unlink()


# ---- Packing a dict that another thread changes ------------------------------------------------


def test_a_dict_is_packed_as_one_state_of_it():
    # The time-outs only end a run that a fault has already broken.
    changed, resumed = threading.Barrier(2, timeout=60), threading.Barrier(2, timeout=60)

    class ChangesTheDict:
        """Its serialization waits while the other thread deletes and re-inserts a packed key."""

        def __reduce__(self):
            if not packed_once:
                packed_once.append(True)
                changed.wait()
                resumed.wait()
            return (str, ("changed while packed",))

    packed_once = []
    shared = {"first": ChangesTheDict(), **{f"key{i}": i for i in range(9)}}
    keys = list(shared)

    def reinsert_first(stop):
        changed.wait()
        for _ in range(40):  # enough to make the dict compact its entries
            shared["first"] = shared.pop("first")
        resumed.wait()

    packed = []
    run_beside(lambda: packed.append(BytePacker.pack(shared)), reinsert_first)
    back = BytePacker.unpack(packed[0])
    assert list(back) == keys
    assert back == {"first": "changed while packed", **{f"key{i}": i for i in range(9)}}


@pytest.mark.parametrize("kind", [list, dict])
def test_containers_that_another_thread_changes_are_packed_as_one_state(kind):
    # Each state holds consecutive numbers; one thread slides the window while this one packs it.
    window = list(range(50)) if kind is list else dict.fromkeys(range(50), 0.5)
    slid = [0]

    def slide(stop):
        for n in range(50, 1_000_000):
            if stop.is_set():
                return
            if kind is list:
                window.append(n), window.pop(0)
            else:
                window[n] = 0.5
                del window[n - 50]
            slid[0] += 1

    def pack_states():
        for packs in range(1_000_000):
            if slid[0] >= 20_000 and packs >= 20_000:
                return
            numbers = list(BytePacker.unpack(BytePacker.pack(window)))
            assert numbers == list(range(numbers[0], numbers[0] + len(numbers))) and len(numbers) in (50, 51)

    run_beside(pack_states, slide)


# ---- Decompressing with lengths that another thread writes to ----------------------------------


def test_decompress_fills_from_the_lengths_it_checked():
    head = 1 << 24  # long enough a fill for the other thread to write meanwhile
    values = np.array([0, 1], dtype=np.uint8)
    lengths = np.array([head, 40_000])

    def grow_and_shrink(stop):
        while not stop.is_set():
            lengths[1] = head
            lengths[1] = 40_000

    def decompress_repeatedly():
        for _ in range(30):  # each fill runs without the GIL, so the writes land meanwhile
            out = decompress(values, lengths)
            assert len(out) in (head + 40_000, 2 * head)
            assert not out[:head].any() and out[head:].all()

    run_beside(decompress_repeatedly, grow_and_shrink)


# ---- The server's statistics and last caller, read while handler threads write them ------------

SERVED = """
import sys
from zelk.server import serve

class Calc:
    def __getattr__(self, name):  # any method name: each new one grows the server's statistics
        if name.startswith("m"):
            return lambda: name
        raise AttributeError(name)

serve(Calc(), alias="calc", port=int(sys.argv[1]))
"""


@pytest.fixture(scope="module")
def server():
    port = free_port()
    proc = start_served(SERVED, port)
    yield port
    stop_served(proc)


def test_stats_and_client_answer_whole_copies_while_they_change(server):
    """Half the threads connect and call new methods (the dicts grow and shrink), half read them:
    every answer decodes, and every last caller seen is one of the callers (checked once all have
    called, since a caller is known to the server before its thread can note its address)."""
    callers, seen, lock, rounds = set(), [], threading.Lock(), 40

    def work(i):
        if i % 2:
            reader = connect("calc", port=server, errors="raise")
            reader.ping(0)
            with lock:
                callers.add(reader.laddr)  # a reader is a caller too
            for _ in range(rounds):
                stats, last = reader.stats(), reader.client()
                assert all(isinstance(record, dict) for record in stats.values())
                with lock:
                    seen.append((last["host"], last["port"]))
            return
        for n in range(rounds):
            writer = connect("calc", port=server, errors="raise")
            assert getattr(writer, f"m{i}_{n}")() == f"m{i}_{n}"
            with lock:
                callers.add(writer.laddr)
            close(writer)

    with contextlib.redirect_stdout(io.StringIO()):  # the clients' closing lines
        run_in_threads(work, count=8)
    assert set(seen) <= callers | {("", 0)}


# ---- A connection closed while another thread reads it ------------------------------------------


def test_closing_waits_for_a_read_on_the_descriptor_and_steals_from_no_later_socket():
    a, b = socket.socketpair()
    reader, done = Connection(a), []
    waiting = threading.Barrier(2)

    def read():
        waiting.wait()
        try:
            done.append(reader.recv())
        except OSError as e:
            done.append(e)

    thread = threading.Thread(target=read)
    thread.start()
    waiting.wait()
    time.sleep(0.05)  # most likely inside the read by now; either way the outcome is the same
    reader.close()  # wakes the read, then lets the descriptor go
    thread.join(30)
    assert not thread.is_alive() and (done[0] is None or isinstance(done[0], OSError))
    pairs = [socket.socketpair() for _ in range(8)]  # the closed descriptor's number comes back here
    for x, y in pairs:
        x.sendall(b"mine")
        assert y.recv(4) == b"mine"
        x.close(), y.close()
    b.close()


# ---- Threads sharing one client call in parallel ---------------------------------------------------


def test_threads_sharing_one_proxy_get_their_own_answers_in_parallel(server):
    proxy = connect("calc", port=server)
    ping = proxy.ping
    threads, calls = 16, 50

    def work(i):
        for k in range(calls):
            assert ping((i, k)) == (i, k)

    run_in_threads(work, count=threads)
    assert proxy._client._msgid == threads * calls  # one sequence of ids, each sent once
    close(proxy)


def test_a_single_caller_sees_one_connection_and_its_ids_in_order(server):
    proxy = connect("calc", port=server)
    ids = []
    first = None
    for n in range(20):
        assert proxy.ping(n) == n
        first = first or proxy._client._connection
        assert proxy._client._connection is first
        ids.append(proxy._client._msgid)
    assert ids == list(range(1, 21))
    close(proxy)
