// The parts of zelk.server, one file each; module.cpp binds them in the module's order.
#pragma once

#include "core/zk.hpp"
#include "protocol/codec_api.hpp"
#include "ring/calls_api.hpp"
#include "ring/ring_api.hpp"

#include <chrono>
#include <functional>
#include <optional>
#include <string_view>

namespace server {

#define SERVER_NAMES(X, S)            \
    X(__init__)                       \
    X(address_family)                 \
    X(AF_INET6)                       \
    X(get_request)                    \
    X(IPPROTO_IPV6)                   \
    X(IPV6_V6ONLY)                    \
    X(server_bind)                    \
    X(_refusal)                       \
    X(_Threads)                       \
    X(_threads)                       \
    X(append)                         \
    X(block_on_close)                 \
    X(first_message_timeout)          \
    X(max_connections_per_host)       \
    X(peek)                           \
    X(strip)                          \
    X(_ssl_context)                   \
    X(close)                          \
    X(fileno)                         \
    X(do_handshake)                   \
    X(do_handshake_on_connect)        \
    X(server_side)                    \
    X(settimeout)                     \
    X(timeout)                        \
    X(wrap_socket)                    \
    X(_alias)                         \
    X(_metrics)                       \
    X(_metered)                       \
    X(metrics)                        \
    X(method)                         \
    X(url)                            \
    X(server_span)                    \
    X(end_server_span)                  \
    X(traceparent)                    \
    X(_allowed_classes)               \
    X(_expose)                        \
    X(allowed_classes)                \
    X(AllowedClasses)                 \
    X(ClassNotAllowed)                \
    X(NotRebuilt)                     \
    X(_codec_api)                     \
    X(expose)                         \
    X(ip_address)                     \
    X(is_loopback)                    \
    X(value)                          \
    X(_api)                           \
    X(_calls)                         \
    X(_authkey)                       \
    X(_connection)                    \
    X(_origins)                       \
    X(_parse)                         \
    X(_server)                        \
    X(_shadowed)                      \
    X(_slots)                         \
    X(_line_rates)                    \
    X(_timeout)                       \
    X(alias)                          \
    X(allow_reuse_address)            \
    X(BaseRequestHandler)             \
    X(BrillPrint)                     \
    X(children)                       \
    X(iprint)                         \
    X(client)                         \
    X(client_address)                 \
    X(count)                          \
    X(critical)                       \
    X(daemon)                         \
    X(deliver_challenge)              \
    X(detach)                         \
    X(daemon_threads)                 \
    X(error)                          \
    X(exclude)                        \
    X(get)                            \
    X(get_port)                       \
    X(getpid)                         \
    X(getppid)                        \
    X(host)                           \
    X(idle_timeout)                   \
    X(info)                           \
    X(kill)                           \
    X(log)                            \
    X(max_connections)                \
    X(max_message_size)               \
    X(MessageTooLarge)                \
    X(lower)                          \
    X(IPPROTO_TCP)                    \
    X(name)                           \
    X(NoSuchProcess)                  \
    X(obj)                            \
    X(origin)                         \
    X(origins)                        \
    X(os)                             \
    X(ping)                           \
    X(pop)                            \
    X(port)                           \
    X(print)                          \
    X(Process)                        \
    X(process)                        \
    X(process_request)                \
    X(process_request_thread)         \
    X(recursive)                      \
    X(record)                         \
    S(register_, "register")          \
    X(request)                        \
    X(request_queue_size)             \
    X(RequestHandler)                 \
    X(sendall)                        \
    X(serve_forever)                  \
    X(setsockopt)                     \
    X(shutdown_request)               \
    X(SOMAXCONN)                      \
    X(server)                         \
    X(Server)                         \
    X(ServerBase)                     \
    X(server_address)                 \
    X(server_close)                   \
    X(sleep)                          \
    X(socket)                         \
    X(upgrade)                        \
    X(split)                          \
    X(start)                          \
    X(stats)                          \
    X(statistics)                     \
    X(target)                         \
    X(TCP_NODELAY)                    \
    X(terminate)                      \
    X(Thread)                         \
    X(TCPServer)                      \
    X(ThreadingTCPServer)             \
    X(wait_procs)                     \
    X(deadline)                       \
    X(version)                        \
    X(window)                         \
    S(bytes_, "bytes")                \
    X(warning)                        \
    S(args_, "args")                  \
    S(dot, ".")                       \
    S(null_, "null")                  \
    S(underscore, "_")                \
    S(traceback_, "traceback")

ZK_NAMES(Names, SERVER_NAMES)

struct State : zk::ModuleState {
    Names names;
    zk::Ref request_kind, response_kind;  // REQUEST and RESPONSE, as the module imported them
    mutable zk::NativeCache is_native_parse, is_native_process;  // the answers of is_native, per class
    zk::Ref connection_class;             // ring's Connection
    zk::Ref method_type;                  // types.MethodType
    zk::Ref iformat;                      // scribe's call rendering, for failure texts
    zk::Ref native_process, native_parse;  // RequestHandler.process and ServerBase._parse as defined here
    zk::Ref exclude;                      // the printer's exclude list for a server
    zk::Ref connection_errors;            // the errors that end a connection with a critical line
    zk::Ref listen_backlog;               // socket.SOMAXCONN
    zk::Ref ipproto_tcp, tcp_nodelay;     // socket.IPPROTO_TCP and socket.TCP_NODELAY
    zk::Ref deliver_challenge;            // ring's side of the key handshake for servers
    zk::Ref message_too_large;            // ring's MessageTooLarge
    zk::Ref thread_class, threads_class;  // threading.Thread, and socketserver's list of threads to join
    zk::Ref tcp_shutdown_request;         // TCPServer's own
    zk::Ref tcp_server_bind, tcp_get_request;  // TCPServer's own
    zk::Ref af_inet6, ipproto_ipv6;       // socket.AF_INET6 and socket.IPPROTO_IPV6
    zk::Ref ipv6_v6only;                  // socket.IPV6_V6ONLY, empty where the system has none
    zk::Ref refusal;                      // ring's _refusal: the message a refused connection is sent
    zk::Ref socket_class;                 // socket.socket
    zk::Ref ring_module;                  // keeps the connection layer's native calls below alive
    zk::Ref ring_capsule;                 // holds them: each ring::Link keeps it too
    zk::Ref allowed_classes, class_not_allowed;  // protocol's AllowedClasses and ClassNotAllowed
    zk::Ref unresolved_type;              // what _parse gives for a call name it cannot resolve: a text of its own kind
    zk::Ref calls_capsule;                // ring's _calls: the call each handler thread serves
    const ring::CallsApi* calls = nullptr;
    zk::Ref codec_capsule;                // protocol's _codec_api, which codec_api's calls live in
    const protocol::CodecApi* codec_api = nullptr;
    zk::Ref not_rebuilt;                  // protocol's NotRebuilt

    template <class F>
    void each(F&& f) {
        ModuleState::each(f);
        f(names);
        f(request_kind), f(response_kind), f(connection_class), f(method_type), f(iformat);
        f(native_process), f(native_parse), f(exclude), f(connection_errors), f(deliver_challenge);
        f(listen_backlog), f(ipproto_tcp), f(tcp_nodelay), f(message_too_large);
        f(thread_class), f(threads_class), f(tcp_shutdown_request), f(socket_class), f(ring_module), f(ring_capsule);
        f(refusal);
        f(tcp_server_bind), f(tcp_get_request), f(af_inet6), f(ipproto_ipv6), f(ipv6_v6only);
        f(allowed_classes), f(class_not_allowed), f(unresolved_type), f(calls_capsule);
        f(codec_capsule), f(not_rebuilt);
    }
};

// The limits a server starts with unless serve is told otherwise; the README says why each.
constexpr double idle_timeout_default = 300.0;
constexpr long max_connections_default = 1024;
constexpr long max_connections_per_host_default = 256;
constexpr double first_message_timeout_default = 10.0;

using Scope = zk::Scope<State>;

// When a new connection's first message must have come whole: first_message_timeout after its
// handler began, or never when the server has none. The handshakes before it keep to it too.
class FirstMessage {
public:
    explicit FirstMessage(zk::Handle seconds);
    // Seconds left, at most `most`; never quite 0, which a socket would take for "do not wait".
    double left(double most) const;
    // Seconds left, or None when there is no such deadline.
    zk::Ref left_or_none() const;

private:
    std::optional<std::chrono::steady_clock::time_point> when_;
};

// ServerBase._parse of a request record: message id, callable or error text, args, kwds. The text of
// a name that cannot be resolved is of a type of its own (unresolved_type): any other text is an
// attribute's value.
struct ParsedRequest {
    zk::Ref msgid, function, args, kwds;
};
// Which call names a server answers (trust.cpp): any, by default; with `expose` only those it names
// (the parts after the service's name) and the service methods; with `expose` or `allowed_classes`,
// none with a part after the service's name that begins with "_".
struct NamePolicy {
    zk::Ref exposed;  // a frozenset of names, or empty: any name
    bool private_hidden = false;
};
NamePolicy name_policy(const Names& n, zk::Handle server);
// The parts fname.split(".") gives, as a tuple, and whether the policy hides the name.
struct CallName {
    zk::Ref parts;
    bool hidden = false;
};
CallName split_call_name(const Names& n, zk::Handle fname, const NamePolicy& policy);

// `split`: the call name's parts, when the caller has them already.
ParsedRequest parse_request(Scope s, zk::Handle server_base, zk::Handle request, const CallName* split = nullptr);

// class ServerBase, class RequestHandler, class Server
zk::Ref define_server_base(zk::Module& m, State& st);
void define_request_handler(zk::Module& m, State& st);
void define_server(zk::Module& m, const State& st, zk::Handle server_base);

// The warning naming the service methods the served object's own attributes shadow, once the
// server has its printer; nothing when there are none.
void report_shadowed(Scope s, zk::Handle server);
// The origins `serve` allows besides loopback pages, checked and in one form (a frozenset);
// ValueError for an entry that is not scheme://host[:port].
zk::Ref allowed_origins(const State& st, zk::Handle entries);
// `text` at warning level on the server's printer.
void warn(const Names& n, zk::Handle server, zk::Handle text);
// A whole HTTP response that closes the connection after it: status line ("403 Forbidden"), one
// content type, and the body.
zk::Ref http_answer(std::string_view status, std::string_view content_type, std::string_view body);
// Whether a browser's upgrade request may go on: when its page's origin is not allowed, the page
// is answered 403, the refusal logged and the connection marked closed.
bool admit_upgrade(Scope s, zk::Handle server, const ring::Link& link, zk::Handle address, zk::Handle header);

// TLS, when the server has an ssl_context (tls.cpp): whether `server` has one; the handshake, in the connection's own thread and bounded in time,
// after which the handler's request and connection are the TLS ones (false: it failed, and was logged).
bool serves_tls(const Names& n, zk::Handle server);
bool passes_tls_handshake(const State& st, zk::Handle handler, const FirstMessage& first);
// Seconds a new connection has for its first whole message, handshakes included: the sooner of
// first_message_timeout and idle_timeout, so that the first message, like any other, keeps to one
// deadline from the start, and the wait before its first byte gets no time of its own; None for neither.
zk::Ref first_message_due(const Names& n, zk::Handle server);
// The Connection of an accepted socket, with the server's limits; its first message is due in
// `first_message_timeout` seconds (None: the idle time-out alone bounds it).
zk::Ref connection_for(const State& st, zk::Handle server, zk::Handle sock, zk::Handle first_message_timeout);
// Whether bytes a plain server peeked at begin a TLS handshake; the warning that turns one away.
bool starts_tls_handshake(zk::Handle first);
void turn_away_tls(const State& st, zk::Handle handler);

// What serve keeps of allowed_classes and expose (trust.cpp), checked before anything is bound: an
// AllowedClasses or None; a frozenset of names or None.
zk::Ref checked_allow_list(const State& st, zk::Handle allowed_classes);
zk::Ref checked_expose(const Names& n, zk::Handle expose);
// With `expose`, the service methods the object did not shadow join it (terminate only when named).
void keep_trust_settings(const State& st, zk::Handle server, zk::Handle allowed, zk::Handle exposed);
// The warning of a server that any peer on the network may make run code: bound beyond loopback,
// with neither a key nor an allow-list.
void warn_if_open(const State& st, zk::Handle server, zk::Handle log, zk::Handle authkey);

// The lines every connection may print, each kind at most once a second per server (connection_lines.cpp):
// those held back are counted, and the count goes out with the next line of their kind.
enum class ConnectionLine { connected, disconnected, idle, reset };
zk::Ref make_line_rates();  // what Server.__init__ keeps as _line_rates
// server.log.<level>(text), unless a line of its kind went out less than a second ago.
void report_connection_line(const State& st, zk::Handle server, ConnectionLine kind, zk::Handle level, zk::Handle text);

// Addresses of both families (addresses.cpp). The IPv6 family for a server whose host is an IPv6
// address; Server's server_bind and get_request, which name the server and its clients by (host,
// port); a host as a line shows it beside a port ("[::1]").
void choose_family(const State& st, zk::Handle server, zk::Handle server_address);
zk::Def server_bind_def();
zk::Def get_request_def();
zk::Ref shown_host(zk::Handle host);

// time_left() and cancelled(), which a served method asks about the call it serves (current_call.cpp).
zk::Def time_left_def();
zk::Def cancelled_def();

// What a stream that answers a call keeps to (stream.cpp): at most `window` items and `budget`
// bytes ahead of what its caller took; `span`, when not negative, the seconds its deadline gives
// each wait for items, from each batch sent.
struct StreamTerms {
    static constexpr long long most_window = 65536;
    long long window = ring::default_stream_window;
    long long budget = ring::default_stream_budget;
    double span = -1;
};
// What a call record (kind 2) asks beside the call: its deadline, in seconds left from when its
// first byte came (has_deadline false: none), and the terms of the stream that may answer it.
struct CallOptions {
    bool has_deadline = false;
    double seconds = 0;
    StreamTerms terms;
};
// Whether a record is a credit or cancel record; one that reaches the request loop is of a call
// that has ended, and goes.
bool is_control_record(zk::Handle record);
// The answer to the question of what the server takes, when `record` is that question; else nothing.
zk::Ref version_answer(const State& st, zk::Handle record);
// A call record as the 5-item request the rest of the handler reads, its options in `options`;
// any other record as it is.
zk::Ref as_request(const State& st, zk::Handle record, zk::Ref& options);
// The options of a call record, checked: "Request[...]: Invalid Options" for a value of the wrong
// type or range; options it does not know are left alone.
CallOptions read_options(const Names& n, zk::Handle record, zk::Handle options);

// Serves the items of `generator` as the stream that answers `call` (whose id the records carry as
// `msgid`), with send(record) for each record and failure(e) for the text of a failure that ends it.
// The generator runs with `call` current; it is closed, its finally run, once the caller calls the
// stream off or goes. `idle_seconds` (negative: no limit) bounds a wait for credits: TimeoutError
// after it, once the generator is closed.
void serve_stream(const State& st, ring::CurrentCall& call, zk::Handle msgid, zk::Handle generator, const StreamTerms& terms,
                  double idle_seconds, const std::function<void(zk::Handle)>& send,
                  const std::function<zk::Ref(const zk::PyError&)>& failure);

// terminate, start, serve
zk::Def terminate_def();
zk::Def start_def();
zk::Def serve_def(zk::Handle max_message_size);

}  // namespace server
