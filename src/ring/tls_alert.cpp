// A TLS server answers the first bytes of a peer that does not speak TLS with an alert record
// (15 03 0x 00 02, then the level and the reason), and closes. Read where a length field was
// expected, it is told for what it is, rather than as a message of terabytes or a broken stream.
#include "ring/ring.hpp"

namespace ring {

using zk::Handle;
using zk::Ref;

bool begins_tls_alert(const char* data, Py_ssize_t size) noexcept {
    auto byte = [&](Py_ssize_t i) { return static_cast<unsigned char>(data[i]); };
    return size >= 5 && byte(0) == 0x15 && byte(1) == 0x03 && byte(2) <= 0x04 && byte(3) == 0x00 && byte(4) == 0x02;
}

Ref tls_alert_error() {
    return zk::call(PyExc_ConnectionError, zk::str("the peer speaks TLS: it answered with a TLS alert (connect with an ssl_context)"));
}

namespace {

Ref tls_alert(Scope, Handle head) {
    zk::BufferView view(head);
    return begins_tls_alert(view.data(), view.size()) ? tls_alert_error() : zk::none();
}

}  // namespace

void define_tls_alert(zk::Module& m) {
    m.def(zk::declare<tls_alert>("_tls_alert", {zk::arg("head").annotate("bytes")})
              .returns("ConnectionError | None")
              .doc("The error to report when `head`, read where a length field was expected, is a TLS alert; else None."));
}

}  // namespace ring
