"""zelk: small, fast remote procedure calls for free-threaded CPython.

``zelk.serve(obj, alias)`` serves an object under a service name; ``zelk.connect(alias)`` returns a
proxy whose calls are remote calls. The package is six native modules: ``zelk.protocol``,
``zelk.ring``, ``zelk.server``, ``zelk.client``, ``zelk.scribe`` and ``zelk.minter``, and
``zelk.aio``, the client for asyncio programs, in Python over the native codec. Import the one you
need; ``connect`` and ``serve`` are those of ``zelk.client`` and ``zelk.server``.
"""

__version__ = "0.1.0"
__all__ = ["connect", "serve"]


def __getattr__(name):
    # Imported at first use, so that `import zelk` loads none of the native modules (nor numpy).
    if name == "connect":
        from .client import connect

        return connect
    if name == "serve":
        from .server import serve

        return serve
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted({*globals(), *__all__})
