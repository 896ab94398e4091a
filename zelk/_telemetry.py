"""OpenTelemetry's part in zelk's calls: a client span and a server span of one trace per call, and
the two call durations through the global meter provider.

zelk imports this module only once the application has set a tracer or meter provider (both clients
and the server look for that first, in sys.modules); without one, OpenTelemetry is never imported.
The names are OpenTelemetry's for RPC: spans named "service/method", with `rpc.system` ("zelk"),
`rpc.service` and `rpc.method`; `rpc.client.call.duration` and `rpc.server.call.duration` in seconds.
A client's span travels to the server as a W3C `traceparent` in the call's options, to servers that
said they take it.
"""

from __future__ import annotations

import functools
import time
from typing import Any

from opentelemetry import context, metrics, trace
from opentelemetry.trace import SpanKind, Status, StatusCode
from opentelemetry.trace.propagation.tracecontext import TraceContextTextMapPropagator

# The proxies of the global providers: they follow the providers the application sets, then or later.
_tracer = trace.get_tracer("zelk")
_meter = metrics.get_meter("zelk")
_client_duration = _meter.create_histogram("rpc.client.call.duration", unit="s",
                                           description="Seconds a zelk call took, as its caller saw it")
_server_duration = _meter.create_histogram("rpc.server.call.duration", unit="s",
                                           description="Seconds a zelk server took to serve a call")
_propagator = TraceContextTextMapPropagator()


def _attributes(name: Any) -> dict[str, str]:
    """A call name's RPC attributes: "calc.add" is method add of service calc; a served function
    called by the service's name alone is its method __call__."""
    return _attributes_of_text(name if type(name) is str else str(name))


def _made_attributes(name: str) -> dict[str, str]:
    service, dot, method = name.partition(".")
    return {"rpc.system": "zelk", "rpc.service": service, "rpc.method": method if dot else "__call__"}


# A program calls a few names again and again: their attributes are made once (OpenTelemetry copies
# them), and a peer's names without end are not all kept.
_attributes_of_text = functools.lru_cache(maxsize=1024)(_made_attributes)


def _span_name(attributes: dict[str, str]) -> str:
    return f"{attributes['rpc.service']}/{attributes['rpc.method']}"


def client_span(name: Any) -> tuple[tuple[Any, dict[str, str], float], str | None]:
    """A client span for the call `name`, a child of the caller's current span (a server span when
    a served method calls on), and the traceparent that names it to the server."""
    attributes = _attributes(name)
    span = _tracer.start_span(_span_name(attributes), kind=SpanKind.CLIENT, attributes=attributes)
    carrier: dict[str, str] = {}
    _propagator.inject(carrier, context=trace.set_span_in_context(span))
    return (span, attributes, time.perf_counter()), carrier.get("traceparent")


def end_client_span(call: tuple[Any, dict[str, str], float], failed: bool) -> None:
    span, attributes, began = call
    _client_duration.record(time.perf_counter() - began, attributes)
    if failed:
        span.set_status(Status(StatusCode.ERROR))
    span.end()


def server_span(name: Any, traceparent: str | None) -> tuple[Any, Any, dict[str, str], float]:
    """A server span for the call `name`, the child of the client span `traceparent` names (a new
    trace without one), current in the handler's thread until end_server_span."""
    attributes = _attributes(name)
    parent = _propagator.extract({"traceparent": traceparent}) if traceparent else context.Context()
    span = _tracer.start_span(_span_name(attributes), context=parent, kind=SpanKind.SERVER, attributes=attributes)
    token = context.attach(trace.set_span_in_context(span, parent))
    return span, token, attributes, time.perf_counter()


def end_server_span(call: tuple[Any, Any, dict[str, str], float], failed: bool) -> None:
    span, token, attributes, began = call
    _server_duration.record(time.perf_counter() - began, attributes)
    context.detach(token)
    if failed:
        span.set_status(Status(StatusCode.ERROR))
    span.end()
