// What a client with errors="raise" raises instead of returning a failure's text: each carries that
// text as its message and as `text`. And the texts of a call's failures, which zelk.aio prints too.
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

Ref init_unreachable(Scope s, Handle self, Handle text, Handle reason) {
    zk::call_method(s.super(self), s.names().__init__, text);
    zk::setattr(self, s.names().text, text);
    zk::setattr(self, s.names().reason, reason);
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

Ref phase_failure_text(Scope, Handle phase, Handle error) { return failure_text(phase, error); }

Ref failure_report(Scope s, Handle client, Handle method, Handle args, Handle kwds, Handle error) {
    return report_failure(s, client, method, args, kwds, error);
}

Ref remote_failure(Scope s, Handle response, Handle result) {
    return reports_failure(response, result) ? remote_error(s.state(), result) : zk::none();
}

const char* const unreachable_doc =
    "The service could not be reached, or refused the key.\n"
    "\n"
    "    `text` is what the call returns by default; `reason` is why, as that text gives it: the error of\n"
    "    the connection (each address's, when there are several), or the server's refusal.\n"
    "    ";

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

Ref remote_error(const State& st, Handle text) { return zk::call(st.remote_error, text, remote_type_of(text)); }

bool reports_failure(Handle response, Handle result) {
    // A server marks the report of a failed call by answering with a list rather than a tuple.
    return PyList_CheckExact(response.get()) && PyUnicode_Check(result.get());
}

Ref failure_text(Handle phase, Handle error) {
    Ref type_name = zk::check(PyType_GetName(Py_TYPE(error.get())));
    return zk::escape_controls(zk::text("{}: {}, {}", phase, type_name, error));
}

Ref report_failure(Scope s, Handle client, Handle method, Handle args, Handle kwds, Handle error) {
    const Names& n = s.names();
    zk::Handling handling(error);  // so that the report shows where the answer was refused
    Ref call_text = zk::call(s.global(n.iformat), method, args, kwds);
    Ref failure = zk::call(PyExc_Exception, zk::escape_controls(zk::text("Failure{} {}", call_text, error)));
    return zk::call_method(zk::getattr(client, n.log), n.error, failure);
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
    st.unreachable = m.add_class(
        "Unreachable", {PyExc_ConnectionError}, unreachable_doc,
        {zk::method(zk::declare<init_unreachable>("__init__", {arg("self"), arg("text", zk::Check::Str),
                                                              arg("reason", zk::Check::Str).optional() = zk::none()}))});
    // For zelk.aio, which reports a call's failures as this client does.
    m.def(zk::declare<phase_failure_text>("_failure_text", {arg("phase", zk::Check::Str), arg("error").annotate("BaseException")})
              .returns("str")
              .doc("\"@RECV: ConnectionResetError, ...\": how a phase of a call failed, its control characters escaped."));
    m.def(zk::declare<failure_report>("_report_failure", {arg("client"), arg("method", zk::Check::Str), arg("args"), arg("kwds"),
                                                          arg("error").annotate("BaseException")})
              .returns("str")
              .doc("Prints \"Failure<the call> <error>\" through the client's printer, at error level, and returns it."));
    m.def(zk::declare<remote_failure>("_remote_failure", {arg("response"), arg("result")})
              .returns("RemoteError | None")
              .doc("The RemoteError of an answer that reports a failed call (a list whose result is a text); else None."));
}

}  // namespace client
