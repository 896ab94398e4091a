// The records a server reads beside the 5-item request, once a client has asked what it takes:
// the question itself, calls with options, and the control records of calls in progress.
#include "server/server.hpp"

#include <algorithm>
#include <cmath>

namespace server {

using zk::Handle;
using zk::Ref;

namespace {

// The record's first item as a small int, or -1 when it is none.
long kind_of(Handle record) {
    PyObject* first = nullptr;
    if (PyList_CheckExact(record.get()) && PyList_GET_SIZE(record.get()) > 0) first = PyList_GET_ITEM(record.get(), 0);
    if (PyTuple_CheckExact(record.get()) && PyTuple_GET_SIZE(record.get()) > 0) first = PyTuple_GET_ITEM(record.get(), 0);
    if (!first || !PyLong_CheckExact(first)) return -1;
    long kind = PyLong_AsLong(first);
    if (kind == -1 && PyErr_Occurred()) PyErr_Clear();
    return kind;
}

Handle item(Handle record, Py_ssize_t i) {
    return PyList_CheckExact(record.get()) ? PyList_GET_ITEM(record.get(), i) : PyTuple_GET_ITEM(record.get(), i);
}

Py_ssize_t size_of(Handle record) {
    return PyList_CheckExact(record.get()) ? PyList_GET_SIZE(record.get()) : PyTuple_GET_SIZE(record.get());
}

[[noreturn]] void invalid_options(Handle record) {
    zk::raise(zk::call(PyExc_Exception, zk::text("Request[{}]: Invalid Options", record)));
}

// A count from the options, within [least, most]; the record's failure otherwise.
long long count_option(Handle record, Handle value, long long least, long long most) {
    if (!PyLong_CheckExact(value.get())) invalid_options(record);
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow || count < least) invalid_options(record);
    return count < most ? count : most;
}

}  // namespace

bool is_control_record(Handle record) {
    long kind = kind_of(record);
    return kind == ring::credit_kind || kind == ring::cancel_kind;
}

Ref version_answer(const State& st, Handle record) {
    // (0, 0, "__zelk_version__", (), {}): the id no call uses, the name no service has.
    if (kind_of(record) != 0 || size_of(record) != 5) return Ref();
    Handle id = item(record, 1), name = item(record, 2);
    int overflow = 0;
    if (!PyLong_CheckExact(id.get()) || PyLong_AsLongAndOverflow(id, &overflow) != 0 || overflow ||
        !PyUnicode_CheckExact(name.get()) || PyUnicode_CompareWithASCIIString(name, ring::version_question) != 0) {
        return Ref();
    }
    Ref answer = zk::new_dict();
    zk::setitem(answer, st.names.version, zk::integer(ring::calls_version));
    zk::setitem(answer, st.names.traceparent, Py_True);  // a call's options may name its caller's span
    return zk::tuple_of({st.response_kind, id, answer});
}

Ref as_request(const State& st, Handle record, Ref& options) {
    if (kind_of(record) != ring::call_kind) return Ref::borrow(record);
    if (size_of(record) != 6) zk::raise(zk::call(PyExc_Exception, zk::text("Request[{}]: Invalid Protocol", record)));
    options = Ref::borrow(item(record, 5));
    return zk::tuple_of({st.request_kind, item(record, 1), item(record, 2), item(record, 3), item(record, 4)});
}

CallOptions read_options(const Names& n, Handle record, Handle options) {
    if (!PyDict_CheckExact(options.get())) invalid_options(record);
    CallOptions read;
    if (Ref deadline = zk::dict_get(options, n.deadline)) {
        if (!PyLong_CheckExact(deadline.get()) && !PyFloat_CheckExact(deadline.get())) invalid_options(record);
        double seconds = PyFloat_AsDouble(deadline.get());
        if (seconds == -1.0 && PyErr_Occurred()) invalid_options(record);
        if (std::isnan(seconds)) invalid_options(record);
        // Beyond a century is no deadline, and one that has passed has passed by a second at most:
        // the clock's arithmetic stays in range.
        read.has_deadline = seconds < 3e9;
        read.seconds = std::max(seconds, -1.0);
        read.terms.span = read.has_deadline ? std::max(seconds, 0.0) : -1;
    }
    if (Ref window = zk::dict_get(options, n.window)) {
        read.terms.window = count_option(record, window, 1, StreamTerms::most_window);
    }
    if (Ref budget = zk::dict_get(options, n.bytes_)) {
        read.terms.budget = count_option(record, budget, 1, PY_SSIZE_T_MAX);
    }
    return read;
}

}  // namespace server
