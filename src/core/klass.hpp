// Plain Python classes built at module init with type(name, bases, namespace), so standard-library
// bases, subclassing, isinstance and instance __dict__ behave as for a class statement.
#pragma once

#include "core/function.hpp"

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace zk {

// One entry of a class body, in the order the body binds it.
struct Member {
    enum class Kind { Method, ClassMethod, StaticMethod, Property, Value };
    Kind kind;
    const char* name;
    std::vector<Def> functions;  // the function, or a property's getter (and setter)
    Ref value;                    // a class attribute

    Member(Kind kind, const char* name, std::vector<Def> functions, Ref value)
        : kind(kind), name(name), functions(std::move(functions)), value(std::move(value)) {}
    Member(const Member& other)
        : kind(other.kind), name(other.name), functions(other.functions), value(other.value.copy()) {}
};

inline Member method(Def decl) { return Member(Member::Kind::Method, decl.name, {decl}, Ref()); }
inline Member classmethod(Def decl) { return Member(Member::Kind::ClassMethod, decl.name, {decl}, Ref()); }
inline Member staticmethod(Def decl) { return Member(Member::Kind::StaticMethod, decl.name, {decl}, Ref()); }
// A property whose getter is `getter` (named like the property); read-only unless a setter is given.
inline Member property(Def getter) { return Member(Member::Kind::Property, getter.name, {getter}, Ref()); }
inline Member property(Def getter, Def setter) {
    return Member(Member::Kind::Property, getter.name, {getter, setter}, Ref());
}
inline Member attribute(const char* name, Ref value) { return Member(Member::Kind::Value, name, {}, std::move(value)); }

// class `name`(*bases): with `doc` and `members`, defined in `module`.
Ref make_class(Handle module, const char* name, std::initializer_list<Handle> bases, const char* doc,
               const std::vector<Member>& members);

// The version tag of `type`, which CPython renews whenever the type or one of its bases changes,
// assigned first when the type has none; 0 when none could be had (they can run out). Read
// atomically: another thread may renew it meanwhile.
inline unsigned int version_tag(PyTypeObject* type) noexcept { return __atomic_load_n(&type->tp_version_tag, __ATOMIC_ACQUIRE); }
inline unsigned int assigned_version_tag(PyTypeObject* type) noexcept {
    unsigned int tag = version_tag(type);
    return tag || !PyUnstable_Type_AssignVersionTag(type) ? tag : version_tag(type);
}

// Whether `obj.name` still finds `native`, what a class body of ours put there (a function, or a
// classmethod for a class method), so that the caller may do that method's work itself. `obj` is an
// instance, or a class for a class method. Python's lookup order decides: an attribute of the
// instance (`conn.pack = f`), or one of a subclass or of the class itself, that replaced it makes
// this false, and the caller then calls `obj.name` as Python would. So does a lookup this cannot
// follow without running it (a metaclass, __getattribute__ or __getattr__ of a subclass).
//
// Each place that asks keeps a NativeCache (in its module's state): the answer for the class it saw
// last is then a load and a comparison, until that class or one of its bases changes.
struct NativeCache {
    std::atomic<std::uint64_t> seen{0};  // (the class's version tag << 1) | the answer; 0: none yet
};
bool is_native(const CoreNames& names, Handle obj, Handle name, Handle native, NativeCache& cache);

}  // namespace zk
