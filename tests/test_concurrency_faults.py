"""Faults of closing, signals, lanes, event loops and fork, and the printer's crash: each shown on a
build with the GIL where it can be. A deadlock or a crash is shown in a process of its own, ended
by a bound on its run; every other loop is bounded, and passes however its threads interleave."""

import asyncio
import os
import socket
import subprocess
import sys
import threading

import pytest

from conftest import free_port, run_in_threads, served_calc
from zelk import aio
from zelk.client import CallTimeout, Client, ConnectionLost, InvalidAnswer, close, connect
from zelk.ring import Connection

@pytest.fixture(scope="module")
def port():
    with served_calc() as port:
        yield port


pytestmark = pytest.mark.usefixtures("quick_thread_switches")


class Quiet:
    """A printer that prints nothing and returns the text, as BrillPrint's methods do."""

    def critical(self, message):
        return str(message)

    error = critical


def run_script(code, *args):
    """`code` run by another Python, which must end by itself (a deadlock fails) and well."""
    try:
        done = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                              timeout=60, env={**os.environ, "ZELK_WATCH_US": "0"})
    except subprocess.TimeoutExpired:
        pytest.fail("the script never ended: a deadlock")
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-4000:]
    return done.stdout


SIGNAL_CLOSES = """
import signal, sys, threading
from zelk.client import close, connect

port = int(sys.argv[1])
proxy, probe, handled = connect("calc", port=port), connect("calc", port=port), threading.Event()
signal.signal(signal.SIGUSR1, lambda *_: (close(proxy), handled.set()))  # runs while this thread's call waits

def interrupt(main=threading.main_thread().ident):
    any(probe.entered() for _ in range(3000))  # until the server holds the call
    for _ in range(3000):  # until the handler has run inside the read
        signal.pthread_kill(main, signal.SIGUSR1)
        if handled.wait(0.01):
            break
    probe.release()

threading.Thread(target=interrupt).start()
print("returned", type(proxy.hold()).__name__)
"""


def test_a_signal_handler_closes_its_threads_call(port):
    assert "returned str" in run_script(SIGNAL_CLOSES, port)


@pytest.mark.parametrize("errors", ["return", "raise"])
def test_calls_meeting_a_close_are_lost_connections_and_closing_is_quiet(port, errors):
    proxy = connect("calc", port=port, timeout=30.0, errors=errors)
    proxy._client.log = Quiet()
    callers, done = 4, threading.Event()
    finished = threading.Barrier(callers, action=done.set)

    def work(i):
        if i >= callers:  # two threads closing the client over and over, while calls go on
            for _ in range(60_000):
                if done.wait(0.002):
                    return
                close(proxy)
            return
        try:
            for k in range(150):
                try:
                    answer = proxy.echo((i, k))
                except (ConnectionLost, CallTimeout, InvalidAnswer):
                    assert errors == "raise"
                    continue
                assert answer == (i, k) or (errors == "return" and isinstance(answer, str)), answer
        finally:
            finished.wait()

    run_in_threads(work, callers + 2)
    close(proxy)
    close(proxy)


def test_settimeout_never_reaches_a_socket_opened_meanwhile(monkeypatch):
    no_timeout = bytes(len(socket.socket().getsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, 16)))
    reached, reopened, fresh = threading.Event(), threading.Event(), []
    own = socket.socket.settimeout

    def settimeout(sock, value):  # where socket.settimeout lets the GIL go, another thread runs
        own(sock, value)
        reached.set()
        reopened.wait(1)  # a close that waits for this call makes it wait the whole second

    a, b = socket.socketpair()
    connection = Connection(a)

    def close_and_open():
        reached.wait(30)
        connection.close()
        fresh.extend(socket.socketpair())  # takes the descriptor number just let go
        reopened.set()

    thread = threading.Thread(target=close_and_open)
    thread.start()
    monkeypatch.setattr(socket.socket, "settimeout", settimeout)
    try:
        connection.settimeout(5.0)
    finally:
        monkeypatch.undo()
        thread.join()
    assert [s.getsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, 16) for s in fresh] == [no_timeout] * 2
    for s in (b, *fresh):
        s.close()


def test_a_connection_set_outside_a_call_leaves_other_calls_theirs(port):
    proxy = connect("calc", port=port, timeout=30.0)  # a call whose answer went elsewhere ends with the time-out
    proxy._client.log = Quiet()
    done = threading.Event()

    def work(i):
        if i == 0:  # not in a call: sets the client's own connection, over and over
            for _ in range(150):
                if done.is_set():
                    return
                assert proxy._client.open_connection() is None
            return
        try:
            for k in range(100):
                assert proxy.echo((i, k)) == (i, k)
        finally:
            done.set()

    run_in_threads(work, 4)
    close(proxy)


def test_a_nested_call_takes_its_own_lane(port):
    class Nested(Client):
        inner = None

        def _request(self, method, args, kwds):  # calls the client again, once, inside a call on a spare lane
            if method == "calc.add" and self.inner is None:
                self.inner = "pending"
                self.inner = self.call("calc.add", 2, 3)
            return super()._request(method, args, kwds)

    client, probe = Nested("127.0.0.1", port, 30.0), connect("calc", port=port)
    client.alias, client.log = "calc", Quiet()
    holder = threading.Thread(target=client.call, args=("calc.hold",))  # takes the first lane
    holder.start()
    try:
        assert any(probe.entered() for _ in range(3000))
        assert client.call("calc.add", 1, 2) == 3 and client.inner == 5
    finally:
        probe.release()
        holder.join()
    close(client)
    close(probe)


def test_an_aio_client_refuses_a_second_loop_while_its_loop_runs(port):
    calc = aio.connect("calc", port=port)
    calc._client.log = Quiet()
    bound, first_done, second_done = threading.Event(), threading.Event(), threading.Event()
    firsts, seconds = [], []

    async def outcome(call):  # what a call came to; one that never settles is bounded here
        try:
            return await asyncio.wait_for(call, 10)
        except Exception as error:
            return "refused" if isinstance(error, RuntimeError) and "another event loop" in str(error) else repr(error)

    async def first():
        for k in range(150):
            firsts.append(await outcome(calc.add(k, 1)))
            if firsts[-1] != k + 1:
                break
            await calc.aclose()  # lets its connections go; its loop keeps the client
            bound.set()
        first_done.set()
        await asyncio.to_thread(second_done.wait, 60)  # runs until the other loop has done trying

    async def second():
        for _ in range(100_000):
            if first_done.is_set() or seconds[-1:] not in ([], ["refused"]):
                return
            seconds.append(await outcome(calc.add(1, 1)))
            await asyncio.sleep(0.001)

    def run_second():
        try:
            bound.wait(60)
            asyncio.run(second())
        finally:
            second_done.set()

    thread = threading.Thread(target=run_second)
    thread.start()
    try:
        asyncio.run(first())
    finally:
        second_done.set()
        thread.join()
    assert firsts == [k + 1 for k in range(150)] and set(seconds) == {"refused"}, (firsts[-1:], seconds[-1:])

    async def later():  # once the first loop has ended, another may take the client
        async with calc:
            return await calc.add(2, 2)

    assert asyncio.run(later()) == 4


FORKED = """
import asyncio, multiprocessing, os, sys
from zelk import aio
from zelk.client import connect

port = int(sys.argv[1])
calc, acalc, loop = connect("calc", port=port), aio.connect("calc", port=port), asyncio.new_event_loop()
assert calc.add(1, 2) == 3 and loop.run_until_complete(acalc.add(1, 2)) == 3
own, own_address = calc._client._connection, calc.laddr

async def echoed(values):
    answers = [await acalc.echo(v) for v in values]
    await acalc.aclose()  # the child's own connections: the parent's stay open
    return answers

def work(k):
    mine = [(os.getpid(), k, j) for j in range(40)]
    answers = [calc.echo(v) for v in mine] + asyncio.run(echoed(mine))
    return sum(a != b for a, b in zip(answers, mine + mine))

with multiprocessing.get_context("fork").Pool(4) as pool:
    wrong = sum(pool.map(work, range(16)))
assert calc._client._connection is own and calc.laddr == own_address and calc.echo("parent") == "parent"
assert loop.run_until_complete(acalc.echo("parent")) == "parent"
loop.run_until_complete(acalc.aclose())
print("wrong answers", wrong)
"""


def test_children_of_a_fork_open_their_own_connections(port):
    assert "wrong answers 0" in run_script(FORKED, port)


SWAPPED_STDOUT = """
import io, os, sys, threading
from zelk.client import close, connect
from zelk.server import serve

class Calc:
    def add(self, a, b): return a + b

port = int(sys.argv[1])
sys.setswitchinterval(1e-5)
serve(Calc(), alias="calc", port=port, thread=True)  # its handler threads print "connected" and "disconnected!"

def connecting():
    for _ in range(150):
        with connect("calc", port=port) as proxy:  # prints "closed!" at the end
            assert proxy.add(1, 2) == 3

threads = [threading.Thread(target=connecting) for _ in range(4)]
for t in threads:
    t.start()
while any(t.is_alive() for t in threads):  # each write a system call, letting the GIL go inside print
    sys.stdout = io.TextIOWrapper(io.FileIO(os.devnull, "w"), write_through=True)
sys.stdout = sys.__stdout__
print("returned")
"""


def test_printing_threads_survive_a_swapped_stdout():
    assert "returned" in run_script(SWAPPED_STDOUT, free_port())
