"""zelk.aio end to end: against an object served by zelk.server in another process, and against a
stand-in server over raw sockets for the answers a real server never gives."""

import asyncio
import fractions
import gc
import struct
import time
import warnings

import numpy as np
import pytest

from conftest import (CLOSE, STAND_IN_TIMEOUT, Steps, frame, free_port, leaks, run_in_threads, served_calc, start_calc,
                      stop_served)
from zelk import aio
from zelk.client import CallTimeout, ConnectionLost, InvalidAnswer, RemoteError, Unreachable

KEY = b"a shared secret"

@pytest.fixture(scope="module")
def port():
    with served_calc() as port:
        yield port


@pytest.fixture(autouse=True)
def nothing_left_behind(caplog):
    """Every test's loop ends with no unclosed transport and nothing asyncio complains of (a task
    destroyed while pending, a future's exception never retrieved)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        yield
        gc.collect()
    assert [str(w.message) for w in caught if issubclass(w.category, ResourceWarning)] == []
    assert [r.getMessage() for r in caplog.records if r.name == "asyncio"] == []


async def sent(client, count=1):
    """Waits until `count` calls of the client are on its connections (a bounded loop)."""
    for _ in range(3000):
        if sum(len(conn.calls) for conn in client._connections) >= count:
            return
        await asyncio.sleep(0.01)
    raise AssertionError("the calls were not sent")


# ---- against zelk.server -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "value",
    [None, 7, 2.5, "text", b"\x00bytes", (1, (2, 3)), [1, (2,)], {1, 2}, {"k": (1, [2])}, fractions.Fraction(1, 3)],
)
def test_values_come_back_with_their_types(port, value):
    async def main():
        async with aio.connect("calc", port=port) as calc:
            return await calc.echo(value)

    back = asyncio.run(main())
    assert back == value and type(back) is type(value)


def test_arrays_keywords_and_remote_failures(port):
    async def main():
        async with aio.connect("calc", port=port) as calc:
            array = np.arange(12.0).reshape(3, 4)
            back = await calc.echo(array)
            assert back.dtype == array.dtype and np.array_equal(back, array) and not back.flags.writeable
            big = np.arange(300_000, dtype=np.int64)  # longer than a read: a buffer of its own
            assert np.array_equal(await calc.echo(big), big)
            # `timeout` is the client's; every other keyword reaches the method
            assert await calc.echo(1, flag=True, timeout=5) == ((1,), {"flag": True})
            assert await calc.echo("ValueError@not a failure") == "ValueError@not a failure"
            with pytest.raises(RemoteError) as failed:
                await calc.fail()
            assert failed.value.remote_type == "ValueError" and "broken on purpose" in failed.value.text
            with pytest.raises(RemoteError) as missing:
                await calc.nothing_here()
            assert missing.value.remote_type == "AttributeError"
            assert await calc.add(1, 2) == 3 and await calc._client.call("calc.add", 2, b=3) == 5
        async with aio.connect("calc", port=port, max_message_size=50) as calc:
            with pytest.raises(InvalidAnswer, match=r"over max_message_size \(50\)"):
                await calc.echo("x" * 100)
            assert await calc.echo("x") == "x"  # on a new connection

    asyncio.run(main())


def test_a_time_out_raises_and_renews_the_connection(port, capsys):
    async def main():
        async with aio.connect("calc", port=port) as calc:
            assert await calc.nap(0, "warm") == "warm"
            (first,) = calc._client._connections
            with pytest.raises(CallTimeout) as late:
                await calc.nap(2, "late", timeout=0.2)
            assert isinstance(late.value, TimeoutError)
            assert late.value.text == f"@RECV: TimeoutError, timed out(0.2s, {first.laddr})"
            assert await calc.nap(0, "next") == "next"  # on a new connection: the late answer never arrives
            assert first not in calc._client._connections
        async with aio.connect("calc", port=port, max_connections=1) as calc:
            busy = asyncio.create_task(calc.nap(5))  # holds the one connection long past the time-out below
            await sent(calc._client)
            with pytest.raises(CallTimeout, match=r"^@SEND: TimeoutError, timed out\(0.1s\) waiting for a connection"):
                await calc.echo(1, timeout=0.1)
            busy.cancel()

    asyncio.run(main())
    assert "@RECV: TimeoutError, timed out(0.2s" in capsys.readouterr().out


def test_a_cancelled_call_leaves_its_answer_behind(port):
    async def main():
        async with aio.connect("calc", port=port, max_connections=1) as calc:
            task = asyncio.create_task(calc.nap(0.3, "cancelled"))
            await sent(calc._client)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            # the one connection still owes the cancelled call's answer; the next call waits, then gets its own
            assert await calc.echo("after") == "after"
            assert len(calc._client._connections) == 1
            # closing fails the call still waiting, and the next call connects again
            waiting = asyncio.create_task(calc.nap(0.3, "closed"))
            await sent(calc._client)
            await calc.aclose()
            with pytest.raises(ConnectionLost, match="the client was closed while the call waited"):
                await waiting
            assert await calc.echo("again") == "again"

    asyncio.run(main())


def test_calls_awaited_at_once_run_at_once(port, figures):
    async def main():
        # meet() returns only when 100 calls are in the server at the same time
        async with aio.connect("calc", port=port, max_connections=100) as calc:
            assert await asyncio.gather(*(calc.meet(i) for i in range(100))) == list(range(100))
        async with aio.connect("calc", port=port) as calc:
            start = time.perf_counter()
            assert await asyncio.gather(*(calc.nap(0.1, i) for i in range(100))) == list(range(100))
            figures(f"aio: 100 calls of nap(0.1) awaited at once took {time.perf_counter() - start:.2f} s")

    asyncio.run(main())


def test_a_server_killed_and_restarted(capsys):
    port = free_port()
    proc = start_calc(port)

    async def main():
        nonlocal proc
        async with aio.connect("calc", port=port) as calc:
            assert await calc.add(1, 2) == 3
            waiting = asyncio.create_task(calc.nap(30))
            await sent(calc._client)
            stop_served(proc)
            with pytest.raises(ConnectionLost):
                await waiting
            with pytest.raises(Unreachable) as down:
                await calc.add(1, 2)
            assert down.value.text.startswith("Connection failed ([Errno 111] Connection refused), please check:")
            proc = start_calc(port)
            assert await calc.add(2, 3) == 5
            stop_served(proc)
            proc = start_calc(port)  # killed while its connection sat idle, and the loop was busy elsewhere
            assert await calc.add(3, 4) == 7

    try:
        asyncio.run(main())
    finally:
        stop_served(proc)


def test_an_unreachable_service_is_reported_once_for_many_calls(capsys):
    async def main():
        async with aio.connect("calc", port=free_port()) as calc:
            results = await asyncio.gather(*(calc.add(1, 2) for _ in range(20)), return_exceptions=True)
            assert all(isinstance(r, Unreachable) for r in results)

    asyncio.run(main())
    assert capsys.readouterr().out.count("Connection failed (") == 1


def test_the_key_handshake():
    port = free_port()
    proc = start_calc(port, authkey=KEY)

    async def call(key):
        async with aio.connect("calc", port=port, authkey=key, timeout=10) as calc:
            return await calc.add(1, 2)

    try:
        assert asyncio.run(call(KEY)) == 3
        for key, why in [(b"wrong", "the server refused the key"), (None, "the server requires a key")]:
            with pytest.raises(Unreachable, match=f"Connection failed \\({why}\\)"):
                asyncio.run(call(key))
    finally:
        stop_served(proc)


def test_threads_each_with_their_own_loop(port):
    def work(i):
        async def main():
            async with aio.connect("calc", port=port) as calc:
                for k in range(50):
                    assert await calc.echo((i, k)) == (i, k)

        asyncio.run(main())

    run_in_threads(work)


def test_calls_do_not_leak(port):
    loop = asyncio.new_event_loop()
    calc = aio.connect("calc", port=port)
    add, arg, keyword = calc.add, "an argument".upper(), "a keyword".upper()  # made here: not immortal

    async def gathered():
        await asyncio.gather(*(add(arg, b=keyword) for _ in range(10)))

    def ten_calls():
        loop.run_until_complete(gathered())

    try:
        left = leaks(ten_calls, add, add._method, arg, keyword, calc._client, calls=3_000)
        assert left.references == [0] * 5 and left.blocks < 3_000 and left.rss < 2 << 20
    finally:
        loop.run_until_complete(calc.aclose())
        loop.close()


# ---- answers a real server never gives ----------------------------------------------------------


@pytest.mark.parametrize(
    "reply, error, text",
    [
        (lambda r: (1, 99, 3), InvalidAnswer,
         "Failure@calc.add(1, 2) \U0001F513  Response[(1, 99, 3)]: Invalid MsgID<Request[0, 1]>"),
        (lambda r: frame(b"\xc1 not msgpack"), InvalidAnswer, "@RECV: "),
        (lambda r: struct.pack("=Q", 1 << 40), InvalidAnswer,
         "@RECV: MessageTooLarge, a message of 1099511627776 bytes is over max_message_size (1073741824)"),
        (lambda r: Steps([b"\x05\x00", CLOSE]), ConnectionLost,
         "@RECV: ConnectionError, the server closed the connection before it answered"),
    ],
)
def test_answers_that_fail_are_raised_and_the_connection_renewed(stand_in, reply, error, text):
    async def main(port):
        async with aio.connect("calc", port=port, timeout=STAND_IN_TIMEOUT) as calc:
            with pytest.raises(error) as failed:
                await calc.add(1, 2)
            assert failed.value.text.startswith(text)
            assert await calc.add(1, 2) == "fine"

    asyncio.run(main(stand_in(reply, lambda r: (1, r[1], "fine")).port))


def test_proxies_and_arguments():
    calc = aio.connect("calc")
    assert (repr(calc), calc.add._method, calc._client._port) == ("ZELK.Client", "calc.add", aio.get_port("calc"))
    assert isinstance(aio.connect("calc", types="method"), aio._RemoteMethod)
    with pytest.raises(TypeError, match=r"Argument 'port' has incorrect type \(expected int, got bool\)"):
        aio.connect("calc", port=True)
    with pytest.raises(TypeError, match="must be real number, not str"):
        aio.connect("calc", timeout="1")
    with pytest.raises(TypeError):
        asyncio.run(calc.echo(frozenset()))  # refused before anything is opened
    assert calc._client._connections == set()
