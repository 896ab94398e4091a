"""Metrics on the served port, scraped by prometheus_client's parser and by a real Prometheus, and
OpenTelemetry's spans and durations across a call."""

import json
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

import pytest

from conftest import free_port, importable, start_served, stop_served
from zelk.client import connect
from zelk.server import serve

parser = pytest.importorskip("prometheus_client.parser", reason="prometheus_client is a test extra")


class Calc:
    def add(self, a, b):
        return a + b

    def div(self, a, b):
        return a / b

    def count(self, n):
        yield from range(n)


def served(**settings):
    port = free_port()
    serve(Calc(), "calc", port=port, thread=True, **settings)
    return port


def http_get(port, path="/metrics", headers="", source="127.0.0.1"):
    """What the server answered a plain HTTP GET of `path` from `source`, until it closed."""
    with socket.create_connection(("127.0.0.1", port), timeout=10, source_address=(source, 0)) as sock:
        sock.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{headers}\r\n".encode())
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
        return answer


def scrape(port, source="127.0.0.1"):
    """The metrics page as {(name, labels): value}, checked to be one whole HTTP answer."""
    head, _, body = http_get(port, source=source).partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK\r\n")
    assert b"Content-Type: text/plain; version=0.0.4" in head
    assert f"Content-Length: {len(body)}".encode() in head
    return {(sample.name, tuple(sorted(sample.labels.items()))): sample.value
            for family in parser.text_string_to_metric_families(body.decode()) for sample in family.samples}


def test_counts_and_durations_after_known_calls():
    port = served(metrics=True, max_connections_per_host=1)
    calc = connect("calc", port=port)
    for i in range(3):
        assert calc.add(i, 1) == i + 1
    calc.div(1, 0)
    assert list(calc.count(5)) == [0, 1, 2, 3, 4]
    with socket.create_connection(("127.0.0.1", port)) as refused:  # calc holds 127.0.0.1's one slot
        assert refused.recv(4096)  # the refusal record, then the close
    page = scrape(port, source="127.0.0.2")  # another loopback host, with a slot of its own

    def value(name, **labels):
        return page[(name, tuple(sorted(labels.items())))]

    assert value("zelk_calls_total", method="calc.add", outcome="ok") == 3
    assert value("zelk_calls_total", method="calc.add", outcome="error") == 0
    assert value("zelk_calls_total", method="calc.div", outcome="error") == 1
    assert value("zelk_calls_total", method="calc.count", outcome="ok") == 1
    assert value("zelk_stream_items_sent_total") == 5
    buckets = [(float(dict(labels)["le"]), v) for (name, labels), v in page.items()
               if name == "zelk_call_duration_seconds_bucket" and dict(labels)["method"] == "calc.add"]
    assert [le for le, _ in buckets] == sorted(le for le, _ in buckets) and buckets[0][0] == 50e-6 and buckets[-2][0] == 10
    assert all(a <= b for (_, a), (_, b) in zip(buckets, buckets[1:])) and buckets[-1][1] == 3
    assert value("zelk_call_duration_seconds_count", method="calc.add") == 3
    assert 0 < value("zelk_call_duration_seconds_sum", method="calc.add") < 30
    assert value("zelk_connections_open") == 2  # calc's, and the scrape's own
    assert value("zelk_connections_refused_total", limit="max_connections_per_host") == 1
    assert value("zelk_connections_refused_total", limit="max_connections") == 0
    assert value("zelk_received_bytes_total") > 100 and value("zelk_sent_bytes_total") > 100
    assert calc.stats()  # stats() answers as before


def test_threads_count_every_call():
    port = served(metrics=True)
    clients, barrier = [connect("calc", port=port) for _ in range(8)], threading.Barrier(8)

    def work(calc):
        barrier.wait()
        for i in range(200):
            calc.add(i, i)

    threads = [threading.Thread(target=work, args=(calc,)) for calc in clients]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    page = scrape(port)
    assert page[("zelk_calls_total", (("method", "calc.add"), ("outcome", "ok")))] == 1600
    assert page[("zelk_call_duration_seconds_count", (("method", "calc.add"),))] == 1600


@pytest.mark.parametrize("settings, headers, answer", [
    ({}, "", b""),  # no metrics: the plain request is answered as before, with nothing
    ({"metrics": True, "origins": ["https://app.example"]}, "Origin: https://evil.example\r\n", b"HTTP/1.1 403 Forbidden"),
    ({"metrics": True, "origins": ["https://app.example"]}, "Origin: https://app.example\r\n", b"HTTP/1.1 200 OK"),
])
def test_who_gets_the_page(settings, headers, answer):
    port = served(**settings)
    got = http_get(port, headers=headers)
    assert got[:len(answer)] == answer and (b"zelk_calls_total" in got) == answer.endswith(b"200 OK")
    assert connect("calc", port=port).add(1, 2) == 3


def test_a_server_with_a_key_serves_no_metrics():
    with pytest.raises(ValueError, match="metrics: cannot be served with an authkey"):
        serve(Calc(), "calc", port=free_port(), thread=True, metrics=True, authkey=b"key")


def test_the_command_line_serves_metrics():
    port = free_port()
    command = "import runpy, sys; sys.argv[:] = ['zelk', 'serve', 'math', '--metrics', '--port', sys.argv[1]]; " \
              "runpy.run_module('zelk', run_name='__main__')"
    proc = start_served(command, port)
    try:
        assert scrape(port)[("zelk_connections_open", ())] == 1
    finally:
        stop_served(proc)


def test_method_labels_are_escaped_and_bounded():
    port = served(metrics=True)
    calc = connect("calc", port=port)
    calc._client.call('calc.x"\\\ny')
    for i in range(1005):  # names without end cannot grow the page without end
        calc._client.call(f"calc.m{i}")
    page = scrape(port)
    assert page[("zelk_calls_total", (("method", 'calc.x"\\\ny'), ("outcome", "error")))] == 1
    methods = {dict(labels)["method"] for name, labels in page if name == "zelk_calls_total"}
    assert len(methods) == 1001 and "(other)" in methods


PROMETHEUS = shutil.which("prometheus")


@pytest.mark.skipif(PROMETHEUS is None, reason="no prometheus binary (Debian's prometheus package, which scripts/setup installs)")
def test_a_real_prometheus_scrapes_the_served_port(tmp_path):
    port, web = served(metrics=True), free_port()
    calc = connect("calc", port=port)
    for i in range(7):
        calc.add(i, i)
    config = tmp_path / "prometheus.yml"
    config.write_text("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                      f"scrape_configs:\n  - job_name: zelk\n    static_configs:\n      - targets: ['127.0.0.1:{port}']\n")
    proc = subprocess.Popen([PROMETHEUS, f"--config.file={config}", f"--storage.tsdb.path={tmp_path / 'data'}",
                             f"--web.listen-address=127.0.0.1:{web}"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    query = urllib.parse.urlencode({"query": 'zelk_calls_total{method="calc.add",outcome="ok"}'})
    found = None
    try:
        for _ in range(240):  # some two minutes at most
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{web}/api/v1/query?{query}", timeout=5) as answer:
                    result = json.load(answer)["data"]["result"]
                if result:
                    found = result[0]
                    break
            except OSError:
                pass  # not listening yet
            assert proc.poll() is None, "prometheus stopped"
            time.sleep(0.5)
    finally:
        proc.terminate()
        proc.wait(30)
    assert found is not None, "prometheus never stored zelk's call counter"
    assert found["metric"]["job"] == "zelk" and float(found["value"][1]) == 7


# OpenTelemetry's providers are set once per process, so the traced calls run in a process of their own.
TRACED = r"""
import asyncio, json, sys, time
from opentelemetry import metrics, trace
from opentelemetry.sdk.metrics import MeterProvider
from opentelemetry.sdk.metrics.export import InMemoryMetricReader
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
from zelk import aio
from zelk.client import connect
from zelk.server import serve

spans, reader, provider = InMemorySpanExporter(), InMemoryMetricReader(), TracerProvider()
provider.add_span_processor(SimpleSpanProcessor(spans))
trace.set_tracer_provider(provider)
metrics.set_meter_provider(MeterProvider(metric_readers=[reader]))
port, front = int(sys.argv[1]), int(sys.argv[2])

class Calc:
    def add(self, a, b):
        return a + b
    def div(self, a, b):
        return a / b

class Front:  # calls on: its call's trace goes on to calc
    def add(self, a, b):
        return connect("calc", port=port).add(a, b)

serve(Calc(), "calc", port=port, thread=True)
serve(Front(), "front", port=front, thread=True)
connect("calc", port=port).add(1, 2)
connect("calc", port=port).div(1, 0)
connect("front", port=front).add(1, 2)
async def main():
    async with aio.connect("calc", port=port) as calc:
        await calc.add(1, 2)
asyncio.run(main())
for _ in range(1000):  # a server ends its span once its answer is out, maybe after the caller has it
    if sum(s.kind.name == "SERVER" for s in spans.get_finished_spans()) == 5:
        break
    time.sleep(0.01)
print(json.dumps({
    "spans": [{"name": s.name, "kind": s.kind.name, "trace": s.context.trace_id, "id": s.context.span_id,
               "parent": s.parent.span_id if s.parent else None, "attributes": dict(s.attributes),
               "status": s.status.status_code.name} for s in spans.get_finished_spans()],
    "metrics": {m.name: [(dict(p.attributes), p.count) for p in m.data.data_points]
                for r in reader.get_metrics_data().resource_metrics for sm in r.scope_metrics for m in sm.metrics},
}))
"""


@pytest.mark.skipif(not importable("opentelemetry.sdk.trace"), reason="opentelemetry-sdk does not install here")
def test_one_trace_crosses_each_call():
    out = subprocess.run([sys.executable, "-c", TRACED, str(free_port()), str(free_port())], capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    report = json.loads(out.stdout.strip().splitlines()[-1])
    spans = report["spans"]
    by_id = {span["id"]: span for span in spans}
    servers = [span for span in spans if span["kind"] == "SERVER"]
    assert len(servers) == 5 and len(spans) == 10  # add, div, front.add with its calc.add, and aio's add
    for server in servers:  # each a child of its client's span, in its trace
        client = by_id[server["parent"]]
        assert client["kind"] == "CLIENT" and client["trace"] == server["trace"] and client["name"] == server["name"]
        assert server["attributes"] == client["attributes"] == {
            "rpc.system": "zelk", "rpc.service": server["name"].split("/")[0], "rpc.method": server["name"].split("/")[1]}
    assert {span["status"] for span in spans if span["name"] == "calc/div"} == {"ERROR"}
    front = next(span for span in servers if span["name"] == "front/add")
    onward = [span for span in spans if span["parent"] == front["id"]]
    assert [span["kind"] for span in onward] == ["CLIENT"] and onward[0]["trace"] == front["trace"]
    for name in ("rpc.client.call.duration", "rpc.server.call.duration"):
        counts = {point[0]["rpc.method"]: point[1] for point in report["metrics"][name] if point[0]["rpc.service"] == "calc"}
        assert counts == {"add": 3, "div": 1}
