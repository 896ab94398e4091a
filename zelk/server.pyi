"""The server: serves one object under a service name to other processes over TCP."""

import os as os
import socketserver as socketserver
import ssl
from types import MethodType as MethodType
from collections.abc import Iterable
from typing import Any as Any

from .protocol import REQUEST as REQUEST
from .protocol import RESPONSE as RESPONSE
from .ring import MAX_MESSAGE_SIZE as MAX_MESSAGE_SIZE
from .ring import Connection as Connection
from .ring import get_port as get_port
from .scribe import BrillPrint as BrillPrint
from .scribe import iformat as iformat
from .scribe import iprint as iprint

class ServerBase:
    _alias: str
    _server: dict[str, Any]
    _timeout: int
    statistics: dict[Any, dict[str, dict[str, int]]]
    client: dict[str, Any]
    def __init__(self, obj: Any, alias: str = "") -> None: ...
    def register(self, obj: Any) -> None: ...
    def _parse(self, request: tuple[Any, ...] | list[Any]) -> tuple[Any, Any, Any, dict[str, Any]]: ...

class RequestHandler(socketserver.BaseRequestHandler):
    record: dict[str, dict[str, int]]
    _connection: Connection
    server: Server  # type: ignore[assignment]
    def setup(self) -> None: ...
    def handle(self) -> None: ...
    def process(self) -> None: ...
    def finish(self) -> None: ...

class Server(socketserver.ThreadingTCPServer, ServerBase):
    log: BrillPrint
    max_message_size: int
    idle_timeout: float | None
    max_connections: int
    max_connections_per_host: int
    first_message_timeout: float | None
    def __init__(
        self,
        server_address: tuple[str, int],
        RequestHandlerClass: Any,
        bind_and_activate: bool = True,
        obj: Any = "Object",
        alias: str = "Server",
    ) -> None: ...
    def process_request(self, request: Any, client_address: Any) -> None: ...
    def process_request_thread(self, request: Any, client_address: Any) -> None: ...
    def server_bind(self) -> None: ...
    def get_request(self) -> tuple[Any, Any]: ...

def time_left() -> float | None: ...
def cancelled() -> bool: ...
def terminate(wait: int = 3, itself: bool = True, kill: bool = True) -> Any: ...
def start(s: Server, clean: bool = False) -> None: ...
def serve(
    obj: Any,
    alias: str = "",
    host: str = "127.0.0.1",
    port: int = 0,
    thread: bool = False,
    clean: bool = False,
    *,
    authkey: bytes | None = None,
    max_message_size: int = 1073741824,
    idle_timeout: float | None = 300.0,
    max_connections: int = 1024,
    max_connections_per_host: int = 256,
    first_message_timeout: float | None = 10.0,
    origins: list[str] | None = None,
    ssl_context: ssl.SSLContext | None = None,
    allowed_classes: Iterable[type | str] | None = None,
    expose: Iterable[str] | None = None,
    metrics: bool = False,
) -> None: ...
