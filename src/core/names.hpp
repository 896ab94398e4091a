// Interned names: each module lists its attribute names and fixed texts once, interned at import.
//
//     #define SCRIBE_NAMES(X, S) X(STYLE) X(exc_info) S(bar, "|")
//     ZK_NAMES(scribe::names, SCRIBE_NAMES)   // PyObject* STYLE, exc_info, bar
//     scribe::names::intern();                // in the module's exec step
//
// X(name) interns the identifier's own text; S(name, "text") interns other text under a C++ name.
// The strings live for the life of the process, so reading them needs no lock.
#pragma once

#include "core/error.hpp"

namespace zk {

// An interned str, kept for the life of the process.
inline PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw_error();
    return s;
}

}  // namespace zk

#define ZK_NAME_DECLARE(name) inline PyObject* name = nullptr;
#define ZK_TEXT_DECLARE(name, text) inline PyObject* name = nullptr;
#define ZK_NAME_INTERN(name) name = ::zk::intern(#name);
#define ZK_TEXT_INTERN(name, text) name = ::zk::intern(text);

#define ZK_NAMES(space, LIST)                                \
    namespace space {                                        \
    LIST(ZK_NAME_DECLARE, ZK_TEXT_DECLARE)                   \
    inline void intern() { LIST(ZK_NAME_INTERN, ZK_TEXT_INTERN) } \
    }

// Names the runtime layer itself uses.
#define ZK_CORE_NAMES(X, S)      \
    X(__annotate__)              \
    X(__annotations__)           \
    X(__dict__)                  \
    X(__doc__)                   \
    X(__module__)                \
    X(__name__)                  \
    X(__qualname__)              \
    X(__signature__)             \
    X(__wrapped__)               \
    X(annotation)                \
    S(default_, "default")       \
    X(empty)                     \
    X(inspect)                   \
    X(Parameter)                 \
    X(POSITIONAL_OR_KEYWORD)     \
    X(return_annotation)         \
    X(Signature)                 \
    X(VAR_KEYWORD)               \
    X(VAR_POSITIONAL)

ZK_NAMES(zk::names, ZK_CORE_NAMES)
