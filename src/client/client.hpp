// The parts of zelk.client, one file each; module.cpp binds them in the module's order.
#pragma once

#include "core/zk.hpp"
#include "protocol/codec_api.hpp"
#include "ring/calls_api.hpp"
#include "ring/ring_api.hpp"

#include <atomic>

namespace client {

#define CLIENT_NAMES(X, S)                  \
    X(__init__)                             \
    X(_allowed_classes)                     \
    X(allowed_classes)                      \
    X(AllowedClasses)                       \
    X(ClassNotAllowed)                      \
    X(NotRebuilt)                           \
    X(_codec_api)                           \
    X(_api)                                 \
    X(_calls)                               \
    X(_stream)                              \
    X(_stream_window)                       \
    X(deadline)                             \
    X(client_span)                          \
    X(end_client_span)                      \
    X(traceparent)                          \
    X(Stream)                               \
    X(stream_window)                        \
    X(value)                                \
    X(version)                              \
    X(window)                               \
    S(bytes_, "bytes")                      \
    S(version_question, "__zelk_version__") \
    X(_names)                               \
    X(_TypedRemoteClass)                    \
    X(api)                                  \
    X(name)                                 \
    X(obj)                                  \
    X(_authkey)                             \
    X(_book)                                \
    X(_class)                               \
    X(_client)                              \
    X(_connection)                          \
    X(_errors)                              \
    X(_host)                                \
    X(_lanes)                               \
    X(_max_message_size)                    \
    X(_method)                              \
    X(_OWN_PACKAGES)                        \
    X(_SPARE_IDLE)                          \
    X(_msgid)                               \
    X(_parse)                               \
    X(_refusal_reason)                      \
    X(_port)                                \
    X(_RemoteClass)                         \
    X(_RemoteMethod)                        \
    X(_request)                             \
    X(_ssl_context)                         \
    X(_timeout)                             \
    X(after_in_child)                       \
    X(alias)                                \
    X(answer_challenge)                     \
    X(authkey)                              \
    X(balance)                              \
    X(BrillPrint)                           \
    X(call)                                 \
    X(clear)                                \
    X(Client)                               \
    X(close)                                \
    X(closed)                               \
    X(connect)                              \
    X(Connection)                           \
    X(critical)                             \
    X(do_handshake)                         \
    X(do_handshake_on_connect)              \
    X(error)                                \
    X(errors)                               \
    X(exclude)                              \
    X(first)                                \
    X(get_port)                             \
    X(getaddrinfo)                          \
    X(getpeername)                          \
    X(getsockname)                          \
    X(iformat)                              \
    X(log)                                  \
    X(max_message_size)                     \
    X(names)                                \
    X(open_connection)                      \
    X(pop)                                  \
    X(port)                                 \
    X(register_at_fork)                     \
    X(REQUEST)                              \
    X(remote_type)                          \
    X(round_robin)                          \
    X(RESPONSE)                             \
    X(reason)                               \
    X(send)                                 \
    X(server_hostname)                      \
    X(settimeout)                           \
    X(socket)                               \
    X(SOCK_STREAM)                          \
    X(text)                                 \
    X(ssl_context)                          \
    X(timeout)                              \
    X(warning)                              \
    X(wrap_socket)                          \
    S(class_, "class")                      \
    S(raise_, "raise")                      \
    S(return_, "return")                    \
    S(dot, ".")                             \
    S(proxy_repr, "ZELK.Client")

ZK_NAMES(Names, CLIENT_NAMES)

struct State : zk::ModuleState {
    Names names;
    zk::Ref send_errors;  // what a broken connection raises while a request is written
    zk::Ref client_call;  // Client.call as defined here, which method proxies may enter directly
    mutable zk::NativeCache is_native_call;  // is_native's answer for the class of the last client
    zk::Ref answer_challenge;  // ring's side of the key handshake for clients
    zk::Ref refusal_reason;    // ring's _refusal_reason: why a server refused a connection, from its record
    zk::Ref ring_module;       // keeps the connection layer's native calls alive
    zk::Ref ring_capsule;      // holds them: each ring::Link keeps it too
    zk::Ref client_request, client_parse;  // Client._request and ClientBase._parse as defined here
    mutable zk::NativeCache is_native_request, is_native_parse;
    // What errors="raise" raises: RemoteError and its InvalidAnswer, CallTimeout, ConnectionLost, Unreachable.
    zk::Ref remote_error, invalid_answer, call_timeout, connection_lost, unreachable;
    zk::Ref allowed_classes, class_not_allowed;  // protocol's AllowedClasses and ClassNotAllowed
    zk::Ref stream_class;       // Stream
    zk::Ref calls_capsule;      // ring's _calls: the call this thread serves, when it serves one
    const ring::CallsApi* calls = nullptr;
    zk::Ref not_rebuilt;                         // protocol's NotRebuilt
    zk::Ref codec_capsule;                       // protocol's _codec_api, which codec_api's calls live in
    const protocol::CodecApi* codec_api = nullptr;
    // Forks of this process's line so far, as the child counts them, and the thread that forked last:
    // a client whose lanes saw fewer forks holds the parent's connections.
    std::atomic<unsigned> forks{0};
    std::atomic<unsigned long> forked_by{0};

    template <class F>
    void each(F&& f) {
        ModuleState::each(f);
        f(names);
        f(send_errors), f(client_call), f(answer_challenge), f(refusal_reason), f(ring_module), f(ring_capsule), f(client_request), f(client_parse);
        f(remote_error), f(invalid_answer), f(call_timeout), f(connection_lost), f(unreachable);
        f(allowed_classes), f(class_not_allowed), f(stream_class), f(calls_capsule), f(not_rebuilt), f(codec_capsule);
    }
};

using Scope = zk::Scope<State>;

// class _RemoteStatus, and the proxies built on it: _RemoteMethod, _RemoteClass, _TypedRemoteClass.
zk::Ref define_remote_status(zk::Module& m);
void define_remote_method(zk::Module& m, zk::Handle status);
void define_remote_class(zk::Module& m, zk::Handle status);

// RemoteError, InvalidAnswer, CallTimeout, ConnectionLost, Unreachable.
void define_errors(zk::Module& m, State& st);

// class ClientBase, and class Client(ClientBase).
zk::Ref define_client_base(zk::Module& m, State& st);
void define_client(zk::Module& m, State& st, zk::Handle base);

// Client.call, and its body for callers that have already bound its arguments.
zk::Def call_def();
zk::Ref remote_call(Scope s, zk::Handle self, zk::Handle method, zk::Handle args, zk::Handle kwds);

class Lanes;
struct Lane;
// Client._request's work: numbers the request, builds its record and sends it on `conn`, through
// the lane's link when there is a lane, noting the id there.
void send_request(Scope s, Lanes& lanes, Lane* lane, zk::Handle conn, zk::Handle method, zk::Handle args, zk::Handle kwds);
// The same for a call made natively on `lane`: the server on a new connection is first asked what it
// takes (see stream.cpp), and a call record goes to one that takes them.
void send_call(Scope s, zk::Handle self, Lanes& lanes, Lane& lane, zk::Handle conn, zk::Handle method, zk::Handle args,
               zk::Handle kwds);

// What the server on the link's connection takes, asked once per connection: noted in `lane`.
void ask_version(Scope s, Lane& lane, ring::Link& link);
// The options of a call record: its deadline (its `timeout` keyword, else the connection's, and no
// later than the deadline of a call this thread serves, whose remainder then bounds the wait too),
// and the stream terms that differ from the server's.
zk::Ref call_options(Scope s, zk::Handle self, Lane& lane, zk::Handle conn, zk::Handle timeout);
// What the client's printer returns for `message` at `level` ("critical", ...), printed.
zk::Ref log_at(const Names& n, zk::Handle client, zk::Handle level, zk::Handle message);
// Whether `response` is the first record of a stream that answers request `expected`.
bool starts_stream(zk::Handle response, zk::Handle expected);
// Whether a stream's `record` is one that more records follow.
bool stream_goes_on(zk::Handle record);
// The Stream of a call answered by one, holding `lane` until it ends; `record` its first record.
zk::Ref start_stream(Scope s, zk::Handle self, zk::Boxed<Lanes> lanes, Lane& lane, zk::Handle record, zk::Handle method,
                     zk::Handle args, zk::Handle kwds);
// class Stream.
void define_stream(zk::Module& m, State& st);
// ClientBase._parse's work: the result of `response`, which must answer the request `expected`.
zk::Ref checked_result(Scope s, zk::Handle response, zk::Handle expected);
// _checked_result(response, expected), the same for zelk.aio, which checks the answers it reads itself.
zk::Def checked_result_def();
// _report_closed(client), for zelk.aio, which says so as this client does.
zk::Def report_closed_def();

// "ZeroDivisionError@calc.div(1, 0) ...": the type named before the rendered call, when there is one.
zk::Ref remote_type_of(zk::Handle text);
// RemoteError(text), with the remote type its text names.
zk::Ref remote_error(const State& st, zk::Handle text);
// Whether an answer whose result is `result` reports a failed call.
bool reports_failure(zk::Handle response, zk::Handle result);

// "@SEND: BrokenPipeError, [Errno 32] Broken pipe": how `phase` of a call failed. An error's text may
// quote what the server sent: its control characters are escaped, so that a server cannot write
// lines of its own into the log.
zk::Ref failure_text(zk::Handle phase, zk::Handle error);
// Prints "Failure<the call> <error>" through the client's printer at error level, as if in the
// except block that caught `error`, and returns the text.
zk::Ref report_failure(Scope s, zk::Handle client, zk::Handle method, zk::Handle args, zk::Handle kwds, zk::Handle error);

// connect(name, ...): a client for a service, behind a proxy; close(proxy) closes its client.
zk::Def connect_def(zk::Handle max_message_size);
zk::Def close_def();

// Reports a service that cannot be reached for `reason` through the client's printer, once per
// outage, and returns the text: "Connection failed (<reason>), please check: ...". The outage ends
// with the next answer, which report_reachable says in one warning line. A call in progress on this
// thread keeps the reason, for the Unreachable it may raise.
zk::Ref report_unreachable(Scope s, zk::Handle self, zk::Handle reason);
void report_reachable(Scope s, zk::Handle self);
// Prints "Connection to (<host>, <port>) closed!" through the client's printer, and returns it.
zk::Ref report_closed(Scope s, zk::Handle self);

// Why the server refused the connection, when `answer` is its refusal record; else nothing.
zk::Ref refusal_reason(Scope s, zk::Handle answer);

// Closes `connection` (None is none) and lets an OSError go: a connection that was reset cannot be
// shut down, or another thread's close came first, and closing it still lets its descriptor go.
void close_quietly(const Names& n, zk::Handle connection);

// Whether a client raises its failures: errors="raise" rather than "return" (ValueError for anything else).
bool raises(const Names& n, zk::Handle errors);

}  // namespace client
