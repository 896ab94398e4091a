// Native state for instances of plain Python classes: a C++ object owned by a capsule that the
// instance keeps as an attribute.
//
//     zk::setattr(self, n._channel, zk::box(std::make_unique<Channel>(), "zelk.ring.channel"));
//     zk::Boxed<Channel> ch = zk::unbox<Channel>(zk::getattr(self, n._channel), "zelk.ring.channel");
//
// The capsule holds no references the garbage collector could follow, so the object must not own
// anything that refers back to the instance.
#pragma once

#include "core/error.hpp"

#include <memory>

namespace zk {

// An unboxed object, with the capsule that owns it held for as long as this lives: another thread
// replacing the attribute meanwhile cannot free the object under its user.
template <class T>
class Boxed {
public:
    Boxed(Ref capsule, T* object) noexcept : capsule_(std::move(capsule)), object_(object) {}
    T& operator*() const noexcept { return *object_; }
    T* operator->() const noexcept { return object_; }

private:
    Ref capsule_;
    T* object_;
};

// A capsule named `name` that owns `object`.
template <class T>
Ref box(std::unique_ptr<T> object, const char* name) {
    PyObject* capsule = PyCapsule_New(object.get(), name, [](PyObject* c) noexcept {
        delete static_cast<T*>(PyCapsule_GetPointer(c, PyCapsule_GetName(c)));
    });
    if (!capsule) throw_error();
    object.release();
    return Ref::steal(capsule);
}

// The object of a capsule that box() made with the same name; ValueError for anything else.
template <class T>
Boxed<T> unbox(Ref capsule, const char* name) {
    auto* object = static_cast<T*>(PyCapsule_GetPointer(capsule.get(), name));
    if (!object) throw_error();
    return Boxed<T>(std::move(capsule), object);
}

// The table of calls a module publishes in its capsule `name`, alive as long as that module; the
// capsule's own error for a capsule of another kind.
template <class Api>
const Api* published_api(Handle capsule, const char* name) {
    auto* api = static_cast<const Api*>(PyCapsule_GetPointer(capsule.get(), name));
    if (!api) throw_error();
    return api;
}

}  // namespace zk
