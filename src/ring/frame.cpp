// The stream frame: an 8-byte length in host byte order in front of each packet.
#include "ring/ring.hpp"

#include <cstdint>
#include <cstring>

namespace ring {

namespace {

void write_length(char* out, Py_ssize_t size) {
    std::uint64_t n = static_cast<std::uint64_t>(size);
    std::memcpy(out, &n, header_size);
}

}  // namespace

zk::Ref length_field(zk::Handle packet) {
    zk::Ref field = zk::check(PyBytes_FromStringAndSize(nullptr, header_size));
    write_length(PyBytes_AS_STRING(field.get()), zk::BufferView(packet).size());
    return field;
}

zk::Ref framed(zk::Handle packet) {
    zk::BufferView view(packet);
    zk::Ref message = zk::check(PyBytes_FromStringAndSize(nullptr, header_size + view.size()));
    char* out = PyBytes_AS_STRING(message.get());
    write_length(out, view.size());
    std::memcpy(out + header_size, view.data(), view.size());
    return message;
}

}  // namespace ring
