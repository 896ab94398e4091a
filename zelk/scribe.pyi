"""Coloured console printing, call formatting, the package's printer and a coloured logging set-up."""

import logging
import os as os
import re as re
import sys as sys
import traceback as traceback
from datetime import datetime as datetime
from functools import cached_property as cached_property
from functools import partial as partial
from logging import INFO as INFO
from logging import Formatter as Formatter
from logging import LogRecord as LogRecord
from logging import StreamHandler as StreamHandler
from logging import getLogger as getLogger
from logging import handlers as handlers
from pathlib import Path as Path
from typing import Any, TextIO

_OWN_PACKAGES: tuple[str, ...]
PREFIX: str
SUFFIX: str
STYLE: dict[str, dict[str, Any]]

def iprint(
    obj: Exception | str,
    title: str = "",
    mode: str = "bold",
    foreground: str = "red",
    background: str = "",
    exclude: list[str] = ...,
    **kwds: Any,
) -> str: ...
def abbreviate(text: str, limit: int = 1024) -> str: ...
def iformat(method: str, args: tuple[Any, ...] | list[Any], kwds: dict[Any, Any]) -> str: ...
def set_log_level(level: str | None) -> None: ...

class BrillPrint:
    title: str
    exclude: list[str]
    timestamp: bool
    def __init__(self, title: str = "ZELK", exclude: list[str] = ..., timestamp: bool = False) -> None: ...
    @property
    def log(self) -> partial[str]: ...
    def debug(self, message: object, **kwds: Any) -> str: ...
    def info(self, message: object, **kwds: Any) -> str: ...
    def warning(self, message: object, **kwds: Any) -> str: ...
    def error(self, message: object, **kwds: Any) -> str: ...
    def critical(self, message: object, **kwds: Any) -> str: ...

class ColoredFormatter(logging.Formatter):
    default_time_format: str
    default_msec_format: str
    pattern: str
    def __init__(self, pattern: str) -> None: ...
    def format(self, record: LogRecord) -> str: ...

class _StreamHandler(logging.StreamHandler[TextIO]):
    def emit(self, record: LogRecord) -> None: ...

class Filter(logging.Filter):
    def filter(self, record: LogRecord) -> bool: ...

def ilog(
    name: str = "Server",
    logdir: str | Path = "./log",
    level: int = 20,
    when: str = "H",
    count: int = 100,
) -> logging.Logger: ...

class BrillLogger:
    log: logging.Logger
    def __init__(self, child: str, parent: str = "ZELK") -> None: ...
    def debug(self, message: object, *args: object, **kwds: Any) -> None: ...
    def info(self, message: object, *args: object, **kwds: Any) -> None: ...
    def warning(self, message: object, *args: object, **kwds: Any) -> None: ...
    def error(self, message: object, *args: object, **kwds: Any) -> None: ...
    def critical(self, message: object, *args: object, **kwds: Any) -> None: ...

__test__: dict[str, Any]
