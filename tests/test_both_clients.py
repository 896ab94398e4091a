"""The blocking client and zelk.aio meet a fault alike: what each raises, what it says, and the
spare connections each closes once they have been unused for a while."""

import asyncio
import socket
import threading
import time

import pytest

from conftest import CLOSE, STAND_IN_TIMEOUT, Steps, echo_call, free_port, run_in_threads, wait_for
from zelk import aio, client
from zelk.client import ConnectionLost, InvalidAnswer, Unreachable, connect


def blocking(port, timeout=STAND_IN_TIMEOUT, **settings):
    return connect("calc", port=port, timeout=timeout, errors="raise", **settings).add(1)


def awaited(port, timeout=STAND_IN_TIMEOUT, **settings):
    async def main():
        async with aio.connect("calc", port=port, timeout=timeout, **settings) as calc:
            return await calc.add(1)

    return asyncio.run(main())


CLIENTS = {"blocking": blocking, "aio": awaited}


@pytest.mark.parametrize("call", CLIENTS.values(), ids=CLIENTS)
@pytest.mark.parametrize("reply, error, text", [
    (lambda r: Steps([b"\x05\x00", CLOSE]), ConnectionLost, "@RECV: "),
    (lambda r: None, InvalidAnswer, "Failure@calc.add(1) \U0001F513  Response[None]: Invalid Response Type"),
], ids=["cut in a length field", "a message of nil"])
def test_an_answer_cut_short_is_lost_and_nil_is_no_answer(stand_in, call, reply, error, text):
    with pytest.raises(error) as info:
        call(stand_in(reply).port)
    assert info.value.text.startswith(text)


@pytest.mark.parametrize("call", CLIENTS.values(), ids=CLIENTS)
def test_a_service_that_cannot_be_reached_is_unreachable_with_its_reason(call, capsys):
    with socket.create_server(("127.0.0.1", 0)) as silent:  # connected by the kernel; no challenge ever comes
        with pytest.raises(Unreachable) as waited:
            call(silent.getsockname()[1], authkey=b"key", timeout=0.3)
    assert waited.value.reason == "timed out" and waited.value.text.startswith("Connection failed (timed out), please check")
    port = free_port()
    with pytest.raises(Unreachable) as refused:
        call(port)
    assert refused.value.reason == "[Errno 111] Connection refused"
    out = capsys.readouterr().out
    assert out.count(f"2. the server info(host(127.0.0.1) or port({port})) is correct") == 1
    assert out.count(f"Connection to (127.0.0.1, {port}) closed!") == (call is awaited)


@pytest.fixture
def meeting(stand_in, monkeypatch):
    """A stand-in whose calc.meet answers once two calls are in it, each on a connection of its own;
    and spare connections that close once unused for 0.05 s."""
    gate = threading.Barrier(2, timeout=30)

    def meet(record):
        if record[2] == "calc.meet":
            gate.wait()
        return echo_call(record)

    monkeypatch.setattr(client, "_SPARE_IDLE", 0.05)
    return stand_in(meet)


def test_a_blocking_clients_spare_connection_closes_once_unused(meeting):
    calc = connect("calc", port=meeting.port, timeout=STAND_IN_TIMEOUT)
    run_in_threads(lambda i: calc.meet(i), 2)
    assert (len(meeting.sockets), meeting.ended) == (2, 0)
    time.sleep(2 * client._SPARE_IDLE)
    calc.add(1)  # gives its lane back, and the spare's connection, unused since, is closed
    wait_for(lambda: meeting.ended == 1, timeout=10)


def test_an_aio_clients_spare_connection_closes_once_unused(meeting):
    async def main():
        async with aio.connect("calc", port=meeting.port, timeout=STAND_IN_TIMEOUT) as calc:
            await asyncio.gather(calc.meet(1), calc.meet(2))
            assert (len(meeting.sockets), meeting.ended) == (2, 0)
            await asyncio.sleep(2 * client._SPARE_IDLE)
            await calc.add(1)
            for _ in range(1000):  # the server's thread sees the close a moment later
                if meeting.ended == 1:
                    return
                await asyncio.sleep(0.01)
            raise AssertionError("the spare connection is still open")

    asyncio.run(main())
