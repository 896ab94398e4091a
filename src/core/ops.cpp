// Out-of-line parts of the object operations.
#include "core/ops.hpp"

#include <cstdarg>
#include <vector>

namespace zk {

Ref str_format(const char* format, ...) {
    va_list vargs;
    va_start(vargs, format);
    PyObject* result = PyUnicode_FromFormatV(format, vargs);
    va_end(vargs);
    return check(result);
}

Ref call_kw(Handle f, std::initializer_list<Handle> args, std::initializer_list<Kw> keywords) {
    std::vector<PyObject*> argv;
    argv.reserve(1 + args.size() + keywords.size());
    argv.push_back(nullptr);
    for (Handle a : args) argv.push_back(a);
    Ref names = check(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t i = 0;
    for (const Kw& k : keywords) {
        PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(k.name));
        argv.push_back(k.value);
    }
    return check(PyObject_Vectorcall(f, argv.data() + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     keywords.size() ? names.get() : nullptr));
}

Ref tuple_of(std::initializer_list<Handle> items) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Handle item : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(item.get()));
    return t;
}

Ref list_of(std::initializer_list<Handle> items) {
    Ref l = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Handle item : items) PyList_SET_ITEM(l.get(), i++, Py_NewRef(item.get()));
    return l;
}

Ref concat(std::initializer_list<Handle> parts) {
    Ref t = tuple_of(parts);
    Ref empty = check(PyUnicode_FromStringAndSize("", 0));
    return check(PyUnicode_Join(empty.get(), t.get()));
}

}  // namespace zk
