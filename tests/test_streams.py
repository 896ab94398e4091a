"""Streams, cancellation and deadlines: through both clients, against a peer of the old kind, and
with bad input from a peer."""

import asyncio
import contextlib
import fractions
import itertools
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from conftest import OLD_SERVERS_ANSWER, VERSION_QUESTION, free_port, run_in_threads

from zelk import aio
from zelk.client import CallTimeout, ConnectionLost, InvalidAnswer, RemoteError, Stream, close, connect
from zelk.ring import Connection
from zelk.server import cancelled, serve, time_left

WAIT = 10  # a bound for what must happen: generous, since the machine may be loaded


class Source:
    def __init__(self):
        self.reset()

    def reset(self):
        self.closed = threading.Event()  # set by the finally of `endless`
        self.seen_cancel = threading.Event()
        self.made = 0
        self.runs = 0

    def count(self, n):
        for i in range(n):
            yield i

    def values(self, *items):
        yield from items

    def endless(self):
        try:
            for i in itertools.count():
                self.made = i
                yield i
        finally:
            self.closed.set()

    def boom(self, n):
        yield from range(n)
        raise ValueError("bad")

    def unencodable(self):
        yield 1
        yield lambda: 0

    def stall(self, seconds):
        yield 0
        time.sleep(seconds)
        yield 1

    def left(self):
        self.runs += 1
        return time_left(), cancelled()

    def wait_for_cancel(self):
        for _ in range(WAIT * 100):
            if cancelled():
                self.seen_cancel.set()
                break
            time.sleep(0.01)
        time.sleep(1)  # long past its caller's time-out
        return self.seen_cancel.is_set()

    def nap(self, seconds):
        self.runs += 1
        time.sleep(seconds)
        return seconds

    def nested(self, port):
        return connect("source", port=port).left()[0]

    def nested_aio(self, port):
        async def left():
            async with aio.connect("source", port=port) as proxy:
                return (await proxy.left())[0]

        return asyncio.run(left())

    def add(self, a, b):
        return a + b


SOURCE = Source()


@pytest.fixture(scope="module")
def port():
    port = free_port()
    serve(SOURCE, alias="source", port=port, thread=True)
    return port


@pytest.fixture
def source(port):
    SOURCE.reset()
    proxy = connect("source", port=port)
    yield proxy
    close(proxy)


def raw(port):
    return Connection(socket.create_connection(("127.0.0.1", port)))


# ---- streams through the blocking client -----------------------------------------------------------


@pytest.mark.parametrize("items", [[], [0, 1.5, "text", b"\x00", None], [(1, (2,)), {1, 2}, {"k": [1, (2,)]}, fractions.Fraction(1, 3)]])
def test_values_travel_as_items(source, items):
    stream = source.values(*items)
    assert isinstance(stream, Stream)
    back = list(stream)
    assert back == items and [type(v) for v in back] == [type(v) for v in items]


def test_arrays_and_many_items(source):
    arrays = [np.arange(10.0), np.ones((300, 300)), np.array([], np.int8)]
    for sent, back in zip(arrays, source.values(*arrays), strict=True):
        assert back.dtype == sent.dtype and np.array_equal(back, sent)
    assert sum(source.count(100_000)) == sum(range(100_000))


@pytest.mark.parametrize("leave", ["break", "close", "with", "client closed", "connection lost"])
def test_leaving_early_runs_the_generators_finally(source, port, leave):
    stream = source.endless()
    if leave == "break":
        for item in stream:
            if item == 3:
                break
        del stream
    elif leave == "close":
        next(stream)
        stream.close()
        stream.close()  # twice is nothing
    elif leave == "with":
        with stream as items:
            next(items)
    elif leave == "client closed":
        next(stream)
        close(source)
    else:  # the client's process ends under its stream
        code = ("import os, sys; from zelk.client import connect; "
                f"s = connect('source', port={port}).endless(); next(s); os._exit(0)")
        assert subprocess.run([sys.executable, "-c", code], timeout=60).returncode == 0
    assert SOURCE.closed.wait(WAIT)
    assert source.add(1, 2) == 3  # and the client goes on


def test_threads_keep_calling_while_a_stream_is_open(source):
    stream = source.count(1000)
    next(stream)
    barrier = threading.Barrier(4)
    results = []

    def call(i):
        barrier.wait()
        results.append(source.add(i, 1))

    threads = [threading.Thread(target=call, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(results) == [1, 2, 3, 4]
    assert source.add(1, 1) == 2  # the same thread, beside its open stream
    assert list(stream) == list(range(1, 1000))


def test_threads_sharing_a_client_each_get_their_own_streams(source):
    def work(i):
        for n in (0, 1, 500 + i):
            assert list(source.count(n)) == list(range(n))
        stream = source.endless()  # left early, beside the others
        assert [next(stream) for _ in range(i + 1)] == list(range(i + 1))
        stream.close()

    run_in_threads(work)
    assert source.add(1, 2) == 3


@pytest.mark.parametrize("window", [1, 8, 64])
def test_the_server_runs_no_more_than_a_window_ahead(source, port, window):
    proxy = connect("source", port=port, stream_window=window)
    stream = proxy.endless()
    taken = [next(stream) for _ in range(3)]
    deadline = time.monotonic() + WAIT
    while SOURCE.made < window - 1 and time.monotonic() < deadline:  # what it may make before any credit
        time.sleep(0.01)
    time.sleep(0.2)  # and then no more than the window beyond the 3 taken
    assert taken == [0, 1, 2] and window - 1 <= SOURCE.made <= 2 + window
    stream.close()
    close(proxy)


@pytest.mark.parametrize("errors", ["return", "raise"])
def test_a_failure_mid_stream_comes_after_the_items(port, errors):
    proxy = connect("source", port=port, errors=errors)
    stream = proxy.boom(3)
    taken = []
    with pytest.raises(RemoteError) if errors == "raise" else contextlib.nullcontext() as raised:
        taken.extend(stream)
    if errors == "raise":
        assert taken == [0, 1, 2] and raised.value.remote_type == "ValueError"
    else:
        assert taken[:3] == [0, 1, 2] and taken[3].startswith("ValueError@source.boom(3)")
    assert list(stream) == [] and proxy.add(1, 2) == 3
    close(proxy)


@pytest.mark.parametrize("client", ["blocking", "aio"])
def test_an_item_that_cannot_travel_ends_the_stream_as_a_failure(port, client):
    taken = []
    if client == "blocking":
        proxy = connect("source", port=port, errors="raise")
        with pytest.raises(RemoteError, match="@ENCODE"):
            taken.extend(proxy.unencodable())
        assert taken == [1] and proxy.add(1, 2) == 3
        return close(proxy)

    async def test(proxy):
        with pytest.raises(RemoteError, match="@ENCODE"):
            async for item in await proxy.unencodable():
                taken.append(item)
        assert taken == [1] and await proxy.add(1, 2) == 3

    run(test, port)


@pytest.mark.parametrize("errors", ["return", "raise"])
def test_no_item_within_the_time_out_is_a_time_out(port, errors):
    proxy = connect("source", port=port, timeout=0.3, errors=errors)
    stream = proxy.stall(5)
    assert next(stream) == 0
    if errors == "raise":
        with pytest.raises(CallTimeout):
            next(stream)
    else:
        assert next(stream).startswith("@RECV: TimeoutError")
    with pytest.raises(StopIteration):
        next(stream)
    assert proxy.add(1, 2) == 3
    close(proxy)


def test_allowed_classes_hold_for_items(port):
    proxy = connect("source", port=port, errors="raise", allowed_classes=[])
    with pytest.raises(InvalidAnswer, match="ClassNotAllowed|not allowed"):
        list(proxy.values(fractions.Fraction(1, 3)))
    assert proxy.add(1, 2) == 3
    close(proxy)


# ---- streams through zelk.aio ----------------------------------------------------------------------


def run(test, port, name="source", **options):
    """Runs `test(proxy)` on a new event loop with a zelk.aio proxy for `name`, closed after it."""

    async def main():
        async with aio.connect(name, port=port, **options) as proxy:
            return await test(proxy)

    return asyncio.run(main())


def test_aio_streams_values_arrays_and_many_items(port):
    items = [0, 1.5, "text", None, (1, (2,)), {"k": [1]}, np.arange(5.0)]

    async def test(proxy):
        stream = await proxy.values(*items)
        assert isinstance(stream, aio.Stream)
        back = [item async for item in stream]
        assert back[:-1] == items[:-1] and np.array_equal(back[-1], items[-1])
        assert sum([i async for i in await proxy.count(100_000)]) == sum(range(100_000))
        assert [i async for i in await proxy.count(0)] == []

    run(test, port)


@pytest.mark.parametrize("leave", ["break", "aclose", "async with", "task cancelled", "client closed", "connection lost"])
def test_aio_leaving_early_runs_the_generators_finally(port, leave):
    SOURCE.reset()
    if leave == "connection lost":  # the client's process ends under its stream
        code = ("import asyncio, os; from zelk import aio\n"
                "async def main():\n"
                f"    s = await aio.connect('source', port={port}).endless()\n"
                "    await anext(s); os._exit(0)\n"
                "asyncio.run(main())")
        assert subprocess.run([sys.executable, "-c", code], timeout=60).returncode == 0

    async def test(proxy):
        stream = await proxy.endless()
        if leave == "break":
            async for item in stream:
                if item == 3:
                    break
            del stream
        elif leave == "aclose":
            await anext(stream)
            await stream.aclose()
            await stream.aclose()  # twice is nothing
        elif leave == "async with":
            async with stream as items:
                await anext(items)
        elif leave == "task cancelled":
            started = asyncio.Event()

            async def read():
                async for _ in stream:  # waits for items only in the stream
                    started.set()

            task = asyncio.create_task(read())
            await started.wait()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        elif leave == "client closed":
            await anext(stream)
            await proxy.aclose()
        assert await asyncio.to_thread(SOURCE.closed.wait, WAIT)
        assert await proxy.add(1, 2) == 3  # and the client goes on

    run(test, port)


def test_aio_window_failure_and_time_out(port):
    async def test(proxy):
        stream = await proxy.endless()
        assert [await anext(stream) for _ in range(3)] == [0, 1, 2]
        deadline = time.monotonic() + WAIT
        while SOURCE.made < 7 and time.monotonic() < deadline:  # what it may make before any credit
            await asyncio.sleep(0.01)
        await asyncio.sleep(0.2)  # and then no more than the window beyond the 3 taken
        assert 7 <= SOURCE.made <= 2 + 8
        assert await proxy.add(1, 2) == 3  # on another connection, beside the open stream
        await stream.aclose()
        taken = []
        with pytest.raises(RemoteError) as raised:
            async for item in await proxy.boom(3):
                taken.append(item)
        assert taken == [0, 1, 2] and raised.value.remote_type == "ValueError"
        stream = await proxy.stall(5, timeout=0.3)
        assert await anext(stream) == 0
        with pytest.raises(CallTimeout):
            await anext(stream)
        with pytest.raises(StopAsyncIteration):
            await anext(stream)
        assert await proxy.add(1, 2) == 3

    SOURCE.reset()
    run(test, port, stream_window=8)


# ---- deadlines and cancels ---------------------------------------------------------------------------


def test_time_left_and_cancelled(source):
    assert time_left() is None and cancelled() is False  # outside a served call
    left, called_off = source.left()
    assert 990 < left <= 1000 and called_off is False
    left, _ = source.left(timeout=5)
    assert 0 < left <= 5
    source.settimeout(None)
    assert source.left() == (None, False)


def test_a_request_past_its_deadline_is_not_run(source, port):
    conn = raw(port)
    conn.send(VERSION_QUESTION)
    assert conn.recv() == (1, 0, {"version": 1, "traceparent": True})
    conn.send([2, 1, "source.left", (), {}, {"deadline": 0}])
    assert conn.recv()[2].startswith("TimeoutError@source.left()")
    # Behind a call that runs longer than its deadline, counted from when its bytes came.
    framed = conn.pack([2, 2, "source.nap", (0.5,), {}, {"deadline": 10}]) + conn.pack([2, 3, "source.left", (), {}, {"deadline": 0.2}])
    conn._socket.sendall(framed)
    assert conn.recv() == (1, 2, 0.5)
    assert conn.recv()[2].startswith("TimeoutError@source.left()")
    assert SOURCE.runs == 1  # nap's: left never ran
    conn.close()


@pytest.mark.parametrize("nested", ["nested", "nested_aio"])
def test_a_call_made_inside_a_served_call_inherits_its_deadline(source, port, nested):
    assert getattr(source, nested)(port) > 900
    assert 0 < getattr(source, nested)(port, timeout=3) <= 3


@pytest.mark.parametrize("how", ["time-out", "client closed", "aio time-out", "aio task cancelled"])
def test_the_server_sees_its_caller_give_up(source, port, how):
    if how.startswith("aio"):
        async def test(proxy):
            task = asyncio.create_task(proxy.wait_for_cancel(timeout=0.2 if how == "aio time-out" else 1000))
            if how == "aio task cancelled":
                await asyncio.sleep(0.2)
                task.cancel()
            with pytest.raises(CallTimeout if how == "aio time-out" else asyncio.CancelledError):
                await task
            assert await asyncio.to_thread(SOURCE.seen_cancel.wait, WAIT)
            assert await proxy.add(1, 2) == 3

        return run(test, port)
    proxy = connect("source", port=port, timeout=0.2 if how == "time-out" else 1000, errors="raise")
    if how == "client closed":
        threading.Timer(0.2, close, args=(proxy,)).start()
    with pytest.raises(CallTimeout if how == "time-out" else ConnectionLost):
        proxy.wait_for_cancel()
    assert SOURCE.seen_cancel.wait(WAIT)
    close(proxy)


# ---- peers of the old kind, and bad input ----------------------------------------------------------


def test_an_old_client_calling_a_generator_gets_todays_text(port):
    conn = raw(port)
    conn.send((0, 1, "source.count", (3,), {}))
    assert conn.recv() == [1, 1, "@ENCODE: generator ---> cannot pickle 'generator' object"]
    conn.send((0, 2, "source.add", (1, 2), {}))
    assert conn.recv() == (1, 2, 3)
    conn.close()


def test_a_new_client_against_an_old_server(monkeypatch):
    listener = socket.create_server(("127.0.0.1", 0))
    seen = []

    def old_server():
        sock, _ = listener.accept()
        conn = Connection(sock)
        while (record := conn.recv()) is not None:
            seen.append(record)
            conn.send(OLD_SERVERS_ANSWER if record == VERSION_QUESTION else (1, record[1], record[3]))

    thread = threading.Thread(target=old_server, daemon=True)
    thread.start()
    proxy = connect("old", port=listener.getsockname()[1])
    assert proxy.echo(1, 2) == (1, 2) and proxy.echo(3) == (3,)
    assert seen == [VERSION_QUESTION, (0, 1, "old.echo", (1, 2), {}), (0, 2, "old.echo", (3,), {})]
    close(proxy)
    thread.join(WAIT)
    seen.clear()
    thread = threading.Thread(target=old_server, daemon=True)
    thread.start()

    async def test(proxy):
        assert await asyncio.gather(proxy.echo(1, 2), proxy.echo(3)) == [(1, 2), (3,)]

    run(test, listener.getsockname()[1], "old", max_connections=1)
    assert seen == [VERSION_QUESTION, (0, 1, "old.echo", (1, 2), {}), (0, 2, "old.echo", (3,), {})]
    thread.join(WAIT)
    listener.close()


@pytest.mark.parametrize("client", ["blocking", "aio"])
@pytest.mark.parametrize("bad", ["another call's items", "beyond the window", "not a record"])
def test_a_server_that_breaks_the_stream_fails_it(client, bad):
    listener = socket.create_server(("127.0.0.1", 0))

    def server():
        sock, _ = listener.accept()
        with sock:
            conn = Connection(sock)
            conn.recv()
            conn.send((1, 0, {"version": 1}))
            msgid = conn.recv()[1]
            if bad == "beyond the window":
                conn.send([3, msgid, list(range(5))])
            else:
                conn.send([3, msgid, [0, 1]])
                conn.send([3, msgid + 1, [2]] if bad == "another call's items" else (1, 2))
            conn.recv()  # until the client lets go of the connection

    thread = threading.Thread(target=server, daemon=True)
    thread.start()
    port = listener.getsockname()[1]
    if client == "blocking":
        proxy = connect("bad", port=port, errors="raise", stream_window=4)
        with pytest.raises(InvalidAnswer):
            list(proxy.stream())
        close(proxy)
    else:
        async def test(proxy):
            with pytest.raises(InvalidAnswer):
                [item async for item in await proxy.stream()]

        run(test, port, "bad", stream_window=4)
    thread.join(WAIT)
    listener.close()


@pytest.mark.parametrize(
    "record",
    [
        [5, 99, 2**64 - 1],
        [6, "x"],
        [5, 1],
        [2, 1, "source.add", (1, 2), {}],
        [2, 1, "source.add", (1, 2), {}, {"window": 0}],
        [2, 1, "source.add", (1, 2), {}, {"window": True}],
        [2, 1, "source.add", (1, 2), {}, {"deadline": float("nan")}],
        [2, 1, "source.add", (1, 2), {}, {"bytes": -1}],
        [2, 1, "source.add", (1, 2), {}, ["deadline"]],
    ],
)
def test_bad_records_fail_alone(port, record):
    conn = raw(port)
    conn.send(record)
    if len(record) == 6:
        assert "Invalid Options" in conn.recv()[2]
    conn.send((0, 7, "source.add", (1, 2), {}))
    answer = conn.recv()
    assert answer in ((1, 7, 3), None)  # a malformed call record ends the connection, as any does
    conn.close()


@pytest.mark.parametrize("record, begins", [
    ((0, 2**63, "__zelk_version__", (), {}), "TypeError@__zelk_version__()"),  # not the question: its id is not 0
    ([2, 1, "source.add", (1, 2), {}, {"deadline": float("-inf")}], "TimeoutError@source.add(1, 2)"),
])
def test_odd_records_are_answered_and_the_connection_goes_on(port, record, begins):
    conn = raw(port)
    conn.send(record)
    answer = conn.recv()
    assert type(answer) is list and answer[2].startswith(begins)
    conn.send((0, 7, "source.add", (1, 2), {}))
    assert conn.recv() == (1, 7, 3)
    conn.close()
