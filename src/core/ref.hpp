// Owning and borrowed references to Python objects.
#pragma once

#include "core/python.hpp"

#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace zk {

// Gives back one reference. On CPython 3.13 a daemon thread that wakes while the interpreter is
// finalizing is ended with pthread_exit, whose unwinding runs destructors on a thread that has no
// thread state any more; the references are left alone then, since the process is about to end.
// (From 3.14 such threads are parked instead, and nothing unwinds.)
inline void release_reference(PyObject* p) noexcept {
#if PY_VERSION_HEX < 0x030E0000
    if (Py_IsFinalizing() && !PyThreadState_GetUnchecked()) {  // the cheap test first: no TLS lookup
#if defined(__SANITIZE_ADDRESS__)
        __lsan_ignore_object(p);  // left behind on purpose: LeakSanitizer is not to report it
#endif
        return;
    }
#endif
    Py_DECREF(p);
}

// A strong reference: the holder owns one count of the object and gives it back when destroyed.
class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));
        ptr_ = std::exchange(other.ptr_, nullptr);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (ptr_) release_reference(ptr_);
    }

    // Takes over a reference the caller already owns (a "new reference" from the C API).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to an object the caller only borrows.
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to an API that steals it.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    // A second strong reference to the same object.
    Ref copy() const noexcept { return borrow(ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// A borrowed reference, for parameters: converts from a raw pointer or from a Ref
// (temporaries included, which live until the end of the full expression).
class Handle {
public:
    Handle(PyObject* p) noexcept : ptr_(p) {}
    Handle(const Ref& r) noexcept : ptr_(r.get()) {}
    PyObject* get() const noexcept { return ptr_; }
    operator PyObject*() const noexcept { return ptr_; }

private:
    PyObject* ptr_;
};

}  // namespace zk
