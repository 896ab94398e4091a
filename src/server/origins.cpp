// Which web pages may use a server. A browser lets any page it shows open a WebSocket to any
// address, the loopback one included, and tells the server the page's origin in the upgrade
// request; the server answers pages from elsewhere with 403 before reading any call.
//
// Allowed: requests without an Origin (clients that are not browsers), pages served from a
// loopback host over http or https (any port), and the origins `serve` was given. An origin is
// parsed, never searched: http://127.0.0.1.evil.example is not a loopback page.
#include "server/server.hpp"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <string_view>

namespace server {

using zk::Handle;
using zk::Ref;

namespace {

struct Origin {
    std::string scheme, host;
    long port = -1;  // -1: none given, or the scheme's default

    // scheme://host[:port], lower case, without the scheme's default port: the form browsers send.
    std::string text() const {
        std::string out = scheme;
        out.append("://").append(host);
        if (port >= 0) out.append(":").append(std::to_string(port));
        return out;
    }
};

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

bool scheme_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'; }
bool host_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_'; }
bool ipv6_char(char c) { return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.'; }

long default_port(std::string_view scheme) {
    if (scheme == "http" || scheme == "ws") return 80;
    if (scheme == "https" || scheme == "wss") return 443;
    return -1;
}

// scheme://host[:port] and nothing else (no path, user, query or fragment), or nothing.
std::optional<Origin> parse(std::string_view text) {
    std::size_t sep = text.find("://");
    if (sep == std::string_view::npos || sep == 0) return std::nullopt;
    std::string_view scheme = text.substr(0, sep), rest = text.substr(sep + 3);
    if (!std::isalpha(static_cast<unsigned char>(scheme[0])) || !std::all_of(scheme.begin(), scheme.end(), scheme_char)) {
        return std::nullopt;
    }
    std::string_view host, port;
    if (!rest.empty() && rest[0] == '[') {
        std::size_t close = rest.find(']');
        if (close == std::string_view::npos || close < 2) return std::nullopt;
        host = rest.substr(0, close + 1);
        if (!std::all_of(host.begin() + 1, host.end() - 1, ipv6_char)) return std::nullopt;
        rest = rest.substr(close + 1);
    } else {
        std::size_t colon = rest.find(':');
        host = rest.substr(0, colon);
        if (host.empty() || !std::all_of(host.begin(), host.end(), host_char)) return std::nullopt;
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon);
    }
    Origin origin{lower(scheme), lower(host)};
    if (!rest.empty()) {
        port = rest.substr(1);
        if (rest[0] != ':' || port.empty() || port.size() > 5) return std::nullopt;
        if (!std::all_of(port.begin(), port.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
            return std::nullopt;
        }
        origin.port = std::stol(std::string(port));
        if (origin.port < 1 || origin.port > 65535) return std::nullopt;
        if (origin.port == default_port(origin.scheme)) origin.port = -1;
    }
    return origin;
}

std::optional<Origin> parse(Handle text) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) {
        PyErr_Clear();  // lone surrogates: no origin at all
        return std::nullopt;
    }
    return parse(std::string_view(utf8, static_cast<std::size_t>(size)));
}

bool loopback_page(const Origin& origin) {
    return (origin.scheme == "http" || origin.scheme == "https") &&
           (origin.host == "127.0.0.1" || origin.host == "localhost" || origin.host == "[::1]");
}

// The Origin members of an upgrade request's header dict: every one whose name, stripped and in
// lower case, is "origin" ("Origin :" and a folded " Origin:" line among them). The items are taken
// in one step, with references of their own, before any name's methods run.
Ref origins_of(const Names& n, Handle header) {
    Ref found = zk::new_list();
    Ref items = zk::check(PyDict_Items(header));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); i++) {
        Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));  // the list is ours alone
        Handle key = PyTuple_GET_ITEM(item.get(), 0), value = PyTuple_GET_ITEM(item.get(), 1);
        if (!PyUnicode_Check(key.get())) continue;
        Ref name = zk::call_method(zk::call_method(key, n.strip), n.lower);
        if (zk::equal(name, n.origin)) zk::append(found, value);
    }
    return found;
}

// The answer to a page that may not use the service: a whole HTTP response, so the browser reports
// a refused handshake (status 403) rather than a broken connection.
Ref forbidden_answer() {
    return http_answer("403 Forbidden", "text/plain; charset=utf-8", "Pages from this origin may not use this service.\n");
}

}  // namespace

Ref http_answer(std::string_view status, std::string_view content_type, std::string_view body) {
    std::string answer = "HTTP/1.1 ";
    answer.append(status).append("\r\nContent-Type: ").append(content_type);
    answer.append("\r\nContent-Length: ").append(std::to_string(body.size())).append("\r\nConnection: close\r\n\r\n");
    answer.append(body);
    return zk::check(PyBytes_FromStringAndSize(answer.data(), static_cast<Py_ssize_t>(answer.size())));
}

Ref allowed_origins(const State& st, Handle entries) {
    Ref allowed = zk::check(PyFrozenSet_New(nullptr));
    if (entries.get() == Py_None) return allowed;
    if (PyUnicode_Check(entries.get()) || PyBytes_Check(entries.get())) {
        zk::raise(PyExc_TypeError, "origins is a list of origins such as ['https://app.example'], not one text");
    }
    Ref set = zk::check(PySet_New(nullptr));
    for (Ref entry : zk::iterate(entries)) {
        if (!PyUnicode_CheckExact(entry.get())) {
            zk::raise(PyExc_TypeError, "an origin is a str, not %.200s", Py_TYPE(entry.get())->tp_name);
        }
        if (zk::equal(zk::call_method(entry, st.names.lower), st.names.null_)) {
            zk::raise(PyExc_ValueError, "the null origin cannot be allowed: every sandboxed frame and local file sends it");
        }
        std::optional<Origin> origin = parse(entry);
        if (!origin) {
            zk::raise(zk::call(PyExc_ValueError,
                               zk::text("{} is not an origin: an origin is scheme://host[:port], such as "
                                        "https://app.example:8443, with no path or trailing slash",
                                        zk::repr(entry))));
        }
        std::string canonical = origin->text();
        zk::check_status(PySet_Add(set.get(), zk::str(canonical).get()));
    }
    return zk::check(PyFrozenSet_New(set.get()));
}

namespace {

// Why an upgrade request may not go on, or nothing: two or more Origin headers (a browser sends one;
// a header that says two, as lines of one name combine, is as many), or one that is neither a
// loopback page nor in `allowed`.
Ref refusal(const State& st, Handle header, Handle allowed) {
    Ref found = origins_of(st.names, header);
    Py_ssize_t count = PyList_GET_SIZE(found.get());
    if (count == 1) {
        Ref value = Ref::borrow(PyList_GET_ITEM(found.get(), 0));
        Py_ssize_t comma = PyUnicode_Check(value.get()) ? PyUnicode_FindChar(value.get(), ',', 0, PyUnicode_GET_LENGTH(value.get()), 1) : -1;
        if (comma == -2) zk::throw_error();
        if (comma >= 0) count = 2;
    }
    if (count > 1) return zk::text("a request with more than one Origin ({}) may not use this service", zk::repr(found));
    for (Ref value : zk::iterate(found)) {
        std::optional<Origin> origin = PyUnicode_Check(value.get()) ? parse(value) : std::nullopt;
        if (origin && loopback_page(*origin)) continue;
        if (origin && allowed && allowed.get() != Py_None && zk::contains(allowed, zk::str(origin->text()))) continue;
        return zk::text("pages from {} may not use this service", zk::repr(value));
    }
    return Ref();
}

}  // namespace

bool admit_upgrade(Scope s, Handle server, const ring::Link& link, Handle address, Handle header) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref why = refusal(st, header, zk::getattr_optional(server, n._origins));
    if (!why) return true;
    warn(n, server, zk::text("Client {} refused: {}", address, why));
    link.mark_closed();
    try {
        if (Ref sock = link.socket()) zk::call_method(sock, n.sendall, forbidden_answer());
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_OSError)) throw;  // the page has gone already
    }
    return false;
}

}  // namespace server
