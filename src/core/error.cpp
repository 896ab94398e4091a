// Exception plumbing between the interpreter's error indicator and C++ exceptions.
#include "core/error.hpp"

#include <cxxabi.h>
#include <unistd.h>

#include <cstdarg>
#include <exception>
#include <new>

namespace zk {

PyError PyError::fetch() noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) {
        // A C API call failed without saying why; report that rather than crash later.
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exc = PyErr_GetRaisedException();
    }
    return PyError(exc);
}

void throw_error() { throw PyError::fetch(); }

void raise(PyObject* type, const char* format, ...) {
    va_list vargs;
    va_start(vargs, format);
    PyErr_FormatV(type, format, vargs);
    va_end(vargs);
    throw_error();
}

void raise(Handle exception) {
    if (PyExceptionInstance_Check(exception.get())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception);
    } else {
        PyErr_SetNone(exception);
    }
    throw_error();
}

Handling::Handling(const PyError& error) noexcept : Handling(Handle(error.value())) {}

Handling::Handling(Handle exception) noexcept : previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(exception);
}

Handling::~Handling() {
    if (!PyThreadState_GetUnchecked()) return;  // unwound by pthread_exit: see release_reference
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
}

// UBSan is left out, as in finally (ops.hpp): it checks the caught unwinding's reference.
__attribute__((no_sanitize("undefined"))) void translate_exception() noexcept {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        for (;;) pause();
    } catch (const PyError& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace zk
