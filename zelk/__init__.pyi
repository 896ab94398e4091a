from .client import connect as connect
from .server import serve as serve

__version__: str
__all__ = ["connect", "serve"]

def __dir__() -> list[str]: ...
