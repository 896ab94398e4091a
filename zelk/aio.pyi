"""The asyncio client: awaitable proxies for a service, over a pool of connections to it."""

import ssl
from collections.abc import Callable, Coroutine, Iterable
from typing import Any, Literal, Self, TypeVar, overload

from .protocol import AllowedClasses
from .ring import get_port as get_port
from .scribe import BrillPrint

__all__ = ["Client", "Stream", "connect"]

_T = TypeVar("_T")

class _RemoteStatus:
    _client: Client
    def __repr__(self) -> str: ...
    async def aclose(self) -> None: ...
    async def __aenter__(self) -> Self: ...
    async def __aexit__(self, *exc_info: object) -> None: ...

class _RemoteMethod(_RemoteStatus):
    _method: str
    def __init__(self, client: Client, method: str) -> None: ...
    def __call__(self, *args: Any, **kwds: Any) -> Coroutine[Any, Any, Any]: ...

class _RemoteClass(_RemoteStatus):
    _class: str
    def __init__(self, client: Client, clsname: str, *args: Any) -> None: ...
    def __getattr__(self, method: str) -> _RemoteMethod: ...

class _TypedRemoteClass(_RemoteClass):
    _api: type
    _names: frozenset[str]
    def __init__(self, client: Client, clsname: str, api: type) -> None: ...

class Stream:
    def __init__(self, flow: Any) -> None: ...
    def __aiter__(self) -> Stream: ...
    def __anext__(self) -> Coroutine[Any, Any, Any]: ...
    async def aclose(self) -> None: ...
    async def __aenter__(self) -> Stream: ...
    async def __aexit__(self, *exc_info: object) -> None: ...
    def __del__(self) -> None: ...
    def __repr__(self) -> str: ...

class Client:
    _host: str | list[str]
    _port: int
    _timeout: float
    _authkey: bytes | None
    _max_connections: int
    _max_message_size: int
    _allowed_classes: AllowedClasses | None
    _msgid: int
    alias: str
    log: BrillPrint
    def __init__(
        self,
        host: str | list[str],
        port: int,
        timeout: float = 1000.0,
        *,
        authkey: bytes | None = None,
        max_connections: int = 32,
        max_message_size: int = 1073741824,
        allowed_classes: AllowedClasses | Iterable[type | str] | None = None,
        balance: str = "first",
        ssl_context: ssl.SSLContext | None = None,
        stream_window: int = 64,
    ) -> None: ...
    @overload
    def __call__(self, name: str, types: Literal["class"] = "class") -> _RemoteClass: ...
    @overload
    def __call__(self, name: str, types: str = "class") -> _RemoteClass | _RemoteMethod: ...
    async def call(self, method: str, *args: Any, **kwds: Any) -> Any: ...
    async def aclose(self) -> None: ...

# Typed as its api, as zelk.client.connect's proxy is. Its calls are awaitables only where the api
# says so: the type system cannot turn `def add(...) -> int` into a coroutine, so an api for this
# client declares its methods `async def`; one with plain methods is typed as returning plain values,
# and type checkers then refuse to await them.
@overload
def connect(
    name: str,
    host: str | list[str] = "127.0.0.1",
    port: int = 0,
    timeout: float = 1000.0,
    types: Literal["class"] = "class",
    *,
    authkey: bytes | None = None,
    max_connections: int = 32,
    max_message_size: int = 1073741824,
    allowed_classes: AllowedClasses | Iterable[type | str] | None = None,
    balance: str = "first",
    ssl_context: ssl.SSLContext | None = None,
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
    max_connections: int = 32,
    max_message_size: int = 1073741824,
    allowed_classes: AllowedClasses | Iterable[type | str] | None = None,
    balance: str = "first",
    ssl_context: ssl.SSLContext | None = None,
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
    max_connections: int = 32,
    max_message_size: int = 1073741824,
    allowed_classes: AllowedClasses | Iterable[type | str] | None = None,
    balance: str = "first",
    ssl_context: ssl.SSLContext | None = None,
    stream_window: int = 64,
    api: None = None,
) -> _RemoteClass | _RemoteMethod: ...
