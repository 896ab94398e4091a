import base64
import hashlib
import json
import os
import socket
import struct
import threading

import pytest

import browser


def frame(opcode, data):
    n = len(data)
    if n < 126:
        size = bytes([n])
    else:
        size = b"\x7e" + struct.pack("!H", n) if n < 1 << 16 else b"\x7f" + struct.pack("!Q", n)
    return bytes([0x80 | opcode]) + size + data


def echo(conn):
    """Stands in for the real server: answers [0, id, name, args, kwds] with [1, id, [name, args, kwds]]."""
    with conn, conn.makefile("rb") as r:
        head = b""
        while not head.endswith(b"\r\n\r\n"):
            head += r.readline()
        key = next(v for k, _, v in (line.partition(b":") for line in head.split(b"\r\n"))
                   if k.lower() == b"sec-websocket-key").strip()
        accept = base64.b64encode(hashlib.sha1(key + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest())
        conn.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                     b"Sec-WebSocket-Accept: " + accept + b"\r\n\r\n")
        message = b""
        while len(first := r.read(2)) == 2:
            assert first[1] & 0x80, "browsers mask every frame"
            n = first[1] & 0x7F
            if n >= 126:
                n = struct.unpack("!H" if n == 126 else "!Q", r.read(2 if n == 126 else 8))[0]
            mask, data = r.read(4), r.read(n)
            data = int.from_bytes(data, "little") ^ int.from_bytes((mask * (n // 4 + 1))[:n], "little")
            data = data.to_bytes(n, "little")
            opcode = first[0] & 0x0F
            if opcode == 8:
                conn.sendall(frame(8, data[:2]))
                return
            if opcode in (0, 1):  # text, or the continuation of a fragmented one
                message += data
                if first[0] & 0x80:
                    _, ident, name, args, kwds = json.loads(message)["payload"]
                    conn.sendall(frame(1, json.dumps({"payload": [1, ident, [name, args, kwds]]}).encode()))
                    message = b""


@pytest.fixture(scope="module")
def echo_url():
    listener = socket.create_server(("127.0.0.1", 0))

    def accept():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:  # closed at teardown
                return
            threading.Thread(target=echo, args=(conn,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    yield f"ws://127.0.0.1:{listener.getsockname()[1]}/"
    listener.close()


@pytest.mark.parametrize(
    "args",
    [
        pytest.param([1, 2.5, None, True], id="scalars"),
        pytest.param(["zé 漢字 🎉", "</script><!--"], id="unicode-and-markup"),
        pytest.param(["x" * 200], id="16-bit-length"),
        pytest.param(["y" * 70_000], id="64-bit-length"),
    ],
)
def test_calls_round_trip(chromium, echo_url, args):
    calls = [{"payload": [0, i, f"calc.m{i}", args, {"k": i}]} for i in range(3)]
    report = browser.ws_exchange(chromium, echo_url, calls)
    assert report["error"] is None and report["opened"]
    assert sorted(report["replies"], key=lambda r: r["payload"][1]) == [
        {"payload": [1, i, [f"calc.m{i}", args, {"k": i}]]} for i in range(3)
    ]
    assert report["close"] == {"code": 1000, "reason": "", "clean": True}


def test_unreachable_server_is_reported(chromium):
    with socket.create_server(("127.0.0.1", 0)) as s:
        url = f"ws://127.0.0.1:{s.getsockname()[1]}/"
    report = browser.ws_exchange(chromium, url, [{"payload": [0, 1, "a.b", [], {}]}])
    assert not report["opened"] and report["replies"] == []
    assert report["error"] == "websocket error" and report["close"]["code"] == 1006


@pytest.mark.parametrize(
    "script, expected",
    [
        ('console.log("step one"); window.result = Promise.reject(new Error("boom"));',
         r"(?s)the page failed: Error: boom.*console.log: step one"),
        ("window.result = new Promise(() => {});", "did not report within 1 s"),
    ],
    ids=["rejects", "never-settles"],
)
def test_page_failures_raise_with_what_the_page_said(chromium, script, expected):
    with pytest.raises(browser.BrowserError, match=expected):
        chromium.run(f"<script>{script}</script>", timeout=1)
    assert chromium.run("<script>window.result = 42</script>") == 42


def test_close_ends_every_chromium_process(chromium_executable):
    with browser.Chromium(chromium_executable) as chromium:
        assert chromium.run("<script>window.result = {a: [1]}</script>") == {"a": [1]}
        group, profile = chromium.process.pid, chromium.dir
        assert len(browser.processes(group, profile)) > 2  # the browser, its helpers, the crash handler
    assert browser.processes(group, profile) == [] and not os.path.exists(profile)
