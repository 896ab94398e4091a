// Everyday object operations that throw PyError instead of returning NULL, so module code reads like Python.
#pragma once

#include "core/error.hpp"

#include <cxxabi.h>

#include <initializer_list>
#include <mutex>
#include <string_view>
#include <type_traits>
#include <utility>

namespace zk {

// ---- constants and conversions -------------------------------------------------------------

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref integer(long long value) { return check(PyLong_FromLongLong(value)); }
inline Ref floating(double value) { return check(PyFloat_FromDouble(value)); }
// A str from UTF-8 text.
inline Ref str(std::string_view utf8) {
    return check(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}
// str(o)
inline Ref to_str(Handle o) { return check(PyObject_Str(o)); }
// repr(o)
inline Ref repr(Handle o) { return check(PyObject_Repr(o)); }
// format(o): the text an f-string gives for `o` with no format specifier.
inline Ref format(Handle o) {
    if (PyUnicode_CheckExact(o.get())) return Ref::borrow(o);
    return check(PyObject_Format(o, nullptr));
}
// A str built like PyUnicode_FromFormat.
Ref str_format(const char* format, ...);
// The text form of values in a message: `pattern` with each "{}" replaced by format() of the next
// argument, so a message reads whole where it is written ("Send Timeout({}s, {})").
template <class... Args>
Ref text(const char* pattern, const Args&... args);
inline bool truthy(Handle o) { return check_status(PyObject_IsTrue(o)) != 0; }
// a == b, a < b, ... with Python's rich comparison (op is Py_EQ, Py_LT, ...).
inline bool compare(Handle a, Handle b, int op) { return check_status(PyObject_RichCompareBool(a, b, op)) != 0; }
inline bool equal(Handle a, Handle b) { return compare(a, b, Py_EQ); }
// An int as a Py_ssize_t; OverflowError when it does not fit, TypeError for a non-int.
inline Py_ssize_t to_ssize(Handle o) {
    Py_ssize_t n = PyLong_AsSsize_t(o);
    if (n == -1 && PyErr_Occurred()) throw_error();
    return n;
}
inline bool isinstance(Handle o, Handle cls) { return check_status(PyObject_IsInstance(o, cls)) != 0; }
inline Py_ssize_t length(Handle o) {
    Py_ssize_t n = PyObject_Length(o);
    if (n < 0) throw_error();
    return n;
}
// `item in container`
inline bool contains(Handle container, Handle item) {
    return check_status(PySequence_Contains(container, item)) != 0;
}

// o[start:stop], with Python's meaning of negative and out-of-range bounds.
inline Ref slice(Handle o, Py_ssize_t start, Py_ssize_t stop) { return check(PySequence_GetSlice(o, start, stop)); }

// The bytes of an object that exports a buffer, held for a scope (`flags` as PyObject_GetBuffer takes them).
// Whoever takes over view() and clears its `obj` releases it instead.
class BufferView {
public:
    explicit BufferView(Handle o, int flags = PyBUF_SIMPLE) { check_status(PyObject_GetBuffer(o, &view_, flags)); }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    const char* data() const noexcept { return static_cast<const char*>(view_.buf); }
    Py_ssize_t size() const noexcept { return view_.len; }
    Py_buffer& view() noexcept { return view_; }

private:
    Py_buffer view_;
};

// ---- numbers: Python's arithmetic on ints of any size and sign -------------------------------

inline Ref add(Handle a, Handle b) { return check(PyNumber_Add(a, b)); }
inline Ref subtract(Handle a, Handle b) { return check(PyNumber_Subtract(a, b)); }
inline Ref multiply(Handle a, Handle b) { return check(PyNumber_Multiply(a, b)); }
inline Ref true_divide(Handle a, Handle b) { return check(PyNumber_TrueDivide(a, b)); }
inline Ref shift_left(Handle a, long bits) { return check(PyNumber_Lshift(a, integer(bits).get())); }
inline Ref shift_right(Handle a, long bits) { return check(PyNumber_Rshift(a, integer(bits).get())); }
inline Ref bit_or(Handle a, Handle b) { return check(PyNumber_Or(a, b)); }
inline Ref bit_and(Handle a, Handle b) { return check(PyNumber_And(a, b)); }
// int(o)
inline Ref to_int(Handle o) { return check(PyNumber_Long(o)); }

// ---- attributes and items --------------------------------------------------------------------

inline Ref getattr(Handle o, Handle name) { return check(PyObject_GetAttr(o, name)); }
// getattr(o, name, None), but an empty Ref when the attribute is missing.
inline Ref getattr_optional(Handle o, Handle name) {
    PyObject* result = nullptr;
    check_status(PyObject_GetOptionalAttr(o, name, &result));
    return Ref::steal(result);
}
inline void setattr(Handle o, Handle name, Handle value) { check_status(PyObject_SetAttr(o, name, value)); }
// Removes the attribute and returns its value; an empty Ref when there was none.
inline Ref pop_attr(Handle o, Handle name) {
    Ref value = getattr_optional(o, name);
    if (value) check_status(PyObject_DelAttr(o, name));
    return value;
}
inline Ref getitem(Handle o, Handle key) { return check(PyObject_GetItem(o, key)); }
inline void setitem(Handle o, Handle key, Handle value) { check_status(PyObject_SetItem(o, key, value)); }
// d.get(key) for an exact dict, as a strong reference; empty when missing.
inline Ref dict_get(Handle d, Handle key) {
    PyObject* result = nullptr;
    check_status(PyDict_GetItemRef(d, key, &result));
    return Ref::steal(result);
}
// d.pop(key, default)
inline Ref dict_pop(Handle d, Handle key, Handle fallback) {
    PyObject* result = nullptr;
    if (check_status(PyDict_Pop(d, key, &result)) == 0) return Ref::borrow(fallback);
    return Ref::steal(result);
}

// ---- calls -----------------------------------------------------------------------------------

// A keyword argument: an interned name and its value.
struct Kw {
    Handle name;
    Handle value;
};

// f(*args), positional only.
template <class... Args>
Ref call(Handle f, const Args&... args) {
    PyObject* argv[] = {nullptr, Handle(args).get()...};
    return check(PyObject_Vectorcall(f, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// f(a, b, ..., name1=x, name2=y): the last len(kwnames) arguments are the values of the keywords
// named by `kwnames`, a tuple of interned str made once, so a hot call builds nothing.
template <class... Args>
Ref call_kwnames(Handle f, Handle kwnames, const Args&... args) {
    PyObject* argv[] = {nullptr, Handle(args).get()...};
    size_t positional = sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames.get()));
    return check(PyObject_Vectorcall(f, argv + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}
// f(*args, **keywords) with keywords given as name/value pairs.
Ref call_kw(Handle f, std::initializer_list<Handle> args, std::initializer_list<Kw> keywords);
// f(*args, **kwargs) with a tuple and an optional dict, as PyObject_Call.
inline Ref call_with(Handle f, Handle args, Handle kwargs) { return check(PyObject_Call(f, args, kwargs)); }
// o.name(*args)
template <class... Args>
Ref call_method(Handle o, Handle name, const Args&... args) {
    PyObject* argv[] = {o.get(), Handle(args).get()...};
    return check(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// ---- containers ------------------------------------------------------------------------------

inline Ref new_list(Py_ssize_t size = 0) { return check(PyList_New(size)); }
inline Ref new_dict() { return check(PyDict_New()); }
inline void append(Handle list, Handle item) { check_status(PyList_Append(list, item)); }
// A tuple of the given objects.
Ref tuple_of(std::initializer_list<Handle> items);
// A list of the given objects.
Ref list_of(std::initializer_list<Handle> items);
// sep.join(items)
inline Ref join(Handle sep, Handle items) { return check(PyUnicode_Join(sep, items)); }
// Concatenation of str objects.
Ref concat(std::initializer_list<Handle> parts);
Ref concat_all(const Handle* parts, std::size_t count);

// for (Ref item : iterate(o)) — Python's `for item in o`.
class Iterate {
public:
    explicit Iterate(Handle iterable) : iterator_(check(PyObject_GetIter(iterable))) {}

    class iterator {
    public:
        explicit iterator(PyObject* it) : it_(it) { advance(); }
        iterator() = default;
        Ref operator*() { return std::move(current_); }
        iterator& operator++() {
            advance();
            return *this;
        }
        bool operator!=(const iterator& other) const { return it_ != other.it_; }

    private:
        void advance() {
            current_ = Ref::steal(PyIter_Next(it_));
            if (!current_) {
                if (PyErr_Occurred()) throw_error();
                it_ = nullptr;
            }
        }
        PyObject* it_ = nullptr;
        Ref current_;
    };

    iterator begin() { return iterator(iterator_.get()); }
    iterator end() { return iterator(); }

private:
    Ref iterator_;
};
inline Iterate iterate(Handle iterable) { return Iterate(iterable); }

// ---- imports ---------------------------------------------------------------------------------

inline Ref import(const char* name) { return check(PyImport_ImportModule(name)); }

// ---- scopes ----------------------------------------------------------------------------------

namespace detail {

// body(), with undo() run first when it throws. UBSan checks the binding of a caught unwinding to
// its reference, though nothing reads it and it is no C++ object: UBSan is left out of this
// function (GCC 12 still makes that check when only "null" is named).
template <class Body, class Undo>
__attribute__((no_sanitize("undefined"))) decltype(auto) undo_on_error(Body& body, Undo& undo) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended without a thread state: see release_reference
    } catch (...) {
        undo();
        throw;
    }
}

}  // namespace detail

// Python's try/finally: runs `body`, then `undo` however `body` ended, and returns what `body` returned.
// An exception from `undo` replaces the one `body` raised, as in Python.
template <class Body, class Undo>
auto finally(Body&& body, Undo&& undo) -> decltype(body()) {
    if constexpr (std::is_void_v<decltype(body())>) {
        detail::undo_on_error(body, undo);
        undo();
    } else {
        auto result = detail::undo_on_error(body, undo);
        undo();
        return result;
    }
}

// ---- locking ---------------------------------------------------------------------------------

// Holds the per-object lock of the free-threaded build for a scope (nothing on GIL builds).
class CriticalSection {
public:
    explicit CriticalSection([[maybe_unused]] PyObject* o) noexcept {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_Begin(&section_, o);
#endif
    }
    ~CriticalSection() {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_End(&section_);
#endif
    }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// Holds a PyMutex for a scope. Waiting for it detaches the thread from the interpreter, so a holder
// may run Python code; it is not interrupted by signals, so hold it only for bounded work.
class Holding {
public:
    explicit Holding(PyMutex& m) noexcept : m_(m) { PyMutex_Lock(&m_); }
    ~Holding() { PyMutex_Unlock(&m_); }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;

private:
    PyMutex& m_;
};

// body(), which touches no Python object and throws nothing, with this thread detached from the
// interpreter, so that other threads run meanwhile. Neither a scope guard nor noexcept: on CPython
// 3.13 reattaching may end a daemon thread at shutdown by unwinding it, which must not pass through
// a destructor or a noexcept function.
template <class Body>
auto detached(Body&& body) -> decltype(body()) {
    PyThreadState* thread = PyEval_SaveThread();
    if constexpr (std::is_void_v<decltype(body())>) {
        body();
        PyEval_RestoreThread(thread);
    } else {
        auto result = body();
        PyEval_RestoreThread(thread);
        return result;
    }
}

// Threads that wake together, as the threads of a thousand connections closed at once do, would
// all wait for the interpreter at once. On a build with a GIL each waiter wakes at every switch
// interval to ask for it: the processor's time goes to the asking, and a new caller waits behind
// them all. A turnstile lets such threads wait for the interpreter one at a time, the rest asleep.
class Turnstile {
public:
    template <class Body>
    friend auto detached(Turnstile& turnstile, Body&& body) -> decltype(body());

private:
    std::mutex mutex_;
};

// detached(body) for a wait on which many threads may wake together: reattaching goes through the
// turnstile. The turnstile is let go on the way out even when reattaching ends a daemon thread. While
// the interpreter finalizes, a thread reattaches without it: from 3.14 a daemon thread that tries to
// reattach then is parked for good, and would park holding the turnstile, which the thread that
// finalizes may need.
template <class Body>
auto detached(Turnstile& turnstile, Body&& body) -> decltype(body()) {
#ifdef Py_GIL_DISABLED
    (void)turnstile;  // threads attach without a lock to wait for
    return detached(std::forward<Body>(body));
#else
    PyThreadState* thread = PyEval_SaveThread();
    auto reattach = [&] {
        if (Py_IsFinalizing()) return PyEval_RestoreThread(thread);
        std::unique_lock<std::mutex> in_turn(turnstile.mutex_);
        PyEval_RestoreThread(thread);
    };
    if constexpr (std::is_void_v<decltype(body())>) {
        body();
        reattach();
    } else {
        auto result = body();
        reattach();
        return result;
    }
#endif
}

namespace detail {
Ref text_of(const char* pattern, std::initializer_list<Handle> values);
}

template <class... Args>
Ref text(const char* pattern, const Args&... args) {
    return detail::text_of(pattern, {Handle(args)...});
}

}  // namespace zk
