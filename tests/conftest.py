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


def memory_growth(fn, calls=100_000):
    """Growth of the resident size over `calls` calls of fn, after a tenth as many to warm up."""
    psutil = pytest.importorskip("psutil")
    process = psutil.Process()
    for _ in range(calls // 10):
        fn()
    gc.collect()
    before = process.memory_info().rss
    for _ in range(calls):
        fn()
    gc.collect()
    return process.memory_info().rss - before


def free_port(host="127.0.0.1"):
    """A port free at `host` (an IPv6 address takes an IPv6 socket: IPv4's free ports say nothing of it)."""
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


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
