// The stream frame: an 8-byte length in host byte order in front of each packet.
#include "ring/ring.hpp"

#include <cstdint>
#include <cstring>

namespace ring {

namespace {

// Holds a buffer view for a scope.
class BufferView {
public:
    explicit BufferView(zk::Handle o) { zk::check_status(PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE)); }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    const char* data() const { return static_cast<const char*>(view_.buf); }
    Py_ssize_t size() const { return view_.len; }

private:
    Py_buffer view_;
};

void write_length(char* out, Py_ssize_t size) {
    std::uint64_t n = static_cast<std::uint64_t>(size);
    std::memcpy(out, &n, header_size);
}

}  // namespace

zk::Ref length_field(zk::Handle packet) {
    zk::Ref field = zk::check(PyBytes_FromStringAndSize(nullptr, header_size));
    write_length(PyBytes_AS_STRING(field.get()), BufferView(packet).size());
    return field;
}

zk::Ref framed(zk::Handle packet) {
    BufferView view(packet);
    zk::Ref message = zk::check(PyBytes_FromStringAndSize(nullptr, header_size + view.size()));
    char* out = PyBytes_AS_STRING(message.get());
    write_length(out, view.size());
    std::memcpy(out + header_size, view.data(), view.size());
    return message;
}

}  // namespace ring
