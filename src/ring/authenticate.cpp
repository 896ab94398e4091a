// The key handshake of a connection whose ends share a secret key, before any message is decoded:
// each side proves it knows the key by the HMAC-SHA256 of a random nonce the other side chose.
//
//     server -> client   "#ZELK-CHALLENGE#" + nonce_s                       48 bytes
//     client -> server   HMAC(key, "zelk-client" + nonce_s) + nonce_c       64 bytes
//     server -> client   HMAC(key, "zelk-server" + nonce_c)                 32 bytes
//
// The two digests are made over different prefixes, so neither side's answer can be reflected
// back as the other's. A side that gets a wrong answer closes the connection.
#include "ring/channel.hpp"
#include "ring/ring_api.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

constexpr Py_ssize_t mark_size = sizeof(challenge_mark) - 1;
constexpr Py_ssize_t nonce_size = 32;
constexpr Py_ssize_t digest_size = 32;

[[noreturn]] void refuse(const State& st, const char* why) { zk::raise(zk::call(st.authentication_error, zk::str(why))); }

// Runs the handshake's reads and writes within one deadline: before each, the socket's time-out is
// what is left of it; the socket's own time-out comes back afterwards.
class Handshake {
public:
    Handshake(const State& st, Handle sock, double seconds) : st_(st), sock_(sock), deadline_(Deadline::after(seconds)) {}

    // Exactly `size` bytes from the socket; the peer closing first is a failed handshake, which
    // `closed` says what it means.
    Ref receive_exactly(Py_ssize_t size, const char* closed = "the peer closed the connection during the key handshake") {
        std::string received;
        while (static_cast<Py_ssize_t>(received.size()) < size) {
            keep_to_deadline();
            Ref chunk = zk::call_method(sock_, st_.names.recv, zk::integer(size - static_cast<Py_ssize_t>(received.size())));
            zk::BufferView view(chunk);
            if (view.size() == 0) refuse(st_, closed);
            received.append(view.data(), static_cast<std::size_t>(std::min(view.size(), size)));
        }
        return zk::check(PyBytes_FromStringAndSize(received.data(), size));
    }

    void send(Handle data) {
        keep_to_deadline();
        zk::call_method(sock_, st_.names.sendall, data);
    }

private:
    void keep_to_deadline() {
        double left = deadline_.seconds_left();
        if (left <= 0) zk::raise(PyExc_TimeoutError, "timed out");
        zk::call_method(sock_, st_.names.settimeout, zk::floating(left));
    }

    const State& st_;
    Handle sock_;
    Deadline deadline_;
};

Ref digest(const State& st, Handle key, const char* prefix, Handle nonce) {
    Ref message = zk::add(zk::check(PyBytes_FromString(prefix)), nonce);
    return zk::call_method(zk::call(st.hmac_new, key, message, st.names.sha256), st.names.digest);
}

bool same(const State& st, Handle a, Handle b) { return zk::truthy(zk::call(st.compare_digest, a, b)); }

// Runs `body` with a Handshake bounded by `seconds`; the socket's own time-out comes back after.
template <class Body>
void within(const State& st, Handle sock, Handle seconds, Body&& body) {
    double limit = PyFloat_AsDouble(seconds);
    if (limit == -1.0 && PyErr_Occurred()) zk::throw_error();
    Ref before = zk::getattr(sock, st.names.timeout);
    Handshake handshake(st, sock, limit);
    zk::finally([&] { body(handshake); }, [&] { zk::call_method(sock, st.names.settimeout, before); });
}

Ref deliver_challenge(Scope s, Handle connection, Handle key, Handle timeout) {
    const State& st = s.state();
    Ref sock = zk::getattr(connection, st.names._socket);
    within(st, sock, timeout, [&](Handshake& handshake) {
        Ref nonce = zk::call(st.urandom, zk::integer(nonce_size));
        handshake.send(zk::add(zk::check(PyBytes_FromString(challenge_mark)), nonce));
        Ref answer = handshake.receive_exactly(digest_size + nonce_size);
        if (!same(st, zk::slice(answer, 0, digest_size), digest(st, key, "zelk-client", nonce))) {
            refuse(st, "the peer does not know the key");
        }
        handshake.send(digest(st, key, "zelk-server", zk::slice(answer, digest_size, digest_size + nonce_size)));
    });
    return zk::none();
}

// What a server sent in place of its challenge: its refusal of the connection (ConnectionRefusedError
// with its reason), or something else, which fails the handshake. `head` is its first 8 bytes.
[[noreturn]] void no_challenge(const State& st, Handshake& handshake, Handle head) {
    constexpr std::uint64_t longest_refusal = 4096;
    std::uint64_t length;
    std::memcpy(&length, PyBytes_AS_STRING(head.get()), header_size);
    if (length > 0 && length <= longest_refusal) {
        Ref packet = handshake.receive_exactly(static_cast<Py_ssize_t>(length), "the server sent no key challenge");
        Ref answer;
        try {
            answer = zk::call(st.packer_unpack, zk::check(PyByteArray_FromObject(packet.get())));
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
        if (Ref reason = answer ? refusal_reason(st, answer) : Ref()) zk::raise(zk::call(PyExc_ConnectionRefusedError, reason));
    }
    refuse(st, "the server sent no key challenge: it uses no key, or another protocol");
}

Ref answer_challenge(Scope s, Handle connection, Handle key, Handle timeout) {
    const State& st = s.state();
    Ref sock = zk::getattr(connection, st.names._socket);
    within(st, sock, timeout, [&](Handshake& handshake) {
        Ref head = handshake.receive_exactly(header_size);
        if (std::memcmp(PyBytes_AS_STRING(head.get()), challenge_mark, header_size) != 0) no_challenge(st, handshake, head);
        Ref challenge = zk::add(head, handshake.receive_exactly(mark_size + nonce_size - header_size));
        if (std::memcmp(PyBytes_AS_STRING(challenge.get()), challenge_mark, mark_size) != 0) {
            refuse(st, "the server sent no key challenge: it uses no key, or another protocol");
        }
        Ref nonce = zk::call(st.urandom, zk::integer(nonce_size));
        Ref answer = digest(st, key, "zelk-client", zk::slice(challenge, mark_size, mark_size + nonce_size));
        handshake.send(zk::add(answer, nonce));
        // A server closes at once on an answer that proves the wrong key.
        Ref proof = handshake.receive_exactly(digest_size, "the server refused the key");
        if (!same(st, proof, digest(st, key, "zelk-server", nonce))) {
            refuse(st, "the server does not know the key");
        }
    });
    return zk::none();
}

const char* const deliver_doc =
    "Server side of the key handshake on a new connection: raises AuthenticationError, before any\n"
    "    message is read, unless the peer proves that it knows `authkey` (and proves this side knows it).\n"
    "    The whole handshake must be over within `timeout` seconds (TimeoutError).\n"
    "    ";
const char* const answer_doc =
    "Client side of the key handshake on a new connection: raises AuthenticationError unless the\n"
    "    server proves that it knows `authkey`. The whole handshake must be over within `timeout` seconds.\n"
    "    ";

}  // namespace

void define_authentication(zk::Module& m, State& st) {
    using zk::arg;
    Ref error = zk::call(reinterpret_cast<PyObject*>(&PyType_Type), zk::str("AuthenticationError"),
                         zk::tuple_of({PyExc_ConnectionError}), zk::new_dict());
    zk::setattr(error, st.core.__module__, zk::getattr(m.object(), st.core.__name__));
    zk::setattr(error, st.core.__doc__, zk::str("A connection's peer failed the key handshake."));
    m.set("AuthenticationError", error);
    st.authentication_error = std::move(error);
    Ref hmac = zk::import("hmac");
    st.hmac_new = zk::getattr(hmac, st.names.new_);
    st.compare_digest = zk::getattr(hmac, st.names.compare_digest);
    st.urandom = zk::getattr(zk::import("os"), st.names.urandom);
    m.def(zk::declare<deliver_challenge>("deliver_challenge",
                                         {arg("connection").annotate("Connection"), arg("authkey", zk::Check::Bytes),
                                          zk::kwonly("timeout", zk::Check::Float) = handshake_seconds})
              .doc(deliver_doc));
    m.def(zk::declare<answer_challenge>("answer_challenge",
                                        {arg("connection").annotate("Connection"), arg("authkey", zk::Check::Bytes),
                                         zk::kwonly("timeout", zk::Check::Float) = handshake_seconds})
              .doc(answer_doc));
}

}  // namespace ring
