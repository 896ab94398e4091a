"""The wire protocol: message constants, the object serializer chosen at import, and the packers."""

import base64 as base64
import builtins as builtins
import hashlib as hashlib
import json as json
import os as os
import pickle as pickle
import struct as struct
from collections.abc import Iterable
from multiprocessing.shared_memory import SharedMemory as SharedMemory
from typing import Any as Any
from typing import Callable as Callable
from typing import TypeVar

import msgpack as msgpack
import numpy as np

from .scribe import BrillPrint as BrillPrint

_A = TypeVar("_A")
_R = TypeVar("_R")

udump: Callable[..., bytes]
uload: Callable[..., Any]
log: BrillPrint

def profile(functions: list[Callable] = ...) -> Callable[[Callable[..., Any]], Callable[..., Any]] | None: ...

REQUEST: int
RESPONSE: int
SOCKET_RECV_SIZE: int

class BytePacker:
    @classmethod
    def pack(cls, request: Any) -> bytes: ...
    @classmethod
    def unpack(cls, response: bytearray | bytes) -> Any: ...
    @classmethod
    def encode(cls, obj: Any) -> Any: ...
    @classmethod
    def decode(cls, obj: Any) -> Any: ...

def dump(request: Any) -> bytes: ...
def load(response: bytearray | bytes) -> Any: ...

class JsonPacker:
    @classmethod
    def _default(cls, obj: Any) -> Any: ...
    @classmethod
    def _object_hook(cls, obj: Any) -> Any: ...
    @classmethod
    def dumps(cls, obj: Any, indent: int = 4) -> str: ...
    @classmethod
    def loads(cls, s: str | bytes) -> Any: ...

def dumps(obj: Any, indent: int = 4) -> str: ...
def loads(s: str | bytes) -> Any: ...
def compress(value: Any) -> Any: ...
def decompress(values: Any, lengths: Any) -> np.ndarray: ...
def dumpv(
    value: np.ndarray, name: str | None = None, shm: SharedMemory | None = None
) -> tuple[tuple[tuple[int, ...], str], str, SharedMemory]: ...
def loadv(value: tuple, name: str, shm: SharedMemory | None = None) -> tuple[SharedMemory | str, Any]: ...

class WebSocket:
    RESPONSE: str
    MAGIC: str
    MARK: bytes
    @classmethod
    def header(cls, info: bytes) -> dict[str, str]: ...
    @classmethod
    def encrypt(cls, header: dict) -> bytes: ...
    @classmethod
    def pack(cls, payload: Any) -> bytes: ...
    @classmethod
    def unpack(cls, payload: bytes | bytearray) -> Any: ...
    @classmethod
    def encode(cls, payload: str) -> bytes: ...
    @classmethod
    def decode(cls, payload: bytes | bytearray) -> str: ...

websocket = WebSocket

class ClassNotAllowed(pickle.UnpicklingError):
    value: Any

class AllowedClasses:
    names: frozenset[str]
    def __init__(self, classes: Iterable[type | str]) -> None: ...
    def loads(self, data: bytes) -> Any: ...
    def unpack(self, packet: bytearray | bytes) -> Any: ...

class NotRebuilt(ValueError):
    value: Any

def refusing_stand_ins(function: Callable[[_A], _R], arg: _A) -> _R: ...
