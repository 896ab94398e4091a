"""Drives headless Chromium from the tests: serve a page on 127.0.0.1, run it, return what it reports.

A page reports by setting ``window.result`` to a JSON-able value or a promise of one; `Chromium.run`
returns that value. `ws_exchange` runs the WebSocket page below against a server and returns what
the browser saw:

    def test_add(chromium):  # the fixture in conftest.py
        report = ws_exchange(chromium, "ws://127.0.0.1:8080/", [{"payload": [0, 1, "calc.add", [1, 2], {}]}])
        assert report["replies"] == [{"payload": [1, 1, 3]}]

Chromium is driven over the DevTools protocol on ``--remote-debugging-pipe`` rather than read back
with ``--dump-dom``: that dumps the DOM when the virtual time budget runs out, whatever the page has
by then, so a slow server gives a silently partial answer, and the page's errors are lost. Over the
protocol the harness awaits the page's own promise, and keeps its console output and exceptions
for failure messages. The pipe (NUL-separated JSON on two inherited descriptors) needs no port to
pick and no WebSocket client of our own, which ``--remote-debugging-port`` would: one more WebSocket
implementation in the way of testing the real one. And when the test process dies, the pipe closes
and Chromium quits.
"""

from __future__ import annotations

import contextlib
import fcntl
import http.server
import itertools
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Iterator
from typing import Any

NAMES = ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable", "chrome")

FLAGS = (
    "--headless=new",
    "--no-sandbox",  # the tests run as root, where the sandbox refuses to start
    "--disable-gpu",
    "--disable-dev-shm-usage",  # containers often have a tiny /dev/shm
    "--no-first-run",
    "--no-default-browser-check",
    "--disable-extensions",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--mute-audio",
    "--password-store=basic",
    "--remote-debugging-pipe",
)


RENUMBER = """
import os, sys
r, w = int(sys.argv[1]), int(sys.argv[2])
os.dup2(r, 3); os.dup2(w, 4); os.close(r); os.close(w)
os.execvp(sys.argv[3], sys.argv[3:])
"""


class BrowserError(AssertionError):
    """Chromium or the page failed; the message carries what the page and Chromium said."""


def _above(fd: int, floor: int) -> int:
    """`fd` moved to a number above `floor`."""
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, floor + 1)
    os.close(fd)
    return moved


def processes(group: int, marker: str) -> list[int]:
    """Live processes in process group `group` or with `marker` in their command line (Linux)."""
    found = []
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            with open(f"/proc/{entry.name}/stat", "rb") as f:
                state, _, pgrp = f.read().rsplit(b")", 1)[1].split()[:3]
            with open(f"/proc/{entry.name}/cmdline", "rb") as f:
                cmdline = f.read()
        except OSError:  # it ended meanwhile
            continue
        # Orphaned helpers go to PID 1, which on some machines never reaps them: zombies, not alive.
        if state != b"Z" and (int(pgrp) == group or marker.encode() in cmdline):
            found.append(int(entry.name))
    return found


def find_chromium() -> str | None:
    """ZELK_CHROMIUM, else the first Chromium or Chrome on PATH."""
    if path := os.environ.get("ZELK_CHROMIUM"):
        return path
    return next(filter(None, map(shutil.which, NAMES)), None)


@contextlib.contextmanager
def serve(html: str, host: str = "127.0.0.1", port: int = 0) -> Iterator[str]:
    """Serves `html` at / on 127.0.0.1 (`port`, or a free one) from a thread for the duration;
    yields the page's URL, with `host` as its host name (which Chromium must map to 127.0.0.1)."""
    body = html.encode()

    class Page(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            if self.path != "/":
                self.send_error(404)  # the favicon request
                return
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Page)
    # shutdown() waits up to one poll interval, 0.5 s by default: most of a page's run.
    thread = threading.Thread(target=server.serve_forever, args=(0.02,), daemon=True)
    thread.start()
    try:
        yield f"http://{host}:{server.server_address[1]}/"
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


class Chromium:
    """One headless Chromium, reused for many pages; use as a context manager so it always ends."""

    def __init__(self, executable: str | None = None, start_timeout: float = 30, flags: tuple[str, ...] = ()):
        self.executable = executable or find_chromium()
        self.flags = flags  # besides FLAGS, such as --host-resolver-rules
        if not self.executable:
            raise BrowserError("no Chromium found (scripts/install-chromium installs one)")
        self.start_timeout = start_timeout
        self.process: subprocess.Popen | None = None
        self.dir: str | None = None
        self.ids = itertools.count(1)

    def __enter__(self) -> Chromium:
        self.start()
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def start(self) -> None:
        self.dir = tempfile.mkdtemp(prefix="zelk-chromium-")
        # A file rather than a pipe, so Chromium never blocks on a full one.
        self.stderr = open(os.path.join(self.dir, "stderr"), "w+b")
        to_chromium, self.writer = os.pipe()
        self.reader, from_chromium = os.pipe()
        self.buffer, self.events = b"", []
        # Chromium wants the pipe on descriptors 3 and 4. subprocess only keeps descriptors, it
        # renumbers them only in a preexec_fn (unsafe with the server threads running), and sh
        # cannot name descriptors above 9; so a Python one-liner renumbers them and execs Chromium.
        # Both go above 4 first, so neither dup2 overwrites the other's source.
        to_chromium, from_chromium = (_above(fd, 4) for fd in (to_chromium, from_chromium))
        # The sanitizer run preloads its runtime, which Chromium must not inherit. The crash
        # handler keeps its reports under XDG_CONFIG_HOME: in the throwaway folder, which also
        # marks the handler as ours for close() (--disable-crashpad-for-testing, which would spare
        # us the handler, crashes the network service).
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"} | {"XDG_CONFIG_HOME": self.dir}
        command = [self.executable, *FLAGS, *self.flags, f"--user-data-dir={self.dir}/profile", "about:blank"]
        try:
            self.process = subprocess.Popen(
                [sys.executable, "-I", "-S", "-c", RENUMBER, str(to_chromium), str(from_chromium)] + command,
                pass_fds=(to_chromium, from_chromium), env=env, start_new_session=True,
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.stderr,
            )
        finally:
            # Closed here at once, so that Chromium's end is the only one and its exit reads as EOF.
            os.close(to_chromium)
            os.close(from_chromium)
        try:
            self.call("Browser.getVersion", deadline=time.monotonic() + self.start_timeout)
        except TimeoutError:
            message = self.report(f"Chromium did not answer within {self.start_timeout} s")
            self.close()
            raise BrowserError(message) from None
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        """Ends Chromium and every process it started, and removes its profile."""
        if self.process is not None:
            # Killed outright: the profile is thrown away, and a clean exit is slower and can still
            # leave helpers behind. They share the browser's process group, except the crash
            # handler, which starts a session of its own but names our folder. Repeated until none
            # is alive, as a kill lands a moment later; the browser is reaped last, so its group
            # number cannot be reused meanwhile.
            deadline = time.monotonic() + 5
            while (left := processes(self.process.pid, self.dir)) and time.monotonic() < deadline:
                for pid in left:
                    with contextlib.suppress(ProcessLookupError):
                        os.kill(pid, signal.SIGKILL)
                time.sleep(0.01)
            self.process.wait()
            self.process = None
        if self.dir is not None:
            os.close(self.writer)
            os.close(self.reader)
            self.stderr.close()
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def run(self, html: str, timeout: float = 10, host: str = "127.0.0.1", port: int = 0) -> Any:
        """Serves `html` (see `serve` for `host` and `port`), opens it in a new tab and returns its
        awaited ``window.result``.

        Raises BrowserError when the page fails, sets no result or does not settle in `timeout` s.
        """
        if self.process is None or self.process.poll() is not None:
            self.close()  # a failed earlier run may have ended it
            self.start()
        deadline = time.monotonic() + timeout
        target = self.call("Target.createTarget", {"url": "about:blank"}, deadline=deadline)["targetId"]
        session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True}, deadline=deadline)
        session = session["sessionId"]
        self.events.clear()
        try:
            with serve(html, host, port) as url:
                for method in ("Runtime.enable", "Page.enable"):
                    self.call(method, session=session, deadline=deadline)
                if error := self.call("Page.navigate", {"url": url}, session, deadline).get("errorText"):
                    raise BrowserError(self.report(f"navigation to {url} failed: {error}", session))
                self.wait_event("Page.loadEventFired", session, deadline)
                expression = {"expression": "Promise.resolve(window.result)", "awaitPromise": True}
                answer = self.call("Runtime.evaluate", expression | {"returnByValue": True}, session, deadline)
        except TimeoutError:
            raise BrowserError(self.report(f"the page did not report within {timeout} s", session)) from None
        finally:
            try:
                self.call("Target.closeTarget", {"targetId": target}, deadline=time.monotonic() + 2)
            except (BrowserError, TimeoutError):
                self.close()  # a browser that cannot close a tab is no use to the next run
        if details := answer.get("exceptionDetails"):
            text = details.get("exception", {}).get("description") or details.get("text")
            raise BrowserError(self.report(f"the page failed: {text}", session))
        if answer["result"]["type"] == "undefined":
            raise BrowserError(self.report("the page set no window.result", session))
        return answer["result"].get("value")

    # The protocol: one command at a time, events kept for failure messages and waits.

    def call(self, method: str, params: dict | None = None, session: str | None = None,
             deadline: float = float("inf")) -> dict:
        ident = next(self.ids)
        message = {"id": ident, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        try:
            os.write(self.writer, json.dumps(message).encode() + b"\0")
        except BrokenPipeError:
            raise BrowserError(self.report(f"Chromium is gone ({method})")) from None
        while True:
            reply = self.receive(deadline, method)
            if reply.get("id") == ident:
                if "error" in reply:
                    raise BrowserError(self.report(f"{method}: {reply['error'].get('message')}", session))
                return reply["result"]
            if "method" in reply:
                self.events.append(reply)

    def wait_event(self, method: str, session: str, deadline: float) -> dict:
        seen = 0
        while True:
            for event in self.events[seen:]:
                if event["method"] == method and event.get("sessionId") == session:
                    return event
            seen = len(self.events)
            reply = self.receive(deadline, method)
            if "method" in reply:
                self.events.append(reply)

    def receive(self, deadline: float, waiting_for: str) -> dict:
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.reader], [], [], left)[0]:
                raise TimeoutError(waiting_for)
            chunk = os.read(self.reader, 1 << 16)
            if not chunk:
                with contextlib.suppress(subprocess.TimeoutExpired):
                    self.process.wait(5)
                problem = f"Chromium exited (code {self.process.poll()}) during {waiting_for}"
                raise BrowserError(self.report(problem))
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def report(self, problem: str, session: str | None = None) -> str:
        """`problem`, then the page's console and exceptions, then the end of Chromium's stderr."""
        lines = [problem]
        for event in self.events:
            if session and event.get("sessionId") != session:
                continue
            params = event["params"]
            if event["method"] == "Runtime.consoleAPICalled":
                args = " ".join(str(a.get("value", a.get("description", ""))) for a in params["args"])
                lines.append(f"  console.{params['type']}: {args}")
            elif event["method"] == "Runtime.exceptionThrown":
                details = params["exceptionDetails"]
                text = details.get("exception", {}).get("description") or details["text"]
                lines.append(f"  exception: {text}")
        self.stderr.flush()
        self.stderr.seek(0)
        # The D-Bus complaints come from every headless start and drown the lines that matter.
        stderr = self.stderr.read().decode(errors="replace").splitlines()
        stderr = [line for line in stderr if "dbus" not in line]
        if stderr:
            lines += ["Chromium's stderr (last lines):", *("  " + line for line in stderr[-30:])]
        return "\n".join(lines)


PAGE = """<!doctype html>
<meta charset="utf-8">
<title>WebSocket exchange</title>
<script>
"use strict";
const config = __CONFIG__;
window.result = new Promise(resolve => {
  const report = {opened: false, replies: [], error: null, close: null};
  const ws = new WebSocket(config.url);
  ws.binaryType = "arraybuffer";
  ws.onopen = () => {
    report.opened = true;
    for (const frame of config.frames) ws.send(frame);
    if (!config.frames.length) ws.close(1000);
  };
  ws.onmessage = event => {
    const data = event.data;
    report.replies.push(typeof data === "string" ? data : {binary: Array.from(new Uint8Array(data))});
    if (report.replies.length === config.frames.length) ws.close(1000);
  };
  // The error event carries no detail; the close event that follows has the code.
  ws.onerror = () => { report.error = "websocket error"; };
  ws.onclose = event => {
    report.close = {code: event.code, reason: event.reason, clean: event.wasClean};
    resolve(report);
  };
  setTimeout(() => { report.error = report.error || "timed out"; resolve(report); }, config.timeout_ms);
});
</script>
"""


def ws_page(url: str, frames: list[str], timeout: float = 5) -> str:
    """A page that opens `url`, sends each text frame, and closes once it has as many replies.

    It reports ``{"opened", "replies", "error", "close"}``; ``close`` has the close event's code,
    reason and whether the closing handshake completed.
    """
    config = {"url": url, "frames": frames, "timeout_ms": int(timeout * 1000)}
    # "<" escaped, so no frame can end the script element ("</script>") early.
    return PAGE.replace("__CONFIG__", json.dumps(config).replace("<", "\\u003c"))


def ws_exchange(chromium: Chromium, url: str, calls: list[Any], timeout: float = 5, **page: Any) -> dict:
    """Sends each of `calls` as a JSON text frame from the browser; replies come back decoded.

    A reply that is not JSON stays text. The page gives up after `timeout` seconds and reports what
    it had, with ``error`` set to "timed out". `page` (host, port) says where the page comes from.
    """
    report = chromium.run(ws_page(url, [json.dumps(c) for c in calls], timeout), timeout + 5, **page)
    report["replies"] = [_decoded(r) for r in report["replies"]]
    return report


def _decoded(reply: Any) -> Any:
    try:
        return json.loads(reply) if isinstance(reply, str) else reply
    except ValueError:
        return reply
