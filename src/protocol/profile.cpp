// profile: a decorator factory that times functions line by line with one LineProfiler per call
// of the factory, printing the statistics gathered so far after every call of a decorated function.
#include "protocol/protocol.hpp"

namespace protocol {

using zk::Handle;
using zk::Ref;

namespace {

// What `wrapper` keeps of the profile call that made it.
struct Profiler {
    Ref wraps, lp;

    template <class F>
    void each(F&& f) {
        f(wraps), f(lp);
    }
};

// What `wrapped` keeps: the profiler and the function it stands for.
struct Timed {
    Ref lp, func;

    template <class F>
    void each(F&& f) {
        f(lp), f(func);
    }
};

Ref wrapped(Scope s, Handle args, Handle kwargs) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref lp = s.captured<Timed>().lp.copy(), func = s.captured<Timed>().func.copy();
    Ref print = s.global(n.print);
    zk::print_out(st, print, zk::tuple_of({zk::text("{} started ...", zk::getattr(func, st.core.__name__))}));
    Ref profiled = zk::call_kw(lp, {}, {{n.func, func}});
    Ref result = zk::call_with(profiled, args, kwargs);
    zk::call_method(lp, n.print_stats);
    zk::print_out(st, print, zk::tuple_of({zk::text("{} finished !!!", zk::getattr(func, st.core.__name__))}));
    return result;
}

Ref wrapper(Scope s, Handle func) {
    Ref wraps = s.captured<Profiler>().wraps.copy();
    Ref inner = s.nested("wrapped", Timed{s.captured<Profiler>().lp.copy(), Ref::borrow(func)});
    return zk::call(zk::call(wraps, func), inner);
}

Ref profile(Scope s, Handle functions) {
    const Names& n = s.names();
    Ref wraps = zk::getattr(zk::import("functools"), n.wraps);
    Ref line_profiler;
    try {
        Ref module = zk::import("line_profiler");
        line_profiler = zk::getattr_optional(module, n.LineProfiler);
        if (!line_profiler) zk::raise(PyExc_ImportError, "cannot import name 'LineProfiler' from 'line_profiler'");
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        zk::print_out(s.state(), s.global(n.print), zk::tuple_of({e.value()}));
        return zk::none();
    }
    Ref lp = zk::call(line_profiler);
    for (Ref function : zk::iterate(functions)) zk::call_method(lp, n.add_function, function);
    return s.nested("wrapper", Profiler{std::move(wraps), std::move(lp)});
}

}  // namespace

void define_profile(zk::Module& m, State&) {
    using zk::arg;
    // The default list is made here, once, and shared by every call that leaves it out.
    m.def(zk::declare<profile>("profile", {arg("functions", zk::Check::List).annotate("list[Callable]") = zk::new_list()})
              .nested(zk::declare<wrapper>("wrapper", {arg("func")})
                          .nested(zk::declare<wrapped>("wrapped", {zk::varargs("args"), zk::kwargs("kwargs")}))));
}

}  // namespace protocol
