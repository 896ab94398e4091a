// zelk._testcore: declares native functions from Python, so the tests can reach the runtime
// layer's binding, declaration checks and function attributes directly. Not for use by programs.
#include "core/zk.hpp"

namespace testcore {

using zk::Handle;
using zk::Ref;

#define TESTCORE_NAMES(X, S) X(kind)

ZK_NAMES(Names, TESTCORE_NAMES)

struct State : zk::ModuleState {
    Names names;

    template <class F>
    void each(F&& f) {
        ModuleState::each(f);
        f(names);
    }
};

using Scope = zk::Scope<State>;

// Answers a call with the tuple of its bound arguments.
template <class... Args>
Ref bound(Scope, Args... args) {
    return zk::tuple_of({args...});
}

template <std::size_t>
using handle_t = Handle;

template <std::size_t... I>
zk::Def declare_bound(const char* name, std::vector<zk::Param> params, std::index_sequence<I...>) {
    return zk::declare<bound<handle_t<I>...>>(name, std::move(params));
}

// A Def for `params`, answered by an implementation of `arity` parameters (at most 6).
zk::Def declare_with_arity(const char* name, std::vector<zk::Param> params, std::size_t arity) {
    switch (arity) {
        case 0: return declare_bound(name, std::move(params), std::make_index_sequence<0>());
        case 1: return declare_bound(name, std::move(params), std::make_index_sequence<1>());
        case 2: return declare_bound(name, std::move(params), std::make_index_sequence<2>());
        case 3: return declare_bound(name, std::move(params), std::make_index_sequence<3>());
        case 4: return declare_bound(name, std::move(params), std::make_index_sequence<4>());
        case 5: return declare_bound(name, std::move(params), std::make_index_sequence<5>());
        case 6: return declare_bound(name, std::move(params), std::make_index_sequence<6>());
    }
    zk::raise(PyExc_ValueError, "at most 6 parameters can be answered, not %zu", arity);
}

zk::Check check_named(Handle name) {
    static const char* const checks[] = {"any", "str", "int", "bytes", "bytearray", "dict", "list", "tuple", "float"};
    for (std::size_t i = 0; i < std::size(checks); i++) {
        if (PyUnicode_CompareWithASCIIString(name, checks[i]) == 0) return static_cast<zk::Check>(i);
    }
    zk::raise(PyExc_ValueError, "no check named %R", name.get());
}

// A C string that lives as long as `keep`.
const char* kept_text(Handle text, std::vector<Ref>& keep) {
    keep.push_back(zk::to_str(text));
    const char* utf8 = PyUnicode_AsUTF8(keep.back().get());
    if (!utf8) zk::throw_error();
    return utf8;
}

// One parameter from (kind, name, check) or (kind, name, check, default); kind is "", "*", "kw"
// (keyword-only) or "**".
zk::Param param_from(Handle described, std::vector<Ref>& keep) {
    Ref kind = zk::getitem(described, zk::integer(0));
    const char* name = kept_text(zk::getitem(described, zk::integer(1)), keep);
    if (PyUnicode_CompareWithASCIIString(kind.get(), "*") == 0) return zk::varargs(name);
    if (PyUnicode_CompareWithASCIIString(kind.get(), "**") == 0) return zk::kwargs(name);
    zk::Check check = check_named(zk::getitem(described, zk::integer(2)));
    zk::Param p = PyUnicode_CompareWithASCIIString(kind.get(), "kw") == 0 ? zk::kwonly(name, check) : zk::arg(name, check);
    if (zk::length(described) > 3) std::move(p) = zk::getitem(described, zk::integer(3));
    return p;
}

// declare(name, params, arity=None): a native function of this module whose parameters are
// described by `params`; it returns its bound arguments. Declaration errors raise SystemError.
Ref declare(Scope s, Handle name, Handle params, Handle arity) {
    std::vector<Ref> keep;  // the texts a declaration points to, until it is compiled
    std::vector<zk::Param> declared;
    for (Ref described : zk::iterate(params)) declared.push_back(param_from(described, keep));
    std::size_t implemented = arity.get() == Py_None ? declared.size() : static_cast<std::size_t>(zk::to_ssize(arity));
    zk::Def def = declare_with_arity(kept_text(name, keep), std::move(declared), implemented);
    return zk::make_function(std::make_shared<const zk::Prototype>(def), s.module(), name);
}

void exec_testcore(zk::Module& m, State&) {
    using zk::arg;
    m.def(zk::declare<declare>("declare", {arg("name", zk::Check::Str), arg("params"), arg("arity") = zk::none()}));
}

}  // namespace testcore

ZK_MODULE(_testcore, testcore::State, testcore::exec_testcore,
          "Native functions declared from Python, for testing the runtime layer.", Py_MOD_PER_INTERPRETER_GIL_SUPPORTED)
