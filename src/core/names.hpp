// Interned names: each module lists its attribute names and fixed texts once; the list becomes a
// struct of interned str in the module's state, filled when the module is executed.
//
//     #define SCRIBE_NAMES(X, S) X(STYLE) X(exc_info) S(bar, "|")
//     ZK_NAMES(Names, SCRIBE_NAMES)   // struct Names { zk::Ref STYLE, exc_info, bar; ... };
//
// X(name) interns the identifier's own text; S(name, "text") interns other text under a C++ name.
// A name stands for one text everywhere: "empty" is the attribute of that name, never "".
#pragma once

#include "core/error.hpp"

namespace zk {

// An interned str.
inline Ref intern(const char* text) { return check(PyUnicode_InternFromString(text)); }

}  // namespace zk

#define ZK_NAME_MEMBER(name) ::zk::Ref name;
#define ZK_TEXT_MEMBER(name, text) ::zk::Ref name;
#define ZK_NAME_INTERN(name) name = ::zk::intern(#name);
#define ZK_TEXT_INTERN(name, text) name = ::zk::intern(text);
#define ZK_NAME_EACH(name) f(name);
#define ZK_TEXT_EACH(name, text) f(name);

// struct Type: one interned str per entry of LIST, with intern() to fill them and each() to visit them.
#define ZK_NAMES(Type, LIST)                                              \
    struct Type {                                                         \
        LIST(ZK_NAME_MEMBER, ZK_TEXT_MEMBER)                              \
        void intern() { LIST(ZK_NAME_INTERN, ZK_TEXT_INTERN) }            \
        template <class F>                                                \
        void each(F&& f) {                                                \
            LIST(ZK_NAME_EACH, ZK_TEXT_EACH)                              \
        }                                                                 \
    };
