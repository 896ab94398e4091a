"""Hostile peers and faults against a server in another process. Beside them, well-behaved clients
keep getting their own answers, and after each fault the server is back to the threads it had and
to memory near where it began."""

import collections
import contextlib
import random
import socket
import struct
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from conftest import (RING, Doorbell, frame, framed, free_port, free_threaded, memory_growth, needs_plain_build, read_to_end,
                      run_in_threads, sanitized)
from zelk.ring import Connection

psutil = pytest.importorskip("psutil")

TARGET = RING + textwrap.dedent("""
    import os, sys, sysconfig, time, tracemalloc
    from zelk.server import serve

    # With the GIL off, the allocator keeps the pages of freed large objects until every thread has
    # passed a quiescent state, for a while after the fault: there the tests watch the traced size.
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        tracemalloc.start()

    class Target:
        def add(self, a, b):
            return a + b

        def echo(self, value):
            return value

        def boom(self):
            raise ValueError("boom")

        def slow(self, seconds, bell=0):
            ring(bell)
            time.sleep(seconds)
            return seconds

        def frozen(self, kind):
            if kind == "cycle":
                cycle = []
                cycle.append(cycle)
                return cycle
            return {"set": frozenset({1}), "int": 2**70}[kind]

        def pid(self):
            return os.getpid()

        def traced(self):
            return tracemalloc.get_traced_memory()[0]

    serve(Target(), "target", port=int(sys.argv[1]), authkey=sys.argv[2].encode() if sys.argv[2:] else None,
          idle_timeout=2.0, max_message_size=64 << 20)
""")

# Generous: the machine is shared, and the sanitizer build is several times slower.
ANSWER_TIMEOUT = 60.0
# The server's: a connection silent (or slow to finish a message) this long is closed, and one that
# announces a message over MAX_MESSAGE is closed at once.
IDLE_TIMEOUT = 2.0
MAX_MESSAGE = 64 << 20
BIG = 32 << 20
# The allocator keeps some of what large messages and a hundred threads freed, for reuse, so the
# resident size does not fall back to the byte (with the GIL off the live size that tracemalloc
# counts is watched instead, see TARGET). A fault that kept even one of its 32 MB messages, or
# a few kB for each of its connections, still shows clearly above this.
GROWTH_ALLOWED = 20 << 20
MB = 1 << 20
MEMORY = "traced" if free_threaded else "rss"


def randbytes(seed, n):
    return random.Random(seed).randbytes(n)


UPGRADE = (b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")


def request(msgid, name, *args):
    return framed((0, msgid, f"target.{name}", args, {}))


def call(connection, name, *args, msgid=1):
    connection.send((0, msgid, f"target.{name}", args, {}))
    return connection.recv()


def reset(sock):
    """Closes with a reset instead of an orderly end, as a crashed peer or a middlebox would."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class Target:
    """The served object's process on a port of its own, started again on the same port by start."""

    def __init__(self, log, authkey=None):
        self.port, self.log, self.authkey, self.baseline = free_port(), log, authkey, None
        self.start()

    def start(self):
        key = [self.authkey.decode()] if self.authkey else []
        with open(self.log, "ab") as out:
            self.popen = subprocess.Popen([sys.executable, "-c", TARGET, str(self.port), *key], stdout=out, stderr=out)
        deadline = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port)).close()
                break
            except ConnectionRefusedError:
                if self.popen.poll() is not None or time.monotonic() > deadline:
                    self.kill()
                    pytest.fail(f"the server did not come up: {self.tail()}")
                time.sleep(0.05)
        self.process = psutil.Process(self.popen.pid)

    def connect(self, timeout=30.0):
        """A connection, retried while nothing listens on the port (the server is being restarted)."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                return Connection(socket.create_connection(("127.0.0.1", self.port), timeout=ANSWER_TIMEOUT))
            except ConnectionRefusedError:
                assert time.monotonic() < deadline, "nothing listens on the port"
                time.sleep(0.02)

    def kill(self):
        self.popen.kill()
        self.popen.wait()

    def tail(self):
        return self.log.read_bytes()[-3000:].decode(errors="replace")

    def settled(self, threads, timeout=20.0):
        """(resident size, thread count) once the thread count is back at `threads`, or time is up."""
        deadline = time.monotonic() + timeout
        while self.process.num_threads() != threads and time.monotonic() < deadline:
            time.sleep(0.02)
        assert self.popen.poll() is None, f"the server died: {self.tail()}"
        return self.process.memory_info().rss, self.process.num_threads()

    def memory(self):
        """The server's resident size; with the GIL off, the size of what it holds (see TARGET)."""
        if not free_threaded:
            return self.process.memory_info().rss
        c = self.connect()
        try:
            return call(c, "traced")[2]
        finally:
            c._socket.close()

    def quiet_threads(self):
        """The thread count once it has not changed for a quarter of a second."""
        counts = []
        while len(counts) < 5 or len(set(counts[-5:])) > 1:
            counts.append(self.process.num_threads())
            time.sleep(0.05)
        return counts[-1]


class Callers:
    """Well-behaved clients, each a thread with a connection of its own, calling until closed. Each
    call has a message id of its own and arguments that name it; each answer is checked against it."""

    def __init__(self, target, count=4):
        self.target, self.count = target, count
        self.calls = self.lost = self.misdelivered = 0
        self.wrong, self.done = [], [0] * count
        self.lock, self.stop = threading.Lock(), threading.Event()
        self.connected = threading.Barrier(count + 1)
        self.threads = [threading.Thread(target=self.run, args=(k,), daemon=True) for k in range(count)]
        for t in self.threads:
            t.start()
        self.connected.wait()

    def run(self, k):
        c = self.target.connect()
        self.connected.wait()
        n = 0
        while not self.stop.is_set():
            n += 1
            msgid = k << 32 | n
            if n % 4:
                name, args, expected = "target.add", (msgid, k), msgid + k
            else:
                name, args, expected = "target.echo", ((k, n, "zé"),), (k, n, "zé")
            try:
                c.send((0, msgid, name, args, {}))
                answer = c.recv()
            except OSError:  # a time-out among them
                answer = None
            with self.lock:
                self.calls += 1
                self.done[k] += 1
                if answer is None:
                    self.lost += 1
                elif answer != (1, msgid, expected):
                    self.misdelivered += 1
                    self.wrong.append((msgid, expected, answer))
            if answer is None:  # the stream may be out of step: start afresh
                c._socket.close()
                c = self.target.connect()
            time.sleep(0.001)  # the faults need the processors too
        c._socket.close()

    def counts(self):
        with self.lock:
            return self.calls, self.lost, self.misdelivered

    def round_trip(self):
        """Waits until each caller has finished a call it began after now: one stuck waiting for a
        lost answer is then counted, once its time-out ends the wait."""
        with self.lock:
            marks = list(self.done)
        deadline = time.monotonic() + 2 * ANSWER_TIMEOUT
        while any(done < mark + 2 for done, mark in zip(self.done, marks)) and time.monotonic() < deadline:
            time.sleep(0.005)

    def close(self):
        self.stop.set()
        for t in self.threads:
            t.join()


# ---- the leak proof and restarts, each against a server of its own -------------------------------


@needs_plain_build
def test_a_hundred_thousand_calls_keep_both_memories_flat(tmp_path, figures):
    from zelk.client import connect

    target = Target(tmp_path / "server.log")
    # Two threads call through zelk.client, two pipeline their calls over raw connections.
    proxies = [connect("target", port=target.port, timeout=ANSWER_TIMEOUT) for _ in range(2)]
    connections, window, per_batch = [target.connect() for _ in range(2)], 25, 250
    array = np.arange(64)
    ids, wrong, batches, server_before = [0] * 4, [], 0, 0

    def arguments(k):
        ids[k] += 1
        msgid = k << 40 | ids[k]
        return (msgid, "target.add", (msgid, k), msgid + k) if ids[k] % 10 else \
            (msgid, "target.echo", (array + ids[k],), array + ids[k])

    def work(k):
        if k < len(proxies):
            for _ in range(per_batch):
                _, name, args, expected = arguments(k)
                if not np.array_equal(proxies[k]._client.call(name, *args), expected):
                    wrong.append(args)
            return
        c = connections[k - len(proxies)]
        for _ in range(per_batch // window):  # a window of calls out, then their answers, in order
            sent = [arguments(k) for _ in range(window)]
            for msgid, name, args, _ in sent:
                c.send((0, msgid, name, args, {}))
            for msgid, _, args, expected in sent:
                kind, got, value = c.recv()
                if got != msgid or not np.array_equal(value, expected):
                    wrong.append(args)

    def batch():
        nonlocal batches, server_before
        if batches == 10:  # memory_growth has warmed up with a tenth of the batches
            server_before = target.process.memory_info().rss
        batches += 1
        run_in_threads(work, count=4)

    try:
        started = time.monotonic()
        client_growth = memory_growth(batch, calls=100)
        elapsed = time.monotonic() - started
        server_growth = target.process.memory_info().rss - server_before
        calls = 100 * 4 * per_batch
        figures(f"leak proof: {calls} calls measured after {calls // 10} to warm up, over 2 zelk.client clients and "
                f"2 pipelined connections in {elapsed:.1f} s ({calls * 1.1 / elapsed:.0f} calls/s); growth: "
                f"client {client_growth / MB:+.2f} MB, server {server_growth / MB:+.2f} MB")
        assert not wrong
        # Forty bytes kept per call would add 4 MB.
        assert client_growth < 4 * MB and server_growth < 4 * MB
    finally:
        target.kill()


def test_a_client_outlives_server_restarts(tmp_path, figures):
    from zelk.client import connect

    target = Target(tmp_path / "server.log")
    proxy = connect("target", port=target.port, timeout=ANSWER_TIMEOUT)
    pids, wrong, failed, errors = [], [], [0], []
    restarts, downtime = 2, 0.0
    # Answers are counted for the server that was up when the call was made: one made before a kill
    # may be answered by either server, so it counts for neither the next one nor the last.
    stop, answered, serving = threading.Event(), [threading.Semaphore(0) for _ in range(restarts + 1)], [0]

    def client():
        # A call the server's death cut short, or made while no server listens, comes back as a text
        # or None; the client renews its connection by itself, and the call is made until answered.
        try:
            n = 0
            while not stop.is_set():
                n += 1
                server = serving[0]
                method, args, expected = (proxy.pid, (), int) if n % 10 == 0 else (proxy.add, (n, 1), n + 1)
                while (answer := method(*args)) is None or isinstance(answer, str):
                    if "Invalid MsgID" in (answer or ""):
                        wrong.append((n, answer))  # the answer to another call
                    failed[0] += 1
                    if stop.wait(0.01):
                        return
                if expected is int and answer not in pids:
                    pids.append(answer)
                elif expected is not int and answer != expected:
                    wrong.append((n, answer))
                answered[server].release()
        except BaseException as e:  # handed to the test's thread
            errors.append(e)

    thread = threading.Thread(target=client)
    thread.start()
    try:
        for i in range(restarts + 1):
            for _ in range(300):
                assert answered[i].acquire(timeout=ANSWER_TIMEOUT) and not errors
            if i < restarts:
                started = time.monotonic()
                target.kill()
                target.start()
                serving[0] = i + 1
                downtime += time.monotonic() - started
    finally:
        target.kill()
        stop.set()
        thread.join()
        with contextlib.suppress(OSError):  # the connection may be closed already
            proxy._client.close()
    if errors:
        raise errors[0]
    figures(f"restarts: {restarts} kills and restarts on port {target.port} under a zelk.client client; "
            f"{failed[0]} calls failed and were made again, answers came from {len(pids)} servers, "
            f"{len(wrong)} misdelivered; {downtime:.2f} s without a server")
    assert not wrong and len(pids) == restarts + 1


class Unpickled:
    """Leaves a file behind wherever it is unpickled, as a hostile peer's object could do worse."""

    def __init__(self, path):
        self.path = str(path)

    def __reduce__(self):
        return open, (self.path, "w")


def test_a_server_with_a_key_decodes_nothing_from_peers_without_it(tmp_path, figures):
    from zelk.client import connect

    target = Target(tmp_path / "server.log", authkey=b"the key")
    trusted = connect("target", port=target.port, timeout=ANSWER_TIMEOUT, authkey=b"the key")
    stranger = connect("target", port=target.port, timeout=ANSWER_TIMEOUT, authkey=b"another key")
    mark = tmp_path / "unpickled"
    streams = [randbytes(1, 4096), request(1, "echo", Unpickled(mark)), UPGRADE, b""]
    try:
        assert trusted.add(1, 2) == 3
        threads = target.quiet_threads()
        for data in streams:
            with socket.create_connection(("127.0.0.1", target.port), timeout=ANSWER_TIMEOUT) as s:
                s.sendall(data)
                with contextlib.suppress(OSError):  # the server may have closed on a wrong answer already
                    s.shutdown(socket.SHUT_WR)
                reply = read_to_end(s)
            assert reply.startswith(b"#ZELK-CHALLENGE#") and len(reply) == 48  # the challenge, and nothing more
        assert stranger.add(1, 2) is None
        rss, after = target.settled(threads)
        figures(f"key: {len(streams)} peers without the key and one with another were refused; nothing unpickled: "
                f"{not mark.exists()}; server threads {threads} -> {after}")
        assert not mark.exists() and after == threads and trusted.add(2, 3) == 5
    finally:
        target.kill()


# ---- faults against one server, with well-behaved callers throughout ------------------------------

INJECTED = collections.Counter()


@pytest.fixture(scope="module")
def target(tmp_path_factory):
    target = Target(tmp_path_factory.mktemp("faults") / "server.log")
    yield target
    target.kill()


@pytest.fixture(scope="module")
def callers(target, figures):
    callers = Callers(target)
    # The warm-up: the callers' calls, and once each the larger messages and failures the faults send.
    c = target.connect()
    call(c, "echo", b"x" * BIG)
    call(c, "boom")
    c._socket.close()
    while callers.counts()[0] < 400:
        time.sleep(0.01)
    target.baseline = target.memory(), target.settled(target.quiet_threads())[1]
    yield callers
    callers.round_trip()
    threads = target.settled(target.baseline[1])[1]
    rss = target.memory()
    callers.close()
    calls, lost, misdelivered = callers.counts()
    kinds = ", ".join(f"{kind} {count}" for kind, count in INJECTED.items())
    figures(f"faults: {callers.count} callers made {calls} calls ({lost} lost, {misdelivered} misdelivered) beside "
            f"{sum(INJECTED.values())} faults ({kinds}); server {MEMORY} {target.baseline[0] / MB:.1f} MB before, "
            f"{rss / MB:.1f} MB after; threads {target.baseline[1]} before, {threads} after (the callers' among them)")


@pytest.fixture
def watch(target, callers, figures):
    """watch(kind, count) around `count` faults of one kind: the callers lose nothing and get nothing
    wrong meanwhile, and after them the server has the threads it had and memory near its baseline.
    The body may add notes to the line of figures."""

    @contextlib.contextmanager
    def watching(kind, count):
        counts, rss_before, notes = callers.counts(), target.memory(), []
        yield notes
        callers.round_trip()
        threads = target.settled(target.baseline[1])[1]
        rss = target.memory()
        calls, lost, misdelivered = (a - b for a, b in zip(callers.counts(), counts))
        INJECTED[kind] += count
        figures(f"fault {kind:<37} x{count:<3} callers: {calls:>5} calls, {lost} lost, {misdelivered} misdelivered; "
                f"server: {MEMORY} {rss_before / MB:5.1f} -> {rss / MB:5.1f} MB, threads {target.baseline[1]} -> {threads}"
                + "".join(f"; {note}" for note in notes))
        assert (lost, misdelivered) == (0, 0), callers.wrong[:5]
        assert threads == target.baseline[1]
        if not sanitized:
            assert rss - target.baseline[0] < GROWTH_ALLOWED

    return watching


BAD_RECORDS = [(1, 7, "target.add", (1, 2), {}), (0, 7, "target.add"), "text", {"a": 1}, (0, 7, 5, (), {}),
               (0, 7, "target.add", 5, {}), (0, 7, "target.add", (1, 2), 5), (), (0, 7, "target.add", (1, 2), {}, 1)]
# What a hostile peer writes before it stops writing; the server answers none of it (a browser's
# upgrade request only with its handshake) and closes the connection.
HOSTILE = {
    "garbage": [randbytes(seed, 1 << 16) for seed in range(16)],
    "garbled message": [frame(randbytes(seed, 4096)) for seed in range(64)],
    "half a message": [request(1, "echo", b"x" * 1000)[:500]] * 8,
    "length 2^62": [struct.pack("=Q", 1 << 62) + b"abc"] * 8,
    "length 2^63": [struct.pack("=Q", 1 << 63) + b"abc"] * 8,
    "length 2^64-1": [struct.pack("=Q", (1 << 64) - 1) + b"abc"] * 8,
    "record of a wrong shape or kind": [framed(bad) for bad in BAD_RECORDS],
    "HTTP on a binary connection": [b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n\r\n{}"] * 8,
    "upgrade, then garbage": [UPGRADE + randbytes(seed, 4096) for seed in range(16)],
    "upgrade, then a frame of 2^63": [UPGRADE + b"\x81\xff" + struct.pack(">Q", 1 << 63) + b"\0" * 4] * 8,
}


@pytest.mark.parametrize("kind", HOSTILE)
def test_hostile_bytes(watch, target, kind):
    streams = HOSTILE[kind]
    replies = [None] * len(streams)

    def peer(i):
        for j in range(i, len(streams), 8):
            with socket.create_connection(("127.0.0.1", target.port), timeout=ANSWER_TIMEOUT) as s:
                try:
                    s.sendall(streams[j])
                    s.shutdown(socket.SHUT_WR)
                except OSError:
                    pass  # refused before it was all written
                replies[j] = read_to_end(s)

    with watch(kind, len(streams)):
        run_in_threads(peer, count=8)
    for data, reply in zip(streams, replies):
        if data.startswith(b"GET "):
            assert reply.startswith(b"HTTP/1.1 101 Switching Protocols\r\n")
        else:
            assert reply == b""


def test_odd_but_valid_peers(watch, target):
    """A call trickled a byte at a time, fifty in one write, and a call whose client stops writing
    after it: each is answered in full."""
    with watch("odd but valid peers", 3):
        with socket.create_connection(("127.0.0.1", target.port), timeout=ANSWER_TIMEOUT) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for byte in request(5, "add", 2, 3):
                s.sendall(bytes([byte]))
                time.sleep(0.001)
            assert Connection(s).recv() == (1, 5, 5)
        c = target.connect()
        c._socket.sendall(b"".join(request(n, "add", n, 1) for n in range(50)))
        assert [c.recv() for _ in range(50)] == [(1, n, n + 1) for n in range(50)]
        c._socket.sendall(request(9, "echo", "last"))
        c._socket.shutdown(socket.SHUT_WR)
        assert (c.recv(), c.recv()) == ((1, 9, "last"), None)
        c._socket.close()


@pytest.mark.parametrize("value", [b"\x07" * BIG, np.arange(BIG // 8, dtype=np.float64)], ids=["bytes", "array"])
def test_huge_argument(watch, target, value):
    with watch(f"huge argument ({BIG // MB} MB {type(value).__name__})", 1):
        c = target.connect()
        answer = call(c, "echo", value, msgid=3)
        assert answer[:2] == (1, 3) and type(answer[2]) is type(value) and np.array_equal(answer[2], value)
        c._socket.close()


def reset_mid_request(s):
    s.sendall(request(1, "echo", b"x" * BIG)[: BIG // 2])


def reset_mid_answer(s):
    s.sendall(request(1, "echo", b"x" * BIG))
    got = 0
    while got < MB:
        got += len(s.recv(1 << 16))


def reset_awaiting_answer(s):
    bell = Doorbell()
    s.sendall(request(1, "slow", 0.5, bell.port))
    bell.wait()  # the server has begun the call


RESETS = {"mid-request": reset_mid_request, "mid-answer": reset_mid_answer, "awaiting the answer": reset_awaiting_answer}


@pytest.mark.parametrize("moment", RESETS)
def test_reset(watch, target, moment):
    with watch(f"reset {moment}", 3):
        for _ in range(3):
            s = socket.create_connection(("127.0.0.1", target.port), timeout=ANSWER_TIMEOUT)
            RESETS[moment](s)
            reset(s)


def idle_peer(s):
    pass  # says nothing at all


def slow_peer(s):
    """Sends a call a byte at a time, too slowly to finish it within the idle time-out."""
    for byte in request(1, "add", 1, 2)[:20]:
        try:
            s.sendall(bytes([byte]))
        except OSError:
            return  # the server has closed the connection
        time.sleep(IDLE_TIMEOUT / 5)


def oversized_peer(s):
    """Announces a message over the server's limit, and starts sending it."""
    try:
        s.sendall(struct.pack("=Q", 2 * MAX_MESSAGE) + b"\0" * MB)
    except OSError:
        pass


PATIENCE = {"idle peers": idle_peer, "slow peers": slow_peer, "oversized peers": oversized_peer}


@pytest.mark.parametrize("kind", PATIENCE)
def test_peers_that_would_hold_a_thread(watch, target, kind):
    """Each is closed by the server (at the idle time-out, or at once), and answered nothing."""
    replies = []

    def peer(i):
        with socket.create_connection(("127.0.0.1", target.port), timeout=ANSWER_TIMEOUT) as s:
            PATIENCE[kind](s)
            replies.append(read_to_end(s))  # the server's close ends the read

    with watch(kind, 8) as notes:
        started = time.monotonic()
        run_in_threads(peer, count=8)
        notes.append(f"all closed by the server after {time.monotonic() - started:.1f} s")
    assert replies == [b""] * 8


def test_a_hundred_clients_at_once(watch, target):
    connecting, wrong = [], []

    def client(i):
        started = time.monotonic()
        c = target.connect()
        connecting.append(time.monotonic() - started)
        for n in range(3):
            msgid = i << 8 | n
            if (answer := call(c, "add", i, n, msgid=msgid)) != (1, msgid, i + n):
                wrong.append(answer)
        c.close()

    with watch("100 clients at once", 100) as notes:
        run_in_threads(client, count=100)
        notes.append(f"the slowest took {max(connecting):.3f} s to connect")
    assert not wrong and len(connecting) == 100


# The call, and how its answer begins: the failure's text.
FAILURES = {
    "raises": ("boom", (), "ValueError@target.boom() \U0001F513  boom!"),
    "returns a frozenset": ("frozen", ("set",), "TypeError@target.frozen(set) \U0001F513  can not serialize 'frozenset' object!"),
    "returns a cycle": ("frozen", ("cycle",), "ValueError@target.frozen(cycle) \U0001F513  recursion limit exceeded"),
    "returns 2**70": ("frozen", ("int",), "OverflowError@target.frozen(int) \U0001F513  Integer value out of range!"),
}


@pytest.mark.parametrize("failure", FAILURES)
def test_served_function_that_fails(watch, target, failure):
    name, args, text = FAILURES[failure]
    with watch(f"served function {failure}", 2):
        c = target.connect()
        for msgid in (1, 2):
            kind, got, answer = call(c, name, *args, msgid=msgid)
            assert (kind, got) == (1, msgid) and answer.startswith(text)
        assert call(c, "add", 1, 2) == (1, 1, 3)
        c._socket.close()


def test_served_functions_that_block(watch, target, callers):
    """Eight calls that each block for a second and a half hold up only their own connections."""
    answers = []

    def slow(i):
        c = target.connect()
        answers.append(call(c, "slow", 1.5, msgid=i))
        c._socket.close()

    with watch("served function blocks 1.5 s", 8) as notes:
        calls = callers.counts()[0]
        started = time.monotonic()
        run_in_threads(slow, count=8)
        notes.append(f"the eight took {time.monotonic() - started:.2f} s")
        assert callers.counts()[0] > calls
    assert sorted(answers) == [(1, i, 1.5) for i in range(8)]
