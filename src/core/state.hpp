// Module state: every module keeps its interned names, the imports it captured and its function
// type in a struct of its own, never in process globals, so modules (and interpreters) stay apart.
//
//     struct State : zk::ModuleState {
//         Names names;
//         zk::Ref packb;
//         template <class F> void each(F&& f) { ModuleState::each(f); f(names); f(packb); }
//     };
//
// each() lists every reference the struct owns; the module's traverse, clear and free use it.
#pragma once

#include "core/names.hpp"
#include "core/ops.hpp"

#include <concepts>

namespace zk {

// Names the runtime layer itself uses.
#define ZK_CORE_NAMES(X, S)      \
    X(acquire)                   \
    X(release)                   \
    X(__dict__)                  \
    X(__doc__)                   \
    X(__module__)                \
    X(__mro__)                   \
    X(__name__)                  \
    X(__qualname__)              \
    X(__signature__)             \
    X(__wrapped__)               \
    X(annotation)                \
    S(default_, "default")       \
    X(empty)                     \
    X(file)                      \
    X(inspect)                   \
    X(KEYWORD_ONLY)              \
    X(Parameter)                 \
    X(POSITIONAL_OR_KEYWORD)     \
    S(return_, "return")         \
    X(return_annotation)         \
    X(Signature)                 \
    X(stdout)                    \
    X(sys)                       \
    X(VAR_KEYWORD)               \
    X(VAR_POSITIONAL)            \
    X(_METER_PROVIDER)           \
    X(_TRACER_PROVIDER)          \
    S(opentelemetry_metrics, "opentelemetry.metrics._internal") \
    S(opentelemetry_trace, "opentelemetry.trace") \
    S(zelk_telemetry, "zelk._telemetry")

ZK_NAMES(CoreNames, ZK_CORE_NAMES)

// What the runtime layer keeps for each module; every module's State derives from it.
struct ModuleState {
    Ref function_type;  // this module's native function type
    Ref builtins;       // the builtins dict, where a global lookup ends
    CoreNames core;

    template <class F>
    void each(F&& f) {
        f(function_type);
        f(builtins);
        f(core);
    }
};

// A struct that lists its references with each().
template <class T>
concept ListsRefs = requires(T& t) { t.each([](Ref&) {}); };

// Visits every reference of a Ref or of a struct that lists its references, for tp_traverse.
class RefVisitor {
public:
    RefVisitor(visitproc visit, void* arg) noexcept : visit_(visit), arg_(arg) {}
    void operator()(Ref& r) {
        if (result_ == 0 && r) result_ = visit_(r.get(), arg_);
    }
    template <class T>
        requires(!std::same_as<T, Ref>)
    void operator()(T& holder) {
        holder.each(*this);
    }
    int result() const noexcept { return result_; }

private:
    visitproc visit_;
    void* arg_;
    int result_ = 0;
};

// Drops every reference of a Ref or of a struct that lists its references, for tp_clear.
struct RefClearer {
    void operator()(Ref& r) const { r = Ref(); }
    template <class T>
        requires(!std::same_as<T, Ref>)
    void operator()(T& holder) const {
        holder.each(*this);
    }
};

template <class T>
int visit_refs(T& holder, visitproc visit, void* arg) {
    RefVisitor visitor(visit, arg);
    visitor(holder);
    return visitor.result();
}

template <class T>
void clear_refs(T& holder) {
    RefClearer{}(holder);
}

// Runs `body` while holding `lock` (a threading.Lock), which is released however `body` ends.
// Acquiring it can be interrupted by a signal, as in Python.
template <class Body>
Ref with_lock(const CoreNames& names, Handle lock, Body&& body) {
    call_method(lock, names.acquire);
    return finally(body, [&] { call_method(lock, names.release); });
}

}  // namespace zk
