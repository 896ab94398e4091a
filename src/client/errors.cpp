// What a client with errors="raise" raises instead of returning a failure's text: each carries that
// text as its message and as `text`.
#include "client/client.hpp"

namespace client {

using zk::Handle;
using zk::Ref;

namespace {

Ref init_text(Scope s, Handle self, Handle text) {
    zk::call_method(s.super(self), s.names().__init__, text);
    zk::setattr(self, s.names().text, text);
    return zk::none();
}

Ref init_remote(Scope s, Handle self, Handle text, Handle remote_type) {
    zk::call_method(s.super(self), s.names().__init__, text);
    zk::setattr(self, s.names().text, text);
    zk::setattr(self, s.names().remote_type, remote_type);
    return zk::none();
}

zk::Member text_init() {
    using zk::arg;
    return zk::method(zk::declare<init_text>("__init__", {arg("self"), arg("text", zk::Check::Str)}));
}

Ref remote_type(Scope, Handle text) { return remote_type_of(text); }

const char* const remote_doc =
    "A remote call failed on the server: the served function raised, or the call named nothing it serves.\n"
    "\n"
    "    `text` is what the call returns by default (the server's report, its traceback included);\n"
    "    `remote_type` is the name of the exception the server caught, when the text tells it.\n"
    "    ";

}  // namespace

Ref remote_type_of(Handle text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    Py_ssize_t at = PyUnicode_FindChar(text, '@', 0, length, 1);
    if (at <= 0) return zk::none();
    Ref name = zk::check(PyUnicode_Substring(text, 0, at));
    return PyUnicode_IsIdentifier(name.get()) ? std::move(name) : zk::none();
}

void define_errors(zk::Module& m, State& st) {
    using zk::arg;
    Ref remote = m.add_class(
        "RemoteError", {PyExc_Exception}, remote_doc,
        {zk::method(zk::declare<init_remote>("__init__", {arg("self"), arg("text", zk::Check::Str),
                                                           arg("remote_type", zk::Check::Str).optional() = zk::none()}))});
    st.remote_error = remote.copy();
    st.invalid_answer = m.add_class("InvalidAnswer", {remote}, "An answer that is not the answer to the call.", {});
    st.call_timeout = m.add_class("CallTimeout", {PyExc_TimeoutError}, "No answer came within the time-out.", {text_init()});
    st.connection_lost = m.add_class("ConnectionLost", {PyExc_ConnectionError},
                                     "The connection ended, or failed, while the call waited for its answer.", {text_init()});
    st.unreachable = m.add_class("Unreachable", {PyExc_ConnectionError},
                                 "The service could not be reached, or refused the key.", {text_init()});
    // For zelk.aio, which raises RemoteError from the same texts.
    m.def(zk::declare<remote_type>("_remote_type", {arg("text", zk::Check::Str)})
              .doc("The remote exception's type name a failure text begins with, or None."));
}

}  // namespace client
