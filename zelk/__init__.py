"""zelk: small, fast remote procedure calls for free-threaded CPython.

The package is six native modules: ``zelk.protocol``, ``zelk.ring``, ``zelk.server``,
``zelk.client``, ``zelk.scribe`` and ``zelk.minter``, and ``zelk.aio``, the client for asyncio
programs, in Python over the native codec. Import the one you need.
"""

__version__ = "0.1.0"
