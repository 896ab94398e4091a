"""`python -m zelk`: serve an object, call a service, ping it or read its statistics from the shell;
with no command, a short demonstration: an object served in a child process, called by its name."""

import argparse
import ast
import concurrent.futures
import importlib
import os
import pprint
import re
import socket
import ssl
import subprocess
import sys
import time
from typing import Any

import numpy as np

from zelk.client import CallTimeout, Client, ConnectionLost, RemoteError, Unreachable, close, connect
from zelk.ring import get_port
from zelk.scribe import BrillPrint

HOST = "127.0.0.1"
DEMO = "zelk-demo"  # its port, from the name, is 3894: no privileges needed to listen on it


# What the demonstration serves, in a child process of its own. Its source travels with it, so the
# traceback of a failed call shows the line that raised.
EXAMPLE = f"""
from zelk.server import serve

class Example:
    def add(self, a, b):
        return a + b

    def echo(self, value):
        return value

    def divide(self, a, b):
        return a / b

serve(Example(), alias={DEMO!r})
"""


class Failed(Exception):
    """A one-line reason to stop, and the exit status that says so."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


# ---- serve ------------------------------------------------------------------------------------


class Forward:
    """Serves an object that cannot take the server's service methods (a built-in function, say):
    calls and attributes go through to it."""

    def __init__(self, target: Any) -> None:
        self._target = target

    def __call__(self, *args: Any, **kwds: Any) -> Any:
        return self._target(*args, **kwds)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._target, name)


def load(target: str) -> tuple[Any, str]:
    """The object MODULE[:ATTR] names, and its default service name (the attribute's or the module's)."""
    module_name, _, attribute = target.partition(":")
    try:
        obj = importlib.import_module(module_name)
    except ImportError as e:
        raise Failed(f"cannot import {module_name!r}: {e}", 2) from None
    for part in attribute.split(".") if attribute else ():
        try:
            obj = getattr(obj, part)
        except AttributeError:
            raise Failed(f"{module_name!r} has no attribute {attribute!r}", 2) from None
    return obj, (attribute or module_name).rsplit(".", 1)[-1]


def servable(obj: Any) -> Any:
    # The server installs stats, ping and the others on the object it serves.
    try:
        setattr(obj, "_zelk_probe", None)
        delattr(obj, "_zelk_probe")
        return obj
    except (AttributeError, TypeError):
        return Forward(obj)


AUTHKEY_VARIABLE = "ZELK_AUTHKEY"


def authkey() -> bytes | None:
    """The shared key, from the environment (never an argument, which other users can see)."""
    key = os.environ.get(AUTHKEY_VARIABLE)
    return key.encode() if key else None


def server_tls(args: argparse.Namespace) -> ssl.SSLContext | None:
    """The TLS context of --tls-cert and --tls-key (the key may also be in the certificate's file)."""
    if not args.tls_cert:
        if args.tls_key:
            raise Failed("--tls-key needs --tls-cert", 2)
        return None
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    try:
        context.load_cert_chain(args.tls_cert, args.tls_key)
    except (OSError, ValueError) as e:  # ssl.SSLError is an OSError
        raise Failed(f"cannot load the certificate {args.tls_cert!r}: {e}", 2) from None
    return context


def client_tls(args: argparse.Namespace, server_name: str | None = None) -> ssl.SSLContext | None:
    """A TLS context that trusts the certificates --tls-ca holds, and checks the server's certificate
    for its name: for `server_name` when given, whatever address a connection was opened to (a ping
    of each address a name resolves to checks that name)."""
    if not args.tls_ca:
        return None
    try:
        context = ssl.create_default_context(cafile=args.tls_ca)
    except (OSError, ValueError) as e:
        raise Failed(f"cannot load the certificate authority {args.tls_ca!r}: {e}", 2) from None
    if server_name is not None:
        wrap = context.wrap_socket

        def wrap_for_name(sock: socket.socket, **options: Any) -> ssl.SSLSocket:
            return wrap(sock, **{**options, "server_hostname": server_name})

        context.wrap_socket = wrap_for_name  # type: ignore[method-assign, assignment]
    return context


def serve_command(args: argparse.Namespace) -> int:
    from zelk.server import serve

    obj, name = load(args.target)
    alias = args.alias or name
    try:
        serve(servable(obj), alias=alias, host=args.host, port=args.port, authkey=authkey(), origins=args.origin,
              ssl_context=server_tls(args), allowed_classes=args.allow_class, expose=args.expose,
              metrics=args.metrics)
    except (ValueError, TypeError) as e:  # a setting that is not one, told before anything is bound
        raise Failed(setting_error(str(e)), 2) from None
    except OSError as e:
        raise Failed(f"cannot serve {alias!r} at {at(args.host, args.port or get_port(alias))}: {e}") from None
    return 0


def setting_error(text: str) -> str:
    """serve's complaint about a setting, named as the option that gave it."""
    for prefix, option in (("allowed_classes: ", "--allow-class"), ("expose: ", "--expose"), ("metrics: ", "--metrics")):
        if text.startswith(prefix):
            return f"{option}: {text[len(prefix):]}"
    return f"--origin: {text}"


# ---- call, ping, stats --------------------------------------------------------------------------


class Quiet:
    """Takes the client's printer's place: prints nothing, so that a failure is told in one line."""

    @staticmethod
    def keep(message: object) -> str:
        return str(message)

    debug = info = warning = error = critical = keep


def literal(text: str) -> Any:
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
        raise Failed(f"not a Python literal: {text!r} (text needs quotes, as in \"'text'\")", 2) from None


def arguments(texts: list[str]) -> tuple[list[Any], dict[str, Any]]:
    """Positional arguments and NAME=VALUE keywords, each value a Python literal."""
    args, kwds = [], {}
    for text in texts:
        keyword = re.fullmatch(r"([A-Za-z_]\w*)=(.*)", text, re.DOTALL)
        if keyword:
            kwds[keyword[1]] = literal(keyword[2])
        else:
            args.append(literal(text))
    return args, kwds


def first_line(text: str) -> str:
    return text.splitlines()[0] if text else text


def at(host: str, port: int) -> str:
    """Where a host's port is: "127.0.0.1:5555", "[::1]:5555"."""
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def remote(args: argparse.Namespace, name: str, *call_args: Any, **call_kwds: Any) -> Any:
    """`name` called on the service it starts with, at the hosts --host names; a service that cannot
    be reached, a call that failed on the server, or an answer that does not come, is a Failed."""
    return remote_at(args, args.host, name, call_args, call_kwds)


def remote_at(args: argparse.Namespace, hosts: list[str], name: str, call_args: Any, call_kwds: Any,
              server_name: str | None = None) -> Any:
    """`name` called at `hosts` (with TLS, checking the server's certificate for `server_name` when
    given, rather than for the host)."""
    service = name.partition(".")[0]
    port = args.port or get_port(service)
    client = Client(hosts[0] if len(hosts) == 1 else hosts, port, args.timeout, errors="raise",
                    balance=getattr(args, "balance", "first"), authkey=authkey(),
                    ssl_context=client_tls(args, server_name))
    client.alias, client.log = service, Quiet()  # type: ignore[assignment]
    try:
        return client.call(name, *call_args, **call_kwds)
    except Unreachable as e:
        where = f" at {at(hosts[0], port)}" if len(hosts) == 1 else ""  # several: the reason names each address
        raise Failed(f"service {service!r} is not reachable{where} ({e.reason})") from None
    except (RemoteError, CallTimeout, ConnectionLost) as e:
        raise Failed(f"{name} failed: {first_line(e.text)}") from None
    finally:
        close(client)


def show(result: Any) -> None:
    print(result if isinstance(result, str) else pprint.pformat(result))


def call_command(args: argparse.Namespace) -> int:
    call_args, call_kwds = arguments(args.args)
    show(remote(args, args.name, *call_args, **call_kwds))
    return 0


def ping_command(args: argparse.Namespace) -> int:
    port = args.port or get_port(args.name)
    addresses = every_address(args.host, port)
    if len(args.host) == 1 and len(addresses) <= 1:  # one address: it answers, or the ping fails
        start = time.perf_counter()
        remote(args, f"{args.name}.ping", "ping")
        print(f"{args.name} at {at(args.host[0], port)} answered in {(time.perf_counter() - start) * 1e3:.2f} ms")
        return 0

    def ping(address: tuple[str, str | None]) -> tuple[bool, str]:
        host, name = address
        start = time.perf_counter()
        try:
            remote_at(args, [host], f"{args.name}.ping", ("ping",), {}, server_name=name)
        except Failed as e:
            return False, str(e)
        return True, f"{args.name} at {at(host, port)} answered in {(time.perf_counter() - start) * 1e3:.2f} ms"

    # Every address at once, each within the time-out: one that does not answer holds up no other.
    with concurrent.futures.ThreadPoolExecutor(len(addresses)) as pool:
        results = list(pool.map(ping, addresses))
    for _, line in results:
        print(line)
    if not any(answered for answered, _ in results):
        raise Failed(f"no address of {args.name!r} answered")
    return 0


def every_address(hosts: list[str], port: int) -> list[tuple[str, str | None]]:
    """Each address the hosts resolve to, once, with the name it came from (None for an address
    given as such, or a name that resolves to nothing, which is then tried as it is)."""
    addresses: list[tuple[str, str | None]] = []
    for host in hosts:
        bare = host[1:-1] if host.startswith("[") and host.endswith("]") else host
        try:
            found = [str(info[4][0]) for info in socket.getaddrinfo(bare, port, 0, socket.SOCK_STREAM)]
        except OSError:
            found = [bare]
        for address in found:
            if all(address != known for known, _ in addresses):
                addresses.append((address, None if address == bare else bare))
    return addresses


def stats_command(args: argparse.Namespace) -> int:
    show(remote(args, f"{args.name}.stats"))
    return 0


# ---- the demonstration ---------------------------------------------------------------------------


def wait_until_served(child: subprocess.Popen[bytes], port: int, timeout: float = 30.0) -> None:
    deadline = time.monotonic() + timeout
    while True:
        if child.poll() is not None:
            raise Failed(f"the demonstration's server stopped at once (exit status {child.returncode})")
        try:
            socket.create_connection((HOST, port), timeout=1).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                raise Failed(f"the demonstration's server did not listen within {timeout:.0f} s") from None
            time.sleep(0.05)


def port_is_free(port: int) -> bool:
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind((HOST, port))
        except OSError:
            return False
    return True


def demo() -> int:
    log = BrillPrint("ZELK.DEMO")
    port = get_port(DEMO)
    if not port_is_free(port):
        raise Failed(f"port {port}, the demonstration's, is taken: is a demonstration running already?")
    log.info(f"serving an Example as {DEMO!r} in a child process, on port {port} (from its name)")
    child = subprocess.Popen([sys.executable, "-c", EXAMPLE], stdout=subprocess.DEVNULL)
    try:
        wait_until_served(child, port)
        calc = connect(DEMO)
        log.info(f"add(1, 2) = {calc.add(1, 2)!r}, add('zel', 'k') = {calc.add('zel', 'k')!r}")
        value = {"pair": (1, 2), "ids": {3, 4}}
        log.info(f"echo({value!r}) = {calc.echo(value)!r}")
        array = np.arange(12.0).reshape(3, 4)
        back = calc.echo(array)
        log.info(f"echo of a {array.shape} {array.dtype} array: {back.shape} {back.dtype}, "
                 f"equal: {np.array_equal(back, array)}")
        log.warning("divide(1, 0) raises on the server; the caller gets its traceback as the answer:")
        print(calc.divide(1, 0))
        log.info(f"stats() = {calc.stats()}")
        count = 2000
        add = calc.add
        start = time.perf_counter()
        for _ in range(count):
            add(1, 2)
        log.info(f"{(time.perf_counter() - start) / count * 1e6:.1f} µs per call, over {count} calls of add(1, 2)")
    finally:
        child.terminate()
        try:
            child.wait(10)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
    log.info("the child process has ended")
    return 0


# ---- the command line -----------------------------------------------------------------------------


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="python -m zelk",
        description="Serve an object, or call one that is served. With no command: a short demonstration.",
        epilog=f"With {AUTHKEY_VARIABLE} set in the environment, servers require that key of their clients "
               "and clients prove they know it.")
    commands = top.add_subparsers(dest="command", metavar="COMMAND")

    def command(name: str, help: str, run: Any) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        sub.set_defaults(run=run)
        return sub

    def address(sub: argparse.ArgumentParser, timeout: bool = True, balance: bool = True) -> None:
        if timeout:
            sub.add_argument("--host", action="append", metavar="HOST",
                             help=f"the server's host: a name or address, IPv6 ones as ::1 or [::1]; repeatable, "
                                  f"for replicas (default {HOST})")
        else:
            sub.add_argument("--host", default=HOST,
                             help=f"the address to serve at; :: serves IPv6 and IPv4 at once (default {HOST})")
        sub.add_argument("--port", type=int, default=0, help="the port (default: the one the service name gives)")
        if timeout and balance:
            sub.add_argument("--balance", choices=["first", "round_robin"], default="first",
                             help="with several addresses: the first that answers (default), or each in turn")
        if timeout:
            sub.add_argument("--timeout", type=float, default=30.0, help="seconds to wait for an answer (default 30)")
            sub.add_argument("--tls-ca", metavar="FILE",
                             help="talk TLS, trusting the certificate authorities in FILE (PEM)")

    serve = command("serve", "Serve an importable object until interrupted.", serve_command)
    serve.add_argument("target", metavar="MODULE[:ATTR]", help="what to serve, e.g. 'math' or 'fractions:Fraction'")
    serve.add_argument("--alias", default="", metavar="NAME", help="the service name (default: ATTR, or MODULE)")
    serve.add_argument("--origin", action="append", metavar="ORIGIN",
                       help="a web page origin allowed to call, as scheme://host[:port] (repeatable); "
                            "pages from loopback hosts are always allowed, all others refused")
    address(serve, timeout=False)
    serve.add_argument("--tls-cert", metavar="FILE", help="serve over TLS with this certificate chain (PEM)")
    serve.add_argument("--tls-key", metavar="FILE", help="the certificate's private key, if not in its file")
    serve.add_argument("--allow-class", action="append", metavar="MODULE.CLASS",
                       help="a class clients' pickles may rebuild (repeatable); with any, every other class "
                            "is refused unrun")
    serve.add_argument("--expose", action="append", metavar="NAME",
                       help="a method clients may call, dotted for nested attributes (repeatable); with any, "
                            "only those and ping, getpid, stats and client are served")
    serve.add_argument("--metrics", action="store_true",
                       help="answer GET /metrics on the same port with the server's counts, for a Prometheus to scrape")

    call = command("call", "Call a remote method and print its result.", call_command)
    call.add_argument("name", metavar="NAME.METHOD", help="the service and its method, e.g. calc.add")
    call.add_argument("args", nargs="*", metavar="ARGS",
                      help="Python literals (1, 'text', [1, 2], ...); NAME=VALUE gives a keyword")
    address(call)

    ping = command("ping", "Check that a service answers, at every address its hosts resolve to.", ping_command)
    ping.add_argument("name", metavar="NAME", help="the service name")
    address(ping, balance=False)

    stats = command("stats", "Print a service's call counts, per client.", stats_command)
    stats.add_argument("name", metavar="NAME", help="the service name")
    address(stats)
    return top


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    if args.command in ("call", "ping", "stats") and not args.host:
        args.host = [HOST]
    try:
        return demo() if args.command is None else int(args.run(args))
    except Failed as e:
        print(f"zelk {args.command or 'demo'}: {e}", file=sys.stderr)
        return e.status
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
