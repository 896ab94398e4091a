// The parts of zelk.ring, one file each; module.cpp binds them in the module's order.
#pragma once

#include "core/zk.hpp"

namespace ring {

// The 8-byte length field in front of every packet: an unsigned 64-bit count in host byte order.
constexpr Py_ssize_t header_size = 8;

// The length field of `packet` alone, and the whole message (length field and packet) as one bytes.
zk::Ref length_field(zk::Handle packet);
zk::Ref framed(zk::Handle packet);

// Packets from this size on are written after their length field rather than copied behind it.
constexpr Py_ssize_t large_packet = 1 << 16;

// class ByteStream: the stream frame around each packet.
zk::Ref define_byte_stream(zk::Module& m);

// class Connection(ByteStream): whole messages over one socket.
void define_connection(zk::Module& m, zk::Handle byte_stream);

// Connection.recv, the reader of one framed message.
zk::Def recv_def();

// get_port(name): a service's default port.
zk::Def get_port_def();

}  // namespace ring
