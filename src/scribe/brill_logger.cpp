// BrillLogger: a logger below the one ilog configured last (named in the environment variable
// "LOGGER"), setting up a console-only logger of its own when there is none.
#include "scribe/names.hpp"
#include "scribe/scribe.hpp"

namespace scribe {

using zk::Handle;
using zk::Ref;

namespace {

Ref init(zk::Fn fn, Handle self, Handle child, Handle parent) {
    zk::call_method(fn.super(self), names::__init__);

    Ref environ = zk::getattr(fn.global(names::os), names::environ);
    Ref prefix;
    try {
        prefix = zk::getitem(environ, names::LOGGER);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_KeyError)) throw;
        zk::Handling handling(e);
        prefix = Ref::borrow(parent);
        zk::setitem(environ, names::LOGGER, parent);
        zk::call_kw(fn.global(names::ilog), {}, {{names::name, parent}, {names::when, names::empty}});
    }
    Ref name = zk::length(child) != 0 ? zk::concat({prefix, names::dot, child}) : std::move(prefix);
    zk::setattr(self, names::log, zk::call(fn.global(names::getLogger), name));
    return zk::none();
}

// self.log.<level>(message, *args, **kwds): arguments reach logging unchanged.
Ref forward(Handle self, PyObject* level, Handle message, Handle args, Handle kwds) {
    Ref method = zk::getattr(zk::getattr(self, names::log), level);
    Ref all_args = zk::check(PySequence_Concat(zk::tuple_of({message}).get(), args.get()));
    zk::call_with(method, all_args, kwds);
    return zk::none();
}

Ref debug(zk::Fn, Handle self, Handle message, Handle args, Handle kwds) {
    return forward(self, names::debug, message, args, kwds);
}

Ref info(zk::Fn, Handle self, Handle message, Handle args, Handle kwds) {
    return forward(self, names::info, message, args, kwds);
}

Ref warning(zk::Fn, Handle self, Handle message, Handle args, Handle kwds) {
    return forward(self, names::warning, message, args, kwds);
}

Ref error(zk::Fn, Handle self, Handle message, Handle args, Handle kwds) {
    return forward(self, names::error, message, args, kwds);
}

Ref critical(zk::Fn, Handle self, Handle message, Handle args, Handle kwds) {
    return forward(self, names::critical, message, args, kwds);
}

}  // namespace

void define_brill_logger(zk::Module& m) {
    using zk::arg;
    using zk::Check;
    using zk::kwargs;
    using zk::varargs;
    m.add_class(
        "BrillLogger", {}, nullptr,
        {
            zk::method(zk::fn<init>("__init__",
                                    {arg("self"), arg("child", Check::Str), arg("parent", Check::Str) = "ZELK"})
                           .returns("None")),
            zk::method(zk::fn<debug>("debug", {arg("self"), arg("message"), varargs("args"), kwargs("kwds")})),
            zk::method(zk::fn<info>("info", {arg("self"), arg("message"), varargs("args"), kwargs("kwds")})),
            zk::method(zk::fn<warning>("warning", {arg("self"), arg("message"), varargs("args"), kwargs("kwds")})),
            zk::method(zk::fn<error>("error", {arg("self"), arg("message"), varargs("args"), kwargs("kwds")})),
            zk::method(zk::fn<critical>("critical", {arg("self"), arg("message"), varargs("args"), kwargs("kwds")})),
        });
}

}  // namespace scribe
