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

// The client's side as steps, without reading or writing: each step wants so many bytes, and gives
// what to send back, if anything. The blocking client runs them on its socket, zelk.aio on its
// transport, so that both read a challenge, or a refusal in its place, alike.
class KeyAnswer {
public:
    enum class Step { head, refusal, challenge, proof, done };

    KeyAnswer(Handle key, Step step = Step::head, Ref head = {}, Ref nonce = {}, Py_ssize_t wanted = header_size)
        : key_(Ref::borrow(key)), step_(step), head_(std::move(head)), nonce_(std::move(nonce)), wanted_(wanted) {}

    // How many bytes the next step takes; 0 once the server has proved it knows the key.
    Py_ssize_t wanted() const noexcept { return wanted_; }

    // What the peer's closing the connection before the bytes of this step came means.
    const char* closed_text() const noexcept {
        switch (step_) {
            case Step::refusal: return "the server sent no key challenge";
            case Step::proof: return "the server refused the key";
            default: return "the peer closed the connection during the key handshake";
        }
    }

    // Takes the `wanted()` bytes of this step: the bytes to send, or nothing. A server that sends no
    // challenge (its refusal of the connection in its place, or anything else) or cannot prove it
    // knows the key fails the handshake with ConnectionRefusedError or AuthenticationError.
    Ref take(const State& st, Handle data) {
        const char* bytes = PyBytes_AS_STRING(data.get());
        switch (step_) {
            case Step::head: {
                if (std::memcmp(bytes, challenge_mark, header_size) == 0) {
                    return next(Step::challenge, mark_size + nonce_size - header_size, Ref::borrow(data));
                }
                // A server that refuses the connection says why in a short message, in place of its challenge.
                constexpr std::uint64_t longest_refusal = 4096;
                std::uint64_t length = length_field(bytes);
                if (length > 0 && length <= longest_refusal) return next(Step::refusal, static_cast<Py_ssize_t>(length));
                no_challenge(st);
            }
            case Step::refusal: {
                Ref answer;
                try {
                    answer = zk::call(st.packer_unpack, zk::check(PyByteArray_FromObject(data.get())));
                } catch (zk::PyError& e) {
                    if (!e.matches(PyExc_Exception)) throw;
                }
                if (Ref reason = answer ? refusal_reason(st, answer) : Ref()) zk::raise(zk::call(PyExc_ConnectionRefusedError, reason));
                no_challenge(st);
            }
            case Step::challenge: {
                Ref challenge = zk::add(head_, data);
                if (std::memcmp(PyBytes_AS_STRING(challenge.get()), challenge_mark, mark_size) != 0) no_challenge(st);
                nonce_ = zk::call(st.urandom, zk::integer(nonce_size));
                Ref answer = digest(st, key_, "zelk-client", zk::slice(challenge, mark_size, mark_size + nonce_size));
                Ref reply = zk::add(answer, nonce_);
                next(Step::proof, digest_size);
                return reply;
            }
            case Step::proof:
                if (!same(st, data, digest(st, key_, "zelk-server", nonce_))) refuse(st, "the server does not know the key");
                return next(Step::done, 0);
            case Step::done:
                break;
        }
        zk::raise(PyExc_ValueError, "the key handshake is over");
    }

    Step step() const noexcept { return step_; }
    const Ref& head() const noexcept { return head_; }
    const Ref& nonce() const noexcept { return nonce_; }

private:
    Ref next(Step step, Py_ssize_t wanted, Ref head = {}) {
        step_ = step;
        wanted_ = wanted;
        if (head) head_ = std::move(head);
        return Ref();
    }

    [[noreturn]] static void no_challenge(const State& st) {
        refuse(st, "the server sent no key challenge: it uses no key, or another protocol");
    }

    Ref key_;
    Step step_;
    Ref head_, nonce_;
    Py_ssize_t wanted_;
};

Ref answer_challenge(Scope s, Handle connection, Handle key, Handle timeout) {
    const State& st = s.state();
    Ref sock = zk::getattr(connection, st.names._socket);
    within(st, sock, timeout, [&](Handshake& handshake) {
        KeyAnswer answer(key);
        while (answer.wanted()) {
            Ref data = handshake.receive_exactly(answer.wanted(), answer.closed_text());
            if (Ref reply = answer.take(st, data)) handshake.send(reply);
        }
    });
    return zk::none();
}

// ---- _KeyAnswer, the steps for zelk.aio, which keeps them in its attributes --------------------

KeyAnswer steps_of(const Names& n, Handle self) {
    Ref step = zk::getattr(self, n._step);
    auto head = zk::getattr(self, n._head), nonce = zk::getattr(self, n._nonce);
    return KeyAnswer(zk::getattr(self, n._key), static_cast<KeyAnswer::Step>(zk::to_ssize(step)),
                     head.get() == Py_None ? Ref() : std::move(head), nonce.get() == Py_None ? Ref() : std::move(nonce),
                     zk::to_ssize(zk::getattr(self, n.wanted)));
}

void keep_steps(const Names& n, Handle self, const KeyAnswer& answer) {
    zk::setattr(self, n._step, zk::integer(static_cast<long long>(answer.step())));
    zk::setattr(self, n._head, answer.head() ? answer.head().get() : Py_None);
    zk::setattr(self, n._nonce, answer.nonce() ? answer.nonce().get() : Py_None);
    zk::setattr(self, n.wanted, zk::integer(answer.wanted()));
}

Ref key_answer_init(Scope s, Handle self, Handle key) {
    const Names& n = s.names();
    zk::setattr(self, n._key, key);
    keep_steps(n, self, KeyAnswer(key));
    return zk::none();
}

Ref key_answer_take(Scope s, Handle self, Handle data) {
    const Names& n = s.names();
    KeyAnswer answer = steps_of(n, self);
    if (zk::length(data) != answer.wanted()) {
        zk::raise(PyExc_ValueError, "this step of the key handshake takes %zd bytes", answer.wanted());
    }
    Ref reply = answer.take(s.state(), zk::check(PyBytes_FromObject(data)));
    keep_steps(n, self, answer);
    return reply ? std::move(reply) : zk::none();
}

Ref key_answer_closed(Scope s, Handle self) {
    return zk::call(s.state().authentication_error, zk::str(steps_of(s.names(), self).closed_text()));
}

const char* const deliver_doc =
    "Server side of the key handshake on a new connection: raises AuthenticationError, before any\n"
    "    message is read, unless the peer proves that it knows `authkey` (and proves this side knows it).\n"
    "    The whole handshake must be over within `timeout` seconds (TimeoutError).\n"
    "    ";
const char* const key_answer_doc =
    "The client's side of the key handshake, for a caller that reads and writes itself: `wanted` bytes\n"
    "    go to `take`, which answers with the bytes to send, or None, until `wanted` is 0. `closed()` is the\n"
    "    error the peer's closing the connection meanwhile means.\n"
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
    m.add_class("_KeyAnswer", {}, key_answer_doc,
                {
                    zk::method(zk::declare<key_answer_init>("__init__", {arg("self"), arg("authkey", zk::Check::Bytes)})),
                    zk::method(zk::declare<key_answer_take>("take", {arg("self"), arg("data").annotate("bytes")})
                                   .returns("bytes | None")),
                    zk::method(zk::declare<key_answer_closed>("closed", {arg("self")}).returns("AuthenticationError")),
                });
}

}  // namespace ring
