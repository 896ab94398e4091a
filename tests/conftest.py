import base64
import contextlib
import gc
import hashlib
import importlib
import io
import os
import pathlib
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import sysconfig
import threading
import time
import types

import pytest

# The suite checks the printers' colours and lines, whatever the environment it runs in asks for.
for variable in ("NO_COLOR", "ZELK_LOG_LEVEL"):
    os.environ.pop(variable, None)

# Under the sanitizers freed memory sits in quarantine, so resident size says nothing about leaks.
sanitized = os.environ.get("ZELK_SANITIZE") == "1"
needs_plain_build = pytest.mark.skipif(sanitized, reason="memory growth is meaningless under AddressSanitizer")

_figures: list[str] = []

# On a free-threaded interpreter an extension that does not declare that it runs without the GIL
# switches the GIL back on when imported, and every thread test would then pass testing nothing.
free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def pytest_sessionstart(session):
    if not free_threaded:
        return
    for name in ("zelk.protocol", "zelk.ring", "zelk.server", "zelk.client", "zelk.scribe", "zelk.minter"):
        importlib.import_module(name)
    for optional in ("dill", "psutil", "line_profiler"):
        with contextlib.suppress(ImportError):
            importlib.import_module(optional)
    if sys._is_gil_enabled():
        pytest.exit("the GIL is on after importing zelk and its dependencies: the thread tests would test nothing",
                    returncode=pytest.ExitCode.TESTS_FAILED)


def pytest_sessionfinish(session, exitstatus):
    # Something the tests imported may have switched it on since the start.
    if free_threaded and sys._is_gil_enabled():
        print("\nthe GIL was switched on during the run: the thread tests tested nothing")
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


@pytest.fixture(scope="session")
def figures():
    """figures(line): prints a measured figure now (seen with -s) and again in the run's summary."""

    def add(line):
        print(line)
        _figures.append(line)

    return add


def pytest_terminal_summary(terminalreporter):
    if _figures:
        terminalreporter.section("figures")
        for line in _figures:
            terminalreporter.write_line(line)


class Sink(io.StringIO):
    """A stream for print(file=...) that keeps what was written."""


@pytest.fixture
def sink():
    return Sink()


def run_in_threads(work, count=8):
    """Runs work(i) in `count` threads released together by a barrier; re-raises the first failure."""
    barrier, errors = threading.Barrier(count), []

    def run(i):
        try:
            barrier.wait()
            work(i)
        except BaseException as e:  # handed to the test's thread below
            errors.append(e)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def leaks(fn, *values, calls=100_000):
    """What `calls` calls of fn leave behind, after a tenth as many to warm up: `references`, how many
    each of `values` gained (what fn hands on, and what is handed back: a reference kept per call
    shows here); `blocks`, how many more the interpreter's allocator holds (a new object kept per
    call); `rss`, the growth of the resident size (memory kept outside the interpreter's objects),
    0 where it says nothing (under the sanitizers, or without psutil)."""
    psutil = None if sanitized else importable("psutil") and importlib.import_module("psutil")
    for _ in range(calls // 10):
        fn()
    gc.collect()
    counts, blocks = [sys.getrefcount(v) for v in values], sys.getallocatedblocks()
    rss = psutil.Process().memory_info().rss if psutil else 0
    for _ in range(calls):
        fn()
    gc.collect()
    after = [sys.getrefcount(v) for v in values]
    return types.SimpleNamespace(references=[a - b for a, b in zip(after, counts)],
                                 blocks=sys.getallocatedblocks() - blocks,
                                 rss=psutil.Process().memory_info().rss - rss if psutil else 0)


def memory_growth(fn, calls=100_000):
    """Growth of the resident size over `calls` calls of fn, after a tenth as many to warm up."""
    pytest.importorskip("psutil")
    return leaks(fn, calls=calls).rss


# The question a client asks each new connection of what its server takes, and the answer of a
# server that knows only the 5-item request (no service has that name): the tests' scripted servers
# answer it so, as such a server, and go on.
VERSION_QUESTION = (0, 0, "__zelk_version__", (), {})
OLD_SERVERS_ANSWER = [1, 0, "TypeError@__zelk_version__() 'NoneType' object is not callable"]


@pytest.fixture
def quick_thread_switches():
    """Hands the GIL over often, so that the threads of a test interleave finely."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def free_port(host="127.0.0.1"):
    """A port free at `host` (an IPv6 address takes an IPv6 socket: IPv4's free ports say nothing of it)."""
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=30.0):
    """Waits until predicate() is true; fails after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "never happened"
        time.sleep(0.01)


def frame(packet):
    """`packet` behind its 8-byte length field, as a zelk message travels."""
    return struct.pack("=Q", len(packet)) + packet


def framed(value):
    """The zelk message of `value`."""
    from zelk.protocol import BytePacker

    return frame(BytePacker.pack(value))


def read_to_end(sock):
    """What the peer sends until it closes; a reset counts as its close."""
    received = b""
    with contextlib.suppress(ConnectionResetError):
        while data := sock.recv(1 << 16):
            received += data
    return received


class Doorbell:
    """A port that a served method rings (connects to) once it is entered: the test then knows the
    call is in progress on the server, without guessing how long that takes."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]

    def wait(self, timeout=60.0):
        self.listener.settimeout(timeout)
        with self.listener, self.listener.accept()[0]:
            pass


# Served methods ring the tests' doorbells this way (a connection to the port, closed at once).
RING = "import socket; ring = lambda port: port and socket.create_connection(('127.0.0.1', port)).close()"


CLOSE, RESET, SILENT = object(), object(), object()
# How long a client of a stand-in waits for an answer: a step it leaves out fails a test, not hangs it.
STAND_IN_TIMEOUT = 10.0


class Steps(list):
    """Several things a stand-in does for one request, in turn."""


class StandIn:
    """A server over raw sockets, for the answers a real server never gives. Its n-th request (over
    all its connections) is answered with replies[n](record), the last reply answering the rest:
    bytes are sent as they are, CLOSE closes the connection, RESET resets it, SILENT sends nothing,
    Steps do several of these, any other value is sent as a message. Keeps every record it read."""

    def __init__(self, *replies):
        self.replies, self.records, self.sockets, self.threads = replies, [], [], []
        self.ended = 0  # connections it is done with: closed by either side, or reset
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.start(self.accept)

    def start(self, target, *args):
        self.threads.append(threading.Thread(target=target, args=args, daemon=True))
        self.threads[-1].start()

    def accept(self):
        while True:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            self.sockets.append(sock)
            self.start(self.answer, sock)

    def answer(self, sock):
        from zelk.protocol import BytePacker

        with contextlib.suppress(OSError), self.counted():
            while len(header := sock.recv(8, socket.MSG_WAITALL)) == 8:
                size, request = struct.unpack("=Q", header)[0], b""
                while len(request) < size and (data := sock.recv(size - len(request))):
                    request += data
                record = BytePacker.unpack(bytearray(request))
                if record == VERSION_QUESTION:  # answered as a server that knows no streams does
                    sock.sendall(framed(OLD_SERVERS_ANSWER))
                    continue
                self.records.append(record)
                reply = self.replies[min(len(self.records), len(self.replies)) - 1](record)
                for step in reply if isinstance(reply, Steps) else [reply]:
                    if step is CLOSE:
                        return sock.shutdown(socket.SHUT_RDWR)
                    if step is RESET:
                        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                        return sock.close()
                    if step is not SILENT:
                        sock.sendall(step if isinstance(step, bytes) else framed(step))

    @contextlib.contextmanager
    def counted(self):
        try:
            yield
        finally:
            self.ended += 1

    # Its threads are ended and joined, so that none outlives the test that started it.
    def close(self):
        for sock in [self.listener, *self.sockets]:
            with contextlib.suppress(OSError):
                sock.shutdown(socket.SHUT_RDWR)
        for thread in self.threads:
            thread.join()
        for sock in [self.listener, *self.sockets]:
            sock.close()


def echo_call(record):
    """A stand-in's reply that answers a request with its own name, arguments and keywords."""
    _, msgid, name, args, kwds = record
    return (1, msgid, (name, args, kwds))


@pytest.fixture
def stand_in():
    """stand_in(*replies): a StandIn (replies default to echo_call), closed after the test."""
    servers = []

    def start(*replies):
        servers.append(StandIn(*(replies or [echo_call])))
        return servers[-1]

    yield start
    for server in servers:
        server.close()


def start_served(code, port, *args, stdout=subprocess.DEVNULL, stderr=None, host="127.0.0.1"):
    """`code` run by another Python with `port` and `args` as its arguments, once the port accepts
    connections at `host`."""
    proc = subprocess.Popen([sys.executable, "-c", code, str(port), *args], stdout=stdout, stderr=stderr)
    deadline = time.monotonic() + 30
    while True:
        try:
            socket.create_connection((host, port), timeout=1).close()
            return proc
        except OSError:
            assert proc.poll() is None and time.monotonic() < deadline, "the server did not start"
            time.sleep(0.05)


def stop_served(proc):
    proc.kill()
    proc.wait()


# What most tests serve in another process: calc, with serve's settings given as a Python literal.
CALC = RING + """
import ast, sys, threading, time
from zelk.server import serve

class Calc:
    def __init__(self):
        self.meeting = threading.Barrier(100)
        self.held, self.gate = threading.Event(), threading.Event()

    def add(self, a, b):
        return a + b

    def echo(self, *args, **kwds):
        return args[0] if len(args) == 1 and not kwds else (args, kwds)

    def fail(self):
        raise ValueError("broken on purpose")

    def nap(self, seconds, tag=None, bell=0):  # rings the doorbell at `bell`, if any, once entered
        ring(bell)
        time.sleep(seconds)
        return tag

    def meet(self, tag):  # answers once 100 calls are in it at the same time
        self.meeting.wait(timeout=60)
        return tag

    def hold(self):  # answers once released
        self.held.set()
        self.gate.wait(60)

    def entered(self):
        return self.held.is_set()

    def release(self):
        self.gate.set()

serve(Calc(), alias="calc", port=int(sys.argv[1]), **ast.literal_eval(sys.argv[2]))
"""


def start_calc(port, out=subprocess.DEVNULL, **settings):
    """CALC served as "calc" on `port` by another process, with `settings` for serve; its output to `out`."""
    return start_served(CALC, port, repr(settings), stdout=out, stderr=None if out is subprocess.DEVNULL else out)


@contextlib.contextmanager
def served_calc(**settings):
    """The port of CALC served by another process, with `settings` for serve, for the block's time."""
    port = free_port()
    proc = start_calc(port, **settings)
    try:
        yield port
    finally:
        stop_served(proc)


def importable(name):
    """Whether `name` imports here: some packages install on an interpreter they have no build for."""
    try:
        importlib.import_module(name)
        return True
    except ImportError:
        return False


def make_certificates(folder):
    """A certificate authority made for the tests, and a certificate it signed for 127.0.0.1, ::1 and
    localhost, as PEM files in `folder` (ca, cert, key); with a server context that presents the
    certificate, a client context that trusts the authority, and the base64 SHA-256 of the
    certificate's public key (what Chromium's --ignore-certificate-errors-spki-list takes).
    The `openssl` command makes them, on every interpreter: trustme needs cryptography, which has
    no build for some (the free-threaded ones among them)."""
    if shutil.which("openssl") is None:
        pytest.skip("no openssl command to make the TLS tests' certificates with")
    folder = pathlib.Path(folder)
    files = types.SimpleNamespace(**{name: folder / f"{name}.pem" for name in ("ca", "ca_key", "cert", "key")})
    csr, extensions = folder / "cert.csr", folder / "cert.ext"
    extensions.write_text("basicConstraints=CA:FALSE\nsubjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost\n"
                          "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]

    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True)

    openssl("req", "-x509", *key, "-keyout", files.ca_key, "-out", files.ca, "-days", "2", "-subj", "/CN=zelk test CA",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", "-new", *key, "-keyout", files.key, "-out", csr, "-subj", "/CN=localhost")
    openssl("x509", "-req", "-in", csr, "-CA", files.ca, "-CAkey", files.ca_key, "-CAcreateserial", "-days", "2",
            "-extfile", extensions, "-out", files.cert)
    public_key = subprocess.run(["openssl", "x509", "-in", files.cert, "-noout", "-pubkey"], check=True,
                                capture_output=True).stdout
    server = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    server.load_cert_chain(files.cert, files.key)
    client = ssl.create_default_context(cafile=files.ca)
    der = ssl.PEM_cert_to_DER_cert(public_key.decode().replace("PUBLIC KEY", "CERTIFICATE"))
    spki = base64.b64encode(hashlib.sha256(der).digest()).decode()
    return types.SimpleNamespace(ca=files.ca, cert=files.cert, key=files.key, server=server, client=client, spki=spki)


@pytest.fixture(scope="session")
def certs(tmp_path_factory):
    """The tests' certificates (make_certificates), made once per session."""
    return make_certificates(tmp_path_factory.mktemp("certs"))


@pytest.fixture(scope="session")
def chromium_executable():
    """The Chromium for browser tests (tests/browser.py); skips when none is installed."""
    import browser

    if (path := browser.find_chromium()) is None:
        pytest.skip("no Chromium: scripts/install-chromium (run by make test) could not install it")
    return path


@pytest.fixture(scope="session")
def chromium(chromium_executable):
    """One headless Chromium shared by the session's browser tests."""
    import browser

    with browser.Chromium(chromium_executable) as chromium:
        yield chromium
