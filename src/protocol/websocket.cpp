// WebSocket: the server's side of RFC 6455 — the upgrade request read into a dict, the handshake
// answer, and messages as single unmasked text frames of JSON out and masked client frames in.
#include "protocol/protocol.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace protocol {

using zk::Handle;
using zk::Ref;

namespace {

const char* const response_template =
    "HTTP/1.1 101 Switching Protocols\r\n"
    "Upgrade:websocket\r\n"
    "Connection: Upgrade\r\n"
    "Sec-WebSocket-Accept: %s\r\n"
    "WebSocket-Location: ws://%s%s\r\n"
    "\r\n";

const char* const header_doc =
    "Extract header from info received from client\n"
    "\n"
    "        GET / HTTP/1.1\n"
    "        Host: 127.0.0.1:681\n"
    "        Connection: Upgrade\n"
    "        Pragma: no-cache\n"
    "        Cache-Control: no-cache\n"
    "        Upgrade: websocket\n"
    "        Origin: http://127.0.0.1:8080\n"
    "        Sec-WebSocket-Version: 13\n"
    "        User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko)\n"
    "        Accept-Encoding: gzip, deflate, br\n"
    "        Accept-Language: en-US,en;q=0.9\n"
    "        Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\n"
    "        Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\n"
    "\n"
    "        ";

const char* const encrypt_doc =
    "encrypt sec-websocket-key to shake hands with client\n"
    "\n"
    "        The accept key is the Base64 of the SHA-1 digest of the client's key followed by MAGIC.\n"
    "        ";

const char* const encode_doc =
    "encode payload\n"
    "\n"
    "        One final text frame, unmasked, with the 7-, 16- or 64-bit length of the UTF-8 bytes.\n"
    "        ";

const char* const decode_doc =
    "decode data from payload\n"
    "\n"
    "        The data after the mask, unmasked and read as UTF-8.\n"
    "        ";

Ref header(Scope s, Handle, Handle info) {
    const Names& n = s.names();
    Ref text = zk::check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(info.get()), PyBytes_GET_SIZE(info.get()), nullptr));
    Ref parts = zk::check(PyUnicode_Split(text.get(), n.blank_line.get(), 1));
    if (PyList_GET_SIZE(parts.get()) != 2) zk::raise_unpack_count(2, PyList_GET_SIZE(parts.get()));
    Ref lines = zk::check(PyUnicode_Split(PyList_GET_ITEM(parts.get(), 0), n.crlf.get(), -1));
    Ref result = zk::new_dict();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); i++) {
        PyObject* line = PyList_GET_ITEM(lines.get(), i);
        if (i == 0) {
            Ref fields = zk::check(PyUnicode_Split(line, n.space.get(), -1));
            if (PyList_GET_SIZE(fields.get()) == 3) {
                zk::setitem(result, n.method, PyList_GET_ITEM(fields.get(), 0));
                zk::setitem(result, n.url, PyList_GET_ITEM(fields.get(), 1));
                zk::setitem(result, n.protocol, PyList_GET_ITEM(fields.get(), 2));
            }
            continue;
        }
        Ref field = zk::check(PyUnicode_Split(line, n.colon.get(), 1));
        if (PyList_GET_SIZE(field.get()) != 2) zk::raise_unpack_count(2, PyList_GET_SIZE(field.get()));
        Handle name = PyList_GET_ITEM(field.get(), 0);
        Ref value = zk::call_method(PyList_GET_ITEM(field.get(), 1), n.strip);
        // Lines of one name make one field, their values joined by ", " as HTTP reads them: a
        // repeated line is kept, not overwritten by the last.
        if (Ref earlier = zk::dict_get(result, name)) value = zk::text("{}, {}", earlier, value);
        zk::setitem(result, name, value);
    }
    return result;
}

Ref encrypt(Scope s, Handle cls, Handle header) {
    const Names& n = s.names();
    Ref value = zk::add(zk::getitem(header, n.sec_websocket_key), zk::getattr(cls, n.MAGIC));
    Ref digest = zk::call_method(zk::call(zk::getattr(s.global(n.hashlib), n.sha1), zk::call_method(value, n.encode, n.utf_8)), n.digest);
    Ref accept = zk::call(zk::getattr(s.global(n.base64), n.b64encode), digest);
    Ref fields = zk::tuple_of({zk::call_method(accept, n.decode, n.utf_8), zk::getitem(header, n.host), zk::getitem(header, n.url)});
    Ref filled = zk::check(PyUnicode_Format(zk::getattr(cls, n.RESPONSE).get(), fields.get()));
    return zk::call_method(filled, n.encode, n.utf_8);
}

Ref pack(Scope s, Handle cls, Handle payload) {
    const Names& n = s.names();
    // A header dict, as `header` made it, is answered with the handshake.
    if (PyDict_Check(payload.get()) && zk::contains(payload, n.protocol)) return zk::call_method(cls, n.encrypt, payload);
    Ref message = zk::new_dict();
    zk::setitem(message, n.payload, payload);
    return zk::call_method(cls, n.encode, zk::call(s.global(n.dumps), message));
}

// Only data that begins with the request line of an HTTP/1.1 GET is an upgrade request: a masked
// frame may hold any bytes, "GET" among them.
bool is_upgrade_request(Handle payload) {
    zk::BufferView view(payload);
    std::string_view data(view.data(), static_cast<std::size_t>(view.size()));
    if (!data.starts_with("GET ")) return false;
    std::size_t line_end = data.find("\r\n");
    return line_end != std::string_view::npos && data.substr(0, line_end).ends_with(" HTTP/1.1");
}

Ref unpack(Scope s, Handle cls, Handle payload) {
    const Names& n = s.names();
    if (is_upgrade_request(payload)) return zk::call_method(cls, n.header, payload);
    Ref result = zk::call_method(cls, n.decode, payload);
    if (zk::contains(result, n.payload)) return zk::getitem(zk::call(s.global(n.loads), result), n.payload);
    return result;
}

Ref encode(Scope s, Handle cls, Handle payload) {
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(payload, &size);
    if (!text) zk::throw_error();
    unsigned char token[9];
    std::size_t token_size;
    std::uint64_t length = static_cast<std::uint64_t>(size);
    if (length <= 125) {
        token[0] = static_cast<unsigned char>(length);
        token_size = 1;
    } else {
        bool short_form = length <= 65535;
        token[0] = short_form ? 126 : 127;
        token_size = short_form ? 3 : 9;
        for (std::size_t i = 1; i < token_size; i++) token[i] = static_cast<unsigned char>(length >> (8 * (token_size - 1 - i)));
    }
    // MARK is read from the class, like every other attribute a subclass may change.
    Ref mark_object = zk::getattr(cls, s.names().MARK);
    zk::BufferView mark(mark_object);
    Py_ssize_t head = mark.size() + static_cast<Py_ssize_t>(token_size);
    if (size > PY_SSIZE_T_MAX - head) zk::raise(PyExc_OverflowError, "the frame would be too large");
    Ref frame = zk::check(PyBytes_FromStringAndSize(nullptr, head + size));
    char* out = PyBytes_AS_STRING(frame.get());
    std::memcpy(out, mark.data(), mark.size());
    std::memcpy(out + mark.size(), token, token_size);
    std::memcpy(out + head, text, size);
    return frame;
}

Ref decode(Scope, Handle, Handle payload) {
    zk::BufferView view(payload);
    if (view.size() < 2) zk::raise(PyExc_IndexError, "index out of range");
    const auto* in = reinterpret_cast<const unsigned char*>(view.data());
    unsigned length_code = in[1] & 127;
    Py_ssize_t mask_at = length_code == 126 ? 4 : length_code == 127 ? 10 : 2;
    Py_ssize_t data_at = mask_at + 4;
    Py_ssize_t size = view.size() > data_at ? view.size() - data_at : 0;
    std::vector<char> data(static_cast<std::size_t>(size));
    // Data exists only past the mask, so all four mask bytes are there whenever one is used.
    for (Py_ssize_t i = 0; i < size; i++) data[i] = static_cast<char>(in[data_at + i] ^ in[mask_at + (i & 3)]);
    return zk::check(PyUnicode_DecodeUTF8(data.data(), size, nullptr));
}

}  // namespace

void define_websocket(zk::Module& m, State&) {
    using zk::arg;
    Ref cls = m.add_class(
        "WebSocket", {}, nullptr,
        {
            zk::attribute("RESPONSE", zk::str(response_template)),
            zk::attribute("MAGIC", zk::str("258EAFA5-E914-47DA-95CA-C5AB0DC85B11")),
            zk::attribute("MARK", zk::check(PyBytes_FromStringAndSize("\x81", 1))),
            zk::classmethod(zk::declare<header>("header", {arg("cls"), arg("info", zk::Check::Bytes)}).doc(header_doc)),
            zk::classmethod(zk::declare<encrypt>("encrypt", {arg("cls"), arg("header", zk::Check::Dict)}).returns("bytes").doc(encrypt_doc)),
            zk::classmethod(zk::declare<pack>("pack", {arg("cls"), arg("payload").annotate("Any")})),
            zk::classmethod(zk::declare<unpack>("unpack", {arg("cls"), arg("payload").annotate("bytes | bytearray")})),
            zk::classmethod(zk::declare<encode>("encode", {arg("cls"), arg("payload", zk::Check::Str)}).doc(encode_doc)),
            zk::classmethod(zk::declare<decode>("decode", {arg("cls"), arg("payload").annotate("bytes | bytearray")}).doc(decode_doc)),
        });
    m.set("websocket", cls);
}

}  // namespace protocol
