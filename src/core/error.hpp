// Python exceptions as C++ exceptions inside zelk code, and the conversions at the C API boundary.
#pragma once

#include "core/ref.hpp"

namespace zk {

// An exception raised by Python code or the C API, travelling up the C++ stack.
// While it travels the interpreter's error indicator is clear, so destructors may call the C API.
class PyError {
public:
    // Takes the exception the interpreter has just raised.
    static PyError fetch() noexcept;

    PyError(const PyError& other) noexcept : exc_(Py_NewRef(other.exc_)) {}
    PyError& operator=(const PyError&) = delete;
    ~PyError() { release_reference(exc_); }

    // The exception instance (borrowed).
    PyObject* value() const noexcept { return exc_; }
    // True when the exception is an instance of `type` (a class or a tuple of classes).
    bool matches(Handle type) const noexcept { return PyErr_GivenExceptionMatches(exc_, type); }
    // Makes this the interpreter's current error again.
    void restore() const noexcept { PyErr_SetRaisedException(Py_NewRef(exc_)); }

private:
    explicit PyError(PyObject* exc) noexcept : exc_(exc) {}
    PyObject* exc_;
};

// Throws the exception the interpreter has just raised.
[[noreturn]] void throw_error();

// Owns the result of a C API call that returns a new reference, or throws its error.
inline Ref check(PyObject* result) {
    if (!result) throw_error();
    return Ref::steal(result);
}

// Throws when a C API call that returns a status reported failure.
inline int check_status(int status) {
    if (status < 0) throw_error();
    return status;
}

// Raises `type` with a PyUnicode_FromFormat message.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// Raises an exception instance, or a class called without arguments, as Python's `raise` does.
[[noreturn]] void raise(Handle exception);

// Makes `exception` the one being handled, as inside an `except` block, for this object's lifetime:
// sys.exc_info() and traceback see it, and exceptions raised meanwhile take it as their context.
class Handling {
public:
    explicit Handling(const PyError& error) noexcept;
    explicit Handling(Handle exception) noexcept;
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* previous_;
};

// Runs `body`, letting an exception of `type` (a class or a tuple of classes) go, as
// `with contextlib.suppress(type):` does.
template <class Body>
void suppress(Handle type, Body&& body) {
    try {
        body();
    } catch (PyError& e) {
        if (!e.matches(type)) throw;
    }
}

// Converts the C++ exception being handled into the interpreter's error indicator.
// Call it only inside a `catch (...)` block. A thread that pthread_exit is ending (see
// release_reference) is parked there instead, touching nothing, until the process ends.
void translate_exception() noexcept;

// Runs `body` at a boundary where the C API expects a new reference or NULL with an error set.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

// Same for a boundary that expects 0 on success and -1 with an error set.
template <class Body>
int boundary_status(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        translate_exception();
        return -1;
    }
}

}  // namespace zk
