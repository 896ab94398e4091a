"""What a hostile peer can hold of a server, and how long a trickling server can hold a client: the
probe behind the server's limits and the client's deadlines.

Each figure comes from a server in a process of its own on a free loopback port, its output sent to
a file as a server's log would be:

- idle: 3,000 connections that send nothing; how many the server still holds (its threads) after
  the idle time-out (or after the same wait, where there is none);
- oversized: three peers announce a 2 GiB message and send 1.5 GiB of it; the server's resident
  memory while they hold their connections open;
- dripping: a peer that answers the key challenge one byte a second; how long the server's thread
  is held;
- closing: 3,000 connections closed at once; how long the server then takes to answer a new caller;
- trickling: a server that sends its answer (or its key challenge) one byte every 0.5 s; how long a
  client with a 2 s time-out waits;
- tls: the same limits over TLS: 50 silent peers (handshake done) against max_connections 50, and
  whether a TLS client is then served; a length of the cap + 1, and 64 MiB of a 1 GiB message under
  a 1 MiB cap; a client with a key against a keyless TLS server;
- websocket: an upgrade request, and a frame, dripped one byte a second under idle_timeout 5; a
  fragmented message with pings, or empty fragments, among its frames under a 1 MiB cap;
- slots: one address holding every slot while another (127.0.0.2) calls; how long a silent peer, and
  a first message dripped one byte every 0.5 s, hold their connections; what a refused client reports.

Settings the running build does not know are left out, so that the same script measures a build
from before they existed. `--only NAME` runs one of the probes.
"""

import argparse
import inspect
import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import psutil
from servers import ADDRESS, free_port

from zelk.client import connect
from zelk.protocol import BytePacker

SERVER = """
import json, sys
from zelk.server import serve

class Target:
    def add(self, a, b):
        return a + b

settings = json.loads(sys.argv[2])
if "authkey" in settings:
    settings["authkey"] = settings["authkey"].encode()
if "tls" in settings:
    import ssl
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(settings.pop("tls"))
    settings["ssl_context"] = context
serve(Target(), "probe", port=int(sys.argv[1]), **settings)
"""

IDLE_TIMEOUT = 2.0
CONNECTIONS = int(os.environ.get("PROBE_CONNECTIONS", 3000))
GiB = 1 << 30


def known(function, settings):
    """The settings `function` takes in this build."""
    parameters = inspect.signature(function).parameters
    return {name: value for name, value in settings.items() if name in parameters}


def setting(function, settings, name):
    """The value of `name` a call of `function` with `settings` runs with: given, its default, or none."""
    parameters = inspect.signature(function).parameters
    if name in settings:
        return settings[name]
    return parameters[name].default if name in parameters else "none"


class Server:
    def __init__(self, **settings):
        from zelk.server import serve

        tls = settings.pop("tls", None)
        self.settings = known(serve, settings)
        if tls:
            self.settings["tls"] = tls
        self.setting = lambda name: setting(serve, self.settings, name)
        self.port = free_port()
        self.log = tempfile.TemporaryFile()
        settings_text = json.dumps({k: (v.decode() if isinstance(v, bytes) else v) for k, v in self.settings.items()})
        self.popen = subprocess.Popen([sys.executable, "-c", SERVER, str(self.port), settings_text],
                                      stdout=self.log, stderr=self.log)
        self.process = psutil.Process(self.popen.pid)
        deadline = time.monotonic() + 60
        while True:
            try:
                socket.create_connection((ADDRESS, self.port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline or self.popen.poll() is not None:
                    raise RuntimeError("the probe's server did not start") from None
                time.sleep(0.05)
        time.sleep(0.2)  # the probe connection's thread has ended

    def threads(self):
        return self.process.num_threads()

    def rss_mb(self):
        return self.process.memory_info().rss / (1 << 20)

    def call_time(self, timeout=120.0):
        """Seconds a new client takes for add(1, 2)."""
        calc = connect("probe", port=self.port, timeout=timeout)
        start = time.perf_counter()
        result = calc.add(1, 2)
        elapsed = time.perf_counter() - start
        calc._client.close() if result == 3 else None
        return elapsed, result == 3

    def stop(self):
        self.popen.kill()
        self.popen.wait()
        self.log.close()


def open_silent(port, count):
    sockets = []
    for _ in range(count):
        try:
            sockets.append(socket.create_connection((ADDRESS, port), timeout=10))
        except OSError:
            break
    return sockets


def still_open(sockets):
    """How many of `sockets` the server has not closed (a refused one may have been told why first)."""
    held = 0
    for s in sockets:
        s.setblocking(False)
        try:
            while s.recv(65536):
                pass
        except BlockingIOError:
            held += 1
        except OSError:
            pass
    return held


def probe_idle():
    server = Server(idle_timeout=IDLE_TIMEOUT, max_connections_per_host=1024)
    try:
        before = server.threads()
        sockets = open_silent(server.port, CONNECTIONS)
        time.sleep(1.0)
        peak = server.threads()
        time.sleep(IDLE_TIMEOUT * 2 + 1)
        held, threads = still_open(sockets), server.threads()
        for s in sockets:
            s.close()
        setting = server.setting("idle_timeout")
        report(f"idle: {len(sockets)} silent connections, idle_timeout {setting}: server threads {before} -> {peak} "
              f"-> {threads} after {IDLE_TIMEOUT * 2 + 2:.0f} s; connections still held {held}")
    finally:
        server.stop()


def send_oversized(port, announced, sent, hold):
    s = socket.create_connection((ADDRESS, port))
    try:
        s.sendall(struct.pack("=Q", announced))
        chunk = bytes(1 << 20)
        for _ in range(sent >> 20):
            s.sendall(chunk)
    except OSError:
        pass  # the server ended the connection
    hold.wait()
    s.close()


def probe_oversized():
    server = Server()
    try:
        before = server.rss_mb()
        hold = threading.Event()
        peers = [threading.Thread(target=send_oversized, args=(server.port, 2 * GiB, 3 * GiB // 2, hold)) for _ in range(3)]
        start = time.monotonic()
        for p in peers:
            p.start()
        peak = before
        while any(p.is_alive() for p in peers) and time.monotonic() - start < 60:
            peak = max(peak, server.rss_mb())
            time.sleep(0.2)
            if time.monotonic() - start > 1 and server.rss_mb() < peak and peak > before + 100:
                break
        time.sleep(1.0)
        peak = max(peak, server.rss_mb())
        held = server.rss_mb()
        hold.set()
        for p in peers:
            p.join()
        time.sleep(1.0)
        after = server.rss_mb()
        limit = server.setting("max_message_size")
        report(f"oversized: 3 peers announcing 2 GiB and sending 1.5 GiB each (max_message_size {limit}): server rss "
              f"{before:.0f} MB -> {peak:.0f} MB at most, {held:.0f} MB while they hold on, {after:.0f} MB after")
    finally:
        server.stop()


def probe_dripping():
    key = b"probe key"
    server = Server(authkey=key)
    try:
        s = socket.create_connection((ADDRESS, server.port))
        challenge = b""
        while len(challenge) < 48:
            challenge += s.recv(48 - len(challenge))
        start = time.monotonic()
        sent = 0
        try:
            while sent < 64:
                s.sendall(b"\0")
                sent += 1
                time.sleep(1.0)
                s.setblocking(False)
                try:
                    if s.recv(1) == b"":
                        break
                except BlockingIOError:
                    pass
                finally:
                    s.setblocking(True)
        except OSError:
            pass
        held = time.monotonic() - start
        s.close()
        report(f"dripping: a peer answering the key challenge one byte a second held the server's thread {held:.1f} s "
              f"({sent} bytes)")
    finally:
        server.stop()


def call_once(sock):
    """One add(1, 2) on a raw socket, its answer read whole: the connection of a caller that called."""
    packet = BytePacker.pack((0, 1, "probe.add", (1, 2), {}))
    sock.sendall(struct.pack("=Q", len(packet)) + packet)
    size = struct.unpack("=Q", read_exactly(sock, 8))[0]
    read_exactly(sock, size)


def read_exactly(sock, size):
    data = b""
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        if not chunk:
            raise ConnectionError("the server closed the connection")
        data += chunk
    return data


def probe_closing():
    for kind in ("silent", "after a call each"):
        server = Server(max_connections=4 * CONNECTIONS, max_connections_per_host=4 * CONNECTIONS, idle_timeout=600.0,
                        first_message_timeout=600.0)
        try:
            sockets = open_silent(server.port, CONNECTIONS)
            if kind != "silent":
                for s in sockets:
                    call_once(s)
            time.sleep(2.0)
            cpu_before = sum(server.process.cpu_times()[:2])
            for s in sockets:
                s.close()
            elapsed, answered = server.call_time()
            deadline = time.monotonic() + 120
            while server.threads() > 4 and time.monotonic() < deadline:
                time.sleep(0.1)
            cpu = sum(server.process.cpu_times()[:2]) - cpu_before
            report(f"closing: {len(sockets)} connections, {kind}, closed at once; a new caller waited {elapsed:.2f} s "
                   f"({'answered' if answered else 'NOT answered'}); the server spent {cpu:.1f} CPU-s on the closes")
        finally:
            server.stop()


def trickling_server(listener, what, stop):
    conn, _ = listener.accept()
    with conn:
        if what == "answer":
            header = conn.recv(8)
            size = struct.unpack("=Q", header)[0]
            body = b""
            while len(body) < size:
                body += conn.recv(size - len(body))
            msgid = BytePacker.unpack(body)[1]
            packet = BytePacker.pack((1, msgid, "x" * 200))
            message = struct.pack("=Q", len(packet)) + packet
        else:
            message = b"#ZELK-CHALLENGE#" + bytes(32)
        for byte in message:
            if stop.is_set():
                return
            try:
                conn.sendall(bytes([byte]))
            except OSError:
                return
            time.sleep(0.5)


def probe_trickling():
    for what in ("answer", "challenge"):
        listener = socket.create_server((ADDRESS, 0))
        stop = threading.Event()
        worker = threading.Thread(target=trickling_server, args=(listener, what, stop), daemon=True)
        worker.start()
        settings = {"authkey": b"probe key"} if what == "challenge" else {}
        calc = connect("probe", port=listener.getsockname()[1], timeout=2.0, **known(connect, settings))
        start = time.perf_counter()
        calc.add(1, 2)
        elapsed = time.perf_counter() - start
        stop.set()
        listener.close()
        report(f"trickling: a server sending its {what} one byte every 0.5 s held a client with a 2 s time-out "
              f"{elapsed:.1f} s")


# ---- TLS, WebSocket and the slots of one address ------------------------------------------------


class Certificates:
    """A certificate authority made for the probe: a server certificate for 127.0.0.1 in a file, and a
    client context that trusts it."""

    def __init__(self):
        import ssl

        import trustme

        ca = trustme.CA()
        self.folder = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.folder.name, "server.pem")
        ca.issue_cert("127.0.0.1").private_key_and_cert_chain_pem.write_to_path(self.path)
        self.client = ssl.create_default_context()
        ca.configure_trust(self.client)

    def dial(self, port, timeout=30):
        return self.client.wrap_socket(socket.create_connection((ADDRESS, port), timeout=timeout),
                                       server_hostname=ADDRESS)


def closed_by_peer(sock):
    """Whether the peer has closed `sock` (or reset it), without waiting."""
    try:
        sock.setblocking(False)
        try:
            return sock.recv(65536) == b""
        finally:
            sock.setblocking(True)
    except (BlockingIOError, ssl_want_read()):
        return False
    except OSError:
        return True


def ssl_want_read():
    import ssl

    return ssl.SSLWantReadError


def held(sock, data, pause, limit):
    """Sends `data` a byte every `pause` seconds until the peer closes; the seconds that took, or
    None when it still held the connection after `limit` seconds."""
    start = time.monotonic()
    for byte in data:
        if time.monotonic() - start > limit:
            return None
        try:
            sock.sendall(bytes([byte]))
        except OSError:
            return time.monotonic() - start
        time.sleep(pause)
        if closed_by_peer(sock):
            return time.monotonic() - start
    return None


def seconds(value, limit):
    return f"{value:.1f} s" if value is not None else f"over {limit:.0f} s (still open)"


def probe_tls():
    certs = Certificates()
    try:
        server = Server(tls=certs.path, idle_timeout=IDLE_TIMEOUT, max_connections=50)
        try:
            peers = [certs.dial(server.port) for _ in range(50)]
            time.sleep(IDLE_TIMEOUT * 2 + 1)
            still = sum(not closed_by_peer(p) for p in peers)
            calc = connect("probe", port=server.port, timeout=10.0, **known(connect, {"ssl_context": certs.client}))
            answered = calc.add(1, 2) == 3
            for p in peers:
                p.close()
            report(f"tls idle: 50 silent TLS peers (handshake done), idle_timeout {IDLE_TIMEOUT}, max_connections 50: "
                   f"{still} still held after {IDLE_TIMEOUT * 2 + 1:.0f} s; a TLS client then "
                   f"{'answered' if answered else 'NOT answered'}")
        finally:
            server.stop()
        server = Server(tls=certs.path, max_message_size=1 << 20)
        try:
            with certs.dial(server.port) as s:
                s.sendall(struct.pack("=Q", (1 << 20) + 1) + b"x" * 1000)
                time.sleep(1.0)
                refused = closed_by_peer(s)
            before, sent = server.rss_mb(), 0
            with certs.dial(server.port) as s:
                s.sendall(struct.pack("=Q", GiB))
                chunk = bytes(1 << 20)
                try:
                    while sent < 64 << 20:
                        s.sendall(chunk)
                        sent += len(chunk)
                except OSError:
                    pass
                time.sleep(1.0)
                rss = server.rss_mb()
            report(f"tls oversized (max_message_size 1 MiB): a length of the cap + 1 "
                   f"{'closed at once' if refused else 'ACCEPTED'}; a peer announcing 1 GiB sent "
                   f"{sent >> 20} MiB before the server closed, server rss {before:.0f} -> {rss:.0f} MB")
        finally:
            server.stop()
        server = Server(tls=certs.path, idle_timeout=IDLE_TIMEOUT)
        try:
            calc = connect("probe", port=server.port, timeout=30.0,
                           **known(connect, {"ssl_context": certs.client, "authkey": b"probe key"}))
            start = time.perf_counter()
            calc.add(1, 2)
            report(f"tls key: a client with a key against a keyless TLS server (idle_timeout {IDLE_TIMEOUT}, client "
                   f"time-out 30 s) waited {time.perf_counter() - start:.1f} s")
        finally:
            server.stop()
    finally:
        certs.folder.cleanup()


UPGRADE = (b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
           b"Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")


def client_frame(data, opcode=1, final=True):
    """A browser's frame, masked with zeros."""
    n = len(data)
    size = bytes([0x80 | n]) if n < 126 else b"\xfe" + struct.pack("!H", n) if n < 65536 else b"\xff" + struct.pack("!Q", n)
    return bytes([0x80 * final | opcode]) + size + bytes(4) + data


def upgraded(port):
    s = socket.create_connection((ADDRESS, port), timeout=30)
    s.sendall(UPGRADE)
    answer = b""
    while b"\r\n\r\n" not in answer:
        chunk = s.recv(4096)
        if not chunk:
            raise ConnectionError("the server closed the connection during the upgrade")
        answer += chunk
    return s


def flood(sock, frames, most):
    """Sends `frames` again and again up to `most` bytes, reading what comes back (pongs) meanwhile;
    how many bytes went out before the server closed, and its close status, if any."""
    sent, received, view = 0, b"", memoryview(frames)
    sock.setblocking(False)
    while sent < most:
        try:
            at = sent % len(frames)
            sent += sock.send(view[at:])
        except BlockingIOError:
            time.sleep(0.001)
        except OSError:
            break
        try:
            while chunk := sock.recv(1 << 20):
                received = (received + chunk)[-4096:]
            if chunk == b"":
                break
        except BlockingIOError:
            pass
        except OSError:
            break
    sock.setblocking(True)
    sock.settimeout(5)
    try:
        while chunk := sock.recv(1 << 20):
            received = (received + chunk)[-4096:]
    except OSError:
        pass
    at = received.rfind(b"\x88\x02")
    status = struct.unpack("!H", received[at + 2:at + 4])[0] if at >= 0 and len(received) >= at + 4 else None
    return sent, status


def probe_websocket():
    limit = 45
    server = Server(idle_timeout=5.0)
    try:
        with socket.create_connection((ADDRESS, server.port), timeout=30) as s:
            request = held(s, UPGRADE[:-2] + b"X" * 1000, 1.0, limit)
        with upgraded(server.port) as s:
            frame = held(s, client_frame(b"x" * 1000), 1.0, limit)
        report(f"websocket drip (idle_timeout 5): an upgrade request one byte a second held {seconds(request, limit)}, "
               f"a frame {seconds(frame, limit)}")
    finally:
        server.stop()
    server = Server(max_message_size=1 << 20)
    try:
        most = 100 << 20
        with upgraded(server.port) as s:
            s.sendall(client_frame(b"begun", final=False))
            pings, ping_status = flood(s, client_frame(b"p" * 125, opcode=9) * 64, most)
        with upgraded(server.port) as s:
            s.sendall(client_frame(b"begun", final=False))
            empty, empty_status = flood(s, client_frame(b"", opcode=0, final=False) * 1024, most)
        report(f"websocket fragments (max_message_size 1 MiB), sent until the server closed (some still in the sockets' "
               f"buffers then): pings inside an unfinished message {pings >> 20} MiB, close status {ping_status}; "
               f"empty fragments {empty // 6:,}, close status {empty_status}")
    finally:
        server.stop()


def dial_from(address, port):
    s = socket.socket()
    s.settimeout(30)
    s.bind((address, 0))
    s.connect((ADDRESS, port))
    return s


def probe_slots():
    server = Server(idle_timeout=600.0)
    try:
        hogs = open_silent(server.port, 1024)
        time.sleep(1.0)
        other = dial_from("127.0.0.2", server.port)
        try:
            call_once(other)
            answer = "answered"
        except OSError as e:
            answer = f"NOT answered ({type(e).__name__})"
        other.close()
        calc = connect("probe", port=server.port, timeout=10.0, **known(connect, {"errors": "raise"}))
        try:
            calc.add(1, 2)
            refusal = "served"
        except Exception as e:
            refusal = f"{type(e).__name__}: {str(e).splitlines()[0]}"
        for s in hogs:
            s.close()
        report(f"slots: {len(hogs)} silent connections from 127.0.0.1 (default limits): a caller from 127.0.0.2 "
               f"{answer}; one more from 127.0.0.1 got {refusal}")
    finally:
        server.stop()
    limit = 30
    server = Server()
    try:
        with socket.create_connection((ADDRESS, server.port), timeout=30) as s:
            start = time.monotonic()
            while not closed_by_peer(s) and time.monotonic() - start < limit:
                time.sleep(0.1)
            silent = time.monotonic() - start if time.monotonic() - start < limit else None
        report(f"slots: a silent new connection (default settings) was held {seconds(silent, limit)}")
    finally:
        server.stop()
    server = Server(idle_timeout=IDLE_TIMEOUT)
    try:
        packet = BytePacker.pack((0, 1, "probe.add", (1, 2), {}))
        with socket.create_connection((ADDRESS, server.port), timeout=30) as s:
            trickle = held(s, struct.pack("=Q", len(packet)) + packet, 0.5, limit)
        report(f"slots: a first message dripped a byte every 0.5 s (idle_timeout {IDLE_TIMEOUT}) was held "
               f"{seconds(trickle, limit)}")
    finally:
        server.stop()


def report(line):
    REPORT.write(line + "\n")
    REPORT.flush()


REPORT = sys.stdout
PROBES = {"idle": probe_idle, "oversized": probe_oversized, "dripping": probe_dripping, "closing": probe_closing,
          "trickling": probe_trickling, "tls": probe_tls, "websocket": probe_websocket, "slots": probe_slots}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", choices=sorted(PROBES), action="append")
    args = parser.parse_args()
    with open(os.devnull, "w") as quiet:
        sys.stdout = quiet  # the clients' own messages
        for name in args.only or PROBES:
            PROBES[name]()


if __name__ == "__main__":
    main()
