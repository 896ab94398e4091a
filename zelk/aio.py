"""The asyncio client: awaitable proxies for a service, over a pool of connections to it.

The wire, the names, the ports and the key handshake are the blocking client's (zelk.client); its
failures are raised as that client raises them with errors="raise". A server answers the calls of one
connection one at a time and in order, so calls awaited at once go out on connections of their own,
and only when more wait than `max_connections` allows do several share one, one after another.
"""

import asyncio
import collections
import contextlib
import math
import os
import socket
import sys
import threading
import time

import numpy as np

from . import client as _blocking
from .client import (CallTimeout, ConnectionLost, InvalidAnswer, Unreachable, _checked_result, _failure_text, _Hosts,
                     _remote_failure, _report_closed, _report_failure, _report_reachable, _report_unreachable)
from .protocol import REQUEST, RESPONSE, AllowedClasses, BytePacker, ClassNotAllowed, NotRebuilt, refusing_stand_ins
from .ring import (_CALLS_VERSION, _HANDSHAKE_SECONDS, _HEADER_SIZE, _RECORD_KINDS, _STREAM_BUDGET, _STREAM_WINDOW,
                   _VERSION_QUESTION, MAX_MESSAGE_SIZE,
                   AuthenticationError, ByteStream, MessageTooLarge, _check_ssl_context, _checked_message_size,
                   _KeyAnswer, _packet_length, _refusal_reason, _time_left, _tls_alert, get_port)
from .scribe import _OWN_PACKAGES, BrillPrint

__all__ = ["Client", "Stream", "connect"]

# Room for the length and packet of an ordinary answer, or several; longer packets get a buffer of their own.
_SCRATCH_SIZE = 65536
# A connection idle this long is probed before a call goes out on it: its peer may have closed it while
# the event loop was kept from noticing (a server restarted while the program ran blocking code).
_PROBE_AFTER = 0.001
_unpack = BytePacker.unpack
# Calls are packed and answers read without stand-ins: what cannot be carried raises, as this client raises failures.
_refusing = refusing_stand_ins
_running_loop = asyncio.get_running_loop
# A call is a tuple, made without running a Python __init__ on every call:
# (future, msgid, frame, deadline, timeout, method, args, kwds): the future its caller awaits, its
# request's id and packed frame, its deadline on the loop's clock, and what its failure texts name.
_FUTURE, _MSGID, _FRAME, _DEADLINE, _TIMEOUT = range(5)
# The records beside the 5-item request and the 3-item answer, on a connection whose server said it
# takes them (see docs/ARCHITECTURE.md); a call record's packet begins with a list of six.
_CALL, _ITEMS, _END, _CREDIT, _CANCEL = (_RECORD_KINDS[kind] for kind in ("call", "items", "end", "credit", "cancel"))
_QUESTION = (REQUEST, 0, _VERSION_QUESTION, (), {})
_CALL_MARK = 0x96
# What a server keeps a stream to unless told otherwise: the options say only what differs.
_WINDOW, _BUDGET = _STREAM_WINDOW, _STREAM_BUDGET
# Leaving a stream early waits this long, at most, for the server to end it; then the connection goes.
_DRAIN_SECONDS = 1.0


def _printer(title):
    return BrillPrint(title, exclude=list(_OWN_PACKAGES))


def _checked(name, value, kind):
    # Exact types, as the blocking client's signatures demand.
    if type(value) is not kind:
        raise TypeError(f"Argument '{name}' has incorrect type (expected {kind.__name__}, got {type(value).__name__})")
    return value


def _seconds(value):
    # A number of seconds, as a float; text is not one.
    if not hasattr(type(value), "__float__") and not hasattr(type(value), "__index__"):
        raise TypeError(f"must be real number, not {type(value).__name__}")
    return float(value)


class _Connection(asyncio.BufferedProtocol):
    """One TCP connection of a client. It reads framed answers straight into its own buffer, and gives
    each to the oldest call sent on it: the server answers in the order it was asked."""

    def __init__(self, client, sock):
        self.client = client
        self.sock = sock
        self.transport = None
        self.laddr = None
        self.address = None  # where it goes, as the client's _Hosts names it
        self.calls = collections.deque()  # sent, oldest first; kept after their callers gave up
        self.idle_since = 0.0
        self.limit = client._max_message_size
        self._unpack = client._unpack  # BytePacker.unpack, or its allow-list's
        self.tls = client._ssl_context is not None
        self.closed = client._loop.create_future()  # done once the transport has let the socket go
        self._buffer = bytearray(_SCRATCH_SIZE)
        self._view = memoryview(self._buffer)
        self._have = 0  # bytes at the buffer's start not taken yet
        self._packet = None  # a long packet being read into a buffer of its own, and how much of it came
        self._got = 0
        # Until the client starts it, bytes are only collected: the key handshake reads them raw, and a
        # greeting that comes before the connection joins the pool is judged once it has.
        self._held = True
        self._reader = None  # (size, future, what it is) while the key handshake or the question waits for bytes
        self.version = 0  # what its server takes: 1 for call records and streams, 0 for the 5-item request alone
        self.traces = False  # whether its server takes a traceparent in a call's options
        self.stream = None  # the _Flow of the call at the head of `calls`, while its stream goes on

    # ---- asyncio's side ------------------------------------------------------------------------

    def connection_made(self, transport):
        self.transport = transport
        self.laddr = self.sock.getsockname()

    def get_buffer(self, sizehint):
        if self._packet is not None:
            return memoryview(self._packet)[self._got:]
        return self._view[self._have:] if self._have else self._view

    def buffer_updated(self, nbytes):
        if self._packet is not None:
            self._got += nbytes
            if self._got < len(self._packet):
                return
            # Nothing beyond the packet was read into it, so the buffer holds nothing more.
            packet, self._packet = self._packet, None
            if self._answered(packet) and not self.calls:
                self.client._release(self)
            return
        if not self._held:
            self._have += nbytes
            self._frames()
            return
        self._have += nbytes
        if self._reader is not None and self._have >= self._reader[0] and not self._reader[1].done():
            self._reader[1].set_result(None)

    def eof_received(self):
        return False  # the transport closes, and connection_lost says what that means for the calls

    def connection_lost(self, exc):
        self.transport = None
        if (alert := self._tls_alert()) is not None:  # a TLS server's answer to a peer without TLS
            exc = alert
        if self._reader is not None and not self._reader[1].done():
            self._reader[1].set_exception(alert or ConnectionError(f"the peer closed the connection during {self._reader[2]}"))
        self.client._lost(self, exc)
        self.closed.set_result(None)

    # ---- the client's side ---------------------------------------------------------------------

    def start(self):
        """From now on, what arrives is framed answers."""
        self._held = False
        if self._have:
            self._frames()

    def send(self, calls):
        self.calls.extend(calls)
        if len(calls) == 1:
            self.transport.write(self.frame(calls[0]))
        else:
            self.transport.writelines([self.frame(call) for call in calls])  # one system call for them all

    def frame(self, call):
        """The call's frame as this connection's server reads it: packed again when it was packed for another kind."""
        frame = call[_FRAME]
        if (frame[_HEADER_SIZE] == _CALL_MARK) == (self.version != 0) and not self.client._traceparents:
            return frame
        return self.client._frame(self.version, call, self.traces)

    def alive(self):
        """Whether an idle connection is still open: nothing, not even its end, waits to be read. Over
        TLS, records may wait that are no answer (a session ticket the loop has not read yet)."""
        try:
            waiting = self.sock.recv(1, socket.MSG_PEEK)
        except BlockingIOError:
            return True
        except OSError:
            return False
        return self.tls and waiting != b""

    def abort(self):
        if self.transport is not None:
            self.transport.abort()

    async def receive_exactly(self, size, during="the key handshake"):
        """The next `size` bytes, for the key handshake and the question of what the server takes,
        which come before any framed message."""
        if self._have < size:
            if self.transport is None:
                raise ConnectionError(f"the peer closed the connection during {during}")
            waiter = self.client._loop.create_future()
            self._reader = (size, waiter, during)
            try:
                await waiter
            finally:
                self._reader = None
        data = bytes(self._view[:size])
        self._keep_from(size)
        return data

    # ---- framing -------------------------------------------------------------------------------

    def _tls_alert(self):
        """The error to report when the buffer begins with a TLS alert record, where a length field belongs."""
        return _tls_alert(bytes(self._view[: min(self._have, _HEADER_SIZE)])) if self._packet is None and self._have >= 5 else None

    def _keep_from(self, start):
        # Moves the bytes from `start` on to the front of the buffer, for the next message.
        rest = self._have - start
        if rest and start:
            self._buffer[:rest] = self._buffer[start:self._have]
        self._have = rest

    def _frames(self):
        """Hands out every whole message in the buffer; a long one goes on in a buffer of its own."""
        had_calls = bool(self.calls)
        have, start = self._have, 0
        while have - start >= _HEADER_SIZE:
            try:
                size = _packet_length(self._buffer, start, self.limit)
            except (AuthenticationError, MessageTooLarge) as error:
                if not start and (alert := self._tls_alert()) is not None:
                    self.client._lose_calls(self, alert)
                    self.client._drop(self)
                else:
                    self.client._refused_length(self, error)
                return
            end = start + _HEADER_SIZE + size
            if end > have:
                if _HEADER_SIZE + size > _SCRATCH_SIZE:
                    # Read straight into the packet's own memory, committed only as it fills.
                    self._packet = np.empty(size, np.uint8)
                    self._got = have - start - _HEADER_SIZE
                    memoryview(self._packet)[: self._got] = self._view[start + _HEADER_SIZE : have]
                    start = have
                break
            if end == have and not start and had_calls:
                self._have = 0
                self._one_answer(end)
                return
            packet = bytes(self._view[start + _HEADER_SIZE : end])
            start = end
            if not self._answered(packet):
                return
        self._keep_from(start)
        if had_calls and not self.calls:
            self.client._release(self)

    def _answered(self, packet):
        """Gives a packet to the oldest call on the connection; false once the connection is dropped."""
        if self.stream is not None:
            return self._streamed(packet)
        if not self.calls:  # nothing was asked: the connection is out of step
            self.client._drop(self)
            return False
        call = self.calls.popleft()
        if call[_FUTURE].done():  # its caller gave up, or it timed out: the answer goes nowhere
            return not self.version or self.client._given_up(self, call, packet)
        return self.client._answer(self, call, packet)

    def _streamed(self, packet):
        """A packet of the stream at the head of the connection; false once the connection is dropped."""
        flow = self.stream
        try:
            record = _refusing(self._unpack, packet)
        except Exception as error:
            if not self.client._stream_failed(self, error):
                return False
        else:
            if not flow.take(record):
                return self.client._stream_failed(self, Exception(flow.rejection(record)))
        if not flow.open:
            self.stream = None
            self.calls.popleft()
        return True

    def _one_answer(self, nbytes):
        """The usual read: one whole answer, alone in the buffer, for the oldest call. Settled here
        without a copy of the packet; anything out of the ordinary goes the general way."""
        if self.stream is not None:
            if self._streamed(self._view[_HEADER_SIZE:nbytes]) and not self.calls:
                self.client._release(self)
            return
        call = self.calls.popleft()
        future = call[_FUTURE]
        if future.done() and self.version and not self.client._given_up(self, call, self._view[_HEADER_SIZE:nbytes]):
            return
        if not future.done():
            try:
                # Decoded from the buffer itself: the codec copies what it keeps of memory it does not own.
                response = _refusing(self._unpack, self._view[_HEADER_SIZE:nbytes])
            except Exception as error:
                if not self.client._undecodable(self, call, error):
                    return
            else:
                if type(response) is tuple and len(response) == 3 and response[1] == call[_MSGID] and response[0] == RESPONSE:
                    future.set_result(response[2])
                    if self.client._outage:
                        self.client._answered_again()
                elif not self.client._settle(self, call, response):
                    return
        if not self.calls:
            self.client._release(self)


class _RemoteStatus:
    """What every proxy has of its own: closing its client, with `aclose()` or `async with`."""

    __slots__ = ("_client",)

    def __repr__(self):
        return "ZELK.Client"

    async def aclose(self):
        await self._client.aclose()

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        await self._client.aclose()


class _RemoteMethod(_RemoteStatus):
    """Calling it makes the remote call `_method`: a coroutine whose result is the call's."""

    __slots__ = ("_method",)

    def __init__(self, client, method):
        self._client = client
        self._method = _checked("method", method, str)

    def __call__(self, *args, **kwds):
        return self._client._call(self._method, args, kwds)


class _RemoteClass(_RemoteStatus):
    """Any attribute it lacks is a method proxy for the service's attribute of that name."""

    __slots__ = ("_class",)

    def __init__(self, client, clsname, *args):
        self._client = client
        self._class = _checked("clsname", clsname, str)

    def __getattr__(self, method):
        proxy = object.__new__(_RemoteMethod)  # made on every access: skips the checks of __init__
        proxy._client = self._client
        proxy._method = f"{self._class}.{method}"
        return proxy


class _TypedRemoteClass(_RemoteClass):
    """A class proxy whose service `api` describes: a name the api does not define raises AttributeError."""

    __slots__ = ("_api", "_names")

    def __init__(self, client, clsname, api):
        super().__init__(client, clsname)
        self._api = api
        self._names = frozenset(dir(api))

    def __getattr__(self, method):
        if method not in self._names:
            raise AttributeError(f"the api {self._api.__name__} has no attribute {method!r}", name=method, obj=self)
        return super().__getattr__(method)


class _Flow:
    """A stream's side on its connection: the items come in here as their records are read, and its
    reader (a Stream) takes them out. It outlives a Stream dropped early, to drop what the server
    still sends, up to the stream's end."""

    __slots__ = ("client", "conn", "call", "msgid", "items", "open", "done", "error", "leaving", "window",
                 "received", "taken", "credited", "waiter", "drain_timer")

    def __init__(self, client, conn, call):
        self.client = client
        self.conn = conn
        self.call = call
        self.msgid = call[_MSGID]
        self.items = collections.deque()
        self.open = True  # records of it still come on its connection
        self.done = False  # its reader gets no more items: after `items`, `error` or the end
        self.error = None  # raised once the items before it are taken
        self.leaving = False  # called off: what still comes is dropped, up to its end
        self.window = client._stream_window
        self.received = self.taken = self.credited = 0
        self.waiter = None
        self.drain_timer = None

    # ---- from its connection -------------------------------------------------------------------

    def take(self, record):
        """One record of the stream: its items, its end, or the failure that ends it; false for none of
        them, or for more items than the window lets the server send: a server that overran it could
        fill the client's memory."""
        if Stream._starts(record, self.msgid):
            if not self.done:
                self.received += len(record[2])
                if self.received - self.credited > self.window:
                    return False
                self.items.extend(record[2])
            if record[0] == _END:
                self.ended(None)
        elif type(record) is list and len(record) == 3 and record[0] == RESPONSE and record[1] == self.msgid:
            self.ended(_remote_failure(record, record[2]))
        else:
            return False
        self.wake()
        return True

    def rejection(self, record):
        """Why `record`, which take() refused, is no record of this stream."""
        if self.received - self.credited > self.window:
            return f"Stream: {self.received - self.credited} items sent beyond a window of {self.window}"
        return f"Stream[{record}]: Invalid Record<Request[0, {self.msgid}]>"

    def ended(self, error, cause=None):
        """Nothing more of it comes: its end, or `error` (raised after the items before it)."""
        self.open = False
        if self.drain_timer is not None:
            self.drain_timer.cancel()
        self.fail(error, cause)

    def fail(self, error, cause=None):
        """Its reader gets `error` after the items it has, and no more."""
        if not self.done:
            self.done = True
            if error is not None:
                error.__cause__ = cause
                self.error = error
        self.wake()

    def refused(self, record, error):
        """A record read whole that cannot be handed out (allowed_classes refused a class in it, or an
        array could not be rebuilt): the reader gets `error`, and the rest of the stream is dropped."""
        if Stream._starts(record, self.msgid) and record[0] == _ITEMS:
            self.fail(error)
            self.leave()
        else:  # its last record, or none of its own: nothing more comes
            self.ended(error)

    def wake(self):
        if self.waiter is not None and not self.waiter.done():
            self.waiter.set_result(None)

    # ---- its reader's side -----------------------------------------------------------------------

    def send(self, record):
        if self.open and self.conn.transport is not None:
            self.conn.transport.write(self.client._pack(record))

    def credit(self):
        # The caller took this many: the server may run that far ahead again.
        self.send([_CREDIT, self.msgid, self.taken])
        self.credited = self.taken

    def leave(self):
        """Tells the server the stream is called off; what it sent meanwhile is dropped as it comes, for
        at most a second: a server that has not ended it by then loses the connection."""
        self.items.clear()
        self.done = True
        if not self.open or self.leaving:
            return self.wake()
        self.leaving = True
        self.send([_CANCEL, self.msgid])
        self.drain_timer = self.client._loop.call_later(_DRAIN_SECONDS, self.drop)
        self.wake()

    def drop(self, error=None):
        """Its connection goes, out of step with the stream: the server sees it closed."""
        conn = self.conn
        if conn.stream is self:
            conn.stream = None
            conn.calls.clear()
            self.client._drop(conn)
        self.ended(error)

    async def next(self):
        while not self.items:
            if self.done:
                if (error := self.error) is not None:
                    self.error = None
                    raise error
                raise StopAsyncIteration
            if self.taken > self.credited:
                self.credit()
            await self.wait()
        item = self.items.popleft()
        self.taken += 1
        if self.taken - self.credited >= max(1, self.window // 2) and not self.done:
            self.credit()
        return item

    async def wait(self):
        """Waits for its next record, no longer than the client's time-out for a call."""
        self.waiter = waiter = self.client._loop.create_future()
        seconds = self.call[_TIMEOUT]
        try:
            async with asyncio.timeout(seconds):
                await waiter
        except TimeoutError:
            if not self.done:
                error = TimeoutError(f"timed out({seconds}s, {self.conn.laddr})")
                self.drop(CallTimeout(self.client.log.critical(_failure_text("@RECV", error))))
        except asyncio.CancelledError:
            self.leave()
            raise
        finally:
            self.waiter = None

    async def close(self):
        self.leave()
        while self.open:  # the drain timer ends the wait
            self.waiter = self.client._loop.create_future()
            try:
                await self.waiter
            finally:
                self.waiter = None


class Stream:
    """The items of a served generator, as they come: for `async for`, and `async with`.

    A remote method that returns a generator answers with a stream. It holds a connection of its
    client's until it ends; aclose() (or the end of an async with block, its task cancelled while it
    waits, or dropping it) tells the server, whose generator is then closed. A failure of the
    generator is raised as RemoteError after the items before it; no item within the client's
    time-out raises CallTimeout, as no answer would.
    """

    __slots__ = ("_flow",)

    def __init__(self, flow):
        self._flow = flow

    @staticmethod
    def _starts(record, msgid):
        """Whether `record` is the first record of a stream that answers call `msgid`."""
        return (type(record) is list and len(record) == 3 and (record[0] == _ITEMS or record[0] == _END)
                and record[1] == msgid and type(record[2]) is list)

    def __aiter__(self):
        return self

    def __anext__(self):
        return self._flow.next()

    async def aclose(self):
        """Leave the stream: the server's generator is closed. Closing twice does nothing."""
        await self._flow.close()

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        await self._flow.close()

    def __del__(self):
        # A stream dropped before its end is called off, from its event loop's thread.
        flow = getattr(self, "_flow", None)
        if flow is None or flow.done:
            return
        with contextlib.suppress(RuntimeError):  # the loop is closed: its connections are gone with it
            flow.client._loop.call_soon_threadsafe(flow.leave)

    def __repr__(self):
        flow = self._flow
        return f"<zelk.aio.Stream of {flow.call[_TIMEOUT + 1]} {'open' if flow.open else 'ended'}>"


class Client:
    """The connections of one client to one service, for the calls of one event loop.

    A call goes out at once on an idle connection; otherwise it waits while a new connection opens,
    up to `max_connections`, or until one comes free. A connection that comes free while many calls
    wait takes its share of them at once.
    """

    def __init__(self, host, port, timeout=1000.0, *, authkey=None, max_connections=32,
                 max_message_size=MAX_MESSAGE_SIZE, allowed_classes=None, balance="first", ssl_context=None,
                 stream_window=_WINDOW):
        # The addresses the host names resolve to, which of them failed lately, and whose turn is next.
        self._hosts = _Hosts(host, port, balance)
        self._spread = balance == "round_robin"
        self._host = host
        self._port = port
        self._timeout = _seconds(timeout)
        if authkey is not None:
            _checked("authkey", authkey, bytes)
        _check_ssl_context(ssl_context)
        self._ssl_context = ssl_context
        if _checked("max_connections", max_connections, int) < 1:
            raise ValueError("max_connections must be at least 1")
        _checked_message_size(_checked("max_message_size", max_message_size, int))
        if _checked("stream_window", stream_window, int) < 1:
            raise ValueError("stream_window must be at least 1")
        self._authkey = authkey
        self._max_connections = max_connections
        self._max_message_size = max_message_size
        self._stream_window = stream_window
        # The stream terms a call record names: those that differ from the server's own.
        self._terms = {"window": stream_window} if stream_window != _WINDOW else {}
        if max_message_size < _BUDGET:
            self._terms["bytes"] = max(max_message_size, 1)
        self._version = 0  # what the server of the connection opened last takes: calls are packed for it
        self._traces = False  # and whether it takes a traceparent
        self._traceparents = {}  # the traceparents of traced calls in flight, by message id
        # Answers are decoded by BytePacker.unpack itself unless an allow-list is given: no cost without one.
        if allowed_classes is not None and not isinstance(allowed_classes, AllowedClasses):
            allowed_classes = AllowedClasses(allowed_classes)
        self._allowed_classes = allowed_classes
        self._unpack = _unpack if allowed_classes is None else allowed_classes.unpack
        self._msgid = 0
        self._pack = ByteStream().pack  # the length field and the packet, in one bytes object
        self._outage = False  # the service was found unreachable, and has not answered since
        self.alias = ""
        self.log = _printer("zelk.aio")
        self._binding = threading.Lock()  # one event loop at a time binds the client
        self._pid = os.getpid()
        self._loop = self._clock = self._future = None
        self._reset()

    def _reset(self):
        """Forgets the pool, not the event loop it belonged to."""
        self._connections = set()  # open and usable: idle, or with calls on them
        self._idle = collections.deque()  # the one freed last at the right
        self._dropped = set()  # aborted, until their transports let go
        self._opening = set()  # tasks opening connections
        self._waiting = collections.deque()  # calls that no connection was free for yet
        self._timer = None
        self._timer_at = math.inf
        self._closing = False

    def __call__(self, name, types="class"):
        """A proxy for the service `name`: a class proxy, or a method proxy for any other `types`."""
        self.alias = _checked("name", name, str)
        self.log = _printer(name)
        return (_RemoteClass if _checked("types", types, str) == "class" else _RemoteMethod)(self, name)

    async def call(self, method, *args, **kwds):
        """Calling remote method"""
        return await self._call(_checked("method", method, str), args, kwds)

    async def _call(self, method, args, kwds):
        if (telemetry := _telemetry()) is None:
            return await self._traced_call(method, args, kwds, None)
        span, traceparent = telemetry.client_span(method)
        failed = True
        try:
            result = await self._traced_call(method, args, kwds, traceparent)
            failed = False
            return result
        finally:
            telemetry.end_client_span(span, failed)

    async def _traced_call(self, method, args, kwds, traceparent):
        """The call; `traceparent`, when not None, names the caller's span to servers that take one."""
        timeout = kwds.pop("timeout", None) if kwds else None  # the client's, not the remote method's
        if timeout:
            timeout = _seconds(timeout)
            if timeout < 0:
                raise ValueError("Timeout value must be non-negative")
        else:
            timeout = self._timeout
        loop = _running_loop()
        if loop is not self._loop:
            self._bind(loop)
        if (left := _time_left()) is not None and left < timeout:  # a call made inside a served call
            timeout = left
        self._msgid = msgid = self._msgid + 1
        if traceparent is not None:  # for a connection whose server takes it, when the call is packed for one
            self._traceparents[msgid] = traceparent
        frame = _refusing(self._pack, self._record(self._version, msgid, method, args, kwds, timeout,
                                                   traceparent if self._traces else None))
        now = self._clock()
        future = self._future(loop=loop)
        call = (future, msgid, frame, now + timeout, timeout, method, args, kwds)
        if now + timeout < self._timer_at:
            self._arm(now + timeout)
        idle = self._idle
        if self._spread:  # to the next address in turn, over a connection there
            address = self._hosts.next()
            if idle and (conn := self._take_idle(address)) is not None:
                conn.send((call,))
            else:
                self._waiting.append(call)
                self._grow(address)
        elif idle and now - idle[-1].idle_since < _PROBE_AFTER:
            conn = idle.pop()
            conn.calls.append(call)
            conn.transport.write(conn.frame(call))
        elif idle and (conn := self._take_idle()) is not None:
            conn.send((call,))
        else:
            self._waiting.append(call)
            self._grow()
        try:
            return await future
        except asyncio.CancelledError:
            self._call_off(call)
            raise
        finally:
            if traceparent is not None:
                del self._traceparents[msgid]

    def _record(self, version, msgid, method, args, kwds, seconds, traceparent=None):
        """The record of a call for a server that takes `version`: a call record with its deadline,
        stream terms and, to a server that said it takes one, the caller's traceparent; or the 5-item request."""
        if not version:
            return (REQUEST, msgid, method, args, kwds)
        options = {"deadline": seconds}
        if self._terms:
            options.update(self._terms)
        if traceparent is not None:
            options["traceparent"] = traceparent
        return [_CALL, msgid, method, args, kwds, options]

    def _frame(self, version, call, traces=False):
        """A call packed again for a connection whose server takes another `version` (and a traceparent,
        when it `traces`), with what is left of its time."""
        method, args, kwds = call[_TIMEOUT + 1:]
        traceparent = self._traceparents.get(call[_MSGID]) if traces else None
        record = self._record(version, call[_MSGID], method, args, kwds, max(call[_DEADLINE] - self._clock(), 0.0),
                              traceparent)
        return _refusing(self._pack, record)

    def _call_off(self, call):
        """Tells the server on whose connection a call whose caller gave up was sent: it sees cancelled(),
        and a stream that answers it is closed. Its answer is dropped when it comes."""
        for conn in self._connections:
            if conn.stream is not None and conn.stream.msgid == call[_MSGID]:  # answered by a stream it never saw
                return conn.stream.leave()
            if conn.version and conn.transport is not None and any(sent is call for sent in conn.calls):
                return conn.transport.write(self._pack([_CANCEL, call[_MSGID]]))

    def _bind(self, loop):
        self._forget_parent()
        with self._binding:
            if loop is self._loop:  # bound by another call of this loop meanwhile
                return
            self._refuse_while_bound_elsewhere(loop)
            if self._connections or self._opening or self._dropped:
                raise RuntimeError("this client's connections belong to another event loop: aclose() it there first")
            self._reset()
            # The standard loops' clock is time.monotonic and their futures asyncio's own: reached
            # straight, each saves a Python call per use. Other loops are asked.
            standard = type(loop).time is asyncio.BaseEventLoop.time
            self._clock = time.monotonic if standard else loop.time
            standard = type(loop).create_future is asyncio.BaseEventLoop.create_future
            self._future = asyncio.Future if standard else lambda loop: loop.create_future()
            self._loop = loop

    def _refuse_while_bound_elsewhere(self, loop):
        # The pool's state is the bound loop's own: another loop's calls would be lost in it.
        if self._loop is not None and self._loop is not loop and self._loop.is_running():
            raise RuntimeError("this client is in use by another event loop, which is running: "
                               "a client serves one event loop at a time")

    def _forget_parent(self):
        """In a child process after a fork, the pool is the parent's: the child closes its copies of
        the sockets (the parent's connections stay open) and opens connections of its own."""
        if self._pid == os.getpid():
            return
        self._pid = os.getpid()
        self._binding = threading.Lock()  # another thread of the parent may have held it at the fork
        for conn in (*self._connections, *self._dropped):
            conn.sock.close()
        self._loop = self._clock = self._future = None
        self._reset()

    # ---- the pool --------------------------------------------------------------------------------

    def _take_idle(self, address=None):
        """The idle connection freed last that is still open (to `address`, when one is given); the
        closed ones are dropped."""
        idle = self._idle
        if address is not None:
            for conn in reversed(idle):
                if conn.address == address:
                    idle.remove(conn)
                    if self._clock() - conn.idle_since < _PROBE_AFTER or conn.alive():
                        return conn
                    self._drop(conn)
                    break
            return None
        while idle:
            conn = idle.pop()
            if conn.alive():
                return conn
            self._drop(conn)
        return None

    def _release(self, conn):
        """A connection with no call on it takes its share of the waiting calls, or waits for calls."""
        waiting = self._waiting
        if waiting:
            share = -(-len(waiting) // self._max_connections)
            calls = []
            while waiting and len(calls) < share:
                call = waiting.popleft()
                if not call[_FUTURE].done():
                    calls.append(call)
            if calls:
                conn.send(calls)
                return
        idle = self._idle
        conn.idle_since = now = self._clock()
        idle.append(conn)
        if len(idle) > 1 and now - idle[0].idle_since > _blocking._SPARE_IDLE:
            self._drop(idle.popleft())

    def _grow(self, address=None):
        """Opens connections for the calls that wait, up to max_connections, the first to `address`
        when one is given. While none is open, only one is opened: a service that cannot be reached
        is then reported once, not once per call."""
        if self._closing:
            return
        live, opening = len(self._connections), len(self._opening)
        wanted = min(len(self._waiting), 1 if not live else self._max_connections - live) - opening
        if address is not None and live and wanted < 1 and live + opening < self._max_connections:
            wanted = 1  # the others open elsewhere, and this call's address has no connection free
        for _ in range(wanted):
            task = self._loop.create_task(self._open(address))
            self._opening.add(task)
            task.add_done_callback(self._opening.discard)
            address = None

    async def _open(self, address=None):
        try:
            conn = await self._connect(address)
        except Exception as error:  # whatever it was, the waiting calls must hear of it
            self._opening.discard(asyncio.current_task())
            self._unreachable(error)
            if self._waiting and (idle := self._take_idle()) is not None:
                self._release(idle)  # the connections open elsewhere take the calls
            return
        self._opening.discard(asyncio.current_task())  # it opens nothing more
        self._version, self._traces = conn.version, conn.traces
        self._connections.add(conn)
        self._release(conn)
        conn.start()
        self._grow()

    async def _connect(self, start=None):
        """A new connection: to `start` when it is given, else where the client's connections go, and
        when that fails to the next address, each once. The addresses that failed are named with
        their errors; a single one's error is raised as it came."""
        hosts = self._hosts
        unresolved = await self._resolve() if hosts.stale() else None
        plan = hosts.plan(start)
        if not plan:
            raise unresolved or OSError("no address")
        errors = []
        for address, family, sockaddr, name in plan:
            try:
                conn = await self._connect_to(family, sockaddr, name)
            except OSError as error:
                hosts.failed(address)
                errors.append((address, error))
                continue
            hosts.answered(address)
            conn.address = address
            return conn
        if len(hosts) == 1:
            raise errors[0][1]
        raise OSError("; ".join(f"{address}: {error}" for address, error in errors)) from errors[-1][1]

    async def _resolve(self):
        """Resolves the host names on the loop; the error to report when no address is known."""
        results = []
        for name in self._hosts.names:
            try:
                results.append(await self._loop.getaddrinfo(name, self._port, type=socket.SOCK_STREAM))
            except OSError as error:
                results.append(error)
        return self._hosts.resolved(results)

    async def _connect_to(self, family, sockaddr, name):
        """A new connection to one address of the host `name`, TLS and key handshakes included, within the
        client's time-out."""
        loop = self._loop
        sock = socket.socket(family)
        sock.setblocking(False)
        conn = None
        try:
            try:
                async with asyncio.timeout(self._timeout):
                    try:
                        await loop.sock_connect(sock, sockaddr)
                    except OSError as error:
                        if error.errno is None:
                            raise
                        # The system's own words, as the blocking client reports them, not asyncio's
                        # "Connect call failed (address)".
                        raise type(error)(error.errno, os.strerror(error.errno)) from None
                    _, conn = await loop.create_connection(lambda: _Connection(self, sock), sock=sock, **self._tls(name))
                    if self._authkey is not None:
                        await _answer_challenge(conn, self._authkey)
                    conn.version, conn.traces = await _ask_version(conn, self._pack, self._unpack)
            except TimeoutError as error:
                raise TimeoutError("timed out") from error
        except BaseException:
            if conn is None:
                sock.close()
            else:
                conn.abort()
                await conn.closed
            raise
        return conn

    def _tls(self, name):
        # asyncio's own TLS, checking the certificate for the host name: the handshake within the client's
        # time-out, and never longer than a key handshake.
        if self._ssl_context is None:
            return {}
        return {"ssl": self._ssl_context, "server_hostname": name,
                "ssl_handshake_timeout": min(self._timeout, _HANDSHAKE_SECONDS) or _HANDSHAKE_SECONDS}

    def _drop(self, conn):
        """Aborts a connection that must carry no more calls; the calls still on it are lost."""
        if conn in self._connections:
            self._connections.discard(conn)
            if conn in self._idle:
                self._idle.remove(conn)
            self._lose_calls(conn, ConnectionError("the connection was renewed after a failure of another call on it"))
        if conn.transport is not None:
            self._dropped.add(conn)
            conn.abort()

    def _lost(self, conn, exc):
        self._dropped.discard(conn)
        if conn not in self._connections:
            return
        if not self._closing:
            self._hosts.failed(conn.address)  # skipped for a while: the next connections go elsewhere
        self._connections.discard(conn)
        if conn in self._idle:
            self._idle.remove(conn)
        if self._closing:
            error = ConnectionError("the client was closed while the call waited for its answer")
        else:
            error = exc if exc is not None else ConnectionError("the server closed the connection before it answered")
        self._lose_calls(conn, error)
        if self._waiting:
            self._grow()

    def _lose_calls(self, conn, error):
        calls = [call for call in conn.calls if not call[_FUTURE].done()]
        conn.calls.clear()
        flow, conn.stream = conn.stream, None
        if calls or (flow is not None and not flow.done):
            text = self.log.critical(_failure_text("@RECV", error))
            for call in calls:
                self._fail(call, ConnectionLost(text), error)
            if flow is not None:
                flow.ended(ConnectionLost(text), error)
        elif flow is not None:
            flow.ended(None)

    def _unreachable(self, error):
        """A connection could not be opened, or leads nowhere: said when calls wait, which fail with no
        other connection to take them. It is printed once per outage, which the next answer ends."""
        if not self._waiting:
            return
        text = _report_unreachable(self, error, first=not self._outage)
        self._outage = True
        if self._connections or self._opening:
            return
        waiting, self._waiting = self._waiting, collections.deque()
        for call in waiting:
            self._fail(call, Unreachable(text, str(error)), error)

    def _answered_again(self):
        self._outage = False
        _report_reachable(self)

    @staticmethod
    def _fail(call, exception, cause=None):
        future = call[_FUTURE]
        if not future.done():
            exception.__cause__ = cause
            future.set_exception(exception)

    # ---- answers -------------------------------------------------------------------------------

    def _answer(self, conn, call, packet):
        """Settles `call` with its answer; false when the answer was refused and the connection dropped."""
        try:
            response = _refusing(conn._unpack, packet)
        except Exception as error:
            return self._undecodable(conn, call, error)
        return self._settle(conn, call, response)

    def _undecodable(self, conn, call, error):
        """Fails `call`, whose answer could not be decoded; false when its connection was dropped with it.
        An answer that allowed_classes refused, or with an array that could not be rebuilt, was read
        whole: the connection goes on."""
        if isinstance(error, (ClassNotAllowed, NotRebuilt)):
            self._fail(call, InvalidAnswer(_report_failure(self, *call[_TIMEOUT + 1:], error)), error)
            if conn.version and Stream._starts(error.value, call[_MSGID]) and error.value[0] == _ITEMS:
                self._given_up(conn, call, None, error.value)  # the stream's other records are dropped as they come
            return True
        text = self.log.critical(_failure_text("@RECV", error))
        self._fail(call, InvalidAnswer(text), error)
        self._drop(conn)
        return False

    def _settle(self, conn, call, response):
        """Settles `call` with a decoded answer; false when it was refused and the connection dropped."""
        future, msgid = call[_FUTURE], call[_MSGID]
        if conn.version and Stream._starts(response, msgid):
            return self._stream(conn, call, response)
        try:
            result = _checked_result(response, msgid)
        except Exception as error:
            if (reason := _refusal_reason(response)) is not None:
                self._refused(conn, call, reason)
                return False
            self._fail(call, InvalidAnswer(_report_failure(self, *call[_TIMEOUT + 1:], error)), error)
            self._drop(conn)
            return False
        if self._outage:
            self._answered_again()
        if (failure := _remote_failure(response, result)) is not None:
            future.set_exception(failure)
        else:
            future.set_result(result)
        return True

    def _stream(self, conn, call, record):
        """Settles `call` with the Stream its first record starts; false when the connection was dropped.
        Until it ends, the stream holds the connection, its call at the head with a future of its own:
        the caller's holds the Stream, which must go when it is dropped."""
        settled = self._future(loop=self._loop)
        settled.set_result(None)
        future, call = call[_FUTURE], (settled, *call[1:])
        flow = conn.stream = _Flow(self, conn, call)
        conn.calls.appendleft(call)
        future.set_result(Stream(flow))
        if not flow.take(record):
            return self._stream_failed(conn, Exception(flow.rejection(record)))
        if not flow.open:
            conn.stream = None
            conn.calls.popleft()
        return True

    def _given_up(self, conn, call, packet, record=None):
        """The answer to a call whose caller gave up (`packet`, or `record` decoded): dropped, unless it
        starts a stream, whose records are then dropped up to its end (the server is told again: it may
        have started the call only after the first cancel came). False once the connection is dropped."""
        if record is None:
            try:
                record = _refusing(conn._unpack, packet)
            except (ClassNotAllowed, NotRebuilt) as error:  # read whole: what it was still counts
                record = error.value
            except Exception:
                return True
        if Stream._starts(record, call[_MSGID]) and record[0] == _ITEMS:
            flow = _Flow(self, conn, call)
            conn.calls.appendleft(call)
            conn.stream = flow
            flow.leave()
        return True

    def _stream_failed(self, conn, error):
        """A record of a stream that cannot be read, or is none of its records: the stream fails with
        InvalidAnswer; the connection goes on when it was read whole and refused, else is dropped."""
        flow = conn.stream
        failure = InvalidAnswer(_report_failure(self, *flow.call[_TIMEOUT + 1:], error))
        failure.__cause__ = error
        if isinstance(error, (ClassNotAllowed, NotRebuilt)):
            flow.refused(error.value, failure)
            return True
        flow.drop(failure)
        return False

    def _refused(self, conn, call, reason):
        """The server could serve no more connections, and said why before it closed this one: its
        calls wait for another connection (to another address, when one has not failed lately), and
        fail as the service's being unreachable when none is open or opening."""
        self._waiting.extendleft(reversed([call, *conn.calls]))
        conn.calls.clear()
        self._drop(conn)
        hosts = self._hosts
        if len(hosts) > 1:
            hosts.failed(conn.address)
        if len(hosts) > 1 and hosts.available():
            self._grow()  # nothing was served: the calls go to an address that has not failed lately
        else:
            self._unreachable(ConnectionRefusedError(reason))
        if self._waiting and (idle := self._take_idle()) is not None:
            self._release(idle)

    def _refused_length(self, conn, error):
        """A length field this client will not read: a key challenge, or a message over max_message_size."""
        if isinstance(error, AuthenticationError) and self._authkey is None:
            # The server took the requests for an answer to its challenge: none of them was served.
            self._waiting.extendleft(reversed(conn.calls))
            conn.calls.clear()
            self._drop(conn)
            self._unreachable(error)
            return
        if conn.stream is not None:
            return conn.stream.drop(InvalidAnswer(self.log.critical(_failure_text("@RECV", error))))
        if conn.calls:
            call = conn.calls.popleft()
            if not call[_FUTURE].done():
                self._fail(call, InvalidAnswer(self.log.critical(_failure_text("@RECV", error))), error)
        self._drop(conn)

    # ---- time-outs -----------------------------------------------------------------------------

    def _arm(self, deadline):
        # One timer for all the client's calls, at the earliest deadline: calls with the same time-out
        # come due in the order they were made, so it is set again only when it goes off.
        if self._timer is not None:
            self._timer.cancel()
        self._timer = self._loop.call_at(deadline, self._expire)
        self._timer_at = deadline

    def _expire(self):
        self._timer, self._timer_at = None, math.inf
        now, soonest = self._clock(), math.inf
        for conn in list(self._connections):
            overdue = False
            for call in conn.calls:
                if conn.stream is not None and call is conn.stream.call:
                    continue  # a stream keeps its own time, item by item
                if call[_DEADLINE] > now:
                    soonest = min(soonest, call[_DEADLINE])
                    continue
                overdue = True
                if not call[_FUTURE].done():
                    error = TimeoutError(f"timed out({call[_TIMEOUT]}s, {conn.laddr})")
                    self._fail(call, CallTimeout(self.log.critical(_failure_text("@RECV", error))))
            # Once no call waits on it, a connection whose server overran a time-out is renewed: a late
            # answer must not be taken for another call's.
            if overdue and conn.stream is None and all(call[_FUTURE].done() for call in conn.calls):
                conn.calls.clear()
                self._drop(conn)
        kept, unconnected = collections.deque(), []
        for call in self._waiting:
            if call[_FUTURE].done():
                continue
            if call[_DEADLINE] > now:
                soonest = min(soonest, call[_DEADLINE])
                kept.append(call)
            elif not self._connections and self._opening:
                unconnected.append(call)  # the service did not let itself be reached in time
            else:
                error = TimeoutError(f"timed out({call[_TIMEOUT]}s) waiting for a connection")
                self._fail(call, CallTimeout(self.log.critical(_failure_text("@SEND", error))))
        self._waiting = kept
        if unconnected:
            error = TimeoutError("timed out")
            text = _report_unreachable(self, error)
            for call in unconnected:
                self._fail(call, Unreachable(text, str(error)), error)
        if soonest < math.inf:
            self._arm(soonest)
        if kept:
            self._grow()  # connections dropped above make room

    # ---- closing -------------------------------------------------------------------------------

    async def aclose(self):
        """Closes every connection of the client; calls still waiting fail. The next call connects again."""
        self._forget_parent()
        self._refuse_while_bound_elsewhere(_running_loop())
        try:
            if self._loop is not None and self._loop is _running_loop():
                self._closing = True
                for task in self._opening:
                    task.cancel()
                if self._opening:
                    await asyncio.gather(*self._opening, return_exceptions=True)
                for conn in list(self._connections):
                    if conn.calls:
                        conn.abort()
                    else:
                        conn.transport.close()
                closing = [conn.closed for conn in (*self._connections, *self._dropped)]
                if closing:
                    await asyncio.gather(*closing)
                if any(not call[_FUTURE].done() for call in self._waiting):
                    error = ConnectionError("the client was closed before the call was sent")
                    text = self.log.critical(_failure_text("@SEND", error))
                    for call in self._waiting:
                        self._fail(call, ConnectionLost(text))
                if self._timer is not None:
                    self._timer.cancel()
                self._reset()  # still bound: another loop may take the client once this one has stopped
        finally:
            _report_closed(self)


async def _answer_challenge(conn, key):
    """The client's side of the key handshake, in the steps zelk.ring takes for the blocking client."""
    answer = _KeyAnswer(key)
    while answer.wanted:
        try:
            data = await conn.receive_exactly(answer.wanted)
        except ConnectionError:
            raise answer.closed() from None
        if (reply := answer.take(data)) is not None:
            conn.transport.write(reply)


def _telemetry():
    """zelk._telemetry when the application has set an OpenTelemetry tracer or meter provider, else
    None: the blocking client's question (src/core/telemetry.cpp), so that OpenTelemetry is never
    imported here."""
    for module, provider in (("opentelemetry.trace", "_TRACER_PROVIDER"), ("opentelemetry.metrics._internal", "_METER_PROVIDER")):
        if (loaded := sys.modules.get(module)) is not None and getattr(loaded, provider, True) is not None:
            from . import _telemetry
            return _telemetry
    return None


async def _ask_version(conn, pack, unpack):
    """What the server of a new connection takes, asked before it carries calls: 1 for call records
    and streams, 0 for the 5-item request alone (an old server answers the question with a failure);
    and whether it takes a traceparent in a call's options.
    A refusal in the answer's place raises ConnectionRefusedError with its reason; a key challenge,
    AuthenticationError; a length no answer to the question has, MessageTooLarge."""
    conn.transport.write(pack(_QUESTION))
    during = "the question of what it takes"
    head = await conn.receive_exactly(_HEADER_SIZE, during)
    if (alert := _tls_alert(head)) is not None:  # a TLS server's answer to a peer without TLS
        raise alert
    size = _packet_length(head, 0, min(conn.limit, _SCRATCH_SIZE - _HEADER_SIZE))
    answer = unpack(bytearray(await conn.receive_exactly(size, during)))
    if (reason := _refusal_reason(answer)) is not None:
        raise ConnectionRefusedError(reason)
    if type(answer) is tuple and len(answer) == 3 and type(answer[2]) is dict:
        version = answer[2].get("version")
        if type(version) is int and version >= _CALLS_VERSION:
            return _CALLS_VERSION, answer[2].get("traceparent") is True
    return 0, False


def connect(name, host="127.0.0.1", port=0, timeout=1000.0, types="class", *, authkey=None, max_connections=32,
            max_message_size=MAX_MESSAGE_SIZE, allowed_classes=None, balance="first", ssl_context=None,
            stream_window=_WINDOW, api=None):
    """A proxy for the service `name`, whose calls are awaited. Nothing is opened until the first call.

    With `api`, a class (a typing.Protocol, say) whose methods are coroutines describing the service,
    type checkers take the proxy for one of it, and a name it does not define raises AttributeError
    before anything is sent. A method that returns a generator answers with a Stream, whose server
    runs at most `stream_window` items ahead of those taken.
    """
    _checked("name", name, str)
    if api is not None:
        if not isinstance(api, type):
            raise TypeError(f"api must be a class or None, not {type(api).__name__}")
        if types != "class":
            raise ValueError('api describes a class proxy: types must be "class"')
    if not _checked("port", port, int):
        port = get_port(name)
    client = Client(host, port, timeout, authkey=authkey, max_connections=max_connections,
                    max_message_size=max_message_size, allowed_classes=allowed_classes, balance=balance,
                    ssl_context=ssl_context, stream_window=stream_window)
    proxy = client(name, types)
    return proxy if api is None else _TypedRemoteClass(client, name, api)
