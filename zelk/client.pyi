"""The caller's side of a remote call: the client that numbers, sends and checks calls, and the proxies."""

import socket as socket
import ssl
from collections.abc import Callable, Iterable
from typing import Any, Literal, TypeVar, overload

from .protocol import REQUEST as REQUEST
from .protocol import RESPONSE as RESPONSE
from .protocol import AllowedClasses
from .ring import MAX_MESSAGE_SIZE as MAX_MESSAGE_SIZE
from .ring import Connection as Connection
from .ring import get_port as get_port
from .scribe import BrillPrint as BrillPrint
from .scribe import iformat as iformat

_T = TypeVar("_T")

class RemoteError(Exception):
    text: str
    remote_type: str | None
    def __init__(self, text: str, remote_type: str | None = None) -> None: ...

class InvalidAnswer(RemoteError): ...

class CallTimeout(TimeoutError):
    text: str
    def __init__(self, text: str) -> None: ...

class ConnectionLost(ConnectionError):
    text: str
    def __init__(self, text: str) -> None: ...

class Unreachable(ConnectionError):
    text: str
    reason: str | None
    def __init__(self, text: str, reason: str | None = None) -> None: ...

_SPARE_IDLE: float

def _checked_result(response: Any, expected: Any) -> Any: ...
def _failure_text(phase: str, error: BaseException) -> str: ...
def _report_failure(client: Any, method: str, args: Any, kwds: Any, error: BaseException) -> str: ...
def _remote_failure(response: Any, result: Any) -> RemoteError | None: ...
def _report_unreachable(client: Any, reason: Any, *, first: bool = True) -> str: ...
def _report_reachable(client: Any) -> None: ...
def _report_closed(client: Any) -> str: ...
def _after_fork_in_child() -> None: ...

class Stream:
    def __iter__(self) -> Stream: ...
    def __next__(self) -> Any: ...
    def close(self) -> None: ...
    def __enter__(self) -> Stream: ...
    def __exit__(self, *exc_info: object) -> None: ...
    def __del__(self) -> None: ...
    def __repr__(self) -> str: ...

class _RemoteStatus:
    def __repr__(self) -> str: ...
    @property
    def laddr(self) -> tuple[str, int] | tuple[str, int, int, int] | None: ...
    @property
    def raddr(self) -> tuple[str, int] | tuple[str, int, int, int] | None: ...
    @property
    def timeout(self) -> float | None: ...
    def settimeout(self, value: float | None) -> None: ...
    def __enter__(self) -> Any: ...
    def __exit__(self, *exc_info: object) -> None: ...

class _RemoteMethod(_RemoteStatus):
    _client: Client
    _method: str
    def __init__(self, client: Client, method: str) -> None: ...
    def __call__(self, *args: Any, **kwds: Any) -> Any: ...

class _RemoteClass(_RemoteStatus):
    _client: Client
    _class: str
    def __init__(self, client: Client, clsname: str, *args: Any) -> None: ...
    def __getattr__(self, method: str) -> _RemoteMethod: ...

class _TypedRemoteClass(_RemoteClass):
    _api: type
    _names: frozenset[str]
    def __init__(self, client: Client, clsname: str, api: type) -> None: ...

class ClientBase:
    _host: str | list[str]
    _port: int
    _timeout: float
    _errors: str
    _max_message_size: int
    _allowed_classes: AllowedClasses | None
    alias: str
    log: BrillPrint
    def __init__(
        self,
        host: str | list[str],
        port: int,
        timeout: float = 1000.0,
        *,
        errors: str = "return",
        max_message_size: int = 1073741824,
        allowed_classes: Iterable[type | str] | None = None,
    ) -> None: ...
    @property
    def _connection(self) -> Connection | None: ...
    @_connection.setter
    def _connection(self, value: Connection | None) -> None: ...
    @property
    def _msgid(self) -> int: ...
    @_msgid.setter
    def _msgid(self, value: int) -> None: ...
    @overload
    def __call__(self, name: str, types: Literal["class"] = "class") -> _RemoteClass: ...
    @overload
    def __call__(self, name: str, types: str = "class") -> _RemoteClass | _RemoteMethod: ...
    def _parse(self, response: tuple[Any, ...] | list[Any]) -> Any: ...
    def close(self) -> None: ...

class Client(ClientBase):
    def __init__(
        self,
        host: str | list[str],
        port: int,
        timeout: float,
        *,
        errors: str = "return",
        max_message_size: int = 1073741824,
        allowed_classes: Iterable[type | str] | None = None,
        balance: str = "first",
        stream_window: int = 64,
        authkey: bytes | None = None,
        ssl_context: ssl.SSLContext | None = None,
    ) -> None: ...
    def call(self, method: str, *args: Any, **kwds: Any) -> Any: ...
    def open_connection(self) -> str | None: ...
    def _request(self, method: str, args: tuple[Any, ...], kwds: dict[str, Any]) -> None: ...

# A proxy typed as its api: `api` is a Callable rather than a type[_T], since type checkers take no
# protocol where a type[_T] is asked for. The proxy's own members (laddr, settimeout, `with`) are not
# the api's: zelk.client.close(proxy) closes it.
@overload
def connect(
    name: str,
    host: str | list[str] = "127.0.0.1",
    port: int = 0,
    timeout: float = 1000.0,
    types: Literal["class"] = "class",
    *,
    authkey: bytes | None = None,
    errors: str = "return",
    max_message_size: int = 1073741824,
    ssl_context: ssl.SSLContext | None = None,
    allowed_classes: Iterable[type | str] | None = None,
    balance: str = "first",
    stream_window: int = 64,
    api: Callable[..., _T],
) -> _T: ...
@overload
def connect(
    name: str,
    host: str | list[str] = "127.0.0.1",
    port: int = 0,
    timeout: float = 1000.0,
    types: Literal["class"] = "class",
    *,
    authkey: bytes | None = None,
    errors: str = "return",
    max_message_size: int = 1073741824,
    ssl_context: ssl.SSLContext | None = None,
    allowed_classes: Iterable[type | str] | None = None,
    balance: str = "first",
    stream_window: int = 64,
    api: None = None,
) -> _RemoteClass: ...
@overload
def connect(
    name: str,
    host: str | list[str] = "127.0.0.1",
    port: int = 0,
    timeout: float = 1000.0,
    types: str = "class",
    *,
    authkey: bytes | None = None,
    errors: str = "return",
    max_message_size: int = 1073741824,
    ssl_context: ssl.SSLContext | None = None,
    allowed_classes: Iterable[type | str] | None = None,
    balance: str = "first",
    stream_window: int = 64,
    api: None = None,
) -> _RemoteClass | _RemoteMethod: ...
class _Hosts:
    names: tuple[str, ...]
    port: int
    def __init__(self, host: str | list[str], port: int, balance: str = "first") -> None: ...
    def stale(self) -> bool: ...
    def resolved(self, results: list[Any]) -> OSError | None: ...
    def plan(self, start: str | None = None) -> list[tuple[str, int, tuple[Any, ...], str]]: ...
    def next(self) -> str | None: ...
    def __len__(self) -> int: ...
    def available(self) -> int: ...
    def failed(self, key: str | None) -> None: ...
    def answered(self, key: str | None) -> None: ...

def close(proxy: object) -> None: ...
