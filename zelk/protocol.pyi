"""The wire protocol: message constants, the object serializer chosen at import, and the packers."""

import base64 as base64
import builtins as builtins
import hashlib as hashlib
import json as json
import os as os
import pickle as pickle
import struct as struct
from multiprocessing.shared_memory import SharedMemory as SharedMemory
from typing import Any as Any
from typing import Callable as Callable

import msgpack as msgpack
import numpy as np

from .scribe import BrillPrint as BrillPrint

udump: Callable[..., bytes]
uload: Callable[..., Any]
log: BrillPrint
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
