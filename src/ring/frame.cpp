// The stream frame, an 8-byte length in host byte order in front of each packet, and the writing of
// a framed message: on a plain socket's descriptor in one gathering write of its pieces; through any
// other socket's methods as one bytes object, or for large messages in pieces with its sendmsg.
#include "ring/channel.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

// Everything in `pieces` through the socket's sendmsg, with as many calls as it needs; each call gets
// memoryviews that are released as soon as it returns.
void send_pieces(const Names& n, Handle sock, const std::vector<protocol::EncodedPiece>& pieces) {
    constexpr std::size_t most_per_call = 512;  // well below IOV_MAX
    std::size_t first = 0;
    Py_ssize_t skip = 0;
    while (first < pieces.size()) {
        Ref buffers = zk::new_list();
        for (std::size_t i = first; i < pieces.size() && i - first < most_per_call; i++) {
            Py_ssize_t from = i == first ? skip : 0;
            char* data = const_cast<char*>(pieces[i].data) + from;
            zk::append(buffers, zk::check(PyMemoryView_FromMemory(data, pieces[i].size - from, PyBUF_READ)));
        }
        Ref count = zk::finally([&] { return zk::call_method(sock, n.sendmsg, buffers); },
                                [&] {
                                    for (Ref view : zk::iterate(buffers)) zk::call_method(view, n.release);
                                });
        Py_ssize_t sent = zk::to_ssize(count) + skip;
        while (first < pieces.size() && sent >= pieces[first].size) sent -= pieces[first++].size;
        skip = sent;
    }
}

// The length field and the pieces of `packet`, the empty ones left out.
std::vector<protocol::EncodedPiece> pieces_of(const char* header, const Packet& packet) {
    std::vector<protocol::EncodedPiece> pieces{{header, header_size}};
    for (std::size_t i = 0; i < packet.piece_count(); i++) {
        if (packet.piece(i).size) pieces.push_back(packet.piece(i));
    }
    return pieces;
}

PlainSocket plain(const State& st, Channel& ch, Handle sock, int fd) {
    Ref timeout = zk::getattr(sock, st.names.timeout);
    return {st, ch, fd, timeout.get() == Py_None, ch.deadline(timeout)};
}

}  // namespace

Ref framed(Handle packet) {
    zk::BufferView view(packet);
    Ref message = zk::check(PyBytes_FromStringAndSize(nullptr, header_size + view.size()));
    char* out = PyBytes_AS_STRING(message.get());
    write_length(out, view.size());
    std::memcpy(out + header_size, view.data(), view.size());
    return message;
}

Packet::Packet(const State& st, Handle value) : api_(st.codec) {
    message_ = api_->encode(api_, value);
    if (message_) return;
    if (PyErr_Occurred()) zk::throw_error();
    bytes_ = zk::call(st.packer_pack, value);
    if (!PyBytes_Check(bytes_.get())) {
        zk::raise(PyExc_TypeError, "BytePacker.pack returned %.200s, not bytes", Py_TYPE(bytes_.get())->tp_name);
    }
}

Packet::~Packet() {
    if (message_) api_->release(message_);
}

Py_ssize_t Packet::size() const { return message_ ? api_->size(message_) : PyBytes_GET_SIZE(bytes_.get()); }

std::size_t Packet::piece_count() const { return message_ ? api_->piece_count(message_) : 1; }

protocol::EncodedPiece Packet::piece(std::size_t i) const {
    if (message_) return api_->piece(message_, i);
    return {PyBytes_AS_STRING(bytes_.get()), PyBytes_GET_SIZE(bytes_.get())};
}

void write_framed_plain(const State& st, Channel& ch, Handle sock, int fd, const Packet& packet) {
    char header[header_size];
    write_length(header, packet.size());
    // Most messages are a few pieces: their list stays on the stack.
    constexpr std::size_t on_stack = 16;
    std::size_t most = 1 + packet.piece_count();
    iovec few[on_stack];
    std::vector<iovec> many(most > on_stack ? most : 0);
    iovec* iov = most > on_stack ? many.data() : few;
    std::size_t used = 0;
    iov[used++] = {header, header_size};
    for (std::size_t i = 0; i < packet.piece_count(); i++) {
        protocol::EncodedPiece p = packet.piece(i);
        if (p.size) iov[used++] = {const_cast<char*>(p.data), static_cast<std::size_t>(p.size)};
    }
    write_plain(plain(st, ch, sock, fd), iov, used);
}

void write_framed(const State& st, Channel& ch, Handle sock, const Packet& packet) {
    const Names& n = st.names;
    if (int fd = plain_descriptor(st, sock); fd >= 0) return write_framed_plain(st, ch, sock, fd, packet);
    Py_ssize_t size = packet.size();
    char header[header_size];
    write_length(header, size);
    Ref sendmsg = size >= large_packet ? zk::getattr_optional(sock, n.sendmsg) : Ref();
    if (sendmsg) return send_pieces(n, sock, pieces_of(header, packet));
    Ref message = zk::check(PyBytes_FromStringAndSize(nullptr, header_size + size));
    char* out = PyBytes_AS_STRING(message.get());
    std::memcpy(out, header, header_size);
    out += header_size;
    for (std::size_t i = 0; i < packet.piece_count(); i++) {
        protocol::EncodedPiece p = packet.piece(i);
        if (p.size) std::memcpy(out, p.data, static_cast<std::size_t>(p.size));
        out += p.size;
    }
    zk::call_method(sock, n.sendall, message);
}

void write_bytes(const State& st, Channel& ch, Handle sock, Handle data) {
    if (int fd = plain_descriptor(st, sock); fd >= 0) {
        zk::BufferView view(data);
        iovec piece{const_cast<char*>(view.data()), static_cast<std::size_t>(view.size())};
        write_plain(plain(st, ch, sock, fd), &piece, 1);
        return;
    }
    if (!ch.tls) return (void)zk::call_method(sock, st.names.sendall, data);
    keeping_to(st.names, sock, ch.deadline(zk::getattr(sock, st.names.timeout)), [&](auto&& before_send) {
        before_send();
        zk::call_method(sock, st.names.sendall, data);
    });
}

}  // namespace ring
