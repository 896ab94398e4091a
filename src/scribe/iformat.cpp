// abbreviate and iformat: one-line renderings of long texts and of calls.
#include "scribe/scribe.hpp"

namespace scribe {

using zk::Handle;
using zk::Ref;

namespace {

Ref abbreviate(Scope, Handle text, Handle limit) {
    // Limits beyond any text's length behave alike, so clamping keeps the arithmetic in range.
    constexpr long long bound = 1LL << 60;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(limit, &overflow);
    if (n == -1 && PyErr_Occurred()) zk::throw_error();
    if (overflow > 0 || n > bound) n = bound;
    if (overflow < 0 || n < -bound) n = -bound;

    if (PyUnicode_GET_LENGTH(text.get()) <= 3 * n) return Ref::borrow(text);
    return zk::text("{}......{}", zk::slice(text, 0, n), zk::slice(text, -n, PY_SSIZE_T_MAX));
}

Ref iformat(Scope s, Handle method, Handle args, Handle kwds) {
    const Names& n = s.names();
    Ref shorten = s.global(n.abbreviate);
    Ref pieces = zk::new_list();
    for (Ref a : zk::iterate(args)) zk::append(pieces, zk::call(shorten, zk::format(a)));
    Ref items = zk::check(PyDict_Items(kwds));  // a snapshot, so other threads may change kwds meanwhile
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); i++) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        Ref value = zk::call(shorten, zk::format(PyTuple_GET_ITEM(item, 1)));
        zk::append(pieces, zk::text("{}={}", PyTuple_GET_ITEM(item, 0), value));
    }
    return zk::text("@{}({}) \U0001F513 ", method, zk::join(n.comma_space, pieces));
}

}  // namespace

zk::Def abbreviate_def() {
    using zk::arg;
    using zk::Check;
    return zk::declare<abbreviate>("abbreviate", {arg("text", Check::Str), arg("limit", Check::Int) = 1024}).returns("str");
}

zk::Def iformat_def() {
    using zk::arg;
    using zk::Check;
    return zk::declare<iformat>("iformat", {arg("method", Check::Str), arg("args").annotate("tuple | list"),
                                       arg("kwds", Check::Dict)})
        .returns("str");
}

}  // namespace scribe
